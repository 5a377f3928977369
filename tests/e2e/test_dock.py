# Docking against Wine's own desktop-toolbar service.
import unittest

import harness as h
from harness import H, TOP, W

QSP = "AppBarQuerySetPos: uEdge=%d, lprc->left=%d, lprc->top=%d, lprc->right=%d, lprc->bottom=%d\r\n"


def drag(x0, y0, x1, y1):
    h.xdo("mousemove", x0, y0, "mousedown", 1)
    h.xdo("mousemove", (x0 + x1) // 2, (y0 + y1) // 2, "mousemove", x1, y1)


class DockTest(h.BarTest):
    def test_edges_by_command_and_only_the_inner_border_sizes(self):
        bar = self.start(args=("/autohide", "--dock=left"))   # the command line changes nothing
        self.assertIn(QSP % (1, 0, 0, W, 75), bar.traces)
        # Hit-test answers at the left, top, right and bottom border: only the inner one sizes.
        for edge, hits in (("left", [1, 1, 11, 1]), ("right", [10, 1, 1, 1]), ("bottom", [1, 12, 1, 1]), ("top", [1, 1, 1, 15])):
            self.assertEqual(h.ctl("dock", edge), 0)
            self.assertEqual(tuple(h.peer("rect")), h.DOCKED[edge], edge)
            self.assertEqual(h.peer("hit"), hits, edge)

    def test_under_another_bar_and_back_when_it_leaves(self):
        with h.staying_peer("otherbar", "top", 40) as other:
            self.assertEqual(other, ["registered", "0", "0", str(W), "40"])
            bar = h.Bar()
            self.addCleanup(bar.stop)
            self.assertEqual(bar.wait_rect((0, 40, W, 75), 30), (0, 40, W, 75))
            self.assertTrue(bar.wait_trace("Main_OnSize: cxWidth = 80, cyHeight = 35\r\n"))
        self.assertEqual(bar.wait_rect(TOP), TOP, "no return to the top when the other bar left")
        with h.staying_peer("otherbar", "top", 40) as late:
            self.assertEqual(late[1:3], ["0", "75"], "the shell does not keep the bar's strip")

    def test_a_drag_of_the_inner_border_is_renegotiated(self):
        bar = self.start()
        n = len(bar.traces)
        drag(W // 2, 74, W // 2, 120)
        h.xdo("mouseup", 1)
        self.assertTrue(h.wait_for(lambda: QSP % (1, 0, 0, W, 75) in bar.traces[n:]), "the drag sized nothing")
        self.assertEqual(bar.wait_rect(TOP), TOP, "a top bar ends at row 75")
        self.assertEqual(h.ctl("dock", "left"), 0)
        drag(79, H // 2, 149, H // 2)
        h.xdo("mouseup", 1)
        self.assertEqual(bar.wait_rect((0, 0, 150, H)), (0, 0, 150, H), "the width given by the border is lost")
        with h.staying_peer("otherbar", "left", 40) as other:
            self.assertEqual(other[1], "150", "the shell was not told of the new width")


if __name__ == "__main__":
    unittest.main()
