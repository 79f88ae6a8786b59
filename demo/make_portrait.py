#!/usr/bin/env python3
"""Draws demo/portrait.png, a phone-style portrait, and crops it with the
library as stored and upright (Python standard library only).

A phone held upright stores its picture sideways and says so in the EXIF
Orientation tag: here 6, "turn 90 degrees clockwise to show". portrait.png
holds 160x120 stored pixels with an eXIf chunk saying 6; a viewer shows it
120x160: a red kite at the top left, the sun at the top right, a tree on a
hill.

With the built library given (its path), the script crops portrait.png
through trimlet_crop_file, twice each way (options.orient TRIMLET_AS_STORED
and TRIMLET_APPLY_EXIF): the whole picture, and the 60x60 rectangle at
(0, 0), into portrait-<stored|upright>.png and portrait-rect-<...>.png
beside it (or in --out DIR).

Run: python3 demo/make_portrait.py build/libtrimlet.so [--out DIR]
"""
import ctypes
import os
import struct
import sys
import zlib

UW, UH = 120, 160  # upright size; stored is UH x UW
SS = 3  # samples per pixel side, for smooth edges


def upright_colour(x, y):
    """The upright picture's colour at (x, y), in pixels from the top left."""
    if 10 <= x <= 50 and 10 <= y <= 50 and abs((x - 30)) + abs((y - 30)) <= 20:
        return (215, 35, 40)  # kite
    if 30 <= x <= 31 and 50 < y < 80 and (y // 4) % 2 == 0:
        return (90, 90, 90)  # kite's tail
    if (x - 95) ** 2 + (y - 25) ** 2 <= 14 ** 2:
        return (250, 200, 60)  # sun
    hill = 118 + 10 * ((x - 60) / 60.0) ** 2
    if y >= hill:
        return (80, 150, 80) if y < hill + 3 else (100, 170, 90)
    if 56 <= x <= 64 and 95 <= y:
        return (110, 75, 45)  # trunk
    if (x - 60) ** 2 + (y - 85) ** 2 <= 20 ** 2:
        return (45, 120, 60)  # crown
    k = y / float(UH)
    return (int(100 + 90 * k), int(165 + 60 * k), int(230 + 20 * k))


def upright_pixel(px, py):
    acc = [0, 0, 0]
    for j in range(SS):
        for i in range(SS):
            c = upright_colour(px + (i + 0.5) / SS, py + (j + 0.5) / SS)
            for k in range(3):
                acc[k] += c[k]
    return tuple(int(round(a / (SS * SS))) for a in acc)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, rows, extra=b""):
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + extra + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def exif_orientation(value):
    """A big-endian Exif block whose IFD0 holds Orientation (SHORT) alone."""
    return (b"MM\0*" + struct.pack(">I", 8) + struct.pack(">H", 1)
            + struct.pack(">HHIHH", 0x0112, 3, 1, value, 0) + struct.pack(">I", 0))


class Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("format", ctypes.c_char_p), ("quality", ctypes.c_int),
                ("background", ctypes.c_void_p), ("lossless", ctypes.c_int), ("orient", ctypes.c_int),
                ("metadata", ctypes.c_int)]


def crop(lib, src, dst, rule, params, orient):
    opts = Options(ctypes.sizeof(Options), None, 0, None, 0, orient, 0)
    err = ctypes.create_string_buffer(512)
    p = (ctypes.c_int * 4)(*params)
    if not lib.trimlet_crop_file(src.encode(), dst.encode(), rule, p, ctypes.byref(opts), err):
        sys.exit("%s: %s" % (dst, err.value.decode()))
    print(dst, os.path.getsize(dst), "bytes")


def main():
    args = sys.argv[1:]
    here = os.path.dirname(os.path.abspath(__file__))
    out = here
    if "--out" in args:
        i = args.index("--out")
        out = args[i + 1]
        del args[i:i + 2]
    # Stored pixel (sx, sy) of an Orientation 6 picture is upright pixel
    # (UW - 1 - sy, sx): the stored picture is the upright one turned a
    # quarter anticlockwise.
    up = [[upright_pixel(x, y) for x in range(UW)] for y in range(UH)]
    stored = [[up[sx][UW - 1 - sy] for sx in range(UH)] for sy in range(UW)]
    src = os.path.join(here, "portrait.png")
    with open(src, "wb") as f:
        f.write(png(UH, UW, stored, chunk(b"eXIf", exif_orientation(6))))
    print(src, os.path.getsize(src), "bytes")
    if not args:
        return
    lib = ctypes.CDLL(args[0])
    os.makedirs(out, exist_ok=True)
    for name, orient in (("stored", 0), ("upright", 1)):
        crop(lib, src, os.path.join(out, "portrait-%s.png" % name), 3, (0, 0, 0, 0), orient)
        crop(lib, src, os.path.join(out, "portrait-rect-%s.png" % name), 0, (0, 0, 60, 60), orient)


if __name__ == "__main__":
    main()
