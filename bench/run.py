#!/usr/bin/env python3
"""Runs the benchmark programs inside the environment tools/bench.sh prepares
(Wine prefix, private display, the sample ad server), prints one table and,
with --out, rewrites that file. --quick runs everything briefly, to try the
command; its figures mean little.

  run.py --tree X86_64_TREE --product I686_EXE [--out docs/benchmarks.md] [--quick]"""
import argparse
import datetime
import os
import platform
import re
import statistics
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The 10000x10000 paint at the last commit whose render drew the whole picture
# into a memory bitmap of its size (medians of 5 runs), shown beside each run's own.
BEFORE = {"commit": "1f1c7a2", "paint_ms": 733, "load_ms": 538, "rest_ms": 193, "render_mb": 379, "peak_mb": 775}
OUTPUTS = []  # (title, command, output, exit code), for the report


def log(text):
    print(text, file=sys.stderr, flush=True)


def one_colour_bmp(width, height):
    """A picture of any size, in a format Windows's loader reads: one bit a pixel, rows padded to 4 bytes."""
    stride = (width + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 1, 0, stride * height, 0, 0, 2, 0)
    return (b"BM" + struct.pack("<IHHI", 62 + stride * height, 0, 0, 62) + header
            + bytes((200, 90, 40, 0)) * 2 + bytes(stride * height))


def barbench(tree, title, mode, *args):
    """{name: {key: value}} from the program's RESULT lines, and "ok" for its exit code; paths go as Windows paths."""
    args = [mode, *(str(a) if isinstance(a, int) else "Z:" + os.path.abspath(a).replace("/", "\\") for a in args)]
    command = "barbench " + " ".join(a.rsplit("\\", 1)[-1] for a in args)
    log(f"== {title}: {command}")
    t0 = time.monotonic()
    p = subprocess.run(["wine64", os.path.join(tree, "bench", "barbench.exe"), *args], timeout=3600,
                       capture_output=True, text=True, errors="replace")
    out = (p.stdout + p.stderr).replace("\r", "")
    log(f"{out.rstrip()}\n   ({time.monotonic() - t0:.0f} s, exit code {p.returncode})")
    OUTPUTS.append((title, command, out, p.returncode))
    found = {"ok": p.returncode == 0}
    for fields in (line.split()[1:] for line in out.splitlines() if line.startswith("RESULT ")):
        found[fields[0]] = {k: v if k == "verdict" else float(v) for k, v in (f.split("=") for f in fields[1:])}
    return found


