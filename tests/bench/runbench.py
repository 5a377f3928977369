#!/usr/bin/env python3
"""Runs every benchmark of tests/bench inside the environment tools/bench.sh
prepares (private display, Wine prefix, sample ad server), prints one table
and writes docs/benchmarks.md. Standard library only.

  runbench.py --build BUILD [--out docs/benchmarks.md] [--quick]

--quick runs each benchmark briefly, to try the command itself; its figures
are not worth keeping and it writes nothing unless --out is given."""
import argparse
import datetime
import glob
import os
import platform
import re
import statistics
import subprocess
import sys
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Programs of tests/bench that are run here by name, or are helpers of one.
KNOWN = {"ads_bench", "slide_bench", "soak", "startbench", "barewin"}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


class Runner:
    def __init__(self, build, quick):
        self.build = os.path.abspath(build)
        self.win64 = os.path.join(self.build, "win64")
        self.bench = os.path.join(self.win64, "tests", "bench")
        self.wine_run = os.path.join(self.win64, "wine-run")
        self.quick = quick
        self.outputs = []  # (title, command, text) for the report's appendix

    def exe(self, name):
        return os.path.join(self.bench, name + ".exe")

    def run(self, title, args, timeout):
        args = [str(a) for a in args]
        log(f"== {title}: {' '.join(os.path.basename(a.replace(chr(92), '/')) for a in args)}")
        t0 = time.monotonic()
        p = subprocess.run([self.wine_run, *args], capture_output=True, text=True, errors="replace",
                           timeout=timeout)
        out = p.stdout.replace("\r", "")
        took = time.monotonic() - t0
        log(out.rstrip())
        log(f"   ({took:.0f} s, exit code {p.returncode})")
        self.outputs.append((title, " ".join(os.path.basename(a.replace("\\", "/")) for a in args), out,
                             p.returncode))
        return out, p.returncode


def winpath(path):
    """A Linux path as Windows programs under Wine see it (drive Z is the root)."""
    return "Z:" + path.replace("/", "\\")


def results(text):
    """{name: {key: value}} from the "RESULT name k=v ... verdict" lines."""
    found = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0] == "RESULT":
            fields = dict(p.split("=", 1) for p in parts[2:] if "=" in p)
            fields["verdict"] = parts[-1] if "=" not in parts[-1] else ""
            found[parts[1]] = fields
    return found


def number(pattern, text, group=1):
    m = re.search(pattern, text, re.M)
    return float(m.group(group)) if m else None


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, after the state field


def ad_log_lines():
    with open(os.environ["BAR_ADSERVER_LOG"]) as f:
        return f.read().splitlines()


def adserver_reset():
    url = os.environ.get("BAR_ADSERVER_URL")
    if url:
        urllib.request.urlopen(url + "/control/reset", timeout=5).read()


