#!/usr/bin/env python3
"""Sample ad server for trying and testing the Vantorel Ad Bar.

  tools/adserver.py [--port 8642] [--dir res/ads] [--log FILE] [--access-log FILE] [--control]

Serves GET /ads/vtl_N.ad (N = 1, 2, ... without leading zeros) from --dir on
127.0.0.1, with a Content-Type sniffed from the file's first bytes; any other
path is a 404. One line per request goes to --log as it arrives, and one when
its answer has gone out:
  <unix-time> GET /ads/vtl_3.ad
  <unix-time> END /ads/vtl_3.ad
--access-log writes nginx's line for each request, in deploy/nginx.conf's
"ads" format, so `tools/adset report` reads a trial's log as it reads nginx's.
This server closes every connection after its answer, so each request comes
on a connection of its own.

With --control, a second listener on the next port changes how the ads are
answered, for tests (the bar's ad address is fixed at build time):
  GET /mode?set=MODE[&delay=S][&path=FILE]      GET /reset (back to ok)
MODE: ok; 404 or 500; empty (200, no body); garbage (200, no picture);
truncated (the first third of the file); slow (the file after S seconds);
redirect (302 to /real/ads/vtl_N.ad, which serves the file); file (FILE
instead of every ad); refuse (nothing listens on the ad port until the mode
changes, so connections are refused).
"""
import argparse
import datetime
import itertools
import os
import re
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

AD_PATH = re.compile(r"^/(real/)?ads/vtl_([1-9][0-9]*)\.ad$")
MAGIC = ((b"GIF8", "image/gif"), (b"\xff\xd8\xff", "image/jpeg"),
         (b"\x89PNG\r\n\x1a\n", "image/png"), (b"BM", "image/bmp"))
MODES = ("ok", "404", "500", "empty", "garbage", "truncated", "slow", "redirect", "file", "refuse")


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        # Head and body go out in two writes: without this the body waits for
        # the client's delayed acknowledgement, some 40 ms an ad.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.serial, self.requests = next(self.server.cfg.connections), 0

    def log_message(self, *args):
        pass

    def answer(self, status, body, ctype="text/plain", headers=()):
        # A kept connection would outlive the refuse mode.
        self.close_connection = True
        self.send_response(status)
        self.send_header("Connection", "close")
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for header in headers:
            self.send_header(*header)
        self.end_headers()
        self.answered = (status, 0)
        self.wfile.write(body)
        self.answered = (status, len(body))

    def log_line(self, what):
        cfg = self.server.cfg
        with cfg.lock:
            if cfg.log:
                cfg.log.write(f"{time.time():.6f} {what} {self.path}\n")
                cfg.log.flush()

    def access_line(self, began):
        # $time_iso8601 $remote_addr $request_method $uri $status $body_bytes_sent
        # $request_time $connection $connection_requests "$http_user_agent", escaped as nginx does.
        cfg = self.server.cfg
        status, sent = self.answered
        agent = "".join(c if " " <= c < "\x7f" and c not in '"\\' else "".join(f"\\x{b:02X}" for b in c.encode())
                        for c in self.headers.get("User-Agent", "-"))
        line = (f"{datetime.datetime.now().astimezone().isoformat(timespec='seconds')} {self.client_address[0]} "
                f"{self.command} {unquote(urlsplit(self.path).path)} {status} {sent} {time.time() - began:.3f} "
                f"{self.serial} {self.requests} \"{agent}\"\n")
        with cfg.lock:
            cfg.access.write(line)
            cfg.access.flush()

    def do_GET(self):
        self.log_line("GET")
        began, self.requests = time.time(), self.requests + 1
        # Unanswered (the handler failed): what nginx logs for its own failure.
        self.answered = (500, 0)
        try:
            self.serve()
        finally:
            self.log_line("END")
            if self.server.cfg.access:
                self.access_line(began)

    def serve(self):
        cfg = self.server.cfg
        path = urlsplit(self.path).path
        m = AD_PATH.match(path)
        file = m and os.path.join(cfg.dir, f"vtl_{m.group(2)}.ad")
        if not m or not os.path.isfile(file):
            return self.answer(404, b"not found\n")
        # Read once: a mode set while this answer waits applies from the next request.
        mode, delay = "ok" if m.group(1) else cfg.mode, cfg.delay
        if mode == "file":
            file = cfg.path
        with open(file, "rb") as f:
            data = f.read()
        if mode in ("404", "500"):
            return self.answer(int(mode), b"by request\n")
        if mode == "redirect":
            return self.answer(302, b"moved\n", headers=[("Location", "/real" + path)])
        if mode == "slow":
            time.sleep(delay)
        body = {"empty": b"", "garbage": b"\0garbage\0" + os.urandom(2000),
                "truncated": data[:len(data) // 3]}.get(mode, data)
        ctype = next((t for magic, t in MAGIC if body.startswith(magic)), "application/octet-stream")
        self.answer(200, body, ctype)


class Control(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        cfg = self.server.cfg
        url = urlsplit(self.path)
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        mode = "ok" if url.path == "/reset" else query.get("set")
        if mode not in MODES:
            self.send_error(400)
            return
        cfg.mode, cfg.delay, cfg.path = mode, float(query.get("delay", 3)), query.get("path")
        cfg.listen(mode != "refuse")
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()


class Config:
    def __init__(self, args):
        self.port, self.dir = args.port, args.dir
        self.log = open(args.log, "a") if args.log else None
        self.access = open(args.access_log, "a") if args.access_log else None
        self.connections = itertools.count(1)
        self.lock = threading.Lock()
        self.mode, self.delay, self.path = "ok", 3.0, None
        self.ads = None

    def listen(self, on):
        if on and not self.ads:
            self.ads = Server(("127.0.0.1", self.port), Handler)
            self.ads.cfg = self
            threading.Thread(target=self.ads.serve_forever, daemon=True).start()
        elif not on and self.ads:
            self.ads.shutdown()
            self.ads.server_close()
            self.ads = None


def main():
    p = argparse.ArgumentParser(description="Sample ad server for the Vantorel Ad Bar.")
    p.add_argument("--port", type=int, default=8642)
    p.add_argument("--dir", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res", "ads"))
    p.add_argument("--log")
    p.add_argument("--access-log", help="nginx's access-log line per request (deploy/nginx.conf's format)")
    p.add_argument("--control", action="store_true")
    args = p.parse_args()
    cfg = Config(args)
    try:
        cfg.listen(True)
        if args.control:
            control = Server(("127.0.0.1", cfg.port + 1), Control)
            control.cfg = cfg
            threading.Thread(target=control.serve_forever, daemon=True).start()
    except OSError as e:
        sys.exit(f"adserver: cannot listen on 127.0.0.1:{cfg.port}: {e}")
    print(f"adserver: http://127.0.0.1:{cfg.port}/ads/vtl_N.ad", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
