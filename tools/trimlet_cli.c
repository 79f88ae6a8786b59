/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * One subcommand per crop rule, arguments in the library's own order:
 *
 *   trimlet rect X Y W H INPUT... (-o OUT | -d DIR | --in-place) [options]
 *   trimlet aspect W:H ...        trimlet auto [-t PERCENT] ...
 *   trimlet edges TOP RIGHT BOTTOM LEFT ...
 *   trimlet plan RULE ARGS INPUT... [--json]     (prints boxes, writes nothing)
 *
 * Every crop is one call of the library's reentrant interface: files through
 * trimlet_crop_file (which never leaves a half-written output), standard
 * input and output through trimlet_crop_memory. Before any file is read or
 * written, the whole command line is checked: numbers strictly and against
 * their ranges, every output format, and every output against every input
 * and every other output, so nothing is overwritten by surprise.
 *
 * With -j N the files are cropped on N threads; failures, progress and plan
 * lines are still printed in input order, so the output, the summary and the
 * exit status are those of -j 1.
 *
 * Exit status: 0 all cropped, 1 any file failed, 2 usage error or refused
 * overwrite (nothing was done).
 */

#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L
#endif

#include "trimlet.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
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

enum { EXIT_ALL_CROPPED = 0, EXIT_SOME_FAILED = 1, EXIT_USAGE = 2 };

/* The tolerance `trimlet auto` uses when -t is not given, in percent. */
static const int DEFAULT_TOLERANCE = 10;

/* The most threads -j accepts. */
static const int MAX_JOBS = 256;

/* The formats trimlet writes, as --format and output extensions name them. */
static const char *const FORMATS[] = {"png", "jpg", "jpeg", "bmp", "tga"};

/* The name failures on standard input are reported under. */
static const char STDIN_NAME[] = "standard input";

#define COUNT(a) ((int)(sizeof(a) / sizeof((a)[0])))

typedef enum { RULE_RECT, RULE_ASPECT, RULE_AUTO, RULE_EDGES } RuleId;

typedef struct Rule {
    const char *name;
    int library_rule;          /* enum trimlet_rule */
    int nums;                  /* leading numeric arguments */
    const char *num_names[4];  /* their names in messages */
    const char *synopsis;      /* arguments between the rule and the inputs */
    const char *summary;       /* one line for the overview */
    const char *details;       /* the rule's own help text */
    const char *example;
} Rule;

static const Rule RULES[] = {
    {"rect", TRIMLET_RECT, 4, {"X", "Y", "W", "H"}, "X Y W H",
     "crops to the W x H rectangle at (X, Y), clipped",
     "Crops to the W x H rectangle whose top-left corner is (X, Y), clipped to\n"
     "the image. X and Y may be negative; W and H must be above 0.\n",
     "trimlet rect 10 20 100 50 photo.png -o thumb.jpg"},
    {"aspect", TRIMLET_RATIO, 1, {"RATIO"}, "W:H",
     "crops the largest centred region of ratio W:H",
     "Crops the largest centred region of ratio W:H (width:height), for\n"
     "example 1:1, 4:3, 3:4, 16:9, 21:9; both parts are whole numbers above 0.\n",
     "trimlet aspect 16:9 photo.png -o wide.png"},
    {"auto", TRIMLET_AUTO, 0, {NULL}, "[-t PERCENT]",
     "trims uniform borders (tolerance PERCENT, default 10)",
     "Trims uniform borders: keeps the bounding box of every pixel that differs\n"
     "from the corner pixel of its quarter of the image by more than PERCENT\n"
     "of the full range in any channel (0-100, default 10).\n",
     "trimlet auto -t 10 scan.png -o trimmed.png"},
    {"edges", TRIMLET_EDGES, 4, {"TOP", "RIGHT", "BOTTOM", "LEFT"}, "TOP RIGHT BOTTOM LEFT",
     "cuts a percentage (0-49) from each side",
     "Cuts a percentage (0-49, rounded down to whole pixels) from each side:\n"
     "TOP and BOTTOM of the height, RIGHT and LEFT of the width.\n",
     "trimlet edges 10 0 0 25 photo.png -o cut.png"},
};

static const char OUTPUT_HELP[] =
    "Output (exactly one):\n"
    "  -o OUT           write the crop of the single INPUT to OUT; OUT's extension\n"
    "                   (.png, .jpg, .jpeg, .bmp, .tga) or --format picks the\n"
    "                   format; '-o -' writes to standard output (needs --format)\n"
    "  -d DIR           write each INPUT's crop to DIR/<input name>.<format>: the\n"
    "                   input's own format when trimlet writes it, else PNG, or\n"
    "                   --format (DIR is created if missing)\n"
    "  --in-place       crop each INPUT onto itself, in its own format\n"
    "Options:\n"
    "  --format FMT     png, jpg, jpeg, bmp or tga, in any case\n"
    "  --quality N      JPEG quality 1-100 (default 90)\n"
    "  --background RRGGBB  colour that transparency is flattened onto in JPEG\n"
    "                   and BMP output (default ffffff, white)\n"
    "  --upright        turn photos by their EXIF orientation, as viewers show\n"
    "                   them (default)\n"
    "  --as-stored      keep the pixels in the order the file stores them\n"
    "  --keep-metadata  carry the colour profile and EXIF into PNG and JPEG\n"
    "                   output (default)\n"
    "  --strip          write no colour profile and no EXIF\n"
    "  --lossless       JPEG to JPEG without re-encoding\n"
    "  -j N             crop N files at once (default: the number of cores)\n"
    "  -h, --help       show this help\n"
    "  --               end of options: every later argument is an INPUT\n"
    "An INPUT of '-' is standard input. trimlet never writes onto one of its\n"
    "inputs unless --in-place is given, and a failed crop leaves an existing\n"
    "output exactly as it was.\n"
    "Exit status: 0 all cropped, 1 any file failed, 2 usage error or refused\n"
    "overwrite (then nothing was done).\n";

static const char PLAN_HELP[] =
    "usage: trimlet plan RULE ARGS INPUT... [--json] [options]\n"
    "Prints the box RULE would cut from each INPUT, without writing anything:\n"
    "one line per file, 'x y w h image_w image_h name' (the name runs to the\n"
    "end of the line), or with --json one JSON object per line with the keys\n"
    "file, x, y, w, h, image_w and image_h. Failures are reported as for crops.\n"
    "Options: --json, --upright, --as-stored, --lossless, -j N, -t PERCENT (auto).\n"
    "Example:\n"
    "  trimlet plan auto -t 5 scans/*.png --json\n";

