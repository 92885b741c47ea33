#!/usr/bin/env python3
"""Draws Vantrel's three 32x32 icons: a disc with a mark, in the status colour.

   vantrel.ico    blue disc, white wave    (the window)
   answering.ico  green disc, white tick   (the host answers)
   silent.ico     red disc, white bar      (the host does not answer)
Run it in this directory to write the .ico files again."""
import math
import struct


def disc(colour, mark):
    rows = []
    for y in range(32):                  # top to bottom
        row = []
        for x in range(32):
            d = math.hypot(x - 15.5, y - 15.5)
            if d > 15:
                row.append((0, 0, 0, 0))
            elif mark(x, y):
                row.append((255, 255, 255, 255))
            elif d > 13.5:
                row.append(tuple(c // 2 for c in colour) + (255,))
            else:
                row.append(colour + (255,))
        rows.append(row)
    return rows


def ico(rows):
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask = b""
    for row in reversed(rows):
        bits = 0
        for x, px in enumerate(row):
            if px[3] == 0:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 32, len(image), 22) + image


def tick(x, y):
    return (abs(y - (x + 8)) <= 1.5 and 8 <= x <= 14) or (abs(y - (36 - x)) <= 1.5 and 14 <= x <= 24)


def bar(x, y):
    return 8 <= x <= 23 and 14 <= y <= 17


def wave(x, y):
    return 6 <= x <= 25 and abs(y - (15.5 + 5 * math.sin((x - 6) / 3.0))) <= 1.5


for name, colour, mark in (("vantrel", (40, 90, 200), wave),
                           ("answering", (30, 170, 60), tick),
                           ("silent", (200, 40, 40), bar)):
    with open(name + ".ico", "wb") as f:
        f.write(ico(disc(colour, mark)))
