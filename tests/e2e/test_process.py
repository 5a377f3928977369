import unittest

import barharness as h


class ProcessTest(unittest.TestCase):
    def test_starts_docks_and_quits_on_copydata(self):
        with h.Bar() as bar:
            self.assertTrue(bar.wait_window(), "the bar window never showed")
            self.assertEqual(bar.wait_rect((0, 0, 1024, 75)), (0, 0, 1024, 75))
            rc, _, err = h.ctl("quit")
            self.assertEqual(rc, 0, err)
            self.assertEqual(bar.wait_exit(10), 0)


if __name__ == "__main__":
    unittest.main()
