// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Byte sinks: where encoded bytes go, a file or a growing block of memory.

#include "base/sink.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

// Sinks
// A file sink given no open file opens its path only when the first bytes
// leave the buffer, so an encoder that fails before producing anything leaves
// an existing file alone (the seven write their outputs this way). Short
// writes are remembered and reported at the end, because stb_image_write's
// own writers ignore them. The JPEG encoder hands over its output one byte at
// a time, so small pieces are gathered in buf and leave in large writes.

// Sends size bytes at data to the file or the memory block.
static void sink_put(Sink *sink, const void *data, size_t size) {
    if (sink->failed || size == 0) return;
    if (sink->kind == SINK_MEMORY) {
        if (size > sink->mem_cap - sink->mem_size) {
            size_t cap = sink->mem_cap ? sink->mem_cap : 65536;
            while (cap - sink->mem_size < size) {
                if (cap > SIZE_MAX / 2) {
                    sink->failed = 1;
                    return;
                }
                cap *= 2;
            }
            unsigned char *bigger = (unsigned char *)realloc(sink->mem, cap);
            if (bigger == NULL) {
                sink->failed = 1;
                sink->error_no = ENOMEM;
                return;
            }
            sink->mem = bigger;
            sink->mem_cap = cap;
        }
        memcpy(sink->mem + sink->mem_size, data, size);
        sink->mem_size += size;
        return;
    }
    if (sink->f == NULL) {
        errno = 0;
        sink->f = fopen(sink->path, "wb");
        if (sink->f == NULL) {
            sink->failed = 1;
            sink->error_no = errno;
            return;
        }
    }
    errno = 0;
    if (fwrite(data, 1, size, sink->f) != size) {
        sink->failed = 1;
        sink->error_no = errno;
    }
}

static void sink_flush(Sink *sink) {
    sink_put(sink, sink->buf, sink->used);
    sink->used = 0;
}

void sink_write(Sink *sink, const void *data, size_t n) {
    if (n <= sizeof sink->buf - sink->used) {
        memcpy(sink->buf + sink->used, data, n);
        sink->used += n;
        return;
    }
    sink_flush(sink);
    if (n < sizeof sink->buf) {
        memcpy(sink->buf, data, n);
        sink->used = n;
    } else {
        sink_put(sink, data, n);
    }
}

int sink_finish(Sink *sink, int encoded) {
    sink_flush(sink);
    if (sink->kind == SINK_MEMORY) {
        if (!sink->failed && sink->mem == NULL && encoded) {
            sink->mem = (unsigned char *)malloc(1);  // an empty result still has a block
            if (sink->mem == NULL) sink->failed = 1;
        }
        return sink->failed ? 0 : encoded;
    }
    if (encoded && !sink->failed && sink->f == NULL) {
        // An encoder that succeeded without producing a byte still owes the
        // caller a file; create it empty.
        errno = 0;
        sink->f = fopen(sink->path, "wb");
        if (sink->f == NULL) {
            sink->failed = 1;
            sink->error_no = errno;
        }
    }
    if (sink->f != NULL) {
        errno = 0;
        if (fclose(sink->f) != 0 && !sink->failed) {
            sink->failed = 1;
            sink->error_no = errno;
        }
    }
    sink->f = NULL;
    return sink->failed ? 0 : encoded;
}
