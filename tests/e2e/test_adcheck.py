# The ad check's preview against the real bar under Wine (x86_64 tree only: the check runs on the server).
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness as h

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
BAND = 14


def bmp32(w, h):
    # Colours that change at every column and row, and alpha bytes that the loader must ignore.
    pixels = b"".join(bytes([x * 7 & 255, y * 11 & 255, (x ^ y) & 255, x * y & 255]) for y in range(h) for x in range(w))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 32, 0, len(pixels), 2835, 2835, 0, 0)
    return struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54) + info + pixels


class AdcheckTest(h.BarTest):
    def test_a_preview_strip_is_what_the_bar_shows(self):
        # Odd sides, where the preview's centring and cut must round as the bar's do; ad 3 fails.
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        os.chmod(folder, 0o755)
        ad, failed = os.path.join(folder, "vtl_10.ad"), os.path.join(folder, "vtl_3.ad")
        for n in range(1, 17):
            shutil.copy(os.path.join(ROOT, "res", "ads", f"vtl_{n}.ad"), folder)
        with open(ad, "wb") as f:
            f.write(bmp32(469, 67))
        subprocess.run(["convert", "-size", "64x64", "xc:red", f"PNG:{failed}"], check=True, timeout=60)
        self.start()
        h.ad_mode("file", path=ad)
        self.assertEqual(h.peer("paint", 1), [])
        left, top, right, bottom = h.peer("client")
        shot = [row[left:right] for row in h.screen()[top:bottom]]
        preview = os.path.join(folder, "preview.png")
        p = subprocess.run([os.path.join(ROOT, "tools", "adcheck"), folder, "--preview", preview],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
        rows = h.screen(preview)
        strip = lambda n: [row[:right - left] for row in rows[(n + 1) * BAND + (n - 1) * (bottom - top):][:bottom - top]]
        self.assertTrue(strip(10) == shot, f"{sum(a != b for r, s in zip(strip(10), shot) for a, b in zip(r, s))}"
                                           " pixels differ")
        # What the bar shows for a failed ad is black: the preview's strip must not look like a dark ad.
        self.assertGreater(sum(min(r, 255 - g) > 96 for row in strip(3) for r, g, b in row), len(shot) * len(shot[0]) // 3)


if __name__ == "__main__":
    unittest.main()
