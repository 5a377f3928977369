#!/usr/bin/env python3
"""A simulated ad server's access log with known truth, for the report's
tests and its benchmark.

  bench/adlogsim.py OUT [--bars 1000] [--start 2026-12-06T22:00:00+00:00]
                        [--hours 24] [--offset +01:00] [--seed 1]

Bars behave as the bar does: a request when it starts, then one every 10 s
plus the time the load took, in rotation order (ad 1 after a start), and now
and then extra repaints (another program uncovering it, an auto-hide slide)
that fetch the next ads too; one kept-alive connection per running bar.
Bars sit alone or behind a company's address (NAT) and run the whole
window, or from early in it to late in it (office hours); some restart (a new connection, the rotation back to ad 1), a
company's network drops for a while (new connections afterwards) or for
good, one company's proxy revalidates (304), transfers are cut now and then,
the server fails a few, and scanners and a monitor ask for other things.

Writes OUT/access.log in deploy/nginx.conf's "ads" format, in the order
nginx writes lines (at each request's end; times in --offset), OUT/root/journal
(set "a" live before the log starts, set "b" published at 45 % of the
window, a rollback to "a" at 75 %) and OUT/truth.json:
  creatives  {"DAY AD SHA256": {"showings", "near"}}: pictures fetched whole,
             by the set that served them; "near": of those, how many the
             log cannot tell (within a second of a switch, another picture
             of the same size in the other set, or a 304 across a change)
  slots      {"DAY AD": {"cut", "failed"}}
  addresses  {ADDRESS: {"bars", "first_seen", "last_seen"}} (seconds)
  hours      {"YYYY-MM-DD HH:00:00": {"low", "high"}}: bars running through
             the whole hour, and bars that asked in it
Days and hours in UTC.
"""
import argparse
import datetime
import hashlib
import bisect
import heapq
import json
import os
import random
import sys

ADS = 16
CYCLE = 10.0
UA = ('"Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 6.1; Win64; x64; Trident/7.0)"',
      '"Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 10.0; WOW64; Trident/7.0; .NET4.0C)"')


