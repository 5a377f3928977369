#!/usr/bin/env python3
"""Tests for tools/adserver.py; run: python3 tools/test_adserver.py"""
import http.client
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "adserver.py")
ADS = os.path.join(HERE, "..", "res", "ads")
MAGIC = (b"GIF8", b"\xff\xd8", b"\x89PNG", b"BM")


def ad_bytes(n):
    with open(os.path.join(ADS, f"vtl_{n}.ad"), "rb") as f:
        return f.read()


def start(*args):
    proc = subprocess.Popen([sys.executable, SERVER, "--port", "0", "--dir", ADS, *args],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    if not line.startswith("PORT "):
        proc.kill()
        raise RuntimeError(f"server did not start: {line!r}")
    return proc, int(line.split()[1])


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    proc.stdout.close()


def get(port, path, timeout=5):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("GET", path)
        resp = conn.getresponse()
        return resp.status, resp, resp.read()
    finally:
        conn.close()


class ServerCase(unittest.TestCase):
    args = ("--control",)

    @classmethod
    def setUpClass(cls):
        fd, cls.log = tempfile.mkstemp(suffix=".log")
        os.close(fd)
        cls.proc, cls.port = start("--log", cls.log, *cls.args)

    @classmethod
    def tearDownClass(cls):
        stop(cls.proc)
        os.unlink(cls.log)

    def setUp(self):
        if "--control" in self.args:
            self.assertEqual(get(self.port, "/control/reset")[0], 200)

    def control(self, query):
        status, _, body = get(self.port, "/control/mode?" + query)
        self.assertEqual(status, 200, body)

    def log_lines(self):
        with open(self.log) as f:
            return [line.split() for line in f]


class ServingTest(ServerCase):
    def test_each_format_has_its_content_type_and_exact_bytes(self):
        for n, ctype in ((1, "image/gif"), (5, "image/jpeg"), (9, "image/png"),
                         (13, "image/bmp")):
            with self.subTest(ad=n):
                status, resp, body = get(self.port, f"/ads/vtl_{n}.ad")
                self.assertEqual(status, 200)
                self.assertEqual(resp.getheader("Content-Type"), ctype)
                self.assertEqual(body, ad_bytes(n))
                self.assertEqual(int(resp.getheader("Content-Length")), len(body))

    def test_paths_other_than_existing_ads_are_404(self):
        for path in ("/", "/ads/", "/ads/vtl_0.ad", "/ads/vtl_01.ad", "/ads/vtl_17.ad",
                     "/ads/vtl_1.gif", "/ads/vtl_x.ad", "/vtl_1.ad", "/ads/../ads/vtl_1.ad",
                     "/ads/vtl_1.ad/x", "/res/ads/vtl_1.ad"):
            with self.subTest(path=path):
                self.assertEqual(get(self.port, path)[0], 404)

    def test_one_parsable_log_line_per_request(self):
        before = len(self.log_lines())
        t0 = time.time()
        get(self.port, "/ads/vtl_3.ad")
        get(self.port, "/nothing")
        self.control("set=ok")
        lines = self.log_lines()[before:]
        self.assertEqual([l[1:] for l in lines], [
            ["GET", "/ads/vtl_3.ad", "200", str(len(ad_bytes(3)))],
            ["GET", "/nothing", "404", lines[1][4]],
            ["CONTROL", "/control/mode?set=ok", "200", lines[2][4]]])
        for line in lines:
            self.assertLessEqual(t0 - 1, float(line[0]))
            self.assertLessEqual(float(line[0]), time.time())

    def test_listens_on_loopback_only(self):
        listening = set()
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            if os.path.exists(table):
                with open(table) as f:
                    for row in f.readlines()[1:]:
                        local, state = row.split()[1], row.split()[3]
                        addr, port = local.rsplit(":", 1)
                        if state == "0A" and int(port, 16) == self.port:
                            listening.add(addr)
        if not listening:
            self.skipTest("no /proc/net/tcp to inspect")
        self.assertEqual(listening, {"0100007F"})  # 127.0.0.1, little-endian hex


class ModeTest(ServerCase):
    def test_error_statuses(self):
        for mode in ("404", "500"):
            with self.subTest(mode=mode):
                self.control("set=" + mode)
                self.assertEqual(get(self.port, "/ads/vtl_2.ad")[0], int(mode))

    def test_broken_bodies_still_claim_success(self):
        full = ad_bytes(6)
        self.control("set=empty")
        status, resp, body = get(self.port, "/ads/vtl_6.ad")
        self.assertEqual((status, body, resp.getheader("Content-Length")), (200, b"", "0"))

        self.control("set=truncated")
        status, _, body = get(self.port, "/ads/vtl_6.ad")
        self.assertEqual(status, 200)
        self.assertTrue(0 < len(body) < len(full) // 2 and full.startswith(body))

        self.control("set=garbage")
        status, resp, body = get(self.port, "/ads/vtl_6.ad")
        self.assertEqual(status, 200)
        self.assertGreater(len(body), 100)
        self.assertFalse(body.startswith(MAGIC))
        self.assertEqual(int(resp.getheader("Content-Length")), len(body))

    def test_huge_header_is_a_wellformed_header_with_absurd_size(self):
        self.control("set=huge-header")
        _, resp, gif = get(self.port, "/ads/vtl_1.ad")
        self.assertEqual(resp.getheader("Content-Type"), "image/gif")
        self.assertEqual(struct.unpack("<HH", gif[6:10]), (65535, 65535))
        self.assertEqual(gif[-1:], b";")

        _, resp, png = get(self.port, "/ads/vtl_13.ad")
        self.assertEqual(resp.getheader("Content-Type"), "image/png")
        self.assertEqual(png[12:16], b"IHDR")
        w, h = struct.unpack(">II", png[16:24])
        self.assertGreaterEqual(min(w, h), 60000)
        # A bad CRC would let a decoder reject the file before trusting the size.
        self.assertEqual(struct.unpack(">I", png[29:33])[0], zlib.crc32(png[12:29]))
        self.assertLess(len(png), 200)

    def test_redirect_leads_to_a_path_that_always_serves(self):
        self.control("set=redirect")
        status, resp, _ = get(self.port, "/ads/vtl_9.ad")
        self.assertEqual(status, 302)
        location = resp.getheader("Location")
        self.assertTrue(location.endswith(f":{self.port}/real/ads/vtl_9.ad"), location)
        self.control("set=500")
        status, _, body = get(self.port, "/real/ads/vtl_9.ad")
        self.assertEqual((status, body), (200, ad_bytes(9)))

    def test_slow_waits_the_delay_then_serves(self):
        self.control("set=slow&delay=1")
        t0 = time.monotonic()
        status, _, body = get(self.port, "/ads/vtl_4.ad")
        self.assertGreaterEqual(time.monotonic() - t0, 1.0)
        self.assertEqual((status, body), (200, ad_bytes(4)))

    def test_hang_never_answers_but_is_logged(self):
        self.control("set=hang")
        with self.assertRaises(socket.timeout):
            get(self.port, "/ads/vtl_7.ad", timeout=1)
        self.assertEqual(self.log_lines()[-1][1:], ["GET", "/ads/vtl_7.ad", "0", "0"])

    def test_per_ad_override_and_reset(self):
        self.control("set=500&ad=5")
        self.assertEqual(get(self.port, "/ads/vtl_5.ad")[0], 500)
        self.assertEqual(get(self.port, "/ads/vtl_6.ad")[0], 200)
        # An override beats the global mode, even when it is "ok".
        self.control("set=404")
        self.control("set=ok&ad=6")
        self.assertEqual([get(self.port, f"/ads/vtl_{n}.ad")[0] for n in (5, 6, 7)],
                         [500, 200, 404])
        get(self.port, "/control/reset")
        self.assertEqual([get(self.port, f"/ads/vtl_{n}.ad")[0] for n in (5, 6, 7)],
                         [200, 200, 200])

    def test_bad_control_requests_are_rejected_and_change_nothing(self):
        for query in ("set=bogus", "set=404&ad=0", "set=404&ad=x", "set=slow&delay=-1",
                      "set=slow&delay=soon", "ad=3"):
            with self.subTest(query=query):
                self.assertEqual(get(self.port, "/control/mode?" + query)[0], 400)
        self.assertEqual(get(self.port, "/control/nothing")[0], 404)
        self.assertEqual(get(self.port, "/ads/vtl_3.ad")[0], 200)


class StartupTest(ServerCase):
    args = ("--mode", "404")

    def test_start_mode_applies_and_control_needs_the_flag(self):
        self.assertEqual(get(self.port, "/ads/vtl_1.ad")[0], 404)
        self.assertEqual(get(self.port, "/control/mode?set=ok")[0], 404)
        self.assertEqual(get(self.port, "/ads/vtl_1.ad")[0], 404)
        self.assertEqual(self.log_lines()[-2][1], "GET")


class LifecycleTest(unittest.TestCase):
    def test_ready_file_then_signals_stop_it_despite_a_hanging_client(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig.name), tempfile.TemporaryDirectory() as tmp:
                ready = os.path.join(tmp, "ready")
                proc, port = start("--mode", "hang", "--ready-file", ready)
                client = socket.create_connection(("127.0.0.1", port))
                try:
                    with open(ready) as f:
                        self.assertEqual(int(f.read()), port)
                    client.sendall(b"GET /ads/vtl_1.ad HTTP/1.1\r\nHost: x\r\n\r\n")
                    time.sleep(0.2)
                    t0 = time.monotonic()
                    proc.send_signal(sig)
                    self.assertEqual(proc.wait(5), 0)
                    self.assertLess(time.monotonic() - t0, 3)
                finally:
                    stop(proc)
                    client.close()


if __name__ == "__main__":
    unittest.main()
