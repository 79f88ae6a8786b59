// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Failures: a class and a one-line text. Every failing stage writes both
// with fail() into the record its caller gave it; the exported functions then
// copy the text into the seven's process-wide s_err, the caller's buffer or
// trimlet_result.

#include "base/base.h"

#include <stdarg.h>
#include <string.h>

// The seven's buffer: zero-filled at load (so it reads as ""), never freed
// and never moved. The only mutable state in the library beside the open
// counters (count.cpp).
static char s_err[TRIMLET_ERROR_SIZE];

char *legacy_err(void) { return s_err; }

// The text is formatted into a local buffer first, because an argument may
// point into the text itself (a host can pass trimlet_last_error() back
// as a path). The terminating NUL is written here too, so a C runtime whose
// vsnprintf does not terminate on truncation still leaves at most 511
// characters and a NUL.
int fail(Failure *err, int status, const char *fmt, ...) {
    char buf[TRIMLET_ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) buf[0] = '\0';
    buf[sizeof buf - 1] = '\0';
    memcpy(err->text, buf, sizeof buf);
    err->status = status;
    return 0;
}