def idle_cpu(tree, seconds):
    """CPU milliseconds of the bar and of the bare window program idle side by side, and the bar's paints."""
    log(f"== Idle CPU: the bar and the bare window program for {seconds} s")
    exes = [os.path.join(tree, name) for name in ("VantorelAdBar.exe", "bench/barewin.exe")]
    procs = [subprocess.Popen(["wine64", exe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for exe in exes]

    def sample():
        with open(os.environ["BAR_ADSERVER_LOG"]) as f:
            found = [f.read().count(" GET /ads/")]
        for p in procs:
            with open(f"/proc/{p.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            found.append((int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK"))
        return found
    try:
        time.sleep(5)
        before = sample()
        time.sleep(seconds)
        paints, bar, bare = (a - b for a, b in zip(sample(), before))
    finally:
        subprocess.run(["wine64", os.path.join(tree, "barctl.exe"), "quit"], capture_output=True, timeout=30)
        for p in procs:
            if p.poll() is None:
                p.terminate()
            p.wait(15)
    text = f"over {seconds} s: bar {bar:.0f} ms of CPU, {paints} paints; bare window program {bare:.0f} ms"
    log(text)
    OUTPUTS.append(("Idle CPU", f"/proc/<pid>/stat over {seconds} s", text, 0))
    return bar, bare, paints


def ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "n/a"


HOW = f"""How each figure is taken is told in the comments of `bench/barbench.cpp` and `bench/run.py`. Every ad
comes from the sample ad server (`tools/adserver.py`), which the benchmark command starts. The
10000x10000 picture comes from a file, a one-bit BMP; the figures beside it from {BEFORE['commit']}, whose render drew
the whole picture into a memory bitmap of its size, and whose picture was a one-bit PNG, so only "the rest" and the
working set compare. The peak working set is the loader's: two full-size copies while it decodes.
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tree", required=True)
    ap.add_argument("--product", required=True)
    ap.add_argument("--out")
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    q, tree = args.quick, args.tree
    started = datetime.datetime.now(datetime.timezone.utc)
    with open("/proc/cpuinfo") as f:
        cpu = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
    wine = subprocess.run(["wine64", "--version"], capture_output=True, text=True).stdout.strip()
    about = (f"{cpu.group(1) if cpu else 'unknown CPU'}, {os.cpu_count()} cores; {platform.system()} "
             f"{platform.release()} {platform.machine()}; {wine}; load average {os.getloadavg()[0]:.1f} at the start")
    picture = os.path.join(tree, "big.bmp")
    with open(picture, "wb") as f:
        f.write(one_colour_bmp(10000, 10000))

    start = barbench(tree, "Start-up", "start", os.path.join(tree, "VantorelAdBar.exe"),
                     os.path.join(tree, "bench", "barewin.exe"), 3 if q else 11)
    bigs = [barbench(tree, f"Paint of a 10000x10000 picture, run {i + 1}", "big", picture)
            for i in range(2 if q else 5)]
    seconds = 15 if q else 60
    bar_cpu, bare_cpu, idle_paints = idle_cpu(tree, seconds)
    paints, cycles = (500, 50) if q else (10000, 1000)
    soak = barbench(tree, "Soak", "soak", paints, cycles)
    ok = all(r["ok"] for r in [start, soak, *bigs])

    s, p = start.get("start", {}), soak.get("paint", {})
    big = {k: statistics.median(b.get("big", {}).get(k, 0) for b in bigs) for k in BEFORE if k != "commit"}
    size = lambda path: f"{os.path.getsize(path):,} bytes" if os.path.exists(path) else "n/a"
    rows = [("Start of the process to the first ad on screen", f"{s.get('bar_ms', 0):.0f} ms",
             f"bare window program {s.get('bare_ms', 0):.0f} ms", ratio(s.get("bar_ms"), s.get("bare_ms"))),
            ("One paint of a 468x60 ad (load, draw, release)", f"{p.get('paint_ms', 0):.2f} ms",
             f"the platform loader in it {p.get('loader_ms', 0):.2f} ms", ratio(p.get("paint_ms"), p.get("loader_ms"))),
            ("Paint of a 10000x10000 picture (the loader's part, the rest)",
             f"{big['paint_ms']:.0f} ms ({big['load_ms']:.0f} ms, {big['rest_ms']:.0f} ms)",
             f"at {BEFORE['commit']}: {BEFORE['paint_ms']} ms ({BEFORE['load_ms']} ms, {BEFORE['rest_ms']} ms)",
             "the rest " + ratio(big["rest_ms"], BEFORE["rest_ms"])),
            ("Working set that paint adds above the loaded picture (the process's peak)",
             f"{big['render_mb']:+.0f} MB (peak {big['peak_mb']:+.0f} MB)",
             f"at {BEFORE['commit']}: {BEFORE['render_mb']:+} MB (peak {BEFORE['peak_mb']:+} MB)", ""),
            (f"CPU used over {seconds} s idle ({idle_paints} refresh paints)",
             f"{bar_cpu:.0f} ms ({bar_cpu / seconds / 10:.2f} % of a core)", f"bare window program {bare_cpu:.0f} ms",
             ratio(bar_cpu, bare_cpu)),
            ("i686 exe size (the product)", size(args.product),
             f"x86_64 twin {size(os.path.join(tree, 'VantorelAdBar.exe'))}", "")]
    for name, what in (("paints", f"{paints:,} paints"), ("docking", f"{cycles:,} dock cycles (4 edges)"),
                       ("menus", f"{cycles:,} right-click menu cycles"),
                       ("auto-hide", f"{cycles:,} auto-hide hide/show cycles")):
        f = soak.get(name)
        rows.append((f"Soak: {what}, growth after the first {f['warm']:,.0f}",
                     f"GDI {f['gdi']:+.0f}, menus {f['menus']:+.0f}, handles {f['handles']:+.0f}, working set "
                     f"{f['ws_mb']:+.1f} MB", f"{f['seconds']:.0f} s, {f['failed']:.0f} steps wrong", f["verdict"])
                    if f else (f"Soak: {what}", "n/a", "", "n/a"))

    minutes = (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds() / 60
    head = ("Figure", "Value", "Beside it", "Ratio or verdict")
    widths = [max(len(row[i]) for row in rows + [head]) for i in range(4)]
    print("\n".join("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in [head] + rows))
    print(f"\n{'all benchmarks ran' if ok else 'SOME BENCHMARKS FAILED (see above)'}; {minutes:.1f} minutes")
    if args.out:
        git = lambda *a: subprocess.run(["git", "-C", ROOT, *a], capture_output=True, text=True).stdout.strip()
        dirty = " with uncommitted changes" if git("status", "--porcelain", "--untracked-files=no") else ""
        md = ["# Benchmarks", "", "Generated by `tools/bench.sh` (do not edit by hand; run it again). The x86_64 "
              "twin runs under wine64 on a private 1024x768 Xvfb display; the i686 product is only measured for "
              "size.", "", f"- Date: {started:%Y-%m-%d %H:%M} UTC, {minutes:.1f} minutes",
              f"- Machine: {about}, {os.getloadavg()[0]:.1f} at the end",
              f"- Commit: {git('rev-parse', '--short', 'HEAD') or 'unknown'}{dirty}",
              f"- Mode: {'quick (figures not representative)' if q else 'full'}", "",
              "| " + " | ".join(head) + " |", "|---|---|---|---|", *("| " + " | ".join(row) + " |" for row in rows),
              "", HOW, "## Output of each benchmark", ""]
        for title, command, text, code in OUTPUTS:
            md += [f"### {title}", "", f"`{command}` (exit code {code})", "", "```", text.rstrip(), "```", ""]
        # What other benchmark commands wrote below their "<!-- bench/... -->" marker stays.
        kept = ""
        if os.path.exists(args.out):
            with open(args.out) as f:
                old = f.read()
            kept = old[old.index("<!-- bench/"):] if "<!-- bench/" in old else ""
        with open(args.out, "w") as f:
            f.write("\n".join(md) + ("\n" + kept if kept else ""))
        log(f"wrote {args.out}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
