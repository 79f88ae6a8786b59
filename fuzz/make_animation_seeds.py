#!/usr/bin/env python3
"""Writes the fuzz seeds that reach the animation paths (fuzz/corpus/anim_*):
small animated GIFs (global and local tables, transparency, every disposal,
interlacing) and animated WebPs (lossy and lossless, with alpha), written by
Pillow, each followed by trailers that ask for every frame into GIF and WebP,
the first frame into GIF, and a still format (see fuzz/fuzz_crop.cpp). Run
from the repository root."""
import io, os

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
}

os.makedirs(CORPUS, exist_ok=True)
for name, data in SEEDS.items():
    for i, (rule, fmt, params, quality, bg, flags) in enumerate(TRAILERS):
        trailer = bytes([rule, fmt]) + bytes(params) + bytes([quality, bg, flags])
        with open(os.path.join(CORPUS, '%s_%d' % (name, i)), 'wb') as f:
            f.write(data + trailer)
