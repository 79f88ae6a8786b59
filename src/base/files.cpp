// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Files: reading an input whole, and replacing an output so that it is never
// left half-written. The seven original functions pass their paths to fopen
// unchanged; the reentrant ones take UTF-8 paths on every system (open_utf8)
// and name the system's reason when a file cannot be opened, read or written.

#include "base/sink.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------
// Opening files

#ifdef _WIN32
// path (UTF-8) as a fresh UTF-16 string, or NULL when it is not valid UTF-8
// or memory runs out.
static wchar_t *widen(const char *path) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, NULL, 0);
    if (n <= 0) return NULL;
    wchar_t *w = (wchar_t *)malloc((size_t)n * sizeof(wchar_t));
    if (w == NULL) return NULL;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, w, n) != n) {
        free(w);
        return NULL;
    }
    return w;
}

FILE *open_utf8(const char *path, const char *mode) {
    wchar_t *wpath = widen(path);
    wchar_t wmode[8];
    size_t i = 0;
    for (; mode[i] != '\0' && i + 1 < sizeof wmode / sizeof wmode[0]; ++i) wmode[i] = (wchar_t)mode[i];
    wmode[i] = L'\0';
    if (wpath == NULL) {
        errno = EINVAL;
        return NULL;
    }
    FILE *f = _wfopen(wpath, wmode);
    free(wpath);
    return f;
}
#else
FILE *open_utf8(const char *path, const char *mode) { return fopen(path, mode); }
#endif

// ---------------------------------------------------------------------------
// Replacing output files
//
// The image goes to a temporary file in the output's own folder (so that the
// final rename stays on one filesystem and is atomic), which is closed, every
// write and the close checked, given the old file's permission bits and only
// then renamed over the output. On any failure the temporary file is removed
// and the output is as it was.

static char *copy_string(const char *s) {
    size_t n = strlen(s) + 1;
    char *c = (char *)malloc(n);
    if (c != NULL) memcpy(c, s, n);
    return c;
}

// A name for the temporary file beside target: "<dir>/.<name>.trimlet-<n>".
// n mixes the process, a counter and the call's stack address, so two calls
// on different threads or in different processes do not pick the same name;
// a clash is still caught by the exclusive create and retried.
static char *temp_name(const char *target, unsigned attempt) {
    static unsigned s_counter;  // only ever incremented atomically
    unsigned count = __atomic_fetch_add(&s_counter, 1u, __ATOMIC_RELAXED);
    const char *slash = strrchr(target, '/');
#ifdef _WIN32
    const char *back = strrchr(target, '\\');
    if (back != NULL && (slash == NULL || back > slash)) slash = back;
#endif
    size_t dir_len = slash != NULL ? (size_t)(slash - target) + 1 : 0;
    const char *base = target + dir_len;
#ifdef _WIN32
    unsigned long pid = (unsigned long)GetCurrentProcessId();
#else
    unsigned long pid = (unsigned long)getpid();
#endif
    unsigned long mix = pid * 2654435761ul ^ (unsigned long)(uintptr_t)&count ^
                        ((unsigned long)count << 16) ^ attempt;
    size_t n = dir_len + strlen(base) + 40;
    char *name = (char *)malloc(n);
    if (name == NULL) return NULL;
    snprintf(name, n, "%.*s.%s.trimlet-%08lx", (int)dir_len, target, base, mix & 0xFFFFFFFFul);
    return name;
}