/* ------------------------------------------------------------------------ */
/* Messages */

/* What the command line names, for the usage hint: "plan", a rule or NULL. */
static const char *s_hint;

/* Prints "trimlet: <message>" and a one-line hint; returns EXIT_USAGE. */
static int usage_error(const char *fmt, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

static int usage_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("trimlet: ", stderr);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    if (s_hint) {
        fprintf(stderr, "\nTry 'trimlet help %s'.\n", s_hint);
    } else {
        fputs("\nTry 'trimlet --help'.\n", stderr);
    }
    return EXIT_USAGE;
}

static void print_overview(FILE *f) {
    fprintf(f,
            "trimlet %s: crop image files (JPEG, PNG, BMP, PSD, TGA, GIF, HDR, PIC, PNM)\n"
            "usage: trimlet RULE ARGS INPUT... (-o OUT | -d DIR | --in-place) [options]\n"
            "       trimlet plan RULE ARGS INPUT... [--json]\n"
            "       trimlet help [RULE | plan] | --help | --version\n"
            "Rules:\n",
            TRIMLET_VERSION_STRING);
    for (int i = 0; i < COUNT(RULES); ++i) {
        char head[64];
        snprintf(head, sizeof head, "%s %s", RULES[i].name, RULES[i].synopsis);
        fprintf(f, "  %-28s %s\n", head, RULES[i].summary);
    }
    fprintf(f, "  %-28s %s\n", "plan RULE ARGS", "prints the box a rule would cut");
    fputs(OUTPUT_HELP, f);
    fputs("Examples:\n", f);
    for (int i = 0; i < COUNT(RULES); ++i) fprintf(f, "  %s\n", RULES[i].example);
    fputs("  trimlet auto *.png -d trimmed --format jpg\n"
          "  trimlet plan auto scan.png\n",
          f);
}

static void print_rule_help(FILE *f, const Rule *rule) {
    fprintf(f, "usage: trimlet %s %s INPUT... (-o OUT | -d DIR | --in-place) [options]\n",
            rule->name, rule->synopsis);
    fputs(rule->details, f);
    fputs(OUTPUT_HELP, f);
    fprintf(f, "Example:\n  %s\n", rule->example);
}

static const Rule *find_rule(const char *name) {
    for (int i = 0; i < COUNT(RULES); ++i) {
        if (strcmp(RULES[i].name, name) == 0) return &RULES[i];
    }
    return NULL;
}

/* ------------------------------------------------------------------------ */
/* Strict numbers */

/* Parses a whole decimal number that fits a 32-bit int: an optional sign
 * (only when signed_ok), digits and nothing else. Returns 1, or 0 when the
 * text is not such a number, or -1 when it is one outside the int range. */
static int scan_int(const char *text, int signed_ok, int *out) {
    const char *digits = text;
    if (signed_ok && (text[0] == '-' || text[0] == '+')) ++digits;
    if (*digits < '0' || *digits > '9') return 0;
    char *end = NULL;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (*end != '\0') return 0;
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return -1;
    *out = (int)v;
    return 1;
}

/* Parses the value of `name` for `command` ("rect", "-j", ...) and checks it
 * against lo..hi. On failure prints a usage error naming the argument and
 * returns 0. */
static int parse_int(const char *command, const char *name, const char *text, int lo, int hi,
                     int *out) {
    if (text == NULL) {
        usage_error("%s: missing %s", command, name);
        return 0;
    }
    int got = scan_int(text, 1, out);
    if (got == 0) {
        usage_error("%s: %s must be a whole number, not '%s'", command, name, text);
        return 0;
    }
    if (got < 0) {
        usage_error("%s: %s is out of range (%d..%d): '%s'", command, name, INT_MIN, INT_MAX,
                    text);
        return 0;
    }
    if (*out < lo || *out > hi) {
        if (hi == INT_MAX) {
            usage_error("%s: %s must be above %d, not '%s'", command, name, lo - 1, text);
        } else {
            usage_error("%s: %s must be %d..%d, not '%s'", command, name, lo, hi, text);
        }
        return 0;
    }
    return 1;
}

/* RATIO is W:H with both parts whole numbers above 0. A bare number is
 * refused: it used to be an index into a table of five ratios, and `aspect 1`
 * meaning 4:3 was too easy to misread. */
static int parse_ratio(const char *text, int parts[2]) {
    if (text == NULL) {
        usage_error("aspect: missing RATIO");
        return 0;
    }
    const char *colon = strchr(text, ':');
    char left[32];
    size_t n = colon ? (size_t)(colon - text) : 0;
    int ok = colon && n < sizeof left;
    if (ok) {
        memcpy(left, text, n);
        left[n] = '\0';
        ok = scan_int(left, 0, &parts[0]) > 0 && scan_int(colon + 1, 0, &parts[1]) > 0;
    }
    if (!ok) {
        usage_error("aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '%s'", text);
        return 0;
    }
    if (parts[0] <= 0 || parts[1] <= 0) {
        usage_error("aspect: RATIO parts must be above 0, not '%s'", text);
        return 0;
    }
    return 1;
}

/* RRGGBB (or #RRGGBB) in hexadecimal. */
static int parse_colour(const char *text, unsigned char rgb[3]) {
    const char *hex = text[0] == '#' ? text + 1 : text;
    int ok = strlen(hex) == 6;
    for (int i = 0; ok && i < 6; ++i) {
        char c = hex[i];
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0) ok = 0;
        if (i % 2 == 0) rgb[i / 2] = (unsigned char)(v << 4);
        else rgb[i / 2] = (unsigned char)(rgb[i / 2] | v);
    }
    return ok;
}

static int number_of_cores(void) {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    long n = (long)info.dwNumberOfProcessors;
#else
    long n = sysconf(_SC_NPROCESSORS_ONLN);
#endif
    return n < 1 ? 1 : n > MAX_JOBS ? MAX_JOBS : (int)n;
}

/* ------------------------------------------------------------------------ */
/* Formats and names */

static int same_ascii_nocase(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b) {
        char x = (char)(*a >= 'A' && *a <= 'Z' ? *a - 'A' + 'a' : *a);
        char y = (char)(*b >= 'A' && *b <= 'Z' ? *b - 'A' + 'a' : *b);
        if (x != y) return 0;
    }
    return *a == *b;
}

