// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// PNG chunks, JPEG segments and RIFF chunks, walked and written (walk.h).
#include "base/walk.h"
#include "base/signatures.h"
#include "base/zlib.h"

#include <string.h>

// ---------------------------------------------------------------------------
// PNG chunks

PngChunks png_chunks(const unsigned char *d, size_t n) {
    PngChunks w = {d, n, n < sizeof PNG_SIGNATURE ? n : sizeof PNG_SIGNATURE};
    return w;
}

int png_chunk_next(PngChunks *w, PngChunk *c) {
    memset(c, 0, sizeof *c);
    c->at = w->at;
    c->left = w->n - w->at;
    if (c->left >= 8) {
        c->length = load_be32(w->d + w->at);
        c->type = load_be32(w->d + w->at + 4);
        c->name = w->d + w->at + 4;
    }
    c->complete = c->left >= 12 && c->length <= c->left - 12;
    if (c->complete) {
        c->data = w->d + w->at + 8;
        w->at += 12 + (size_t)c->length;
    } else {
        w->at = w->n;
    }
    return c->complete;
}

void png_put_chunk(Sink *sink, const char *type, const unsigned char *head, size_t head_n,
                   const unsigned char *data, size_t n) {
    unsigned char b[8];
    store_be32(b, (uint32_t)(head_n + n));
    memcpy(b + 4, type, 4);
    sink_write(sink, b, 8);
    uint32_t crc = png_crc(0, b + 4, 4);
    crc = png_crc(crc, head, head_n);
    crc = png_crc(crc, data, n);
    if (head_n) sink_write(sink, head, head_n);
    if (n) sink_write(sink, data, n);
    store_be32(b, crc);
    sink_write(sink, b, 4);
}

void png_store_chunk(unsigned char *out, const char *type, const unsigned char *data, size_t n) {
    store_be32(out, (uint32_t)n);
    memcpy(out + 4, type, 4);
    if (n) memcpy(out + 8, data, n);
    store_be32(out + 8 + n, png_crc(0, out + 4, 4 + n));
}

// ---------------------------------------------------------------------------
// JPEG segments

int jpeg_find_marker(const unsigned char *d, size_t n, size_t from, int how, JpegSegment *s) {
    s->at = n;
    s->marker = 0;
    s->skipped = 0;
    s->stuffed = 0;
    size_t p = from;
    for (;;) {
        if (p < n && d[p] != 0xFF) {
            if (!(how & JPEG_SKIP_STRAY)) return 0;
            const void *ff = memchr(d + p, 0xFF, n - p);
            size_t q = ff != NULL ? (size_t)((const unsigned char *)ff - d) : n;
            s->skipped += q - p;
            p = q;
        }
        size_t fill = p;
        while (p < n && d[p] == 0xFF) ++p;
        if (p >= n) return 0;
        unsigned code = d[p];
        int stuffed = code == 0x00 && (how & JPEG_SKIP_STUFFED);
        if (!stuffed && !(code >= 0xD0 && code <= 0xD7 && (how & JPEG_SKIP_RESTARTS))) {
            s->at = p - 1;  // the last fill byte stands for the marker's 0xFF
            s->marker = code;
            return 1;
        }
        s->skipped += p + 1 - fill;
        s->stuffed |= stuffed;
        ++p;
    }
}

int jpeg_segment_next(JpegSegments *w, JpegSegment *s) {
    s->len = 0;
    s->data = NULL;
    s->size = 0;
    if (!jpeg_find_marker(w->d, w->n, w->at, w->how, s)) {
        w->at = w->n;
        return 0;
    }
    unsigned m = s->marker;
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD9)) {
        s->len = 2;
    } else if (w->n - s->at >= 4) {
        size_t field = load_u16(w->d + s->at + 2, 1);
        if (field >= 2 && field <= w->n - s->at - 2) {
            s->len = 2 + field;
            s->data = w->d + s->at + 4;
            s->size = field - 2;
        }
    }
    w->at = s->len != 0 ? s->at + s->len : w->n;
    return 1;
}

// ---------------------------------------------------------------------------
// RIFF chunks

int riff_chunk_next(RiffChunks *w, RiffChunk *c) {
    memset(c, 0, sizeof *c);
    c->at = w->at;
    c->left = w->at < w->n ? w->n - w->at : 0;
    if (c->left >= 8) {
        c->type = w->d + w->at;
        c->length = load_u32(w->d + w->at + 4, 0);
    }
    c->complete = c->left >= 8 && c->length <= c->left - 8;
    if (c->complete) {
        c->data = w->d + w->at + 8;
        size_t step = 8 + (size_t)c->length + (c->length & 1);
        w->at = step <= c->left ? w->at + step : w->n;
    } else {
        w->at = w->n;
    }
    return c->complete;
}
