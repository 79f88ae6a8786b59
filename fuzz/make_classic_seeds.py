#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seeds of the fuzz corpus for the classic files stb_image
refuses (fuzz/corpus/classic_*): RLE8, RLE4 and palette-before-pixels BMPs,
plain and 1-bit Netpbm, JPEGs with stray bytes or a wrong Exif length before
the scan, a GIF without a colour table, CIELab and signed TIFFs, and damaged
copies. Run from the repository root; the
files come from tests/classic_files.py (Pillow).

Each seed is the file followed by the fuzz target's 9-byte trailer (see
fuzz/fuzz_crop.cpp): the rectangle rule on 5x4 pixels at (1, 1), PNG
output, with the Exif orientation applied and metadata kept."""
import os, struct, subprocess, sys, tempfile

CORPUS = 'fuzz/corpus'
TRAILER = bytes([0, 0, 1, 1, 5, 4, 0, 0x80, 2 | 4])
FILES = ['app1-short.jpg', 'app1-long.jpg', 'ff00-after-sof.jpg', 'stray-after-sof.jpg', 'rle8.bmp',
         'rle4.bmp', 'rle8-delta.bmp', 'rle8-delta-past.bmp', 'rle8-cut.bmp', 'rgb24pal.bmp',
         'rgb16-565pal.bmp', 'p1.pbm', 'p2.pgm', 'p3.ppm', 'p4.pbm', 'p3-short.ppm',
         'gif-no-table.gif']

with tempfile.TemporaryDirectory() as tmp:
    subprocess.run([sys.executable, 'tests/classic_files.py', tmp], check=True)
    for name in FILES:
        with open(os.path.join(tmp, name), 'rb') as f:
            data = f.read()
        seed = 'classic_' + name.replace('.', '_').replace('-', '_')
        with open(os.path.join(CORPUS, seed), 'wb') as f:
            f.write(data + TRAILER)


def tiff(w, h, bps, spp, photometric, data, sample_format=1):
    """An uncompressed little-endian TIFF of one strip."""
    tags = [(256, 4, [w]), (257, 4, [h]), (258, 3, [bps] * spp), (259, 3, [1]), (262, 3, [photometric]),
            (273, 4, [0]), (277, 3, [spp]), (278, 4, [h]), (279, 4, [len(data)]), (339, 3, [sample_format] * spp)]
    at = 8 + 2 + 12 * len(tags) + 4
    ifd, blob = struct.pack('<H', len(tags)), b''
    for tag, typ, vals in tags:
        raw = struct.pack('<%d%s' % (len(vals), 'H' if typ == 3 else 'I'), *vals)
        if len(raw) > 4:
            ifd += struct.pack('<HHII', tag, typ, len(vals), at + len(blob))
            blob += raw
        else:
            ifd += struct.pack('<HHI', tag, typ, len(vals)) + raw.ljust(4, b'\0')
    pixels_at = at + len(blob)
    ifd = ifd.replace(struct.pack('<HHII', 273, 4, 1, 0), struct.pack('<HHII', 273, 4, 1, pixels_at))
    return b'II*\0' + struct.pack('<I', 8) + ifd + b'\0' * 4 + blob + data


seeds = {
    'classic_tiff_int8_grey': tiff(8, 6, 8, 1, 1, bytes(range(0, 240, 5)), 2),
    'classic_tiff_int16_rgb': tiff(4, 3, 16, 3, 2, bytes(range(72)), 2),
    'classic_tiff_lab8': tiff(6, 4, 8, 3, 8, bytes(range(0, 216, 3))),
    'classic_tiff_lab16': tiff(3, 2, 16, 3, 8, bytes(range(36))),
}
for name, data in seeds.items():
    with open(os.path.join(CORPUS, name), 'wb') as f:
        f.write(data + TRAILER)