/* The format trimlet writes for a name such as "JPG" ("jpg"), or NULL. */
static const char *writable_format(const char *name) {
    for (int i = 0; name && i < COUNT(FORMATS); ++i) {
        if (same_ascii_nocase(name, FORMATS[i])) return FORMATS[i];
    }
    return NULL;
}

static int is_jpeg_format(const char *format) {
    return strcmp(format, "jpg") == 0 || strcmp(format, "jpeg") == 0;
}

static int is_separator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\' || c == ':';
#else
    return c == '/';
#endif
}

/* The file name part of a path: what follows the last separator. */
static const char *file_name(const char *path) {
    const char *name = path;
    for (const char *p = path; *p; ++p) {
        if (is_separator(*p)) name = p + 1;
    }
    return name;
}

/* The extension of a path's file name (after its last dot), or NULL. A
 * leading dot (".hidden") does not start an extension. */
static const char *extension(const char *path) {
    const char *name = file_name(path);
    const char *dot = strrchr(name, '.');
    return dot && dot != name ? dot + 1 : NULL;
}

static int is_stream(const char *path) { return strcmp(path, "-") == 0; }

/* DIR/<file name of input without its extension>.<ext>. Returns a malloc'd
 * string, or NULL when out of memory. */
static char *output_in_dir(const char *dir, const char *input, const char *ext) {
    const char *name = file_name(input);
    const char *old = extension(input);
    size_t name_len = old ? (size_t)(old - 1 - name) : strlen(name);
    size_t dir_len = strlen(dir);
    int add_sep = dir_len > 0 && !is_separator(dir[dir_len - 1]);
    size_t size = dir_len + 1 + name_len + 1 + strlen(ext) + 1;
    char *out = (char *)malloc(size);
    if (!out) return NULL;
    snprintf(out, size, "%s%s%.*s.%s", dir, add_sep ? "/" : "", (int)name_len, name, ext);
    return out;
}

/* ------------------------------------------------------------------------ */
/* Files, with UTF-8 paths on every system */

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

