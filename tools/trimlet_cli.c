/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * One subcommand per crop rule, arguments in the library's own order:
 *
 *   trimlet rect X Y W H INPUT... (-o OUT | -d DIR | --in-place)
 *   trimlet aspect RATIO ...      trimlet auto [-t PERCENT] ...
 *   trimlet edges TOP RIGHT BOTTOM LEFT ...
 *
 * Every file is one library call; a failure is reported with the library's
 * own message and the batch goes on. Before any file is cropped, the whole
 * command line is checked: numbers strictly, and every output against every
 * input and every other output, so nothing is overwritten by surprise.
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
#include <direct.h>
#include <io.h>
#ifndef S_ISDIR
#define S_ISDIR(m) (((m) & _S_IFMT) == _S_IFDIR)
#endif
#else
#include <unistd.h>
#endif

enum { EXIT_ALL_CROPPED = 0, EXIT_SOME_FAILED = 1, EXIT_USAGE = 2 };

/* The tolerance `trimlet auto` uses when -t is not given, in percent. */
static const int DEFAULT_TOLERANCE = 10;

/* Aspect ratios by name, in the library's index order. */
static const char *const RATIO_NAMES[] = {"1:1", "4:3", "16:9", "3:2", "9:16"};

/* Output formats accepted by --format (the library picks the encoder by the
 * output file's extension). */
static const char *const FORMATS[] = {"png", "jpg", "bmp", "tga"};

#define COUNT(a) ((int)(sizeof(a) / sizeof((a)[0])))

typedef enum { RULE_RECT, RULE_ASPECT, RULE_AUTO, RULE_EDGES } RuleId;

typedef struct Rule {
    const char *name;
    int nums;                  /* leading numeric arguments */
    const char *num_names[4];  /* their names in messages */
    const char *synopsis;      /* arguments between the rule and the inputs */
    const char *summary;       /* one line for the overview */
    const char *details;       /* the rule's own help text */
    const char *example;
} Rule;

static const Rule RULES[] = {
    {"rect", 4, {"X", "Y", "W", "H"}, "X Y W H",
     "crops to the W x H rectangle at (X, Y), clipped",
     "Crops to the W x H rectangle whose top-left corner is (X, Y), clipped to\n"
     "the image. X and Y may be negative; W and H must be above 0.\n",
     "trimlet rect 10 20 100 50 photo.png -o thumb.jpg"},
    {"aspect", 1, {"RATIO"}, "RATIO",
     "crops the largest centred region of a ratio",
     "Crops the largest centred region of RATIO (width:height): 1:1, 4:3, 16:9,\n"
     "3:2 or 9:16, or its index 0-4 in that list.\n",
     "trimlet aspect 16:9 photo.png -o wide.png"},
    {"auto", 0, {NULL}, "[-t PERCENT]",
     "trims uniform borders (tolerance PERCENT, default 10)",
     "Trims uniform borders: keeps the bounding box of every pixel that differs\n"
     "from the corner pixel of its quarter of the image by more than PERCENT\n"
     "of the full range in any channel (0-100, default 10).\n",
     "trimlet auto -t 10 scan.png -o trimmed.png"},
    {"edges", 4, {"TOP", "RIGHT", "BOTTOM", "LEFT"}, "TOP RIGHT BOTTOM LEFT",
     "cuts a percentage (0-49) from each side",
     "Cuts a percentage (0-49, rounded down to whole pixels) from each side:\n"
     "TOP and BOTTOM of the height, RIGHT and LEFT of the width.\n",
     "trimlet edges 10 0 0 25 photo.png -o cut.png"},
};

static const char OUTPUT_HELP[] =
    "Output (exactly one):\n"
    "  -o OUT        write the crop of the single INPUT to OUT; the extension\n"
    "                picks the format: .jpg/.jpeg, .bmp, .tga, otherwise PNG\n"
    "  -d DIR        write each INPUT's crop to DIR/<input file name>\n"
    "                (DIR is created if missing)\n"
    "  --in-place    crop each INPUT onto itself\n"
    "Options:\n"
    "  --format FMT  with -d: png, jpg, bmp or tga, replacing the name's extension\n"
    "  -h, --help    show this help\n"
    "  --            end of options (for input names starting with '-')\n"
    "trimlet never writes onto one of its inputs unless --in-place is given.\n"
    "Exit status: 0 all cropped, 1 any file failed, 2 usage error or refused\n"
    "overwrite (then nothing was done).\n";

/* ------------------------------------------------------------------------ */
/* Messages */

