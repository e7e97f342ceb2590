#!/usr/bin/env python3
"""Draws the registry's icon, tarnwick.png (256 x 256, RGBA): a radio mast
sending to the servers, on a round blue ground. Only the standard library is
used, so the icon can be redrawn anywhere:  python3 make-icon.py [out.png]"""
import math
import struct
import sys
import zlib

SIZE = 256
SAMPLES = 4  # per axis, for smooth edges

GROUND_TOP = (42, 111, 151)
GROUND_BOTTOM = (1, 58, 99)
LIGHT = (232, 241, 242)
GOLD = (255, 183, 3)
CX, TOP_Y = 0.5, 0.36


def in_disk(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_mast(x, y):
    if not 0.40 <= y <= 0.80:
        return False
    half = 0.012 + (y - 0.40) * 0.2
    return abs(x - CX) <= half


def in_waves(x, y):
    dx, dy = x - CX, y - TOP_Y
    d = math.hypot(dx, dy)
    angle = math.degrees(math.atan2(-dy, abs(dx)))
    if abs(angle) > 42:
        return False
    return any(abs(d - r) <= 0.018 for r in (0.12, 0.2, 0.28))


def colour_at(x, y):
    """The colour of one sample, or None outside the icon."""
    if not in_disk(x, y, 0.5, 0.5, 0.47):
        return None
    if in_disk(x, y, CX, TOP_Y, 0.045):
        return GOLD
    if in_mast(x, y) or in_waves(x, y) or (0.80 <= y <= 0.83 and abs(x - CX) <= 0.16):
        return LIGHT
    t = (y - 0.03) / 0.94
    return tuple(round(a + (b - a) * t) for a, b in zip(GROUND_TOP, GROUND_BOTTOM))


def render():
    rows = []
    n = SAMPLES * SAMPLES
    for py in range(SIZE):
        row = bytearray([0])  # PNG filter: none
        for px in range(SIZE):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px + (sx + 0.5) / SAMPLES) / SIZE, (py + (sy + 0.5) / SAMPLES) / SIZE)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row += bytes((r // a, g // a, b // a, 255 * a // n))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "tarnwick.png"
    with open(out, "wb") as f:
        f.write(png(render()))
