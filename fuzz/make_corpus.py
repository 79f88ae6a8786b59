#!/usr/bin/env python3
"""Writes the hostile regression files (tests/data/hostile/) and the fuzz seed
corpus (fuzz/corpus/). Run from the repository root; needs ImageMagick's
`convert` for the valid JPEG, GIF, PSD, BMP and TGA seeds.

Regression files are named after the stb_image 2.27 defect class they
exercise (f1_ ... f12_). Every corpus file is an image followed by the fuzz
target's 9-byte trailer: rule, format option, four parameter bytes, JPEG
quality, background and option flags (see fuzz/fuzz_crop.cpp)."""
import os, struct, subprocess, sys, tempfile, zlib

HOSTILE = 'tests/data/hostile'
CORPUS = 'fuzz/corpus'


def png(w, h, ctype, depth, rows, plte=None):
    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    raw = b''.join(b'\0' + r for r in rows)
    out = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, depth, ctype, 0, 0, 0))
    if plte is not None:
        out += chunk(b'PLTE', plte)
    return out + chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b'')


def pnm(magic, w, h, maxval, samples):
    fmt = '>%dH' if maxval > 255 else '>%dB'
    return b'%s\n%d %d\n%d\n' % (magic, w, h, maxval) + struct.pack(fmt % len(samples), *samples)


def hdr(w, h, body):
    return b'#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n' % (h, w) + body


def hdr_rle_line(w, value):
    # One scanline: marker, then per channel a run of w bytes of value.
    line = bytes([2, 2, w >> 8, w & 255])
    for c in value:
        left = w
        while left:
            n = min(left, 127)
            line += bytes([128 + n, c])
            left -= n
    return line


def tga(w, h, kind, bpp, body, cmap=b'', cmap_len=0, cmap_bits=0, ident=b''):
    return struct.pack('<BBBHHBHHHHBB', len(ident), 1 if cmap_len else 0, kind, 0, cmap_len, cmap_bits,
                       0, 0, w, h, bpp, 0x20) + ident + cmap + body


def pic(w, h, rgb):
    head = struct.pack('>I', 0x5380F634) + struct.pack('>f', 3.71) + b'\0' * 80 + b'PICT'
    head += struct.pack('>HHfHH', w, h, 1.0, 3, 0)
    return head + bytes([0, 8, 0, 0xE0]) + rgb


