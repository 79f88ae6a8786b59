// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Reading an input: a file read whole once its first bytes show that a
// decoder takes it, or the caller's bytes borrowed.
#include "codecs/parts.h"
#include "codecs/classic.h"
#include "base/stb.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <sys/stat.h>
#else
#include <sys/stat.h>
#endif

// ---------------------------------------------------------------------------
// Reading input files
//
// The input is read into memory, screened, and decoded from there: the
// screening needs the bytes before the decoder sees them, and the file is
// closed before anything is decoded. Only what could be an image is read
// whole: a regular file's size is checked before any byte is read, and the
// first bytes must be taken by one of the decoder's format probes before the
// rest is read. Anything else that opens (a pipe, a terminal, a device) is
// read the same way, in growing blocks up to the size limit, so a pipe
// works as input and a device that never ends but is no image (/dev/zero)
// costs one small read.

// The largest input accepted: the decoder works with int sizes.
static const size_t INPUT_LIMIT = (size_t)INT32_MAX;

// The size of f when it is a regular file, else -1.
static long long regular_file_size(FILE *f) {
#ifdef _WIN32
    struct _stati64 st;
    if (_fstati64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
#else
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
#endif
    return (long long)st.st_size;
}

// Reads up to want bytes at data + *n, advancing *n; 0 on a read error.
static int read_some(FILE *f, unsigned char *data, size_t *n, size_t want) {
    *n += fread(data + *n, 1, want, f);
    return !ferror(f);
}

// Reads f until its end into a fresh block, after checking its first bytes
// (and, with a pixel limit, the size their header gives). Returns NULL with
// *why set to "unknown image type", "outofmem", "file too large" or "can't
// fread" (*error_no to the system's reason for the last) and *status to its
// class, or, for an image over max_pixels, with *why NULL and err set.
static unsigned char *read_all(FILE *f, long long max_pixels, size_t *len, const char **why,
                               int *status, int *error_no, Failure *err) {
    *why = NULL;
    *status = TRIMLET_ERR_TOO_LARGE;
    long long known = regular_file_size(f);
    if (known > (long long)INPUT_LIMIT) {
        *why = "file too large";
        return NULL;
    }
    // The first bytes are checked before anything is allocated for the
    // rest: what no decoder takes costs one small read.
    unsigned char head[STB_PROBE_BYTES];
    size_t n = 0;
    int ok = read_some(f, head, &n, STB_PROBE_BYTES);
    if (ok && !stb_recognised(head, n) && !is_codec_file(head, n) && !is_pnm_extra(head, n)) {
        *why = "unknown image type";
        *status = TRIMLET_ERR_UNSUPPORTED;
        return NULL;
    }
    // An image over the pixel limit is refused on its header's word before
    // the rest of the file is read.
    int w = 0, h = 0;
    if (ok && max_pixels > 0 && header_size(head, n, &w, &h) &&
        !within_limits(w, h, max_pixels, err)) {
        return NULL;
    }
    // A regular file is read in one block of its size and one byte more, to
    // see the end (or that it grew); anything else in blocks that double.
    size_t cap = known >= 0 ? (size_t)known + 1 : 65536;
    if (cap < STB_PROBE_BYTES) cap = STB_PROBE_BYTES;
    unsigned char *data = (unsigned char *)block_malloc(cap);
    if (data == NULL) {
        *why = "outofmem";
        *status = TRIMLET_ERR_NO_MEMORY;
        return NULL;
    }
    memcpy(data, head, n);
    // Then the rest, until a read comes back short: the end (or an error).
    int more = ok && n == STB_PROBE_BYTES;
    while (more) {
        if (n == cap) {
            if (cap > INPUT_LIMIT) {
                *why = "file too large";
                break;
            }
            size_t grown = cap > INPUT_LIMIT / 2 ? INPUT_LIMIT + 1 : cap * 2;
            unsigned char *bigger = (unsigned char *)realloc(data, grown);
            if (bigger == NULL) {
                *why = "outofmem";
                *status = TRIMLET_ERR_NO_MEMORY;
                break;
            }
            data = bigger;
            cap = grown;
        }
        size_t want = cap - n;
        ok = read_some(f, data, &n, want);
        more = ok && n == cap;
    }
    if (*why == NULL && !ok) {
        *error_no = errno;
        *why = "can't fread";
        *status = TRIMLET_ERR_READ;
    }
    if (*why != NULL) {
        free(data);
        return NULL;
    }
    *len = n;
    return data;
}

int read_input_file(const char *path, int system_reasons, long long max_pixels, Input *in,
                    Failure *err) {
    in->data = NULL;
    in->size = 0;
    in->owned = NULL;
    in->name = path;
    in->max_pixels = max_pixels;
    in->region_verdict = 0;
    in->mended = 0;
    errno = 0;
    FILE *f = system_reasons ? open_utf8(path, "rb") : fopen(path, "rb");
    if (f == NULL) {
        if (system_reasons && errno != 0) {
            return fail(err, TRIMLET_ERR_READ, "cannot decode '%s': %s", path, strerror(errno));
        }
        return fail(err, TRIMLET_ERR_READ, "cannot decode '%s': can't fopen", path);
    }
    const char *why = NULL;
    int status = TRIMLET_OK, error_no = 0;
    size_t len = 0;
    unsigned char *data = read_all(f, max_pixels, &len, &why, &status, &error_no, err);
    fclose(f);
    if (data == NULL) {
        if (why == NULL) return 0;  // over the pixel limit: err is set
        if (system_reasons && error_no != 0) why = strerror(error_no);
        return fail(err, status, "cannot decode '%s': %s", path, why);
    }
    in->data = data;
    in->size = len;
    in->owned = data;
    jpeg_mend_input(in);
    return 1;
}

void input_from_memory(const void *data, size_t size, long long max_pixels, Input *in) {
    in->data = (const unsigned char *)data;
    in->size = size;
    in->owned = NULL;
    in->name = "<memory>";
    in->max_pixels = max_pixels;
    in->region_verdict = 0;
    in->mended = 0;
}

void release_input(Input *in) {
    free(in->owned);
    in->owned = NULL;
    in->data = NULL;
    in->size = 0;
}
