// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// dlopen of an optional library by the name the build was linked against.
#include "base/dynlib.h"

#if defined(_WIN32)

int dynlib_load(const char *soname, const char *const *names, void **fns, size_t n) {
    (void)soname;
    (void)names;
    (void)fns;
    (void)n;
    return 0;
}

#else

#include <dlfcn.h>
#include <string.h>

int dynlib_load(const char *soname, const char *const *names, void **fns, size_t n) {
    // RTLD_LOCAL: the library's symbols (and its codecs') never stand in for
    // a host's own of the same name.
    void *lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) return 0;
    void *found[64];
    if (n > sizeof found / sizeof found[0]) {
        dlclose(lib);
        return 0;
    }
    for (size_t i = 0; i < n; ++i) {
        found[i] = dlsym(lib, names[i]);
        if (found[i] == NULL) {
            dlclose(lib);
            return 0;
        }
    }
    // The library stays open for the life of the process: its functions are
    // called from any thread at any time after this.
    memcpy(fns, found, n * sizeof *fns);
    return 1;
}

#endif
