# Commands from other programs and the right-button menu.
import time
import unittest

import harness as h



class CommandsTest(h.BarTest):
    def test_every_command_id_from_another_program(self):
        bar = self.start()
        edge = h.peer("commands", 7)[0]
        self.assertTrue(bar.wait_trace("AppBarCallback: ABN_STATECHANGE\r\n", 120), "the bar stopped taking commands")
        self.assertIn(tuple(h.peer("rect")), (h.DOCKED[edge], h.SLIVER[edge]))

    def test_the_menu_item_or_close_or_quit_inside_the_menu_or_a_download_ends_the_process(self):
        for how, command in (("menu", "item"), *((w, c) for w in ("menu", "download") for c in ("close", "quit"))):
            with self.subTest(how=how, command=command):
                bar = self.start()
                if how == "menu":
                    h.xdo("mousemove", 500, 40, "click", 3)
                    left, top, right, bottom = h.wait_for(lambda: h.peer("menu")) or (0, 0, 0, 0)
                    self.assertEqual((left, top), (500, 40), "the menu is not at the pointer")
                    self.assertLess(bottom - top, 40, "more than the one item")
                else:
                    self.start_download(3)
                if command == "item":
                    h.xdo("mousemove", (left + right) // 2, (top + bottom) // 2, "click", 3)
                else:
                    self.assertEqual(h.ctl(command), 0)
                self.assertEnds(bar, f"{command} during the {how}")
        self.assertEqual((h.ctl("close"), h.ctl("dock", "middle")), (1, 2), "barctl: no bar, bad arguments")

    def test_quit_goes_past_a_bar_that_never_answers_and_force_ends_it(self):
        bar = self.start()
        with h.staying_peer("hung"):
            h.xdo("mousemove", h.W // 2, 40, "click", 1)    # a slide, which must not wait for the hung window
            t = time.monotonic()
            self.assertEqual(h.ctl("quit"), 3, "a bar that never answers")
            self.assertLess(time.monotonic() - t, 5 + 5 * h.SLOW, "barctl waited past its bound")
            self.assertEqual(bar.wait_exit(), 0, "the answering bar was not ended")
            self.assertEqual(h.ctl("quit", "--force"), 5)
            self.assertIsNone(h.peer("rect"), "the bar that never answers still runs")

if __name__ == "__main__":
    unittest.main()
