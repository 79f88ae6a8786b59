/* SPDX-License-Identifier: MIT */
/* crop_once: one crop in a fresh process, for one-shot timings and peak
 * memory (scripts/bench_jpeg.sh runs it beside other tools' command lines).
 *
 *   crop_once RULE P0 P1 P2 P3 INPUT OUTPUT [lossless]
 *
 * RULE is a trimlet_rule number; unused params are given as 0. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trimlet.h"

int main(int argc, char **argv) {
    if (argc != 8 && argc != 9) {
        fprintf(stderr, "usage: crop_once RULE P0 P1 P2 P3 INPUT OUTPUT [lossless]\n");
        return 2;
    }
    int params[4];
    for (int i = 0; i < 4; ++i) params[i] = atoi(argv[2 + i]);
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.lossless = argc == 9 && strcmp(argv[8], "lossless") == 0;
    char error[TRIMLET_ERROR_SIZE];
    if (!trimlet_crop_file(argv[6], argv[7], atoi(argv[1]), params, &o, error)) {
        fprintf(stderr, "crop_once: %s\n", error);
        return 1;
    }
    return 0;
}
