#!/usr/bin/env python3
"""Draws the program's icon, the 9-pin plug of a serial adapter cable, and
writes it as an ICO file with one 24-bit image of 149 x 255 pixels.

    tools/icon/make_icon.py [OUTPUT]     (default: app/serio8.ico)

From the top: the plug's face as one looks into it, a metal flange with two
screw holes around the D-shaped shell and its two rows of 5 and 4 pins; below
it the moulded hood, the strain relief and the cable. Only the standard
library: every shape is tested per sample point (3 x 3 per pixel) and the ICO
and bitmap bytes are written here. Pixels that no shape covers are
transparent through the icon's mask.
"""
import math
import os
import struct
import sys

WIDTH, HEIGHT = 149, 255
SAMPLES = 3
CX = WIDTH / 2.0


def convex(points):
    """Inside test of a convex polygon given clockwise on screen."""
    edges = list(zip(points, points[1:] + points[:1]))

    def inside(x, y):
        for (x0, y0), (x1, y1) in edges:
            if (x1 - x0) * (y - y0) - (y1 - y0) * (x - x0) < 0:
                return False
        return True
    return inside


def rounded(points, radius):
    """A convex polygon grown by `radius`: its corners come out round."""
    core = convex(points)
    edges = list(zip(points, points[1:] + points[:1]))

    def near(x, y, x0, y0, x1, y1):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - x0 - t * dx, y - y0 - t * dy) <= radius

    def inside(x, y):
        return core(x, y) or any(near(x, y, x0, y0, x1, y1) for (x0, y0), (x1, y1) in edges)
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def box(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def trapezoid(top, bottom, top_half, bottom_half, radius=0.0):
    points = [(CX - top_half, top), (CX + top_half, top), (CX + bottom_half, bottom), (CX - bottom_half, bottom)]
    return rounded(points, radius) if radius else convex(points)


def shade(light, dark, y0, y1):
    """A colour running from `light` at y0 to `dark` at y1."""
    def colour(x, y):
        t = max(0.0, min(1.0, (y - y0) / float(y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(light, dark))
    return colour


def flat(rgb):
    return lambda x, y: rgb


def lit_from_left(base, gain, x0, x1):
    """Brighter on the left, as a rounded body catches the light."""
    def colour(x, y):
        t = max(0.0, min(1.0, (x - x0) / float(x1 - x0)))
        k = 1.0 + gain * (0.5 - t)
        return tuple(max(0, min(255, c * k)) for c in base)
    return colour


# Shapes from back to front: (inside test, colour at a point).
SHAPES = []

# The cable leaves the hood at the bottom and runs off the image.
SHAPES.append((box(CX - 12, 190, CX + 12, 255), lit_from_left((44, 46, 52), 0.9, CX - 12, CX + 12)))
# Strain relief: a tapered sleeve with ribs.
SHAPES.append((trapezoid(158, 196, 24, 15, 3), lit_from_left((58, 60, 68), 0.8, CX - 24, CX + 24)))
for k in range(4):
    y = 166 + 8 * k
    SHAPES.append((box(CX - 22 + 2 * k, y, CX + 22 - 2 * k, y + 2), flat((36, 38, 44))))
# The moulded hood behind the flange, narrowing towards the cable.
SHAPES.append((trapezoid(92, 162, 62, 28, 6), lit_from_left((74, 78, 88), 0.7, CX - 62, CX + 62)))
SHAPES.append((trapezoid(100, 150, 40, 18, 4), lit_from_left((92, 96, 108), 0.7, CX - 40, CX + 40)))
# The metal flange with its two screw holes.
SHAPES.append((rounded([(6, 14), (WIDTH - 6, 14), (WIDTH - 6, 98), (6, 98)], 5), shade((228, 230, 234), (150, 154, 162), 9, 103)))
for sx in (15.5, WIDTH - 15.5):
    SHAPES.append((circle(sx, 56, 7), flat((120, 124, 132))))
    SHAPES.append((circle(sx, 56, 4.8), flat((30, 30, 34))))
# The D-shaped shell: a wide top, a narrower bottom, a bright rim.
SHAPES.append((trapezoid(24, 88, 49, 38, 6), shade((250, 250, 252), (170, 174, 182), 17, 95)))
SHAPES.append((trapezoid(28, 84, 45, 34, 4), shade((40, 44, 60), (24, 26, 36), 23, 89)))
# Pins 1 to 5 on top, 6 to 9 below, 16 pixels apart, gold with a highlight.
PIN_TOP = [CX + 16 * (k - 2) for k in range(5)]
PIN_BOTTOM = [CX + 16 * (k - 1.5) for k in range(4)]
for row, y in ((PIN_TOP, 44), (PIN_BOTTOM, 68)):
    for x in row:
        SHAPES.append((circle(x, y, 6.5), flat((150, 110, 20))))
        SHAPES.append((circle(x, y, 5.2), shade((255, 226, 120), (210, 150, 30), y - 5, y + 5)))
        SHAPES.append((circle(x - 1.8, y - 1.8, 1.8), flat((255, 250, 220))))


def sample(x, y):
    colour = None
    for inside, paint in SHAPES:
        if inside(x, y):
            colour = paint(x, y)
    return colour


def render():
    """Rows from the top: (r, g, b, covered) per pixel."""
    rows = []
    for py in range(HEIGHT):
        row = []
        for px in range(WIDTH):
            total = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = sample(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            total[i] += c[i]
            covered = hits * 2 >= SAMPLES * SAMPLES
            if hits:
                row.append(tuple(int(round(t / hits)) for t in total) + (covered,))
            else:
                row.append((0, 0, 0, False))
        rows.append(row)
    return rows


def ico_bytes(rows):
    """One ICONDIRENTRY and a DIB: BITMAPINFOHEADER (double height for the
    colour and mask bitmaps), 24-bit BGR rows bottom-up padded to 4 bytes,
    then the 1-bit AND mask (1 = transparent) padded to 4 bytes."""
    colour = bytearray()
    mask = bytearray()
    colour_stride = (WIDTH * 3 + 3) // 4 * 4
    mask_stride = (WIDTH + 31) // 32 * 4
    for row in reversed(rows):
        line = bytearray()
        bits = bytearray(mask_stride)
        for x, (r, g, b, covered) in enumerate(row):
            if covered:
                line += bytes((b, g, r))
            else:
                line += b"\0\0\0"
                bits[x // 8] |= 0x80 >> (x % 8)
        colour += line + b"\0" * (colour_stride - len(line))
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT * 2, 1, 24, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image = header + bytes(colour) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", WIDTH, HEIGHT, 0, 0, 1, 24, len(image), 6 + 16)
    return directory + entry + image


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "app", "serio8.ico")
    data = ico_bytes(render())
    with open(out, "wb") as f:
        f.write(data)
    print("%s: %d bytes, %d x %d, 24 bits" % (out, len(data), WIDTH, HEIGHT))


if __name__ == "__main__":
    main()
