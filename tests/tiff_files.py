#!/usr/bin/env python3
"""Writes the TIFF files test_tiff reads, and what each must decode to.

usage: tiff_files.py DIR

Files come from Pillow (every mode and compression it writes), from tiffcp
(restripped, tiled, planes separate, YCbCr JPEG) and, for what neither
writes, from a small writer here (min-is-white, associated alpha, 4-bit,
16-bit RGB, YCbCr JPEG old-style and new-style, hostile headers). DIR/decode.txt lists "file expected" pairs:
expected is w and h (little-endian 32-bit) and the RGBA bytes, from Pillow's
decode of the very file where Pillow reads it, with trimlet's conversions
(16-bit samples by the high byte, CMYK as (255 - C) * (255 - K) / 255
rounded, associated alpha divided out rounded) applied to Pillow's samples.
DIR/orient.txt lists "file expected" for Orientation 2..8, expected upright
(Pillow's turns). DIR/hostile.txt lists "file class text": the
status a crop must fail with and a piece of its message.
"""
import io, os, struct, subprocess, sys

from PIL import Image

OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)
W, H = 67, 45  # odd sizes: partial strips and tiles on both edges


def path(name):
    return os.path.join(OUT, name)


def source(mode):
    """A picture in mode whose every channel varies along both axes."""
    im = Image.new('RGBA', (W, H))
    im.putdata([((x * 7 + y) & 255, (y * 5 + x * 3) & 255, (x * y) & 255, 255 - ((x + 2 * y) & 127))
                for y in range(H) for x in range(W)])
    if mode == 'RGBA':
        return im
    if mode == 'P':
        return im.convert('RGB').quantize(37)
    if mode == 'I;16':
        g = Image.new('I;16', (W, H))
        g.putdata([(x * 977 + y * 1361) & 0xFFFF for y in range(H) for x in range(W)])
        return g
    if mode == 'CMYK':
        c = Image.new('CMYK', (W, H))
        c.putdata([((x * 7) & 255, (y * 5) & 255, (x * y) & 255, (x + y * 3) & 255)
                   for y in range(H) for x in range(W)])
        return c
    return im.convert(mode)


