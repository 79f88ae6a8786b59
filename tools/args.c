/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * The command line: `trimlet [plan] RULE ARGS INPUT...` with options in any
 * place before `--` (also before the rule); after `--` every argument is an
 * INPUT. Every option is one row of OPTIONS. The whole line is checked before
 * anything is read or written: numbers strictly and against their ranges,
 * and every choice that does not need the file system.
 */

#include "cli.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

/* The tolerance `trimlet auto` uses when -t is not given, in percent. */
static const int DEFAULT_TOLERANCE = 10;

/* The most threads -j accepts. */
static const int MAX_JOBS = 256;

/* Where an option may be given. */
enum { ANY = 0, CROP = 1, PLAN = 2, AUTO = 4 };

typedef struct Option {
    const char *name;
    int takes_value; /* 1: the next argument is its text (a const char * field) */
    size_t field;    /* the Command field it sets */
    int value;       /* a switch's value for its int field; two switches of one
                        field with different values contradict each other */
    int where;
} Option;

#define FIELD(f) offsetof(Command, f)
static const Option OPTIONS[] = {
    {"-o", 1, FIELD(out_file), 0, CROP},
    {"-d", 1, FIELD(out_dir), 0, CROP},
    {"--in-place", 0, FIELD(in_place), 1, CROP},
    {"--format", 1, FIELD(format_text), 0, CROP},
    {"--quality", 1, FIELD(quality_text), 0, CROP},
    {"--background", 1, FIELD(background_text), 0, CROP},
    {"--upright", 0, FIELD(upright), 1, ANY},
    {"--as-stored", 0, FIELD(upright), -1, ANY},
    {"--keep-metadata", 0, FIELD(metadata), 1, CROP},
    {"--strip", 0, FIELD(metadata), -1, CROP},
    {"--lossless", 0, FIELD(lossless), 1, ANY},
    {"--position", 1, FIELD(position_text), 0, ANY},
    {"--resize", 1, FIELD(resize_text), 0, ANY},
    {"--verify", 1, FIELD(verify_text), 0, ANY},
    {"--effort", 1, FIELD(effort_text), 0, CROP},
    {"--png-rgba", 0, FIELD(png_rgba), 1, CROP},
    {"--frames", 1, FIELD(frames_text), 0, ANY},
    {"-j", 1, FIELD(jobs_text), 0, ANY},
    {"-t", 1, FIELD(tolerance_text), 0, AUTO},
    {"--json", 0, FIELD(json), 1, PLAN},
    {"-h", 0, FIELD(help), 1, ANY},
    {"--help", 0, FIELD(help), 1, ANY},
    {"--version", 0, FIELD(version), 1, ANY},
    {"--formats", 0, FIELD(formats), 1, ANY},
};

static const Option *find_option(const char *arg) {
    for (int i = 0; i < COUNT(OPTIONS); ++i) {
        if (strcmp(OPTIONS[i].name, arg) == 0) return &OPTIONS[i];
    }
    return NULL;
}

/* An argument that looks like a negative number is a value, not an option
 * (rect takes negative X and Y); "-" alone is standard input. */
static int is_option(const char *arg) {
    return arg[0] == '-' && arg[1] != '\0' && !(arg[1] >= '0' && arg[1] <= '9');
}

/* ------------------------------------------------------------------------ */
/* The line */

/* The words that are not options, in order: what argv[i] is when it is one.
 * Returns their count; they go to words[] (room for argc). */
static int find_words(int argc, char **argv, const char **words) {
    int n = 0, options_done = 0;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!options_done && strcmp(a, "--") == 0) {
            options_done = 1;
        } else if (!options_done && is_option(a)) {
            const Option *o = find_option(a);
            if (o && o->takes_value) ++i;
        } else {
            words[n++] = a;
        }
    }
    return n;
}

/* Sets the option at argv[*i] into c. Returns 0 after a usage error. */
static int take_option(int argc, char **argv, int *i, Command *c, const char **crop_only) {
    const char *a = argv[*i];
    const Option *o = find_option(a);
    const char *rule = c->rule->name;
    if (!o || ((o->where & AUTO) && c->rule->library_rule != TRIMLET_AUTO) ||
        ((o->where & PLAN) && !c->plan)) {
        usage_error("%s: unknown option '%s'", c->plan ? "plan" : rule, a);
        return 0;
    }
    if ((o->where & CROP) && !*crop_only) *crop_only = a;
    char *field = (char *)c + o->field;
    if (o->takes_value) {
        const char **slot = (const char **)(void *)field;
        if (*slot) {
            usage_error("%s: %s given twice", rule, a);
            return 0;
        }
        if (*i + 1 >= argc) {
            usage_error("%s: %s needs a value", rule, a);
            return 0;
        }
        *slot = argv[++*i];
        return 1;
    }
    int *flag = (int *)(void *)field;
    if (*flag != 0 && *flag != o->value) {
        usage_error("%s: %s contradicts an earlier option", rule, a);
        return 0;
    }
    *flag = o->value;
    return 1;
}

