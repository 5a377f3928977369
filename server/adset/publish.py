"""Making a checked set live for every bar at one instant, and taking it back.

  tools/adset publish SET --root ROOT [--id ID] [--gzip] [--keep N]
  tools/adset rollback --root ROOT [ID]
  tools/adset status --root ROOT [--json]

nginx serves ROOT/current, a symlink to ROOT/sets/ID. A publish runs the
check on SET and refuses the set at any error; copies the sixteen ads to
ROOT/sets/ID, each file on disk before the switch; switches ROOT/current in
one rename, so every request is served whole from the old set or the new;
appends a line to ROOT/journal before it says it is done. Killed at any
moment, it leaves the old set live, or the new one live and whole; the next
publish or rollback clears what it left. A rollback goes back to the set
live before the live one (again: the one before that), or to ID. Sets beyond
--keep are removed, never the live one or the one a rollback goes to.

Exit codes: 0 done; 1 the set was refused (nothing changed); 2 the job could
not be done (one line naming the file; the live set unchanged).
"""
import argparse
import contextlib
import gzip
import json
import os
import re
import signal
import sys

from adset import NAMES, Failed, check, journal, layout, pictures, spaced

ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}\Z")
# A .gz is published beside a picture when it saves at least this much.
GZIP_SAVES = 0.2


def history(entries):
    # The sets a rollback walks back through, the live one last: a rollback to a set
    # on this path drops the sets after it, a rollback elsewhere goes on top.
    path = []
    for entry in entries:
        if entry["action"] == "rollback" and entry["set"] in path:
            del path[len(path) - path[::-1].index(entry["set"]):]
        else:
            path.append(entry["set"])
    return path


def previous(entries, kept):
    path = history(entries)
    return next((s for s in reversed(path[:-1]) if s in kept and s != path[-1]), None)


def settle(root):
    """Under the lock: clears what a killed command left; returns the journal."""
    entries = journal.read(root)
    layout.clean_tmp(root)
    live = layout.live(root)
    if live and (not entries or entries[-1]["set"] != live):
        action = "rollback" if any(e["set"] == live for e in entries) else "publish"
        print(f"note: {root}: {live} went live at {layout.switched_at(root)} by a {action} that was stopped"
              " before it wrote its journal line: journaled now", file=sys.stderr)
        entries.append(record(root, action, live, layout.switched_at(root)))
    journaled = {e["set"] for e in entries}
    layout.remove(root, [s for s in layout.kept(root) if s not in journaled and s != live])
    return entries


def record(root, action, set_id, at, ads=None):
    ads = ads or layout.describe(os.path.join(root, "sets", set_id))
    try:
        return journal.append(root, {"time": at, "action": action, "set": set_id, "who": layout.who(), "ads": ads})
    except OSError as e:
        raise Failed(f"{journal.path(root)}: {e.strerror}: {set_id} is live, but not journaled yet"
                     " (the next publish or rollback journals it)")


def go_live(root, action, set_id, entries, keep):
    # Read first: a set that is not whole never goes live.
    ads = layout.describe(os.path.join(root, "sets", set_id))
    # Nothing but SIGKILL stops the command between the switch and its journal line.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
    was = entries[-1] if entries else None
    entries.append(record(root, action, set_id, layout.switch(root, set_id), ads))
    changes(was, entries[-1], action)
    kept = layout.kept(root)
    protect = {set_id, previous(entries, kept)}
    last = {e["set"]: i for i, e in enumerate(entries)}
    old = sorted(kept, key=lambda s: last.get(s, -1), reverse=True)[max(keep, 1):]
    old = [s for s in old if s not in protect]
    if old:
        layout.remove(root, old)
        print(f"pruned: {', '.join(old)} (--keep {keep})")


def changes(was, now, action):
    before = {a["name"]: a for a in was["ads"]} if was else {}
    counts = {"new": 0, "changed": 0, "unchanged": 0}
    for ad in now["ads"]:
        old = before.get(ad["name"])
        kind = "new" if old is None else "unchanged" if old["sha256"] == ad["sha256"] else "changed"
        counts[kind] += 1
        if kind == "changed":
            print(f"{ad['name']}: changed, {spaced(old['bytes'])} -> {spaced(ad['bytes'])} bytes")
    done = "published" if action == "publish" else "rolled back to"
    summary = ", ".join(f"{n} {kind}" for kind, n in counts.items() if n)
    print(f"{done} {now['set']}" + (f" (was {was['set']})" if was else "") + f" at {now['time']}: {summary}")


