#!/usr/bin/env python3
"""Writes the seeds of the fuzz corpus for the classic files stb_image
refuses (fuzz/corpus/classic_*): RLE8, RLE4 and palette-before-pixels BMPs,
plain and 1-bit Netpbm, JPEGs with stray bytes or a wrong Exif length before
the scan, a GIF without a colour table, and damaged copies. Run from the repository root; the
files come from tests/classic_files.py (Pillow).

Each seed is the file followed by the fuzz target's 9-byte trailer (see
fuzz/fuzz_crop.cpp): the rectangle rule on 5x4 pixels at (1, 1), PNG
output, with the Exif orientation applied and metadata kept."""
import os, subprocess, sys, tempfile

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
