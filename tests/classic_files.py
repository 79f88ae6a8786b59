#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Classic files stb_image refuses or misreads, for tests/test_classic.cpp:
JPEGs with stray bytes or a wrong segment length before the scan, RLE and
palette-before-pixels BMPs, plain and 1-bit Netpbm, low-depth grey PNGs with
a transparent level. Each good file comes with Pillow's decode of it as an
RGBA PNG (for the JPEGs, of the file before it was damaged; the PNGs are
their own reference, read by libpng).

Writes into DIR, with decode.txt ("FILE REFERENCE.png TOLERANCE" a line,
TOLERANCE 3: a mean difference of 3 allowed, else the largest difference) and refuse.txt ("FILE
STATUS MESSAGE" a line).

Usage: classic_files.py DIR"""
import io
import os
import struct
import sys
import zlib

from PIL import Image

OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)
decode, refuse = [], []


def put(name, data):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)


def good(name, data, ref=None, tol=0):
    put(name, data)
    if ref is None:
        with Image.open(os.path.join(OUT, name)) as im:
            ref = im.convert('RGBA')
    ref.save(os.path.join(OUT, name + '.png'))
    decode.append(f'{name} {name}.png {tol}')


def bad(name, data, status, message):
    put(name, data)
    refuse.append(f'{name} {status} {message}')


def picture(w, h, colours):
    """A w x h picture of palette indices with runs, literals and edges."""
    return [[(x // 3 + y) % colours if x < w // 2 else (x * 7 + y * 3) % colours for x in range(w)]
            for y in range(h)]


# ---------------------------------------------------------------- JPEG
def segments(d):
    p, out = 2, []
    while d[p + 1] != 0xDA:
        n = d[p + 2] << 8 | d[p + 3]
        out.append((d[p + 1], p, n))
        p += 2 + n
    return out


photo = Image.new('RGB', (48, 32))
photo.putdata([(x * 5, y * 7, (x + y) * 3) for y in range(32) for x in range(48)])
exif = Image.Exif()
exif[0x0112] = 6  # would turn the picture, were the segment trusted
buf = io.BytesIO()
photo.save(buf, 'JPEG', quality=92, exif=exif.tobytes(), comment=b'a comment')
jpg = bytearray(buf.getvalue())
put('clean.jpg', jpg)
with Image.open(io.BytesIO(jpg)) as im:
    clean = im.convert('RGBA')
seg = segments(jpg)
at = {m: (p, n) for m, p, n in reversed(seg)}
app1, sof = at[0xE1], at[0xC0]


def with_length(d, where, n):
    d = bytearray(d)
    d[where[0] + 2:where[0] + 4] = struct.pack('>H', n)
    return d


def inserted(d, p, b):
    return d[:p] + bytearray(b) + d[p:]


# The Exif segment's length 6 short: its last bytes become stray bytes.
good('app1-short.jpg', with_length(jpg, app1, app1[1] - 6), clean, 3)
# Its length 5 long: it swallows the start of the comment that follows.
good('app1-long.jpg', with_length(jpg, app1, app1[1] + 5), clean, 3)
# 0xFF 0x00 and stray bytes after the frame header, where stb_image stops.
after_sof = sof[0] + 2 + sof[1]
good('ff00-after-sof.jpg', inserted(jpg, after_sof, b'\xff\x00'), clean, 3)
good('stray-after-sof.jpg', inserted(jpg, after_sof, b'\x01\x02\x03'), clean, 3)
good('ff00-before-sof.jpg', inserted(jpg, sof[0], b'\xff\x00\xff\x00'), clean, 3)
# Damage in the scan data, or a length running off the end, is still refused.
bad('scan-cut.jpg', jpg[:-100], 'corrupt', 'expected marker')
bad('stray-and-cut.jpg', inserted(jpg, after_sof, b'\xff\x00')[:-100], 'corrupt',
    'expected marker')

# ---------------------------------------------------------------- BMP
PAL = [(0, 0, 0), (255, 255, 255), (200, 30, 40), (30, 160, 60), (20, 40, 220), (250, 200, 0),
       (120, 120, 120), (90, 0, 120), (0, 128, 128), (255, 128, 0), (40, 40, 40), (180, 180, 255),
       (10, 90, 10), (255, 0, 255), (128, 64, 0), (64, 200, 200)]


def bmp(w, h, bpp, compress, pixels, palette, extra=b''):
    pal = b''.join(bytes((b, g, r, 0)) for r, g, b in palette) + extra
    off = 14 + 40 + len(pal)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, bpp, compress, len(pixels), 2835, 2835,
                       len(palette), 0)
    return b'BM' + struct.pack('<IHHI', off + len(pixels), 0, 0, off) + info + pal + pixels


def rle(rows, four, w):
    """RLE8/RLE4 of bottom-up rows: runs of 3 or more, literals between."""
    out = bytearray()
    for row in rows:
        x = 0
        while x < w:
            n = 1
            while x + n < w and n < 255 and row[x + n] == row[x]:
                n += 1
            if four:  # a run alternates two indices: the same one twice
                if n >= 3:
                    out += bytes((n, row[x] << 4 | row[x]))
                    x += n
                    continue
            elif n >= 3:
                out += bytes((n, row[x]))
                x += n
                continue
            m = 1
            while x + m < w and m < 255 and not (x + m + 2 < w and row[x + m] == row[x + m + 1] == row[x + m + 2]):
                m += 1
            if four and m > 3 and m & 1:
                m -= 1  # Pillow drops the last of an odd RLE4 literal
            if m < 3:
                for i in range(m):
                    out += bytes((1, row[x + i] << 4 if four else row[x + i]))
            else:
                lit = row[x:x + m]
                if four:
                    lit = lit + [0] * (m & 1)
                    data = bytes(lit[i] << 4 | lit[i + 1] for i in range(0, m, 2))
                else:
                    data = bytes(lit)
                out += bytes((0, m)) + data + b'\0' * (len(data) & 1)
            x += m
        out += b'\0\0'
    return bytes(out[:-2]) + b'\0\1'  # the last end of line is the end of bitmap


W, H = 37, 11
for bpp, colours, name in ((8, 16, 'rle8.bmp'), (4, 16, 'rle4.bmp')):
    rows = picture(W, H, colours)[::-1]
    data = rle(rows, bpp == 4, W)
    good(name, bmp(W, H, bpp, 1 if bpp == 8 else 2, data, PAL))
    if bpp == 8:
        # Every kind of damage to the same stream.
        bad('rle8-run-past-row.bmp', bmp(W, H, 8, 1, bytes((W + 1, 2)) + data, PAL), 'corrupt',
            'RLE past the row')
        bad('rle8-delta-past.bmp', bmp(W, H, 8, 1, b'\0\2\5' + bytes((H,)) + bytes((4, 2)) + b'\0\1', PAL),
            'corrupt', 'RLE past the picture')
        bad('rle8-cut.bmp', bmp(W, H, 8, 1, data[:len(data) // 2], PAL), 'corrupt', 'truncated')
        top = bytearray(bmp(W, H, 8, 1, data, PAL))
        top[22:26] = struct.pack('<i', -H)
        bad('rle8-top-down.bmp', bytes(top), 'corrupt', 'top-down RLE')
        over = bytearray(bmp(W, H, 8, 1, data, PAL))
        over[18:22] = struct.pack('<i', 40000)
        bad('rle8-too-large.bmp', bytes(over), 'too_large', 'image too large: 40000x11')

# Delta and early end-of-line leave pixels unset: transparent black.
stream = bytes((4, 2)) + b'\0\0' + b'\0\2\3\1' + bytes((2, 3)) + b'\0\0' + bytes((5, 4)) + b'\0\1'
put('rle8-delta.bmp', bmp(6, 4, 8, 1, stream, PAL))
want = Image.new('RGBA', (6, 4), (0, 0, 0, 0))
for x in range(4):
    want.putpixel((x, 3), PAL[2] + (255,))
for x in range(3, 5):
    want.putpixel((x, 1), PAL[3] + (255,))
for x in range(5):
    want.putpixel((x, 0), PAL[4] + (255,))
want.save(os.path.join(OUT, 'rle8-delta.bmp.png'))
decode.append('rle8-delta.bmp rle8-delta.bmp.png 0')

# Direct colour with a palette before the pixels.
rgb = Image.new('RGB', (W, H))
rgb.putdata([PAL[v] for row in picture(W, H, 16) for v in row])
for bpp in (24, 32):
    b = io.BytesIO()
    rgb.save(b, 'BMP') if bpp == 24 else rgb.convert('RGBA').save(b, 'BMP')
    plain = b.getvalue()
    off = struct.unpack('<I', plain[10:14])[0]
    pixels = plain[off:]
    good(f'rgb{bpp}pal.bmp', bmp(W, H, bpp, 0, pixels, PAL[:4]), rgb.convert('RGBA'))
# 16 bits 5-6-5 (bit fields) with a palette after the masks.
px16 = bytearray()
for row in reversed(picture(W, H, 16)):
    for v in row:
        r, g, b = PAL[v]
        px16 += struct.pack('<H', (r >> 3) << 11 | (g >> 2) << 5 | b >> 3)
    px16 += b'\0' * ((-2 * W) % 4)
masks = struct.pack('<III', 0xF800, 0x07E0, 0x001F)
f16 = bytearray(bmp(W, H, 16, 3, bytes(px16), [], masks + b''.join(bytes((b, g, r, 0)) for r, g, b in PAL[:4])))
# stb_image widens 5 and 6 bits by repeating them, Pillow by rounding: 1 apart.
good('rgb16-565pal.bmp', bytes(f16), tol=1)

# ---------------------------------------------------------------- Netpbm
grey = picture(W, H, 16)


def tokens(values, per_line):
    lines = [' '.join(str(v) for v in values[i:i + per_line]) for i in range(0, len(values), per_line)]
    return '\n'.join(lines)


bits = [v & 1 for row in grey for v in row]
good('p1.pbm', (f'P1\n# a comment\n{W} {H}\n' + ''.join(str(b) for b in bits) + '\n').encode())
p2 = [v * 17 for row in grey for v in row]
good('p2.pgm', (f'P2 # comments anywhere\n{W}\n# here too\n{H} 255\n' + tokens(p2, 17) + '\n').encode())
p3 = [c for row in grey for v in row for c in PAL[v]]
good('p3.ppm', (f'P3\n{W} {H}\n255\n' + tokens(p3, 20) + '\n').encode())
p3w = [min(65535, c * 257 + (c & 7)) for c in p3]
good('p3-16bit.ppm', (f'P3\n{W} {H}\n65535\n' + tokens(p3w, 20) + '\n').encode(), tol=1)
im1 = Image.new('1', (W, H))
im1.putdata([255 * (1 - b) for b in bits])
b = io.BytesIO()
im1.save(b, 'PPM')
good('p4.pbm', b.getvalue())
bad('p3-short.ppm', (f'P3\n{W} {H}\n255\n' + tokens(p3[:-4], 20) + '\n').encode(), 'corrupt',
    'too few samples')
bad('p3-over-maxval.ppm', (f'P3\n2 1\n100\n1 2 3 4 5 101\n').encode(), 'corrupt', 'sample above maxval')
bad('p2-cut.pgm', (f'P2\n{W} {H}\n255\n1 2 3\n').encode(), 'corrupt', 'truncated')
bad('p4-too-large.pbm', b'P4\n40000 1\n' + b'\0' * 5000, 'too_large', 'image too large: 40000x1')

# ---------------------------------------------------------------- GIF
def lzw(indices, min_size, full_table_kept):
    """GIF LZW data in sub-blocks; with full_table_kept no clear code follows
    a full table (the writer fault browsers read past)."""
    clear = 1 << min_size
    codes = []

    def reset():
        return {(i,): i for i in range(clear)}, clear + 2, min_size + 1
    table, nxt, size = reset()
    codes.append((clear, size))
    w = ()
    for k in indices:
        if w + (k,) in table:
            w += (k,)
            continue
        while nxt - 1 >= 1 << size and size < 12:
            size += 1
        codes.append((table[w], size))
        if nxt < 4096:
            table[w + (k,)] = nxt
            nxt += 1
        elif not full_table_kept:
            codes.append((clear, size))
            table, nxt, size = reset()
        w = (k,)
    while nxt - 1 >= 1 << size and size < 12:
        size += 1
    codes += [(table[w], size), (clear + 1, size)]
    acc = nbits = 0
    data = bytearray()
    for code, n in codes:
        acc |= code << nbits
        nbits += n
        while nbits >= 8:
            data.append(acc & 255)
            acc >>= 8
            nbits -= 8
    if nbits:
        data.append(acc)
    blocks = b''.join(bytes((len(data[i:i + 255]),)) + data[i:i + 255] for i in range(0, len(data), 255))
    return bytes((min_size,)) + blocks + b'\0'


def gif(w, h, indices, palette=None):
    flags = 0x80 | 7 if palette else 0
    table = b''.join(bytes(c) for c in palette) if palette else b''
    return (b'GIF89a' + struct.pack('<HHBBB', w, h, flags, 0, 0) + table +
            b'\x2c' + struct.pack('<HHHHB', 0, 0, w, h, 0) + indices + b'\x3b')


noise = [(x * 7 + y * 13 + (x * y) % 11) % 64 for y in range(H) for x in range(W)]
good('gif-no-table.gif', gif(W, H, lzw(noise, 6, False)))
# A frame that ends in a code the table does not hold yet.
bad('gif-no-table-bad-code.gif', gif(W, H, bytes((6, 2, 0x40, 0xff, 0)) + b''), 'corrupt', 'illegal code in raster')
rnd = [(x * 2654435761 ^ y * 40503) >> 5 & 255 for y in range(128) for x in range(128)]
ramp = [(i, 255 - i, (i * 3) & 255) for i in range(256)]
good('gif-full-table.gif', gif(128, 128, lzw(rnd, 8, True), ramp))

# ---------------------------------------------------------------- PNG
# Grey of 1, 2 and 4 bits whose tRNS names level 1. (Pillow 9.4 leaves such
# files opaque, so libpng, in the test, is their reference.)
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


for depth in (1, 2, 4):
    rows = b''
    for row in grey:
        bits = ''.join(format(v % (1 << depth), f'0{depth}b') for v in row)
        bits += '0' * (-len(bits) % 8)
        rows += b'\0' + int(bits, 2).to_bytes(len(bits) // 8, 'big')
    put(f'grey{depth}-trns.png', b'\x89PNG\r\n\x1a\n' +
        chunk(b'IHDR', struct.pack('>IIBBBBB', W, H, depth, 0, 0, 0, 0)) + chunk(b'tRNS', b'\0\1') +
        chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))
    decode.append(f'grey{depth}-trns.png grey{depth}-trns.png 0')

with open(os.path.join(OUT, 'decode.txt'), 'w') as f:
    f.write('\n'.join(decode) + '\n')
with open(os.path.join(OUT, 'refuse.txt'), 'w') as f:
    f.write('\n'.join(refuse) + '\n')
