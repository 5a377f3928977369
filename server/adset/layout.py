"""A publish root: the folder on the ad server that holds the published sets.

  ROOT/.adset-root  marks the folder as ours; a folder without it is used
                    only when it is new or empty
  ROOT/lock         held (flock) by the command that changes the root; it
                    names its holder for the one that waits
  ROOT/journal      every switch (journal.py)
  ROOT/sets/ID/     vtl_1.ad ... vtl_16.ad, and vtl_N.ad.gz where one was
                    published; never changed once it is there
  ROOT/current      -> sets/ID: the folder nginx serves
  ROOT/tmp/         sets being written or removed; whatever a command finds
                    there when it takes the lock was left by one that was killed

`current` is relative, so the root may be mounted or moved anywhere, and it
is replaced by rename(2) of a new symlink: each open(2) that nginx makes
through it finds the old set or the new one, never a mix and never nothing.
"""
import contextlib
import fcntl
import hashlib
import os
import pwd
import shutil
import socket
import sys
import time

from adset import NAMES, Failed, journal

MARK, MARK_TEXT = ".adset-root", "adset publish root\n"
# What nginx's worker (another user) needs to serve a file.
FILE_MODE, DIR_MODE = 0o644, 0o755


def who():
    user = os.environ.get("SUDO_USER")
    if not user:
        try:
            user = pwd.getpwuid(os.getuid()).pw_name
        except KeyError:
            user = str(os.getuid())
    return f"{user}@{socket.gethostname()}"


def failed(path, e):
    return Failed(f"{path}: {e.strerror or e}")


def fsync_dir(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def recognise(root):
    """True for a publish root, False for a folder that may become one; Failed otherwise."""
    try:
        names = os.listdir(root)
    except FileNotFoundError:
        return False
    except NotADirectoryError:
        raise Failed(f"{root} is not a folder")
    except OSError as e:
        raise failed(root, e)
    if MARK not in names:
        if names:
            raise Failed(f"{root} is not a publish root (no {MARK}) and not empty: give a new or an empty folder")
        return False
    try:
        with open(os.path.join(root, MARK)) as f:
            ours = f.read() == MARK_TEXT
    except (OSError, UnicodeDecodeError):
        ours = False
    if not ours:
        raise Failed(f"{os.path.join(root, MARK)} is not the mark this command writes: not a publish root")
    return True


def create(root):
    try:
        os.makedirs(root, exist_ok=True)
        for sub in ("sets", "tmp"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)
            os.chmod(os.path.join(root, sub), DIR_MODE)
        os.chmod(root, DIR_MODE)
        write_file(os.path.join(root, MARK), MARK_TEXT.encode())
        fsync_dir(root)
    except OSError as e:
        raise failed(root, e)


@contextlib.contextmanager
def locked(root, wait, action):
    path = os.path.join(root, "lock")
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, FILE_MODE)
    except OSError as e:
        raise failed(path, e)
    try:
        start, told = time.monotonic(), False
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                holder = os.pread(fd, 400, 0).decode(errors="replace").strip() or "another command"
                waited = time.monotonic() - start
                if waited > wait:
                    raise Failed(f"{root} is busy: {holder} (waited {wait:g} s; --wait gives more)")
                if waited > 1 and not told:
                    print(f"waiting for {path}: {holder}", file=sys.stderr)
                    told = True
                time.sleep(0.1)
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{action} by {who()} (pid {os.getpid()}) since {journal.stamp()}\n".encode(), 0)
        yield
    finally:
        os.close(fd)


def live(root):
    try:
        target = os.readlink(os.path.join(root, "current"))
    except FileNotFoundError:
        return None
    except OSError as e:
        raise failed(os.path.join(root, "current"), e)
    head, name = os.path.split(target)
    if head != "sets" or not name:
        raise Failed(f"{root}/current points at {target}, not at a set under sets/: changed by hand?")
    return name


def kept(root):
    try:
        return sorted(n for n in os.listdir(os.path.join(root, "sets")) if not n.startswith("."))
    except OSError as e:
        raise failed(os.path.join(root, "sets"), e)


