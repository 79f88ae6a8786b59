// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Counts of the expensive opens a call makes: an input opened by its codec,
// and the libraries' own parses of a file's container. Kept so that a test
// can hold the pipeline to opening each input once; relaxed atomic adds,
// nothing a caller can see.
#ifndef TRIMLET_BASE_COUNT_H
#define TRIMLET_BASE_COUNT_H

enum OpenKind {
    OPEN_READER,       // an input opened by its codec (reader_open)
    OPEN_TIFF,         // TIFFClientOpenExt
    OPEN_HEIF,         // heif_context_read_from_memory
    OPEN_JPEG_HEADER,  // a JPEG header read for the lossless cut
    OPEN_WEBP_DEMUX,   // WebPDemux: a WebP's chunks parsed for its frames
    OPEN_KINDS
};

void count_open(int kind);
// The opens of the kind since the process started.
unsigned long opens_counted(int kind);

#endif
