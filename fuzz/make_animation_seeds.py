#!/usr/bin/env python3
"""Writes the fuzz seeds that reach the animation paths (fuzz/corpus/anim_*):
small animated GIFs (global and local tables, transparency, every disposal,
interlacing; without a colour table, past a full LZW table, at LZW code
size 1) and animated WebPs (lossy and lossless, with alpha), written by
Pillow, each followed by trailers that ask for every frame into GIF and WebP,
the first frame into GIF, and a still format (see fuzz/fuzz_crop.cpp). Run
from the repository root."""
import io, os, struct

from PIL import Image

CORPUS = 'fuzz/corpus'


def frames(n, w, h, mode):
    out = []
    for i in range(n):
        im = Image.new(mode, (w, h), (255, 255, 255, 0) if mode == 'RGBA' else (255, 255, 255))
        for y in range(h):
            for x in range(w):
                if (x - 3 * i) % 7 < 3 and y % 5 < 4:
                    im.putpixel((x, y), (40 * i % 256, x * 9 % 256, y * 13 % 256, 255)[:len(mode)])
        out.append(im)
    return out


def gif(interlace, disposal, transparency):
    buf = io.BytesIO()
    f = [im.convert('P', palette=Image.ADAPTIVE, colors=16 + 8 * i) for i, im in enumerate(frames(4, 23, 17, 'RGB'))]
    extra = {} if transparency is None else {'transparency': transparency}
    f[0].save(buf, 'GIF', save_all=True, append_images=f[1:], duration=[30, 0, 70, 20], loop=2,
              disposal=disposal, interlace=interlace, optimize=False, **extra)
    return buf.getvalue()


def webp(lossless):
    buf = io.BytesIO()
    f = frames(3, 21, 15, 'RGBA')
    f[0].save(buf, 'WEBP', save_all=True, append_images=f[1:], duration=[40, 90, 10], loop=0,
              lossless=lossless, quality=70)
    return buf.getvalue()


def lzw(px, min_size, keep_full):
    """GIF LZW data of px in sub-blocks; with keep_full no clear code follows
    a full table (the writer fault readers take)."""
    clear = 1 << min_size
    table, nxt, size, codes = {}, clear + 2, min_size + 1, []

    def put(code):
        nonlocal size
        if nxt - 1 >= 1 << size and size < 12:
            size += 1
        codes.append((code, size))
    put(clear)
    w = px[0]
    for k in px[1:]:
        if (w, k) in table:
            w = table[(w, k)]
            continue
        put(w)
        if nxt < 4096:
            table[(w, k)] = nxt
            nxt += 1
        elif not keep_full:
            put(clear)
            table, nxt, size = {}, clear + 2, min_size + 1
        w = k
    put(w)
    nxt += 1
    put(clear + 1)
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


def raw_gif(w, h, min_size, keep_full):
    """Two frames with no colour table at all (read as a grey ramp), the
    second smaller and offset; noise, so that a table at code size 4 fills."""
    out = b'GIF89a' + struct.pack('<HHBBB', w, h, 0, 0, 0)
    for i, (x, y, fw, fh) in enumerate([(0, 0, w, h), (3, 2, w // 2, h // 2)]):
        px = [((c * 2654435761) ^ (r + i) * 40503) >> 7 & ((1 << min_size) - 1) for r in range(fh) for c in range(fw)]
        out += b'\x21\xf9\x04\x00\x05\x00\x00\x00' + b'\x2c' + struct.pack('<HHHHB', x, y, fw, fh, 0)
        out += lzw(px, min_size, keep_full)
    return out + b'\x3b'


# rule, format (6 webp, 4 none), params, quality, background, flags (64 every
# frame, 128 GIF output, 1 lossless)
TRAILERS = [
    (0, 4, (2, 3, 12, 9), 0, 0x80, 64 | 128),   # rect, every frame, to GIF
    (2, 6, (0, 0, 0, 0), 0, 0x80, 64),          # auto, every frame, to WebP
    (1, 6, (1, 0, 0, 0), 50, 0x80, 64 | 1),     # aspect 4:3, lossless WebP
    (4, 0, (1, 2, 0, 0), 0, 0x80, 64),          # ratio, every frame, to PNG: refused
    (3, 4, (10, 5, 0, 20), 0, 0x80, 128),       # edges, first frame, to GIF
]

SEEDS = {
    'anim_gif_plain': gif(False, 0, None),
    'anim_gif_disposals': gif(True, [1, 2, 3, 2], 0),
    'anim_webp_lossy': webp(False),
    'anim_webp_lossless': webp(True),
    'anim_gif_no_table': raw_gif(23, 17, 3, False),
    'anim_gif_full_table_kept': raw_gif(200, 150, 4, True),
    'anim_gif_code_size_1': raw_gif(20, 9, 1, False),
}

os.makedirs(CORPUS, exist_ok=True)
for name, data in SEEDS.items():
    for i, (rule, fmt, params, quality, bg, flags) in enumerate(TRAILERS):
        trailer = bytes([rule, fmt]) + bytes(params) + bytes([quality, bg, flags])
        with open(os.path.join(CORPUS, '%s_%d' % (name, i)), 'wb') as f:
            f.write(data + trailer)
