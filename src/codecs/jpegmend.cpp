// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Mending a JPEG header
//
// Cameras and phone apps write Exif segments whose length is wrong, and
// some tools leave stray bytes (even 0xFF 0x00) between segments. libjpeg
// reads past such bytes with a warning, looking for the next 0xFF that
// starts a marker. stb_image does the same before the frame header, but
// refuses 0xFF 0x00 anywhere and any stray byte after the frame header
// ("unknown marker", "expected marker"), and our libjpeg-turbo path declines
// every warning. So a header stb_image would refuse for such bytes is
// rewritten once, as the input is read, into the file libjpeg reads: the
// same segments without the bytes between them, and without the metadata
// segment right before them, whose length was evidently wrong (its contents
// are not trusted: no Exif or profile from it; photo.cpp drops such a
// segment in files left as they are too). Headers stb_image reads are left
// alone, so its pixels and verdicts stay. The first scan and everything
// after it are copied unchanged: damage there is the decoders' to judge,
// and stays refused.

#include "codecs/codecs.h"
#include "base/walk.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// Markers with no length after them (restart markers, TEM).
static int bare_marker(unsigned m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }

// The markers libjpeg reads in a header: frames (SOF0..SOF15 but DHT, JPG
// and DAC), tables, restart interval, APPn, COM. Anything else stops it.
static int header_marker(unsigned m) {
    return (m >= 0xC0 && m <= 0xCF) || m == 0xDB || m == 0xDD || (m >= 0xE0 && m <= 0xEF) ||
           m == 0xFE;
}

// Metadata nobody decodes with: APP1..APP13, APP15, COM. (APP0, JFIF, and
// APP14, Adobe's colour transform, are read by the decoders.)
static int metadata_marker(unsigned m) {
    return (m >= 0xE1 && m <= 0xED) || m == 0xEF || m == 0xFE;
}

// One segment of the header: its marker and where it lies (marker included).
struct Segment {
    size_t at, len;
    unsigned marker;
    int stray_after;  // bytes were skipped between it and the next marker
};

// The mended copy of d (its length in *out_len), or NULL when there is
// nothing to mend: stray bytes stb_image refuses, or any stray bytes when
// every is set.
static unsigned char *mended(const unsigned char *d, size_t len, int every, size_t *out_len) {
    if (len < 4 || len > (size_t)INT32_MAX || d[0] != 0xFF || d[1] != 0xD8) return NULL;
    // The header's segments, up to the first scan; at most one per 4 bytes.
    enum { MAX_SEGMENTS = 4096 };
    Segment *seg = (Segment *)malloc(MAX_SEGMENTS * sizeof(Segment));
    if (seg == NULL) return NULL;
    size_t count = 0, scan = 0;
    int frame = 0, refused = 0;  // refused: stb_image would refuse the stray bytes
    // Markers found as libjpeg finds them: bytes up to an 0xFF are skipped,
    // then fill bytes 0xFF, and 0xFF 0x00 is skipped as data.
    JpegSegments walk = {d, len, 2, JPEG_SKIP_STRAY | JPEG_SKIP_STUFFED};
    for (;;) {
        JpegSegment s;
        int found = jpeg_segment_next(&walk, &s);
        if (s.skipped != 0 && count != 0) seg[count - 1].stray_after = 1;
        if (s.stuffed || (s.skipped != 0 && (frame || every))) refused = 1;
        if (!found || count == MAX_SEGMENTS) break;
        unsigned m = s.marker;
        if (m == 0xDA) {
            scan = s.at;
            break;
        }
        if (!bare_marker(m) && !header_marker(m)) break;  // libjpeg's verdict stands
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) frame = 1;
        if (s.len == 0) break;
        seg[count].at = s.at;
        seg[count].len = s.len;
        seg[count].marker = m;
        seg[count].stray_after = 0;
        ++count;
    }
    unsigned char *out = NULL;
    if (scan != 0 && refused) out = (unsigned char *)malloc(len);
    if (out != NULL) {
        out[0] = 0xFF;
        out[1] = 0xD8;
        size_t o = 2;
        for (size_t i = 0; i < count; ++i) {
            if (seg[i].stray_after && metadata_marker(seg[i].marker)) continue;
            memcpy(out + o, d + seg[i].at, seg[i].len);
            o += seg[i].len;
        }
        memcpy(out + o, d + scan, len - scan);
        *out_len = o + (len - scan);
    }
    free(seg);
    return out;
}

void jpeg_mend_input(Input *in) {
    size_t n = 0;
    unsigned char *out = mended(in->data, in->size, 0, &n);
    if (out == NULL) return;
    free(in->owned);
    in->owned = out;
    in->data = out;
    in->size = n;
    in->mended = 1;
}

int jpeg_mend_copy(const Input *in, Input *copy) {
    *copy = *in;
    copy->owned = mended(in->data, in->size, 1, &copy->size);
    if (copy->owned == NULL) return 0;
    copy->data = copy->owned;
    return 1;
}
