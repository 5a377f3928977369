"""The native log reader (server/logread/logread.cpp): found, built on first
use with the native CMake preset, run over the logs and its output read back.

ADSET_LOGREAD names a reader built elsewhere (tools/test.sh builds it in its
own build folder); otherwise it is TREE/build/native/adset-logread.
"""
import os
import shutil
import subprocess
import sys
import tempfile

from adset import Failed

TREE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = os.path.join(TREE, "server", "logread")
BUILT = os.path.join(TREE, "build", "native", "adset-logread")
HOW = "cmake --preset native && cmake --build --preset native"


def program():
    path = os.environ.get("ADSET_LOGREAD")
    if path:
        if not os.access(path, os.X_OK):
            raise Failed(f"ADSET_LOGREAD={path}: no such program (build it: {HOW})")
        return path
    try:
        newest = max(os.path.getmtime(os.path.join(SOURCE, f)) for f in os.listdir(SOURCE))
    except OSError:
        newest = 0
    if os.access(BUILT, os.X_OK) and os.path.getmtime(BUILT) >= newest:
        return BUILT
    if not (shutil.which("cmake") and shutil.which("g++")):
        raise Failed(f"the log reader is not built and cmake or g++ is missing (tools/deps.sh installs them); then in {TREE}: {HOW}")
    print("adset report: building the log reader for this machine (first use, some seconds)", file=sys.stderr, flush=True)
    for step in (["cmake", "--preset", "native"], ["cmake", "--build", "--preset", "native"]):
        p = subprocess.run(step, cwd=TREE, capture_output=True, text=True)
        if p.returncode:
            why = (p.stderr.strip() or p.stdout.strip() or "failed").splitlines()[-1]
            raise Failed(f"cannot build the log reader ({' '.join(step)}: {why}); in {TREE}: {HOW}")
    return BUILT


def switch_table(path, switches):
    """switches: [(time in s, [(bytes, gz bytes or -1, picture number)] * 16)]."""
    with open(path, "w") as f:
        f.write(f"{len(switches)}\n")
        for when, ads in switches:
            f.write(f"{round(when * 1000)} " + " ".join(f"{b} {g} {p}" for b, g, p in ads) + "\n")


def read(logs, switches, start, end):
    """The reader's records, grouped by their letter; times in whole seconds."""
    with tempfile.TemporaryDirectory(prefix="adset-report-") as tmp:
        table = os.path.join(tmp, "switches")
        switch_table(table, switches)
        args = [program(), "--journal", table]
        if start is not None:
            args += ["--from", str(int(start))]
        if end is not None:
            args += ["--to", str(int(end))]
        # Its errors and progress go straight to the operator; an error is one line and exit 2.
        p = subprocess.run(args + list(logs), stdout=subprocess.PIPE, text=True, errors="replace")
    if p.returncode == 2:
        raise SystemExit(2)
    if p.returncode:
        raise Failed(f"the log reader stopped (exit code {p.returncode}): rebuild it ({HOW})")
    out = {k: [] for k in "SMQACP"}
    for line in p.stdout.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "M":
            name, number, text = rest.split("\t", 2)
            out["M"].append((name, int(number), text))
        elif kind == "A":
            i, address, *numbers = rest.split()
            out["A"].append((int(i), address, *map(int, numbers)))
        else:
            out[kind].append(tuple(map(int, rest.split())))
    return out
