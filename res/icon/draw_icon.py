#!/usr/bin/python3
"""Draws the setup icon and assembles res/setup.ico.

The mark: a cairn of stacked stones standing in water, with the wake rings
spreading around its foot, on a rounded slate-blue tile. Every size is drawn
from the same shapes in unit coordinates; up to 48 px the capstone goes, and
up to 24 px the outer ring too, with larger stones and a bolder ring, so the
mark stays readable.

Python 3 standard library only. Output is byte-for-byte reproducible:
    /usr/bin/python3 res/icon/draw_icon.py
writes res/icon/icon-<N>.png for N in 16 24 32 48 64 128 256 and res/setup.ico.
"""

import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
HERE = os.path.dirname(os.path.abspath(__file__))
RES = os.path.dirname(HERE)


# ---------------------------------------------------------------- colours

def hexrgb(s):
    s = s.lstrip("#")
    return tuple(int(s[i:i + 2], 16) / 255.0 for i in (0, 2, 4))


def mix(a, b, t):
    t = 0.0 if t < 0.0 else 1.0 if t > 1.0 else t
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def vertical(top, bottom, y0, y1):
    """A paint that blends from `top` at y0 to `bottom` at y1."""
    top, bottom = hexrgb(top), hexrgb(bottom)

    def paint(x, y):
        return mix(top, bottom, (y - y0) / (y1 - y0))
    return paint


def flat(colour):
    c = hexrgb(colour)
    return lambda x, y: c


# ---------------------------------------------------------------- shapes
# Each shape is an inside test in unit coordinates (0..1, y down) plus a
# bounding box so the rasteriser only samples where the shape can be.

class Shape:
    def __init__(self, inside, box):
        self.inside = inside
        self.box = box  # (x0, y0, x1, y1)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return Shape(inside, (x0, y0, x1, y1))


def stone(cx, cy, a, b, angle_deg, p=2.6, grow=0.0, flat_bottom=0.0):
    """A superellipse pebble, turned by `angle_deg`; `grow` widens it evenly
    (used for the outline drawn behind the fill). `flat_bottom` squashes the
    underside a little so the stones look stacked rather than balanced."""
    a += grow
    b += grow
    ca = math.cos(math.radians(angle_deg))
    sa = math.sin(math.radians(angle_deg))

    def inside(x, y):
        dx, dy = x - cx, y - cy
        u = dx * ca + dy * sa
        v = -dx * sa + dy * ca
        bb = b * (1.0 - flat_bottom) if v > 0 else b
        return abs(u / a) ** p + abs(v / bb) ** p <= 1.0
    r = max(a, b)
    return Shape(inside, (cx - r, cy - r, cx + r, cy + r))


def ring(cx, cy, a, b, width):
    """An elliptical ring of the given stroke width: a wake seen from
    slightly above."""
    def inside(x, y):
        dx, dy = x - cx, y - cy
        outer = (dx / (a + width / 2)) ** 2 + (dy / (b + width / 2)) ** 2
        ia, ib = a - width / 2, b - width / 2
        if ia <= 0 or ib <= 0:
            return outer <= 1.0
        inner = (dx / ia) ** 2 + (dy / ib) ** 2
        return outer <= 1.0 and inner >= 1.0
    w = width / 2
    return Shape(inside, (cx - a - w, cy - b - w, cx + a + w, cy + b + w))


def spark(cx, cy, r):
    """A four-pointed spark: the builder's mark at the top of the cairn."""
    def inside(x, y):
        dx, dy = abs(x - cx) / r, abs(y - cy) / r
        # Astroid-like star: sqrt|x| + sqrt|y| <= 1
        return math.sqrt(dx) + math.sqrt(dy) <= 1.0
    return Shape(inside, (cx - r, cy - r, cx + r, cy + r))


# ---------------------------------------------------------------- the mark

