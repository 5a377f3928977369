# Drives the real bar under Wine for the end-to-end tests.
#
# The test command provides the environment: DISPLAY (a private Xvfb with a
# 1024x768 Wine virtual desktop), WINEPREFIX with a persistent wineserver, the
# sample ad server with its control port (BAR_ADSERVER_URL, BAR_ADSERVER_LOG),
# and through ctest the programs (BAR_EXE, BARCTL, BARPEER, WINE_RUN).
import contextlib
import os
import re
import subprocess
import threading
import time
import unittest
import urllib.request

WINE_RUN, BAR_EXE, BARCTL, BARPEER = (os.environ.get(k, "") for k in ("WINE_RUN", "BAR_EXE", "BARCTL", "BARPEER"))
ADSERVER, ADLOG = os.environ.get("BAR_ADSERVER_URL", ""), os.environ.get("BAR_ADSERVER_LOG", "")
# Everything runs emulated in the i686 tree: time bounds stretch by this much.
SLOW = float(os.environ.get("BAR_TIME_FACTOR", "1"))
W, H = 1024, 768
TOP = (0, 0, W, 75)
# Each edge's strip, docked and auto-hidden.
DOCKED = {"top": TOP, "left": (0, 0, 80, H), "right": (W - 80, 0, W, H), "bottom": (0, H - 75, W, H)}
SLIVER = {"top": (0, 0, W, 2), "left": (0, 0, 2, H), "right": (W - 2, 0, W, H), "bottom": (0, H - 2, W, H)}


def run(exe, *args, timeout=120):
    p = subprocess.run([WINE_RUN, exe, *map(str, args)], capture_output=True, text=True, timeout=timeout * SLOW)
    return p.returncode, p.stdout.replace("\r", ""), p.stderr


def peer(*args):
    # barpeer's line as numbers or words; None when it found no bar (or no menu).
    rc, out, err = run(BARPEER, *args)
    if rc not in (0, 1):
        raise AssertionError(f"barpeer {args} failed with {rc:#x}: {err[-400:]}")
    return None if rc else [int(w) if re.fullmatch(r"-?\d+", w) else w for w in out.split()]


def ctl(*args):
    return run(BARCTL, *args)[0]


def xdo(*args):
    subprocess.run(["xdotool", *map(str, args)], check=True, timeout=10)


def wait_for(fn, timeout=10):
    # fn's first true value within the (stretched) time, else its last value.
    end = time.monotonic() + timeout * SLOW
    while True:
        value = fn()
        if value or time.monotonic() > end:
            return value
        time.sleep(0.05)


def ad_mode(mode="ok", **query):
    query = "".join(f"&{k}={v}" for k, v in query.items())
    port = int(ADSERVER.rsplit(":", 1)[1]) + 1
    urllib.request.urlopen(f"http://127.0.0.1:{port}/mode?set={mode}{query}", timeout=10).read()


def ad_log(what="GET"):
    # (time, ad number) of every ad asked for (or, with "END", answered) so far, in order
    # (redirects' real paths left out).
    with open(ADLOG) as f:
        return [(float(t), int(n)) for t, n in re.findall(rf"^(\S+) {what} /ads/vtl_(\d+)\.ad$", f.read(), re.M)]


def screen(picture=None):
    # The screen's pixels, or a picture file's: screen()[y][x] is (r, g, b).
    command = ["convert", picture] if picture else ["import", "-window", "root"]
    ppm = subprocess.run(command + ["-depth", "8", "ppm:-"], capture_output=True, check=True, timeout=60).stdout
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
    w, h, data = int(m.group(1)), int(m.group(2)), ppm[m.end():]
    return [[tuple(data[(y * w + x) * 3:(y * w + x) * 3 + 3]) for x in range(w)] for y in range(h)]


