# The ad check as a preparer meets it: each made picture gets the verdict it must get, and a
# server that misbehaves is judged within the deadline, never by a hang or a traceback.
import gzip
import http.server
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SAMPLES = os.path.join(ROOT, "res", "ads")
# A problem line: (the ad's number, read from the file or URL it names, the level, the whole line).
LINE = re.compile(r"^(\S*?(?i:vtl)[ _.-]?0*(\d+)\S*: (error|warning): .*)$", re.M)


def adset(*args, timeout=120):
    start = time.monotonic()
    p = subprocess.run([os.path.join(ROOT, "tools", "adset"), "check", *args], capture_output=True, text=True,
                       timeout=timeout)
    return p.returncode, p.stdout, p.stderr, time.monotonic() - start


def sample(n):
    with open(os.path.join(SAMPLES, f"vtl_{n}.ad"), "rb") as f:
        return f.read()


def magick(*args):
    # The last item names the format written, such as "GIF:".
    return subprocess.run(["convert", *args[:-1], args[-1] + "-"], capture_output=True, check=True, timeout=60).stdout


def put(data):
    def make(path):
        with open(path, "wb") as f:
            f.write(data() if callable(data) else data)
    return make


def patched(data, at, value):
    return data[:at] + bytes([value]) + data[at + 1:]


def exif_turned(jpeg):
    # An APP1 Exif block whose only tag is Orientation 6 (viewers turn the photo 90 degrees clockwise).
    tiff = b"MM\0\x2a\0\0\0\x08" + struct.pack(">HHHIHHI", 1, 0x0112, 3, 1, 6, 0, 0)
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(tiff) + 8) + b"Exif\0\0" + tiff + jpeg[2:]


def icon(entry):
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 32, len(entry), 22) + entry


def top_down_rle():
    pixels = bytes([4, 0, 0, 0, 4, 1, 0, 1])
    info = struct.pack("<IiiHHIIiiII", 40, 4, -2, 1, 8, 1, len(pixels), 2835, 2835, 2, 0)
    return struct.pack("<2sIHHI", b"BM", 14 + 40 + 8 + len(pixels), 0, 0, 62) + info + b"\0\0\0\0\xff\xff\xff\0" + pixels


def beside(data, gz):
    def make(path):
        put(data)(path)
        put(gz)(path + ".gz")
    return make


def named(name, data):
    return lambda path: put(data)(os.path.join(os.path.dirname(path), name.format(n=path.split("_")[-1][:-3])))


GRADIENT = ["-size", "468x60", "gradient:red-blue"]
WIDE_BMP = lambda: magick("-size", "1000x60", "xc:teal", "BMP3:")
# (case, how the file is made, verdict, a phrase the preparer must read)
CASES = [
    ("PNG", put(lambda: magick("-size", "64x64", "xc:red", "PNG:")), "error", "PNG"),
    ("progressive JPEG", put(lambda: magick(*GRADIENT, "-interlace", "Plane", "JPEG:")), "error", "progressive"),
    ("CMYK JPEG", put(lambda: magick(*GRADIENT, "-colorspace", "CMYK", "JPEG:")), "error", "CMYK"),
    ("12-bit JPEG", put(lambda: patched(sample(5), sample(5).index(b"\xff\xc0") + 4, 12)), "error", "12-bit"),
    ("EXIF-turned JPEG", put(lambda: exif_turned(sample(5))), "warning", "shows it as stored, 468x60"),
    ("BMP with a V5 header", put(lambda: magick("-size", "20x10", "xc:red", "-alpha", "set", "BMP:")), "error", "124"),
    ("top-down RLE BMP", put(top_down_rle()), "error", "top-down RLE"),
    ("truncated GIF", put(lambda: sample(3)[:1500]), "error", "truncated"),
    ("animated GIF", put(lambda: magick("-size", "468x60", "xc:red", "xc:blue", "xc:lime", "GIF:")),
     "warning", "animated GIF of 3 frames"),
    ("a side over 4096", put(lambda: magick("-size", "4097x20", "xc:red", "GIF:")), "error", "over 4096"),
    ("leaderboard", put(lambda: magick("-size", "728x90", "xc:red", "GIF:")), "warning", "bottom 25 rows are cut"),
    ("wider than the screen", put(lambda: magick("-size", "1100x50", "xc:red", "GIF:")), "warning", "both sides"),
    ("empty", put(b""), "error", "empty"),
    ("HTML error page", put(b"<!DOCTYPE html>\n<html><body>Not Found</body></html>\n"), "error", "HTML"),
    ("WMF without its placeable header", put(struct.pack("<HHHIHIHIH", 1, 9, 0x300, 12, 0, 3, 0, 3, 0)),
     "error", "placeable"),
    ("WMF of an empty frame", put(lambda: patched(patched(sample(9), 10, 0), 11, 0)), "error", "empty"),
    ("EMF of an inverted frame", put(struct.pack("<II8i4sII36x5I", 1, 88, 0, 0, 95, 47, 2540, 0, 0, 1270, b" EMF",
                                                 0x10000, 108, 14, 20, 0, 16, 20)), "error", "inverted"),
    ("icon showing a PNG", put(lambda: icon(magick("-size", "32x32", "xc:red", "PNG:"))), "error", "undocumented"),
    ("ImageMagick's icon: bitmaps and a 256 PNG", put(lambda: magick("-size", "256x256", "xc:blue", "-define",
                                                                     "icon:auto-resize=256,48,32,16", "ICO:")),
     "pass", None),
    ("over the byte budget", put(WIDE_BMP), "error", "budget"),
    ("within it as its .gz", beside(WIDE_BMP, lambda: gzip.compress(WIDE_BMP())), "pass", None),
    ("a stale .gz", beside(lambda: sample(1), lambda: gzip.compress(sample(2))), "error", ".ad.gz: error: holds other"),
    ("a corrupt .gz", beside(lambda: sample(1), b"\x1f\x8b\x08\0garbage"), "error", "does not decompress"),
    ("a near miss only", named("VTL_{n}.AD", sample(1)), "error", "not there (VTL_"),
    ("a near miss beside", lambda p: (put(sample(1))(p), named("vtl_{n}.ad.jpg", sample(1))(p)),
     "warning", "not served"),
    ("unreadable by others", lambda p: (put(sample(1))(p), os.chmod(p, 0o600)), "error", "403"),
    ("a FIFO", os.mkfifo, "error", "FIFO"),
    ("a directory", os.mkdir, "error", "directory"),
    ("a link out of the folder", lambda p: os.symlink(os.path.abspath(os.path.join(SAMPLES, "vtl_1.ad")), p),
     "error", "link out of the folder"),
]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Ad number -> (status, extra headers, body as sent, or None to trickle the sample out a byte at a time).
    answers = {1: (200, {}, None), 2: (403, {}, b"no"), 3: (500, {}, b"oops"), 4: (302, {"Location": "/loop"}, b""),
               5: (200, {"Cache-Control": "max-age=3600"}, sample(5)),
               6: (200, {"Content-Encoding": "gzip"}, gzip.compress(sample(6)))}

    def log_message(self, *args):
        pass

    def do_GET(self):
        n = int(m.group(1)) if (m := re.fullmatch(r"/ads/vtl_(\d+)\.ad", self.path)) else 4
        status, headers, body = self.answers.get(n, (200, {}, sample(n)))
        self.send_response(status)
        headers = {"Location": "/ads/vtl_4.ad"} if self.path == "/loop" else headers
        for header in {"Content-Length": len(body if body is not None else sample(1)), **headers}.items():
            self.send_header(*header)
        self.end_headers()
        try:
            for piece in [body] if body is not None else [sample(1)[i:i + 1] for i in range(40)]:
                self.wfile.write(piece)
                self.wfile.flush()
                time.sleep(0.5 if body is None else 0)
        except OSError:
            pass  # The check gave up on the trickle at its deadline.