/* 0: nothing there, 1: a directory, 2: something else. */
static int path_kind(const char *path) {
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

static FILE *open_file(const char *path, const char *mode) {
#ifdef _WIN32
    wchar_t *w = widen(path);
    wchar_t wmode[8];
    size_t i = 0;
    for (; mode[i] && i + 1 < sizeof wmode / sizeof wmode[0]; ++i) wmode[i] = (wchar_t)mode[i];
    wmode[i] = L'\0';
    FILE *f = w ? _wfopen(w, wmode) : NULL;
    if (!w) errno = EINVAL;
    free(w);
    return f;
#else
    return fopen(path, mode);
#endif
}

static void remove_file(const char *path) {
#ifdef _WIN32
    wchar_t *w = widen(path);
    if (w) _wremove(w);
    free(w);
#else
    remove(path);
#endif
}

/* Creates dir when it does not exist yet. Returns 0 after printing why not. */
static int ensure_dir(const char *dir) {
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

/* A whole stream or file in memory. */
typedef struct Bytes {
    unsigned char *data;
    size_t size;
} Bytes;

/* Reads f to its end into *b. Returns 0 with errno set on failure. */
static int read_all(FILE *f, Bytes *b) {
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
        size_t got = fread(b->data + b->size, 1, cap - b->size, f);
        b->size += got;
        if (got == 0) break;
    }
    if (ferror(f)) {
        int e = errno ? errno : EIO;
        free(b->data);
        b->data = NULL;
        errno = e;
        return 0;
    }
    return 1;
}

/* ------------------------------------------------------------------------ */
/* Outputs that are inputs */

/* One path of the batch, with what identifies its file beyond the string:
 * the device and inode of an existing file on POSIX (so "./a.png", "a.png"
 * and hard or symbolic links to one file all match), the absolute path
 * compared without regard to case on Windows. Standard input and output
 * ("-") match nothing. */
typedef struct PathId {
    const char *path;
    int index;     /* position of the input it belongs to */
    int is_output;
    int stream;
#ifdef _WIN32
    wchar_t *full; /* NULL when it could not be made: the path string is used */
#else
    int exists;
    dev_t dev;
    ino_t ino;
#endif
} PathId;

static void path_id(PathId *id, const char *path, int index, int is_output) {
    id->path = path;
    id->index = index;
    id->is_output = is_output;
    id->stream = is_stream(path);
#ifdef _WIN32
    wchar_t *w = widen(path);
    id->full = w ? _wfullpath(NULL, w, 0) : NULL;
    free(w);
#else
    struct stat st;
    id->exists = !id->stream && stat(path, &st) == 0;
    id->dev = id->exists ? st.st_dev : 0;
    id->ino = id->exists ? st.st_ino : 0;
#endif
}

/* Orders by file alone: 0 means the same file. */
static int compare_files(const PathId *a, const PathId *b) {
    if (a->stream || b->stream) {
        if (a->stream != b->stream) return a->stream - b->stream;
        if (a->is_output != b->is_output) return a->is_output - b->is_output;
        return a->index - b->index;
    }
#ifdef _WIN32
    if (a->full && b->full) return _wcsicmp(a->full, b->full);
    return _stricmp(a->path, b->path);
#else
    if (a->exists != b->exists) return a->exists - b->exists;
    if (!a->exists) return strcmp(a->path, b->path);
    if (a->dev != b->dev) return a->dev < b->dev ? -1 : 1;
    if (a->ino != b->ino) return a->ino < b->ino ? -1 : 1;
    return 0;
#endif
}

/* By file, then inputs before outputs, then by position in the batch. */
static int compare_ids(const void *pa, const void *pb) {
    const PathId *a = (const PathId *)pa, *b = (const PathId *)pb;
    int c = compare_files(a, b);
    if (c == 0) c = a->is_output - b->is_output;
    if (c == 0) c = a->index - b->index;
    return c;
}

/* Refuses an output that two inputs would share, or that is one of the
 * inputs (unless it is its own input and in_place is set). Sorting every
 * path by file keeps this fast for batches of any size; of several clashes,
 * the one whose output comes first in the batch is reported. Returns 1 when
 * there is none, 0 after printing it, -1 after printing that memory ran out. */
static int check_outputs(int n, const char **inputs, const char **outputs, int in_place) {
    PathId *ids = (PathId *)calloc((size_t)n * 2, sizeof(PathId));
    if (!ids) {
        fputs("trimlet: out of memory\n", stderr);
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        path_id(&ids[2 * i], inputs[i], i, 0);
        path_id(&ids[2 * i + 1], outputs[i], i, 1);
    }
    qsort(ids, (size_t)n * 2, sizeof(PathId), compare_ids);
    const PathId *out = NULL, *clash = NULL;
    for (int g = 0, h; g < 2 * n; g = h) {
        /* ids[g..h) name one file: its inputs, then its outputs. */
        int first_out = -1;
        for (h = g; h < 2 * n && compare_files(&ids[g], &ids[h]) == 0; ++h) {
            if (ids[h].is_output && first_out < 0) first_out = h;
        }
        if (first_out < 0) continue;
        const PathId *o = &ids[first_out], *other = NULL;
        if (first_out + 1 < h) {
            other = &ids[first_out + 1];  /* a second output */
        } else {
            /* An input: its own (the likelier mistake) unless in place. */
            for (int j = g; j < first_out; ++j) {
                int own = ids[j].index == o->index;
                if ((own && !in_place) || (!own && !other)) other = &ids[j];
            }
        }
        if (other && (!out || o->index < out->index)) {
            out = o;
            clash = other;
        }
    }
    if (out && clash->is_output) {
        usage_error("%s: would be written twice, for %s and %s", out->path, inputs[out->index],
                    inputs[clash->index]);
    } else if (out && clash->index == out->index) {
        usage_error("%s: output is the input itself; use --in-place to crop it in place",
                    inputs[out->index]);
    } else if (out) {
        usage_error("%s: the output of %s would overwrite the input %s", out->path,
                    inputs[out->index], clash->path);
    }
#ifdef _WIN32
    for (int i = 0; i < 2 * n; ++i) free(ids[i].full);
#endif
    free(ids);
    return out == NULL;
}

/* ------------------------------------------------------------------------ */
/* Progress display */

/* On a terminal, a batch shows one line "done/total name", rewritten in
 * place with \r and cleared before any other output. */
typedef struct Progress {
    int on;
    int width; /* characters currently shown */
} Progress;

static void progress_clear(Progress *p) {
    if (!p->on || p->width == 0) return;
    fprintf(stderr, "\r%*s\r", p->width, "");
    p->width = 0;
}

static void progress_show(Progress *p, int done, int total, const char *name) {
    if (!p->on) return;
    /* Keep the line short enough not to wrap on a narrow terminal: long
     * names show their end, which is the part that differs. */
    enum { ROOM = 60 };
    size_t len = strlen(name);
    const char *cut = len > ROOM ? "..." : "";
    const char *shown = len > ROOM ? name + len - (ROOM - 3) : name;
    char line[128];
    int n = snprintf(line, sizeof line, "%d/%d %s%s", done, total, cut, shown);
    if (n < 0) return;
    if (n >= (int)sizeof line) n = (int)sizeof line - 1;
    fprintf(stderr, "\r%s%*s", line, p->width > n ? p->width - n : 0, "");
    p->width = n > p->width ? n : p->width;
    fflush(stderr);
}

static int is_terminal(FILE *f) {
#ifdef _WIN32
    return _isatty(_fileno(f));
#else
    return isatty(fileno(f));
#endif
}

/* ------------------------------------------------------------------------ */
/* Command */

typedef struct Command {
    const Rule *rule;
    int plan;               /* `trimlet plan`: print boxes, write nothing */
    int json;               /* plan lines as JSON */
    int params[4];          /* the library's params for the rule */
    const char **inputs;    /* room for argc entries */
    int n_inputs;
    const char *out_file;
    const char *out_dir;
    const char *format;     /* as given to --format, or NULL */
    int in_place;
    int jobs;
    int quality;            /* 0: the library's default */
    unsigned char background[3];
    int has_background;
    int orient;             /* the library's values once settled */
    int metadata;
    int lossless;
} Command;

/* The library's options for one output format (NULL for plans). */
static trimlet_options options_for(const Command *c, const char *format) {
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = format;
    o.quality = c->quality;
    o.background = c->has_background ? c->background : NULL;
    o.lossless = c->lossless;
    o.orient = c->orient;
    o.metadata = c->metadata;
    return o;
}

/* Whether the library can do what the options ask, judged on a 1x1 image in
 * memory. On 0, err holds the library's "is not available in this build". */
static int library_can(const trimlet_options *o, char *err) {
    static const unsigned char PIXEL[] = "P6\n1 1\n255\n\0\0\0";
    static const int PARAMS[2] = {1, 1};
    trimlet_box box;
    if (trimlet_plan_memory(PIXEL, sizeof PIXEL - 1, TRIMLET_RATIO, PARAMS, o, &box, err)) {
        return 1;
    }
    return strstr(err, "is not available in this build") == NULL;
}

/* Decides the switches whose default depends on the library build: photos
 * upright and metadata kept where the build can do it (what a viewer showed
 * the person), else as stored and stripped, as before those options
 * existed. A switch asked for that the build lacks is refused. Returns -1 or
 * the exit status after printing why. */
static int settle_library_options(Command *c) {
    char err[TRIMLET_ERROR_SIZE];
    trimlet_options base = options_for(c, NULL);
    base.orient = base.metadata = base.lossless = 0;
    struct {
        const char *flag;
        int *field;  /* +1 asked for, -1 asked against, 0 not said */
        int on;      /* the library's value for "on" */
        int is_default;
    } settings[] = {
        {"--upright", &c->orient, TRIMLET_APPLY_EXIF, 1},
        {"--keep-metadata", &c->metadata, TRIMLET_KEEP, 1},
        {"--lossless", &c->lossless, 1, 0},
    };
    for (int k = 0; k < COUNT(settings); ++k) {
        int asked = *settings[k].field;
        *settings[k].field = 0;
        if (asked < 0 || (asked == 0 && !settings[k].is_default)) continue;
        trimlet_options probe = base;
        if (k == 0) probe.orient = settings[k].on;
        if (k == 1) probe.metadata = settings[k].on;
        if (k == 2) probe.lossless = settings[k].on;
        if (library_can(&probe, err)) {
            *settings[k].field = settings[k].on;
        } else if (asked > 0) {
            return usage_error("%s: %s", settings[k].flag, err);
        }
    }
    return -1;
}

/* Takes the value following option argv[*i]; prints a usage error when it
 * is missing or the option was already given. */
static int option_value(int argc, char **argv, int *i, const char **slot) {
    const char *opt = argv[*i];
    if (*slot) {
        usage_error("%s: %s given twice", s_hint, opt);
        return 0;
    }
    if (*i + 1 >= argc) {
        usage_error("%s: %s needs a value", s_hint, opt);
        return 0;
    }
    *slot = argv[++*i];
    return 1;
}

/* An argument that looks like a negative number is a value, not an option
 * (rect takes negative X and Y); "-" alone is standard input. */
static int is_option(const char *arg) {
    return arg[0] == '-' && arg[1] != '\0' && !(arg[1] >= '0' && arg[1] <= '9');
}

/* Every option name, so that one written after "--" is not silently taken
 * for an input. */
static const char *const OPTION_NAMES[] = {
    "-o", "-d", "--in-place", "--format", "--quality", "--background", "--upright",
    "--as-stored", "--keep-metadata", "--strip", "--lossless", "-j", "-t", "--json",
    "-h", "--help"};

static int is_option_name(const char *arg) {
    for (int i = 0; i < COUNT(OPTION_NAMES); ++i) {
        if (strcmp(arg, OPTION_NAMES[i]) == 0) return 1;
    }
    return 0;
}

/* A pair of switches that set one field: +1 for the first, -1 for the second
 * (0 in the field: neither given yet). */
static int set_switch(int *field, int value, const char *opt) {
    if (*field != 0 && *field != value) {
        usage_error("%s: %s contradicts an earlier option", s_hint, opt);
        return 0;
    }
    *field = value;
    return 1;
}

/* The format written for input i, and the output path's extension under -d. */
static const char *format_of(const Command *c, int i) {
    if (c->format) return c->format;
    if (c->out_file) return writable_format(extension(c->out_file));
    const char *own = writable_format(extension(c->inputs[i]));
    return own ? own : "png";
}

/* Parses argv[first..] for c->rule. Returns -1 when the command should run,
 * or the exit status to return now (help shown, or a usage error printed). */
static int parse_command(int argc, char **argv, int first, Command *c) {
    const char *tolerance = NULL, *quality = NULL, *background = NULL, *jobs = NULL;
    const char *numbers[4] = {NULL, NULL, NULL, NULL};
    int n_numbers = 0;
    int options_done = 0;
    int orient = 0, metadata = 0, lossless = 0;
    const char *crop_only = NULL; /* an option that plans refuse */
    for (int i = first; i < argc; ++i) {
        const char *a = argv[i];
        if (options_done || !is_option(a)) {
            if (options_done && is_option_name(a)) {
                return usage_error("%s: '%s' after '--' would be an INPUT; put options before '--'",
                                   s_hint, a);
            }
            if (n_numbers < c->rule->nums) {
                numbers[n_numbers++] = a;
            } else {
                c->inputs[c->n_inputs++] = a;
            }
        } else if (strcmp(a, "--") == 0) {
            options_done = 1;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            if (c->plan) fputs(PLAN_HELP, stdout);
            else print_rule_help(stdout, c->rule);
            return EXIT_ALL_CROPPED;
        } else if (strcmp(a, "-o") == 0) {
            if (!option_value(argc, argv, &i, &c->out_file)) return EXIT_USAGE;
            crop_only = a;
        } else if (strcmp(a, "-d") == 0) {
            if (!option_value(argc, argv, &i, &c->out_dir)) return EXIT_USAGE;
            crop_only = a;
        } else if (strcmp(a, "--format") == 0) {
            if (!option_value(argc, argv, &i, &c->format)) return EXIT_USAGE;
            crop_only = a;
        } else if (strcmp(a, "--quality") == 0) {
            if (!option_value(argc, argv, &i, &quality)) return EXIT_USAGE;
            crop_only = a;
        } else if (strcmp(a, "--background") == 0) {
            if (!option_value(argc, argv, &i, &background)) return EXIT_USAGE;
            crop_only = a;
        } else if (strcmp(a, "-j") == 0) {
            if (!option_value(argc, argv, &i, &jobs)) return EXIT_USAGE;
        } else if (strcmp(a, "-t") == 0 && c->rule == &RULES[RULE_AUTO]) {
            if (!option_value(argc, argv, &i, &tolerance)) return EXIT_USAGE;
        } else if (strcmp(a, "--in-place") == 0) {
            c->in_place = 1;
            crop_only = a;
        } else if (strcmp(a, "--upright") == 0 || strcmp(a, "--as-stored") == 0) {
            if (!set_switch(&orient, a[2] == 'u' ? 1 : -1, a)) return EXIT_USAGE;
        } else if (strcmp(a, "--keep-metadata") == 0 || strcmp(a, "--strip") == 0) {
            if (!set_switch(&metadata, a[2] == 'k' ? 1 : -1, a)) return EXIT_USAGE;
            crop_only = a;
        } else if (strcmp(a, "--lossless") == 0) {
            lossless = 1;
        } else if (strcmp(a, "--json") == 0 && c->plan) {
            c->json = 1;
        } else {
            return usage_error("%s: unknown option '%s'", s_hint, a);
        }
    }

    const char *rule = c->rule->name;
    for (int k = 0; k < c->rule->nums; ++k) {
        const char *name = c->rule->num_names[k];
        int ok = 1;
        switch ((RuleId)(c->rule - RULES)) {
        case RULE_RECT:
            ok = parse_int(rule, name, numbers[k], k < 2 ? INT_MIN : 1, INT_MAX, &c->params[k]);
            break;
        case RULE_ASPECT: ok = parse_ratio(numbers[k], c->params); break;
        case RULE_EDGES: ok = parse_int(rule, name, numbers[k], 0, 49, &c->params[k]); break;
        case RULE_AUTO: break;
        }
        if (!ok) return EXIT_USAGE;
    }
    if (c->rule == &RULES[RULE_AUTO]) {
        c->params[0] = DEFAULT_TOLERANCE;
        if (tolerance && !parse_int(rule, "PERCENT", tolerance, 0, 100, &c->params[0])) {
            return EXIT_USAGE;
        }
    }
    c->jobs = number_of_cores();
    if (jobs && !parse_int(rule, "-j", jobs, 1, MAX_JOBS, &c->jobs)) return EXIT_USAGE;
    if (quality && !parse_int(rule, "--quality", quality, 1, 100, &c->quality)) return EXIT_USAGE;
    if (background) {
        if (!parse_colour(background, c->background)) {
            return usage_error("%s: --background must be RRGGBB in hexadecimal, like ff8000, not '%s'",
                               rule, background);
        }
        c->has_background = 1;
    }
    /* Settled by settle_library_options once the line is known good. */
    c->orient = orient;
    c->metadata = metadata;
    c->lossless = lossless;

    if (c->n_inputs == 0) return usage_error("%s: no INPUT file given", rule);
    int stdin_count = 0;
    for (int k = 0; k < c->n_inputs; ++k) stdin_count += is_stream(c->inputs[k]);
    if (stdin_count > 1) return usage_error("%s: standard input (-) can be read only once", rule);

    if (c->plan) {
        if (crop_only) return usage_error("plan: %s is for crops; plan writes nothing", crop_only);
        return -1;
    }
    int targets = (c->out_file != NULL) + (c->out_dir != NULL) + c->in_place;
    if (targets == 0) return usage_error("%s: say where to write: -o OUT, -d DIR or --in-place", rule);
    if (targets > 1) return usage_error("%s: use only one of -o, -d and --in-place", rule);
    if (c->out_file && c->n_inputs > 1) {
        return usage_error("%s: -o takes a single INPUT (got %d); use -d DIR for several", rule,
                           c->n_inputs);
    }
    if (c->format) {
        const char *f = writable_format(c->format);
        if (!f) {
            return usage_error("%s: --format must be png, jpg, jpeg, bmp or tga, not '%s'", rule,
                               c->format);
        }
        if (c->in_place) {
            return usage_error("%s: --format does not go with --in-place (each file keeps its format)",
                               rule);
        }
        c->format = f;
    }
    if (c->out_file) {
        if (is_stream(c->out_file) && !c->format) {
            return usage_error("%s: -o - (standard output) needs --format", rule);
        }
        if (!c->format && !writable_format(extension(c->out_file))) {
            return usage_error("%s: %s: trimlet writes .png, .jpg, .jpeg, .bmp or .tga; "
                               "rename the output or add --format", rule, c->out_file);
        }
    }
    for (int k = 0; k < c->n_inputs; ++k) {
        const char *in = c->inputs[k];
        if (c->out_dir && is_stream(in)) {
            return usage_error("%s: standard input has no name to write under %s; use -o", rule,
                               c->out_dir);
        }
        if (c->out_dir && file_name(in)[0] == '\0') {
            return usage_error("%s: %s: no file name to write under %s", rule, in, c->out_dir);
        }
        if (c->in_place && is_stream(in)) {
            return usage_error("%s: standard input cannot be cropped in place; use -o", rule);
        }
        if (c->in_place && !writable_format(extension(in))) {
            return usage_error("%s: %s: cannot crop in place: trimlet writes png, jpg, jpeg, bmp "
                               "and tga, not this file's format; use -o or -d", rule, in);
        }
        if (c->lossless && !is_jpeg_format(format_of(c, k))) {
            return usage_error("%s: --lossless writes JPEG, but %s would be written as %s", rule,
                               is_stream(in) ? STDIN_NAME : in, format_of(c, k));
        }
    }
    return -1;
}

/* Fills outputs[] (names under -d are malloc'd), then refuses clashes and
 * creates the -d directory. Returns -1 when the batch can run, or the exit
 * status after printing why not. */
static int prepare_outputs(const Command *c, const char **outputs) {
    for (int i = 0; i < c->n_inputs; ++i) {
        if (c->out_dir) {
            /* The input's own extension, as written, when it is the format. */
            const char *format = format_of(c, i);
            const char *ext = extension(c->inputs[i]);
            if (!ext || writable_format(ext) != format) ext = format;
            outputs[i] = output_in_dir(c->out_dir, c->inputs[i], ext);
            if (!outputs[i]) {
                fputs("trimlet: out of memory\n", stderr);
                return EXIT_SOME_FAILED;
            }
        } else {
            outputs[i] = c->in_place ? c->inputs[i] : c->out_file;
        }
    }
    int ok = check_outputs(c->n_inputs, c->inputs, outputs, c->in_place);
    if (ok < 0) return EXIT_SOME_FAILED;
    if (!ok) return EXIT_USAGE;
    if (c->out_dir && !ensure_dir(c->out_dir)) return EXIT_SOME_FAILED;
    return -1;
}

/* ------------------------------------------------------------------------ */
/* Running a batch */

#ifdef _WIN32
typedef CRITICAL_SECTION Lock;
static void lock_init(Lock *l) { InitializeCriticalSection(l); }
static void lock_free(Lock *l) { DeleteCriticalSection(l); }
static void lock(Lock *l) { EnterCriticalSection(l); }
static void unlock(Lock *l) { LeaveCriticalSection(l); }
#else
typedef pthread_mutex_t Lock;
static void lock_init(Lock *l) { pthread_mutex_init(l, NULL); }
static void lock_free(Lock *l) { pthread_mutex_destroy(l); }
static void lock(Lock *l) { pthread_mutex_lock(l); }
static void unlock(Lock *l) { pthread_mutex_unlock(l); }
#endif

/* One input's work and its outcome, kept until it is reported in order. */
typedef struct Job {
    const char *input;
    const char *output; /* NULL for plans */
    const char *format;
    int done;
    int ok;
    char *message;      /* the failure line without "trimlet: ", malloc'd */
    trimlet_box box;
} Job;

typedef struct Batch {
    const Command *c;
    Job *jobs;
    int n;
    const Bytes *stdin_bytes; /* standard input, read before the batch */
    Lock lock;
    int next;                 /* the next job to start */
    int reported;             /* jobs reported so far, in order */
    int failed;
    Progress progress;
} Batch;

/* Turns the library's message for a job into the line's reason, dropping
 * the path the library repeats: "cannot decode '<name>': <reason>" becomes
 * <reason>, and an in-place "cannot write '<input>': <reason>" becomes
 * "cannot write in place: <reason>". lib_name is the path the library was
 * given for the input ("<memory>" for memory). */
static char *describe_failure(const Job *job, const char *lib_name, const char *err) {
    static const char DECODE[] = "cannot decode '", WRITE[] = "cannot write '";
    const char *shown = is_stream(job->input) ? STDIN_NAME : job->input;
    const char *reason = err;
    const char *lead = "";
    size_t dn = strlen(DECODE), wn = strlen(WRITE), ln = strlen(lib_name);
    if (strncmp(err, DECODE, dn) == 0 && strncmp(err + dn, lib_name, ln) == 0 &&
        strncmp(err + dn + ln, "': ", 3) == 0) {
        reason = err + dn + ln + 3;
    } else if (job->output && strcmp(job->output, job->input) == 0 &&
               strncmp(err, WRITE, wn) == 0 && strncmp(err + wn, job->output, strlen(job->output)) == 0 &&
               strncmp(err + wn + strlen(job->output), "': ", 3) == 0) {
        lead = "cannot write in place: ";
        reason = err + wn + strlen(job->output) + 3;
    }
    size_t size = strlen(shown) + strlen(lead) + strlen(reason) + 3;
    char *line = (char *)malloc(size);
    if (line) snprintf(line, size, "%s: %s%s", shown, lead, reason);
    return line;
}

static char *describe_errno(const Job *job, const char *what, int error_no) {
    char err[TRIMLET_ERROR_SIZE];
    snprintf(err, sizeof err, "%s%s", what, strerror(error_no));
    return describe_failure(job, "", err);
}

/* Writes standard input's bytes to a temporary file, so that a crop from
 * standard input into a file goes through trimlet_crop_file like any other.
 * Returns the malloc'd path, or NULL with errno set. */
static char *spool_to_temp(const Bytes *b) {
    char *path = NULL;
#ifdef _WIN32
    wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(dir, L"tri", 0, name) == 0) {
        errno = EACCES;
        return NULL;
    }
    path = narrow(name);
    FILE *f = path ? _wfopen(name, L"wb") : NULL;
#else
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    size_t size = strlen(dir) + 32;
    path = (char *)malloc(size);
    if (!path) return NULL;
    snprintf(path, size, "%s/trimlet-stdin-XXXXXX", dir);
    int fd = mkstemp(path);
    FILE *f = fd >= 0 ? fdopen(fd, "wb") : NULL;
    if (fd >= 0 && !f) close(fd);
#endif
    int ok = f && fwrite(b->data, 1, b->size, f) == b->size;
    int e = errno;
    if (f && fclose(f) != 0) ok = 0;
    if (!ok) {
        if (path) remove_file(path);
        free(path);
        errno = e ? e : EIO;
        return NULL;
    }
    return path;
}

