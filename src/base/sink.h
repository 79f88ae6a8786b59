// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Where encoded bytes go: a sink over a file or a memory block, and output
// files replaced safely.
#ifndef TRIMLET_BASE_SINK_H
#define TRIMLET_BASE_SINK_H

#include "base/base.h"

// caller learns of it from sink_finish.
enum SinkKind { SINK_FILE, SINK_MEMORY };
struct Sink {
    int kind;
    FILE *f;           // SINK_FILE: the open file, or NULL to open path lazily
    const char *path;  // SINK_FILE with f NULL: opened ("wb") on the first byte
    unsigned char *mem;  // SINK_MEMORY: the block (malloc), its length, capacity
    size_t mem_size, mem_cap;
    int failed;
    int error_no;  // errno of the failed open/write/close, 0 when unknown
    size_t used;
    unsigned char buf[8192];
};

// ---------------------------------------------------------------------------
// sink.cpp

// Sends bytes to the sink (gathered in its buffer).
void sink_write(Sink *sink, const void *data, size_t size);
// Flushes and, for a file the sink opened itself, closes. Returns encoded when
// every write succeeded, else 0.
int sink_finish(Sink *sink, int encoded);

// files.cpp

// Opens path for reading or writing as fopen does, with path taken as UTF-8
// on Windows (converted to UTF-16 for the wide-character call).
FILE *open_utf8(const char *path, const char *mode);

// Writes an output file so that it is never left half-written: begin_replace
// opens a temporary file beside path (through a symbolic link, beside its
// target) and points sink at it; finish_replace closes it and renames it over
// the output, keeping an existing file's permission bits, or removes it when
// encoded is 0 (the encoder's message stands) or a write failed. An output that exists and is not a regular file
// is written directly. Message on failure: "cannot write '<path>': <reason>".
struct Replace {
    char *target;  // the file to replace (path, or a link's target), malloc'd
    char *temp;    // the temporary file, malloc'd; NULL when writing directly
};
int begin_replace(const char *path, Replace *rep, Sink *sink, Failure *err);
int finish_replace(const char *path, Replace *rep, Sink *sink, int encoded, Failure *err);

#endif
