#!/usr/bin/env python3
"""Local ad server for trying and testing the Vantorel Ad Bar.

Usage:
  tools/adserver.py [--port 8642] [--dir res/ads] [--log FILE] [--mode MODE]
                    [--delay SECONDS] [--control] [--ready-file FILE]

Serves GET /ads/vtl_N.ad (N = 1, 2, ... without leading zeros) from --dir with
a Content-Type sniffed from the file's first bytes; every other path is a 404.
Listens on 127.0.0.1 only. The first stdout line is "PORT <n>" (useful with
--port 0); --ready-file gets the port number once the socket is listening.

One line per request goes to --log (flushed at once) and to stderr, written
when the request arrives, with the answer it is about to get:
  <unix-time> GET /ads/vtl_3.ad 200 84294
  <unix-time> CONTROL /control/mode?set=404&ad=5 200 21
A hanging request is logged with status 0 and 0 bytes.

MODE (--mode for all ads, or changed later through the control endpoint):
  ok           the file
  404, 500     that status, short text body
  empty        200 with an empty body
  garbage      200 with random bytes that are no image
  truncated    200 with the first third of the file
  huge-header  200 with a tiny GIF (for GIF ads) or PNG whose header claims
               65535x65535 / 60000x60000 pixels
  slow         the file after --delay seconds
  hang         never answers, until the server stops
  redirect     302 to /real/ads/vtl_N.ad, which always serves the file

With --control:
  GET /control/mode?set=MODE[&ad=N][&delay=S]   all ads, or only ad N
  GET /control/reset                            back to the start-up state
SIGTERM or SIGINT stops the server, hanging connections included.
"""
import argparse
import os
import re
import signal
import struct
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

MODES = ("ok", "404", "500", "empty", "garbage", "truncated", "huge-header",
         "slow", "hang", "redirect")
AD_PATH = re.compile(r"^/(real/)?ads/vtl_([1-9][0-9]*)\.ad$")
MAGIC = ((b"GIF87a", "image/gif"), (b"GIF89a", "image/gif"),
         (b"\xff\xd8\xff", "image/jpeg"), (b"\x89PNG\r\n\x1a\n", "image/png"),
         (b"BM", "image/bmp"))


def sniff(data):
    for magic, ctype in MAGIC:
        if data.startswith(magic):
            return ctype
    return "application/octet-stream"


def png_chunk(kind, payload):
    return (struct.pack(">I", len(payload)) + kind + payload
            + struct.pack(">I", zlib.crc32(kind + payload)))


def huge_png():
    # Valid signature and CRCs, so a decoder believes the size before it
    # notices that the pixel data is missing.
    ihdr = struct.pack(">IIBBBBB", 60000, 60000, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"IDAT", zlib.compress(b"\0" * 64)) + png_chunk(b"IEND", b""))


def huge_gif():
    return (b"GIF89a" + struct.pack("<HHBBB", 65535, 65535, 0, 0, 0)
            + b"," + struct.pack("<HHHHB", 0, 0, 65535, 65535, 0)
            + b"\x02\x02\x44\x01\x00;")


def garbage():
    # A fixed start guarantees no picture format (nor icon/metafile) matches.
    return b"\x00garbage\x00" + os.urandom(2000)


