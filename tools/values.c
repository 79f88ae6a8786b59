/* trimlet: command-line host for the trimlet library. SPDX-License-Identifier: MIT
 *
 * The values arguments and options carry, read strictly: whole numbers in a
 * range, ratios W:H, sizes WxH, colours RRGGBB and position names. A value
 * that does not read prints a usage error naming it.
 */

#include "cli.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

/* --position's names, by the library's value (TRIMLET_CENTRE ..). */
static const char *const POSITIONS[] = {
    "centre", "north", "northeast", "east",      "southeast", "south",
    "southwest", "west", "northwest", "entropy", "attention",
};

/* Parses a whole decimal number: an optional sign (only when signed_ok),
 * digits and nothing else. Returns 1, or 0 when the text is not such a
 * number, or -1 when it is one outside the int range. */
static int scan_int(const char *text, int signed_ok, int *out) {
    const char *digits = text;
    if (signed_ok && (text[0] == '-' || text[0] == '+')) ++digits;
    if (*digits < '0' || *digits > '9') return 0;
    char *end = NULL;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (*end != '\0') return 0;
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return -1;
    *out = (int)v;
    return 1;
}

int parse_int(const char *command, const char *name, const char *text, int lo, int hi, int *out) {
    if (text == NULL) {
        usage_error("%s: missing %s", command, name);
        return 0;
    }
    int got = scan_int(text, 1, out);
    if (got == 0) {
        usage_error("%s: %s must be a whole number, not '%s'", command, name, text);
        return 0;
    }
    if (got < 0 || *out < lo || *out > hi) {
        usage_error("%s: %s must be %d..%d, not '%s'", command, name, lo, hi, text);
        return 0;
    }
    return 1;
}

/* Splits "A<sep>B" into two unsigned whole numbers; an empty side is 0 when
 * free_ok, and both sides empty is never a pair. Returns 1 or 0. */
static int scan_pair(const char *text, char sep, int free_ok, int parts[2]) {
    const char *mid = strchr(text, sep);
    char left[32];
    size_t n = mid ? (size_t)(mid - text) : 0;
    if (!mid || n >= sizeof left) return 0;
    memcpy(left, text, n);
    left[n] = '\0';
    const char *right = mid + 1;
    if (free_ok && n == 0 && *right == '\0') return 0;
    parts[0] = parts[1] = 0;
    if (!(free_ok && n == 0) && scan_int(left, 0, &parts[0]) <= 0) return 0;
    if (!(free_ok && *right == '\0') && scan_int(right, 0, &parts[1]) <= 0) return 0;
    return 1;
}

/* RATIO is W:H with both parts whole numbers above 0. A bare number is
 * refused: it used to be an index into a table of five ratios, and `aspect 1`
 * meaning 4:3 was too easy to misread. */
int parse_ratio(const char *text, int parts[2]) {
    if (text == NULL) {
        usage_error("aspect: missing RATIO");
        return 0;
    }
    if (!scan_pair(text, ':', 0, parts)) {
        usage_error("aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '%s'", text);
        return 0;
    }
    if (parts[0] <= 0 || parts[1] <= 0) {
        usage_error("aspect: RATIO parts must be above 0, not '%s'", text);
        return 0;
    }
    return 1;
}

int parse_size(const char *command, const char *name, const char *text, int free_ok, int size[2]) {
    if (text == NULL) {
        usage_error("%s: missing %s", command, name);
        return 0;
    }
    if (!scan_pair(text, 'x', free_ok, size)) {
        usage_error(free_ok ? "%s: %s must be WxH, Wx or xH in whole pixels, like 800x600 or 800x, not '%s'"
                            : "%s: %s must be WxH in whole pixels, like 256x256, not '%s'",
                    command, name, text);
        return 0;
    }
    /* A free side is left empty, so a 0 given is a mistake either way. */
    const char *mid = strchr(text, 'x');
    if ((mid != text && size[0] == 0) || (mid[1] != '\0' && size[1] == 0)) {
        usage_error("%s: %s sides must be above 0, not '%s'", command, name, text);
        return 0;
    }
    return 1;
}

int parse_colour(const char *text, unsigned char rgb[3]) {
    const char *hex = text[0] == '#' ? text + 1 : text;
    int ok = strlen(hex) == 6;
    for (int i = 0; ok && i < 6; ++i) {
        char c = hex[i];
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0) ok = 0;
        if (i % 2 == 0) rgb[i / 2] = (unsigned char)(v << 4);
        else rgb[i / 2] = (unsigned char)(rgb[i / 2] | v);
    }
    return ok;
}

int parse_position(const char *command, const char *text, int *out) {
    for (int i = 0; i < COUNT(POSITIONS); ++i) {
        if (strcmp(text, POSITIONS[i]) == 0) {
            *out = i;
            return 1;
        }
    }
    char list[160] = "";
    for (int i = 0; i < COUNT(POSITIONS); ++i) {
        const char *sep = i == 0 ? "" : i == COUNT(POSITIONS) - 1 ? " or " : ", ";
        size_t used = strlen(list);
        snprintf(list + used, sizeof list - used, "%s%s", sep, POSITIONS[i]);
    }
    usage_error("%s: --position must be %s, not '%s'", command, list, text);
    return 0;
}
