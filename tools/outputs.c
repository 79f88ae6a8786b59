/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * Where each crop goes: the output format and name of every input, and the
 * checks that refuse, before anything is read or written, an output that two
 * inputs would share or that is one of the inputs (unless in place).
 */

#include "cli.h"

#include <stdlib.h>
#include <string.h>

/* The formats the library writes, by every name --format and output
 * extensions take, and each once by its own name, as its header lists them;
 * which of them the library in use writes, trimlet_has answers. */
static const char *const NAMES[] = {TRIMLET_OUTPUT_NAMES};
static const char *const FORMATS[] = {TRIMLET_OUTPUT_FORMATS};

/* 1 when the library in use writes the format of this name. */
static int library_writes(const char *name) {
    char ext[16];
    int n = snprintf(ext, sizeof ext, ".%s", name);
    return n > 0 && (size_t)n < sizeof ext && trimlet_has(ext);
}

/* The names the library writes, joined by ", " (and `last` before the last
 * one), each after `dot`, into out. */
static const char *join_written(const char *const *names, int count, const char *dot, const char *last,
                                char *out, size_t size) {
    int n = 0;
    for (int i = 0; i < count; ++i) n += library_writes(names[i]);
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0, k = 0; i < count; ++i) {
        if (!library_writes(names[i])) continue;
        const char *sep = k == 0 ? "" : k == n - 1 ? last : ", ";
        int wrote = snprintf(out + used, size - used, "%s%s%s", sep, dot, names[i]);
        if (wrote > 0 && (size_t)wrote < size - used) used += (size_t)wrote;
        ++k;
    }
    return out;
}

const char *format_list(int dot) {
    static char lists[2][160];
    char *out = lists[dot != 0];
    if (out[0]) return out;
    return join_written(NAMES, COUNT(NAMES), dot ? "." : "", " or ", out, sizeof lists[0]);
}

const char *written_formats(void) {
    static char list[160];
    if (list[0]) return list;
    return join_written(FORMATS, COUNT(FORMATS), "", ", ", list, sizeof list);
}

static int same_ascii_nocase(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b) {
        char x = (char)(*a >= 'A' && *a <= 'Z' ? *a - 'A' + 'a' : *a);
        char y = (char)(*b >= 'A' && *b <= 'Z' ? *b - 'A' + 'a' : *b);
        if (x != y) return 0;
    }
    return *a == *b;
}

const char *known_format(const char *name) {
    for (int i = 0; name && i < COUNT(NAMES); ++i) {
        if (same_ascii_nocase(name, NAMES[i])) return NAMES[i];
    }
    return NULL;
}

const char *writable_format(const char *name) {
    const char *known = known_format(name);
    return known && library_writes(known) ? known : NULL;
}

/* The format -d keeps for an input whose extension is none the library
 * writes: the input's own as the library recognises it by its first bytes
 * (trimlet_result.input_format of a plan of those bytes alone, stopped at
 * the header by a limit of one pixel), where the library writes it; else
 * NULL (PNG). JPEG, BMP and TGA files stay named by their extension alone,
 * as they were before the program kept any format by content. */
static const char *content_format(const char *path) {
    unsigned char head[4096];
    size_t n = read_head(path, head, sizeof head);
    if (n == 0) return NULL;
    static const int params[4] = {0, 0, 1, 1};
    trimlet_options o = {.size = sizeof(trimlet_options), .max_pixels = 1};
    trimlet_request q = {.size = sizeof(trimlet_request), .input = head, .input_size = n,
                         .rule = TRIMLET_RECT, .params = params, .options = &o};
    trimlet_result r = {.size = sizeof(trimlet_result)};
    trimlet_run(&q, &r);
    const char *f = r.input_format;
    static const char *const BY_NAME_ONLY[] = {"jpeg", "bmp", "tga"};
    for (int i = 0; f && i < COUNT(BY_NAME_ONLY); ++i) {
        if (strcmp(f, BY_NAME_ONLY[i]) == 0) return NULL;
    }
    return writable_format(f);
}

int is_jpeg_format(const char *format) {
    return strcmp(format, "jpg") == 0 || strcmp(format, "jpeg") == 0;
}

const char *file_name(const char *path) {
    const char *name = path;
    for (const char *p = path; *p; ++p) {
        if (is_separator(*p)) name = p + 1;
    }
    return name;
}

/* A leading dot (".hidden") does not start an extension. */
const char *extension(const char *path) {
    const char *name = file_name(path);
    const char *dot = strrchr(name, '.');
    return dot && dot != name ? dot + 1 : NULL;
}

