"""Drives the real bar under wine64 for the end-to-end tests.

The test command provides the environment: DISPLAY (a private Xvfb with a
1024x768 Wine virtual desktop), WINEPREFIX with a persistent wineserver, the
sample ad server (BAR_ADSERVER_URL, BAR_ADSERVER_LOG), and through ctest the
paths of the programs (BAR_EXE, BARCTL, BARPROBE, WINE_RUN).
"""
import os
import re
import subprocess
import tempfile
import threading
import time
import urllib.request

WINE_RUN = os.environ.get("WINE_RUN", "")
BAR_EXE = os.environ.get("BAR_EXE", "")
BARCTL = os.environ.get("BARCTL", "")
BARPROBE = os.environ.get("BARPROBE", "")
BARFUZZ = os.environ.get("BARFUZZ", "")
ADSERVER_URL = os.environ.get("BAR_ADSERVER_URL", "")
ADSERVER_LOG = os.environ.get("BAR_ADSERVER_LOG", "")
# Time bounds stretch by this much where the programs run emulated (the i686 tree).
TIME_FACTOR = float(os.environ.get("BAR_TIME_FACTOR", "1"))

_DEBUGSTR = re.compile(r'OutputDebugStringA "(.*)"\s*$')


def _unescape(s):
    return (s.replace("\\r", "\r").replace("\\n", "\n").replace("\\t", "\t")
             .replace('\\"', '"').replace("\\\\", "\\"))


def run_windows(exe, *args, timeout=30):
    """Runs a Windows console program to its end; returns (rc, stdout, stderr)."""
    p = subprocess.run([WINE_RUN, exe, *map(str, args)], capture_output=True,
                       text=True, timeout=timeout)
    return p.returncode, p.stdout.replace("\r", ""), p.stderr.replace("\r", "")


def probe(*args):
    """barprobe's one line, split; None when no bar runs."""
    rc, out, _ = run_windows(BARPROBE, *args)
    if rc != 0:
        return None
    return out.split()


def fuzz(*args, timeout=180):
    """Runs barfuzz; returns (rc, stdout)."""
    rc, out, _ = run_windows(BARFUZZ, *args, timeout=timeout)
    return rc, out


def xdotool(*args):
    subprocess.run(["xdotool", *map(str, args)], check=True, timeout=10)


def granted_top():
    """The top row Wine's service grants another bar that asks for the top 40 rows:
    75 while our bar holds the strip above row 75, 0 when the service knows of no strip."""
    p = subprocess.run([WINE_RUN, BARPROBE, "otherbar", "top", "40", "1"], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=30)
    words = p.stdout.split()
    return int(words[2]) if len(words) >= 5 and words[0] == "registered" else None


def ctl(*args):
    """Runs barctl; returns (rc, stdout, stderr)."""
    return run_windows(BARCTL, *args)


def _thread_states(pid):
    """'tid:state:kernel-wait' for each thread of a Unix process (a Wine process is one)."""
    states = []
    try:
        tids = sorted(os.listdir(f"/proc/{pid}/task"), key=int)
    except OSError:
        return "gone"
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            with open(f"/proc/{pid}/task/{tid}/wchan") as f:
                states.append(f"{tid}:{state}:{f.read().strip() or '-'}")
        except OSError:
            pass
    return " ".join(states)


class Bar:
    """One run of the bar's exe, with its trace lines collected from Wine's debugstr channel."""

    def __init__(self, exe=None, args=(), extra_env=None):
        env = dict(os.environ)
        env["WINEDEBUG"] = "-all,+debugstr"
        env.update(extra_env or {})
        self.traces = []
        self.hang_report = ""
        self._lock = threading.Lock()
        self.proc = subprocess.Popen([WINE_RUN, exe or BAR_EXE, *args], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True, errors="replace")
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stderr:
            m = _DEBUGSTR.search(line)
            if m:
                with self._lock:
                    self.traces.append(_unescape(m.group(1)))

    def trace_lines(self, prefix=""):
        with self._lock:
            return [t for t in self.traces if t.startswith(prefix)]

    def wait_trace(self, text, timeout=10):
        """Waits for a trace line equal to text (or starting with it); returns it or None."""
        end = time.time() + timeout
        while time.time() < end:
            for t in self.trace_lines():
                if t == text or t.startswith(text):
                    return t
            time.sleep(0.05)
        return None

    def wait_window(self, timeout=15):
        end = time.time() + timeout
        while time.time() < end:
            if self.proc.poll() is not None:
                return False
            if probe("visible") == ["1"]:
                return True
            time.sleep(0.1)
        return False

    def rect(self):
        r = probe("rect")
        return tuple(map(int, r)) if r else None

    def wait_rect(self, expected, timeout=10):
        end = time.time() + timeout
        r = None
        while time.time() < end:
            r = self.rect()
            if r == tuple(expected):
                return r
            time.sleep(0.05)
        return r

    def wait_exit(self, timeout=None):
        """The exit code, or None when the process still runs after the timeout
        (by default a bound far beyond the second it takes); then hang_report
        tells where its threads wait."""
        try:
            return self.proc.wait(timeout if timeout is not None else 30 * TIME_FACTOR)
        except subprocess.TimeoutExpired:
            self.hang_report = "still running; threads: " + _thread_states(self.proc.pid)
            return None

    def stop(self):
        if self.proc.poll() is None:
            ctl("quit")
            if self.wait_exit(5) is None:
                self.proc.kill()
                self.proc.wait()
        self._reader.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def screenshot(path=None):
    """The whole 1024x768 screen as a PNG file; returns its path."""
    if path is None:
        fd, path = tempfile.mkstemp(suffix=".png")
        os.close(fd)
    subprocess.run(["import", "-window", "root", path], check=True, timeout=30)
    return path


def pixel(png, x, y):
    """(r, g, b) of one pixel of a picture file, 8 bits a channel."""
    out = subprocess.run(["convert", png, "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                         capture_output=True, text=True, check=True).stdout
    m = re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[-1])
    return tuple(int(v) for v in m.groups())


def adserver(path):
    """GET on the ad server's control endpoint, e.g. adserver('/control/mode?set=404')."""
    with urllib.request.urlopen(ADSERVER_URL + path, timeout=5) as r:
        return r.read()


def ad_requests(since=0):
    """The ad paths requested, in order, from the log's line `since` on; and the line count."""
    with open(ADSERVER_LOG) as f:
        lines = f.read().splitlines()
    reqs = []
    for line in lines[since:]:
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "GET":
            reqs.append(parts[2])
    return reqs, len(lines)


def ad_log_size():
    with open(ADSERVER_LOG) as f:
        return len(f.read().splitlines())