class State:
    def __init__(self, mode, delay):
        self.lock = threading.Lock()
        self.start = (mode, delay)
        self.stopping = threading.Event()
        self.reset()

    def reset(self):
        with self.lock:
            self.mode, self.delay = self.start
            self.overrides = {}

    def mode_for(self, ad):
        with self.lock:
            return self.overrides.get(ad, self.mode), self.delay


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VantorelAdServer/1"

    def log_message(self, *args):
        pass  # replaced by the one-line log in note()

    def note(self, status, size, kind="GET"):
        line = f"{time.time():.6f} {kind} {self.path} {status} {size}\n"
        with self.server.log_lock:
            for f in self.server.log_files:
                f.write(line)
                f.flush()

    def answer(self, status, body, ctype="text/plain", kind="GET", headers=()):
        self.note(status, len(body), kind)
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_GET(self):
        url = urlsplit(self.path)
        if self.server.control and url.path.startswith("/control/"):
            return self.control(url)
        m = AD_PATH.match(url.path)
        path = m and os.path.join(self.server.ad_dir, f"vtl_{m.group(2)}.ad")
        if not m or not os.path.isfile(path):
            return self.answer(404, b"not found\n")
        with open(path, "rb") as f:
            data = f.read()
        state = self.server.state
        mode, delay = ("ok", 0) if m.group(1) else state.mode_for(int(m.group(2)))
        ctype = sniff(data)
        if mode == "hang":
            self.note(0, 0)
            self.close_connection = True
            state.stopping.wait()
        elif mode in ("404", "500"):
            self.answer(int(mode), f"{mode} by request\n".encode())
        elif mode == "redirect":
            host = self.headers.get("Host") or f"127.0.0.1:{self.server.server_port}"
            self.answer(302, b"moved\n", headers=[
                ("Location", f"http://{host}/real{url.path}")])
        elif mode == "huge-header":
            body = huge_gif() if ctype == "image/gif" else huge_png()
            self.answer(200, body, sniff(body))
        else:
            if mode == "empty":
                body = b""
            elif mode == "garbage":
                body = garbage()
            elif mode == "truncated":
                body = data[:max(1, len(data) // 3)]
            else:
                body = data
            if mode == "slow" and state.stopping.wait(delay):
                return
            self.answer(200, body, ctype)

    def do_HEAD(self):
        self.answer(405, b"", kind="HEAD")

    def do_POST(self):
        self.answer(405, b"only GET\n", kind="POST")

    def control(self, url):
        state = self.server.state
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        if url.path == "/control/reset":
            state.reset()
        elif url.path == "/control/mode":
            mode, ad, delay = query.get("set"), query.get("ad"), query.get("delay")
            try:
                ad = int(ad) if ad is not None else None
                delay = float(delay) if delay is not None else None
            except ValueError:
                mode = None
            if mode not in MODES or (ad is not None and ad < 1) or (delay or 0) < 0:
                return self.answer(400, b"bad mode, ad or delay\n", kind="CONTROL")
            with state.lock:
                if ad is None:
                    state.mode = mode
                else:
                    state.overrides[ad] = mode
                if delay is not None:
                    state.delay = delay
        else:
            return self.answer(404, b"unknown control\n", kind="CONTROL")
        with state.lock:
            extra = "".join(f" ad{k}={v}" for k, v in sorted(state.overrides.items()))
            text = f"mode={state.mode} delay={state.delay:g}{extra}\n"
        self.answer(200, text.encode(), kind="CONTROL")


class Server(ThreadingHTTPServer):
    daemon_threads = True  # a hanging client must not hold up the exit

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def main(argv=None):
    p = argparse.ArgumentParser(description="Local ad server for the Vantorel Ad Bar.")
    p.add_argument("--port", type=int, default=8642)
    p.add_argument("--dir", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "res", "ads"))
    p.add_argument("--log")
    p.add_argument("--mode", choices=MODES, default="ok")
    p.add_argument("--delay", type=float, default=3.0, help="seconds, for slow")
    p.add_argument("--control", action="store_true")
    p.add_argument("--ready-file")
    args = p.parse_args(argv)

    try:
        server = Server(("127.0.0.1", args.port), Handler)
    except OSError as e:
        print(f"adserver: cannot listen on 127.0.0.1:{args.port}: {e}", file=sys.stderr)
        return 2
    server.ad_dir = args.dir
    server.control = args.control
    server.state = State(args.mode, args.delay)
    server.log_lock = threading.Lock()
    server.log_files = [sys.stderr] + ([open(args.log, "a")] if args.log else [])

    port = server.server_port
    if args.ready_file:
        # Written whole then renamed, so a poller never reads a partial file.
        with open(args.ready_file + ".tmp", "w") as f:
            f.write(f"{port}\n")
        os.replace(args.ready_file + ".tmp", args.ready_file)
    print(f"PORT {port}", flush=True)  # last, so whoever reads it finds the file too

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    threading.Thread(target=server.serve_forever, daemon=True).start()
    while not stop.wait(0.5):
        pass
    server.state.stopping.set()
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
