/* SPDX-License-Identifier: MIT */
/* thumb_once: one thumbnail in a fresh process, for one-shot timings and
 * peak memory beside other tools' thumbnailers (scripts/bench_thumbnails.sh).
 *
 *   thumb_once POSITION W H QUALITY INPUT OUTPUT
 *
 * The crop of ratio W:H placed by POSITION (a TRIMLET_CENTRE..
 * TRIMLET_ATTENTION number), scaled to W x H, as JPEG of that quality. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trimlet.h"

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: thumb_once POSITION W H QUALITY INPUT OUTPUT\n");
        return 2;
    }
    int params[2] = {atoi(argv[2]), atoi(argv[3])};
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.position = atoi(argv[1]);
    o.resize_w = params[0];
    o.resize_h = params[1];
    o.quality = atoi(argv[4]);
    char error[TRIMLET_ERROR_SIZE];
    if (!trimlet_crop_file(argv[5], argv[6], TRIMLET_RATIO, params, &o, error)) {
        fprintf(stderr, "thumb_once: %s\n", error);
        return 1;
    }
    return 0;
}
