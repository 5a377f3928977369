# tools/adset publish|rollback|status on a real nginx started from deploy/nginx.conf as the operator's page says.
# The load test's access log and journal stay in $ADSET_LOAD_KEEP (default build/publish-load) for the report's tests.
import gzip
import hashlib
import http.client
import json
import os
import pathlib
import random
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ADSET = os.path.join(REPO, "tools", "adset")
KEEP = os.environ.get("ADSET_LOAD_KEEP") or os.path.join(REPO, "build", "publish-load")
NAMES = [f"vtl_{n}.ad" for n in range(1, 17)]


def make_set(folder, seed):
    # 24-bit BMPs, every one a different size in each set: odd ads noise (no .gz pays), even ads flat (a .gz does).
    os.makedirs(folder)
    rnd = random.Random(seed)
    for n, name in enumerate(NAMES, 1):
        w, h = 60 + 20 * seed + n, 40
        row = (w * 3 + 3) & ~3
        pixels = rnd.randbytes(row * h) if n % 2 else (bytes((seed * 60, n * 9, 99)) * w).ljust(row, b"\0") * h
        header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(pixels), 0, 0, 54, 40, w, h, 1, 24, 0,
                             len(pixels), 2835, 2835, 0, 0)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(header + pixels)
    return folder


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def adset(*args, prefix=()):
    return subprocess.run([*prefix, ADSET, *args], capture_output=True, text=True, timeout=120)