def write_file(path, data, stamp=None):
    # Written whole and durable before anything points at it, readable by nginx's worker whatever the umask.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, FILE_MODE)
    try:
        os.fchmod(fd, FILE_MODE)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        if stamp is not None:
            os.utime(fd, (stamp, stamp))
        os.fsync(fd)
    finally:
        os.close(fd)


def fresh_stamp(root):
    """A modification time, in whole seconds, later than every kept set's files.

    nginx's ETag and Last-Modified are a file's mtime in seconds and its size:
    two sets written within one second would give a changed picture of the
    same size the old one's validators, and a bar revalidating its cached copy
    would be told 304 and keep showing the old picture."""
    newest = time.time() - 1
    for name in kept(root):
        folder = os.path.join(root, "sets", name)
        with contextlib.suppress(OSError):
            for entry in os.scandir(folder):
                newest = max(newest, entry.stat(follow_symlinks=False).st_mtime)
    return int(newest) + 1


def write_set(root, set_id, files):
    """files: {name: bytes}. The set appears under sets/ whole and durable, or not at all."""
    part = os.path.join(root, "tmp", f"{set_id}.{os.getpid()}")
    path = part
    stamp = fresh_stamp(root)
    try:
        os.mkdir(part, DIR_MODE)
        os.chmod(part, DIR_MODE)
        for name, data in files.items():
            path = os.path.join(part, name)
            write_file(path, data, stamp)
        path = part
        fsync_dir(part)
        os.rename(part, os.path.join(root, "sets", set_id))
        fsync_dir(os.path.join(root, "sets"))
    except OSError as e:
        shutil.rmtree(part, ignore_errors=True)
        raise Failed(f"{path}: {e.strerror or e}: nothing changed")


def switch(root, set_id):
    """Makes sets/ID live; returns the instant it did."""
    link = os.path.join(root, "tmp", f"current.{os.getpid()}")
    try:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(link)
        os.symlink(os.path.join("sets", set_id), link)
        os.rename(link, os.path.join(root, "current"))
        at = journal.stamp()
        fsync_dir(root)
    except OSError as e:
        raise failed(os.path.join(root, "current"), e)
    return at


def switched_at(root):
    # A symlink is made just before its rename: its time is the switch's, within a few milliseconds.
    return journal.stamp(os.lstat(os.path.join(root, "current")).st_mtime)


def remove(root, names):
    # Out of sets/ by one rename first: a set that is there is whole.
    for name in names:
        trash = os.path.join(root, "tmp", f"{name}.removed.{os.getpid()}")
        try:
            os.rename(os.path.join(root, "sets", name), trash)
        except OSError as e:
            raise failed(os.path.join(root, "sets", name), e)
        shutil.rmtree(trash, ignore_errors=True)


def clean_tmp(root):
    tmp = os.path.join(root, "tmp")
    try:
        for name in os.listdir(tmp):
            path = os.path.join(tmp, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
    except OSError as e:
        raise failed(tmp, e)


def describe(folder):
    """The journal's record of a set's files: bytes and SHA-256 of each ad and of its .gz."""
    ads = []
    for name in NAMES:
        record = None
        for path in (os.path.join(folder, name), os.path.join(folder, name + ".gz")):
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                if record is None:
                    raise Failed(f"{path}: not there: the set is not whole")
                record["gz"] = None
                continue
            except OSError as e:
                raise failed(path, e)
            entry = {"bytes": len(data), "sha256": hashlib.sha256(data).hexdigest()}
            if record is None:
                record = {"name": name, **entry}
            else:
                record["gz"] = entry
        ads.append(record)
    return ads


def unreachable(path):
    """The first folder above PATH that other users may not enter, with its mode, or None."""
    path = os.path.abspath(path)
    while True:
        mode = os.stat(path).st_mode
        if not mode & 0o001:
            return path, mode & 0o7777
        if path == os.path.dirname(path):
            return None
        path = os.path.dirname(path)
