/* SPDX-License-Identifier: MIT */
/* A host's program: crops a 120x80 PPM it writes itself, from memory to
 * memory, and checks what trimlet_run returns. */
#include <trimlet.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    static unsigned char ppm[16 + 120 * 80 * 3];
    int n = sprintf((char *)ppm, "P6\n120 80\n255\n");
    memset(ppm + n, 200, 120 * 80 * 3);
    int params[2] = {1, 1};
    trimlet_request req = {0};
    req.size = sizeof req;
    req.input = ppm;
    req.input_size = (size_t)n + 120 * 80 * 3;
    req.output_to_memory = 1;
    req.rule = TRIMLET_RATIO;
    req.params = params;
    trimlet_result res = {0};
    res.size = sizeof res;
    if (!trimlet_run(&req, &res)) {
        fprintf(stderr, "host: %s (status %d)\n", res.error, res.status);
        return 1;
    }
    int ok = res.box.w == 80 && res.box.h == 80 && res.output_size > 8 &&
             memcmp(res.output, "\x89PNG", 4) == 0 && strcmp(trimlet_version(), TRIMLET_VERSION_STRING) == 0;
    trimlet_free(res.output);
    printf("host: %dx%d at %d,%d\n", res.box.w, res.box.h, res.box.x, res.box.y);
    return ok ? 0 : 1;
}
