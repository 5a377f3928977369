"""What Windows's picture loader makes of an ad's bytes, read from the
content alone (the .ad ending says nothing): its format, its pixel size, the
error that keeps the bar from showing it, and warnings where the bar shows
it otherwise than a browser or an image viewer would.

identify(data) -> Picture. Evidence for each rule: Wine's conformance tests
of the loader (they run on Windows), Microsoft's knowledge base and
documentation, and where Windows's behaviour is undocumented what Wine's
loader does, said so in the message.
"""
import struct
from types import SimpleNamespace

# The loader decodes the whole picture at every paint (docs/benchmarks.md).
MAX_SIDE = 4096
DPI = 96


def Picture(fmt, w=0, h=0, error=None, warnings=(), **more):
    # more: frames (GIF), icon (the entry shown), orientation (JPEG).
    return SimpleNamespace(fmt=fmt, w=w, h=h, error=error, warnings=list(warnings), **more)


def px(himetric):
    return (himetric * DPI + 1270) // 2540


def truncated(data, promised):
    return f"truncated: {len(data)} bytes where its header promises {promised}"


def bmp(d):
    if len(d) < 26:
        return Picture("BMP", error=truncated(d, 26))
    offset, header = struct.unpack_from("<II", d, 10)
    if header == 12:
        w, h, _, bpp = struct.unpack_from("<HHHH", d, 18)
        compression = image = 0
    elif header in (40, 108, 124) and len(d) >= 54:
        w, h, _, bpp, compression, image = struct.unpack_from("<iiHHII", d, 18)
    elif header in (40, 108, 124):
        return Picture("BMP", error=truncated(d, 54))
    else:
        return Picture("BMP", error=f"a BMP with a {header}-byte header, which the loader does not read: save as BMP3")
    fmt, top_down, h = f"{bpp}-bit BMP", h < 0, abs(h)
    if header > 40:
        # Windows 2000's loader refuses them (KB Q216205); Wine's and later ones read them.
        return Picture(fmt, w, h, f"a BMP with the newer {header}-byte header: save as BMP3 (40-byte header; ImageMagick: BMP3:FILE)")
    if w <= 0 or h == 0:
        return Picture(fmt, w, h, f"a BMP of {w}x{h} pixels: nothing to show")
    if compression > 3 or bpp not in (1, 4, 8, 16, 24, 32):
        return Picture(fmt, w, h, f"a BMP with compression {compression} and {bpp} bits a pixel: the loader does not read it")
    if compression in (1, 2) and top_down:
        return Picture(fmt, w, h, "a top-down RLE BMP, which Windows cannot decode (RLE is bottom-up only): save it uncompressed")
    size = image if compression in (1, 2) else (w * bpp + 31) // 32 * 4 * h
    return Picture(fmt, w, h, truncated(d, offset + size) if len(d) < offset + size else None)


def gif(d):
    if len(d) < 13:
        return Picture("GIF", error=truncated(d, 13))
    w, h, flags = struct.unpack_from("<HHB", d, 6)
    table = lambda f: 3 << (f & 7) + 1 if f & 0x80 else 0
    pos, fmt, frames = 13 + table(flags), "GIF", 0
    while pos < len(d):
        if d[pos] == 0x3B:
            if not frames:
                return Picture(fmt, w, h, "a GIF without a single picture in it")
            warnings = [f"an animated GIF of {frames} frames: the bar shows the first frame only, for the whole"
                        " 10 seconds (many banners open on an empty frame: look at the preview)"] if frames > 1 else []
            return Picture(fmt, w, h, None, warnings, frames=frames)
        if d[pos] == 0x21:
            # Only the first picture's control block says whether what the bar shows is transparent.
            if not frames and d[pos + 1:pos + 2] == b"\xf9" and len(d) > pos + 3 and d[pos + 3] & 1:
                fmt = "transparent GIF"
            pos += 2
        elif d[pos] == 0x2C and len(d) >= pos + 10:
            frames += 1
            pos += 11 + table(d[pos + 9])
        elif d[pos] != 0x2C:
            return Picture(fmt, w, h, f"a broken GIF: block {d[pos]:#04x} at byte {pos}")
        else:
            break
        while pos < len(d) and d[pos]:
            pos += d[pos] + 1
        pos += 1
    return Picture(fmt, w, h, "truncated: the GIF ends before its trailer")


