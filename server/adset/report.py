"""Proof of play from the ad server's access logs: which picture was shown how
often, on how many desktops, and which desktops went silent.

  tools/adset report LOG... [--root ROOT] [--from WHEN] [--to WHEN] [--tz ZONE]
        [--by hour|day|week|total] [--csv | --json] [--bars] [--silent AFTER]
        [--chart FILE.png|FILE.svg]

LOG: access logs in deploy/nginx.conf's "ads" format (tools/adserver.py's
--access-log writes it too), plain or gzip, rotated files in any order, from
one server or several; - reads the standard input (plain or gzip).

A showing is a picture fetched whole while a bar ran, whether or not anyone
looked: a 200 whose body has the bytes the journal recorded for that file or
its .gz, or a 304. A shorter 200 is cut (the bar shows nothing), a 4xx or 5xx
failed. With --root, each request goes to the set that was live when it began
(the journal), so showings are per creative: the ad's picture, named by the
first digits of its SHA-256 and the set that first published it. A request
within a second of a switch goes to the set whose bytes it has; where two
sets' pictures differ but not in size, it is counted as ambiguous, as is a
whole picture of the set before or after (another server that switched
seconds apart). Without --root a 200 counts by its status alone. Only a
bar's GET of an ad counts: a HEAD, and the ad check's own fetches (user
agent "adset-check"), are other requests, of no address's bars either.

Bars: a bar keeps one connection open and asks at least every 10 s, so the
bars behind an address (a company's NAT) are its connections open at once,
at their peak in each hour; a connection that asked only once is no bar. An
address whose server closes every connection (the sample server) is judged
by its request rate instead, six a minute a bar: an upper estimate, since
repaints add requests.

--silent AFTER (90s, 15m, 2h, 1d) lists the addresses seen in the window but
not in the last AFTER before --to, and exits 1 when there are any.
Exit codes: 0 done, 1 silent addresses, 2 the job could not be done.
"""
import argparse
import collections
import csv
import datetime
import ipaddress
import json
import os
import re
import sys
import time
import zoneinfo

from adset import ADS, Failed, journal, logread

UTC = datetime.timezone.utc
UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400}
PER_MINUTE = 6
AMBIGUOUS = "ambiguous"
SAMPLES = 3


class Clock:
    """Local time in the report's zone; hours are keyed by their first second (UTC)."""

    def __init__(self, tz, name):
        self.tz, self.name, self.offsets = tz, name, {}

    def offset(self, t):
        q = t // 900
        if q not in self.offsets:
            self.offsets[q] = int(datetime.datetime.fromtimestamp(q * 900, self.tz).utcoffset().total_seconds())
        return self.offsets[q]

    def hour(self, t):
        o = self.offset(t)
        return (t + o) // 3600 * 3600 - o

    def period(self, t, by):
        d = datetime.datetime.fromtimestamp(t, self.tz)
        return {"hour": f"{d:%Y-%m-%d %H}:00", "day": f"{d:%Y-%m-%d}", "week": f"{d:%G-W%V}"}.get(by, "total")

    def text(self, t):
        return f"{datetime.datetime.fromtimestamp(t, self.tz):%Y-%m-%d %H:%M:%S}"


