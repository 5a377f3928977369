"""adset check: is an ad set fit to go live?

  tools/adset check FOLDER|URL [--preview FILE.png] [--max-bytes N]
                    [--timeout S] [--screen WxH] [--cafile FILE]
  (tools/adcheck is the same command)

Judges vtl_1.ad ... vtl_16.ad as the bars will get them: in FOLDER as nginx
serves them (a vtl_N.ad.gz beside a file is what nginx sends in its place),
or fetched from URL/ads/vtl_N.ad (URL/ads/ itself may be given) as a bar
fetches them (Accept: */*, Accept-Encoding: gzip, deflate; redirects
followed), all sixteen at once within --timeout seconds, https checked
against the system's trusted CAs or --cafile's. For each ad, as soon as it
is judged: its format, read from the content (the .ad ending says
nothing); its pixel size; its bytes. Then one line per problem, each naming
the file or the URL:
  error    the bar shows nothing, or the set must not go out: missing, not
           answered 200, a format Windows's picture loader does not read,
           empty, truncated, a side over 4096 pixels, more bytes than
           --max-bytes, a .gz that holds other bytes than its file, a file
           nginx's worker cannot read (a directory, a FIFO, a device, a link
           out of the folder, not readable by others);
  warning  the bar shows it, but not as the preparer may think: cut at the
           bottom, clipped at the sides, an animation's first frame only, a
           photo's EXIF turn ignored, a server that lets caches keep it.
Then what one rotation and 1 000 bars cost, and one verdict line.
Exit 0 when all sixteen pass, 1 when an ad has an error, 2 when the check
could not be done (a wrong call, a folder it cannot read, a server it cannot
reach or that answers nothing, a preview it cannot write).

--preview FILE.png draws the bar as it will look on the --screen
(ImageMagick): first a band with the verdict line; then for each ad a band
of BAND = 14 rows with its name, format, size, bytes sent and problems
(grey: passes; amber: warnings; red: errors), and a strip of CLIENT_W x
CLIENT_H pixels, the client area as the bar paints it (CLIENT_W = screen
width - 10, CLIENT_H = 65): strip N (1-16) starts at row (N+1)*BAND +
(N-1)*CLIENT_H. Each picture sits where the bar puts it (centred on the
screen's width, top-aligned), black around it and where a GIF is
transparent. An ad the bar cannot show is a hatched red strip marked NOT
SHOWN (the bar shows black there); one with an error that still shows (over
the byte budget) is framed in red. GIF and BMP strips are the bar's pixels
under Wine exactly (a 32-bit BMP's alpha bytes ignored, as the loader does);
JPEG ones may differ by a few levels at sharp edges. An icon shows its
colours where it is transparent, as Wine's bar does (black in most icons;
Windows may blend partly transparent pixels with black instead). A metafile
is drawn as a crossed box of its size at its place: ImageMagick draws a
WMF's text about 30 % smaller than Windows and Wine do, misplaces
right-aligned text and then squeezes the whole drawing; it reads no EMF.
"""
import argparse
import gzip
import io
import math
import os
import pwd
import re
import shutil
import stat
import zlib
from types import SimpleNamespace

from adset import ADS, NAMES, Failed, fetch, pictures, preview, spaced

# The bar docked at the top is 75 rows high. Its styles (WS_POPUP | WS_THICKFRAME,
# WS_EX_CLIENTEDGE) give a frame of 2 (outer edge) + iBorderWidth (1 by default) +
# SM_CXEDGE (2) = 5 pixels a side on every Windows from XP to 11 at their default
# settings, and under Wine (measured: client 5 5 1019 70 on a 1024-pixel screen),
# because the exe is marked for a subsystem below 6.0: from 6.0 on, Vista and later
# add iPaddedBorderWidth (4 by default) and the client area shrinks to 57 rows.
BAR_H, FRAME = 75, 5
CLIENT_H = BAR_H - 2 * FRAME
# Request and answer headers, per request (the operator's manual's sizing).
HEADER_BYTES = 300
BARS = 1000
SECONDS = 10
# Anything larger is not read: no ad comes near it, and it cannot exhaust memory.
CAP = fetch.CAP
NEAR = re.compile(r"(?i)^vtl[ _.-]?0*(\d+)(\.ad)?(\.[\w-]+)*$")


