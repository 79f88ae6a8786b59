#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Pillow's view of a WebP file, for tests/test_webp.cpp: the first frame as
an RGBA PNG, and the ICC profile and Exif block as files (empty when absent).

Usage: webp_pillow.py IN.webp OUT.png ICC_OUT EXIF_OUT"""
import sys

from PIL import Image

with Image.open(sys.argv[1]) as im:
    im.seek(0)
    im.convert('RGBA').save(sys.argv[2])
    with open(sys.argv[3], 'wb') as f:
        f.write(im.info.get('icc_profile') or b'')
    with open(sys.argv[4], 'wb') as f:
        f.write(im.info.get('exif') or b'')
