#!/usr/bin/env python3
"""Draws the program's two icons: a field transmitter (a housing with a round display and a
cable gland) sending a signal. Writes app.ico (one 48x48 image) and small.ico (one
16x16 image) beside this script, both 32 bits per pixel with alpha. Run it again after changing the drawing."""
import math
import os
import struct

SUPER = 4  # samples per pixel along each axis, for smooth edges

BLUE = (0x1F, 0x5F, 0xA8)
DARK = (0x12, 0x33, 0x5C)
FACE = (0xF4, 0xF7, 0xFA)
GREEN = (0x2E, 0xA0, 0x4B)
ORANGE = (0xF0, 0x8A, 0x1C)


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def shade(u, v):
    """Colour at a point of the unit square (0..1 both ways), or None where transparent."""
    # Signal arcs to the upper right.
    dx, dy = u - 0.70, 0.30 - v
    d = math.hypot(dx, dy)
    if dx > 0 and dy > 0:
        for radius in (0.16, 0.27):
            if abs(d - radius) < 0.035:
                return ORANGE
    # Cable gland below the housing.
    if 0.40 <= u <= 0.60 and 0.80 <= v <= 0.96:
        return DARK
    # Housing with a round display and a status lamp.
    if inside_round_rect(u, v, 0.08, 0.22, 0.72, 0.82, 0.10):
        du, dv = u - 0.40, v - 0.50
        r = math.hypot(du, dv)
        if r <= 0.22:
            if r >= 0.18:
                return DARK
            # A needle pointing up and to the right on the display.
            t = du * 0.6 - dv * 0.8
            n = abs(du * 0.8 + dv * 0.6)
            if 0 <= t <= 0.16 and n < 0.025:
                return DARK
            return FACE
        if math.hypot(u - 0.63, v - 0.30) <= 0.04:
            return GREEN
        return BLUE
    return None


def render(size):
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(SUPER):
                for sx in range(SUPER):
                    c = shade((x + (sx + 0.5) / SUPER) / size, (y + (sy + 0.5) / SUPER) / size)
                    if c:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits:
                row.append(tuple(a // hits for a in acc) + (255 * hits // (SUPER * SUPER),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def ico(size):
    rows = render(size)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + pixels + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, size in (("app.ico", 48), ("small.ico", 16)):
        with open(os.path.join(here, name), "wb") as f:
            f.write(ico(size))


if __name__ == "__main__":
    main()