/* The rule the command line names, for the usage hint (NULL: none yet). */
static const Rule *s_hint_rule;

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
    if (s_hint_rule) {
        fprintf(stderr, "\nTry 'trimlet help %s'.\n", s_hint_rule->name);
    } else {
        fputs("\nTry 'trimlet --help'.\n", stderr);
    }
    return EXIT_USAGE;
}

static void print_overview(FILE *f) {
    fprintf(f,
            "trimlet %s: crop image files (JPEG, PNG, BMP, PSD, TGA, GIF, HDR, PIC, PNM)\n"
            "usage: trimlet RULE ARGS INPUT... (-o OUT | -d DIR | --in-place) [options]\n"
            "       trimlet help RULE | --help | --version\n"
            "Rules:\n",
            TRIMLET_VERSION_STRING);
    for (int i = 0; i < COUNT(RULES); ++i) {
        char head[64];
        snprintf(head, sizeof head, "%s %s", RULES[i].name, RULES[i].synopsis);
        fprintf(f, "  %-28s %s\n", head, RULES[i].summary);
    }
    fputs(OUTPUT_HELP, f);
    fputs("Examples:\n", f);
    for (int i = 0; i < COUNT(RULES); ++i) fprintf(f, "  %s\n", RULES[i].example);
    fputs("  trimlet auto *.png -d trimmed --format jpg\n", f);
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

/* Parses a whole decimal number that fits a 32-bit int: an optional sign,
 * digits and nothing else. On failure prints a usage error naming the
 * argument and returns 0. */
static int parse_int(const char *name, const char *text, int *out) {
    if (text == NULL) {
        usage_error("%s: missing %s", s_hint_rule->name, name);
        return 0;
    }
    const char *digits = (text[0] == '-' || text[0] == '+') ? text + 1 : text;
    char *end = NULL;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (*digits < '0' || *digits > '9' || *end != '\0') {
        usage_error("%s: %s must be a whole number, not '%s'", s_hint_rule->name, name, text);
        return 0;
    }
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        usage_error("%s: %s is out of range (%d..%d): '%s'", s_hint_rule->name, name, INT_MIN,
                    INT_MAX, text);
        return 0;
    }
    *out = (int)v;
    return 1;
}

/* RATIO is a name from RATIO_NAMES or a whole number, which goes to the
 * library as the table index (it rejects indexes outside its table). */
static int parse_ratio(const char *text, int *out) {
    for (int i = 0; text && i < COUNT(RATIO_NAMES); ++i) {
        if (strcmp(text, RATIO_NAMES[i]) == 0) {
            *out = i;
            return 1;
        }
    }
    if (text && strchr(text, ':')) {
        usage_error("aspect: RATIO must be 1:1, 4:3, 16:9, 3:2 or 9:16 (or 0-4), not '%s'", text);
        return 0;
    }
    return parse_int("RATIO", text, out);
}

/* ------------------------------------------------------------------------ */
/* Paths */

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

/* DIR/<file name of input>, with the extension replaced by format when one
 * is given. A leading dot (".hidden") is not an extension. Returns a malloc'd
 * string, or NULL when out of memory. */
static char *output_in_dir(const char *dir, const char *input, const char *format) {
    const char *name = file_name(input);
    size_t name_len = strlen(name);
    if (format) {
        const char *dot = strrchr(name, '.');
        if (dot && dot != name) name_len = (size_t)(dot - name);
    }
    size_t dir_len = strlen(dir);
    int add_sep = dir_len > 0 && !is_separator(dir[dir_len - 1]);
    size_t size = dir_len + 1 + name_len + 1 + (format ? strlen(format) : 0) + 1;
    char *out = (char *)malloc(size);
    if (!out) return NULL;
    snprintf(out, size, "%s%s%.*s%s%s", dir, add_sep ? "/" : "", (int)name_len, name,
             format ? "." : "", format ? format : "");
    return out;
}

