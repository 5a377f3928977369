"""The check an ad set must pass before it goes live.

  tools/adset check FOLDER|URL [--preview FILE.png]   (or tools/adcheck)

Looks at vtl_1.ad ... vtl_16.ad in FOLDER, or under URL/ads/ fetched as the
bar fetches them (Accept: */*, Accept-Encoding: gzip, deflate; redirects
followed). For each ad: its format, read from the content; its pixel size,
from its header; its bytes. Then what one rotation and 1 000 bars cost. One
line per problem, each naming the file:
  error    the check fails: missing, not answered 200, a format Windows's picture
           loader does not read, empty, truncated, a side over 4096 pixels;
  warning  it passes: the bar shows the ad cut at the bottom or clipped.
Exit 0 when all sixteen pass, 1 otherwise, 2 for a wrong call.

--preview FILE.png draws the bar as it will look on a 1024-pixel-wide screen
(ImageMagick). For each ad, a grey band of BAND rows with its name, size and
format, then a strip of CLIENT_W x CLIENT_H pixels: the client area as the bar
paints it. Strip N (1-16) starts at row (N - 1) * (BAND + CLIENT_H) + BAND.
GIF and BMP strips are the bar's pixels under Wine exactly; JPEG ones may differ
by a few levels at sharp edges. An icon shows its colours where it is
transparent, as Wine's bar does (black in most icons; Windows may blend partly
transparent pixels with black instead). A metafile is drawn as a crossed box of
its size at its place: ImageMagick draws a WMF's text about 30 % smaller than
Windows and Wine do, misplaces right-aligned text and then squeezes the whole
drawing; it reads no EMF.
"""
import argparse
import gzip
import http.client
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request
import zlib

from adset import Failed

ADS = 16
SCREEN_W = 1024
# The client area of the bar docked at the top of a 1024x768 screen, measured
# under Wine 8 with its default look (tests/e2e/barpeer.cpp "client": 5 5 1019
# 70): the sizing frame and the client edge take FRAME pixels on every side of
# the bar. Their thickness depends on the Windows version and theme.
BAR_H, FRAME = 75, 5
CLIENT_W, CLIENT_H = SCREEN_W - 2 * FRAME, BAR_H - 2 * FRAME
# The loader decodes the whole picture at every paint (docs/benchmarks.md).
MAX_SIDE = 4096
DPI = 96
# Request and answer headers, per request (the README's sizing).
HEADER_BYTES = 300
BARS = 1000
BAND = 14
# The class background, COLOR_MENUTEXT: black in the default colours. Where a
# GIF is transparent the bar shows the fresh memory bitmap it renders into: black too.
BACKGROUND = "black"
PLACEHOLDER = "#505050"


def px(himetric):
    return (himetric * DPI + 1270) // 2540


def truncated(data, promised):
    return f"truncated: {len(data)} bytes where its header promises {promised}"


def bmp(d):
    if len(d) < 26:
        return "BMP", 0, 0, truncated(d, 26)
    offset, header = struct.unpack_from("<II", d, 10)
    if header == 12:
        w, h, _, bpp = struct.unpack_from("<HHHH", d, 18)
        compression = image = 0
    elif header in (40, 108, 124) and len(d) >= 54:
        w, h, _, bpp, compression, image = struct.unpack_from("<iiHHII", d, 18)
    elif header in (40, 108, 124):
        return "BMP", 0, 0, truncated(d, 54)
    else:
        return "BMP", 0, 0, f"a BMP with a {header}-byte header, which the loader does not read: save as BMP3"
    fmt, h = f"{bpp}-bit BMP", abs(h)
    if header > 40:
        # Wine's loader reads these; Windows's is only known to read the two older ones.
        return fmt, w, h, f"a BMP with the newer {header}-byte header: save as BMP3 (40-byte header; ImageMagick: BMP3:FILE)"
    if w <= 0 or h == 0:
        return fmt, w, h, f"a BMP of {w}x{h} pixels: nothing to show"
    if compression > 3 or bpp not in (1, 4, 8, 16, 24, 32):
        return fmt, w, h, f"a BMP with compression {compression} and {bpp} bits a pixel: the loader does not read it"
    size = image if compression in (1, 2) else (w * bpp + 31) // 32 * 4 * h
    return fmt, w, h, truncated(d, offset + size) if len(d) < offset + size else None