/* Writes a whole block to standard output. */
static int write_stdout(const void *data, size_t size) {
    int ok = fwrite(data, 1, size, stdout) == size;
    return fflush(stdout) == 0 && ok;
}

/* Does one job; on failure leaves the line in job->message. */
static void run_job(const Batch *b, Job *job) {
    const Command *c = b->c;
    char err[TRIMLET_ERROR_SIZE];
    trimlet_options o = options_for(c, job->format);
    const int *p = c->params;
    int rule = c->rule->library_rule;
    const char *lib_name = job->input;
    const Bytes *source = is_stream(job->input) ? b->stdin_bytes : NULL;
    Bytes file = {NULL, 0};
    job->ok = 0;

    if (c->plan) {
        job->ok = source ? trimlet_plan_memory(source->data, source->size, rule, p, &o, &job->box, err)
                         : trimlet_plan_file(job->input, rule, p, &o, &job->box, err);
        if (source) lib_name = "<memory>";
    } else if (is_stream(job->output)) {
        /* To standard output: the input in memory, cropped in memory. */
        if (!source) {
            FILE *f = open_file(job->input, "rb");
            int read_ok = f && read_all(f, &file);
            int e = errno;
            if (f) fclose(f);
            if (!read_ok) {
                job->message = describe_errno(job, "", e);
                return;
            }
            source = &file;
        }
        void *out = NULL;
        size_t out_size = 0;
        lib_name = "<memory>";
        job->ok = trimlet_crop_memory(source->data, source->size, rule, p, &o, &out, &out_size, err);
        if (job->ok && !write_stdout(out, out_size)) {
            job->ok = 0;
            snprintf(err, sizeof err, "cannot write standard output: %s", strerror(errno));
        }
        trimlet_free(out);
        free(file.data);
    } else if (source) {
        char *temp = spool_to_temp(source);
        if (!temp) {
            job->message = describe_errno(job, "cannot copy to a temporary file: ", errno);
            return;
        }
        job->ok = trimlet_crop_file(temp, job->output, rule, p, &o, err);
        remove_file(temp);
        if (!job->ok) job->message = describe_failure(job, temp, err);
        free(temp);
        return;
    } else {
        job->ok = trimlet_crop_file(job->input, job->output, rule, p, &o, err);
    }
    if (!job->ok) job->message = describe_failure(job, lib_name, err);
}

