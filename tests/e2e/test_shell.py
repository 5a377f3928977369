# What the shell tells the bar: a restart that forgot it, full-screen windows.
import unittest

import harness as h


class ShellTest(h.BarTest):
    def granted_top(self):
        with h.staying_peer("otherbar", "top", 40) as other:
            return other[2]

    def test_a_restarted_shell_gets_the_bar_back_unless_unregistered(self):
        bar = self.start()
        self.assertEqual(h.peer("forget"), [])
        self.assertEqual(self.granted_top(), "0")
        self.assertEqual(h.peer("broadcast"), [])
        self.assertTrue(bar.wait_trace("AppBarShellRestarted\r\n"))
        self.assertEqual(self.granted_top(), "75", "the bar did not take its strip back")
        self.assertEqual(h.ctl("unregister"), 0)
        self.assertEqual(h.peer("broadcast"), [])
        self.assertEqual(self.granted_top(), "0", "an unregistered bar registered again")

    def test_behind_a_full_screen_window_and_back(self):
        self.start()
        # Windows below the bar after the opening; 1 when back right below the window above
        # it; windows above it when that window was closed before the closing.
        self.assertEqual(h.peer("fullscreen"), [0, 1, 0])


if __name__ == "__main__":
    unittest.main()