def gif(d):
    if len(d) < 13:
        return "GIF", 0, 0, truncated(d, 13)
    w, h, flags = struct.unpack_from("<HHB", d, 6)
    table = lambda f: 3 << (f & 7) + 1 if f & 0x80 else 0
    pos, fmt = 13 + table(flags), "GIF"
    while pos < len(d):
        if d[pos] == 0x3B:
            return fmt, w, h, None
        if d[pos] == 0x21:
            if d[pos + 1:pos + 2] == b"\xf9" and len(d) > pos + 3 and d[pos + 3] & 1:
                fmt = "transparent GIF"
            pos += 2
        elif d[pos] == 0x2C and len(d) >= pos + 10:
            pos += 11 + table(d[pos + 9])
        elif d[pos] != 0x2C:
            return fmt, w, h, f"a broken GIF: block {d[pos]:#04x} at byte {pos}"
        else:
            break
        while pos < len(d) and d[pos]:
            pos += d[pos] + 1
        pos += 1
    return fmt, w, h, "truncated: the GIF ends before its trailer"


def jpeg(d):
    pos, size = 2, None
    while pos + 4 <= len(d):
        marker = d[pos + 1]
        if d[pos] != 0xFF:
            return "JPEG", 0, 0, f"a broken JPEG: no marker at byte {pos}"
        if marker == 0xFF:
            pos += 1
            continue
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC) and pos + 10 <= len(d):
            h, w, components = struct.unpack_from(">HHB", d, pos + 5)
            size = w, h
            # What the OLE loader is known to refuse (VB6's LoadPicture alike).
            if marker in (0xC2, 0xC6, 0xCA, 0xCE):
                return "JPEG", w, h, "a progressive JPEG, which Windows's loader does not read: save as baseline"
            if marker != 0xC0 and marker != 0xC1:
                return "JPEG", w, h, f"a JPEG coded with SOF{marker - 0xC0}: the loader reads baseline JPEG only"
            if components == 4:
                return "JPEG", w, h, "a CMYK (4-component) JPEG, which Windows's loader does not read: save as RGB"
        if marker == 0xDA:
            if not size:
                return "JPEG", 0, 0, "a broken JPEG: no frame header before the image data"
            # Entropy-coded data never holds FF D9: the first one is the end of the image.
            return "JPEG", *size, None if d.find(b"\xff\xd9", pos) > 0 else "truncated: the JPEG ends before its end-of-image marker"
        pos += 2 + struct.unpack_from(">H", d, pos + 2)[0]
    return "JPEG", *(size or (0, 0)), "truncated: the JPEG ends before its image data"


def ico(d):
    count = struct.unpack_from("<H", d, 4)[0] if len(d) >= 6 else 0
    if len(d) < 6 + 16 * count or not count:
        return "ICO", 0, 0, truncated(d, 6 + 16 * max(count, 1))
    entries = [struct.unpack_from("<BB6xII", d, 6 + 16 * i) for i in range(count)]
    w, h = entries[icon_shown(d)][:2]
    w, h = w or 256, h or 256
    for _, _, size, offset in entries:
        if len(d) < offset + size:
            return "ICO", w, h, truncated(d, offset + size)
        if d[offset:offset + 4] == b"\x89PNG":
            return "ICO", w, h, "an icon holding a PNG image, which Windows's loader does not read"
    return "ICO", w, h, None


def icon_shown(d):
    # Of several pictures the loader shows the 32-pixel-wide one, else the first (measured under Wine).
    widths = [d[6 + 16 * i] for i in range(struct.unpack_from("<H", d, 4)[0])]
    return widths.index(32) if 32 in widths else 0