static void print_json_string(FILE *f, const char *s) {
    fputc('"', f);
    for (const unsigned char *p = (const unsigned char *)s; *p; ++p) {
        if (*p == '"' || *p == '\\') fprintf(f, "\\%c", *p);
        else if (*p < 0x20) fprintf(f, "\\u%04x", *p);
        else fputc(*p, f);
    }
    fputc('"', f);
}

static void print_box(const Command *c, const Job *job) {
    const trimlet_box *x = &job->box;
    if (c->json) {
        fputs("{\"file\": ", stdout);
        print_json_string(stdout, job->input);
        printf(", \"x\": %d, \"y\": %d, \"w\": %d, \"h\": %d, \"image_w\": %d, \"image_h\": %d}\n",
               x->x, x->y, x->w, x->h, x->image_w, x->image_h);
    } else {
        printf("%d %d %d %d %d %d %s\n", x->x, x->y, x->w, x->h, x->image_w, x->image_h,
               job->input);
    }
}

/* Reports every finished job that all earlier jobs have been reported
 * before, so lines come in input order whatever the threads do. Called with
 * the lock held. */
static void report_ready(Batch *b) {
    while (b->reported < b->n && b->jobs[b->reported].done) {
        Job *job = &b->jobs[b->reported++];
        if (!job->ok || b->c->plan) progress_clear(&b->progress);
        if (!job->ok) {
            fprintf(stderr, "trimlet: %s\n",
                    job->message ? job->message : "out of memory for the message");
            ++b->failed;
        } else if (b->c->plan) {
            print_box(b->c, job);
            fflush(stdout);
        }
        free(job->message);
        job->message = NULL;
    }
    if (b->reported < b->n) {
        progress_show(&b->progress, b->reported, b->n, b->jobs[b->reported].input);
    }
}

