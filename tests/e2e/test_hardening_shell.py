"""The shell letting the bar down, against Wine's own desktop-toolbar service:
a shell that forgets the bar and then announces itself again, and an
auto-hide bar docked to another edge by a service that never names the bar
as its edge's auto-hide bar (so switching auto-hide off is always refused)."""
import subprocess
import time
import unittest

import barharness as h

W, H = 1024, 768
TOP = (0, 0, W, 75)


def fuzz(*args):
    rc, out = h.fuzz(*args)
    return rc, out.split()


class ShellTest(unittest.TestCase):
    def start(self):
        bar = h.Bar()
        self.assertTrue(bar.wait_window(), "the bar window never showed")
        self.assertEqual(bar.wait_rect(TOP), TOP)
        return bar

    def test_forgotten_bar_registers_again_when_the_shell_announces_itself(self):
        with self.start() as bar:
            self.assertEqual(h.granted_top(), 75)
            self.assertEqual(fuzz("forget"), (0, ["removed", "1"]))
            self.assertEqual(h.granted_top(), 0, "the service still keeps the bar's strip")

            self.assertEqual(fuzz("broadcast"), (0, ["broadcast", "1"]))
            self.assertIsNotNone(bar.wait_trace("AppBarShellRestarted\r\n", timeout=5))
            self.assertEqual(h.granted_top(), 75, "the bar did not take its strip back")
            self.assertEqual(bar.wait_rect(TOP), TOP)

            # Unregistered by command, it stays out.
            rc, _, err = h.ctl("unregister")
            self.assertEqual(rc, 0, err)
            self.assertEqual(fuzz("broadcast"), (0, ["broadcast", "1"]))
            time.sleep(0.5)
            self.assertEqual(h.granted_top(), 0)
            self.assertEqual(bar.trace_lines("AppBarShellRestarted"), ["AppBarShellRestarted\r\n"])
            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_auto_hide_bar_docked_to_another_edge_slides_out_there(self):
        h.xdotool("mousemove", W // 2, H // 2)
        with self.start() as bar:
            rc, _, err = h.ctl("autohide", "on")
            self.assertEqual(rc, 0, err)
            rc, _, err = h.ctl("dock", "left")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.trace_lines("ERROR"), ["ERROR: We're not hidden currently\r\n"])
            self.assertEqual(bar.wait_rect((0, 0, 2, H)), (0, 0, 2, H))

            other = subprocess.Popen([h.WINE_RUN, h.BARPROBE, "activate-other", "6000"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                time.sleep(1)
                # The pointer resting on the sliver brings the bar out at the left, not at the top.
                h.xdotool("mousemove", 1, H // 2)
                self.assertEqual(bar.wait_rect((0, 0, 80, H), timeout=3), (0, 0, 80, H))
                h.xdotool("mousemove", W // 2, H // 2)
                self.assertEqual(bar.wait_rect((0, 0, 2, H), timeout=5), (0, 0, 2, H))
            finally:
                other.wait(30)
            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)


if __name__ == "__main__":
    unittest.main()