def idle_cpu(r, seconds):
    """CPU time of the bar and of the bare program, both idle side by side for the same seconds."""
    log(f"== idle CPU: bar and bare window side by side for {seconds} s")
    bar = subprocess.Popen([r.wine_run, os.path.join(r.win64, "VantorelAdBar.exe")],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    bare = subprocess.Popen([r.wine_run, r.exe("barewin")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(5)
        for p, name in ((bar, "VantorelAdBar.exe"), (bare, "barewin.exe")):
            with open(f"/proc/{p.pid}/cmdline", "rb") as f:
                if name.encode() not in f.read():
                    raise RuntimeError(f"process {p.pid} is not {name}")
        hz = os.sysconf("SC_CLK_TCK")
        n0 = len(ad_log_lines())
        c0 = (cpu_ticks(bar.pid), cpu_ticks(bare.pid))
        time.sleep(seconds)
        c1 = (cpu_ticks(bar.pid), cpu_ticks(bare.pid))
        paints = sum(1 for line in ad_log_lines()[n0:] if " GET /ads/" in line)
    finally:
        subprocess.run([r.wine_run, os.path.join(r.win64, "barctl.exe"), "quit"], capture_output=True, timeout=30)
        for p in (bar, bare):
            if p.poll() is None:
                p.terminate()
            p.wait(15)
    bar_ms = (c1[0] - c0[0]) * 1000.0 / hz
    bare_ms = (c1[1] - c0[1]) * 1000.0 / hz
    text = (f"over {seconds} s: bar {bar_ms:.0f} ms of CPU ({bar_ms / seconds / 10:.2f} % of one core, "
            f"{paints} paints), bare window {bare_ms:.0f} ms ({bare_ms / seconds / 10:.2f} %)\n")
    log(text.rstrip())
    r.outputs.append(("Idle CPU", f"/proc/<pid>/stat over {seconds} s", text, 0))
    return bar_ms, bare_ms, paints


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
            cpu = m.group(1) if m else cpu
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(re.search(r"MemTotal:\s*(\d+)", f.read()).group(1))
            mem = f", {kb / 1048576:.1f} GB RAM"
    except (OSError, AttributeError):
        pass
    wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
    load = os.getloadavg()[0]
    return (f"{cpu}, {os.cpu_count()} cores{mem}; {platform.system()} {platform.release()} {platform.machine()}; "
            f"{wine or 'wine'}; load average {load:.1f} at the start")


def fmt(v, form=".1f", unit=""):
    return "n/a" if v is None else f"{v:{form}}{unit}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out")
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    r = Runner(args.build, args.quick)
    q = args.quick
    started = datetime.datetime.now(datetime.timezone.utc)
    about = machine()
    rows = []  # (figure, value, beside, ratio)
    ok = True

    adserver_reset()
    out, rc = r.run("Start-up", [r.exe("startbench"), winpath(os.path.join(r.win64, "VantorelAdBar.exe")),
                                 winpath(r.exe("barewin")), 3 if q else 11], 900)
    s = results(out).get("startup", {})
    ok &= rc == 0
    bar_ms, bare_ms = float(s.get("bar_ms", "nan")), float(s.get("bare_ms", "nan"))
    rows.append(("Start of the process to the first ad on screen",
                 f"{bar_ms:.0f} ms", f"bare window program {bare_ms:.0f} ms", f"{s.get('ratio', 'n/a')}x"))
    rows.append(("Start of the process to its first wait for input",
                 f"{float(s.get('bar_idle_ms', 'nan')):.0f} ms",
                 f"bare window program {float(s.get('bare_idle_ms', 'nan')):.0f} ms", ""))

    adserver_reset()
    out, rc = r.run("Paint", [r.exe("ads_bench"), *(["32", "100"] if q else [])], 1800)
    ok &= rc == 0
    paint = number(r"^\s*paint\s+([\d.]+)", out)
    alone = number(r"^\s*loader alone\s+([\d.]+)", out)
    own = number(r"^\s*bar's own work\s+([\d.]+)", out)
    rows.append(("One paint (load, measure, erase, render, copy, release)", fmt(paint, ".2f", " ms"),
                 f"platform loader alone {fmt(alone, '.2f', ' ms')}",
                 f"{paint / alone:.2f}x" if paint and alone else "n/a"))
    rows.append(("The bar's own work in a paint (paint minus its loader call)", fmt(own, ".2f", " ms"), "", ""))

    out, rc = r.run("Slides", [r.exe("slide_bench")], 600)
    ok &= rc == 0
    for edge in ("top", "left"):
        block = re.search(rf"^{edge} edge.*?(?=^\S|\Z)", out, re.M | re.S)
        text = block.group(0) if block else ""
        hide = number(r"hide.*?window positions\s+median\s+([\d.]+)", text.replace("\n", " "))
        show = number(r"show.*?window positions\s+median\s+([\d.]+)", text.replace("\n", " "))
        rows.append((f"Window positions per slide, {edge} edge", f"hide {fmt(hide, '.0f')} in 400 ms",
                     f"show {fmt(show, '.0f')} in 200 ms", ""))

    adserver_reset()
    seconds = 15 if q else 60
    bar_cpu, bare_cpu, paints = idle_cpu(r, seconds)
    rows.append((f"CPU used over {seconds} s idle ({paints} refresh paints)",
                 f"{bar_cpu:.0f} ms ({bar_cpu / seconds / 10:.2f} % of a core)",
                 f"bare window program {bare_cpu:.0f} ms", f"{bar_cpu / bare_cpu:.1f}x" if bare_cpu else "n/a"))

    sizes = {}
    for arch in ("win32", "win64"):
        path = os.path.join(r.build, arch, "VantorelAdBar.exe")
        sizes[arch] = os.path.getsize(path) if os.path.exists(path) else None
    rows.append(("i686 exe size (the product)", f"{sizes['win32']:,} bytes" if sizes["win32"] else "n/a",
                 f"x86_64 twin {sizes['win64']:,} bytes" if sizes["win64"] else "", ""))

    adserver_reset()
    paints_n, cycles_n = (500, 50) if q else (10000, 1000)
    out, rc = r.run("Soak", [r.exe("soak"), "--paints", paints_n, "--cycles", cycles_n], 7200)
    ok &= rc == 0
    res = results(out)
    for name, what in (("paints", f"{paints_n:,} paints"), ("docking", f"{cycles_n:,} dock cycles (4 edges)"),
                       ("menus", f"{cycles_n:,} right-click menu cycles"),
                       ("auto-hide", f"{cycles_n:,} auto-hide hide/show cycles")):
        f = res.get(name)
        if not f:
            rows.append((f"Soak: {what}", "n/a", "", ""))
            continue
        rows.append((f"Soak: {what}, growth after the first tenth",
                     f"GDI {f['gdi']} (window DC cache {f.get('dc_cache', '?')}), menus {f['menus']}, "
                     f"handles {f['handles']}, working set {f['ws_mb']} MB",
                     f"{f['seconds']} s, {f['failed']} steps wrong", f.get("verdict", "")))

    for path in sorted(glob.glob(os.path.join(r.bench, "*.exe"))):
        name = os.path.splitext(os.path.basename(path))[0]
        if name not in KNOWN:
            _, rc = r.run(f"Other: {name}", [path], 1800)
            ok &= rc == 0

    finished = datetime.datetime.now(datetime.timezone.utc)
    widths = [max(len(row[i]) for row in rows + [("Figure", "Value", "Beside it", "Ratio")]) for i in range(4)]
    table = []
    for row in [("Figure", "Value", "Beside it", "Ratio")] + rows:
        table.append("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
    print("\n".join(table))
    print(f"\n{'all benchmarks ran' if ok else 'SOME BENCHMARKS FAILED (see above)'}; "
          f"{(finished - started).total_seconds() / 60:.1f} minutes")

    if args.out:
        md = ["# Benchmarks", "",
              "Generated by `tools/bench.sh` (do not edit by hand; run it again). "
              "The x86_64 twin runs under wine64 on a private 1024x768 Xvfb display with the sample ad "
              "server on the loopback; the i686 product is only measured for size.", "",
              f"- Date: {started:%Y-%m-%d %H:%M} UTC, {(finished - started).total_seconds() / 60:.1f} minutes",
              f"- Machine: {about}",
              f"- Commit: {subprocess.run(['git', '-C', ROOT, 'rev-parse', '--short', 'HEAD'], capture_output=True, text=True).stdout.strip() or 'unknown'}",
              f"- Mode: {'quick (figures not representative)' if q else 'full'}", "",
              "| Figure | Value | Beside it | Ratio |", "|---|---|---|---|"]
        md += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
        md += ["", "How they are taken:", "",
               "- Start-up: `startbench` starts the bar and the bare window program (`barewin`: the same "
               "class styles and size, one solid paint) alternately with CreateProcess, and watches the "
               "screen pixel where ad 1 (and the bare program's colour) appears; median of the rounds "
               "after one unmeasured round each.",
               "- Paint: `ads_bench`, medians of timed paints sent as the refresh thread sends them, each "
               "followed by the platform loader alone fetching the same URL.",
               "- Slides: `slide_bench`, medians of 20 hides and shows (model shell).",
               "- Idle CPU: user and system time of the two Wine processes from `/proc`, side by side over "
               "the same interval; the bar's refresh thread paints every 10 s.",
               "- Soak: `soak`, in one process against Wine's shell service; GDI objects, menus and kernel "
               "handles counted by walking the handle tables, working set from the process memory counters; "
               "sampled ten times a phase, the first tenth being warm-up. The auto-hide slides run on a "
               "tick count sped up 8 times.", "",
               "## Output of each benchmark", ""]
        for title, cmd, text, rc in r.outputs:
            md += [f"### {title}", "", f"`{cmd}` (exit code {rc})", "", "```", text.rstrip(), "```", ""]
        os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
        with open(args.out, "w") as f:
            f.write("\n".join(md))
        log(f"wrote {args.out}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