def rgba_of(im):
    """Pillow's decode of im as trimlet's RGBA."""
    im.load()
    m = im.mode
    if m.startswith('I;16') or m == 'I':
        return [(v >> 8,) * 3 + (255,) for v in im.getdata()]
    if m == 'CMYK':
        return [tuple(((255 - p[i]) * (255 - p[3]) + 127) // 255 for i in range(3)) + (255,)
                for p in im.getdata()]
    if m == 'RGBa':
        return [unpremultiply(p) for p in im.getdata()]
    return list(im.convert('RGBA').getdata())


def unpremultiply(p):
    a = p[3]
    if a == 255:
        return p
    return tuple(0 if a == 0 else min(255, (c * 255 + a // 2) // a) for c in p[:3]) + (a,)


def save_expected(name, w, h, pixels):
    with open(path(name + '.rgba'), 'wb') as f:
        f.write(struct.pack('<ii', w, h) + bytes(v for p in pixels for v in p))
    return name + '.rgba'


def tiffcp(src, dst, *args):
    subprocess.run(['tiffcp', *args, path(src), path(dst)], check=True)


decode = []


def expect(name, pixels=None, w=W, h=H):
    """Lists name with Pillow's decode of it, or with pixels when Pillow
    does not read the file."""
    if pixels is None:
        with Image.open(path(name)) as im:
            w, h = im.size
            pixels = rgba_of(im)
    decode.append((name, save_expected(name, w, h, pixels)))


# Pillow's own writer, every mode and compression, then restripped and tiled.
MODES = {'1': '1', 'L': 'l', 'LA': 'la', 'I;16': 'i16', 'RGB': 'rgb', 'RGBA': 'rgba', 'P': 'p',
         'CMYK': 'cmyk'}
COMPRESSIONS = ['raw', 'tiff_lzw', 'tiff_adobe_deflate', 'packbits', 'jpeg', 'group4']
for mode, short in MODES.items():
    for comp in COMPRESSIONS:
        if comp == 'jpeg' and mode not in ('L', 'RGB', 'CMYK'):
            continue
        if comp == 'group4' and mode != '1':
            continue
        name = '%s_%s.tif' % (short, comp)
        source(mode).save(path(name), compression=None if comp == 'raw' else comp)
        expect(name)
        rows = '16' if comp == 'jpeg' else '7'  # JPEG strips are whole blocks high
        tiffcp(name, 'strips_' + name, '-r', rows)
        expect('strips_' + name)
        tiffcp(name, 'tiled_' + name, '-t', '-w', '16', '-l', '32')
        expect('tiled_' + name)

# Planes stored one after the other, in strips and in tiles.
for src in ('rgba_tiff_lzw.tif', 'rgb_raw.tif', 'cmyk_tiff_adobe_deflate.tif'):
    tiffcp(src, 'planar_' + src, '-p', 'separate', '-r', '5')
    expect('planar_' + src)
    tiffcp(src, 'planar_tiled_' + src, '-p', 'separate', '-t', '-w', '32', '-l', '16')
    expect('planar_tiled_' + src)

# Bits filled from the least significant end (FillOrder 2).
for src in ('1_raw.tif', 'rgb_tiff_lzw.tif'):
    tiffcp(src, 'lsb_' + src, '-f', 'lsb2msb')
    expect('lsb_' + src)

# BigTIFF.
tiffcp('tiled_rgba_tiff_lzw.tif', 'big_tiled_rgba_tiff_lzw.tif', '-8')
expect('big_tiled_rgba_tiff_lzw.tif')

# JPEG in YCbCr, 2x2 subsampled (tiffcp's choice for colour JPEG).
tiffcp('rgb_raw.tif', 'ycbcr_jpeg.tif', '-c', 'jpeg', '-r', '16')
expect('ycbcr_jpeg.tif')


def tiff_le(w, h, bps, spp, photometric, data, extra=None, colormap=None, more=(), tile=None):
    """An uncompressed little-endian TIFF of one strip, or of one tile of
    tile = (width, length)."""
    tags = [(256, 4, [w]), (257, 4, [h]), (258, 3, [bps] * spp), (259, 3, [1]),
            (262, 3, [photometric]), (277, 3, [spp])]
    offsets = 273 if tile is None else 324
    if tile is None:
        tags += [(273, 4, [0]), (278, 4, [h]), (279, 4, [len(data)])]
    else:
        tags += [(322, 4, [tile[0]]), (323, 4, [tile[1]]), (324, 4, [0]), (325, 4, [len(data)])]
    if colormap is not None:
        tags.append((320, 3, colormap))
    if extra is not None:
        tags.append((338, 3, [extra]))
    tags += list(more)
    tags.sort()
    fmt = {3: 'H', 4: 'I'}
    ifd_size = 2 + 12 * len(tags) + 4
    blob = b''
    entries = b''
    base = 8 + ifd_size
    for tag, typ, vals in tags:
        raw = vals if typ in (2, 7) else struct.pack('<%d%s' % (len(vals), fmt[typ]), *vals)
        if len(raw) <= 4:
            entries += struct.pack('<HHI', tag, typ, len(vals)) + raw.ljust(4, b'\0')
        else:
            entries += struct.pack('<HHII', tag, typ, len(vals), base + len(blob))
            blob += raw + (b'\0' if len(raw) & 1 else b'')
    data_at = base + len(blob)
    entries = entries.replace(struct.pack('<HHII', offsets, 4, 1, 0), struct.pack('<HHII', offsets, 4, 1, data_at))
    return b'II*\0' + struct.pack('<I', 8) + struct.pack('<H', len(tags)) + entries + b'\0' * 4 + blob + data


def write(name, data):
    with open(path(name), 'wb') as f:
        f.write(data)


grad = [[((x * 7 + y) & 255, (y * 5 + x * 3) & 255, (x * y) & 255, (x + 2 * y) & 255) for x in range(W)]
        for y in range(H)]

# Min-is-white grey, 8 and 4 bits.
write('miniswhite8.tif', tiff_le(W, H, 8, 1, 0, bytes(grad[y][x][0] for y in range(H) for x in range(W))))
expect('miniswhite8.tif')
nib = b''.join(bytes((grad[y][x][0] >> 4) << 4 | (grad[y][x + 1][0] >> 4 if x + 1 < W else 0)
                     for x in range(0, W, 2)) for y in range(H))
write('grey4.tif', tiff_le(W, H, 4, 1, 1, nib))
expect('grey4.tif', [((grad[y][x][0] >> 4) * 17,) * 3 + (255,) for y in range(H) for x in range(W)])

# Associated alpha: colour premultiplied, divided out for output.
pre = [[tuple(c * p[3] // 255 for c in p[:3]) + (p[3],) for p in row] for row in grad]
write('premultiplied.tif', tiff_le(W, H, 8, 4, 2, bytes(v for row in pre for p in row for v in p), extra=1))
expect('premultiplied.tif', [unpremultiply(p) for row in pre for p in row])
tiffcp('premultiplied.tif', 'tiled_premultiplied.tif', '-t', '-w', '16', '-l', '16', '-c', 'lzw')
expect('tiled_premultiplied.tif', [unpremultiply(p) for row in pre for p in row])

# 16-bit RGB with unassociated alpha, big-endian samples written by tiffcp.
rgba16 = [[tuple(v * 256 + (x & 255) for v in p) for x, p in enumerate(row)] for row in grad]
write('rgba16.tif', tiff_le(W, H, 16, 4, 2, struct.pack('<%dH' % (W * H * 4), *[v for row in rgba16 for p in row for v in p]), extra=2))
expect('rgba16.tif', [tuple(v >> 8 for v in p) for row in rgba16 for p in row])
tiffcp('rgba16.tif', 'rgba16_be_deflate.tif', '-B', '-c', 'zip', '-r', '9')
expect('rgba16_be_deflate.tif', [tuple(v >> 8 for v in p) for row in rgba16 for p in row])



def jpeg_in_tiff(old_style, subsampling, rows):
    """A YCbCr JPEG TIFF in strips of rows, 2x1 (subsampling 1) or 2x2
    (subsampling 2). New-style (compression 7): each strip a JPEG of its
    own. Old-style (6): the tables and frame header at
    JPEGInterchangeFormat, and each strip the entropy-coded data of its rows
    (coded on their own, as after a restart marker; libtiff puts the
    markers between strips)."""
    hs, vs = (2, 1) if subsampling == 1 else (2, 2)
    im = source('RGB')
    strips, head = [], None
    for y in range(0, H, rows):
        buf = io.BytesIO()
        im.crop((0, y, W, min(H, y + rows))).save(buf, 'JPEG', quality=90, subsampling=subsampling)
        d = buf.getvalue()
        if not old_style:
            strips.append(d)
            continue
        at, segments = 2, []  # (marker, start, end) up to the scan header
        while not segments or segments[-1][0] != 0xDA:
            end = at + 2 + struct.unpack('>H', d[at + 2:at + 4])[0]
            segments.append((d[at + 1], at, end))
            at = end
        strips.append(d[at:-2])  # the scan, less the end marker
        if head is None:
            h = bytearray(d[:at])
            sof = next(s for s in segments if s[0] == 0xC0)[1]
            h[sof + 5:sof + 7] = struct.pack('>H', H)
            if rows < H:  # the restart interval: one strip of MCUs
                sos = segments[-1][1]
                h[sos:sos] = b'\xff\xdd' + struct.pack('>HH', 4, (W + 8 * hs - 1) // (8 * hs) * (rows // (8 * vs)))
            head = bytes(h)
    blobs = ([head] if old_style else []) + strips
    first = 1 if old_style else 0
    tags = [(256, 4, [W]), (257, 4, [H]), (258, 3, [8, 8, 8]), (259, 3, [6 if old_style else 7]), (262, 3, [6]),
            (273, 4, [-(first + i) - 1 for i in range(len(strips))]), (277, 3, [3]), (278, 4, [rows]),
            (279, 4, [len(b) for b in strips]), (284, 3, [1]), (530, 3, [hs, vs])]
    if old_style:
        tags += [(512, 3, [1]), (513, 4, [-1]), (514, 4, [len(head)])]
    tags.sort()
    # Values below 0 stand for the offset of blob -v - 1, placed after the
    # IFD and its arrays.
    fmt = {3: 'H', 4: 'I'}
    base = 8 + 2 + 12 * len(tags) + 4
    arrays = sum(len(v) * (2 if t == 3 else 4) for _, t, v in tags if len(v) * (2 if t == 3 else 4) > 4)
    offsets, at = [], base + arrays
    for b in blobs:
        offsets.append(at)
        at += len(b)
    entries, ext = b'', b''
    for tag, typ, vals in tags:
        raw = struct.pack('<%d%s' % (len(vals), fmt[typ]), *[offsets[-v - 1] if v < 0 else v for v in vals])
        if len(raw) <= 4:
            entries += struct.pack('<HHI', tag, typ, len(vals)) + raw.ljust(4, b'\0')
        else:
            entries += struct.pack('<HHII', tag, typ, len(vals), base + len(ext))
            ext += raw
    return b'II*\0' + struct.pack('<IH', 8, len(tags)) + entries + b'\0' * 4 + ext + b''.join(blobs)


# YCbCr JPEG, old-style and new-style, 2x1 and 2x2, one strip and several:
# expected is libtiff's RGBA reading (tiff2rgba) of the very file.
for old_style in (True, False):
    for subsampling in (1, 2):
        for rows in (H, 16):
            name = '%s_ycbcr%s_%s.tif' % ('ojpeg' if old_style else 'jpeg', '21' if subsampling == 1 else '22',
                                          'strips' if rows < H else 'one')
            write(name, jpeg_in_tiff(old_style, subsampling, rows))
            subprocess.run(['tiff2rgba', '-c', 'none', path(name), path(name + '.rgba.tif')], check=True,
                           stderr=subprocess.DEVNULL)
            with Image.open(path(name + '.rgba.tif')) as im:
                expect(name, list(im.convert('RGBA').getdata()))

with open(path('decode.txt'), 'w') as f:
    f.writelines('%s %s\n' % c for c in decode)

# Orientation 2..8 on an RGB file: expected upright.
T = Image.Transpose
TURNS = {2: T.FLIP_LEFT_RIGHT, 3: T.ROTATE_180, 4: T.FLIP_TOP_BOTTOM, 5: T.TRANSPOSE, 6: T.ROTATE_270,
         7: T.TRANSVERSE, 8: T.ROTATE_90}
with open(path('orient.txt'), 'w') as f:
    for o in range(2, 9):
        name = 'orient%d.tif' % o
        source('RGB').save(path(name), tiffinfo={274: o}, compression='tiff_lzw')
        # Pillow 9.4 decodes such a file partly turned already (through
        # libtiff's RGBA interface) and its exif_transpose does not turn a
        # TIFF: the turns are applied here by hand to the same picture
        # stored without the tag.
        with Image.open(path('rgb_raw.tif')) as im:
            up = im.transpose(TURNS[o])
            f.write('%s %s\n' % (name, save_expected(name, up.width, up.height, rgba_of(up))))
        if o == 6:  # the tag read from a BigTIFF's IFD as well
            tiffcp(name, 'big_' + name, '-8')
            f.write('big_%s %s.rgba\n' % (name, name))

# Photo metadata: an ICC profile, Make and Orientation 6 in IFD0, and an Exif
# IFD (which Pillow does not write into a TIFF) after the pixels.
icc = open('/usr/share/color/icc/compatibleWithAdobeRGB1998.icc', 'rb').read()  # icc-profiles-free
write('profile.icc', icc)
rgb = bytes(v for row in grad for p in row for v in p[:3])


def with_exif(exif_at):
    return tiff_le(W, H, 8, 3, 2, rgb, more=[(271, 2, b'trimlet camera\0'), (274, 3, [6]), (34665, 4, [exif_at]),
                                            (34675, 7, icc)])


n = len(with_exif(0))
date = b'2024:05:06 07:08:09\0'
exif_ifd = struct.pack('<HHHII', 2, 0x829A, 5, 1, n + 30) + struct.pack('<HHII', 0x9003, 2, len(date), n + 38) \
    + b'\0' * 4 + struct.pack('<II', 1, 250) + date
write('metadata.tif', with_exif(n) + exif_ifd)

# Hostile and unsupported files.
hostile = []


def refuse(name, data, status, text):
    write(name, data)
    hostile.append((name, status, text))


good = open(path('rgb_tiff_lzw.tif'), 'rb').read()
refuse('truncated.tif', good[:len(good) * 3 // 5], 'CORRUPT', '')
damaged = bytearray(open(path('rgb_tiff_adobe_deflate.tif'), 'rb').read())
for i in range(16, 200):
    damaged[i] ^= 0x5A
refuse('damaged.tif', bytes(damaged), 'CORRUPT', '')
refuse('header_only.tif', good[:8], 'CORRUPT', '')
refuse('side_32768.tif', tiff_le(32768, 32768, 8, 3, 2, b'\0' * 64), 'TOO_LARGE', 'image too large')
refuse('float32.tif', tiff_le(4, 4, 32, 1, 1, b'\0' * 64, more=[(339, 3, [3])]), 'UNSUPPORTED',
       'floating-point samples are not supported')
refuse('ycbcr_raw.tif', tiff_le(4, 4, 8, 3, 6, b'\0' * 48), 'UNSUPPORTED', 'YCbCr without JPEG')
refuse('lab.tif', tiff_le(4, 4, 8, 3, 8, b'\0' * 48), 'UNSUPPORTED', 'photometric interpretation 8')
# A 64 x 64 image in one tile that claims 60000 x 60000 pixels.
refuse('huge_tile.tif', tiff_le(64, 64, 8, 1, 1, b'\0' * 64, tile=(60000, 60000)), 'CORRUPT', '')
# Strip data past the end of the file.
past = bytearray(tiff_le(8, 8, 8, 1, 1, b'\0' * 64))
at = past.find(struct.pack('<HHI', 273, 4, 1))
past[at + 8:at + 12] = struct.pack('<I', 1 << 30)
refuse('strip_past_end.tif', bytes(past), 'CORRUPT', '')
# Strip data shorter than the rows it claims.
refuse('short_strip.tif', tiff_le(8, 8, 8, 1, 1, b'\0' * 10), 'CORRUPT', '')
# Old-style JPEG whose Huffman tables are damaged: libtiff's error about them,
# read through the RGBA interface.
bad_tables = bytearray(open(path('ojpeg_ycbcr22_strips.tif'), 'rb').read())
dht = bad_tables.find(b'\xff\xc4')
for i in range(dht + 4, dht + 40):
    bad_tables[i] ^= 0x5A
refuse('ojpeg_bad_tables.tif', bytes(bad_tables), 'CORRUPT', 'Corrupt DHT marker')
with open(path('hostile.txt'), 'w') as f:
    f.writelines('%s %s %s\n' % h for h in hostile)
