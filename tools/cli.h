/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * What the program's files share. One file per concern:
 *   main.c      the entry: help, version, and the steps of one command
 *   help.c      the rules the program offers, help texts, usage errors
 *   args.c      the option table and the parse of a command line
 *   values.c    the values of arguments: numbers, ratios, sizes, colours,
 *               position names
 *   outputs.c   where each crop is written, and the checks that nothing is
 *               overwritten by surprise
 *   batch.c     the jobs: one trimlet_run each, on threads, reported in order
 *   platform.c  files, folders, threads and the terminal on POSIX and
 *               Windows (the only file that knows which it is on)
 */
#ifndef TRIMLET_CLI_H
#define TRIMLET_CLI_H

#include "trimlet.h"

#include <stddef.h>
#include <stdio.h>

enum { EXIT_ALL_CROPPED = 0, EXIT_SOME_FAILED = 1, EXIT_USAGE = 2 };

#define COUNT(a) ((int)(sizeof(a) / sizeof((a)[0])))

#if defined(__GNUC__) || defined(__clang__)
#define CLI_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define CLI_PRINTF(f, a)
#endif

/* The name failures on standard input are reported under. */
#define STDIN_NAME "standard input"

/* ------------------------------------------------------------------------
 * help.c */

/* How a rule's leading arguments are read. */
enum RuleArgs { ARGS_NONE, ARGS_INTS, ARGS_RATIO, ARGS_SIZE };

typedef struct Rule {
    const char *name;
    int library_rule;          /* enum trimlet_rule */
    int args;                  /* enum RuleArgs */
    int nums;                  /* leading arguments before the inputs */
    const char *num_names[4];  /* their names in messages */
    int lo[4], hi[4];          /* ARGS_INTS: each one's range */
    const char *synopsis;      /* arguments between the rule and the inputs */
    const char *summary;       /* one line for the overview */
    const char *details;       /* the rule's own help text */
    const char *example;
} Rule;

const Rule *find_rule(const char *name);
/* The rules' names as messages list them: "rect, aspect, ..., thumb". */
const char *rule_list(void);
void print_overview(FILE *f);
void print_rule_help(FILE *f, const Rule *rule);
void print_plan_help(FILE *f);
/* `trimlet --version`: the version alone. It asks the library nothing that
 * loads a codec library, so it costs what a start costs. */
void print_version(FILE *f);
/* `trimlet --formats`: the formats this build reads and writes (libheif is
 * loaded to ask which of its codecs it has). */
void print_formats(FILE *f);

/* What usage errors hint at: "plan", a rule's name, or NULL (the overview). */
void set_hint(const char *hint);
const char *hint(void);
/* Prints "trimlet: <message>" and a one-line hint; returns EXIT_USAGE. */
int usage_error(const char *fmt, ...) CLI_PRINTF(1, 2);

/* ------------------------------------------------------------------------
 * args.c */

/* A command line, parsed and checked. */
typedef struct Command {
    const Rule *rule;
    int plan;               /* `trimlet plan`: print boxes, write nothing */
    int help, version, formats; /* --help, --version, --formats (shown before the rest is read) */
    int json;               /* plan lines as JSON */
    int params[4];          /* the library's params for the rule */
    const char **inputs;    /* room for argc entries */
    int n_inputs;
    const char *out_file;
    const char *out_dir;
    const char *format;     /* the canonical name --format gave, or NULL */
    int in_place;
    int jobs;
    int quality;            /* 0: the library's default */
    unsigned char background[3];
    int has_background;
    int upright;            /* +1 --upright (default), -1 --as-stored */
    int metadata;           /* +1 --keep-metadata (default), -1 --strip */
    int lossless;
    int position;           /* TRIMLET_CENTRE .. TRIMLET_ATTENTION */
    int resize[2];          /* --resize, or thumb's size; 0: that side is free */
    int verify;             /* TRIMLET_VERIFY_WHOLE (default) or TRIMLET_VERIFY_REGION */
    int effort;             /* --effort 1..10; 0: each format's default */
    int png_rgba;           /* --png-rgba: 8-bit RGBA PNG instead of the compact form */
    int frames;             /* --frames: +1 all, -1 first; 0 all where the output animates */
    /* option text as given, read once the whole line is known */
    const char *format_text, *tolerance_text, *quality_text, *background_text, *jobs_text;
    const char *position_text, *resize_text, *verify_text, *effort_text, *frames_text;
} Command;

/* Parses argv into c (c->inputs must have room for argc entries). Returns -1
 * when the command should run, or the exit status to return now (a usage
 * error has been printed). */
int parse_command(int argc, char **argv, Command *c);

