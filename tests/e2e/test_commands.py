# Commands from other programs and the right-button menu.
import subprocess
import time
import unittest

import harness as h



class CommandsTest(h.BarTest):
    def test_every_command_id_from_another_program(self):
        bar = self.start()
        edge = h.peer("commands", 7)[0]
        self.assertTrue(bar.wait_trace("AppBarCallback: ABN_STATECHANGE\r\n", 120), "the bar stopped taking commands")
        self.assertIn(tuple(h.peer("rect")), (h.DOCKED[edge], h.SLIVER[edge]))
        self.assertEqual(h.ctl("quit"), 0)
        self.assertEnds(bar, "quit")

    def test_close_quit_and_the_menu_end_the_process(self):
        for how in ("close", "quit", "menu"):
            with self.subTest(how):
                bar = self.start()
                if how == "menu":
                    h.xdo("mousemove", 500, 40, "click", 3)
                    left, top, right, bottom = h.wait_for(lambda: h.peer("menu"))
                    self.assertEqual((left, top), (500, 40), "the menu is not at the pointer")
                    self.assertLess(bottom - top, 40, "more than the one item")
                    h.xdo("mousemove", (left + right) // 2, (top + bottom) // 2, "click", 3)
                else:
                    self.assertEqual(h.ctl(how), 0)
                self.assertEnds(bar, how)
        self.assertEqual((h.ctl("close"), h.ctl("dock", "middle")), (1, 2), "barctl: no bar, bad arguments")

    def test_close_or_quit_inside_a_download_or_the_menu_ends_the_process(self):
        for how, command in (("download", "close"), ("download", "quit"), ("menu", "close"), ("menu", "quit")):
            with self.subTest(how=how, command=command):
                bar = self.start()
                if how == "menu":
                    h.xdo("mousemove", 500, 40, "click", 3)
                    self.assertTrue(h.wait_for(lambda: h.peer("loop") == [1]), "no menu")
                else:
                    since = len(h.ad_log())
                    h.ad_mode("slow", delay=3 * h.SLOW)
                    painter = subprocess.Popen([h.WINE_RUN, h.BARPEER, "paint", "1"])
                    self.addCleanup(painter.wait, 60)
                    self.assertTrue(h.wait_for(lambda: len(h.ad_log()) > since), "no download")
                self.assertEqual(h.ctl(command), 0)
                self.assertEnds(bar, f"{command} during the {how}")
                h.ad_mode("ok")

    def test_quit_goes_past_a_bar_that_never_answers_and_force_ends_it_and_frees_its_strip(self):
        bar = self.start()
        with h.staying_peer("hung"):
            h.xdo("mousemove", h.W // 2, 40, "click", 1)    # a slide, which must not wait for the hung window
            t = time.monotonic()
            self.assertEqual(h.ctl("quit"), 3, "a bar that never answers")
            self.assertLess(time.monotonic() - t, 5 + 5 * h.SLOW, "barctl waited past its bound")
            self.assertEqual(bar.wait_exit(), 0, "the answering bar was not ended")
            self.assertEqual(h.ctl("quit", "--force"), 5)
            self.assertIsNone(h.peer("rect"), "the bar that never answers still runs")
        # Wine's shell drops a dead bar's strip itself; this checks the next bar docks cleanly.
        with h.staying_peer("otherbar", "bottom", 40) as other:
            self.assertEqual(other[2], str(h.H - 40), "the shell keeps the strip of the bar ended by force")

if __name__ == "__main__":
    unittest.main()
