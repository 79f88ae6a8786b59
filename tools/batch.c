/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * A batch: one trimlet_run per input, from a file or standard input (read
 * once, cropped from memory) to a file (replaced safely by the library), to
 * standard output (cropped to memory), or nowhere (a plan). With -j N the
 * inputs are cropped on N threads; failures, progress and plan lines are
 * still printed in input order, so the output and the exit status are those
 * of -j 1.
 */

#include "cli.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

/* What a failure line says before the library's reason, by its class: the
 * class comes from the status, never from the message's words. */
static const char *const STATUS_PHRASES[] = {
    /* TRIMLET_OK */ NULL,
    /* TRIMLET_ERR_ARGUMENT */ "refused",
    /* TRIMLET_ERR_RULE */ NULL, /* the rule's own words say it */
    /* TRIMLET_ERR_UNSUPPORTED */ "not an image",
    /* TRIMLET_ERR_CORRUPT */ "damaged file",
    /* TRIMLET_ERR_TOO_LARGE */ "too large",
    /* TRIMLET_ERR_READ */ "cannot read",
    /* TRIMLET_ERR_WRITE */ "not written",
    /* TRIMLET_ERR_NO_MEMORY */ "out of memory",
    /* TRIMLET_ERR_UNAVAILABLE */ "not in this build",
};
/* With --lossless, what the library cannot do is a file it cannot cut so. */
static const char LOSSLESS_UNSUPPORTED[] = "cannot cut losslessly";

/* One input's work and its outcome, kept until it is reported in order. */
typedef struct Job {
    const char *input;
    const char *output; /* NULL for plans */
    const char *format;
    int done;
    int ok;
    char *message;      /* the failure line without "trimlet: ", malloc'd */
    trimlet_box box;
    int output_w, output_h; /* the size the crop is (or would be) written at */
    int frames;             /* the input's frame count */
} Job;

/* On a terminal, a batch shows one line "done/total name", rewritten in
 * place with \r and cleared before any other output. */
typedef struct Progress {
    int on;
    int width; /* characters currently shown */
} Progress;

typedef struct Batch {
    const Command *c;
    Job *jobs;
    int n;
    const Bytes *stdin_bytes; /* standard input, read before the batch */
    Lock *lock;
    int next;                 /* the next job to start */
    int reported;             /* jobs reported so far, in order */
    int failed;
    Progress progress;
} Batch;

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

/* "<input>: <phrase>: <reason>", malloc'd (NULL when out of memory). The
 * library's line names the input too ("cannot decode 'in.png': reason"); the
 * line names it once, in front, so the part of the library's line up to the
 * quoted name goes, or stands in for the phrase where the class has none
 * ("lossless: cannot cut"). Any other path in it (the output's) stays. */
static char *describe(const Batch *b, const Job *job, int status, const char *error) {
    const char *shown = is_stream(job->input) ? STDIN_NAME : job->input;
    const char *phrase = status > 0 && status < COUNT(STATUS_PHRASES) ? STATUS_PHRASES[status] : NULL;
    if (status == TRIMLET_ERR_UNSUPPORTED && b->c->lossless) phrase = LOSSLESS_UNSUPPORTED;
    /* An image that GIF output cannot be cut from is no unknown file. */
    if (status == TRIMLET_ERR_UNSUPPORTED && job->format != NULL && strcmp(job->format, "gif") == 0) {
        phrase = "not written";
    }
    const char *named = is_stream(job->input) ? "<memory>" : job->input;
    size_t named_len = strlen(named);
    const char *reason = error;
    size_t lead = 0; /* the library's words before the name, for a class without a phrase */
    for (const char *q = strchr(error, '\''); q != NULL; q = strchr(q + 1, '\'')) {
        if (strncmp(q + 1, named, named_len) != 0 || q[1 + named_len] != '\'') continue;
        const char *after = q + 2 + named_len;
        if (strncmp(after, ": ", 2) == 0) {
            reason = after + 2;
        } else if (strncmp(after, " is ", 4) == 0) { /* "'in.png' is not a JPEG file" */
            reason = after + 4;
        } else {
            break;
        }
        lead = (size_t)(q - error);
        while (lead > 0 && (error[lead - 1] == ' ' || error[lead - 1] == ':')) --lead;
        break;
    }
    size_t size = strlen(shown) + (phrase ? strlen(phrase) : lead) + strlen(reason) + 8;
    char *line = (char *)malloc(size);
    if (line == NULL) return NULL;
    if (phrase) {
        snprintf(line, size, "%s: %s: %s", shown, phrase, reason);
    } else if (lead > 0) {
        snprintf(line, size, "%s: %.*s: %s", shown, (int)lead, error, reason);
    } else {
        snprintf(line, size, "%s: %s", shown, reason);
    }
    return line;
}