def rounded(x):
    # Two significant figures, as in the operator's manual's sizing.
    x = round(x, 1 - math.floor(math.log10(x))) if x > 0 else 0
    return f"{x:.0f}" if x >= 10 else f"{x:.1g}" if x < 1 else f"{x:.2g}"


def screen(text):
    m = re.fullmatch(r"(\d+)x(\d+)", text)
    if not m or not 320 <= int(m.group(1)) <= 16384 or not BAR_H < int(m.group(2)) <= 16384:
        raise argparse.ArgumentTypeError(f"{text!r} is not a screen size such as 1024x768")
    return int(m.group(1)), int(m.group(2))


def size(text):
    m = re.fullmatch(r"(\d+(?:\.\d+)?)\s*([kKmM]?)B?", text.strip())
    n = int(float(m.group(1)) * {"": 1, "k": 1000, "m": 1000 ** 2}[m.group(2).lower()]) if m else 0
    if not n:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of bytes such as 150000 or 150K")
    return n


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = 0
    if not 0 < value <= 86400:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds")
    return value


def add_options(p):
    p.add_argument("--max-bytes", type=size, default=150000, metavar="N",
                   help="the most bytes an ad may send (the .gz where there is one); K and M are thousands and"
                        " millions (default 150K, the common display-ad limit)")
    p.add_argument("--timeout", type=seconds, default=60, metavar="S",
                   help="the deadline for fetching all sixteen ads from a server (default 60)")
    p.add_argument("--screen", type=screen, default=(1024, 768), metavar="WxH",
                   help="the screen the bar is docked on, for clipping and the preview (default 1024x768)")
    p.add_argument("--cafile", metavar="FILE",
                   help="trust the CA certificates in FILE for https (default: the system's trusted CAs)")


def add_arguments(p):
    p.description, p.formatter_class = __doc__, argparse.RawDescriptionHelpFormatter
    p.add_argument("source", metavar="FOLDER|URL")
    p.add_argument("--preview", metavar="FILE.png", help="draw the bar as it will show each ad (ImageMagick)")
    add_options(p)


def geometry(args):
    # (client width, client height, the picture's left edge in the client area for a width).
    width = args.screen[0]
    # The bar centres on the screen's width but draws in client coordinates
    # (C's division truncates toward zero), so its left frame shifts the picture.
    return width - 2 * FRAME, CLIENT_H, lambda w: width // 2 - int(w / 2)


def Ad(name, subject):
    # errors and warnings: (the file or URL a line names, what is wrong); reached: whether bars get it at all.
    return SimpleNamespace(name=name, subject=subject, data=None, sent=None, picture=None, errors=[], warnings=[],
                           reached=True)


# ---- a folder, as nginx serves it

