# What the shell and the session tell the bar: a restart that forgot it, full-screen windows,
# the end of the session.
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

    def test_the_end_of_the_session_ends_the_bar_and_frees_its_strip_unless_cancelled(self):
        # Shutdown, the Restart Manager closing it for an installer, a critical end, sign-out. The
        # Restart Manager gives up on a bar that lingers: it comes inside a download, which must not hold the end.
        for flags in ("0", "0x1", "0x40000000", "0x80000000"):
            with self.subTest(flags=flags):
                bar = self.start()
                if flags == "0x1":
                    self.start_download(60)
                self.assertEqual(h.peer("endsession", 1, flags), [1])
                self.assertEnds(bar, "the session ended", 5)
                self.assertEqual(self.granted_top(), "0", "the ended bar kept its strip")
        self.start()
        self.assertEqual(h.peer("endsession", 0, "0x1"), [1])
        self.assertEqual(tuple(h.peer("rect")), h.TOP, "a cancelled end ended the bar")


if __name__ == "__main__":
    unittest.main()
