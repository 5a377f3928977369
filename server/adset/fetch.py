"""The sixteen ads fetched from a server as a bar fetches them, all at once,
within one deadline for the lot.

A bar sends Accept: */* and Accept-Encoding: gzip, deflate, follows
redirects and decodes the body; so does this. Each answer becomes a
SimpleNamespace: data (the decoded body, or None), sent (bytes on the wire, body only, or None),
error (why it is not a picture to show, or None), warnings, and reached
(False when not even a status line came back: no server to judge).
"""
import email.utils
import http.client
import re
import socket
import ssl
import sys
import threading
import time
import zlib
from types import SimpleNamespace
from urllib.parse import urljoin, urlsplit

from adset import Failed

HEADERS = {"Accept": "*/*", "Accept-Encoding": "gzip, deflate",
           # Not a bar's: a proof-of-play count can tell the check's requests from showings.
           "User-Agent": "adset-check (Vantorel Ad Bar)"}
REDIRECTS = (301, 302, 303, 307, 308)
MAX_REDIRECTS = 10
# More than any ad should be, read no further: a server sending without end cannot exhaust memory.
CAP = 64 << 20
CHUNK = 1 << 16
# Seconds of silence before the operator is told what the check waits for.
PATIENCE = 5


def tls(cafile):
    try:
        return ssl.create_default_context(cafile=cafile)
    except (OSError, ssl.SSLError) as e:
        raise Failed(f"--cafile {cafile}: no CA certificate read from it ({getattr(e, 'strerror', None) or e})")


def inflate(body, coding):
    # (data, None) or (None, why); a body that inflates past CAP is refused as a bomb would be.
    tries = (31,) if coding == "gzip" else (15, -15)
    for wbits in tries:
        z = zlib.decompressobj(wbits)
        try:
            data = z.decompress(body, CAP + 1)
        except zlib.error:
            continue
        if len(data) > CAP:
            return None, f"a {coding} body that inflates past {CAP >> 20} MiB"
        if z.eof:
            return data, None
    return None, f"a {coding} body that does not inflate (corrupt or cut short)"


def fresh_for(headers):
    # Seconds a cache may keep the answer without asking the server again; 0 when it must ask.
    control = headers.get("Cache-Control", "").lower()
    if re.search(r"\bno-(cache|store)\b", control):
        return 0, ""
    ages = [int(a) for a in re.findall(r"\b(?:s-)?max-age\s*=\s*\"?(\d+)", control)]
    if ages:
        return max(ages), f"Cache-Control: {headers['Cache-Control']}"
    expires = headers.get("Expires")
    if not expires:
        return 0, ""
    try:
        until = email.utils.parsedate_to_datetime(expires).timestamp()
        now = email.utils.parsedate_to_datetime(headers["Date"]).timestamp() if headers.get("Date") else time.time()
    except (TypeError, ValueError, IndexError, OverflowError):
        return 0, ""  # An invalid date counts as already expired.
    return max(0, int(until - now)), f"Expires: {expires}"


def reason(e, cafile):
    if isinstance(e, ssl.SSLCertVerificationError):
        # Issuer unknown or self-signed: most likely a company's own CA, which --cafile names.
        hint = "; a private CA: --cafile" if e.verify_code in (18, 19, 20) and not cafile else ""
        return f"its TLS certificate is not trusted ({e.verify_message}){hint}"
    if isinstance(e, socket.gaierror):
        return f"no such host ({e.strerror})"
    if isinstance(e, ConnectionRefusedError):
        return "connection refused: nothing listens there"
    if isinstance(e, http.client.RemoteDisconnected):
        return "the server closed the connection without an answer"
    return getattr(e, "strerror", None) or str(e) or type(e).__name__