def wmf(d):
    if len(d) < 40:
        return "WMF", 0, 0, truncated(d, 40)
    left, top, right, bottom, inch = struct.unpack_from("<hhhhH", d, 6)
    words = struct.unpack_from("<I", d, 28)[0]
    # The loader's HIMETRIC size is MulDiv(extent, 2540, inch): rounded.
    muldiv = lambda n: (abs(n) * 2540 + inch // 2) // inch if inch else 0
    w, h = px(muldiv(right - left)), px(muldiv(bottom - top))
    return "WMF", w, h, truncated(d, 22 + 2 * words) if len(d) < 22 + 2 * words else None


def emf(d):
    left, top, right, bottom = struct.unpack_from("<4i", d, 24)
    size = struct.unpack_from("<I", d, 48)[0]
    w, h = px(right - left), px(bottom - top)
    return "EMF", w, h, truncated(d, size) if len(d) < size else None


def unread(d):
    # Formats the loader does not read at all: why, in the preparer's terms.
    text = d[:1024].lstrip().lower()
    if d.startswith(b"\x89PNG\r\n\x1a\n"):
        return "PNG", "a PNG: Windows's picture loader has no PNG support (Wine's has): save as GIF or JPEG"
    if d[:2] in (b"\1\0", b"\2\0") and d[2:4] == b"\x09\0":
        return "WMF", "a WMF without the 22-byte placeable header: Windows's loader fails on it (E_FAIL)"
    if d[:4] == b"RIFF" and d[8:12] == b"WEBP":
        return "WebP", "a WebP picture, which the loader does not read: save as GIF or JPEG"
    if text.startswith(b"<") and b"<svg" in text:
        return "SVG", "an SVG drawing, which the loader does not read: save as GIF or JPEG"
    if text.startswith(b"<") and b"<html" in text or text.startswith(b"<!doctype html"):
        return "HTML", "an HTML page, not a picture (an error page from the server?)"
    return "?", f"not a picture format the loader reads (it starts with {d[:8].hex(' ')})"


def identify(d):
    # (format, width, height, error or None), from the content alone.
    if not d:
        return "empty", 0, 0, "empty: no bytes at all"
    if d.startswith(b"BM"):
        return bmp(d)
    if d.startswith((b"GIF87a", b"GIF89a")):
        return gif(d)
    if d.startswith(b"\xff\xd8\xff"):
        return jpeg(d)
    if d.startswith(b"\0\0\1\0"):
        return ico(d)
    if d.startswith(b"\xd7\xcd\xc6\x9a"):
        return wmf(d)
    if d.startswith(b"\1\0\0\0") and d[40:44] == b" EMF" and len(d) >= 88:
        return emf(d)
    fmt, why = unread(d)
    return fmt, 0, 0, why


def fetch_folder(folder, name):
    # (content, bytes sent to a bar, problem): nginx's gzip_static sends a .gz beside the file instead.
    path = os.path.join(folder, name)
    if not os.path.isfile(path):
        return None, 0, "not there"
    with open(path, "rb") as f:
        data = f.read()
    sent = os.path.getsize(path + ".gz") if os.path.isfile(path + ".gz") else len(data)
    return data, sent, None


def fetch_url(base, name):
    request = urllib.request.Request(f"{base}/ads/{name}", headers={"Accept": "*/*", "Accept-Encoding": "gzip, deflate"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            body, coding = answer.read(), answer.headers.get("Content-Encoding", "")
            if answer.status != 200:
                return None, len(body), f"answered {answer.status}, not 200"
    except urllib.error.HTTPError as e:
        return None, 0, f"not there: the server answered {e.code}"
    except (urllib.error.URLError, http.client.HTTPException, OSError) as e:
        return None, 0, f"could not be fetched: {getattr(e, 'reason', e)}"
    try:
        if coding == "gzip":
            return gzip.decompress(body), len(body), None
        if coding == "deflate":
            try:
                return zlib.decompress(body), len(body), None
            except zlib.error:
                return zlib.decompress(body, -15), len(body), None
    except (OSError, EOFError, zlib.error):
        return None, len(body), f"a {coding} body that does not decompress"
    return body, len(body), None


def spaced(n):
    return f"{n:,}".replace(",", " ")


def rounded(x):
    # Two significant figures, as in the README's sizing.
    x = round(x, 1 - math.floor(math.log10(x))) if x > 0 else 0
    return f"{x:.0f}" if x >= 10 else f"{x:.1g}" if x < 1 else f"{x:.2g}"


def placement(w):
    # The bar centres the picture on the screen's width but draws in client
    # coordinates (C's division truncates toward zero), so the left frame shifts it.
    return int(SCREEN_W / 2) - int(w / 2)


def check(w, h):
    problems = []
    if max(w, h) > MAX_SIDE:
        return [f"error: {w}x{h}: a side over {MAX_SIDE} pixels; the loader decodes the whole picture at every paint"]
    if h > CLIENT_H:
        problems.append(f"warning: {w}x{h} is taller than the bar's {CLIENT_H}-pixel client area: cut at the bottom")
    x = placement(w)
    if x < 0:
        problems.append(f"warning: {w}x{h} is wider than a {SCREEN_W}-pixel screen: clipped at both sides")
    elif x + w > CLIENT_W:
        problems.append(f"warning: {w}x{h} loses {x + w - CLIENT_W} columns at the right to the bar's frame: clipped")
    return problems


def preview(out, ads, folder):
    args = ["convert"]
    for name, data, fmt, w, h, problems in ads:
        shown = data and not any(p.startswith("error") for p in problems)
        metafile = shown and fmt in ("WMF", "EMF")
        note = ["a metafile: its size and place here, not its picture"] if metafile else []
        label = "  ".join([name] + ([f"{fmt} {w}x{h}"] if w else []) + note + problems)
        args += ["(", "-size", f"{CLIENT_W}x{BAND}", "xc:#c0c0c0", "-fill", "black", "-pointsize", "11",
                 "-annotate", "+4+11", label, ")", "(", "-size", f"{CLIENT_W}x{CLIENT_H}", f"xc:{BACKGROUND}"]
        x = placement(w)
        if metafile:
            box = f"{x},0 {x + w - 1},{h - 1}"
            args += ["-fill", PLACEHOLDER, "-stroke", "white", "-draw",
                     f"rectangle {box} line {box} line {x},{h - 1} {x + w - 1},0", "-stroke", "none"]
        elif shown:
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                f.write(data)
            coder = fmt.split()[-1].lower()
            # Wine's bar draws an icon through its mask onto black: the colours, whatever their alpha.
            picture = ([f"ico:{path}[{icon_shown(data)}]", "-alpha", "off"] if coder == "ico"
                       else [f"{coder}:{path}[0]", "-background", BACKGROUND, "-flatten"])
            args += ["(", *picture, ")", "-geometry", f"{x:+d}+0", "-composite"]
        args.append(")")
    args += ["-append", "+repage", "-depth", "8", out]
    subprocess.run(args, check=True)


def add_options(p):
    """The options that judge a set, for the commands that run the check first."""


def add_arguments(p):
    p.add_argument("source", metavar="FOLDER|URL")
    p.add_argument("--preview", metavar="FILE.png")
    add_options(p)


def judge(source, args):
    # (ads with an error, what the preview draws), printing the check's lines.
    is_url = source.startswith(("http://", "https://"))
    ads, total, failed = [], 0, 0
    for n in range(1, ADS + 1):
        name = f"vtl_{n}.ad"
        data, sent, problem = (fetch_url(source.rstrip("/"), name) if is_url
                               else fetch_folder(source, name))
        total += sent
        fmt, w, h, why = identify(data) if data is not None else ("", 0, 0, None)
        problems = [f"error: {problem or why}"] if problem or why else check(w, h)
        if data is not None and not problem and not why:
            extra = f" ({spaced(sent)} sent)" if sent != len(data) else ""
            print(f"{name}: {fmt} {w}x{h}, {spaced(len(data))} bytes{extra}")
        for line in problems:
            print(f"{name}: {line}")
        failed += any(line.startswith("error") for line in problems)
        ads.append((name, data, fmt, w, h, problems))

    per_request = total / ADS + HEADER_BYTES
    rate = BARS / 10 * per_request
    print(f"one rotation: {ADS} ads, {spaced(total)} bytes sent ({spaced(round(total / ADS))} on average)")
    print(f"for {spaced(BARS)} bars: {BARS // 10} requests a second ({rounded(BARS / 10 * 86400 / 1e6)} million a day)"
          f" of {per_request / 1000:.1f} KB with ~0.3 KB of headers: {rounded(rate / 1e6)} MB/s"
          f" ({rounded(rate * 8 / 1e6)} Mbit/s), {rounded(rate * 86400 / 1e9)} GB a day")
    return failed, ads


def verdict(source, args, served=True):
    """Prints the check's lines for SOURCE; returns how many ads have an error.
    served=False leaves out whether nginx's worker may read the files."""
    return judge(source, args)[0]


def run(args):
    is_url = args.source.startswith(("http://", "https://"))
    if not is_url and not os.path.isdir(args.source):
        raise Failed(f"{args.source} is neither a folder nor an http(s) URL")
    if args.preview and not shutil.which("convert"):
        raise Failed("--preview needs ImageMagick's convert")

    failed, ads = judge(args.source, args)
    if args.preview:
        with tempfile.TemporaryDirectory() as folder:
            preview(args.preview, ads, folder)
        print(f"preview: {args.preview}")
    print(f"{ADS - failed} of {ADS} ads pass" + ("" if failed else ": the set may go live"))
    return 1 if failed else 0


COMMANDS = {"check": ("The check an ad set must pass before it goes live.", add_arguments, run)}
