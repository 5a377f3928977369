"""The real exe as a process: its window as other programs see it, how it
ends, and that neither its command line nor its starter's show command
changes what it does."""
import time
import unittest

import barharness as h

WS_POPUP, WS_CHILD, WS_MINIMIZE, WS_VISIBLE = 0x80000000, 0x40000000, 0x20000000, 0x10000000
WS_DISABLED, WS_CLIPCHILDREN, WS_MAXIMIZE = 0x08000000, 0x02000000, 0x01000000
WS_CAPTION, WS_SYSMENU, WS_THICKFRAME = 0x00C00000, 0x00080000, 0x00040000
WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x00020000, 0x00010000
WS_EX_TOPMOST, WS_EX_TOOLWINDOW, WS_EX_WINDOWEDGE, WS_EX_CLIENTEDGE = 0x8, 0x80, 0x100, 0x200
SW_HIDE, SW_SHOWMINIMIZED, SW_MINIMIZE = 0, 2, 6

TOP_BAR = (0, 0, 1024, 75)


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def wait_for(fn, expected, timeout=30):
    end = time.time() + timeout * h.TIME_FACTOR
    value = fn()
    while value != expected and time.time() < end:
        time.sleep(0.1)
        value = fn()
    return value


def reference_state(show):
    """What the platform makes of SW_SHOWDEFAULT for a probe window started with
    that show command. Measured twice at most: it is the yardstick, not the bar,
    and a start failing under a loaded emulator says nothing about either."""
    for _ in range(2):
        rc, out, err = h.run_windows(h.BARPROBE, "launch", show, winpath(h.BARPROBE), "showdefault")
        if rc == 0:
            break
    return rc, out, err


class ProcessTest(unittest.TestCase):
    def test_window_class_title_styles_and_copydata_exit(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "no visible window of class VantorelAdBar titled Vantorel Ad Bar")
            self.assertEqual(bar.wait_rect(TOP_BAR), TOP_BAR)
            style, exstyle = (int(v, 16) for v in h.probe("style"))
            required = WS_POPUP | WS_CLIPCHILDREN | WS_THICKFRAME | WS_VISIBLE
            self.assertEqual(style & required, required, hex(style))
            # The system may add WS_CLIPSIBLINGS; nothing that would give the
            # bar a caption, a system menu, a parent or a min/max state.
            forbidden = (WS_CHILD | WS_MINIMIZE | WS_MAXIMIZE | WS_DISABLED | WS_CAPTION | WS_SYSMENU |
                         WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
            self.assertEqual(style & forbidden, 0, hex(style))
            # The system adds WS_EX_WINDOWEDGE to every thick-framed window.
            self.assertEqual(exstyle & ~WS_EX_WINDOWEDGE, WS_EX_CLIENTEDGE | WS_EX_TOOLWINDOW, hex(exstyle))
            self.assertIsNotNone(bar.wait_trace("Main_OnSize: cxWidth = 80, cyHeight = 75\r\n"))

            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)
            self.assertIsNone(h.probe("pid"), "the window outlived its process")

    def test_close_command_exits_zero(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window())
            rc, _, err = h.ctl("close")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_starter_show_command_and_arguments_change_nothing(self):
        """The bar is shown with SW_SHOWDEFAULT: it ends up in whatever state
        the platform gives such a window for the same start-up information
        (measured on a window of the probe's own), never in the state the show
        command alone would ask for; its arguments are ignored."""
        for show in ("-", str(SW_HIDE), str(SW_MINIMIZE), str(SW_SHOWMINIMIZED)):
            with self.subTest(show=show):
                rc, out, err = reference_state(show)
                self.assertEqual(rc, 0, err)
                reference = out.split()
                args = ("/autohide", "--dock=left", "-hide", "x y")
                with h.Bar(exe=h.BARPROBE, args=("launch", show, winpath(h.BAR_EXE)) + args) as bar:
                    state = lambda: h.probe("visible") and h.probe("visible") + h.probe("iconic")
                    self.assertEqual(wait_for(state, reference), reference)
                    if reference == ["1", "0"]:
                        self.assertEqual(bar.wait_rect(TOP_BAR), TOP_BAR)
                    time.sleep(0.5)
                    self.assertEqual(state(), reference)
                    if reference == ["1", "0"]:
                        self.assertEqual(bar.rect(), TOP_BAR)
                    rc, _, err = h.ctl("quit")
                    self.assertEqual(rc, 0, err)
                    self.assertEqual(bar.wait_exit(), 0, bar.hang_report)


if __name__ == "__main__":
    unittest.main()
