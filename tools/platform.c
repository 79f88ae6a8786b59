/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * The program's view of the system: folders, file identity, standard
 * streams, threads, the terminal and the entry point. Paths are UTF-8 on
 * every system; on Windows they become UTF-16 for the wide-character calls,
 * and the arguments arrive as UTF-16. Files themselves are opened by the
 * library, which takes UTF-8 paths too.
 */

#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L
#endif

#include "cli.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <wchar.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

/* The most threads -j accepts (args.c checks it). */
enum { MAX_CORES = 256 };

#ifdef _WIN32
/* UTF-8 to a malloc'd UTF-16 string, or NULL. */
static wchar_t *widen(const char *s) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, NULL, 0);
    wchar_t *w = n > 0 ? (wchar_t *)malloc((size_t)n * sizeof(wchar_t)) : NULL;
    if (w && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, w, n) != n) {
        free(w);
        w = NULL;
    }
    return w;
}

/* UTF-16 to a malloc'd UTF-8 string, or NULL. */
static char *narrow(const wchar_t *w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
    char *s = n > 0 ? (char *)malloc((size_t)n) : NULL;
    if (s && WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, NULL, NULL) != n) {
        free(s);
        s = NULL;
    }
    return s;
}
#endif

int number_of_cores(void) {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    long n = (long)info.dwNumberOfProcessors;
#else
    long n = sysconf(_SC_NPROCESSORS_ONLN);
#endif
    return n < 1 ? 1 : n > MAX_CORES ? MAX_CORES : (int)n;
}

int is_terminal(FILE *f) {
#ifdef _WIN32
    return _isatty(_fileno(f));
#else
    return isatty(fileno(f));
#endif
}

int is_separator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\' || c == ':';
#else
    return c == '/';
#endif
}

/* ------------------------------------------------------------------------ */
/* Folders */

int path_kind(const char *path) {
#ifdef _WIN32
    wchar_t *w = widen(path);
    struct _stat64 st;
    int found = w && _wstat64(w, &st) == 0;
    free(w);
    return !found ? 0 : (st.st_mode & _S_IFMT) == _S_IFDIR ? 1 : 2;
#else
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 1 : 2;
#endif
}

static int make_dir(const char *path) {
#ifdef _WIN32
    wchar_t *w = widen(path);
    int made = w && _wmkdir(w) == 0;
    free(w);
    return made;
#else
    return mkdir(path, 0777) == 0;
#endif
}

int ensure_dir(const char *dir) {
    int kind = path_kind(dir);
    if (kind == 1) return 1;
    if (kind == 2) {
        fprintf(stderr, "trimlet: %s: not a directory\n", dir);
        return 0;
    }
    /* Another process of the same batch (xargs -P) may create it between
     * the look and the mkdir: a directory that exists by then will do. */
    if (!make_dir(dir)) {
        int why = errno;
        if (why == EEXIST && path_kind(dir) == 1) return 1;
        fprintf(stderr, "trimlet: %s: cannot create directory: %s\n", dir, strerror(why));
        return 0;
    }
    return 1;
}

size_t read_head(const char *path, unsigned char *buf, size_t n) {
#ifdef _WIN32
    wchar_t *w = widen(path);
    FILE *f = w ? _wfopen(w, L"rb") : NULL;
    free(w);
#else
    FILE *f = fopen(path, "rb");
#endif
    if (!f) return 0;
    size_t got = fread(buf, 1, n, f);
    fclose(f);
    return got;
}

/* ------------------------------------------------------------------------ */
/* File identity: "./a.png", "a.png" and links to one file are one file */

void file_id(const char *path, FileId *id) {
    memset(id, 0, sizeof *id);
#ifdef _WIN32
    wchar_t *w = widen(path);
    id->full = w ? _wfullpath(NULL, w, 0) : NULL;
    id->exists = id->full != NULL;
    free(w);
#else
    struct stat st;
    id->exists = stat(path, &st) == 0;
    id->dev = id->exists ? (unsigned long long)st.st_dev : 0;
    id->ino = id->exists ? (unsigned long long)st.st_ino : 0;
#endif
}

int compare_file_ids(const FileId *a, const char *pa, const FileId *b, const char *pb) {
#ifdef _WIN32
    if (a->full && b->full) return _wcsicmp((const wchar_t *)a->full, (const wchar_t *)b->full);
    return _stricmp(pa, pb);
#else
    if (a->exists != b->exists) return a->exists - b->exists;
    if (!a->exists) return strcmp(pa, pb);
    if (a->dev != b->dev) return a->dev < b->dev ? -1 : 1;
    if (a->ino != b->ino) return a->ino < b->ino ? -1 : 1;
    return 0;
#endif
}

