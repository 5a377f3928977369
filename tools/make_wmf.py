#!/usr/bin/env python3
"""Writes one sample banner as a placeable Windows metafile (WMF).

  tools/make_wmf.py OUT N TAGLINE BACKGROUND DARK PALE TINT   (colours #rrggbb)

The banner of tools/make_ads.sh drawn with GDI records instead of pixels, so
that the loader's and the renderer's metafile path runs: 468x60 on a 96-dpi
screen. Records and headers as Microsoft's [MS-WMF] lays them out; all
numbers little-endian, sizes counted in 16-bit words. Same arguments, same bytes.
"""
import struct
import sys

W, H = 468, 60
# Logical units per inch: one unit is one pixel at 96 dpi.
INCH = 96

PS_NULL, PS_INSIDEFRAME = 5, 6
BS_SOLID, BS_NULL = 0, 1
TA_RIGHT, TA_BASELINE = 2, 24
TRANSPARENT = 1
FW_BOLD = 700
OUT_TT_PRECIS, ANTIALIASED_QUALITY, VARIABLE_PITCH_SWISS = 4, 4, 0x22
META = dict(SETBKMODE=0x0102, SETTEXTALIGN=0x012E, SELECTOBJECT=0x012D, DELETEOBJECT=0x01F0,
            SETWINDOWORG=0x020B, SETWINDOWEXT=0x020C, SETTEXTCOLOR=0x0209, CREATEPENINDIRECT=0x02FA,
            CREATEFONTINDIRECT=0x02FB, CREATEBRUSHINDIRECT=0x02FC, POLYGON=0x0324, ELLIPSE=0x0418,
            RECTANGLE=0x041B, TEXTOUT=0x0521, EOF=0x0000)


def colorref(hex_colour):
    r, g, b = bytes.fromhex(hex_colour.lstrip("#"))
    return struct.pack("<BBBx", r, g, b)


def even(text):
    data = text.encode("ascii")
    return data + b"\0" * (len(data) % 2)


class Metafile:
    def __init__(self):
        self.records = []
        # The player's object table: a new object takes the lowest free slot.
        self.table = []
        self.most = 0
        self.selected = {}     # kind -> slot

    def record(self, name, data=b""):
        self.records.append(struct.pack("<IH", 3 + len(data) // 2, META[name]) + data)

    def words(self, name, *values):
        self.record(name, struct.pack(f"<{len(values)}h", *values))

    def use(self, kind, name, data):
        # The object it replaces is deleted only once this one is selected: a
        # selected object must not be deleted.
        if None in self.table:
            slot = self.table.index(None)
            self.table[slot] = kind
        else:
            slot = len(self.table)
            self.table.append(kind)
        self.most = max(self.most, len(self.table))
        self.record(f"CREATE{name}INDIRECT", data)
        self.words("SELECTOBJECT", slot)
        old = self.selected.get(kind)
        if old is not None:
            self.words("DELETEOBJECT", old)
            self.table[old] = None
        self.selected[kind] = slot

    def pen(self, style, width=0, colour="#000000"):
        self.use("pen", "PEN", struct.pack("<Hhh", style, width, 0) + colorref(colour))

    def brush(self, style, colour="#000000"):
        self.use("brush", "BRUSH", struct.pack("<H", style) + colorref(colour) + struct.pack("<H", 0))

    def font(self, height):
        # A negative height asks for that em size; Arial is on every Windows.
        self.use("font", "FONT", struct.pack("<5h8B", -height, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, OUT_TT_PRECIS, 0,
                                             ANTIALIASED_QUALITY, VARIABLE_PITCH_SWISS) + even("Arial\0"))

    def polygon(self, *points):
        self.words("POLYGON", len(points), *(c for p in points for c in p))

    def text(self, x, y, text, colour, align=TA_BASELINE):
        self.words("SETTEXTALIGN", align)
        self.record("SETTEXTCOLOR", colorref(colour))
        self.record("TEXTOUT", struct.pack("<h", len(text)) + even(text) + struct.pack("<hh", y, x))

    def bytes(self):
        self.record("EOF")
        body = b"".join(self.records)
        size = 9 + len(body) // 2
        longest = max(len(r) for r in self.records) // 2
        meta = struct.pack("<HHHIHIH", 1, 9, 0x0300, size, self.most, longest, 0)
        placeable = struct.pack("<IH4hHI", 0x9AC6CDD7, 0, 0, 0, W, H, INCH, 0)
        checksum = 0
        for word in struct.unpack("<10H", placeable):
            checksum ^= word
        return placeable + struct.pack("<H", checksum) + meta + body


def banner(n, tagline, background, dark, pale, tint):
    m = Metafile()
    m.words("SETWINDOWORG", 0, 0)
    m.words("SETWINDOWEXT", H, W)
    m.words("SETBKMODE", TRANSPARENT)
    # With no pen GDI fills one unit short on the right and at the bottom: the
    # shapes reach one unit further than make_ads.sh's.
    m.pen(PS_NULL)
    m.brush(BS_SOLID, background)
    m.words("RECTANGLE", H + 1, W + 1, 0, 0)
    m.brush(BS_SOLID, dark)
    m.polygon((330, 0), (W + 1, 0), (W + 1, H + 1), (300, H + 1))
    m.brush(BS_SOLID, pale)
    m.polygon((318, 0), (326, 0), (296, H + 1), (288, H + 1))
    m.polygon((306, 0), (310, 0), (280, H + 1), (276, H + 1))
    m.brush(BS_SOLID, "#ffffff")
    m.words("ELLIPSE", 54, 54, 8, 8)
    m.brush(BS_SOLID, background)
    m.polygon((17, 18), (23, 18), (30, 36), (37, 18), (43, 18), (32, 44), (28, 44))
    m.brush(BS_NULL)
    m.pen(PS_INSIDEFRAME, 3, dark)
    m.words("RECTANGLE", H, W, 0, 0)
    m.font(24)
    m.text(60, 29, "Vantorel", "#ffffff")
    m.font(12)
    m.text(61, 48, tagline, tint)
    m.font(38)
    m.text(W - 14, 45, f"Ad {n}", "#000000", TA_RIGHT | TA_BASELINE)
    m.text(W - 16, 43, f"Ad {n}", "#ffffff", TA_RIGHT | TA_BASELINE)
    m.font(9)
    m.text(W - 6, 55, "WMF", pale, TA_RIGHT | TA_BASELINE)
    return m.bytes()


def main():
    if len(sys.argv) != 8:
        sys.exit("usage: tools/make_wmf.py OUT N TAGLINE BACKGROUND DARK PALE TINT")
    out, n, tagline, *colours = sys.argv[1:]
    with open(out, "wb") as f:
        f.write(banner(int(n), tagline, *colours))


if __name__ == "__main__":
    main()
