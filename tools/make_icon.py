#!/usr/bin/env python3
"""Writes res/bar.ico: a monitor whose screen has a yellow ad strip docked
across its top, as 32x32 and 16x16 images in 16 colours.

Drawn from rectangles so it can be changed here and regenerated; the output
is committed, so building needs nothing but the .ico.
Usage: tools/make_icon.py [OUTPUT]
"""
import os
import struct
import sys

# The standard Windows 16-colour palette, in the order 4-bit DIBs expect, so
# the icon looks the same on a 16-colour display as anywhere else.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, NAVY, TEAL, SILVER, GRAY, RED, YELLOW, WHITE = 0, 1, 4, 6, 7, 8, 9, 11, 15
CLEAR = None  # shown as whatever lies behind the icon


def canvas(size):
    return [[CLEAR] * size for _ in range(size)]


def fill(img, x0, y0, x1, y1, colour):
    """Fills the rectangle with both corners inclusive, top-down coordinates."""
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = colour


def box(img, x0, y0, x1, y1, colour, outline=BLACK):
    fill(img, x0, y0, x1, y1, outline)
    fill(img, x0 + 1, y0 + 1, x1 - 1, y1 - 1, colour)


def draw32():
    img = canvas(32)
    box(img, 1, 2, 30, 24, SILVER)               # monitor bezel
    fill(img, 3, 4, 28, 21, NAVY)                # desktop
    fill(img, 3, 4, 28, 9, YELLOW)               # the docked ad strip
    fill(img, 3, 10, 28, 10, BLACK)              # its bottom edge
    fill(img, 5, 5, 8, 8, RED)                   # ad picture
    fill(img, 10, 6, 25, 6, MAROON)              # ad text lines
    fill(img, 10, 8, 20, 8, MAROON)
    box(img, 12, 13, 25, 19, WHITE)              # an ordinary window below
    fill(img, 13, 14, 24, 14, TEAL)              # its title bar
    fill(img, 4, 22, 5, 22, GRAY)                # power light area
    fill(img, 27, 22, 27, 22, YELLOW)
    fill(img, 13, 25, 18, 26, GRAY)              # neck
    box(img, 7, 27, 24, 29, SILVER)              # foot
    return img


def draw16():
    img = canvas(16)
    box(img, 0, 1, 15, 12, SILVER)
    fill(img, 1, 2, 14, 11, NAVY)
    fill(img, 1, 2, 14, 4, YELLOW)
    fill(img, 2, 3, 3, 3, RED)
    fill(img, 5, 3, 12, 3, MAROON)
    fill(img, 1, 5, 14, 5, BLACK)
    fill(img, 7, 7, 12, 10, WHITE)
    fill(img, 7, 7, 12, 7, TEAL)
    fill(img, 6, 13, 9, 13, GRAY)
    box(img, 3, 14, 12, 15, SILVER)
    return img


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4  # DIB rows are padded to 32 bits


def dib(img):
    """BITMAPINFOHEADER + palette + 4-bit colour bits + 1-bit AND mask."""
    size = len(img)
    xor_stride, and_stride = row_bytes(size * 4), row_bytes(size)
    xor, mask = bytearray(), bytearray()
    for row in reversed(img):  # DIBs are stored bottom-up
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, colour in enumerate(row):
            if colour is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
                colour = BLACK  # black XOR under a set AND bit leaves the screen as is
            line[x // 2] |= colour << (0 if x % 2 else 4)
        xor += line
        mask += bits
    # Icons count the AND mask in the height, hence size * 2.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def ico(images):
    blobs = [dib(img) for img in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for img, blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", len(img), len(img), 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "res", "bar.ico")
    with open(path, "wb") as f:
        f.write(ico([draw32(), draw16()]))
    print(f"wrote {os.path.normpath(path)}")


if __name__ == "__main__":
    main()