def exif_orientation(segment):
    # The Orientation tag (0x0112) of the first image's IFD in an APP1 Exif segment; 1 when absent.
    tiff = segment[6:]
    order = {b"II": "<", b"MM": ">"}.get(tiff[:2])
    if not segment.startswith(b"Exif\0\0") or not order:
        return 1
    try:
        ifd = struct.unpack_from(order + "I", tiff, 4)[0]
        for i in range(struct.unpack_from(order + "H", tiff, ifd)[0]):
            tag, kind, _, value = struct.unpack_from(order + "HHIH", tiff, ifd + 2 + 12 * i)
            if tag == 0x0112 and kind == 3:
                return value
    except struct.error:
        pass  # A broken EXIF block: viewers ignore it as the loader does.
    return 1


TURNED = {2: "mirrored", 3: "turned 180°", 4: "upside down, mirrored", 5: "turned 90° and mirrored",
          6: "turned 90° clockwise", 7: "turned 90° and mirrored", 8: "turned 90° anticlockwise"}


def jpeg(d):
    pos, size, orientation = 2, None, 1
    while pos + 4 <= len(d):
        marker = d[pos + 1]
        if d[pos] != 0xFF:
            return Picture("JPEG", error=f"a broken JPEG: no marker at byte {pos}")
        if marker == 0xFF:
            pos += 1
            continue
        length = struct.unpack_from(">H", d, pos + 2)[0]
        if marker == 0xE1 and orientation == 1:
            orientation = exif_orientation(d[pos + 4:pos + 2 + length])
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC) and pos + 10 <= len(d):
            bits, h, w, components = struct.unpack_from(">BHHB", d, pos + 4)
            size = w, h
            # What the OLE loader is known to refuse (VB6's LoadPicture alike), or not known to read.
            if marker in (0xC2, 0xC6, 0xCA, 0xCE):
                return Picture("JPEG", w, h, "a progressive JPEG, which Windows's loader does not read: save as baseline")
            if marker not in (0xC0, 0xC1):
                return Picture("JPEG", w, h, f"a JPEG coded with SOF{marker - 0xC0}, which Windows's loader is not"
                                             " known to read: save as baseline")
            if bits != 8:
                return Picture("JPEG", w, h, f"a {bits}-bit JPEG: Windows's loader reads 8-bit JPEG only")
            if components == 4:
                return Picture("JPEG", w, h, "a CMYK (4-component) JPEG, which Windows's loader is not known to read:"
                                             " save as RGB")
        if marker == 0xDA:
            if not size:
                return Picture("JPEG", error="a broken JPEG: no frame header before the image data")
            # Entropy-coded data never holds FF D9: the first one is the end of the image.
            if d.find(b"\xff\xd9", pos) < 0:
                return Picture("JPEG", *size, "truncated: the JPEG ends before its end-of-image marker")
            warnings = [f"its EXIF orientation {orientation} ({TURNED.get(orientation, 'unknown')} in photo viewers)"
                        f" is ignored by the loader: the bar shows it as stored, {size[0]}x{size[1]}; turn the pixels"
                        " instead (ImageMagick: -auto-orient)"] if orientation != 1 else []
            return Picture("JPEG", *size, None, warnings)
        pos += 2 + length
    return Picture("JPEG", *(size or (0, 0)), "truncated: the JPEG ends before its image data")


def icon_shown(d):
    # Of several pictures Wine's loader shows the 32-pixel-wide one, else the first.
    widths = [d[6 + 16 * i] for i in range(struct.unpack_from("<H", d, 4)[0])]
    return widths.index(32) if 32 in widths else 0


def ico(d):
    count = struct.unpack_from("<H", d, 4)[0] if len(d) >= 6 else 0
    if len(d) < 6 + 16 * count or not count:
        return Picture("ICO", error=truncated(d, 6 + 16 * max(count, 1)))
    entries = [struct.unpack_from("<BB6xII", d, 6 + 16 * i) for i in range(count)]
    shown = icon_shown(d)
    w, h, size, offset = entries[shown]
    w, h = w or 256, h or 256
    for _, _, size, offset in entries:
        if len(d) < offset + size:
            return Picture("ICO", w, h, truncated(d, offset + size), icon=shown)
    if d[entries[shown][3]:entries[shown][3] + 4] == b"\x89PNG":
        which = f"whose shown picture, the {w}-pixel one of {count}," if count > 1 else "whose only picture"
        return Picture("ICO", w, h, f"an icon {which} is a PNG, which Windows's loader does not read (which"
                                    " entry Windows shows is undocumented; Wine's shows the 32-pixel one, else the"
                                    " first): make that entry a bitmap", icon=shown)
    return Picture("ICO", w, h, icon=shown)