/* Reads the option texts once the line is whole. */
static int read_values(Command *c) {
    const char *rule = c->rule->name;
    if (c->rule->library_rule == TRIMLET_AUTO) {
        c->params[0] = DEFAULT_TOLERANCE;
        if (c->tolerance_text && !parse_int(rule, "PERCENT", c->tolerance_text, 0, 100, &c->params[0])) {
            return 0;
        }
    }
    c->jobs = number_of_cores();
    if (c->jobs_text && !parse_int(rule, "-j", c->jobs_text, 1, MAX_JOBS, &c->jobs)) return 0;
    if (c->quality_text && !parse_int(rule, "--quality", c->quality_text, 1, 100, &c->quality)) {
        return 0;
    }
    if (c->effort_text && !parse_int(rule, "--effort", c->effort_text, 1, 10, &c->effort)) return 0;
    if (c->frames_text) {
        if (strcmp(c->frames_text, "all") == 0) {
            c->frames = 1;
        } else if (strcmp(c->frames_text, "first") == 0) {
            c->frames = -1;
        } else {
            usage_error("%s: --frames must be all or first, not '%s'", rule, c->frames_text);
            return 0;
        }
    }
    if (c->verify_text) {
        if (strcmp(c->verify_text, "region") == 0) {
            c->verify = TRIMLET_VERIFY_REGION;
        } else if (strcmp(c->verify_text, "whole") == 0) {
            c->verify = TRIMLET_VERIFY_WHOLE;
        } else {
            usage_error("%s: --verify must be region or whole, not '%s'", rule, c->verify_text);
            return 0;
        }
    }
    if (c->background_text) {
        if (!parse_colour(c->background_text, c->background)) {
            usage_error("%s: --background must be RRGGBB in hexadecimal, like ff8000, not '%s'", rule,
                        c->background_text);
            return 0;
        }
        c->has_background = 1;
    }
    if (c->position_text) {
        if (!parse_position(rule, c->position_text, &c->position)) return 0;
        if (c->position != TRIMLET_CENTRE && c->rule->library_rule != TRIMLET_RATIO) {
            usage_error("%s: --position applies to aspect and thumb only", rule);
            return 0;
        }
    }
    if (c->resize_text) {
        if (c->rule->args == ARGS_SIZE) {
            usage_error("%s: --resize does not go with %s (its WxH is the size)", rule, rule);
            return 0;
        }
        if (!parse_size(rule, "--resize", c->resize_text, 1, c->resize)) return 0;
    }
    if (c->format_text) {
        c->format = writable_format(c->format_text);
        if (!c->format && known_format(c->format_text)) {
            usage_error("%s: --format %s is not available in this build of the library", rule,
                        known_format(c->format_text));
            return 0;
        }
        if (!c->format) {
            usage_error("%s: --format must be %s, not '%s'", rule, format_list(0), c->format_text);
            return 0;
        }
    }
    /* A lossless cut keeps the file's own compressed data: nothing is
     * encoded, so quality and background would silently do nothing, and
     * nothing can be scaled. */
    if (c->lossless && c->rule->args == ARGS_SIZE) {
        usage_error("%s: --lossless does not go with %s (a thumbnail is scaled, so re-encoded)", rule, rule);
        return 0;
    }
    if (c->lossless && (c->quality_text || c->background_text || c->resize_text)) {
        usage_error("%s: %s does not go with --lossless (nothing is re-encoded)", rule,
                    c->quality_text      ? "--quality"
                    : c->background_text ? "--background"
                                         : "--resize");
        return 0;
    }
    return 1;
}

/* Reads the rule's leading arguments. */
static int read_rule_args(const char **nums, Command *c) {
    const Rule *r = c->rule;
    if (r->args == ARGS_RATIO) return parse_ratio(nums[0], c->params);
    if (r->args == ARGS_SIZE) {
        /* A thumbnail: the ratio of the size, then scaled down to it. */
        if (!parse_size(r->name, r->num_names[0], nums[0], 0, c->resize)) return 0;
        c->params[0] = c->resize[0];
        c->params[1] = c->resize[1];
        return 1;
    }
    for (int k = 0; r->args == ARGS_INTS && k < r->nums; ++k) {
        if (!parse_int(r->name, r->num_names[k], nums[k], r->lo[k], r->hi[k], &c->params[k])) return 0;
    }
    return 1;
}

/* Which command the words name: help, plan or a rule. */
static int find_command(int n_words, const char **words, Command *c, int *first_arg) {
    const char *first = n_words > 0 ? words[0] : NULL;
    if (first && strcmp(first, "plan") == 0) {
        c->plan = 1;
        set_hint("plan");
        if (n_words < 2) return usage_error("plan: no RULE given (%s)", rule_list());
        c->rule = find_rule(words[1]);
        if (!c->rule) return usage_error("plan: unknown rule '%s' (%s)", words[1], rule_list());
        *first_arg = 2;
        return -1;
    }
    if (!first) return usage_error("no RULE given (%s)", rule_list());
    c->rule = find_rule(first);
    if (!c->rule) return usage_error("unknown rule '%s' (%s)", first, rule_list());
    set_hint(c->rule->name);
    *first_arg = 1;
    return -1;
}

