# The check an ad set must pass before it goes live (tools/adcheck), as the people who prepare ads use it.
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness as h

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ADS = os.path.join(ROOT, "res", "ads")
BAND = 14


def adcheck(*args):
    p = subprocess.run([os.path.join(ROOT, "tools", "adcheck"), *args], capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout + p.stderr


class AdcheckTest(h.BarTest):
    def test_a_set_with_ads_windows_cannot_show_fails_naming_each(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        for n in range(1, 16):
            shutil.copy(os.path.join(ADS, f"vtl_{n}.ad"), folder)
        with open(os.path.join(ADS, "vtl_3.ad"), "rb") as f:
            gif = f.read()
        emf = struct.pack("<II8i4sII36x5I", 1, 88, 0, 0, 95, 47, 0, 0, 2540, 1270, b" EMF", 0x10000, 108, 14, 20, 0, 16, 20)
        for n, data in ((2, struct.pack("<HHHIHIH", 1, 9, 0x300, 12, 0, 3, 0) + struct.pack("<IH", 3, 0)),
                        (3, gif[:len(gif) // 2]), (5, emf), (7, b"<!DOCTYPE html>\n<html><body>Not Found</body></html>\n")):
            with open(os.path.join(folder, f"vtl_{n}.ad"), "wb") as f:
                f.write(data)
        for n, coder in ((4, "ICO"), (13, "PNG")):
            subprocess.run(["convert", os.path.join(ADS, "vtl_10.ad"), "-resize", "64x", f"{coder}:{folder}/vtl_{n}.ad"],
                           check=True, timeout=60)
        rc, out = adcheck(folder)
        self.assertEqual(rc, 1, out)
        self.assertEqual([int(n) for n in re.findall(r"^vtl_(\d+)\.ad: error: ", out, re.M)], [2, 3, 7, 13, 16], out)

    def test_a_preview_strip_is_what_the_bar_shows(self):
        ad = 10
        self.start()
        h.ad_mode("file", path=os.path.join(ADS, f"vtl_{ad}.ad"))
        self.assertEqual(h.peer("paint", 1), [])
        left, top, right, bottom = h.peer("client")
        shot = [row[left:right] for row in h.screen()[top:bottom]]
        fd, preview = tempfile.mkstemp(suffix=".png")
        os.close(fd)
        self.addCleanup(os.unlink, preview)
        self.assertEqual(adcheck(ADS, "--preview", preview)[0], 0)
        y = (ad - 1) * (BAND + bottom - top) + BAND
        strip = [row[:right - left] for row in h.screen(preview)[y:y + bottom - top]]
        self.assertTrue(strip == shot, f"{sum(a != b for r, s in zip(strip, shot) for a, b in zip(r, s))} pixels differ")


if __name__ == "__main__":
    unittest.main()