def empty_frame(fmt, w, h):
    return Picture(fmt, w, h, f"{'an' if fmt == 'EMF' else 'a'} {fmt} whose frame is {'inverted' if min(w, h) < 0 else 'empty'} ({w}x{h}):"
                              " the loader draws nothing")


def wmf(d):
    if len(d) < 40:
        return Picture("WMF", error=truncated(d, 40))
    left, top, right, bottom, inch = struct.unpack_from("<hhhhH", d, 6)
    words = struct.unpack_from("<I", d, 28)[0]
    if not inch:
        return Picture("WMF", error="a WMF of 0 units per inch: the loader cannot size it")
    # The loader's HIMETRIC size is MulDiv(extent, 2540, inch): rounded half away from zero.
    muldiv = lambda n: (1 if n >= 0 else -1) * ((abs(n) * 2540 + inch // 2) // inch)
    w, h = px(muldiv(right - left)), px(muldiv(bottom - top))
    if w <= 0 or h <= 0:
        return empty_frame("WMF", w, h)
    return Picture("WMF", w, h, truncated(d, 22 + 2 * words) if len(d) < 22 + 2 * words else None)


def emf(d):
    left, top, right, bottom = struct.unpack_from("<4i", d, 24)
    size = struct.unpack_from("<I", d, 48)[0]
    w, h = px(right - left), px(bottom - top)
    if w <= 0 or h <= 0:
        return empty_frame("EMF", w, h)
    return Picture("EMF", w, h, truncated(d, size) if len(d) < size else None)


def unread(d):
    # Formats the loader does not read at all: why, in the preparer's terms.
    text = d[:1024].lstrip().lower()
    if d.startswith(b"\x89PNG\r\n\x1a\n"):
        return Picture("PNG", error="a PNG: Windows's picture loader has no PNG support (Wine's has): save as GIF or JPEG")
    if d[:2] in (b"\1\0", b"\2\0") and d[2:4] == b"\x09\0":
        return Picture("WMF", error="a WMF without the 22-byte placeable header: Windows's loader fails on it (E_FAIL)")
    if d[:4] == b"RIFF" and d[8:12] == b"WEBP":
        return Picture("WebP", error="a WebP picture, which the loader does not read: save as GIF or JPEG")
    if text.startswith(b"<") and b"<svg" in text:
        return Picture("SVG", error="an SVG drawing, which the loader does not read: save as GIF or JPEG")
    if text.startswith(b"<") and b"<html" in text or text.startswith(b"<!doctype html"):
        return Picture("HTML", error="an HTML page, not a picture (an error page from the server?)")
    return Picture("?", error=f"not a picture format the loader reads (it starts with {d[:8].hex(' ')})")


READERS = ((b"BM", "BMP", bmp), (b"GIF87a", "GIF", gif), (b"GIF89a", "GIF", gif), (b"\xff\xd8\xff", "JPEG", jpeg),
           (b"\0\0\1\0", "ICO", ico), (b"\xd7\xcd\xc6\x9a", "WMF", wmf))


def identify(d):
    if not d:
        return Picture("empty", error="empty: no bytes at all")
    reader = next(((fmt, fn) for magic, fmt, fn in READERS if d.startswith(magic)), None)
    if not reader and d.startswith(b"\1\0\0\0") and d[40:44] == b" EMF" and len(d) >= 88:
        reader = "EMF", emf
    if not reader:
        return unread(d)
    try:
        picture = reader[1](d)
    except (struct.error, IndexError):
        # A header or a table that points past the end of the file.
        return Picture(reader[0], error=f"a broken {reader[0]}: a header or table runs past its {len(d)} bytes")
    if not picture.error and max(picture.w, picture.h) > MAX_SIDE:
        picture.error = (f"{picture.w}x{picture.h}: a side over {MAX_SIDE} pixels;"
                         " the loader decodes the whole picture at every paint")
    return picture