class Publish(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp, True)
        os.chmod(self.tmp, 0o755)   # nginx's worker (nobody) enters it
        self.root = os.path.join(self.tmp, "root")
        self.sets = {"a": make_set(os.path.join(self.tmp, "a"), 1), "b": make_set(os.path.join(self.tmp, "b"), 2)}

    def live(self):
        return os.path.basename(os.readlink(os.path.join(self.root, "current")))

    def journal(self):
        with open(os.path.join(self.root, "journal")) as f:
            return [json.loads(line) for line in f]

    def test_switches_under_load_serve_whole_files_of_one_set(self):
        for set_id in "ab":
            self.assertEqual(adset("publish", self.sets[set_id], "--root", self.root, "--id", set_id, "--gzip").returncode, 0)
        pictures = {}
        for folder in self.sets.values():
            for name in NAMES:
                with open(os.path.join(folder, name), "rb") as f:
                    pictures.setdefault(name, []).append(f.read())
        shutil.rmtree(KEEP, ignore_errors=True)
        os.makedirs(KEEP)
        port, tls_port = free_port(), free_port()
        prefix = os.path.join(self.tmp, "nginx") + "/"
        os.mkdir(prefix)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "2", "-subj", "/CN=localhost", "-keyout", prefix + "key.pem", "-out", prefix + "cert.pem"],
                       check=True, capture_output=True, timeout=60)
        fill = {"@PORT@": f"127.0.0.1:{port}", "@TLS_PORT@": f"127.0.0.1:{tls_port}", "@ADS@": self.root + "/current",
                "@LOG@": os.path.join(KEEP, "access.log"), "@CERT@": prefix + "cert.pem", "@KEY@": prefix + "key.pem"}
        with open(os.path.join(REPO, "deploy", "nginx.conf")) as f:
            conf = f.read()
        for mark, value in fill.items():
            conf = conf.replace(mark, value)
        with open(prefix + "nginx.conf", "w") as f:
            f.write(conf)
        nginx = subprocess.Popen(["nginx", "-p", prefix, "-c", prefix + "nginx.conf", "-e", "stderr", "-g", "daemon off;"])
        self.addCleanup(nginx.wait, 30)
        self.addCleanup(nginx.terminate)
        deadline = time.monotonic() + 30
        while socket.socket().connect_ex(("127.0.0.1", port)) and time.monotonic() < deadline:
            time.sleep(0.05)

        answers, stop = [], threading.Event()

        def bar(gz):
            # One kept-alive connection, as a bar holds; half of them accept gzip.
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            while not stop.is_set():
                for name in NAMES:
                    try:
                        conn.request("GET", f"/ads/{name}", headers={"Accept-Encoding": "gzip"} if gz else {})
                        r = conn.getresponse()
                        body = r.read()
                        whole = gzip.decompress(body) if r.getheader("Content-Encoding") == "gzip" else body
                        which = pictures[name].index(whole) if whole in pictures[name] else f"{len(whole)} bytes"
                        answers.append((name, r.status, which, r.getheader("Content-Encoding"), hashlib.sha256(body).hexdigest()))
                    except (OSError, http.client.HTTPException) as e:
                        answers.append((name, repr(e), None, None, None))
                    time.sleep(0.002)
            conn.close()

        bars = [threading.Thread(target=bar, args=(i % 2,)) for i in range(4)]
        for t in bars:
            t.start()
        try:
            for i in range(24):
                self.assertEqual(adset("rollback", "ab"[i % 2], "--root", self.root).returncode, 0)
            # A set missing a file is refused; a full disk and a kill mid-copy (fsync 3) leave the
            # live set as it was; a kill between the switch and its journal line (fsync 27: 24
            # files, their folder, sets/, ROOT) leaves the new set live. The next publish
            # succeeds, clears what was left and journals that switch.
            broken = shutil.copytree(self.sets["a"], os.path.join(self.tmp, "broken"))
            os.unlink(os.path.join(broken, "vtl_7.ad"))
            before = self.live()
            self.assertEqual(adset("publish", broken, "--root", self.root).returncode, 1)
            full = adset("publish", self.sets["a"], "--root", self.root, "--gzip", prefix=("sh", "-c", 'ulimit -f 8; exec "$0" "$@"'))
            self.assertEqual((full.returncode, self.live()), (2, before), full.stderr)
            self.assertIn("File too large", full.stderr)
            for n, goes_live in ((3, False), (27, True)):
                was = self.live()
                kill = ("strace", "-f", "-qq", "-o", "/dev/null", "-e", f"inject=fsync:signal=SIGKILL:when={n}")
                p = adset("publish", self.sets["a"], "--root", self.root, "--gzip", "--id", f"k{n}", prefix=kill)
                self.assertEqual((p.returncode, self.live()), (-9, f"k{n}" if goes_live else was))
                self.assertEqual(adset("publish", self.sets["b"], "--root", self.root, "--gzip").returncode, 0)
                self.assertEqual(f"k{n}" in [e["set"] for e in self.journal()], goes_live)
                self.assertEqual(os.listdir(os.path.join(self.root, "tmp")), [])
        finally:
            stop.set()
            for t in bars:
                t.join(60)

        published = {name: set() for name in NAMES}
        for entry in self.journal():
            for ad in entry["ads"]:
                published[ad["name"]] |= {ad["sha256"]} | ({ad["gz"]["sha256"]} if ad["gz"] else set())
        seen = set()
        for name, status, which, coding, sha in answers:
            self.assertEqual((status, type(which)), (200, int), f"{name}: {which}: neither set's file")
            self.assertIn(sha, published[name], f"{name}: served but not journaled")
            seen.add((which, coding))
        self.assertEqual(seen, {(0, None), (1, None), (0, "gzip"), (1, "gzip")})
        status = json.loads(adset("status", "--root", self.root, "--json").stdout)
        self.assertEqual(status["live"], self.live())

        # A picture changed in place, same size, published within the same second: a bar revalidating its
        # copy must get the new one, not a 304 (nginx's validators are the mtime in seconds and the size).
        same = shutil.copytree(self.sets["b"], os.path.join(self.tmp, "same"))
        with open(os.path.join(same, "vtl_1.ad"), "r+b") as f:
            f.seek(60)
            f.write(b"\x01\x02\x03")
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        conn.request("GET", "/ads/vtl_1.ad")
        first = conn.getresponse()
        first.read()
        etag = first.getheader("ETag")
        self.assertEqual(adset("publish", same, "--root", self.root).returncode, 0)
        conn.request("GET", "/ads/vtl_1.ad", headers={"If-None-Match": etag})
        self.assertEqual(conn.getresponse().status, 200)
        shutil.copy(os.path.join(self.root, "journal"), KEEP)

    def test_rollback_walks_back_and_pruning_spares_its_target(self):
        for set_id in "abcd":
            self.assertEqual(adset("publish", self.sets["a"], "--root", self.root, "--id", set_id, "--keep", "1").returncode, 0)
        self.assertEqual(sorted(os.listdir(os.path.join(self.root, "sets"))), ["c", "d"])
        self.assertEqual(adset("rollback", "--root", self.root).returncode, 0)
        self.assertEqual(self.live(), "c")
        self.assertEqual(adset("rollback", "--root", self.root).returncode, 2)
        self.assertEqual([(e["action"], e["set"]) for e in self.journal()[-2:]], [("publish", "d"), ("rollback", "c")])

    def test_what_cannot_be_done_is_one_line_and_changes_nothing(self):
        a = self.sets["a"]
        self.assertEqual(adset("publish", a, "--root", self.root, "--id", "a").returncode, 0)
        other, foreign = os.path.join(self.tmp, "other"), os.path.join(self.tmp, "foreign")
        os.makedirs(other)
        open(os.path.join(other, "notes.txt"), "w").close()
        shutil.copytree(self.root, foreign, symlinks=True)
        with open(os.path.join(foreign, "journal"), "w") as f:
            f.write("2026-12-07 a\n")
        cases = [
            ("an id that exists", ["publish", a, "--root", self.root, "--id", "a"], (), "a set a was published already"),
            ("a folder that is not a root", ["publish", a, "--root", other], (), "not a publish root"),
            ("a journal that is not ours", ["publish", a, "--root", foreign], (), "not a journal this command wrote"),
            ("a set not kept", ["rollback", "zz", "--root", self.root], (), "no set zz"),
            ("a root held by another", ["publish", a, "--root", self.root, "--wait", "0.5"],
             ("flock", os.path.join(self.root, "lock")), "is busy"),
            ("a read-only root", ["publish", a, "--root", self.root],
             ("unshare", "-m", "sh", "-c", 'mount --bind -o ro "$0" "$0" && exec "$@"', self.root),
             "Read-only file system"),
        ]

        def tree():
            return {p: os.readlink(p) if p.is_symlink() else p.read_bytes() if p.is_file() else None
                    for p in pathlib.Path(self.tmp).rglob("*") if p.name != "lock"}

        for what, args, prefix, line in cases:
            with self.subTest(what):
                was = tree()
                p = adset(*args, prefix=prefix)
                self.assertEqual((p.returncode, p.stdout, len(p.stderr.splitlines())), (2, "", 1), p.stderr)
                self.assertIn(line, p.stderr)
                self.assertEqual(tree(), was)


if __name__ == "__main__":
    unittest.main()