static void work(Batch *b) {
    for (;;) {
        lock(&b->lock);
        int i = b->next < b->n ? b->next++ : -1;
        unlock(&b->lock);
        if (i < 0) return;
        run_job(b, &b->jobs[i]);
        lock(&b->lock);
        b->jobs[i].done = 1;
        report_ready(b);
        unlock(&b->lock);
    }
}

#ifdef _WIN32
typedef HANDLE Thread;
static unsigned __stdcall thread_main(void *arg) {
    work((Batch *)arg);
    return 0;
}
static int thread_start(Thread *t, Batch *b) {
    *t = (HANDLE)_beginthreadex(NULL, 0, thread_main, b, 0, NULL);
    return *t != 0;
}
static void thread_join(Thread t) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}
#else
typedef pthread_t Thread;
static void *thread_main(void *arg) {
    work((Batch *)arg);
    return NULL;
}
static int thread_start(Thread *t, Batch *b) { return pthread_create(t, NULL, thread_main, b) == 0; }
static void thread_join(Thread t) { pthread_join(t, NULL); }
#endif

/* Crops (or plans) every input, on c->jobs threads, reporting failures in
 * input order and, for a batch, a summary. */
static int run_batch(const Command *c, const char **outputs) {
    int n = c->n_inputs;
    Bytes stdin_bytes = {NULL, 0};
    for (int i = 0; i < n; ++i) {
        if (!is_stream(c->inputs[i])) continue;
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        if (!read_all(stdin, &stdin_bytes)) {
            fprintf(stderr, "trimlet: %s: %s\n", STDIN_NAME, strerror(errno));
            return EXIT_SOME_FAILED;
        }
    }
#ifdef _WIN32
    if (c->out_file && is_stream(c->out_file)) _setmode(_fileno(stdout), _O_BINARY);
#endif
    Batch b;
    memset(&b, 0, sizeof b);
    b.c = c;
    b.n = n;
    b.stdin_bytes = &stdin_bytes;
    b.jobs = (Job *)calloc((size_t)n, sizeof(Job));
    int threads = c->jobs < n ? c->jobs : n;
    Thread *extra = (Thread *)calloc((size_t)threads, sizeof(Thread));
    if (!b.jobs || !extra) {
        fputs("trimlet: out of memory\n", stderr);
        free(b.jobs);
        free(extra);
        free(stdin_bytes.data);
        return EXIT_SOME_FAILED;
    }
    for (int i = 0; i < n; ++i) {
        b.jobs[i].input = c->inputs[i];
        b.jobs[i].output = c->plan ? NULL : outputs[i];
        b.jobs[i].format = c->plan ? NULL : format_of(c, i);
    }
    b.progress.on = n > 1 && is_terminal(stderr);
    lock_init(&b.lock);
    progress_show(&b.progress, 0, n, c->inputs[0]);

    /* This thread works too; a thread that cannot be started is one fewer. */
    int started = 0;
    while (started + 1 < threads && thread_start(&extra[started], &b)) ++started;
    work(&b);
    for (int i = 0; i < started; ++i) thread_join(extra[i]);

    progress_clear(&b.progress);
    if (n > 1) {
        fprintf(stderr, "%d %s, %d failed\n", n - b.failed, c->plan ? "planned" : "cropped",
                b.failed);
    }
    int failed = b.failed;
    lock_free(&b.lock);
    free(extra);
    free(b.jobs);
    free(stdin_bytes.data);
    return failed ? EXIT_SOME_FAILED : EXIT_ALL_CROPPED;
}

