# Auto-hide against Wine's shell service, the pointer moved by xdotool.
import time
import unittest

import harness as h
from harness import H, TOP, W

POINTER = {"top": (W // 2, 0), "left": (0, H // 2), "right": (W - 1, H // 2), "bottom": (W // 2, H - 1)}


class AutoHideTest(h.BarTest):
    def test_sliver_at_each_edge_back_under_the_pointer_and_away_when_it_leaves(self):
        bar = self.start()
        self.assertEqual(h.ctl("autohide", "on"), 0)
        with h.staying_peer("front"):
            for edge, pointer in POINTER.items():
                shown, sliver = h.DOCKED[edge], h.SLIVER[edge]
                # Not at the top, where it starts: a switch-on at the top edge leaves the strip
                # full height until the next deactivation, which may already have passed.
                if edge != "top":
                    self.assertEqual(h.ctl("dock", edge), 0)
                self.assertEqual(bar.wait_rect(sliver), sliver, edge)
                h.xdo("mousemove", *pointer)
                self.assertEqual(bar.wait_rect(shown, 1), shown, f"{edge}: not back under the pointer")
                h.xdo("mousemove", W // 2, H // 2)
                self.assertEqual(bar.wait_rect(sliver), sliver, f"{edge}: stayed out without the pointer")

    def test_back_after_a_click(self):
        bar = self.start()
        self.assertEqual(h.ctl("autohide", "on"), 0)
        h.xdo("mousemove", W // 2, 40, "click", 1)
        with h.staying_peer("front"):
            self.assertEqual(bar.wait_rect(h.SLIVER["top"]), h.SLIVER["top"])
            h.xdo("mousemove", W // 2, 0)
            self.assertEqual(bar.wait_rect(TOP, 2), TOP, "the click kept the capture: no hit tests, no return")

    def test_a_dock_command_during_a_slide_wins(self):
        bar = self.start()
        self.assertEqual(h.ctl("autohide", "on"), 0)
        with h.staying_peer("front"):
            self.assertEqual(bar.wait_rect(h.SLIVER["top"]), h.SLIVER["top"])
            with h.staying_peer("duringslide", 40009) as watcher:     # dock left as the bar starts to show
                h.xdo("mousemove", W // 2, 0)
            self.assertEqual(watcher.wait(), 0, "no slide")
            self.assertEqual(bar.wait_rect(h.SLIVER["left"]), h.SLIVER["left"])
            time.sleep(1.5)     # three hide checks
            self.assertEqual(tuple(h.peer("rect")), h.SLIVER["left"], "the slide went on to the old edge")


if __name__ == "__main__":
    unittest.main()
