#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the PNG seeds of the fuzz corpus (fuzz/corpus/png_*): every colour
type and bit depth, interlaced or not, with and without tRNS, each row with
another filter type, and copies whose image data is damaged below the
rectangle the trailer asks for. Run from the repository root.

Each seed is a PNG followed by the fuzz target's 9-byte trailer (see
fuzz/fuzz_crop.cpp): the rectangle rule on the top-left 6x4 pixels, PNG
output."""
import os, struct, zlib

CORPUS = 'fuzz/corpus'
DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
PASSES = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
TRAILER = bytes([0, 0, 0, 0, 6, 4, 0, 0x80, 0])


def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)


def channels(color):
    return 1 if color == 3 else (3 if color & 2 else 1) + (1 if color & 4 else 0)


def sample(x, y, c, depth):
    if (x + y) % 7 == 0:
        return 1
    return ((x * 37 + y * 101 + c * 59) * 2654435761 >> 7) & ((1 << depth) - 1)


def rows(color, depth, xs, ys):
    out = b''
    ch = channels(color)
    bpp = max(1, ch * depth // 8)
    prev = None
    for y in ys:
        bits = []
        for x in xs:
            for c in range(ch):
                v = sample(x, y, c, depth)
                bits.append(format(v, '0%db' % depth))
        s = ''.join(bits)
        s += '0' * (-len(s) % 8)
        cur = bytes(int(s[i:i + 8], 2) for i in range(0, len(s), 8))
        f = y % 5
        line = bytearray()
        for i, v in enumerate(cur):
            a = cur[i - bpp] if i >= bpp else 0
            b = prev[i] if prev else 0
            cc = prev[i - bpp] if prev and i >= bpp else 0
            p = a + b - cc
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - cc)
            pred = (0, a, b, (a + b) // 2, a if pa <= pb and pa <= pc else (b if pb <= pc else cc))[f]
            line.append((v - pred) & 255)
        out += bytes([f]) + bytes(line)
        prev = cur
    return out


def png(w, h, color, depth, interlace, trns, damage=False):
    head = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, depth, color, 0, 0, interlace))
    if color == 3:
        n = 1 << depth
        head += chunk(b'PLTE', b''.join(bytes([i * 40 & 255, 255 - i * 7 & 255, i * i & 255]) for i in range(n)))
        if trns:
            head += chunk(b'tRNS', bytes(i * 50 & 255 for i in range((n + 1) // 2)))
    elif trns:
        head += chunk(b'tRNS', b'\0\1' * channels(color))
    if interlace:
        raw = b''
        for x0, y0, dx, dy in PASSES:
            xs, ys = list(range(x0, w, dx)), list(range(y0, h, dy))
            if xs and ys:
                raw += rows(color, depth, xs, ys)
    else:
        raw = rows(color, depth, list(range(w)), list(range(h)))
    if damage:
        # The last row's filter byte names no filter: rows far below the
        # rectangle are damaged.
        last = (w * channels(color) * depth + 7) // 8 + 1
        raw = raw[:-last] + b'\x07' + raw[-last + 1:]
    return head + chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b'')


def main():
    os.makedirs(CORPUS, exist_ok=True)
    for color, depths in DEPTHS.items():
        for depth in depths:
            for interlace in (0, 1):
                for trns in (0, 1):
                    if trns and color & 4:
                        continue
                    name = 'png_c%d_d%d_i%d_t%d' % (color, depth, interlace, trns)
                    with open(os.path.join(CORPUS, name), 'wb') as f:
                        f.write(png(13, 11, color, depth, interlace, trns) + TRAILER)
                    if not trns:
                        with open(os.path.join(CORPUS, name + '_damaged_below'), 'wb') as f:
                            f.write(png(13, 40, color, depth, interlace, 0, damage=True) + TRAILER)


if __name__ == '__main__':
    main()
