"""Commands from another program (the controller) and the right-button menu,
on the real bar under Wine."""
import os
import subprocess
import time
import unittest

import barharness as h

W, H = 1024, 768
TOP = (0, 0, W, 75)


def menu_rect(timeout=5):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        r = h.probe("menu")
        if r:
            return tuple(map(int, r))
        time.sleep(0.1)
    return None


class ControllerTest(unittest.TestCase):
    def test_every_command_from_another_process(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            self.assertEqual(bar.wait_rect(TOP), TOP)

            # Sent, not posted: the bar has docked when the controller returns.
            for edge, rect in (("left", (0, 0, 80, H)), ("right", (W - 80, 0, W, H)),
                               ("bottom", (0, H - 75, W, H)), ("top", TOP)):
                rc, _, err = h.ctl("dock", edge)
                self.assertEqual(rc, 0, err)
                self.assertEqual(bar.rect(), rect, edge)

            self.assertEqual(h.granted_top(), 75)
            rc, _, err = h.ctl("unregister")
            self.assertEqual(rc, 0, err)
            h.ctl("dock", "top")
            self.assertEqual(h.granted_top(), 0, "the service still keeps the bar's strip")
            rc, _, err = h.ctl("register")
            self.assertEqual(rc, 0, err)
            h.ctl("dock", "top")
            self.assertEqual(h.granted_top(), 75, "the bar did not register again")

            rc, _, err = h.ctl("autohide", "on")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.trace_lines("ERROR"), [])
            h.xdotool("mousemove", W // 2, H - 100)
            other = subprocess.Popen([h.WINE_RUN, h.BARPROBE, "activate-other", "3000"])
            self.assertEqual(bar.wait_rect((0, 0, W, 2), timeout=5), (0, 0, W, 2),
                             "auto-hide is not on: the bar did not slide away when deactivated")
            other.wait(30)

            rc, _, err = h.ctl("close")
            self.assertEqual(rc, 0, err)
            self.assertIsNone(h.probe("rect"), "the window outlived the close command")
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_quit_ends_the_process(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_no_bar_and_bad_arguments(self):
        self.assertIsNone(h.probe("rect"))
        rc, _, err = h.ctl("dock", "top")
        self.assertEqual(rc, 1)
        self.assertIn("no Vantorel Ad Bar is running", err)
        for args in ((), ("dock",), ("dock", "middle"), ("autohide", "maybe"), ("close", "now"),
                     ("quit", "1"), ("frobnicate",), ("DOCK", "TOP")):
            rc, _, err = h.ctl(*args)
            self.assertEqual(rc, 2, args)
            self.assertIn("usage: barctl dock top|bottom|left|right", err, args)


class ContextMenuTest(unittest.TestCase):
    def open_menu(self, x, y):
        h.xdotool("mousemove", x, y, "click", 3)
        r = menu_rect()
        self.assertIsNotNone(r, "no popup menu appeared")
        return r

    def test_exit_only_at_the_pointer(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            self.assertEqual(bar.wait_rect(TOP), TOP)
            traces = len(bar.trace_lines())

            r = self.open_menu(500, 40)
            self.assertEqual(r[:2], (500, 40), "the menu's top-left corner is not at the pointer")
            self.assertLess(r[3] - r[1], 40, "more than one item: %r" % (r,))
            h.screenshot(os.path.join(os.environ.get("BAR_BUILD_DIR", "."), "menu-open.png"))

            h.xdotool("key", "Escape")
            time.sleep(0.5)
            self.assertIsNone(h.probe("menu"), "Escape left the menu open")

            self.open_menu(600, 30)
            h.xdotool("mousemove", 600, 500, "click", 1)
            time.sleep(0.5)
            self.assertIsNone(h.probe("menu"), "a click outside left the menu open")

            self.assertIsNone(bar.proc.poll(), "dismissing the menu ended the bar")
            self.assertEqual(bar.rect(), TOP)
            self.assertEqual(bar.trace_lines()[traces:], [], "dismissing the menu ran something")

            r = self.open_menu(500, 40)
            h.xdotool("mousemove", (r[0] + r[2]) // 2, (r[1] + r[3]) // 2, "click", 1)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_exit_chosen_with_the_right_button(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            r = self.open_menu(300, 20)
            h.xdotool("mousemove", (r[0] + r[2]) // 2, (r[1] + r[3]) // 2, "click", 3)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_close_or_quit_while_open_ends_the_process(self):
        """The menu's loop takes the quit message for itself under Wine."""
        for command in ("close", "quit"):
            with self.subTest(command=command), h.Bar() as bar:
                self.assertTrue(bar.wait_window(), "the bar window never showed")
                self.open_menu(500, 40)
                rc, _, err = h.ctl(command)
                self.assertEqual(rc, 0, err)
                self.assertEqual(bar.wait_exit(), 0, bar.hang_report)
                self.assertIsNone(h.probe("menu"), "the menu outlived the bar")


if __name__ == "__main__":
    unittest.main()