/* The library's options for one output format (NULL for plans). */
trimlet_options options_for(const Command *c, const char *format);

/* ------------------------------------------------------------------------
 * values.c: each returns 1, or 0 after printing a usage error (but
 * parse_colour, which leaves the message to its caller). */

/* A whole decimal number within lo..hi ("<command>: <name> must be lo..hi,
 * not '<text>'"). */
int parse_int(const char *command, const char *name, const char *text, int lo, int hi, int *out);
/* W:H, both whole numbers above 0. */
int parse_ratio(const char *text, int parts[2]);
/* WxH in whole pixels above 0; with free_ok also Wx or xH, the free side 0. */
int parse_size(const char *command, const char *name, const char *text, int free_ok, int size[2]);
/* RRGGBB or #RRGGBB in hexadecimal. Prints nothing. */
int parse_colour(const char *text, unsigned char rgb[3]);
/* A --position name: centre, north, ... northwest, entropy, attention. */
int parse_position(const char *command, const char *text, int *out);

/* ------------------------------------------------------------------------
 * outputs.c */

/* The format the library in use writes for a name such as "JPG" ("jpg"), or
 * NULL. */
const char *writable_format(const char *name);
/* The names of the formats the library in use writes, as messages list them:
 * "png, jpg, jpeg, bmp or tga", with `dot` ".png, .jpg, ...". */
const char *format_list(int dot);
/* Each format the library in use writes once, by its own name, as --version
 * lists them: "png, jpeg, bmp, tga, webp". */
const char *written_formats(void);
/* Any name of a format the library's header lists, written by the library
 * in use or not ("WEBP" gives "webp"), or NULL. */
const char *known_format(const char *name);
int is_jpeg_format(const char *format);
/* The extension of a path's file name (after its last dot), or NULL. */
const char *extension(const char *path);
const char *file_name(const char *path);
int is_stream(const char *path);
/* The format written for input i. */
const char *format_of(const Command *c, int i);
/* Checks the choices about outputs that need no file system. Returns -1 or
 * EXIT_USAGE after printing why. */
int check_output_choices(const Command *c);
/* Fills outputs[] (names under -d are malloc'd), refuses clashes and creates
 * the -d folder. Returns -1 when the batch can run, or the exit status. */
int prepare_outputs(const Command *c, const char **outputs);

/* ------------------------------------------------------------------------
 * batch.c */

/* Crops (or plans) every input on c->jobs threads, reporting failures and
 * plan lines in input order. Returns the exit status. */
int run_batch(const Command *c, const char **outputs);

/* ------------------------------------------------------------------------
 * platform.c */

int number_of_cores(void);
int is_terminal(FILE *f);
int is_separator(char c);
/* 0: nothing there, 1: a folder, 2: something else. */
int path_kind(const char *path);
/* Creates dir unless it is a folder already. Returns 0 after printing why. */
int ensure_dir(const char *dir);
/* Reads up to n bytes from the start of a file; returns how many (0 when it
 * cannot be opened). */
size_t read_head(const char *path, unsigned char *buf, size_t n);

/* A whole stream in memory. */
typedef struct Bytes {
    unsigned char *data;
    size_t size;
} Bytes;
/* Reads standard input to its end, in binary. 0 with errno set on failure. */
int read_stdin(Bytes *b);
/* Writes a whole block to standard output, in binary. */
int write_stdout(const void *data, size_t size);

/* What identifies a path's file beyond its text (see outputs.c). */
typedef struct FileId {
    int exists;
    unsigned long long dev, ino; /* POSIX: the file's device and inode */
    void *full;                  /* Windows: its absolute path (malloc'd), or NULL */
} FileId;
void file_id(const char *path, FileId *id);
/* Orders two identified files (or, with nothing identified, their paths):
 * 0 means the same file. */
int compare_file_ids(const FileId *a, const char *pa, const FileId *b, const char *pb);
void release_file_id(FileId *id);

typedef struct Lock Lock;
Lock *lock_new(void);
void lock_free(Lock *l);
void lock(Lock *l);
void unlock(Lock *l);
/* Runs fn(arg) on `count` more threads besides the caller's, which runs it
 * too; returns once all have finished. A thread that cannot be started is
 * one fewer. */
void run_on_threads(int count, void (*fn)(void *), void *arg);

#ifdef _WIN32
/* The program's arguments (UTF-16) as UTF-8 strings, the console set to show
 * UTF-8; NULL when one cannot be converted or memory runs out. Released by
 * free_arguments. */
#include <wchar.h>
char **utf8_arguments(int argc, wchar_t **wargv);
void free_arguments(int argc, char **argv);
#endif

#endif
