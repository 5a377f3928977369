"""tools/adset report, as the operator runs it: on logs whose truth is known
(bench/adlogsim.py), on the sample server's own access log, and on the nginx
log the publishing load test keeps.

The load test's log is read when PUBLISH_LOAD_LOG names it and
PUBLISH_LOAD_ROOT its publish root (the journal); without them that case is
skipped.
"""
import collections
import csv
import datetime
import gzip
import hashlib
import io
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

TREE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(TREE, "bench"), os.path.join(TREE, "server")]
import adlogsim  # noqa: E402
from adset import journal  # noqa: E402



def free_ports():
    """A port whose next one is free too (the sample server's control port): the suite's own ad server has BAR_TEST_PORT."""
    while True:
        with socket.socket() as a, socket.socket() as b:
            a.bind(("127.0.0.1", 0))
            try:
                b.bind(("127.0.0.1", a.getsockname()[1] + 1))
            except OSError:
                continue
            return a.getsockname()[1]


def report(*args, stdin=None):
    return subprocess.run([os.path.join(TREE, "tools", "adset"), "report", *args], input=stdin,
                          capture_output=True, text=True, timeout=300)


def utc(t):
    return datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


class Generated(unittest.TestCase):
    """80 bars for 3 hours over midnight (UTC), logged in +01:00, with a publish and a rollback."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="report-test-")
        adlogsim.main([cls.dir, "--bars", "80", "--hours", "3", "--seed", "5"])
        with open(os.path.join(cls.dir, "truth.json")) as f:
            cls.truth = json.load(f)
        with open(os.path.join(cls.dir, "access.log"), "rb") as f:
            lines = f.readlines()
        # Rotated by logrotate: the oldest compressed, given newest first; one
        # malformed line in the middle, the live file's last line half written.
        a, b = len(lines) * 2 // 5, len(lines) * 3 // 4
        os.mkdir(os.path.join(cls.dir, "rotated"))
        cls.logs = [os.path.join(cls.dir, "rotated", n) for n in ("access.log", "access.log.2.gz", "access.log.1")]
        with open(cls.logs[0], "wb") as f:
            f.writelines(lines[b:] + [lines[0][:40]])
        with gzip.open(cls.logs[1], "wb") as f:
            f.writelines(lines[:a])
        with open(cls.logs[2], "wb") as f:
            f.writelines(lines[a:a + 100] + [b"2026-12-07T00:00:00+01:00 oops\n"] + lines[a + 100:b])
        cls.end = cls.truth["end"]
        cls.result = report(*cls.logs, "--root", os.path.join(cls.dir, "root"), "--json", "--tz", "UTC",
                         "--to", utc(cls.end) + "Z", "--bars", "--silent", "15m")
        cls.out = json.loads(cls.result.stdout or "{}")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_showings_per_creative_per_day_are_exact(self):
        # Faults: a cut or failed fetch counted as shown; a request given to the set
        # live when it ended; a .gz's bytes not recognised; a rotated or compressed
        # file lost or read twice; a guess between two pictures of the same size.
        got = {f"{r['period']} {r['ad']} {r['sha256']}": r["showings"] for r in self.out["rows"] if r["sha256"]}
        self.assertEqual(got, {k: v["showings"] - v["near"] for k, v in self.truth["creatives"].items()})
        ambiguous, cut, failed, near = (collections.Counter() for _ in range(4))
        for r in self.out["rows"]:
            slot = f"{r['period']} {r['ad']}"
            ambiguous[slot] += r["showings"] if r["creative"] == "ambiguous" else 0
            cut[slot] += r["cut"]
            failed[slot] += r["failed"]
        for k, v in self.truth["creatives"].items():
            near[k.rsplit(" ", 1)[0]] += v["near"]
        self.assertEqual(+ambiguous, +near)
        self.assertGreater(sum(near.values()), 0)
        self.assertEqual(+cut, +collections.Counter({k: v["cut"] for k, v in self.truth["slots"].items()}))
        self.assertEqual(+failed, +collections.Counter({k: v["failed"] for k, v in self.truth["slots"].items()}))

    def test_a_malformed_line_is_counted_and_shown_and_a_half_written_one_skipped(self):
        # Faults: a bad line fatal, or silently lost; the line nginx is still writing taken as malformed.
        o = self.out
        self.assertEqual((o["lines"], o["malformed"], o["cut_last_lines"]), (self.truth["lines"] + 1, 1, 1))
        self.assertEqual(o["malformed_first"], [f"{self.logs[2]}:101: 2026-12-07T00:00:00+01:00 oops"])

    def test_bars_behind_each_address_and_per_hour(self):
        # Faults: a company's NAT counted as one bar; a restart or an outage counted as another bar.
        got = {a["address"]: a["bars"] for a in self.out["addresses"]}
        for address, truth in self.truth["addresses"].items():
            self.assertLessEqual(abs(got[address] - truth["bars"]), 1, address)
        hours = {h["hour"]: h["bars"] for h in self.out["hours"]}
        for hour, truth in self.truth["hours"].items():
            self.assertTrue(truth["low"] <= hours[hour] <= truth["high"], f"{hour}: {hours[hour]} bars, {truth}")

    def test_silent_addresses_are_listed_and_exit_1(self):
        # Faults: a silent desktop missed, or one still asking listed; no exit code for cron to alert on.
        expected = {a: utc(t["last_seen"]) for a, t in self.truth["addresses"].items() if t["last_seen"] < self.end - 900}
        self.assertTrue(expected)
        self.assertEqual({a["address"]: a["last_seen"] for a in self.out["silent"]}, expected)
        self.assertEqual(self.result.returncode, 1)

    def test_without_journal_from_stdin_a_200_counts_by_status(self):
        # Faults: without --root a cut 200 not counted as the status says; stdin unread; no CSV header.
        with open(os.path.join(self.dir, "access.log")) as f:
            p = report("-", "--csv", "--by", "total", "--to", utc(self.end) + "Z", stdin=f.read())
        self.assertEqual(p.returncode, 0, p.stderr)
        rows = list(csv.reader(io.StringIO(p.stdout)))
        self.assertEqual(rows[0], ["period", "ad", "set", "creative", "showings", "cut", "failed"])
        got = {int(r[1]): (int(r[4]), int(r[6])) for r in rows[1:]}
        expected = collections.defaultdict(lambda: [0, 0])
        for k, v in self.truth["creatives"].items():
            expected[int(k.split()[1])][0] += v["showings"]
        for k, v in self.truth["slots"].items():
            expected[int(k.split()[1])][0] += v["cut"]
            expected[int(k.split()[1])][1] += v["failed"]
        self.assertEqual(got, {ad: tuple(v) for ad, v in expected.items()})

    def test_chart_is_a_picture_of_its_size(self):
        # Fault: --chart writes nothing, or not a picture.
        chart = os.path.join(self.dir, "chart.png")
        p = report(self.logs[2], "--root", os.path.join(self.dir, "root"), "--by", "hour", "--chart", chart,
                   "--to", utc(self.end) + "Z")
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(chart, "rb") as f:
            head = f.read(24)
        self.assertEqual((head[:8], struct.unpack(">II", head[16:24])), (b"\x89PNG\r\n\x1a\n", (1200, 700)))


class Refused(unittest.TestCase):
    def test_what_cannot_be_done_is_one_line_and_exit_2(self):
        # Fault: a traceback, or a report made of what could not be read.
        with tempfile.TemporaryDirectory() as d:
            log, broken, bad_root = os.path.join(d, "a.log"), os.path.join(d, "b.log.gz"), os.path.join(d, "root")
            with open(log, "w") as f:
                f.write('2026-12-07T00:00:00+00:00 10.0.0.1 GET /ads/vtl_1.ad 200 10 0.001 1 1 "x"\n')
            with open(broken, "wb") as f:
                f.write(gzip.compress(os.urandom(10000))[:5000])
            os.mkdir(bad_root)
            with open(os.path.join(bad_root, "journal"), "w") as f:
                f.write("not a journal\n")
            for args, named in (([os.path.join(d, "missing.log")], "missing.log"), ([log, broken], "b.log.gz"),
                                ([log, "--silent", "soon"], "soon"), ([log, "--root", bad_root], "journal"),
                                ([log, "--chart", os.path.join(d, "c.txt")], "c.txt"),
                                ([log, "--from", "yesterday"], "yesterday")):
                p = report(*args)
                self.assertEqual((p.returncode, p.stdout), (2, ""), args)
                self.assertEqual(len(p.stderr.splitlines()), 1, p.stderr)
                self.assertIn(named, p.stderr)


class SampleServer(unittest.TestCase):
    def test_its_access_log_reports_whole_and_cut_pictures(self):
        # Faults: the sample server's log not in nginx's format (nothing counted), or its bytes not those sent.
        ads = os.path.join(TREE, "res", "ads")
        with tempfile.TemporaryDirectory() as d:
            listed = []
            for n in range(1, 17):
                with open(os.path.join(ads, f"vtl_{n}.ad"), "rb") as f:
                    data = f.read()
                listed.append({"name": f"vtl_{n}.ad", "bytes": len(data), "sha256": hashlib.sha256(data).hexdigest(), "gz": None})
            # Published a little before: the log's whole seconds put a request in the same second before it.
            published = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(seconds=3)
            journal.append(d, {"time": published.strftime("%Y-%m-%dT%H:%M:%S.%fZ"), "action": "publish", "set": "sample",
                               "who": "test@here", "ads": listed})
            log, port = os.path.join(d, "access.log"), free_ports()
            server = subprocess.Popen([sys.executable, os.path.join(TREE, "tools", "adserver.py"), "--port", str(port),
                                       "--dir", ads, "--access-log", log, "--control"], stdout=subprocess.PIPE, text=True)
            try:
                self.assertTrue(server.stdout.readline().startswith("adserver:"))
                get = lambda url: urllib.request.urlopen(url, timeout=30).read()
                for n in range(1, 17):
                    get(f"http://127.0.0.1:{port}/ads/vtl_{n}.ad")
                get(f"http://127.0.0.1:{port + 1}/mode?set=truncated")
                get(f"http://127.0.0.1:{port}/ads/vtl_3.ad")
                get(f"http://127.0.0.1:{port + 1}/reset")
                # The ad check's sixteen fetches are nobody's showings.
                check = subprocess.run([os.path.join(TREE, "tools", "adset"), "check", f"http://127.0.0.1:{port}"],
                                       capture_output=True, text=True, timeout=120)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                # The line is written once the answer has gone out: wait for the 33rd.
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    with open(log) as f:
                        if len(f.readlines()) >= 33:
                            break
                    time.sleep(0.05)
            finally:
                server.terminate()
                server.wait(30)
                server.stdout.close()
            p = report(log, "--root", d, "--json", "--by", "total")
        self.assertEqual(p.returncode, 0, p.stderr)
        rows = {r["ad"]: (r["creative"], r["showings"], r["cut"]) for r in json.loads(p.stdout)["rows"]}
        self.assertEqual(rows, {n: (a["sha256"][:8], 1, int(n == 3)) for n, a in enumerate(listed, 1)})


@unittest.skipUnless(os.environ.get("PUBLISH_LOAD_LOG") and os.environ.get("PUBLISH_LOAD_ROOT"),
                     "no nginx log from the publishing load test: set PUBLISH_LOAD_LOG and PUBLISH_LOAD_ROOT")
class RealNginx(unittest.TestCase):
    def test_every_request_whole_and_attributed(self):
        # Faults: nginx's own lines (its time zone, escapes, gzip_static) read otherwise than the generator's.
        root = os.environ["PUBLISH_LOAD_ROOT"]
        p = report(os.environ["PUBLISH_LOAD_LOG"], "--root", root, "--json", "--by", "total", "--tz", "UTC")
        self.assertEqual(p.returncode, 0, p.stderr)
        o = json.loads(p.stdout)
        self.assertEqual((o["malformed"], sum(r["cut"] + r["failed"] for r in o["rows"])), (0, 0))
        self.assertEqual(sum(r["showings"] for r in o["rows"]), o["ad_requests"])
        self.assertGreater(o["ad_requests"], 0)
        # Never guessed: only where two published pictures of one ad have the same size.
        sizes = collections.defaultdict(set)
        for e in journal.read(root):
            for a in e["ads"]:
                sizes[int(a["name"][4:-3])] |= {(a["bytes"], a["sha256"])} | ({(a["gz"]["bytes"], a["sha256"])} if a["gz"] else set())
        for r in o["rows"]:
            self.assertTrue(r["set"] or r["creative"] == "ambiguous", r)
            if r["creative"] == "ambiguous":
                counts = collections.Counter(b for b, _ in sizes[r["ad"]])
                self.assertGreater(max(counts.values()), 1, r)


if __name__ == "__main__":
    unittest.main()