void release_file_id(FileId *id) {
    free(id->full);
    id->full = NULL;
}

/* ------------------------------------------------------------------------ */
/* Standard streams */

int read_stdin(Bytes *b) {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    size_t cap = 1 << 16;
    b->size = 0;
    b->data = (unsigned char *)malloc(cap);
    if (!b->data) return 0;
    for (;;) {
        if (b->size == cap) {
            unsigned char *bigger = cap < ((size_t)-1) / 2 ? (unsigned char *)realloc(b->data, cap * 2) : NULL;
            if (!bigger) {
                free(b->data);
                b->data = NULL;
                errno = ENOMEM;
                return 0;
            }
            b->data = bigger;
            cap *= 2;
        }
        size_t got = fread(b->data + b->size, 1, cap - b->size, stdin);
        b->size += got;
        if (got == 0) break;
    }
    if (ferror(stdin)) {
        int e = errno ? errno : EIO;
        free(b->data);
        b->data = NULL;
        errno = e;
        return 0;
    }
    return 1;
}

int write_stdout(const void *data, size_t size) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    int ok = fwrite(data, 1, size, stdout) == size;
    return fflush(stdout) == 0 && ok;
}

/* ------------------------------------------------------------------------ */
/* Threads */

struct Lock {
#ifdef _WIN32
    CRITICAL_SECTION cs;
#else
    pthread_mutex_t m;
#endif
};

Lock *lock_new(void) {
    Lock *l = (Lock *)malloc(sizeof *l);
#ifdef _WIN32
    if (l) InitializeCriticalSection(&l->cs);
#else
    if (l && pthread_mutex_init(&l->m, NULL) != 0) {
        free(l);
        l = NULL;
    }
#endif
    return l;
}

void lock_free(Lock *l) {
    if (!l) return;
#ifdef _WIN32
    DeleteCriticalSection(&l->cs);
#else
    pthread_mutex_destroy(&l->m);
#endif
    free(l);
}

#ifdef _WIN32
void lock(Lock *l) { EnterCriticalSection(&l->cs); }
void unlock(Lock *l) { LeaveCriticalSection(&l->cs); }
#else
void lock(Lock *l) { pthread_mutex_lock(&l->m); }
void unlock(Lock *l) { pthread_mutex_unlock(&l->m); }
#endif

typedef struct Work {
    void (*fn)(void *);
    void *arg;
} Work;

#ifdef _WIN32
typedef HANDLE Thread;
static unsigned __stdcall thread_main(void *p) {
    Work *w = (Work *)p;
    w->fn(w->arg);
    return 0;
}
static int thread_start(Thread *t, Work *w) {
    *t = (HANDLE)_beginthreadex(NULL, 0, thread_main, w, 0, NULL);
    return *t != 0;
}
static void thread_join(Thread t) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}
#else
typedef pthread_t Thread;
static void *thread_main(void *p) {
    Work *w = (Work *)p;
    w->fn(w->arg);
    return NULL;
}
static int thread_start(Thread *t, Work *w) { return pthread_create(t, NULL, thread_main, w) == 0; }
static void thread_join(Thread t) { pthread_join(t, NULL); }
#endif

void run_on_threads(int count, void (*fn)(void *), void *arg) {
    Work w = {fn, arg};
    Thread *extra = count > 0 ? (Thread *)calloc((size_t)count, sizeof(Thread)) : NULL;
    int started = 0;
    while (extra && started < count && thread_start(&extra[started], &w)) ++started;
    fn(arg);
    for (int i = 0; i < started; ++i) thread_join(extra[i]);
    free(extra);
}

/* ------------------------------------------------------------------------ */
/* Arguments */

#ifdef _WIN32
/* Windows hands the program its arguments as UTF-16; the library and the
 * rest of the program take UTF-8, so any file name works whatever the code
 * page. The console shows UTF-8 messages as such. */
char **utf8_arguments(int argc, wchar_t **wargv) {
    char **argv = (char **)calloc((size_t)argc + 1, sizeof(char *));
    int ok = argv != NULL;
    for (int i = 0; ok && i < argc; ++i) ok = (argv[i] = narrow(wargv[i])) != NULL;
    if (!ok) {
        free_arguments(argc, argv);
        return NULL;
    }
    SetConsoleOutputCP(CP_UTF8);
    return argv;
}

void free_arguments(int argc, char **argv) {
    for (int i = 0; argv && i < argc; ++i) free(argv[i]);
    free(argv);
}
#endif
