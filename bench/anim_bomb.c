/* trimlet: crop image files. SPDX-License-Identifier: MIT
 *
 * Driver of scripts/mem_animation.sh: times the refusal of a frames x
 * pixels bomb in process, after one ordinary crop of a small animation
 * (which loads everything the library touches), and reports how much the
 * process's peak RSS grew over that crop's.
 *
 *   anim_bomb BOMB SMALL OUT RUNS
 *
 * Prints "STATUS MEDIAN_MS WORST_MS GROWTH_KIB" and the first refusal's
 * message on a second line. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "trimlet.h"

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static long peak_kib(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

static int crop(const char *in, const char *out, trimlet_result *r) {
    static const int params[4] = {0, 0, 10, 10};
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.frames = TRIMLET_ALL_FRAMES;
    trimlet_request q;
    memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input_path = in;
    q.output_path = out;
    q.rule = TRIMLET_RECT;
    q.params = params;
    q.options = &o;
    memset(r, 0, sizeof *r);
    r->size = sizeof *r;
    return trimlet_run(&q, r);
}

static int by_value(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: anim_bomb BOMB SMALL OUT RUNS\n");
        return 2;
    }
    int runs = atoi(argv[4]);
    if (runs < 1 || runs > 1000) runs = 1;
    trimlet_result r;
    if (!crop(argv[2], argv[3], &r)) {
        fprintf(stderr, "anim_bomb: the small crop failed: %s\n", r.error);
        return 1;
    }
    long before = peak_kib();
    double *ms = malloc(sizeof *ms * (size_t)runs);
    if (ms == NULL) return 1;
    char first[TRIMLET_ERROR_SIZE] = "";
    int status = 0;
    for (int i = 0; i < runs; ++i) {
        double t0 = now_ms();
        crop(argv[1], argv[3], &r);
        ms[i] = now_ms() - t0;
        if (i == 0) {
            status = r.status;
            snprintf(first, sizeof first, "%s", r.error);
        }
    }
    qsort(ms, (size_t)runs, sizeof *ms, by_value);
    printf("%d %.2f %.2f %ld\n%s\n", status, ms[runs / 2], ms[runs - 1], peak_kib() - before, first);
    free(ms);
    return 0;
}