def snapshot(source):
    # What the check reads; a file that differs afterwards was changed under it.
    state = {}
    for name in NAMES:
        for path in (os.path.join(source, name), os.path.join(source, name + ".gz")):
            try:
                st = os.stat(path)
                state[path] = (st.st_size, st.st_mtime_ns, st.st_ino)
            except OSError:
                state[path] = None
    return state


def read_set(source, state, make_gz):
    files = {}
    for name in NAMES:
        for path in (os.path.join(source, name), os.path.join(source, name + ".gz")):
            if state[path] is None:
                continue
            try:
                with open(path, "rb") as f:
                    files[os.path.basename(path)] = f.read()
                st = os.stat(path)
            except OSError as e:
                raise layout.failed(path, e)
            if (st.st_size, st.st_mtime_ns, st.st_ino) != state[path]:
                raise Failed(f"{path} changed while the set was being checked: nothing changed; run again")
        if make_gz and name + ".gz" not in files:
            packed = gzip.compress(files[name], 9, mtime=0)
            if len(packed) <= (1 - GZIP_SAVES) * len(files[name]):
                files[name + ".gz"] = packed
    return files


def taken(root, set_id, entries):
    return set_id in layout.kept(root) or any(e["set"] == set_id for e in entries)


def new_id(root, entries):
    stamp = journal.stamp()[:19].replace("-", "").replace(":", "") + "Z"
    set_id, n = stamp, 1
    while taken(root, set_id, entries):
        n += 1
        set_id = f"{stamp}-{n}"
    return set_id


def run_publish(args):
    root = args.root
    if args.id is not None and not ID.match(args.id):
        raise Failed(f"--id {args.id!r}: up to 64 letters, digits, '.', '_' or '-', starting with a letter or digit")
    if not os.path.isdir(args.source):
        raise Failed(f"{args.source} is not a folder")
    ours = layout.recognise(root)
    with contextlib.ExitStack() as held:
        if ours:
            # Held from the start: what the check passes is what goes live, under an id still free.
            held.enter_context(layout.locked(root, args.wait, "publish"))
            entries = settle(root)
            if args.id and taken(root, args.id, entries):
                raise Failed(f"{root}: a set {args.id} was published already: give another --id")
        state = snapshot(args.source)
        errors = check.verdict(args.source, args, served=False)
        if errors:
            print(f"refused: {errors} of {len(NAMES)} ads with an error; {root} is unchanged")
            return 1
        files = read_set(args.source, state, args.gzip)
        if not ours:
            layout.create(root)
            held.enter_context(layout.locked(root, args.wait, "publish"))
            entries = settle(root)
        set_id = args.id or new_id(root, entries)
        if taken(root, set_id, entries):
            raise Failed(f"{root}: a set {set_id} was published already: give another --id")
        layout.write_set(root, set_id, files)
        blocked = layout.unreachable(os.path.join(root, "sets", set_id))
        if blocked:
            print(f"warning: {blocked[0]} (mode {blocked[1]:04o}) is closed to other users: nginx's worker answers"
                  f" 403 unless it runs as its owner (chmod o+x {blocked[0]})")
        go_live(root, "publish", set_id, entries, args.keep)
    return 0


def existing(root):
    if not layout.recognise(root):
        raise Failed(f"{root} is not a publish root: nothing was published there")


def run_rollback(args):
    root = args.root
    existing(root)
    with layout.locked(root, args.wait, "rollback"):
        entries = settle(root)
        live, kept = layout.live(root), layout.kept(root)
        target = args.id or previous(entries, kept)
        if target is None:
            raise Failed(f"{root}: no set kept from before {live}: give an ID (kept: {', '.join(kept) or 'none'})")
        if target == live:
            print(f"{target} is live already: nothing changed")
            return 0
        if target not in kept:
            raise Failed(f"{root}: no set {target} (kept: {', '.join(kept) or 'none'})")
        go_live(root, "rollback", target, entries, args.keep)
    return 0


