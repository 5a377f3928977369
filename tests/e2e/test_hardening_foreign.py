"""Messages from another program, thrown at the real bar by barfuzz: every
command identifier in a random order, storms of WM_COPYDATA, the shell's
notification message with random codes and arguments, and paints and
commands arriving while a paint is still loading. The bar must live on,
docked where its last command put it, or end cleanly with exit code 0."""
import re
import subprocess
import unittest

import barharness as h

W, H = 1024, 768
STATECHANGE = "AppBarCallback: ABN_STATECHANGE\r\n"


def on_edge(rect, edge):
    """The window stands along that edge, at full thickness or as the sliver."""
    left, top, right, bottom = rect
    if edge == "top":
        return (left, top, right) == (0, 0, W) and bottom in (2, 75)
    if edge == "bottom":
        return (left, right, bottom) == (0, W, H) and top in (H - 2, H - 75)
    if edge == "left":
        return (left, top, bottom) == (0, 0, H) and right in (2, 80)
    return (top, right, bottom) == (0, W, H) and left in (W - 2, W - 80)


class ForeignMessagesTest(unittest.TestCase):
    def setUp(self):
        h.adserver("/control/reset")

    def tearDown(self):
        h.adserver("/control/reset")

    def start(self):
        bar = h.Bar()
        self.assertTrue(bar.wait_window(), "the bar window never showed")
        self.assertEqual(bar.wait_rect((0, 0, W, 75)), (0, 0, W, 75))
        return bar

    def test_every_command_id_in_random_order(self):
        with self.start() as bar:
            # Posted, not sent: 65 534 round trips would take minutes here.
            rc, out = h.fuzz("commands", 7, "noclose", "post")
            self.assertEqual(rc, 0, out)
            edge = re.search(r"last-dock (\w+)", out).group(1)
            self.assertIsNotNone(bar.wait_trace(STATECHANGE, timeout=120), "the bar never took in all commands")
            self.assertIsNone(bar.proc.poll(), "the bar ended")
            rect = bar.rect()
            self.assertTrue(on_edge(rect, "top" if edge == "none" else edge), f"{rect} after docking {edge}")
            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_copydata_storm_with_commands_and_notifications(self):
        with self.start() as bar:
            others = [subprocess.Popen([h.WINE_RUN, h.BARFUZZ, *args], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
                      for args in (("callbacks", "300", "3"), ("commands", "5", "noclose", "send"))]
            rc, out = h.fuzz("copydata", 400, 4)
            self.assertEqual(rc, 0, out)
            # One teardown, whatever else was in flight: a second free or a
            # use of the freed record would crash (exit code 5 under Wine).
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)
            for p in others:
                p.wait(60)

    def test_random_shell_notifications(self):
        with self.start() as bar:
            rc, out = h.fuzz("callbacks", 500, 42)
            self.assertEqual(rc, 0, out)
            self.assertEqual(out.split(), ["sent", "500"])
            self.assertEqual(bar.rect(), (0, 0, W, 75))
            self.assertIn("AppBarCallback: ABN_POSCHANGED\r\n", bar.trace_lines())
            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)

    def test_paints_and_commands_while_a_paint_is_loading(self):
        with self.start() as bar:
            since = h.ad_log_size()
            h.adserver("/control/mode?set=slow&delay=2")
            rc, out = h.fuzz("race", 300)
            self.assertEqual(rc, 0, out)
            h.adserver("/control/mode?set=ok")
            times = {m.group(1): (int(m.group(2)), int(m.group(3)))
                     for m in re.finditer(r"^(\S+) (-?\d+) (-?\d+)$", out, re.M)}
            self.assertEqual(set(times), {"paint-1", "paint-2", "dock-left", "poschanged", "autohide-on",
                                          "dock-bottom"}, out)
            self.assertIsNone(bar.proc.poll(), "the bar ended")
            self.assertTrue(on_edge(bar.rect(), "bottom"), bar.rect())
            # Every paint asked for its own ad, in turn, none twice.
            paths, _ = h.ad_requests(since)
            ads = [int(m.group(1)) for m in (re.match(r"^/ads/vtl_(\d+)\.ad$", p) for p in paths) if m]
            self.assertGreaterEqual(len(ads), 2)
            self.assertEqual(ads, [(ads[0] + i - 1) % 16 + 1 for i in range(len(ads))])
            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(), 0, bar.hang_report)


if __name__ == "__main__":
    unittest.main()