/* Does one job; on failure leaves the line in job->message. */
static void run_job(const Batch *b, Job *job) {
    const Command *c = b->c;
    trimlet_options o = options_for(c, job->format);
    trimlet_request q;
    memset(&q, 0, sizeof q);
    q.size = sizeof q;
    if (is_stream(job->input)) {
        q.input = b->stdin_bytes->data;
        q.input_size = b->stdin_bytes->size;
    } else {
        q.input_path = job->input;
    }
    int to_stdout = job->output && is_stream(job->output);
    q.output_path = job->output && !to_stdout ? job->output : NULL;
    q.output_to_memory = to_stdout;
    q.rule = c->rule->library_rule;
    q.params = c->params;
    q.options = &o;
    trimlet_result r;
    memset(&r, 0, sizeof r);
    r.size = sizeof r;
    job->ok = trimlet_run(&q, &r);
    job->box = r.box;
    job->output_w = r.output_w;
    job->output_h = r.output_h;
    job->frames = r.frames;
    if (job->ok && to_stdout && !write_stdout(r.output, r.output_size)) {
        char why[TRIMLET_ERROR_SIZE];
        snprintf(why, sizeof why, "cannot write standard output: %s", strerror(errno));
        job->ok = 0;
        job->message = describe(b, job, TRIMLET_OK, why);
    } else if (!job->ok) {
        job->message = describe(b, job, r.status, r.error);
    }
    trimlet_free(r.output);
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
        printf(", \"x\": %d, \"y\": %d, \"w\": %d, \"h\": %d, \"image_w\": %d, \"image_h\": %d, "
               "\"output_w\": %d, \"output_h\": %d",
               x->x, x->y, x->w, x->h, x->image_w, x->image_h, job->output_w, job->output_h);
        /* An animation's frame count; a still's line is as it was. */
        if (job->frames > 1) printf(", \"frames\": %d", job->frames);
        puts("}");
    } else if (job->frames > 1) {
        printf("%d %d %d %d %d %d %d %d %s (%d frames)\n", x->x, x->y, x->w, x->h, x->image_w,
               x->image_h, job->output_w, job->output_h, job->input, job->frames);
    } else {
        printf("%d %d %d %d %d %d %d %d %s\n", x->x, x->y, x->w, x->h, x->image_w, x->image_h,
               job->output_w, job->output_h, job->input);
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

static void work(void *arg) {
    Batch *b = (Batch *)arg;
    for (;;) {
        lock(b->lock);
        int i = b->next < b->n ? b->next++ : -1;
        unlock(b->lock);
        if (i < 0) return;
        run_job(b, &b->jobs[i]);
        lock(b->lock);
        b->jobs[i].done = 1;
        report_ready(b);
        unlock(b->lock);
    }
}

int run_batch(const Command *c, const char **outputs) {
    int n = c->n_inputs;
    if (n < 1) return EXIT_ALL_CROPPED;
    Bytes stdin_bytes = {NULL, 0};
    for (int i = 0; i < n; ++i) {
        if (is_stream(c->inputs[i]) && !read_stdin(&stdin_bytes)) {
            fprintf(stderr, "trimlet: %s: %s\n", STDIN_NAME, strerror(errno));
            return EXIT_SOME_FAILED;
        }
    }
    Batch b;
    memset(&b, 0, sizeof b);
    b.c = c;
    b.n = n;
    b.stdin_bytes = &stdin_bytes;
    b.jobs = (Job *)calloc((size_t)n, sizeof(Job));
    b.lock = lock_new();
    if (!b.jobs || !b.lock) {
        fputs("trimlet: out of memory\n", stderr);
        free(b.jobs);
        lock_free(b.lock);
        free(stdin_bytes.data);
        return EXIT_SOME_FAILED;
    }
    for (int i = 0; i < n; ++i) {
        b.jobs[i].input = c->inputs[i];
        b.jobs[i].output = c->plan ? NULL : outputs[i];
        b.jobs[i].format = c->plan ? NULL : format_of(c, i);
    }
    /* Progress and the closing summary are for a person at a terminal; a
     * script reads the failure lines and the exit status. */
    int terminal = is_terminal(stderr);
    b.progress.on = n > 1 && terminal;
    progress_show(&b.progress, 0, n, c->inputs[0]);

    int threads = c->jobs < n ? c->jobs : n;
    run_on_threads(threads - 1, work, &b);

    progress_clear(&b.progress);
    if (n > 1 && terminal) {
        fprintf(stderr, "%d %s, %d failed\n", n - b.failed, c->plan ? "planned" : "cropped",
                b.failed);
    }
    int failed = b.failed;
    lock_free(b.lock);
    free(b.jobs);
    free(stdin_bytes.data);
    return failed ? EXIT_SOME_FAILED : EXIT_ALL_CROPPED;
}
