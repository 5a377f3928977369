import os
import time
import unittest

import barharness as h

# Colours of the sample banners at a few spots, in banner coordinates (GIF, so exact).
AD1 = (((100, 10), (208, 37, 37)), ((400, 10), (89, 13, 13)), ((30, 12), (255, 254, 254)))
AD2 = (((100, 10), (165, 79, 29)), ((400, 10), (89, 41, 13)), ((30, 12), (255, 254, 254)))
SCREEN_W = 1024
BANNER_W = 468


def ad_times(since):
    """(unix time, path) of every ad request logged from line `since` on."""
    with open(h.ADSERVER_LOG) as f:
        lines = f.read().splitlines()
    out = []
    for line in lines[since:]:
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "GET":
            out.append((float(parts[0]), parts[2]))
    return out


def wait_request(since, path, timeout):
    end = time.time() + timeout
    while time.time() < end:
        for t, p in ad_times(since):
            if p == path:
                return t
        time.sleep(0.1)
    return None


def near(a, b, tol=8):
    return all(abs(x - y) <= tol for x, y in zip(a, b))


class AdsTest(unittest.TestCase):
    def setUp(self):
        h.adserver("/control/reset")

    def client_origin(self, bar):
        """Screen position of the client area: the frame is as wide on both sides."""
        left, top, right, bottom = bar.rect()
        cw, ch = map(int, h.probe("client"))
        return left + (right - left - cw) // 2, top + (bottom - top - ch) // 2, cw, ch

    def check_banner(self, shot, origin, spots):
        ox, oy, cw, ch = origin
        bx = ox + SCREEN_W // 2 - BANNER_W // 2
        for (x, y), colour in spots:
            got = h.pixel(shot, bx + x, oy + y)
            self.assertTrue(near(got, colour), f"banner pixel {x},{y}: {got}, expected {colour}")
        # The class background on both sides and below: one colour, not the banner's.
        back = h.pixel(shot, ox + 5, oy + 5)
        around = [(bx - 1, oy + 10), (bx + BANNER_W, oy + 10), (ox + cw - 2, oy + 30)]
        if ch > 60:
            around.append((bx + 100, oy + 60))
        for x, y in around:
            self.assertEqual(h.pixel(shot, x, y), back, f"background at screen {x},{y}")
        self.assertFalse(near(back, spots[0][1]))

    def test_first_ad_centred_then_the_next_ten_seconds_later(self):
        since = h.ad_log_size()
        started = time.time()
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            t1 = wait_request(since, "/ads/vtl_1.ad", 15)
            self.assertIsNotNone(t1, "ad 1 was never asked for")
            self.assertLess(t1 - started, 15)
            self.assertEqual(bar.wait_rect((0, 0, 1024, 75)), (0, 0, 1024, 75))
            time.sleep(0.5)
            origin = self.client_origin(bar)
            shot = h.screenshot()
            try:
                self.check_banner(shot, origin, AD1)
            finally:
                os.unlink(shot)

            t2 = wait_request(since, "/ads/vtl_2.ad", 30)
            self.assertIsNotNone(t2, "ad 2 was never asked for")
            self.assertGreater(t2 - t1, 8)
            self.assertLess(t2 - t1, 20)
            self.assertEqual([p for _, p in ad_times(since)][:2], ["/ads/vtl_1.ad", "/ads/vtl_2.ad"])
            time.sleep(0.5)
            shot = h.screenshot()
            try:
                self.check_banner(shot, origin, AD2)
            finally:
                os.unlink(shot)


if __name__ == "__main__":
    unittest.main()
