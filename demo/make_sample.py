#!/usr/bin/env python3
"""Draws demo/sample.png, the picture the demo crops (Python standard library only).

A 320x200 RGBA picture: an opaque paper-coloured border around an
off-centre card (sky, sun, hills) with a round see-through window, so that
each crop rule has something to show: the border for `auto`, the off-centre
subject for `aspect` and `edges`, transparency kept by PNG output.
Run from anywhere: python3 demo/make_sample.py
"""
import math
import os
import struct
import zlib

W, H = 320, 200
PAPER = (240, 233, 218)
CARD = (150, 30, 294, 152)  # left, top, right, bottom (inclusive)
RADIUS = 12
SUN = (190, 68, 17)
WINDOW = (258, 74, 22, 13)  # centre x, y, outer radius, fully clear radius
SS = 4  # samples per pixel side, for smooth edges


def inside_card(x, y):
    l, t, r, b = CARD
    if not (l <= x <= r + 1 and t <= y <= b + 1):
        return False
    cx = min(max(x, l + RADIUS), r + 1 - RADIUS)
    cy = min(max(y, t + RADIUS), b + 1 - RADIUS)
    return (x - cx) ** 2 + (y - cy) ** 2 <= RADIUS ** 2


def card_colour(x, y):
    l, t, r, b = CARD
    hill = b - 28 + 8 * math.sin((x - l) / 17.0) + 5 * math.sin((x - l) / 7.0)
    if y >= hill:
        return (70, 140, 75) if y < hill + 3 else (95, 165, 85)
    sx, sy, sr = SUN
    if (x - sx) ** 2 + (y - sy) ** 2 <= sr * sr:
        return (250, 200, 60)
    k = (y - t) / float(b - t)
    return (int(90 + 90 * k), int(160 + 60 * k), int(225 + 20 * k))


def pixel(px, py):
    acc = [0.0, 0.0, 0.0, 0.0]
    for j in range(SS):
        for i in range(SS):
            x = px + (i + 0.5) / SS
            y = py + (j + 0.5) / SS
            if inside_card(x, y):
                c = card_colour(x, y)
                wx, wy, wr, wc = WINDOW
                d = math.hypot(x - wx, y - wy)
                a = 1.0 if d >= wr else max(0.0, (d - wc) / (wr - wc))
            else:
                c, a = PAPER, 1.0
            for k in range(3):
                acc[k] += c[k] * a
            acc[3] += a
    n = SS * SS
    if acc[3] == 0:
        return (0, 0, 0, 0)
    return tuple(int(round(acc[k] / acc[3])) for k in range(3)) + (int(round(255 * acc[3] / n)),)


def png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


rows = [[pixel(x, y) for x in range(W)] for y in range(H)]
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.png")
with open(out, "wb") as f:
    f.write(png(W, H, rows))
print(out, os.path.getsize(out), "bytes")
