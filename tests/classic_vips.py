#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""libvips as a second reader of the classic files (tests/classic_files.py's,
and tests/tiff_files.py's CIELab and signed-sample TIFFs): each file is
cropped whole to PNG by the program and converted to PNG by `vips copy`,
and the two are compared as RGBA with Pillow. Prints a table (file, whether
vips reads it, largest and mean difference, verdict) and fails when a file
that vips reads differs beyond its tolerance and is not listed in DIFFERENT
below with the reason. Damaged files (refuse.txt) are listed with whether
vips refuses them too; that never fails.

Usage: classic_vips.py TRIMLET CLASSIC_DIR [TIFF_DIR]
(CTest runs it where `vips` is installed, after the files are written.)"""
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

TRIMLET, CLASSIC = sys.argv[1], sys.argv[2]
TIFF = sys.argv[3] if len(sys.argv) > 3 else None

# Where libvips reads a file otherwise, and why the program keeps its own reading.
DIFFERENT = {
    'rle8-delta.bmp': 'pixels the RLE stream leaves unset: transparent black in trimlet (as the BMP '
                      'suite expects), opaque black in vips (its BMP loader is ImageMagick\'s)',
    'p1.pbm': 'vips 8.14 reads P1 digits written without spaces between them (the format allows '
              'that) as one number; ImageMagick and Pillow read them as trimlet does',
    'gif-no-table.gif': 'a GIF without a colour table: black in vips 8.14 (libnsgif), a grey ramp '
                        'in trimlet',
    'lab8.tif': 'CIELab to sRGB: vips through its own colour maths (D65 white), trimlet through '
                'libtiff\'s conversion with the D50 white that tiff2rgba uses',
    'lab16.tif': 'as lab8.tif',
    'int8_grey.tif': 'vips casts signed samples to 8 bits by clamping (negatives black); '
                     'trimlet offsets them by half their range',
    'int16_rgb.tif': 'vips casts signed samples to 8 bits by clamping; trimlet offsets them',
}
# Allowed differences: mean 3 where the decoders' arithmetic may differ
# (JPEG's IDCT and upsampling, CIELab's conversion), else the largest one.
MEAN3 = ('.jpg', 'lab8.tif', 'lab16.tif')
LARGEST = {'rgb16-565pal.bmp': 1, 'p3-16bit.ppm': 1}


def rgba(path):
    with Image.open(path) as im:
        return im.convert('RGBA')


def diff(a, b):
    pa, pb = a.tobytes(), b.tobytes()
    d = [abs(x - y) for x, y in zip(pa, pb)]
    return max(d), sum(d) / len(d)


def listed(path):
    with open(path) as f:
        return [line.split()[0] for line in f if line.strip()]


work = tempfile.mkdtemp(prefix='trimlet-vips-')
failed = []
try:
    good = [os.path.join(CLASSIC, n) for n in listed(os.path.join(CLASSIC, 'decode.txt'))]
    if TIFF is not None:
        good += [os.path.join(TIFF, n) for n in ('lab8.tif', 'lab16.tif', 'int8_grey.tif', 'int16_rgb.tif')
                 if os.path.exists(os.path.join(TIFF, n))]
    print('| file | vips reads it | largest difference | mean difference | verdict |')
    print('|---|---|--:|--:|---|')
    for path in good:
        name = os.path.basename(path)
        ours, theirs = os.path.join(work, name + '.t.png'), os.path.join(work, name + '.v.png')
        t = subprocess.run([TRIMLET, 'rect', '0', '0', '100000', '100000', path, '-o', ours, '--as-stored',
                            '--strip'], capture_output=True, text=True)
        if t.returncode != 0:
            failed.append(name)
            print('| %s | - | - | - | trimlet refused it: %s |' % (name, t.stderr.strip()))
            continue
        v = subprocess.run(['vips', 'copy', path, theirs], capture_output=True, text=True)
        if v.returncode != 0:
            reason = (v.stderr.strip().splitlines() or ['refused'])[0]
            print('| %s | no | - | - | vips refuses it (%s) |' % (name, reason.replace('|', '/')))
            continue
        a, b = rgba(ours), rgba(theirs)
        if a.size != b.size:
            failed.append(name)
            print('| %s | yes | - | - | sizes differ: %s and %s |' % (name, a.size, b.size))
            continue
        largest, mean = diff(a, b)
        if name.endswith(MEAN3):
            same = mean <= 3
        else:
            same = largest <= LARGEST.get(name, 0)
        if same:
            verdict = 'same' if largest == 0 else 'within tolerance'
        elif name in DIFFERENT:
            verdict = 'differs, as expected: ' + DIFFERENT[name]
        else:
            verdict = 'DIFFERS'
            failed.append(name)
        print('| %s | yes | %d | %.2f | %s |' % (name, largest, mean, verdict))
    print()
    print('| damaged file | vips |')
    print('|---|---|')
    for name in listed(os.path.join(CLASSIC, 'refuse.txt')):
        v = subprocess.run(['vips', 'copy', os.path.join(CLASSIC, name), os.path.join(work, name + '.v.png')],
                           capture_output=True, text=True)
        print('| %s | %s |' % (name, 'refuses it' if v.returncode != 0 else 'reads it'))
finally:
    shutil.rmtree(work)
if failed:
    sys.exit('classic_vips.py: trimlet and vips differ on: ' + ' '.join(failed))
