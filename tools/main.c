/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * One subcommand per crop rule, arguments in the library's own order:
 *
 *   trimlet rect X Y W H INPUT... (-o OUT | -d DIR | --in-place) [options]
 *   trimlet aspect W:H ...        trimlet auto [-t PERCENT] ...
 *   trimlet edges TOP RIGHT BOTTOM LEFT ...
 *   trimlet thumb WxH ...         (ratio W:H, scaled down to W x H)
 *   trimlet plan RULE ARGS INPUT... [--json]     (prints boxes, writes nothing)
 *
 * Every crop is one trimlet_run. Before any file is read or written, the
 * whole command line is checked (args.c), and every output against every
 * input and every other output (outputs.c); then the batch runs (batch.c).
 *
 * Exit status: 0 all cropped, 1 any file failed, 2 usage error or refused
 * overwrite (nothing was done).
 */

#include "cli.h"

#include <stdlib.h>
#include <string.h>

static int run_command(int argc, char **argv) {
    Command c;
    memset(&c, 0, sizeof c);
    c.inputs = (const char **)calloc((size_t)argc + 1, sizeof(char *));
    const char **outputs = (const char **)calloc((size_t)argc + 1, sizeof(char *));
    int status = EXIT_SOME_FAILED;
    if (!c.inputs || !outputs) {
        fputs("trimlet: out of memory\n", stderr);
    } else {
        status = parse_command(argc, argv, &c);
        if (status < 0 && !c.plan) status = prepare_outputs(&c, outputs);
        if (status < 0) status = run_batch(&c, outputs);
    }
    for (int i = 0; c.out_dir && outputs && i < c.n_inputs; ++i) free((void *)outputs[i]);
    free((void *)outputs);
    free((void *)c.inputs);
    return status;
}

#ifdef _WIN32
int wmain(int argc, wchar_t **wargv) {
    char **argv = utf8_arguments(argc, wargv);
    if (argv == NULL) {
        fputs("trimlet: cannot convert the arguments to UTF-8\n", stderr);
        return EXIT_SOME_FAILED;
    }
    int status = run_command(argc, argv);
    free_arguments(argc, argv);
    return status;
}
#else
int main(int argc, char **argv) { return run_command(argc, argv); }
#endif
