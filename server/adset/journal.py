"""The publish journal: ROOT/journal, one JSON object a line, appended by
every publish and rollback and fsynced before the command says it is done.

A line: {"adset": 1, "time": "2026-12-07T14:00:00.123456Z", "action":
"publish" | "rollback", "set": ID, "who": "user@host", "ads": [{"name":
"vtl_1.ad", "bytes": N, "sha256": HEX, "gz": {"bytes": N, "sha256": HEX} or
null}, ... sixteen]}. "time" is the instant `current` was switched (UTC).
A command killed between its switch and its line has its line written by the
next publish or rollback, with the time of the switch; the times only grow.
"""
import datetime
import json
import os

from adset import Failed

NAME = "journal"
MARK = 1


def path(root):
    return os.path.join(root, NAME)


FORMAT = "%Y-%m-%dT%H:%M:%S.%fZ"


def stamp(t=None):
    """A journal's time, UTC to the microsecond: now, or of a time in seconds since the epoch."""
    when = datetime.datetime.now(datetime.timezone.utc) if t is None else \
        datetime.datetime.fromtimestamp(t, datetime.timezone.utc)
    return when.strftime(FORMAT)


def parse_time(text):
    return datetime.datetime.strptime(text, FORMAT).replace(tzinfo=datetime.timezone.utc)


def read(root):
    """The entries, oldest first; [] where there is no journal yet."""
    entries = []
    try:
        f = open(path(root), encoding="utf-8")
    except FileNotFoundError:
        return entries
    except OSError as e:
        raise Failed(f"{path(root)}: cannot read the journal: {e.strerror}")
    with f:
        for n, line in enumerate(f, 1):
            if not line.endswith("\n"):
                # A line cut by a crash before its fsync: the command that wrote it never said it was done.
                break
            try:
                entry = json.loads(line)
                if entry.get("adset") != MARK:
                    raise ValueError
                parse_time(entry["time"])
                entry["set"], entry["action"], entry["ads"]
            except (ValueError, KeyError, TypeError, AttributeError):
                raise Failed(f"{path(root)}: line {n} is not a publish journal's line: not a journal this command wrote")
            entries.append(entry)
    return entries


def append(root, entry):
    """Adds one line and makes it durable before returning."""
    entry = {"adset": MARK, **entry}
    line = json.dumps(entry, separators=(",", ":")) + "\n"
    fd = os.open(path(root), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode())
        os.fsync(fd)
    finally:
        os.close(fd)
    # The file may be new: its name must survive a crash too.
    dirfd = os.open(root, os.O_RDONLY)
    try:
        os.fsync(dirfd)
    finally:
        os.close(dirfd)
    return entry