def serve(handler):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def by_ad(out):
    found = {}
    for text, n, level in LINE.findall(out):
        found.setdefault(int(n), []).append((level, text))
    return found


class CheckTest(unittest.TestCase):
    def setUp(self):
        # Files made readable by others, as a preparer's usually are, unless a case says otherwise.
        os.umask(0o022)

    def test_each_made_picture_gets_the_verdict_a_preparer_needs(self):
        for batch in range(0, len(CASES), 16):
            folder = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, folder)
            os.chmod(folder, 0o755)
            cases = dict(enumerate(CASES[batch:batch + 16], 1))
            for n in range(1, 17):
                (cases[n][1] if n in cases else put(sample(n)))(os.path.join(folder, f"vtl_{n}.ad"))
            rc, out, err, _ = adset(folder)
            self.assertEqual((rc, err), (1, ""), out)
            found = by_ad(out)
            for n in range(1, 17):
                case, _, verdict, phrase = cases.get(n, (f"sample ad {n}", None, "pass", None))
                with self.subTest(case):
                    lines = found.get(n, [])
                    levels = {level for level, _ in lines}
                    self.assertEqual(levels, set() if verdict == "pass" else {verdict} | (levels & {"warning"}), out)
                    self.assertTrue(phrase is None or any(phrase in line for _, line in lines), lines)

    def test_a_misbehaving_server_is_judged_within_the_deadline(self):
        server = serve(Handler)
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        base = f"http://127.0.0.1:{server.server_address[1]}"
        # Given as the ads' folder itself: fetched there, not under /ads/ads/.
        rc, out, err, took = adset(f"{base}/ads/", "--timeout", "3")
        self.assertLess(took, 3 + 10, "the deadline was not kept")
        self.assertEqual(rc, 1, out + err)
        expected = {1: ("error", "within the 3-second deadline"), 2: ("error", "403"), 3: ("error", "500"),
                    4: ("error", "loop"), 5: ("warning", "caches may keep it for 3600 s")}
        found = by_ad(out)
        for n in range(1, 17):
            with self.subTest(ad=n):
                level, phrase = expected.get(n, (None, None))
                self.assertEqual([(got, phrase in line) for got, line in found.get(n, [])],
                                 [(level, True)] if level else [], out)
        self.assertIn(f"{base}/ads/vtl_2.ad: error: ", out, "a problem line does not name the URL fetched")

        # Not a server to judge: one line, exit 2, within the deadline.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(32)
        self.addCleanup(silent.close)
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            nobody = closed.getsockname()[1]
        for case, args, phrase in [
                ("silent", [f"http://127.0.0.1:{silent.getsockname()[1]}", "--timeout", "2"], "no answer"),
                ("unreachable", [f"http://127.0.0.1:{nobody}"], "connection refused"),
                ("untrusted CA file", [f"https://localhost:{nobody}", "--cafile", __file__], "--cafile"),
                ("unwritable preview", [SAMPLES, "--preview", "/nonexistent/p.png"], "cannot write"),
                ("no such folder", ["/nonexistent"], "neither a folder")]:
            with self.subTest(case):
                rc, out, err, took = adset(*args)
                self.assertEqual((rc, out, len(err.splitlines())), (2, "", 1), err)
                self.assertIn(phrase, err)
                self.assertLess(took, 2 + 10)


if __name__ == "__main__":
    unittest.main()
