// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Optional codec libraries loaded on first use: a process that never meets a
// file of that format maps none of the library or of the codecs it brings.
#ifndef TRIMLET_BASE_DYNLIB_H
#define TRIMLET_BASE_DYNLIB_H

#include <stddef.h>

// Opens the shared library soname (as the build was linked against it:
// "libheif.so.1") with its symbols kept private to it, and stores the
// address of each of the n functions names[i] in fns[i]. Returns 1 when the
// library and every function were found; else 0, with the library closed
// again and fns untouched. Never fails where the system has no dlopen: it
// returns 0.
int dynlib_load(const char *soname, const char *const *names, void **fns, size_t n);

#endif