/* Creates dir when it does not exist yet. Returns 0 after printing why not. */
static int ensure_dir(const char *dir) {
    struct stat st;
    if (stat(dir, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 1;
        fprintf(stderr, "trimlet: %s: not a directory\n", dir);
        return 0;
    }
#ifdef _WIN32
    int made = _mkdir(dir) == 0;
#else
    int made = mkdir(dir, 0777) == 0;
#endif
    if (!made) fprintf(stderr, "trimlet: %s: cannot create directory: %s\n", dir, strerror(errno));
    return made;
}

/* One path of the batch, with what identifies its file beyond the string:
 * the device and inode of an existing file on POSIX (so "./a.png", "a.png"
 * and hard or symbolic links to one file all match), the absolute path
 * compared without regard to case on Windows. */
typedef struct PathId {
    const char *path;
    int index;     /* position of the input it belongs to */
    int is_output;
#ifdef _WIN32
    char *full;    /* NULL when _fullpath failed: the path string is used */
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
#ifdef _WIN32
    id->full = _fullpath(NULL, path, 0);
#else
    struct stat st;
    id->exists = stat(path, &st) == 0;
    id->dev = id->exists ? st.st_dev : 0;
    id->ino = id->exists ? st.st_ino : 0;
#endif
}

/* Orders by file alone: 0 means the same file. */
static int compare_files(const PathId *a, const PathId *b) {
#ifdef _WIN32
    return _stricmp(a->full ? a->full : a->path, b->full ? b->full : b->path);
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

static int stderr_is_terminal(void) {
#ifdef _WIN32
    return _isatty(_fileno(stderr));
#else
    return isatty(fileno(stderr));
#endif
}

/* ------------------------------------------------------------------------ */
/* Command */

typedef struct Command {
    const Rule *rule;
    int nums[4];
    int tolerance;
    const char **inputs; /* room for argc entries */
    int n_inputs;
    const char *out_file;
    const char *out_dir;
    const char *format;
    int in_place;
} Command;

static int crop_one(const Command *c, const char *in, const char *out) {
    const int *v = c->nums;
    switch ((RuleId)(c->rule - RULES)) {
    case RULE_RECT: return trimlet_rect(in, out, v[0], v[1], v[2], v[3]);
    case RULE_ASPECT: return trimlet_aspect(in, out, v[0]);
    case RULE_AUTO: return trimlet_auto(in, out, c->tolerance);
    case RULE_EDGES: return trimlet_edges(in, out, v[0], v[1], v[2], v[3]);
    }
    return 0;
}

/* Takes the value following option argv[*i]; prints a usage error when it
 * is missing or the option was already given. */
static int option_value(int argc, char **argv, int *i, const char **slot) {
    const char *opt = argv[*i];
    if (*slot) {
        usage_error("%s: %s given twice", s_hint_rule->name, opt);
        return 0;
    }
    if (*i + 1 >= argc) {
        usage_error("%s: %s needs a value", s_hint_rule->name, opt);
        return 0;
    }
    *slot = argv[++*i];
    return 1;
}

/* An argument that looks like a negative number is a value, not an option
 * (rect takes negative X and Y). */
static int is_option(const char *arg) {
    return arg[0] == '-' && arg[1] != '\0' && !(arg[1] >= '0' && arg[1] <= '9');
}

/* Parses argv[2..] for c->rule. Returns -1 when the command should run, or
 * the exit status to return now (help shown, or a usage error printed). */
static int parse_command(int argc, char **argv, Command *c) {
    const char *tolerance = NULL;
    const char *numbers[4] = {NULL, NULL, NULL, NULL};
    int n_numbers = 0;
    int options_done = 0;
    for (int i = 2; i < argc; ++i) {
        const char *a = argv[i];
        if (options_done || !is_option(a)) {
            if (n_numbers < c->rule->nums) {
                numbers[n_numbers++] = a;
            } else {
                c->inputs[c->n_inputs++] = a;
            }
        } else if (strcmp(a, "--") == 0) {
            options_done = 1;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            print_rule_help(stdout, c->rule);
            return EXIT_ALL_CROPPED;
        } else if (strcmp(a, "-o") == 0) {
            if (!option_value(argc, argv, &i, &c->out_file)) return EXIT_USAGE;
        } else if (strcmp(a, "-d") == 0) {
            if (!option_value(argc, argv, &i, &c->out_dir)) return EXIT_USAGE;
        } else if (strcmp(a, "--format") == 0) {
            if (!option_value(argc, argv, &i, &c->format)) return EXIT_USAGE;
        } else if (strcmp(a, "-t") == 0 && c->rule == &RULES[RULE_AUTO]) {
            if (!option_value(argc, argv, &i, &tolerance)) return EXIT_USAGE;
        } else if (strcmp(a, "--in-place") == 0) {
            c->in_place = 1;
        } else {
            return usage_error("%s: unknown option '%s'", c->rule->name, a);
        }
    }

    for (int k = 0; k < c->rule->nums; ++k) {
        int ok = c->rule == &RULES[RULE_ASPECT]
                     ? parse_ratio(numbers[k], &c->nums[k])
                     : parse_int(c->rule->num_names[k], numbers[k], &c->nums[k]);
        if (!ok) return EXIT_USAGE;
    }
    c->tolerance = DEFAULT_TOLERANCE;
    if (tolerance && !parse_int("PERCENT", tolerance, &c->tolerance)) return EXIT_USAGE;

    const char *rule = c->rule->name;
    if (c->n_inputs == 0) return usage_error("%s: no INPUT file given", rule);
    int targets = (c->out_file != NULL) + (c->out_dir != NULL) + c->in_place;
    if (targets == 0) return usage_error("%s: say where to write: -o OUT, -d DIR or --in-place", rule);
    if (targets > 1) return usage_error("%s: use only one of -o, -d and --in-place", rule);
    if (c->out_file && c->n_inputs > 1) {
        return usage_error("%s: -o takes a single INPUT (got %d); use -d DIR for several", rule,
                           c->n_inputs);
    }
    if (c->format) {
        if (!c->out_dir) {
            return usage_error("%s: --format goes with -d (with -o, OUT's extension picks the format)",
                               rule);
        }
        int known = 0;
        for (int k = 0; k < COUNT(FORMATS); ++k) known |= strcmp(c->format, FORMATS[k]) == 0;
        if (!known) return usage_error("%s: --format must be png, jpg, bmp or tga, not '%s'", rule, c->format);
    }
    for (int k = 0; c->out_dir && k < c->n_inputs; ++k) {
        if (file_name(c->inputs[k])[0] == '\0') {
            return usage_error("%s: %s: no file name to write under %s", rule, c->inputs[k], c->out_dir);
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
            outputs[i] = output_in_dir(c->out_dir, c->inputs[i], c->format);
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

/* Crops every input to its output, reporting failures as they come and, for
 * a batch, a summary. */
static int run_batch(const Command *c, const char **outputs) {
    int n = c->n_inputs;
    Progress progress = {n > 1 && stderr_is_terminal(), 0};
    int failed = 0;
    for (int i = 0; i < n; ++i) {
        progress_show(&progress, i, n, c->inputs[i]);
        if (!crop_one(c, c->inputs[i], outputs[i])) {
            progress_clear(&progress);
            fprintf(stderr, "trimlet: %s: %s\n", c->inputs[i], trimlet_last_error());
            ++failed;
        }
    }
    progress_clear(&progress);
    if (n > 1) fprintf(stderr, "%d cropped, %d failed\n", n - failed, failed);
    return failed ? EXIT_SOME_FAILED : EXIT_ALL_CROPPED;
}

static int run_help(int argc, char **argv) {
    if (argc == 2) {
        print_overview(stdout);
        return EXIT_ALL_CROPPED;
    }
    const Rule *rule = find_rule(argv[2]);
    if (!rule) return usage_error("help: no rule '%s' (rect, aspect, auto, edges)", argv[2]);
    if (argc > 3) return usage_error("help: takes one RULE");
    print_rule_help(stdout, rule);
    return EXIT_ALL_CROPPED;
}

int main(int argc, char **argv) {
    if (argc < 2) return usage_error("no RULE given (rect, aspect, auto, edges)");
    const char *first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0) return run_help(2, argv);
    if (strcmp(first, "help") == 0) return run_help(argc, argv);
    if (strcmp(first, "--version") == 0) {
        printf("trimlet %s\n", TRIMLET_VERSION_STRING);
        return EXIT_ALL_CROPPED;
    }
    s_hint_rule = find_rule(first);
    if (!s_hint_rule) return usage_error("unknown rule '%s' (rect, aspect, auto, edges)", first);

    Command c;
    memset(&c, 0, sizeof c);
    c.rule = s_hint_rule;
    c.inputs = (const char **)calloc((size_t)argc, sizeof(char *));
    const char **outputs = (const char **)calloc((size_t)argc, sizeof(char *));
    int status = EXIT_SOME_FAILED;
    if (!c.inputs || !outputs) {
        fputs("trimlet: out of memory\n", stderr);
    } else {
        status = parse_command(argc, argv, &c);
        if (status < 0) status = prepare_outputs(&c, outputs);
        if (status < 0) status = run_batch(&c, outputs);
    }
    for (int i = 0; c.out_dir && outputs && i < c.n_inputs; ++i) free((void *)outputs[i]);
    free((void *)outputs);
    free((void *)c.inputs);
    return status;
}