#ifdef _WIN32
// Creates a new file exclusively, as "wb".
static FILE *create_new(const char *path, int mode) {
    (void)mode;
    wchar_t *w = widen(path);
    if (w == NULL) {
        errno = EINVAL;
        return NULL;
    }
    int fd = _wopen(w, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    free(w);
    if (fd < 0) return NULL;
    FILE *f = _fdopen(fd, "wb");
    if (f == NULL) _close(fd);
    return f;
}

static int replace_file(const char *temp, const char *target) {
    wchar_t *wt = widen(temp), *wd = widen(target);
    int ok = wt != NULL && wd != NULL &&
             MoveFileExW(wt, wd, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) errno = EACCES;
    free(wt);
    free(wd);
    return ok;
}

static void remove_file(const char *path) {
    wchar_t *w = widen(path);
    if (w != NULL) _wremove(w);
    free(w);
}

// On Windows every existing output is replaced as a regular file.
static int inspect_target(const char *path, char **target, int *direct, int *mode) {
    *target = copy_string(path);
    *direct = 0;
    *mode = -1;
    return *target != NULL;
}
#else
static FILE *create_new(const char *path, int mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode >= 0 ? mode : 0666);
    if (fd < 0) return NULL;
    // The umask may have taken bits from an existing file's mode: restore them.
    if (mode >= 0 && fchmod(fd, (mode_t)mode) != 0) {
        int e = errno;
        close(fd);
        unlink(path);
        errno = e;
        return NULL;
    }
    FILE *f = fdopen(fd, "wb");
    if (f == NULL) {
        int e = errno;
        close(fd);
        unlink(path);
        errno = e;
    }
    return f;
}

static int replace_file(const char *temp, const char *target) {
    return rename(temp, target) == 0;
}

static void remove_file(const char *path) { unlink(path); }

// Finds the file an output path names: a symbolic link is followed to its
// target, so that the link stays a link. *direct is set when the output
// exists and is not a regular file (a device, a pipe), or is a link whose
// target does not exist yet: those are written in place. *mode is the
// existing file's permission bits, or -1.
static int inspect_target(const char *path, char **target, int *direct, int *mode) {
    *direct = 0;
    *mode = -1;
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char *real = realpath(path, NULL);
        if (real == NULL) {
            *direct = 1;  // a dangling link: writing creates its target
            *target = copy_string(path);
            return *target != NULL;
        }
        *target = real;
    } else {
        *target = copy_string(path);
        if (*target == NULL) return 0;
    }
    if (stat(*target, &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            *direct = 1;
        } else {
            *mode = (int)(st.st_mode & 07777);
        }
    }
    return 1;
}
#endif

int begin_replace(const char *path, Replace *rep, Sink *sink, Failure *err) {
    rep->target = NULL;
    rep->temp = NULL;
    int direct = 0, mode = -1;
    if (!inspect_target(path, &rep->target, &direct, &mode)) {
        return fail(err, TRIMLET_ERR_NO_MEMORY, "cannot write '%s': out of memory", path);
    }
    errno = 0;
    if (direct) {
        sink->f = open_utf8(rep->target, "wb");
    } else {
        for (unsigned attempt = 0; attempt < 100 && sink->f == NULL; ++attempt) {
            free(rep->temp);
            rep->temp = temp_name(rep->target, attempt);
            if (rep->temp == NULL) break;
            errno = 0;
            sink->f = create_new(rep->temp, mode);
            if (sink->f == NULL && errno != EEXIST) break;
        }
    }
    if (sink->f == NULL) {
        int e = errno;
        free(rep->target);
        free(rep->temp);
        rep->target = NULL;
        rep->temp = NULL;
        return fail(err, e != 0 ? TRIMLET_ERR_WRITE : TRIMLET_ERR_NO_MEMORY, "cannot write '%s': %s", path, e != 0 ? strerror(e) : "out of memory");
    }
    return 1;
}

int finish_replace(const char *path, Replace *rep, Sink *sink, int encoded, Failure *err) {
    // sink_finish closes the file and folds every failed write into the result.
    int e = 0, ok = 0, wrote = sink_finish(sink, 1);
    if (!encoded) {
        // The encoder's own message stands.
    } else if (!wrote) {
        e = sink->error_no;
    } else {
        errno = 0;
        if (rep->temp != NULL && !replace_file(rep->temp, rep->target)) {
            e = errno;
            ok = 0;
        } else {
            ok = 1;
        }
    }
    if (!ok && rep->temp != NULL) remove_file(rep->temp);
    free(rep->target);
    free(rep->temp);
    rep->target = NULL;
    rep->temp = NULL;
    if (!ok) {
        if (!encoded) return 0;
        return fail(err, TRIMLET_ERR_WRITE, "cannot write '%s': %s", path, e != 0 ? strerror(e) : "write failed");
    }
    return 1;
}