def ads_of(folder):
    ads = []
    for name in NAMES:
        path = os.path.join(folder, name)
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            ads.append({"name": name, "error": e.strerror})
            continue
        pic = pictures.identify(data)
        fmt, w, h, why = pic.fmt, pic.w, pic.h, pic.error
        gz = os.path.getsize(path + ".gz") if os.path.isfile(path + ".gz") else None
        ads.append({"name": name, "format": fmt, "width": w, "height": h, "bytes": len(data), "gz_bytes": gz,
                    **({"error": why} if why else {})})
    return ads


def run_status(args):
    root = args.root
    existing(root)
    entries, live, kept = journal.read(root), layout.live(root), layout.kept(root)
    journaled = bool(entries) and entries[-1]["set"] == live
    status = {
        "live": live,
        "since": entries[-1]["time"] if journaled else live and layout.switched_at(root),
        "journaled": journaled or live is None,
        "ads": ads_of(os.path.join(root, "current")) if live else [],
        "rollback_to": previous(entries, kept) if journaled else None,
        "kept": kept,
        "last": [{k: e.get(k) for k in ("time", "action", "set", "who")} for e in entries[-args.last:]],
    }
    if args.json:
        json.dump(status, sys.stdout, indent=1)
        print()
        return 0
    shown = lambda t: t[:19].replace("T", " ") + " UTC"
    if not live:
        print(f"live: none ({root}/current does not exist yet)")
    else:
        how = (f"{entries[-1]['action']} by {entries[-1]['who']}" if journaled
               else "not journaled yet: the next publish or rollback journals it")
        print(f"live: {live} since {shown(status['since'])} ({how})")
    for ad in status["ads"]:
        if "format" not in ad:
            print(f"{ad['name']}: error: {ad['error']}")
            continue
        gz = f" (.gz {spaced(ad['gz_bytes'])})" if ad["gz_bytes"] is not None else ""
        print(f"{ad['name']}: {ad['format']} {ad['width']}x{ad['height']}, {spaced(ad['bytes'])} bytes{gz}"
              + (f": error: {ad['error']}" if "error" in ad else ""))
    print(f"a rollback goes to: {status['rollback_to'] or 'nothing kept'}")
    print(f"kept: {', '.join(kept) or 'none'}")
    print("last switches:")
    for e in reversed(status["last"]):
        print(f"  {shown(e['time'])}  {e['action']:8}  {e['set']}  {e['who']}")
    return 0


def common(p, keep=True):
    p.formatter_class, p.epilog = argparse.RawDescriptionHelpFormatter, __doc__
    p.add_argument("--root", required=True, help="the publish root: nginx serves ROOT/current")
    p.add_argument("--wait", type=float, default=60, metavar="S",
                   help="how long to wait for another publish or rollback on ROOT (default 60 s)")
    if keep:
        p.add_argument("--keep", type=int, default=10, metavar="N",
                       help="sets kept for rollbacks (default 10; never pruned: the live one and the one a rollback goes to)")


def add_publish(p):
    p.add_argument("source", metavar="SET", help="the folder holding vtl_1.ad ... vtl_16.ad (and .gz files beside them)")
    common(p)
    p.add_argument("--id", help="the set's name under ROOT/sets (default: the UTC time, 20261207T140000Z)")
    p.add_argument("--gzip", action="store_true", help="publish a .gz beside each ad it makes a fifth smaller or more")
    check.add_options(p)


def add_rollback(p):
    p.add_argument("id", nargs="?", metavar="ID", help="the set to go back to (default: the one live before)")
    common(p)


def add_status(p):
    p.formatter_class, p.epilog = argparse.RawDescriptionHelpFormatter, __doc__
    p.add_argument("--root", required=True, help="the publish root")
    p.add_argument("--last", type=int, default=10, metavar="N", help="how many switches to list (default 10)")
    p.add_argument("--json", action="store_true", help="for a machine: one JSON object")


COMMANDS = {
    "publish": ("Check a set and make it live for every bar at one instant.", add_publish, run_publish),
    "rollback": ("Go back to the set live before, or to ID.", add_rollback, run_rollback),
    "status": ("The live set, since when, its ads, and the last switches.", add_status, run_status),
}