/* Shows what `trimlet help [TOPIC]`, --help (anywhere before `--`) or
 * --version or --formats ask for. Returns the exit status, or -1 when none is asked. */
static int show_help(int argc, char **argv, int n_words, const char **words) {
    int help = 0, version = 0, formats = 0;
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const Option *o = is_option(argv[i]) ? find_option(argv[i]) : NULL;
        if (o && o->field == FIELD(help)) help = 1;
        if (o && o->field == FIELD(version)) version = 1;
        if (o && o->field == FIELD(formats)) formats = 1;
        if (o && o->takes_value) ++i;
    }
    int topic = 0;
    if (n_words > 0 && strcmp(words[0], "help") == 0) {
        if (n_words > 2) return usage_error("help: takes one RULE");
        help = 1;
        topic = 1;
    }
    if ((version || formats) && !help) {
        if (version) print_version(stdout);
        if (formats) print_formats(stdout);
        return EXIT_ALL_CROPPED;
    }
    if (!help) return -1;
    const char *about = topic < n_words ? words[topic] : NULL;
    if (about && strcmp(about, "plan") == 0) {
        print_plan_help(stdout);
    } else if (about && find_rule(about)) {
        print_rule_help(stdout, find_rule(about));
    } else if (about) {
        return topic ? usage_error("help: no rule '%s' (%s)", about, rule_list())
                     : usage_error("unknown rule '%s' (%s)", about, rule_list());
    } else {
        print_overview(stdout);
    }
    return EXIT_ALL_CROPPED;
}

int parse_command(int argc, char **argv, Command *c) {
    const char **words = c->inputs; /* borrowed: the inputs are a tail of the words */
    int n_words = find_words(argc, argv, words);
    int status = show_help(argc, argv, n_words, words);
    if (status >= 0) return status;
    int first_arg = 0;
    status = find_command(n_words, words, c, &first_arg);
    if (status >= 0) return status;

    const char *crop_only = NULL; /* an option that plans refuse */
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) break;
        if (is_option(argv[i]) && !take_option(argc, argv, &i, c, &crop_only)) return EXIT_USAGE;
    }
    const char *nums[4] = {NULL, NULL, NULL, NULL};
    int w = first_arg;
    for (int k = 0; k < c->rule->nums && w < n_words; ++k) nums[k] = words[w++];
    if (!read_rule_args(nums, c) || !read_values(c)) return EXIT_USAGE;
    c->n_inputs = n_words - w;
    memmove((void *)c->inputs, (const void *)(words + w), (size_t)c->n_inputs * sizeof(char *));

    const char *rule = c->rule->name;
    if (c->n_inputs == 0) return usage_error("%s: no INPUT file given", rule);
    int stdin_count = 0;
    for (int k = 0; k < c->n_inputs; ++k) stdin_count += is_stream(c->inputs[k]);
    if (stdin_count > 1) return usage_error("%s: standard input (-) can be read only once", rule);
    if (c->plan) {
        if (crop_only) return usage_error("plan: %s is for crops; plan writes nothing", crop_only);
    } else {
        status = check_output_choices(c);
        if (status >= 0) return status;
    }
    /* Crops check --lossless against each output's format (outputs.c). */
    if (c->plan && c->lossless && !trimlet_has("lossless")) {
        return usage_error("%s: --lossless is not available in this build of the library", rule);
    }
    if (c->position != TRIMLET_CENTRE && !trimlet_has("position")) {
        return usage_error("%s: --position is not available in this build of the library", rule);
    }
    if ((c->resize[0] || c->resize[1]) && !trimlet_has("resize")) {
        return usage_error("%s: %s is not available in this build of the library", rule,
                           c->resize_text ? "--resize" : "thumb");
    }
    return -1;
}

trimlet_options options_for(const Command *c, const char *format) {
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = format;
    o.quality = c->quality;
    o.background = c->has_background ? c->background : NULL;
    o.lossless = c->lossless;
    o.orient = c->upright >= 0 ? TRIMLET_APPLY_EXIF : TRIMLET_AS_STORED;
    o.metadata = c->metadata >= 0 ? TRIMLET_KEEP : TRIMLET_STRIP;
    o.position = c->position;
    o.resize_w = c->resize[0];
    o.resize_h = c->resize[1];
    o.verify = c->verify;
    o.effort = c->effort;
    /* Every frame of an animation where the output animates too, unless
     * --frames first; a still input is cropped as usual either way. */
    int animates = format != NULL && (strcmp(format, "gif") == 0 || strcmp(format, "webp") == 0);
    o.frames = c->frames > 0 || (c->frames == 0 && animates) ? TRIMLET_ALL_FRAMES : 0;
    /* Unlike the library's default, PNG comes in its smallest exact form. */
    o.png_compact = !c->png_rgba;
    return o;
}
