/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * The rules the program offers, in the library's order of arguments, and
 * every text the program shows to explain itself.
 */

#include "cli.h"

#include <limits.h>
#include <stdarg.h>
#include <string.h>

static const Rule RULES[] = {
    {"rect", TRIMLET_RECT, ARGS_INTS, 4, {"X", "Y", "W", "H"},
     {INT_MIN, INT_MIN, 1, 1}, {INT_MAX, INT_MAX, INT_MAX, INT_MAX}, "X Y W H",
     "crops to the W x H rectangle at (X, Y), clipped",
     "Crops to the W x H rectangle whose top-left corner is (X, Y), clipped to\n"
     "the image. X and Y may be negative; W and H must be above 0.\n",
     "trimlet rect 10 20 100 50 photo.png -o thumb.jpg"},
    {"aspect", TRIMLET_RATIO, ARGS_RATIO, 1, {"RATIO"}, {0}, {0}, "W:H",
     "crops the largest centred region of ratio W:H",
     "Crops the largest centred region of ratio W:H (width:height), for\n"
     "example 1:1, 4:3, 3:4, 16:9, 21:9; both parts are whole numbers above 0.\n"
     "--position places it elsewhere.\n",
     "trimlet aspect 16:9 photo.png -o wide.png"},
    {"auto", TRIMLET_AUTO, ARGS_NONE, 0, {NULL}, {0}, {0}, "[-t PERCENT]",
     "trims uniform borders (tolerance PERCENT, default 10)",
     "Trims uniform borders: keeps the bounding box of every pixel that differs\n"
     "from the corner pixel of its quarter of the image by more than PERCENT\n"
     "of the full range in any channel (0-100, default 10).\n",
     "trimlet auto -t 10 scan.png -o trimmed.png"},
    {"edges", TRIMLET_EDGES, ARGS_INTS, 4, {"TOP", "RIGHT", "BOTTOM", "LEFT"}, {0, 0, 0, 0},
     {49, 49, 49, 49}, "TOP RIGHT BOTTOM LEFT", "cuts a percentage (0-49) from each side",
     "Cuts a percentage (0-49, rounded down to whole pixels) from each side:\n"
     "TOP and BOTTOM of the height, RIGHT and LEFT of the width.\n",
     "trimlet edges 10 0 0 25 photo.png -o cut.png"},
    {"thumb", TRIMLET_RATIO, ARGS_SIZE, 1, {"SIZE"}, {0}, {0}, "WxH",
     "crops to ratio W:H, then scales down to W x H",
     "A thumbnail: crops the largest region of ratio W:H (placed by --position,\n"
     "default centre), then scales it down to exactly W x H pixels; a crop\n"
     "smaller than that is kept as it is, never enlarged. W and H are whole\n"
     "numbers above 0.\n",
     "trimlet thumb 256x256 --position attention photo.jpg -o thumb.jpg"},
};

static const char OUTPUT_HELP[] =
    "Output (exactly one):\n"
    "  -o OUT           write the crop of the single INPUT to OUT; OUT's extension\n"
    "                   (.png, .jpg, .jpeg, .bmp, .tga; .webp, .avif, .gif where\n"
    "                   built)\n"
    "                   or --format picks the format; '-o -' writes to standard\n"
    "                   output (needs --format); an existing folder is refused\n"
    "                   (use -d)\n"
    "  -d DIR           write each INPUT's crop to DIR/<input name>.<format>: the\n"
    "                   input's own format when trimlet writes it (by its\n"
    "                   extension, or a WebP, AVIF or GIF file by its content),\n"
    "                   else PNG (also for HEIC and TIFF), or --format (DIR is\n"
    "                   created if missing)\n"
    "  --in-place       crop each INPUT onto itself, in its own format\n"
    "Options (anywhere before '--'):\n"
    "  --format FMT     png, jpg, jpeg, bmp, tga, webp, avif or gif (where built; see\n"
    "                   --formats), in any case\n"
    "  --quality N      JPEG, WebP and AVIF quality 1-100 (default: JPEG 90,\n"
    "                   WebP 80, AVIF 50)\n"
    "  --background RRGGBB  colour that transparency is flattened onto in JPEG\n"
    "                   and BMP output (default ffffff, white)\n"
    "  --upright        turn photos by their EXIF orientation, as viewers show\n"
    "                   them (default)\n"
    "  --as-stored      keep the pixels in the order the file stores them\n"
    "  --keep-metadata  carry the colour profile and EXIF into PNG and JPEG\n"
    "                   output (default)\n"
    "  --strip          write no colour profile and no EXIF\n"
    "  --position P     where aspect and thumb place their box: centre (default),\n"
    "                   north, northeast, east, southeast, south, southwest, west,\n"
    "                   northwest, entropy (the most detail) or attention (what\n"
    "                   draws the eye)\n"
    "  --resize WxH     scale the crop down to fit within W x H, keeping its\n"
    "                   ratio, never enlarging; Wx or xH leaves a side free\n"
    "  --lossless       WebP output: lossless WebP of any input, every pixel\n"
    "                   exact. JPEG output: JPEG to JPEG without re-encoding;\n"
    "                   the box grows up and left onto the file's 8 or 16 pixel\n"
    "                   blocks, a photo is turned upright losslessly where its\n"
    "                   blocks allow (else that file fails; --as-stored cuts it\n"
    "                   as stored). Not with AVIF output, --quality,\n"
    "                   --background, --resize or thumb\n"
    "  --png-rgba       write PNG as 8-bit RGBA, as trimlet 1.2 did (default: the\n"
    "                   smallest form that holds the crop exactly: palette,\n"
    "                   grey or RGB)\n"
    "  --effort N       1 (fastest) to 10 (smallest) for PNG, WebP and AVIF\n"
    "                   output (default: each format's own setting)\n"
    "  --verify V       whole (default): decode the whole file for its verdict;\n"
    "                   region: stop after the crop's last row (JPEG, PNG), so\n"
    "                   damage below the crop goes unseen\n"
    "  --frames F       all: crop every frame of an animated GIF or WebP into a\n"
    "                   GIF or WebP animation (the default when the output is\n"
    "                   GIF or WebP); first: crop only the first frame (the\n"
    "                   default for other outputs). GIF output needs a GIF input\n"
    "                   and is cut from its frames exactly\n"
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
    "one line per file, 'x y w h image_w image_h output_w output_h name' (the\n"
    "size the crop is written at, after --resize or thumb, comes before the\n"
    "name, which runs to the end of the line), or with --json one JSON object\n"
    "per line with the keys file, x, y, w, h, image_w, image_h, output_w and\n"
    "output_h. An animation's line ends with '(N frames)' after the name, and\n"
    "its JSON object has the key frames. Failures are reported as for crops.\n"
    "Options (anywhere before '--'): --json, --position, --resize, --upright,\n"
    "--as-stored, --lossless, --verify, --frames, -j N, -t PERCENT (auto).\n"
    "Examples:\n"
    "  trimlet plan auto -t 5 scans/*.png --json\n"
    "  trimlet plan thumb 256x256 --position attention photo.jpg\n";