def sets():
    """Set "a" and "b": ads 1-4 the same pictures, ad 5 another picture of the
    same size, the rest other sizes; the BMP-like ads 11, 13-16 with a .gz."""
    out = {}
    for name, grow in (("a", 0), ("b", 1)):
        ads = []
        for n in range(1, ADS + 1):
            label = f"{'a' if n <= 4 else name}/{n}"
            size = 4000 + 1733 * n if n not in (11, 13, 14, 15, 16) else 85000 + 61 * n
            grows = grow * (n > 5)
            size += 97 * n * grows
            gz = {"bytes": size // 9 + 13 * grows, "sha256": hashlib.sha256(f"{label}.gz".encode()).hexdigest()} \
                if n in (11, 13, 14, 15, 16) else None
            ads.append({"name": f"vtl_{n}.ad", "bytes": size, "sha256": hashlib.sha256(label.encode()).hexdigest(), "gz": gz})
        out[name] = ads
    return out


def stamp(t):
    return datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


class Sim:
    def __init__(self, args):
        self.rng = random.Random(args.seed)
        self.t0 = datetime.datetime.fromisoformat(args.start).timestamp()
        self.end = self.t0 + args.hours * 3600
        w = self.end - self.t0
        self.ads = sets()
        self.switches = [(self.t0 - 86400, "publish", "a"), (self.t0 + 0.45 * w, "publish", "b"),
                         (self.t0 + 0.75 * w, "rollback", "a")]
        sign, hh, mm = args.offset[0], int(args.offset[1:3]), int(args.offset[4:6])
        self.tz = datetime.timezone((-1 if sign == "-" else 1) * datetime.timedelta(hours=hh, minutes=mm))
        self.switch_times = [t for t, _, _ in self.switches]
        self.sizes = [{e[ad]["bytes"] for e in self.ads.values()} | {e[ad]["gz"]["bytes"] for e in self.ads.values() if e[ad]["gz"]}
                      for ad in range(ADS)]
        self.segments = []  # (start, stop, bar, address, proxy, first request number, fresh start)
        self.groups = []
        self.plan(args.bars, w)
        self.creatives, self.slots, self.addresses, self.seen = {}, {}, {}, {}

    def plan(self, bars, w):
        rng, t0, g = self.rng, self.t0, 0
        while bars > 0:
            size = min(bars, 1 if rng.random() < 0.5 else rng.choice((2, 3, 4, 6, 9, 15, 30)))
            bars -= size
            address = f"2001:db8::{g + 1:x}" if g % 25 == 7 else f"198.18.{g // 250}.{g % 250 + 1}"
            kind = rng.choices(("kiosk", "office", "outage", "gone"), (3, 5, 1, 1))[0]
            proxy = g % 40 == 3
            outage = t0 + rng.uniform(0.3, 0.6) * w, rng.uniform(600, 1800)
            gone = t0 + rng.uniform(0.55, 0.85) * w if kind == "gone" else self.end + 60
            self.groups.append((address, size))
            for b in range(size):
                start, stop = (t0 - 600, gone) if kind != "office" else \
                    (t0 + rng.uniform(0, 0.2) * w, t0 + rng.uniform(0.8, 1.05) * w)
                # (from, to, restarted): the network gone, or the program restarted.
                cuts = [(outage[0], outage[0] + outage[1], False)] if kind == "outage" and start < outage[0] < stop else []
                if rng.random() < 0.3 and stop - start > 200:
                    r = rng.uniform(start + 60, stop - 60)
                    if not any(a - 60 < r < z + 60 for a, z, _ in cuts):
                        cuts.append((r, r + rng.uniform(3, 30), True))
                cuts.sort()
                froms = [(start, True)] + [(z, restarted) for _, z, restarted in cuts]
                tos = [a for a, _, _ in cuts] + [stop]
                for (a, fresh), z in zip(froms, tos):
                    # A bar seen from before the log began had its connection for a while.
                    number = rng.randint(100, 5000) if a < t0 else 1
                    self.segments.append((a, z, (g, b), address, proxy, number, fresh))
            g += 1

    def served(self, t):
        return self.switches[bisect.bisect(self.switch_times, t) - 1][2]

    def bar(self, start, stop, key, address, proxy, number, fresh, connection, ua):
        """One connection's requests, one after another as the bar's paints are: (end, request)."""
        rng = self.rng
        # A started program begins with ad 1; across an outage the rotation went on through failed loads.
        ad = 0 if fresh and start >= self.t0 else rng.randrange(ADS)
        t = done = start
        while t < stop:
            extra = rng.choice((1, 2, 4)) if rng.random() < 0.05 else 0
            paints = [t] + sorted(t + rng.uniform(0.5, CYCLE) for _ in range(extra))
            for n, s in enumerate(paints):
                s = max(s, done + 0.01)
                if s >= stop:
                    return
                entry = self.ads[self.served(s)][ad]
                status, size = 200, (entry["gz"] or entry)["bytes"]
                took = 0.001 + size / 4e6 + rng.random() * 0.02
                r = rng.random()
                if proxy and r < 0.3:
                    status, size, took = 304, 0, 0.001
                elif r < 0.0005:
                    whole = self.sizes[ad]
                    size = rng.randrange(size)
                    while size in whole:
                        size = rng.randrange(size + 1)
                    took += rng.uniform(1, 5)
                elif r < 0.0008:
                    status, size = 503, 197
                done = s + took
                yield done, (key, address, ad, status, size, took, connection, number, ua, s)
                number += 1
                ad = (ad + 1) % ADS
                if n == 0:
                    # The refresh thread sleeps 10 s after its paint ends.
                    t = done + CYCLE

    def others(self):
        """Scanners and a monitor: requests a report must not count."""
        rng, t = self.rng, self.t0
        while t < self.end:
            t += rng.uniform(20, 400)
            uri, method, status = rng.choice((("/wp-login.php", "GET", 404), ("/ads/vtl_17.ad", "GET", 404),
                                              ("/ads/vtl 1.ad", "GET", 404), ("/ads/vtl_3.ad", "HEAD", 200), ("/", "GET", 404)))
            yield t, (None, "192.0.2.9", uri, status, method)

    def run(self, out):
        os.makedirs(os.path.join(out, "root"), exist_ok=True)
        with open(os.path.join(out, "root", "journal"), "w") as f:
            for t, action, name in self.switches:
                f.write(json.dumps({"adset": 1, "time": stamp(t), "action": action, "set": name, "who": "sim@bench",
                                    "ads": self.ads[name]}, separators=(",", ":")) + "\n")
        order = sorted(self.segments)
        streams = [self.bar(*seg, 1000 + n, UA[n % 2]) for n, seg in enumerate(order)] + [self.others()]
        cache, lines = (None, ""), 0
        with open(os.path.join(out, "access.log"), "w", buffering=1 << 20) as f:
            for end, r in heapq.merge(*streams, key=lambda e: e[0]):
                if end < self.t0 or end >= self.end:
                    continue
                T = int(end)
                if cache[0] != T:
                    cache = (T, datetime.datetime.fromtimestamp(T, self.tz).isoformat())
                lines += 1
                if r[0] is None:
                    _, address, uri, status, method = r
                    f.write(f"{cache[1]} {address} {method} {uri} {status} 0 0.000 7 1 \"curl/7.88.1\"\n")
                    continue
                key, address, ad, status, size, took, connection, number, ua, start = r
                ms = round(took * 1000)
                f.write(f"{cache[1]} {address} GET /ads/vtl_{ad + 1}.ad {status} {size} {ms // 1000}.{ms % 1000:03d} "
                        f"{connection} {number} {ua}\n")
                self.count(key, address, ad, status, size, start, T, T * 1000 - ms)
        self.truth(out, lines)

    def count(self, key, address, ad, status, size, start, T, logged_ms):
        day = T // 86400
        a = self.addresses.setdefault(address, [T, T])
        a[1] = T
        self.seen.setdefault(key, set()).add(T // 3600)
        entry = self.ads[self.served(start)][ad]
        if status != 304 and (status != 200 or size != (entry["gz"] or entry)["bytes"]):
            slot = self.slots.setdefault((day, ad), [0, 0])
            slot[status >= 400] += 1
            return
        c = self.creatives.setdefault((day, ad, entry["sha256"]), [0, 0])
        c[0] += 1
        for (w, _, new), (_, _, old) in zip(self.switches[1:], self.switches):
            x, y = self.ads[old][ad], self.ads[new][ad]
            if logged_ms - 1000 < round(w * 1000) <= logged_ms + 1000 and x["sha256"] != y["sha256"] and \
                    (status == 304 or x["bytes"] == y["bytes"]):
                c[1] += 1
                break

    def truth(self, out, lines):
        utc = lambda t, f: datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime(f)
        hours = {}
        for per_hour in self.seen.values():
            for h in per_hour:
                hours.setdefault(h, [0, 0])[1] += 1
        for start, stop, *_ in self.segments:
            h = -(-max(start, self.t0) // 3600)
            while (h + 1) * 3600 <= min(stop, self.end):
                hours[h][0] += 1
                h += 1
        groups = dict(self.groups)
        truth = {"lines": lines, "start": self.t0, "end": self.end,
                 "creatives": {f"{utc(d * 86400, '%Y-%m-%d')} {ad + 1} {sha}": {"showings": n, "near": near}
                               for (d, ad, sha), (n, near) in self.creatives.items()},
                 "slots": {f"{utc(d * 86400, '%Y-%m-%d')} {ad + 1}": {"cut": c, "failed": f}
                           for (d, ad), (c, f) in self.slots.items()},
                 "addresses": {a: {"bars": groups[a], "first_seen": f, "last_seen": l} for a, (f, l) in self.addresses.items()},
                 "hours": {utc(h * 3600, "%Y-%m-%d %H:00:00"): {"low": lo, "high": hi} for h, (lo, hi) in sorted(hours.items())}}
        with open(os.path.join(out, "truth.json"), "w") as f:
            json.dump(truth, f, indent=1)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("out")
    p.add_argument("--bars", type=int, default=1000)
    p.add_argument("--start", default="2026-12-06T22:00:00+00:00")
    p.add_argument("--hours", type=float, default=24)
    p.add_argument("--offset", default="+01:00")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args(argv)
    Sim(args).run(args.out)


if __name__ == "__main__":
    sys.exit(main())