def layers_for(size):
    """The layers, bottom first, as (shape, paint, opacity)."""
    small = size <= 24
    medium = size <= 48
    # Outlines are kept near one pixel wide at every size, never thinner.
    line = max(1.1 / size, 0.022) if not small else 1.15 / size
    L = []

    tile_r = 0.20 if size >= 32 else 0.16
    m = 0.0 if size <= 32 else 0.02
    L.append((rounded_rect(m, m, 1 - m, 1 - m, tile_r),
              vertical("#2b6f86", "#123848", m, 1 - m), 1.0))

    # Wake rings around the foot of the cairn.
    water = flat("#8fe0ef")
    if small:
        L.append((ring(0.5, 0.79, 0.40, 0.095, max(0.07, 1.2 / size)), water, 1.0))
    else:
        foot_y = 0.78
        L.append((ring(0.5, foot_y, 0.42, 0.11, max(0.03, 1.3 / size)), water, 0.5))
        L.append((ring(0.5, foot_y, 0.31, 0.075, max(0.042, 1.25 / size)), water, 0.95))

    dark = flat("#1b2328")
    # Stones, bottom to top: (cx, cy, a, b, angle, top colour, bottom colour).
    if small:
        stones = [
            (0.50, 0.62, 0.34, 0.16, 0, "#ece6dc", "#aca393"),
            (0.47, 0.385, 0.245, 0.125, -7, "#f4efe7", "#b7ae9f"),
            (0.55, 0.175, 0.155, 0.10, 9, "#fdfbf7", "#c4bcae"),
        ]
    else:
        stones = [
            (0.50, 0.665, 0.30, 0.125, 0, "#e2dbcf", "#8f8677"),
            (0.475, 0.48, 0.225, 0.10, -7, "#ebe5da", "#9e9586"),
            (0.535, 0.32, 0.155, 0.083, 8, "#f3efe7", "#aca394"),
            (0.495, 0.19, 0.085, 0.055, -4, "#fbf9f4", "#bab2a4"),
        ]
        if medium:
            stones = stones[:3]
            stones[0] = (0.50, 0.655, 0.31, 0.135, 0, "#e2dbcf", "#8f8677")
            stones[1] = (0.47, 0.445, 0.235, 0.115, -7, "#ebe5da", "#9e9586")
            stones[2] = (0.545, 0.26, 0.16, 0.095, 9, "#f3efe7", "#aca394")

    for cx, cy, a, b, ang, top, bottom in stones:
        L.append((stone(cx, cy, a, b, ang, grow=line, flat_bottom=0.15), dark, 1.0))
        L.append((stone(cx, cy, a, b, ang, flat_bottom=0.15),
                  vertical(top, bottom, cy - b, cy + b), 1.0))
        if size >= 48:
            # A soft highlight along the upper face of each stone.
            L.append((stone(cx - a * 0.12, cy - b * 0.38, a * 0.55, b * 0.28, ang, p=2.2),
                      flat("#ffffff"), 0.35))

    if size >= 64:
        L.append((spark(0.80, 0.20, 0.085), flat("#ffb347"), 1.0))
    elif size >= 32:
        L.append((spark(0.80, 0.20, 0.11), flat("#ffb347"), 1.0))
    return L


# ---------------------------------------------------------------- raster

def render(size):
    """Premultiplied RGBA floats, composited layer by layer; each layer's
    coverage comes from an n x n grid of samples inside the pixel."""
    n = 8 if size <= 64 else 4
    offs = [(i + 0.5) / n for i in range(n)]
    px = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]
    for shape, paint, opacity in layers_for(size):
        x0, y0, x1, y1 = shape.box
        ix0 = max(0, int(math.floor(x0 * size)) - 1)
        iy0 = max(0, int(math.floor(y0 * size)) - 1)
        ix1 = min(size, int(math.ceil(x1 * size)) + 1)
        iy1 = min(size, int(math.ceil(y1 * size)) + 1)
        inside = shape.inside
        for iy in range(iy0, iy1):
            for ix in range(ix0, ix1):
                hits = 0
                for oy in offs:
                    sy = (iy + oy) / size
                    for ox in offs:
                        if inside((ix + ox) / size, sy):
                            hits += 1
                if not hits:
                    continue
                cov = hits / (n * n) * opacity
                r, g, b = paint((ix + 0.5) / size, (iy + 0.5) / size)
                d = px[iy * size + ix]
                k = 1.0 - cov
                d[0] = r * cov + d[0] * k
                d[1] = g * cov + d[1] * k
                d[2] = b * cov + d[2] * k
                d[3] = cov + d[3] * k
    return px


def to_rgba_bytes(px, size):
    rows = []
    for y in range(size):
        row = bytearray([0])  # filter type None
        for x in range(size):
            r, g, b, a = px[y * size + x]
            if a <= 0.0:
                row += b"\0\0\0\0"
                continue
            row += bytes((
                min(255, int(round(r / a * 255))),
                min(255, int(round(g / a * 255))),
                min(255, int(round(b / a * 255))),
                min(255, int(round(a * 255))),
            ))
        rows.append(bytes(row))
    return b"".join(rows)


def png_bytes(size, raw):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(images):
    """An icon file whose entries are all stored as PNG, 32 bits per pixel."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return head + entries + blobs


def main():
    images = []
    for size in SIZES:
        data = png_bytes(size, to_rgba_bytes(render(size), size))
        with open(os.path.join(HERE, "icon-%d.png" % size), "wb") as f:
            f.write(data)
        images.append((size, data))
    with open(os.path.join(RES, "setup.ico"), "wb") as f:
        f.write(ico_bytes(images))
    return 0


if __name__ == "__main__":
    sys.exit(main())