def gradient(w, h):
    return [(x * 255 // max(w - 1, 1), y * 255 // max(h - 1, 1), 128) for y in range(h) for x in range(w)]


def convert(src_bytes, src_ext, args, dst_ext):
    with tempfile.TemporaryDirectory() as d:
        src = os.path.join(d, 'in.' + src_ext)
        dst = os.path.join(d, 'out.' + dst_ext)
        open(src, 'wb').write(src_bytes)
        subprocess.run(['convert', src] + args + [dst], check=True)
        return open(dst, 'rb').read()


def jpeg_segments(data):
    """(marker, start, end) of each segment before the first scan's data."""
    out, p = [], 2
    while p < len(data):
        m = data[p + 1]
        n = struct.unpack('>H', data[p + 2:p + 4])[0]
        out.append((m, p, p + 2 + n))
        if m == 0xDA:
            break
        p += 2 + n
    return out


def main():
    os.makedirs(HOSTILE, exist_ok=True)
    os.makedirs(CORPUS, exist_ok=True)
    ppm8 = pnm(b'P6', 8, 6, 255, [c for p in gradient(8, 6) for c in p])
    jpg = convert(ppm8, 'ppm', ['-quality', '90'], 'jpg')

    hostile = {}
    # F1: valid 16-bit PNM; each sample's first byte is its high byte.
    hostile['f1_pgm16.pgm'] = pnm(b'P5', 3, 2, 65535, [0x1234, 0xAB01, 0xFFEE, 0x00FF, 0x8081, 0x7F80])
    hostile['f1_ppm16.ppm'] = pnm(b'P6', 2, 2, 1000, [0x0310, 0x0201, 0x0102, 0x00FF, 0x03E8, 0x0000,
                                                   0x0180, 0x0280, 0x0380, 0x0001, 0x0100, 0x03FF])
    # F2: a DHT table of 320 codes of 9 to 16 bits: a valid code, but more
    # values than the decoder's 256-entry arrays hold.
    bad_dht = b'\xff\xc4' + struct.pack('>H', 2 + 17 + 320) + b'\x00' + bytes(8) + bytes([40] * 8) + bytes(320)
    hostile['f2_dht_counts_over_256.jpg'] = b'\xff\xd8' + bad_dht + b'\xff\xd9'
    # ... and one the decoder only reaches after decoding a whole scan.
    hostile['f2_dht_after_scan.jpg'] = jpg[:-2] + bad_dht + b'\xff\xd9'
    # F3: TGA files cut short: raw (refused), raw with a long image ID so that
    # the file is long enough in total (decodes, missing pixels zero), and
    # run-length (decodes, zeros).
    body = bytes(range(256)) * 3
    hostile['f3_tga_raw_truncated.tga'] = tga(16, 16, 2, 24, body[:100])
    hostile['f3_tga_raw_short_pixels.tga'] = tga(16, 16, 2, 24, body[:700], ident=bytes(200))
    hostile['f3_tga_rle_truncated.tga'] = tga(16, 16, 10, 24, bytes([0x83, 9, 8, 7, 0x01, 1, 2, 3]))
    # F4: PPM cut short.
    hostile['f4_ppm_truncated.ppm'] = ppm8[:-40]
    # F5: palette PNG with one PLTE entry and indices 0, 1, 7, 255.
    hostile['f5_png_palette_index.png'] = png(4, 1, 3, 8, [bytes([0, 1, 7, 255])], plte=b'\x10\x20\x30')
    # F6: Radiance files cut short, flat (refused) and run-length (never ends).
    hostile['f6_hdr_flat_truncated.hdr'] = hdr(4, 4, bytes([128, 64, 32, 129]) * 5)
    hostile['f6_hdr_rle_truncated.hdr'] = hdr(16, 2, hdr_rle_line(16, (128, 64, 32, 129))[:-3])
    # F7: a baseline JPEG whose scan uses Huffman tables 3, never defined.
    sos = [s for s in jpeg_segments(jpg) if s[0] == 0xDA][0]
    b = bytearray(jpg)
    for i in range(b[sos[1] + 4]):
        b[sos[1] + 6 + 2 * i] = 0x33
    hostile['f7_jpeg_undefined_table.jpg'] = bytes(b)
    # F8: a Radiance run-length scanline with a count byte of 0.
    hostile['f8_hdr_zero_run.hdr'] = hdr(16, 1, bytes([2, 2, 0, 16, 0]) + bytes(64))
    # F9: tiny files whose headers claim huge sizes.
    hostile['f9_gif_65535x65535.gif'] = (b'GIF89a' + struct.pack('<HHBBB', 65535, 65535, 0, 0, 0) +
                                         b',' + struct.pack('<HHHHB', 0, 0, 1, 1, 0) + b'\x02\x02\x44\x01\x00;')
    hostile['f9_tga_65535x65535.tga'] = tga(65535, 65535, 10, 32, b'\xff\x00\x00\x00\x00')[:22]
    hostile['f9_tga_32768x32768.tga'] = tga(32768, 32768, 2, 32, b'\x00\x00\x00\x00')
    hostile['f9_hdr_100000x100000.hdr'] = hdr(100000, 100000, b'')[:52]
    hostile['f9_ppm_30000x30000.ppm'] = pnm(b'P6', 30000, 30000, 255, [1, 2, 3])
    b = bytearray(jpg)
    sof = [s for s in jpeg_segments(jpg) if s[0] == 0xC0][0]
    b[sof[1] + 5:sof[1] + 9] = struct.pack('>HH', 16383, 32768)
    hostile['f9_jpeg_32768x16383.jpg'] = bytes(b[:sos[2]]) + b'\xff\xd9'
    hostile['f9_bmp_23000x23000.bmp'] = (b'BM' + struct.pack('<IHHI', 70, 0, 0, 54) +
                                         struct.pack('<IiiHHIIiiII', 40, 23000, 23000, 1, 24, 0, 0, 0, 0, 0, 0) +
                                         bytes(16))
    hostile['f9_psd_32768x16383.psd'] = (b'8BPS' + struct.pack('>H', 1) + bytes(6) +
                                         struct.pack('>HIIHH', 3, 16383, 32768, 8, 3) +
                                         struct.pack('>IIIH', 0, 0, 0, 0) + bytes(16))
    hostile['f9_pic_32768x16383.pic'] = pic(32768, 16383, bytes([0xff, 1, 2, 3]))
    hostile['f9_pic_40000x100.pic'] = pic(40000, 100, bytes([0xff, 1, 2, 3]))
    # F10: found by fuzzing, harmless once screened: a PNM width too long for
    # an int (a wrap in stb's parser), a PNG whose first IDAT chunk is empty,
    # a PSD pixel whose white matte, undone in float, falls outside a byte,
    # and a PNG whose second chunk claims 1.9 GB (the decoder's buffer for it
    # must not be touched page by page).
    hostile['f10_pnm_long_number.pgm'] = b'P5\n99999999999 1\n255\nabc'
    hostile['f10_png_empty_idat.png'] = (lambda p: p[:33] + b'\x00\x00\x00\x00IDAT\x35\xaf\x06\x1e' + p[33:])(
        png(2, 1, 0, 8, [bytes([1, 2])]))
    hostile['f10_psd_matte.psd'] = (b'8BPS' + struct.pack('>H', 1) + bytes(6) + struct.pack('>HIIHH', 4, 1, 1, 8, 3) +
                                    struct.pack('>IIIH', 0, 0, 0, 0) + bytes([0, 0, 0, 1]))
    hostile['f10_png_idat_length_2gb.png'] = png(2, 2, 2, 8, [bytes(6), bytes(6)])[:33] + b'\x73\x00\x00\x13IDAT'
    # F11: BMP files stored top-down (negative height), whose size the
    # screening once read as negative and so skipped: 70 bytes claiming
    # 16000x16000 (a 1 GB decode of nothing), 40000 columns, and the most
    # negative height, whose absolute value the decoder cannot take.
    def bmp_top_down(w, h):
        return (b'BM' + struct.pack('<IHHI', 70, 0, 0, 54) +
                struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, 0, 0, 0, 0, 0) + bytes(16))
    hostile['f11_bmp_top_down_16000x16000.bmp'] = bmp_top_down(16000, -16000)
    hostile['f11_bmp_top_down_40000x100.bmp'] = bmp_top_down(40000, -100)
    hostile['f11_bmp_top_down_int_min.bmp'] = bmp_top_down(10, -2**31)
    # F12: PNG files that made stb_image name an unknown critical chunk in
    # its one static buffer, shared by every thread: a chunk typed 'P5\n9'
    # (a two-line message), and a file that ends after its IDAT, whose next
    # chunk the decoder reads as zeros (an empty reason).
    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    small = png(2, 2, 2, 8, [bytes(6), bytes(6)])
    hostile['f12_png_chunk_newline.png'] = small[:33] + chunk(b'P5\n9', b'abc') + small[33:]
    hostile['f12_png_no_iend.png'] = small[:-12]
    for name, data in hostile.items():
        open(os.path.join(HOSTILE, name), 'wb').write(data)

    seeds = {
        'png_rgb.png': png(2, 2, 2, 8, [bytes([255, 0, 0, 0, 255, 0]), bytes([0, 0, 255, 9, 9, 9])]),
        'png_rgba16.png': png(2, 1, 6, 16, [bytes(range(16))]),
        'png_grey_alpha.png': png(2, 1, 4, 8, [bytes([10, 200, 30, 40])]),
        'png_palette.png': png(2, 1, 3, 8, [bytes([0, 1])], plte=b'\x01\x02\x03\x04\x05\x06'),
        'jpeg_baseline.jpg': jpg,
        'jpeg_progressive.jpg': convert(ppm8, 'ppm', ['-interlace', 'JPEG'], 'jpg'),
        'jpeg_grey.jpg': convert(ppm8, 'ppm', ['-colorspace', 'Gray'], 'jpg'),
        'bmp_24.bmp': convert(ppm8, 'ppm', [], 'bmp'),
        'bmp_8.bmp': convert(ppm8, 'ppm', ['-type', 'Palette', '-colors', '8'], 'bmp'),
        'gif.gif': convert(ppm8, 'ppm', [], 'gif'),
        'psd.psd': convert(ppm8, 'ppm', [], 'psd'),
        'tga_raw.tga': tga(2, 2, 2, 24, bytes(range(12))),
        'tga_rle.tga': tga(4, 1, 10, 32, bytes([0x83, 1, 2, 3, 4])),
        'tga_palette.tga': tga(2, 1, 1, 8, bytes([0, 1]), cmap=bytes(range(6)), cmap_len=2, cmap_bits=24),
        'pgm.pgm': pnm(b'P5', 2, 2, 255, [0, 85, 170, 255]),
        'ppm.ppm': ppm8,
        'pgm16.pgm': pnm(b'P5', 2, 1, 65535, [0x0102, 0xFEFD]),
        'hdr_flat.hdr': hdr(2, 1, bytes([128, 64, 32, 129, 1, 2, 3, 128])),
        'hdr_rle.hdr': hdr(8, 1, hdr_rle_line(8, (128, 64, 32, 129))),
        'pic.pic': pic(2, 1, bytes([255, 0, 0, 0, 255, 0])),
    }
    # Photo seeds reach the Exif and ICC readers: their trailers apply the
    # orientation and keep metadata (flags 2 | 4), and are fixed so that the
    # cycle below stays as it was.
    def ifd(big, entries, nxt):
        o = '>' if big else '<'
        b = struct.pack(o + 'H', len(entries))
        for tag, typ, count, value in entries:
            v = struct.pack(o + 'HH', value, 0) if typ == 3 else struct.pack(o + 'I', value)
            b += struct.pack(o + 'HHI', tag, typ, count) + v
        return b + struct.pack(o + 'I', nxt)

    def exif(big, orientation, loop=False):
        head = (b'MM\0*' if big else b'II*\0') + struct.pack('>I' if big else '<I', 8)
        ifd0 = ifd(big, [(0x010F, 2, 4, 0x41424300), (0x0112, 3, 1, orientation)], 8 if loop else 38)
        return head + ifd0 + (b'' if loop else ifd(big, [(0x0103, 3, 1, 6)], 0))

    def app(marker, payload):
        return b'\xff' + bytes([marker]) + struct.pack('>H', len(payload) + 2) + payload

    def icc_app2(profile, pieces, count=None):
        size = -(-len(profile) // pieces)
        parts = [profile[i:i + size] for i in range(0, len(profile), size)]
        return b''.join(app(0xE2, b'ICC_PROFILE\0' + bytes([i + 1, count or len(parts)]) + part)
                        for i, part in enumerate(parts))

    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)

    profile = bytes((i * 37 + 11) & 255 for i in range(160))
    app0 = [s for s in jpeg_segments(jpg) if s[0] == 0xE0][0][2]
    small_png = png(3, 2, 2, 8, [bytes(range(9)), bytes(range(9, 18))])
    photo = {
        'photo_jpeg_exif6_icc': (jpg[:app0] + app(0xE1, b'Exif\0\0' + exif(False, 6)) +
                                 icc_app2(profile, 2) + jpg[app0:], bytes([0, 0, 1, 1, 4, 3])),
        'photo_jpeg_exif_loop_icc_count': (jpg[:app0] + app(0xE1, b'Exif\0\0' + exif(True, 8, loop=True)) +
                                           icc_app2(profile, 3, count=2) + jpg[app0:], bytes([2, 1, 5, 0, 0, 0])),
        'photo_png_exif8_iccp': (small_png[:33] + chunk(b'iCCP', b'icc\0\0' + zlib.compress(profile)) +
                                 chunk(b'eXIf', exif(True, 8)) + small_png[33:], bytes([0, 1, 0, 0, 2, 1])),
        'photo_png_exif5_iccp_corrupt': (small_png[:33] + chunk(b'iCCP', b'icc\0\0' + zlib.compress(profile)[:40]) +
                                         chunk(b'eXIf', exif(False, 5)[:30]) + small_png[33:],
                                         bytes([3, 0, 10, 0, 20, 5])),
    }
    for name, (data, trailer) in photo.items():
        open(os.path.join(CORPUS, name), 'wb').write(data + trailer + bytes([0, 0x80, 2 | 4]))

    seeds.update(('hostile_' + k, v) for k, v in hostile.items())
    # Each seed once more as a JPEG to crop losslessly and with its metadata
    # kept, where it is one.
    for name in [n for n in seeds if n.startswith('jpeg_')]:
        seeds[name.replace('jpeg_', 'jpeg_lossless_')] = seeds[name]
    params = {0: (0, 0, 2, 1), 1: (2, 0, 0, 0), 2: (10, 0, 0, 0), 3: (10, 5, 0, 5), 4: (3, 4, 0, 0)}
    heif_seeds()
    for i, (name, data) in enumerate(sorted(seeds.items())):
        # Cycle through the five rules, the output formats (4: none given,
        # PNG), qualities, backgrounds and options; parameters chosen so that
        # most runs reach the encoder.
        rule, fmt = i % 5, (i // 5) % 5
        flags = 0
        if 'lossless' in name:
            rule, fmt, flags = 0, 1, 1 | 4
        trailer = bytes([rule, fmt]) + bytes(params[rule]) + \
            bytes([(0, 50, 100)[i % 3], 0x80 if i % 2 else 0x20, flags])
        open(os.path.join(CORPUS, os.path.splitext(name)[0]), 'wb').write(data + trailer)



def webp_seeds():
    """WebP seeds made with libwebp's tools (cwebp, webpmux; Debian: webp):
    lossy, lossy with alpha, lossless, an animation, the ICC and Exif chunks,
    and a canvas that claims 32768 a side. Run alone with `make_corpus.py
    webp`; main() runs it too."""
    def tool(args):
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    with tempfile.TemporaryDirectory() as d:
        def path(n):
            return os.path.join(d, n)

        rows = [bytes(v for x in range(8) for v in (x * 30, y * 40, (x * y * 30) & 255, 255 - x * 20))
                for y in range(6)]
        open(path('a.png'), 'wb').write(png(8, 6, 6, 8, rows))
        tool(['cwebp', '-quiet', '-q', '70', '-noalpha', path('a.png'), '-o', path('lossy.webp')])
        tool(['cwebp', '-quiet', '-q', '70', path('a.png'), '-o', path('alpha.webp')])
        tool(['cwebp', '-quiet', '-lossless', '-exact', path('a.png'), '-o', path('lossless.webp')])
        tool(['webpmux', '-frame', path('lossy.webp'), '+50+2+2', '-frame', path('lossless.webp'), '+50',
              '-o', path('anim.webp')])
        open(path('p.icc'), 'wb').write(bytes(128))
        open(path('e.exif'), 'wb').write(b'Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0')
        tool(['webpmux', '-set', 'icc', path('p.icc'), path('lossy.webp'), '-o', path('t.webp')])
        tool(['webpmux', '-set', 'exif', path('e.exif'), path('t.webp'), '-o', path('meta.webp')])
        files = {n: open(path(n + '.webp'), 'rb').read() for n in ('lossy', 'alpha', 'lossless', 'anim', 'meta')}
    vp8x = b'VP8X' + struct.pack('<I', 10) + bytes([2, 0, 0, 0]) + (32767).to_bytes(3, 'little') * 2
    files['claims_32768'] = b'RIFF' + struct.pack('<I', 4 + len(vp8x)) + b'WEBP' + vp8x
    # rule, format (0 png, 6 webp), four parameters, quality, background,
    # flags (1 lossless, 2 orientation, 4 keep metadata)
    trailers = {
        'lossy': [(0, 0, (1, 1, 5, 3), 0, 0x80, 0), (0, 6, (3, 1, 4, 4), 0, 0x80, 0)],
        'alpha': [(1, 6, (2, 0, 0, 0), 50, 0x80, 0), (3, 1, (10, 5, 0, 5), 0, 0x20, 0)],
        'lossless': [(0, 6, (1, 2, 5, 3), 0, 0x80, 1), (2, 0, (10, 0, 0, 0), 0, 0x80, 0)],
        'anim': [(0, 0, (3, 3, 4, 4), 0, 0x80, 0), (4, 6, (3, 4, 0, 0), 90, 0x80, 0)],
        'meta': [(0, 6, (1, 1, 5, 3), 0, 0x80, 2 | 4), (0, 0, (0, 0, 8, 6), 0, 0x80, 2 | 4)],
        'claims_32768': [(0, 0, (0, 0, 2, 1), 0, 0x80, 0)],
    }
    for name, data in files.items():
        for i, (rule, fmt, params, quality, bg, flags) in enumerate(trailers[name]):
            trailer = bytes([rule, fmt]) + bytes(params) + bytes([quality, bg, flags])
            open(os.path.join(CORPUS, 'webp_%s_%d' % (name, i)), 'wb').write(data + trailer)


def heif_seeds():
    """HEIC and AVIF seeds, written by heif-enc and avifenc (libheif-examples,
    libavif-bin) when they are installed: 8-, 10- and 12-bit, alpha, grey,
    a grid, the container's rotation, mirror and clean aperture, and a
    profile with Exif (kept by the trailer)."""
    import shutil
    if not (shutil.which('heif-enc') and shutil.which('avifenc')):
        print('make_corpus: heif-enc or avifenc missing, no HEIF seeds', file=sys.stderr)
        return
    made = {}
    with tempfile.TemporaryDirectory() as tmp:
        def src(name, w, h, ctype, depth):
            ch = {0: 1, 2: 3, 6: 4}[ctype]
            rows = []
            for y in range(h):
                row = []
                for x in range(w):
                    for c in range(ch):
                        v = (x * 255 // max(w - 1, 1), y * 255 // max(h - 1, 1), 128, 255 - x * 8)[c if ch > 1 else 0]
                        row += [v, (x * 7 + y) & 255] if depth == 16 else [v]
                rows.append(bytes(row))
            open(os.path.join(tmp, name), 'wb').write(png(w, h, ctype, depth, rows))
            return os.path.join(tmp, name)
        exif = b'II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0'
        open(os.path.join(tmp, 'exif'), 'wb').write(exif)
        open(os.path.join(tmp, 'icc'), 'wb').write(b'\0\0\0\x40' + bytes(60))
        rgb, rgba, grey = src('rgb.png', 16, 12, 2, 8), src('rgba.png', 16, 12, 6, 8), src('grey.png', 16, 12, 0, 8)
        deep, wide = src('deep.png', 16, 12, 6, 16), src('wide.png', 128, 64, 2, 8)
        jobs = {
            'heif_heic_rgb': ['heif-enc', '-q', '30', '-o', 'OUT', rgb],
            'heif_heic_alpha_10bit': ['heif-enc', '-b', '10', '-o', 'OUT', deep],
            'heif_heic_grey': ['heif-enc', '-o', 'OUT', grey],
            'heif_avif_by_heif_enc': ['heif-enc', '-A', '-o', 'OUT', rgba],
            'heif_avif_rgb': ['avifenc', '-s', '10', rgb, 'OUT'],
            'heif_avif_alpha_12bit': ['avifenc', '-s', '10', '-d', '12', deep, 'OUT'],
            'heif_avif_mono': ['avifenc', '-s', '10', '-y', '400', grey, 'OUT'],
            'heif_avif_grid': ['avifenc', '-s', '10', '-g', '2x1', wide, 'OUT'],
            'heif_avif_irot_imir': ['avifenc', '-s', '10', '--irot', '1', '--imir', '1', rgba, 'OUT'],
            'heif_avif_clap': ['avifenc', '-s', '10', '--crop', '2,2,10,8', rgb, 'OUT'],
            'heif_avif_icc_exif': ['avifenc', '-s', '10', '--icc', os.path.join(tmp, 'icc'),
                                   '--exif', os.path.join(tmp, 'exif'), rgb, 'OUT'],
        }
        for name, cmd in jobs.items():
            out = os.path.join(tmp, name + ('.heic' if 'heic' in name else '.avif'))
            subprocess.run([out if a == 'OUT' else a for a in cmd], check=True, capture_output=True)
            made[name] = open(out, 'rb').read()
    params = {0: (0, 0, 2, 1), 1: (2, 0, 0, 0), 2: (10, 0, 0, 0), 3: (10, 5, 0, 5), 4: (3, 4, 0, 0)}
    for i, (name, data) in enumerate(sorted(made.items())):
        rule, fmt = i % 5, (i // 5) % 5
        flags = 2 | 4 if 'exif' in name else 0
        trailer = bytes([rule, fmt]) + bytes(params[rule]) + bytes([(0, 50, 100)[i % 3], 0x80, flags])
        open(os.path.join(CORPUS, name), 'wb').write(data + trailer)


if __name__ == '__main__':
    if sys.argv[1:] == ['webp']:
        sys.exit(webp_seeds())
    main()
    sys.exit(webp_seeds())
