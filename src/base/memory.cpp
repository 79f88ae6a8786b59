// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Large blocks: decoded pictures, input files, filtered and deflated PNG
// data. A crop of a 7 MP picture touches some 50 MB of fresh memory, and on
// 4 KiB pages every first touch is a page fault: a quarter of a one-shot
// crop's time on a virtual machine (docs/performance-png.md). Where the
// kernel hands out transparent huge pages on request, a large block asks
// for them before it is first written, which takes 512 faults down to one.

#include "base/base.h"

#include <stdint.h>
#include <stdlib.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// Below this a block is left alone: the rounding to 2 MiB pages would cost
// more memory than the faults it saves are worth.
[[maybe_unused]] static const size_t HUGE_FROM = (size_t)4 << 20;

void *block_malloc(size_t n) {
    void *p = malloc(n ? n : 1);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (p != NULL && n >= HUGE_FROM) {
        // The whole 2 MiB pages inside the block; a refusal (no THP in this
        // kernel, or a setting of "never") leaves ordinary pages.
        const uintptr_t page = (uintptr_t)2 << 20;
        uintptr_t from = ((uintptr_t)p + page - 1) & ~(page - 1);
        uintptr_t to = ((uintptr_t)p + n) & ~(page - 1);
        if (to > from) (void)madvise((void *)from, to - from, MADV_HUGEPAGE);
    }
#endif
    return p;
}

// The filter bytes PNG puts before each row are the h bytes on the end: the
// writer filters the picture in its own block (pngwrite.cpp), and with them
// already there its realloc neither moves nor copies the block.
void *pixels_malloc(size_t w, size_t h) {
    if (w != 0 && h > SIZE_MAX / 4 / w) return NULL;
    size_t n = w * h * 4;
    return n <= SIZE_MAX - h ? block_malloc(n + h) : NULL;
}