int is_stream(const char *path) { return strcmp(path, "-") == 0; }

const char *format_of(const Command *c, int i) {
    if (c->format) return c->format;
    if (c->out_file) return writable_format(extension(c->out_file));
    const char *own = writable_format(extension(c->inputs[i]));
    if (!own && c->out_dir) own = content_format(c->inputs[i]);
    return own ? own : "png";
}

int check_output_choices(const Command *c) {
    const char *rule = c->rule->name;
    int targets = (c->out_file != NULL) + (c->out_dir != NULL) + c->in_place;
    if (targets == 0) return usage_error("%s: say where to write: -o OUT, -d DIR or --in-place", rule);
    if (targets > 1) return usage_error("%s: use only one of -o, -d and --in-place", rule);
    if (c->out_file && c->n_inputs > 1) {
        return usage_error("%s: -o takes a single INPUT (got %d); use -d DIR for several", rule,
                           c->n_inputs);
    }
    if (c->format && c->in_place) {
        return usage_error("%s: --format does not go with --in-place (each file keeps its format)", rule);
    }
    if (c->out_file) {
        if (is_stream(c->out_file) && !c->format) {
            return usage_error("%s: -o - (standard output) needs --format", rule);
        }
        /* -o names a file; a folder is what -d is for. */
        if (!is_stream(c->out_file) && path_kind(c->out_file) == 1) {
            return usage_error("%s: %s is a folder; use -d %s to write into it", rule, c->out_file,
                               c->out_file);
        }
        const char *known = known_format(extension(c->out_file));
        if (!c->format && known && !writable_format(known)) {
            return usage_error("%s: %s: %s output is not available in this build of the library", rule,
                               c->out_file, known);
        }
        if (!c->format && !writable_format(extension(c->out_file))) {
            return usage_error("%s: %s: trimlet writes %s; rename the output or add --format", rule,
                               c->out_file, format_list(1));
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
            return usage_error("%s: %s: cannot crop in place: trimlet writes %s, not this file's "
                               "format; use -o or -d", rule, in, format_list(0));
        }
        /* --lossless: a JPEG cut into JPEG, or lossless WebP of any input. */
        const char *format = format_of(c, k);
        const char *shown = is_stream(in) ? STDIN_NAME : in;
        if (c->lossless && strcmp(format, "avif") == 0) {
            return usage_error("%s: --lossless does not go with AVIF output (%s would be written as avif)",
                               rule, shown);
        }
        if (c->lossless && !is_jpeg_format(format) && strcmp(format, "webp") != 0) {
            return usage_error("%s: --lossless writes %s, but %s would be written as %s", rule,
                               trimlet_has("webp") ? "JPEG or WebP" : "JPEG", shown, format);
        }
        if (c->lossless && is_jpeg_format(format) && !trimlet_has("lossless")) {
            return usage_error("%s: --lossless is not available in this build of the library", rule);
        }
    }
    return -1;
}

/* DIR/<file name of input without its extension>.<ext>, malloc'd; NULL when
 * out of memory. */
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
/* Outputs that are inputs */

/* One path of the batch. Standard input and output ("-") match nothing. */
typedef struct PathId {
    const char *path;
    int index;     /* position of the input it belongs to */
    int is_output;
    int stream;
    FileId id;
} PathId;

/* Orders by file alone: 0 means the same file. */
static int compare_files(const PathId *a, const PathId *b) {
    if (a->stream || b->stream) {
        if (a->stream != b->stream) return a->stream - b->stream;
        if (a->is_output != b->is_output) return a->is_output - b->is_output;
        return a->index - b->index;
    }
    return compare_file_ids(&a->id, a->path, &b->id, b->path);
}

/* By file, then inputs before outputs, then by position in the batch. */
static int compare_ids(const void *pa, const void *pb) {
    const PathId *a = (const PathId *)pa, *b = (const PathId *)pb;
    int c = compare_files(a, b);
    if (c == 0) c = a->is_output - b->is_output;
    if (c == 0) c = a->index - b->index;
    return c;
}

static void path_id(PathId *id, const char *path, int index, int is_output) {
    id->path = path;
    id->index = index;
    id->is_output = is_output;
    id->stream = is_stream(path);
    if (!id->stream) file_id(path, &id->id);
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
    for (int i = 0; i < 2 * n; ++i) release_file_id(&ids[i].id);
    free(ids);
    return out == NULL;
}

int prepare_outputs(const Command *c, const char **outputs) {
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