def owner(uid):
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def unservable(folder, name, served):
    """Why nginx cannot send FOLDER/NAME as a picture, or None; FileNotFoundError if absent."""
    path = os.path.join(folder, name)
    st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode):
        target = os.path.realpath(path)
        if os.path.commonpath([os.path.realpath(folder), target]) != os.path.realpath(folder):
            return f"a link out of the folder, to {target}: the set is not all in its folder"
        try:
            st = os.stat(path)
        except OSError:
            return f"a link to {target}, which is not there"
    kinds = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISCHR, "a device"),
             (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket"))
    kind = next((what for test, what in kinds if test(st.st_mode)), None)
    if kind or not stat.S_ISREG(st.st_mode):
        return f"{kind or 'not a regular file'}, not a file with a picture: nginx cannot send it"
    if served and not st.st_mode & stat.S_IROTH:
        return (f"not readable by others (mode {stat.S_IMODE(st.st_mode):04o}, owner {owner(st.st_uid)}):"
                " nginx's worker, another user, answers 403 (chmod o+r)")
    return None


def read(path):
    # The bytes, opened so that a FIFO swapped in since it was judged cannot block.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(0, "no longer a file")
        data = f.read(CAP + 1)
    if len(data) > CAP:
        raise OSError(0, f"more than {CAP >> 20} MiB")
    return data


def gunzip(data):
    try:
        with gzip.GzipFile(fileobj=io.BytesIO(data)) as f:
            out = f.read(CAP + 1)
    except (OSError, EOFError, zlib.error) as e:
        return None, f"does not decompress ({e or 'cut short'})"
    return (None, f"decompresses past {CAP >> 20} MiB") if len(out) > CAP else (out, None)


def from_folder(folder, served, near):
    """Each ad of the folder, read and judged as a file nginx serves."""
    for name in NAMES:
        ad, gz = Ad(name, name), name + ".gz"
        try:
            why = unservable(folder, name, served)
        except FileNotFoundError:
            misses = near.get(name, [])
            why = "not there" + (f" ({', '.join(misses)} {'is' if len(misses) == 1 else 'are'}: names are"
                                 " case-sensitive, and bars fetch only vtl_N.ad)" if misses else "")
            if os.path.lexists(os.path.join(folder, gz)):
                why += f"; only {gz} is, which nginx sends only to clients that accept gzip"
        except OSError as e:
            why = f"cannot be looked at ({e.strerror})"
        if not why:
            try:
                ad.data = read(os.path.join(folder, name))
                ad.sent = len(ad.data)
            except OSError as e:
                why = f"cannot be read ({e.strerror})"
        if why:
            ad.errors.append((name, why))
            yield ad
            continue
        if os.path.lexists(os.path.join(folder, gz)):
            beside(ad, folder, gz, served)
        yield ad


def beside(ad, folder, gz, served):
    # nginx's gzip_static sends the .gz to every bar (bars accept gzip): it is the ad.
    try:
        why = unservable(folder, gz, served)
        packed = None if why else read(os.path.join(folder, gz))
    except OSError as e:
        why = f"cannot be read ({e.strerror})"
    if not why:
        data, why = gunzip(packed)
        ad.sent = len(packed)
        if data is None:
            ad.data = None  # What the bars get shows nothing.
        elif data != ad.data:
            why = (f"holds other bytes than {ad.name} ({spaced(len(data))} where it has {spaced(len(ad.data))}):"
                   f" nginx sends the .gz to every bar; remake it (gzip -9 -k -f {ad.name}) or remove it")
            ad.data = data
    if why:
        ad.errors.append((gz, why))


def near_misses(folder):
    # {vtl_N.ad: [names in the folder that look meant for it]}.
    try:
        names = sorted(os.listdir(folder))
    except OSError as e:
        raise Failed(f"{folder}: cannot list the folder ({e.strerror})")
    near = {}
    for name in names:
        m = NEAR.match(name)
        if m and name not in NAMES and name[:-3] not in NAMES:
            near.setdefault(f"vtl_{int(m.group(1))}.ad", []).append(name)
    return near


# ---- a server, as bars fetch from it

def ads_url(source):
    base = source.rstrip("/")
    # A URL that already names the ads' folder is taken as it is.
    return base if base.endswith("/ads") else base + "/ads"


def from_server(source, args):
    base = ads_url(source)
    # Held back until an answer comes: with no server there at all, one line says so, not sixteen.
    held = []
    for name, answer in zip(NAMES, fetch.fetch_all([f"{base}/{n}" for n in NAMES], args.timeout, args.cafile)):
        ad = Ad(name, f"{base}/{name}")
        ad.data, ad.sent = answer.data, answer.sent
        ad.errors += [(ad.subject, answer.error)] if answer.error else []
        ad.warnings += [(ad.subject, w) for w in answer.warnings]
        if held is not None:
            if not answer.reached:
                held.append(ad)
                if len(held) == ADS:
                    raise Failed(f"cannot fetch from {base}/: {held[0].errors[0][1]}")
                continue
            yield from held
            held = None
        yield ad


# ---- the judgement

def judge(ad, args):
    pic = ad.picture = pictures.identify(ad.data) if ad.data is not None else None
    problems = []
    if pic and pic.error:
        ad.errors.append((ad.subject, pic.error))
    elif pic:
        client_w, client_h, place = geometry(args)
        w, h, x = pic.w, pic.h, place(pic.w)
        problems += pic.warnings
        if h > client_h:
            problems.append(f"{w}x{h}: the bar's client area is {client_h} rows high (on every Windows from XP"
                            f" to 11 at default settings, and under Wine): its bottom {h - client_h} rows are cut")
        if x < 0:
            problems.append(f"{w}x{h} is wider than a {args.screen[0]}-pixel screen: clipped at both sides")
        elif x + w > client_w:
            problems.append(f"{w}x{h} loses {x + w - client_w} columns at the right to the bar's frame: clipped")
    ad.warnings[:0] = [(ad.subject, p) for p in problems]
    if ad.sent is not None and ad.sent > args.max_bytes:
        ad.errors.append((ad.subject, f"{spaced(ad.sent)} bytes sent: over the {spaced(args.max_bytes)}-byte budget"
                                      f" per ad (--max-bytes); every bar fetches it every {ADS * SECONDS} seconds"))


def report(ad):
    pic = ad.picture
    if pic and not pic.error:
        sent = f" ({spaced(ad.sent)} sent)" if ad.sent not in (None, len(ad.data)) else ""
        print(f"{ad.subject}: {pic.fmt} {pic.w}x{pic.h}, {spaced(len(ad.data))} bytes{sent}", flush=True)
    for level, lines in (("error", ad.errors), ("warning", ad.warnings)):
        for subject, text in lines:
            print(f"{subject}: {level}: {text}", flush=True)


def costs(ads, args):
    fetched = [ad for ad in ads if ad.sent is not None]
    if not fetched:
        return
    total = sum(ad.sent for ad in fetched)
    largest = max(fetched, key=lambda ad: ad.sent)
    average = total / len(fetched)
    counted = f"{ADS} ads" if len(fetched) == ADS else f"{len(fetched)} of {ADS} ads read"
    print(f"one rotation: {counted}, {spaced(total)} bytes sent ({spaced(round(average))} on average; the largest,"
          f" {largest.name}, {spaced(largest.sent)} of the {spaced(args.max_bytes)} allowed per ad)")
    per_request = average + HEADER_BYTES
    rate = BARS / SECONDS * per_request
    print(f"for {spaced(BARS)} bars: {BARS // SECONDS} requests a second ({rounded(BARS / SECONDS * 86400 / 1e6)}"
          f" million a day) of {per_request / 1000:.1f} KB with ~0.3 KB of headers: {rounded(rate / 1e6)} MB/s"
          f" ({rounded(rate * 8 / 1e6)} Mbit/s), {rounded(rate * 86400 / 1e9)} GB a day")


def summary(failed):
    return f"{ADS - failed} of {ADS} ads pass" + (": the set may go live" if not failed else
                                                  f"; {failed} with errors: the set must not go live")


def verdict(source, args, served=True, ads=None):
    """Judges the sixteen ads of a folder or URL, prints the check's lines and
    returns the number of ads with an error. served=False leaves out whether
    nginx's worker may read the files (their modes), for a copy that is
    judged again once published. A list given as ads receives each ad as
    judged (for the preview). Raises Failed when it cannot judge at all."""
    ads = [] if ads is None else ads
    is_url = source.startswith(("http://", "https://"))
    if not is_url and not os.path.isdir(source):
        raise Failed(f"{source} is neither a folder nor an http(s) URL")
    near, folder_error = {}, None
    if not is_url:
        near = near_misses(source)
        mode = os.stat(source).st_mode
        if served and not mode & stat.S_IXOTH:
            folder_error = (f"not searchable by others (mode {stat.S_IMODE(mode):04o}): nginx's worker, another user,"
                            " answers 403 for every ad in it (chmod o+x)")
    if folder_error:
        print(f"{source}: error: {folder_error}", flush=True)
    for ad in (from_server(source, args) if is_url else from_folder(source, served, near)):
        judge(ad, args)
        if ad.data is not None:
            ad.warnings += [(miss, f"not served: bars fetch {ad.name} (meant to replace it?)")
                            for miss in near.get(ad.name, [])]
        report(ad)
        # Said once, above, but true of every ad: nginx sends none of them.
        if folder_error:
            ad.errors.append((source, folder_error))
            ad.reached = False
        ads.append(ad)
    costs(ads, args)
    failed = sum(1 for ad in ads if ad.errors)
    print(summary(failed), flush=True)
    return failed


def run(args):
    if args.preview:
        if not shutil.which("convert"):
            raise Failed("--preview needs ImageMagick's convert")
        preview.writable(args.preview)
    ads = []
    failed = verdict(args.source, args, ads=ads)
    if args.preview:
        preview.render(args.preview, ads, geometry(args), summary(failed))
        print(f"preview: {args.preview}")
    return 1 if failed else 0


COMMANDS = {"check": ("Is an ad set fit to go live? (exit 0 yes, 1 no, 2 not checked)", add_arguments, run)}