def get(url, slot, cafile, context, deadline):
    seen = [url]
    while True:
        parts = urlsplit(seen[-1])
        try:
            kind = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
            extra = {"context": context} if parts.scheme == "https" else {}
            conn = slot.conn = kind(parts.netloc, timeout=max(0.1, deadline - time.monotonic()), **extra)
            conn.request("GET", parts.path + (f"?{parts.query}" if parts.query else ""), headers=HEADERS)
            answer = conn.getresponse()
        except (OSError, http.client.HTTPException, ValueError) as e:
            return failed(seen, reason(e, cafile), reached=len(seen) > 1)
        slot.status = answer.status
        if answer.status in REDIRECTS and answer.headers.get("Location"):
            target = urljoin(seen[-1], answer.headers["Location"])
            conn.close()
            if target in seen or len(seen) > MAX_REDIRECTS:
                why = "redirects in a loop" if target in seen else f"more than {MAX_REDIRECTS} redirects"
                return failed([url], f"{why}: {' -> '.join(seen + [target])}")
            seen.append(target)
            continue
        result = answered(answer, slot, cafile)
        if result.error and len(seen) > 1:
            result.error += f" (at {seen[-1]}, where it was redirected)"
        return result


def failed(seen, why, reached=True):
    if len(seen) > 1:
        why += f" (at {seen[-1]}, where it was redirected)"
    return SimpleNamespace(data=None, sent=None, warnings=[], error=why, reached=reached)


def answered(answer, slot, cafile):
    result = SimpleNamespace(data=None, sent=None, warnings=[], error=None, reached=True)
    status = f"{answer.status} {answer.reason}".strip()
    if answer.status != 200:
        result.error = {404: f"not there: answered {status}",
                        403: f"answered {status}: the server may not read the file (nginx: its worker cannot)",
                        }.get(answer.status, f"answered {status}" + (": the server failed" if answer.status >= 500
                                                                      else ", not 200 with a picture"))
        return result
    body, promised = [], answer.length
    try:
        while slot.received <= CAP:
            chunk = answer.read1(CHUNK)
            if not chunk:
                break
            body.append(chunk)
            slot.received += len(chunk)
    except (OSError, http.client.HTTPException) as e:
        result.error = f"the answer broke off after {slot.received} bytes: {reason(e, cafile)}"
        return result
    body = b"".join(body)
    result.sent = len(body)
    if len(body) > CAP:
        result.error = f"an answer of more than {CAP >> 20} MiB: not read to its end"
    elif answer.length:
        result.error = f"the answer ended after {len(body)} of the {promised} bytes it promised"
    else:
        coding = answer.headers.get("Content-Encoding", "identity").strip().lower()
        if coding in ("gzip", "deflate"):
            result.data, result.error = inflate(body, coding)
        elif coding in ("", "identity"):
            result.data = body
        else:
            result.error = f"a body in {coding} encoding, which a bar does not ask for"
    age, header = fresh_for(answer.headers)
    if age > 0:
        result.warnings.append(f"caches may keep it for {age} s ({header}): bars may show an old copy after the"
                               " ad changed, and those showings miss the server's log; send Cache-Control: no-cache")
    return result


def cut_off(slot, timeout):
    # Called at the deadline: the worker may be blocked in a read, which the shutdown ends.
    sock = slot.conn and slot.conn.sock
    try:
        if sock:
            sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    deadline = f"within the {timeout:g}-second deadline (--timeout)"
    return SimpleNamespace(data=None, sent=None, warnings=[], reached=bool(slot.status),
                           error=f"no complete answer {deadline}: answered {slot.status}, {slot.received} bytes in"
                           if slot.status else f"no answer {deadline}")


def fetch_all(urls, timeout, cafile=None):
    """Yields each URL's answer in order, as soon as it and those before it are in."""
    deadline = time.monotonic() + timeout
    context = tls(cafile) if any(u.startswith("https:") for u in urls) else None
    slots = [SimpleNamespace(url=u, conn=None, status=None, received=0, result=None, done=threading.Event())
             for u in urls]

    def work(slot):
        try:
            slot.result = get(slot.url, slot, cafile, context, deadline)
        except Exception as e:  # Never a traceback: whatever went wrong is this ad's line.
            slot.result = failed([slot.url], f"could not be fetched: {e!r}")
        finally:
            if slot.conn:
                slot.conn.close()
            slot.done.set()

    for slot in slots:
        threading.Thread(target=work, args=(slot,), daemon=True).start()
    left = lambda: max(0, deadline - time.monotonic())
    told = False
    for slot in slots:
        if not told and not slot.done.wait(min(PATIENCE, left())) and left() > 1:
            print(f"waiting for {slot.url}, at most {left():.0f} s more (--timeout)", file=sys.stderr, flush=True)
            told = True
        if slot.done.wait(left()) and slot.result:
            yield slot.result
        else:
            yield cut_off(slot, timeout)
