// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// A TIFF opened through libtiff from the input's bytes: client procedures
// (the file is "mapped": strips are decoded straight from the input), and
// every message libtiff has goes to handlers bound to that one open file,
// never to the process-wide ones a host may have set. The first error's text
// becomes the failure's reason; warnings are dropped.

#include "codecs/tiffparts.h"
#include "base/count.h"

#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBTIFF

#include <stdarg.h>

// ---------------------------------------------------------------------------
// Opening a file from memory


static tmsize_t tiff_read(thandle_t h, void *buf, tmsize_t n) {
    TiffFile *f = (TiffFile *)h;
    if (n <= 0 || f->pos >= f->in->size) return 0;
    uint64_t left = f->in->size - f->pos;
    uint64_t k = (uint64_t)n < left ? (uint64_t)n : left;
    memcpy(buf, f->in->data + f->pos, (size_t)k);
    f->pos += k;
    return (tmsize_t)k;
}

static tmsize_t tiff_write(thandle_t, void *, tmsize_t) { return 0; }

static toff_t tiff_seek(thandle_t h, toff_t off, int whence) {
    TiffFile *f = (TiffFile *)h;
    uint64_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->in->size : 0;
    // Seeking past the end is allowed (a read there gives nothing); an
    // offset that would wrap is refused.
    if (whence != SEEK_SET && off > UINT64_MAX - base) return (toff_t)-1;
    f->pos = whence == SEEK_SET ? off : base + off;
    return f->pos;
}

static int tiff_close(thandle_t) { return 0; }

static toff_t tiff_size(thandle_t h) { return ((TiffFile *)h)->in->size; }

// The input is already in memory: libtiff reads strips from it directly.
static int tiff_map(thandle_t h, void **base, toff_t *size) {
    TiffFile *f = (TiffFile *)h;
    *base = (void *)f->in->data;
    *size = f->in->size;
    return 1;
}

static void tiff_unmap(thandle_t, void *, toff_t) {}

// Keeps the first error's text ("<module>: <message>") and says the message
// was handled, so that libtiff passes it to no other handler.
static int tiff_on_error(TIFF *, void *user, const char *module, const char *fmt, va_list ap) {
    TiffFile *f = (TiffFile *)user;
    if (f->errors++ == 0) {
        int n = 0;
        if (module != NULL && module[0] != 0) n = snprintf(f->why, sizeof f->why, "%s: ", module);
        if (n < 0 || (size_t)n >= sizeof f->why) n = 0;
        vsnprintf(f->why + n, sizeof f->why - (size_t)n, fmt, ap);
        // One line: libtiff's texts may hold newlines.
        for (char *c = f->why; *c; ++c) {
            if (*c == '\n' || *c == '\r') *c = ' ';
        }
    }
    return 1;
}

static int tiff_on_warning(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// The most any single allocation of libtiff's may take for a file: its own
// buffers are bounded by the file (its strips are read from the mapping), so
// only hostile tag counts come near this.
static tmsize_t libtiff_alloc_limit(const Input *in) {
    return (tmsize_t)64 * 1024 * 1024 + (tmsize_t)in->size;
}

// Opens the input's first directory. Returns 0 with the message set.
int tiff_open(const Input *in, TiffFile *f, Failure *err) {
    memset(f, 0, sizeof *f);
    f->in = in;
    count_open(OPEN_TIFF);
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    if (opts == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot decode '%s': outofmem", in->name);
    TIFFOpenOptionsSetErrorHandlerExtR(opts, tiff_on_error, f);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, tiff_on_warning, f);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, libtiff_alloc_limit(in));
    // "r": read; memory mapping (through tiff_map) is on by default.
    // No name: libtiff would put it in front of some of its messages, and
    // the failure names the input already.
    f->tif = TIFFClientOpenExt("", "r", (thandle_t)f, tiff_read, tiff_write, tiff_seek,
                               tiff_close, tiff_size, tiff_map, tiff_unmap, opts);
    TIFFOpenOptionsFree(opts);
    if (f->tif == NULL) {
        return fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': %s", in->name,
                    f->errors ? f->why : "not a readable TIFF file");
    }
    return 1;
}

void tiff_close_file(TiffFile *f) {
    if (f->tif != NULL) TIFFClose(f->tif);
    f->tif = NULL;
    free(f->lab);
    f->lab = NULL;
}

// A failure of libtiff's: its first error's text, or what the caller says
// when libtiff gave none.
int tiff_fail(TiffFile *f, const char *otherwise, Failure *err) {
    fail(err, TRIMLET_ERR_CORRUPT, "cannot decode '%s': %s", f->in->name,
         f->errors ? f->why : otherwise);
    tiff_close_file(f);
    return 0;
}

int tiff_refuse(TiffFile *f, int status, const char *why, Failure *err) {
    fail(err, status, "cannot decode '%s': %s", f->in->name, why);
    tiff_close_file(f);
    return 0;
}

#endif
