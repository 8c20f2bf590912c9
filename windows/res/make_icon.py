#!/usr/bin/env python3
"""Draws update.ico: one 32 x 32 image with 32-bit colour (alpha), an upward
arrow over a tray on a rounded blue tile. Run it to regenerate the icon:
    python3 make_icon.py update.ico
"""
import struct
import sys

SIZE = 32
SAMPLES = 4  # per axis, for smooth edges


def inside_rounded_square(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and left <= x <= right and top <= y <= bottom


def inside_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    negative = d1 < 0 or d2 < 0 or d3 < 0
    positive = d1 > 0 or d2 > 0 or d3 > 0
    return not (negative and positive)


def sample(x, y):
    """Colour (r, g, b, a) at a point in icon coordinates, y down."""
    if not inside_rounded_square(x, y, 1.0, 1.0, 31.0, 31.0, 6.5):
        return (0, 0, 0, 0)
    if not inside_rounded_square(x, y, 2.2, 2.2, 29.8, 29.8, 5.3):
        return (12, 40, 96, 255)  # rim
    arrow_head = inside_triangle(x, y, (16.0, 4.5), (6.5, 15.0), (25.5, 15.0))
    arrow_shaft = 12.5 <= x <= 19.5 and 14.0 <= y <= 22.5
    if arrow_head or arrow_shaft:
        return (255, 255, 255, 255)
    tray = 7.5 <= x <= 24.5 and 24.5 <= y <= 27.0
    if tray:
        return (120, 230, 140, 255)
    t = (y - 2.0) / 28.0
    top, bottom = (40, 130, 235), (18, 62, 160)
    return tuple(int(round(top[i] + (bottom[i] - top[i]) * t)) for i in range(3)) + (255,)


def pixel(px, py):
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            r, g, b, a = sample(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            acc[0] += r * a
            acc[1] += g * a
            acc[2] += b * a
            acc[3] += a
    n = SAMPLES * SAMPLES
    alpha = acc[3] / n
    if alpha == 0:
        return (0, 0, 0, 0)
    return tuple(int(round(acc[i] / acc[3])) for i in range(3)) + (int(round(alpha)),)


def icon_bytes():
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "update.ico", "wb") as out:
        out.write(icon_bytes())
