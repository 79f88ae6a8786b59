// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// libheif's table: loaded by its SONAME on first use in the shared library,
// the linked functions in the static one.
#ifdef TRIMLET_USE_LIBHEIF

#define TRIMLET_HEIFLIB_LOADER
#include "codecs/heiflib.h"

#include "base/dynlib.h"

#include <pthread.h>
#include <string.h>

static HeifLib table;
static int loaded;
static pthread_once_t once = PTHREAD_ONCE_INIT;

#ifdef TRIMLET_HEIF_SONAME

static void load(void) {
    static const char *const NAMES[] = {
#define TRIMLET_HEIF_NAME(f) #f,
        TRIMLET_HEIF_FUNCTIONS(TRIMLET_HEIF_NAME)
#undef TRIMLET_HEIF_NAME
    };
    // HeifLib is nothing but function pointers, one per name, in order.
    static_assert(sizeof(HeifLib) == sizeof NAMES / sizeof NAMES[0] * sizeof(void *), "one pointer a name");
    void *fns[sizeof NAMES / sizeof NAMES[0]];
    if (!dynlib_load(TRIMLET_HEIF_SONAME, NAMES, fns, sizeof NAMES / sizeof NAMES[0])) return;
    size_t i = 0;
#define TRIMLET_HEIF_TAKE(f) table.f = (decltype(table.f))fns[i++];
    TRIMLET_HEIF_FUNCTIONS(TRIMLET_HEIF_TAKE)
#undef TRIMLET_HEIF_TAKE
    loaded = 1;
}

#else  // linked: the functions are there

static void load(void) {
#define TRIMLET_HEIF_TAKE(f) table.f = &::f;
    TRIMLET_HEIF_FUNCTIONS(TRIMLET_HEIF_TAKE)
#undef TRIMLET_HEIF_TAKE
    loaded = 1;
}

#endif

const HeifLib *heif_lib(void) {
    pthread_once(&once, load);
    return loaded ? &table : NULL;
}

// The class of a libheif failure.
int heif_status(const heif_error &e) {
    if (e.subcode == heif_suberror_Security_limit_exceeded) return TRIMLET_ERR_TOO_LARGE;
    switch (e.code) {
    case heif_error_Memory_allocation_error:
        return TRIMLET_ERR_NO_MEMORY;
    case heif_error_Unsupported_filetype:
    case heif_error_Unsupported_feature:
        return TRIMLET_ERR_UNSUPPORTED;
    default:
        return TRIMLET_ERR_CORRUPT;
    }
}

// Fails with libheif's reason as one line: its messages may end in a
// newline, and control characters become spaces.
int fail_heif(Failure *err, int status, const char *what, const char *name, const char *message) {
    char reason[256];
    size_t n = 0;
    for (; message != NULL && message[n] != '\0' && n + 1 < sizeof reason; ++n) {
        unsigned char c = (unsigned char)message[n];
        reason[n] = c < 32 || c == 127 ? ' ' : (char)c;
    }
    while (n > 0 && reason[n - 1] == ' ') --n;
    reason[n] = '\0';
    return fail(err, status, "cannot %s '%s': %s", what, name, reason);
}

#endif
