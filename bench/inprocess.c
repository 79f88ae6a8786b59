/* trimlet: crop image files. SPDX-License-Identifier: MIT
 *
 * In-process driver of scripts/bench_inprocess.sh: one process crops every
 * case of a case file through trimlet_run, as a service that links the
 * library does (start-up not counted), and prints each call's time.
 *
 *   trimlet_inprocess MODE CALLS CASEFILE
 *
 * MODE: "1.2" (the record as 1.2 had it: its size ends before the 1.3
 * fields, so a 1.2 library takes it too), "default" (the 1.3 record, every
 * field 0), "region" (verify = region, png_compact = 1).
 * Each case line: NAME INPUT FORMAT RULE P0 P1 P2 P3 BX BY BW BH THUMB
 * (the box and thumbnail side are for the peers; RULE is trimlet's number;
 * THUMB > 0 makes it a THUMB x THUMB attention thumbnail of ratio 1:1).
 * Per case: one warm-up call (its output read back by the script), then
 * CALLS timed calls; prints "NAME WALL:CPU WALL:CPU ... BYTES" (milliseconds;
 * CPU: the process's, every thread's user and system time). The input is read from
 * its file and the output returned in memory on every call. */
#define _POSIX_C_SOURCE 200809L
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "trimlet.h"

static double now_ms(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

/* One call; returns the output's size, 0 on failure (after a message). */
static size_t crop_once(const char *input, const char *format, int rule, const int *params, int thumb,
                        const char *mode, const char *keep) {
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = strcmp(mode, "1.2") == 0 ? offsetof(trimlet_options, frames) : sizeof o;
    o.format = format;
    if (thumb > 0) {
        o.resize_w = o.resize_h = thumb;
        o.position = TRIMLET_ATTENTION;
    }
    if (strcmp(mode, "region") == 0) {
        o.verify = TRIMLET_VERIFY_REGION;
        o.png_compact = 1;
    }
    trimlet_request q;
    memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input_path = input;
    q.output_to_memory = 1;
    q.rule = rule;
    q.params = params;
    q.options = &o;
    trimlet_result r;
    memset(&r, 0, sizeof r);
    /* A 1.2 library knows the result only as far as the error text. */
    r.size = strcmp(mode, "1.2") == 0 ? offsetof(trimlet_result, error) + sizeof r.error : sizeof r;
    if (!trimlet_run(&q, &r)) {
        fprintf(stderr, "%s: %s\n", input, r.error);
        return 0;
    }
    size_t n = r.output_size;
    if (keep != NULL) {
        FILE *f = fopen(keep, "wb");
        if (f == NULL || fwrite(r.output, 1, n, f) != n || fclose(f) != 0) n = 0;
    }
    trimlet_free(r.output);
    return n;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: trimlet_inprocess 1.2|default|region CALLS CASEFILE\n");
        return 2;
    }
    const char *mode = argv[1];
    int calls = atoi(argv[2]);
    FILE *cases = fopen(argv[3], "r");
    if (cases == NULL) return 2;
    char name[64], input[512], format[16];
    int rule, p[4], box[4], thumb;
    while (fscanf(cases, "%63s %511s %15s %d %d %d %d %d %d %d %d %d %d", name, input, format, &rule, &p[0],
                  &p[1], &p[2], &p[3], &box[0], &box[1], &box[2], &box[3], &thumb) == 13) {
        char keep[600];
        snprintf(keep, sizeof keep, "%s.%s.out", argv[3], name);
        size_t size = crop_once(input, format, rule, p, thumb, mode, keep);
        if (size == 0) return 1;
        printf("%s", name);
        for (int i = 0; i < calls; ++i) {
            double t0 = now_ms(CLOCK_MONOTONIC), c0 = now_ms(CLOCK_PROCESS_CPUTIME_ID);
            if (crop_once(input, format, rule, p, thumb, mode, NULL) == 0) return 1;
            printf(" %.2f:%.2f", now_ms(CLOCK_MONOTONIC) - t0, now_ms(CLOCK_PROCESS_CPUTIME_ID) - c0);
        }
        printf(" %lu\n", (unsigned long)size);
        fflush(stdout);
    }
    fclose(cases);
    return 0;
}