def zone(name):
    if name:
        try:
            return Clock(zoneinfo.ZoneInfo(name), name)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            raise Failed(f"--tz {name}: not a time zone (UTC, Europe/Berlin, ...)")
    name = os.environ.get("TZ", "").lstrip(":")
    try:
        return Clock(zoneinfo.ZoneInfo(name), name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        pass
    try:
        with open("/etc/localtime", "rb") as f:
            local = os.path.realpath("/etc/localtime").partition("zoneinfo/")[2] or "local time"
            return Clock(zoneinfo.ZoneInfo.from_file(f, key=local), local)
    except (OSError, ValueError):
        return Clock(UTC, "UTC")


def when(text, clock, option):
    if text is None or text == "now":
        # The window ends before --to: now's own second is in it.
        return None if text is None else int(time.time()) + 1
    try:
        d = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise Failed(f"{option} {text}: not a time (2026-12-07, 2026-12-07T14:00, with an offset or Z if not in --tz)")
    return int((d if d.tzinfo else d.replace(tzinfo=clock.tz)).timestamp())


def duration(text):
    m = re.fullmatch(r"(\d+)([smhd]?)", text or "")
    if not m:
        raise Failed(f"--silent {text}: not a duration (90s, 15m, 2h, 1d)")
    return int(m.group(1)) * UNITS[m.group(2) or "s"]


def creatives(root):
    """Per switch the creative of each ad, the first set to publish each, and the reader's table."""
    entries = sorted(journal.read(root), key=lambda e: journal.parse_time(e["time"]))
    if not entries:
        raise Failed(f"{journal.path(root)}: no journal here: nothing was published under this root")
    keys, first, table, numbers = [], {}, [], {}
    try:
        for e in entries:
            row, names = entry_row(e, first, numbers)
            keys.append(names)
            table.append((journal.parse_time(e["time"]).timestamp(), row))
    except (KeyError, TypeError, ValueError, AttributeError):
        raise Failed(f"{journal.path(root)}: an entry without the bytes and SHA-256 of its 16 ads: not a journal this command reads")
    return entries, keys, first, table


def entry_row(e, first, numbers):
    """One switch's ads for the reader, and their creatives; a creative's set is the first to publish it."""
    ads = {}
    for ad in e["ads"]:
        m = re.fullmatch(r"vtl_(\d+)\.ad", str(ad.get("name")))
        if m and 1 <= int(m.group(1)) <= ADS:
            ads[int(m.group(1))] = ad
    if len(ads) != ADS:
        raise ValueError
    row, names = [], []
    for n in range(1, ADS + 1):
        key = (n, str(ads[n]["sha256"]))
        first.setdefault(key, e["set"])
        gz = ads[n].get("gz")
        row.append((int(ads[n]["bytes"]), int(gz["bytes"]) if gz else -1, numbers.setdefault(key, len(numbers))))
        names.append(key)
    return row, names


def sweep(spans, clock):
    """{hour: most connections open at once} of one address; a span is (first, last)."""
    events = []
    for first, last in spans:
        events += [(first, 1), (max(last, first + 1), 0)]
    # At one instant ends go first: a bar that restarted is not two bars.
    events.sort()
    peaks, level, prev = {}, 0, None
    for t, start in events:
        if prev is not None and level:
            h = clock.hour(prev) + 3600
            while h <= t:
                peaks[h] = max(peaks.get(h, 0), level)
                h = clock.hour(h) + 3600
        level += 1 if start else -1
        h = clock.hour(t)
        peaks[h] = max(peaks.get(h, 0), level)
        prev = t
    return peaks


def bars(out, clock):
    """{address id: {hour: bars}}."""
    spans, once, peaks = collections.defaultdict(list), collections.defaultdict(dict), {}
    for i, first, last, _ in out["C"]:
        spans[i].append((first, last))
    for i, minute, count in out["P"]:
        h = clock.hour(minute * 60)
        once[i][h] = max(once[i].get(h, 0), -(-count // PER_MINUTE))
    for i in set(spans) | set(once):
        peaks[i] = {h: n for h, n in sweep(spans[i], clock).items() if n} if i in spans else once[i]
    return peaks


def tally(out, keys, clock, by):
    """Rows {(period, ad, creative): [showings, cut, failed]} and per-hour showings per ad."""
    rows = collections.defaultdict(lambda: [0, 0, 0])
    hourly = collections.defaultdict(lambda: [0] * ADS)
    other = 0
    for q, entry, ad, shown, cut, failed, ambiguous, others in out["Q"]:
        t = q * 900
        other += others
        period = clock.period(t, by)
        if shown or cut or failed:
            sha = keys[entry][ad - 1][1] if entry >= 0 else ""
            row = rows[(period, ad, sha)]
            row[0] += shown
            row[1] += cut
            row[2] += failed
        if ambiguous:
            rows[(period, ad, AMBIGUOUS)][0] += ambiguous
        hourly[clock.hour(t)][ad - 1] += shown + ambiguous
    return rows, hourly, other


def table(headers, rows):
    rows = [[str(c) for c in r] for r in rows]
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]
    # A column of counts is right-aligned; a creative's hex digits may all be digits, its column is not.
    counts = [i > 0 and all(r[i].isdigit() for r in rows) for i in range(len(headers))]
    line = lambda cells: "  ".join(c.rjust(w) if right else c.ljust(w)
                                   for c, w, right in zip(cells, widths, counts)).rstrip()
    return "\n".join([line(headers)] + [line(r) for r in rows])


def add_arguments(p):
    # The whole story of what counts, after the options.
    p.formatter_class = argparse.RawDescriptionHelpFormatter
    p.epilog = __doc__.split("\n\n", 2)[2]
    p.add_argument("logs", nargs="+", metavar="LOG", help="access logs, plain or .gz, any order; - for the standard input")
    p.add_argument("--root", help="the publish root: its journal names the creative each request served")
    p.add_argument("--from", dest="start", metavar="WHEN", help="from this time on (2026-12-07, 2026-12-07T14:00)")
    p.add_argument("--to", dest="end", metavar="WHEN", help="up to this time (default: now)")
    p.add_argument("--tz", help="the time zone of periods and times shown (default: this machine's)")
    p.add_argument("--by", choices=("hour", "day", "week", "total"), default="day", help="the period of the tables (day)")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--csv", action="store_true", help="CSV with a header row: the showings, or with --bars or --silent the addresses")
    out.add_argument("--json", action="store_true", help="everything as one JSON object")
    p.add_argument("--bars", action="store_true", help="the bars behind each address")
    p.add_argument("--silent", metavar="AFTER", help="list addresses not seen in the last AFTER before --to; exit 1 if any")
    p.add_argument("--chart", metavar="FILE", help="showings per hour per ad and bars running per hour, .png or .svg")


def per_period(rows, peaks, hours, clock, by):
    """{period: totals}: showings (ambiguous ones included), cut, failed, the most bars
    running in one hour of it, and the addresses that had any."""
    periods = collections.defaultdict(lambda: {"showings": 0, "ambiguous": 0, "cut": 0, "failed": 0, "bars": 0, "addresses": set()})
    for (period, ad, sha), (shown, cut, failed) in rows.items():
        s = periods[period]
        s["showings"] += shown
        s["ambiguous"] += shown if sha == AMBIGUOUS else 0
        s["cut"] += cut
        s["failed"] += failed
    for i, p in peaks.items():
        for h in p:
            s = periods[clock.period(h, by)]
            s["bars"] = max(s["bars"], hours[h])
            s["addresses"].add(i)
    return [{"period": k, **v, "addresses": len(v["addresses"])} for k, v in sorted(periods.items())]


def ad_rows(rows, first):
    """The rows in order: period, ad, the creatives as they were published, ambiguous last."""
    order = {key: n for n, key in enumerate(first)}
    key = lambda kv: (kv[0][0], kv[0][1], kv[0][2] == AMBIGUOUS, order.get((kv[0][1], kv[0][2]), -1))
    return [{"period": period, "ad": ad, "set": first.get((ad, sha), ""),
             "creative": sha if sha == AMBIGUOUS else sha[:8], "sha256": "" if sha == AMBIGUOUS else sha,
             "showings": shown, "cut": cut, "failed": failed}
            for (period, ad, sha), (shown, cut, failed) in sorted(rows.items(), key=key)]


def address_order(a):
    try:
        ip = ipaddress.ip_address(a["address"])
        return ip.version, int(ip), ""
    except ValueError:
        return 9, 0, a["address"]


def run(args):
    clock = zone(args.tz)
    start, end = when(args.start, clock, "--from"), when(args.end or "now", clock, "--to")
    after = duration(args.silent) if args.silent is not None else None
    if args.chart and not args.chart.lower().endswith((".png", ".svg")):
        raise Failed(f"--chart {args.chart}: the file must end in .png or .svg")
    entries, keys, first, switches = creatives(args.root) if args.root else ([], [], {}, [])
    out = logread.read(args.logs, switches, start, end)

    rows, hourly, other = tally(out, keys, clock, args.by)
    peaks = bars(out, clock)
    hours = collections.Counter()
    for p in peaks.values():
        hours.update(p)
    addresses = sorted(({"address": name, "bars": max(peaks.get(i, {}).values(), default=0),
                         "first_seen": clock.text(f), "last_seen": clock.text(l), "requests": n, "last": l}
                        for i, name, f, l, n in out["A"]), key=address_order)
    silent = [] if after is None else sorted((a for a in addresses if a["last"] < end - after), key=lambda a: a["last"])
    for a in addresses:
        del a["last"]
    lines, ad_requests, non_ads, malformed, cut_last, outside = out["S"][0]
    seen = min((f for _, _, f, _, _ in out["A"]), default=end)
    report = {"from": clock.text(start if start is not None else seen), "to": clock.text(end), "tz": clock.name,
              "by": args.by, "journal": journal.path(args.root) if args.root else None,
              "lines": lines, "ad_requests": ad_requests, "other_requests": non_ads + other, "malformed": malformed,
              "malformed_first": [f"{n}:{k}: {t}" for n, k, t in out["M"]], "cut_last_lines": cut_last,
              "outside_window": outside, "rows": ad_rows(rows, first), "periods": per_period(rows, peaks, hours, clock, args.by),
              "hours": [{"hour": clock.text(h), "bars": n} for h, n in sorted(hours.items())],
              "addresses": addresses, "silent": None if after is None else silent}

    if args.chart:
        from adset import chart
        chart.draw(args.chart, clock, hourly, hours, entries)
    if args.json:
        json.dump(report, sys.stdout, indent=1)
        print()
    elif args.csv:
        w = csv.writer(sys.stdout, lineterminator="\n")
        cols, items = (("address", "bars", "first_seen", "last_seen", "requests"), addresses if args.bars else silent) \
            if args.bars or after is not None else (("period", "ad", "set", "creative", "showings", "cut", "failed"), report["rows"])
        w.writerow(cols)
        w.writerows([item[c] for c in cols] for item in items)
    else:
        text(args, report)
    return 1 if silent else 0


def text(args, r):
    n = lambda count, word: f"{count} {word}{'' if count == 1 else 's'}"
    print(f"{n(len(args.logs), 'log')}: {n(r['lines'], 'line')}, {r['ad_requests']} requests for ads,"
          f" from {r['from']} to {r['to']} ({r['tz']})")
    if args.root:
        print(f"Showings per creative: its picture's SHA-256 and the set that first published it ({r['journal']}).")
    else:
        print("No journal (--root): a 200 counts as shown by its status alone, whatever its bytes; per ad only.")
    print()
    print(table((args.by, "ad", "set", "creative", "showings", "cut", "failed"),
                [(x["period"], x["ad"], x["set"], x["creative"], x["showings"], x["cut"], x["failed"]) for x in r["rows"]]))
    print()
    print(table((args.by, "showings", "ambiguous", "cut", "failed", "bars", "addresses"),
                [(x["period"], x["showings"], x["ambiguous"], x["cut"], x["failed"], x["bars"], x["addresses"])
                 for x in r["periods"]]))
    print("(showings include the ambiguous ones; bars: the most running at once in one hour of the period)")
    if r["malformed"]:
        print(f"{n(r['malformed'], 'malformed line')} skipped, the first: " + "; ".join(r["malformed_first"][:SAMPLES]))
    if r["cut_last_lines"]:
        print(f"{n(r['cut_last_lines'], 'last line')} still being written skipped")
    if r["other_requests"]:
        print(f"{n(r['other_requests'], 'request')} not counted: not a bar's GET of an ad (a HEAD, the ad check's), or a redirect")
    if r["outside_window"]:
        print(f"{n(r['outside_window'], 'line')} outside the window")
    if args.bars:
        print()
        print(table(("address", "bars", "first seen", "last seen", "requests"),
                    [(a["address"], a["bars"], a["first_seen"], a["last_seen"], a["requests"]) for a in r["addresses"]]))
    if r["silent"] is not None:
        silent = r["silent"]
        print()
        print(f"Silent for {args.silent} before {r['to']}: {len(silent)} address{'' if len(silent) == 1 else 'es'}")
        if silent:
            print(table(("address", "bars", "last seen"), [(a["address"], a["bars"], a["last_seen"]) for a in silent]))


COMMANDS = {"report": ("Proof of play from the ad server's access logs.", add_arguments, run)}
