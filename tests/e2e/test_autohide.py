"""Auto-hide of the real bar against Wine's shell service, driven by the
controller, another window and the pointer (xdotool)."""
import os
import subprocess
import time
import unittest

import barharness as h

W, H = 1024, 768
SHOWN = (0, 0, W, 75)
HIDDEN = (0, 0, W, 2)


def shot(name):
    """A screenshot kept in the build tree for a person to look at."""
    return h.screenshot(os.path.join(os.environ.get("BAR_BUILD_DIR", "."), name))


class OtherWindow:
    """Another program's window in the foreground (barprobe activate-other) until
    the block ends or a minute has passed."""

    def __init__(self):
        self.proc = subprocess.Popen([h.WINE_RUN, h.BARPROBE, "activate-other", "60000"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()


class AutoHideTest(unittest.TestCase):
    def wait_rect_within(self, bar, expected, seconds):
        """The bar reaches the rectangle; returns how long that took."""
        t0 = time.monotonic()
        self.assertEqual(bar.wait_rect(expected, timeout=seconds + 2), expected,
                         "latest trace lines: %r" % bar.trace_lines()[-5:])
        return time.monotonic() - t0

    def test_slides_away_and_back_under_the_pointer(self):
        h.xdotool("mousemove", W // 2, H - 100)
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            self.assertEqual(bar.wait_rect(SHOWN), SHOWN)

            rc, _, err = h.ctl("autohide", "on")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.trace_lines("ERROR"), [])
            self.assertEqual(bar.rect(), SHOWN, "at the top the bar keeps its height until deactivated")

            with OtherWindow():
                self.wait_rect_within(bar, HIDDEN, 5)
                hidden = shot("autohide-hidden.png")

                h.xdotool("mousemove", W // 2, 1)
                bound = 1.0 * h.TIME_FACTOR
                took = self.wait_rect_within(bar, SHOWN, bound)
                self.assertLess(took, bound, "the bar did not slide back within a second")
                shown = shot("autohide-shown.png")
                # What the bar uncovers is the desktop's to repaint; under Wine's virtual
                # desktop traces of the slide may stay, so only the bar's own pixels are checked.
                desktop = h.pixel(hidden, 10, H // 2)
                self.assertNotEqual(h.pixel(hidden, 10, 0), desktop, "no sliver at the top")
                self.assertFalse(any(h.pixel(shown, 10, y) == desktop for y in range(0, 75, 8)),
                                 "the shown bar leaves the desktop visible")

                # The pointer leaves while another window is in front: the hide check slides it away.
                h.xdotool("mousemove", W // 2, H - 100)
                self.wait_rect_within(bar, HIDDEN, 3)

            # Wine's service never names an auto-hide bar, so switching off is refused.
            rc, _, err = h.ctl("autohide", "off")
            self.assertEqual(rc, 0, err)
            self.assertIsNotNone(bar.wait_trace("ERROR: We're not hidden currently\r\n", timeout=5))
            self.assertEqual(bar.trace_lines("ERROR"), ["ERROR: We're not hidden currently\r\n"])
            self.assertEqual(h.probe("box", "Generic, Line=586, File=AppBar"), ["0"])

            # Still auto-hide: shown on activation, away on the next deactivation.
            h.xdotool("mousemove", W // 2, 1)
            self.wait_rect_within(bar, SHOWN, 3)
            with OtherWindow():
                h.xdotool("mousemove", W // 2, H - 100)
                self.wait_rect_within(bar, HIDDEN, 5)

            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_comes_back_after_a_click(self):
        # The click takes the mouse capture; the bar must still come back after hiding.
        h.xdotool("mousemove", W // 2, H - 100)
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            self.assertEqual(bar.wait_rect(SHOWN), SHOWN)
            rc, _, err = h.ctl("autohide", "on")
            self.assertEqual(rc, 0, err)

            h.xdotool("mousemove", W // 2, 40, "click", 1)
            time.sleep(0.5)
            with OtherWindow():
                self.wait_rect_within(bar, HIDDEN, 5)
                h.xdotool("mousemove", W // 2, 1)
                self.wait_rect_within(bar, SHOWN, 2)


if __name__ == "__main__":
    unittest.main()