static int run_help(int argc, char **argv) {
    if (argc == 2) {
        print_overview(stdout);
        return EXIT_ALL_CROPPED;
    }
    if (argc > 3) return usage_error("help: takes one RULE");
    if (strcmp(argv[2], "plan") == 0) {
        fputs(PLAN_HELP, stdout);
        return EXIT_ALL_CROPPED;
    }
    const Rule *rule = find_rule(argv[2]);
    if (!rule) return usage_error("help: no rule '%s' (rect, aspect, auto, edges)", argv[2]);
    print_rule_help(stdout, rule);
    return EXIT_ALL_CROPPED;
}

static int run(int argc, char **argv) {
    if (argc < 2) return usage_error("no RULE given (rect, aspect, auto, edges)");
    const char *first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0) return run_help(2, argv);
    if (strcmp(first, "help") == 0) return run_help(argc, argv);
    if (strcmp(first, "--version") == 0) {
        printf("trimlet %s\n", TRIMLET_VERSION_STRING);
        return EXIT_ALL_CROPPED;
    }
    int plan = strcmp(first, "plan") == 0;
    int rule_arg = plan ? 2 : 1;
    if (plan) {
        s_hint = "plan";
        if (argc < 3) return usage_error("plan: no RULE given (rect, aspect, auto, edges)");
    }
    const Rule *rule = find_rule(argv[rule_arg]);
    if (!rule) {
        return usage_error("%s%sunknown rule '%s' (rect, aspect, auto, edges)", plan ? "plan" : "",
                           plan ? ": " : "", argv[rule_arg]);
    }
    if (!plan) s_hint = rule->name;

    Command c;
    memset(&c, 0, sizeof c);
    c.rule = rule;
    c.plan = plan;
    c.inputs = (const char **)calloc((size_t)argc, sizeof(char *));
    const char **outputs = (const char **)calloc((size_t)argc, sizeof(char *));
    int status = EXIT_SOME_FAILED;
    if (!c.inputs || !outputs) {
        fputs("trimlet: out of memory\n", stderr);
    } else {
        status = parse_command(argc, argv, rule_arg + 1, &c);
        if (status < 0) status = settle_library_options(&c);
        if (status < 0 && !plan) status = prepare_outputs(&c, outputs);
        if (status < 0) status = run_batch(&c, outputs);
    }
    for (int i = 0; c.out_dir && outputs && i < c.n_inputs; ++i) free((void *)outputs[i]);
    free((void *)outputs);
    free((void *)c.inputs);
    return status;
}

#ifdef _WIN32
/* Windows hands the program its arguments as UTF-16; the library and the
 * rest of the program take UTF-8, so any file name works whatever the code
 * page. The console shows UTF-8 messages as such. */
int wmain(int argc, wchar_t **wargv) {
    char **argv = (char **)calloc((size_t)argc + 1, sizeof(char *));
    int status = EXIT_SOME_FAILED;
    int ok = argv != NULL;
    for (int i = 0; ok && i < argc; ++i) ok = (argv[i] = narrow(wargv[i])) != NULL;
    if (ok) {
        SetConsoleOutputCP(CP_UTF8);
        status = run(argc, argv);
    } else {
        fputs("trimlet: cannot convert the arguments to UTF-8\n", stderr);
    }
    for (int i = 0; argv && i < argc; ++i) free(argv[i]);
    free(argv);
    return status;
}
#else
int main(int argc, char **argv) { return run(argc, argv); }
#endif
