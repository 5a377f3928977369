# The ads as the screen and the ad server see them.
import os
import subprocess
import tempfile
import time
import unittest

import harness as h
from harness import W

RED, BLUE = (200, 30, 30), (30, 30, 200)
ADS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res", "ads")


def picture(width, height):
    # A 24-bit BMP, red in its left half and blue in its right half.
    fd, path = tempfile.mkstemp(suffix=".bmp")
    os.close(fd)
    subprocess.run(["convert", "-size", f"{width // 2}x{height}", "xc:rgb%s" % (RED,), "-size",
                    f"{width - width // 2}x{height}", "xc:rgb%s" % (BLUE,), "+append", "-type", "TrueColor",
                    "BMP3:" + path], check=True, timeout=60)
    return path


class AdsTest(h.BarTest):
    def test_first_ad_at_start_then_every_ten_seconds_in_turn(self):
        since = len(h.ad_log())
        self.start()
        self.assertTrue(h.wait_for(lambda: len(h.ad_log()) > since + 1, 25), "no refresh after the first ad")
        (t1, _), (t2, _) = h.ad_log()[since:since + 2]
        self.assertTrue(8 < t2 - t1 < 20 * h.SLOW, t2 - t1)
        self.assertEqual(h.peer("paint", 15), [])
        self.assertEqual([n for _, n in h.ad_log()[since:since + 17]], list(range(1, 17)) + [1])

    def test_pictures_centred_on_the_screen_width_and_top_aligned(self):
        self.start()
        for width, red, blue in ((469, (278, 512), (512, 747)), (468, (278, 512), (512, 746)),
                                 (1100, (0, 512), (512, W))):
            path = picture(width, 30)
            self.addCleanup(os.unlink, path)
            h.ad_mode("file", path=path)
            self.assertEqual(h.peer("paint", 1), [], width)
            row, back = self.row()
            expected = [back] * red[0] + [RED] * (red[1] - red[0]) + [BLUE] * (blue[1] - blue[0])
            expected += [back] * (len(row) - len(expected))
            self.assertEqual(row, expected[:len(row)], width)
            self.assertEqual(set(self.row(30)[0]), {back}, "below the picture")
        h.ad_mode("file", path=os.path.join(ADS, "vtl_9.ad"))
        self.assertEqual(h.peer("paint", 1), [])
        self.assertTrue(self.shows_ad(), "the sample metafile is not drawn in its place")

    def test_bad_answers_leave_the_background_and_the_rotation_going(self):
        self.start()
        for mode in ("404", "500", "empty", "garbage", "truncated", "redirect", "refuse"):
            since = len(h.ad_log())
            h.ad_mode(mode)
            self.assertEqual(h.peer("paint", 1), [], mode)
            self.assertEqual(self.shows_ad(), mode == "redirect", mode)
            h.ad_mode("ok")
            self.assertEqual(h.peer("paint", 1), [], mode)
            self.assertTrue(self.shows_ad(), mode)
            asked = [n for _, n in h.ad_log()[since - 1:]]
            if mode == "refuse":
                self.assertNotEqual(asked[1], asked[0] % 16 + 1, "a refused ad did not advance")
            else:
                self.assertEqual(asked, [(asked[0] + i - 1) % 16 + 1 for i in range(len(asked))], mode)

    def test_paints_during_a_slow_download_start_no_second_one_and_the_rotation_goes_on(self):
        self.start()
        self.assertTrue(h.wait_for(lambda: len(h.ad_log("END")) == len(h.ad_log())), "the first ad is not in")
        since, done = len(h.ad_log()), len(h.ad_log("END"))
        h.ad_mode("slow", delay=2 * h.SLOW)
        painters = []   # other programs asking for a repaint every half second
        for _ in range(8):
            painters.append(subprocess.Popen([h.WINE_RUN, h.BARPEER, "paint", "1"]))
            time.sleep(0.5)
        for painter in painters:
            painter.wait(60 * h.SLOW)
        h.ad_mode("ok")
        self.assertEqual(h.peer("paint", 2), [])
        asked, answered = h.ad_log()[since:], h.ad_log("END")[done:]
        self.assertTrue(all(a[0] > b[0] for a, b in zip(asked[1:], answered)), "two requests in flight at once")
        self.assertEqual([n for _, n in asked], [(asked[0][1] + i - 1) % 16 + 1 for i in range(len(asked))])


if __name__ == "__main__":
    unittest.main()