@contextlib.contextmanager
def staying_peer(*args):
    # A barpeer that stays (another bar, a window in front, a watcher) until the block ends;
    # yields its first line, or for a watcher the process.
    proc = subprocess.Popen([WINE_RUN, BARPEER, *map(str, args)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline().split() if args[0] != "front" else []
        yield proc if args[0] == "duringslide" else line
    finally:
        proc.communicate("\n", timeout=30 * SLOW)


class Bar:
    # One run of the bar, with the trace lines it writes (Wine's debugstr channel).

    def __init__(self, exe=None, args=()):
        env = dict(os.environ, WINEDEBUG="-all,err+all,+debugstr")
        self.traces, self.other, self.proc = [], [], subprocess.Popen([WINE_RUN, exe or BAR_EXE, *args], env=env,
                                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                                      text=True, errors="replace")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stderr:
            m = re.search(r'OutputDebugStringA "(.*)"\s*$', line)
            if m:
                self.traces.append(m.group(1).replace("\\r", "\r").replace("\\n", "\n"))
            else:
                self.other = (self.other + [line.rstrip()])[-10:]

    def why(self):
        # What a failed wait reports: whether the process still runs, and Wine's own last words.
        return f"exit {self.proc.poll()}; traces {self.traces[-3:]}; Wine said {self.other}"

    def wait_trace(self, text, timeout=10):
        return wait_for(lambda: text in self.traces, timeout)

    def wait_rect(self, rect, timeout=10):
        return wait_for(lambda: (r := peer("rect")) and tuple(r) == tuple(rect) and tuple(r), timeout) or peer("rect")

    def wait_exit(self, timeout=30):
        try:
            return self.proc.wait(timeout * SLOW)
        except subprocess.TimeoutExpired:
            return "still running"

    def stop(self):
        if self.proc.poll() is None:
            ctl("quit")
            if self.wait_exit(10) == "still running":
                self.proc.kill()
                self.proc.wait()
        self.reader.join(10)
        self.proc.stderr.close()
        # Wine's shell keeps the strip of a bar that died unregistered for as
        # long as it runs: start it afresh so no later test inherits the strip.
        # The new server and desktop must hold no one's output open, or a
        # reader (ctest, the trace reader) waits on them for ever.
        if self.proc.returncode != 0:
            quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            for flag in ("-k", "-w", "-p"):
                subprocess.run(["wineserver", flag], **quiet)
            subprocess.run([WINE_RUN, "cmd", "/c", "exit"], **quiet)


class BarTest(unittest.TestCase):
    def setUp(self):
        ad_mode("ok")
        xdo("mousemove", W // 2, H // 2)

    def start(self, first_ad=True, **kw):
        # A bar docked at the top, stopped after the test; by default once its first ad was asked for.
        asked = len(ad_log())
        self.bar = bar = Bar(**kw)
        self.addCleanup(bar.stop)
        self.assertEqual(bar.wait_rect(TOP, 30), TOP, f"the bar did not dock at the top: {bar.why()}")
        self.assertTrue(not first_ad or wait_for(lambda: len(ad_log()) > asked), "no first ad")
        return bar

    def start_download(self, seconds):
        # A paint that waits that long for its ad; later ones are served at once.
        since = len(ad_log())
        ad_mode("slow", delay=seconds * SLOW)
        self.addCleanup(subprocess.Popen([WINE_RUN, BARPEER, "paint", "1"]).wait, (seconds + 30) * SLOW)
        self.assertTrue(wait_for(lambda: len(ad_log()) > since), "no download")
        ad_mode("ok")

    def row(self, y=10):
        # The client area's pixels at that row, and its background (its first pixel below any ad).
        client = peer("client")
        self.assertTrue(client, f"the bar is gone: {self.bar.why()}")
        left, top, right, bottom = client
        shot = screen()
        return shot[top + y][left:right], shot[bottom - 1][left]

    def shows_ad(self):
        # A 468-pixel-wide sample banner centred on the screen, nothing beside it.
        row, back = self.row()
        return sum(p != back for p in row[278:746]) > 234 and row[:278] + row[746:] == [back] * (len(row) - 468)

    def assertEnds(self, bar, how, timeout=30):
        code = bar.wait_exit(timeout)
        bar.stop()
        self.assertEqual(code, 0, how)
        self.assertIsNone(peer("rect"), "the window outlived its process")