const Rule *find_rule(const char *name) {
    for (int i = 0; i < COUNT(RULES); ++i) {
        if (strcmp(RULES[i].name, name) == 0) return &RULES[i];
    }
    return NULL;
}

const char *rule_list(void) {
    static char list[64];
    if (list[0]) return list;
    for (int i = 0; i < COUNT(RULES); ++i) {
        size_t used = strlen(list);
        snprintf(list + used, sizeof list - used, "%s%s", i ? ", " : "", RULES[i].name);
    }
    return list;
}

/* The formats this build reads: stb_image's, which every build has, then
 * those of the codec libraries it was made with (trimlet_has), each with the
 * name --formats prints and the one the overview shows. */
static const struct {
    const char *feature; /* NULL: always there */
    const char *name, *shown;
} READ_FORMATS[] = {
    {NULL, "png", "PNG"},       {NULL, "jpeg", "JPEG"},     {NULL, "bmp", "BMP"},
    {NULL, "gif", "GIF"},       {NULL, "psd", "PSD"},       {NULL, "tga", "TGA"},
    {NULL, "hdr", "HDR"},       {NULL, "pic", "PIC"},       {NULL, "pnm", "PNM"},
    {"webp", "webp", "WebP"},   {"avif", "avif", "AVIF"},   {"heic", "heic", "HEIC"},
    {"tiff", "tiff", "TIFF"},
};

/* Prints the formats read, by their names (shown = 0) or as the overview
 * shows them, separated by ", ". */
static void print_read_formats(FILE *f, int shown) {
    const char *sep = "";
    for (int i = 0; i < COUNT(READ_FORMATS); ++i) {
        if (READ_FORMATS[i].feature && !trimlet_has(READ_FORMATS[i].feature)) continue;
        fprintf(f, "%s%s", sep, shown ? READ_FORMATS[i].shown : READ_FORMATS[i].name);
        sep = ", ";
    }
}

void print_version(FILE *f) { fprintf(f, "trimlet %s\n", trimlet_version()); }

void print_formats(FILE *f) {
    fputs("reads: ", f);
    print_read_formats(f, 0);
    fprintf(f, "\nwrites: %s\n", written_formats());
}

void print_overview(FILE *f) {
    fprintf(f, "trimlet %s: crop image files (", trimlet_version());
    print_read_formats(f, 1);
    fputs(")\n"
          "usage: trimlet RULE ARGS INPUT... (-o OUT | -d DIR | --in-place) [options]\n"
          "       trimlet plan RULE ARGS INPUT... [--json]\n"
          "       trimlet help [RULE | plan] | --help | --version | --formats\n"
          "Rules:\n",
          f);
    for (int i = 0; i < COUNT(RULES); ++i) {
        char head[64];
        snprintf(head, sizeof head, "%s %s", RULES[i].name, RULES[i].synopsis);
        fprintf(f, "  %-28s %s\n", head, RULES[i].summary);
    }
    fprintf(f, "  %-28s %s\n", "plan RULE ARGS", "prints the box a rule would cut");
    fputs(OUTPUT_HELP, f);
    fputs("Examples:\n", f);
    for (int i = 0; i < COUNT(RULES); ++i) fprintf(f, "  %s\n", RULES[i].example);
    fputs("  trimlet aspect 1:1 --position entropy --resize 512x photo.jpg -o square.jpg\n"
          "  trimlet auto *.png -d trimmed --format jpg\n"
          "  trimlet plan auto scan.png\n",
          f);
}

void print_rule_help(FILE *f, const Rule *rule) {
    fprintf(f, "usage: trimlet %s %s INPUT... (-o OUT | -d DIR | --in-place) [options]\n",
            rule->name, rule->synopsis);
    fputs(rule->details, f);
    fputs(OUTPUT_HELP, f);
    fprintf(f, "Example:\n  %s\n", rule->example);
}

void print_plan_help(FILE *f) { fputs(PLAN_HELP, f); }

static const char *s_hint;

void set_hint(const char *h) { s_hint = h; }

const char *hint(void) { return s_hint; }

int usage_error(const char *fmt, ...) {
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
