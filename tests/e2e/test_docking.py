"""Docking against Wine's own desktop-toolbar service (explorer)."""
import subprocess
import unittest

import barharness as h


def query_set_pos(edge, left, top, right, bottom):
    return ("AppBarQuerySetPos: uEdge=%d, lprc->left=%d, lprc->top=%d, "
            "lprc->right=%d, lprc->bottom=%d\r\n" % (edge, left, top, right, bottom))


class OtherBar:
    """Another program's bar, registered with the service and holding a strip
    along an edge until end() (or its own time limit)."""

    def __init__(self, edge, thickness, seconds=60):
        self.proc = subprocess.Popen([h.WINE_RUN, h.BARPROBE, "otherbar", edge, str(thickness), str(seconds)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.granted = self.proc.stdout.readline().split()

    def end(self):
        if self.proc.poll() is None:
            self.proc.stdin.write("\n")
            self.proc.stdin.flush()
        try:
            out = self.proc.stdout.read()
            return self.proc.wait(15), out
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None, ""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.end()


class DockingTest(unittest.TestCase):
    def test_new_bar_takes_the_top_strip_to_row_75(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            self.assertEqual(bar.wait_rect((0, 0, 1024, 75)), (0, 0, 1024, 75))
            lines = bar.trace_lines("AppBarQuerySetPos:")
            self.assertTrue(lines)
            self.assertEqual(set(lines), {query_set_pos(1, 0, 0, 1024, 75)})
            self.assertEqual(set(bar.trace_lines("Main_OnSize:")),
                             {"Main_OnSize: cxWidth = 80, cyHeight = 75\r\n"})

    def test_bar_below_another_and_back_when_it_leaves(self):
        with OtherBar("top", 40) as other:
            self.assertEqual(other.granted, ["registered", "0", "0", "1024", "40"])
            with h.Bar() as bar:
                self.assertTrue(bar.wait_window(), "the bar window never showed")
                self.assertEqual(bar.wait_rect((0, 40, 1024, 75)), (0, 40, 1024, 75))
                self.assertIsNotNone(bar.wait_trace(query_set_pos(1, 0, 40, 1024, 75)))
                self.assertIn("Main_OnSize: cxWidth = 80, cyHeight = 35\r\n", bar.trace_lines("Main_OnSize:"))

                rc, out = other.end()
                self.assertEqual(rc, 0)
                self.assertIn("removed", out)
                self.assertIsNotNone(bar.wait_trace("AppBarCallback: ABN_POSCHANGED\r\n"),
                                     "the service's position notice never came")
                self.assertEqual(bar.wait_rect((0, 0, 1024, 75)), (0, 0, 1024, 75))
                notice = bar.trace_lines().index("AppBarCallback: ABN_POSCHANGED\r\n")
                after = bar.trace_lines()[notice:]
                self.assertEqual(after[1], "AppBarPosChanged\r\n")
                self.assertIn(query_set_pos(1, 0, 0, 1024, 75), after)
                self.assertIsNotNone(bar.wait_trace("Main_OnSize: cxWidth = 80, cyHeight = 75\r\n"))


if __name__ == "__main__":
    unittest.main()
