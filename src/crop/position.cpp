// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Where the aspect and ratio rules place their box. The rule fixes the box's
// size and centres it; a position moves it. The compass gravities push it
// against the named sides. Entropy and attention slide it along the one axis
// it is shorter than the picture and keep the window that a measure of the
// picture's content rates highest, judged on a reduced copy of the picture
// (at most POSITION_SIDE pixels on its long side), so the choice costs little
// next to the decode.
//
// Both measures judge the window less one reduced pixel on each side, so the
// box keeps a margin of about one reduced pixel around what made the choice
// (the reduced copy's pixel edges do not fall on the picture's). Scores
// within a small fraction of the best count as ties, and a tie goes to the
// window nearest the centre: a flat or evenly textured picture keeps the
// centre box, and a subject that fits is kept whole with the box as near the
// centre as it can be. A tie may drop a subject's weak first lines, so the
// chosen window is then moved to hold a run of content lines it cuts at one
// end, when the lines it gives up at the other end hold none
// (keep_subject).

#include "crop/crop.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

int position_needs_pixels(int position) {
    return position == TRIMLET_ENTROPY || position == TRIMLET_ATTENTION;
}

// ---------------------------------------------------------------------------
// Gravities

// Per gravity: the column (0 west, 1 as centred, 2 east) and the row (0
// north, 1 as centred, 2 south), indexed by TRIMLET_CENTRE..TRIMLET_NORTHWEST.
static const signed char GRAVITY_COLUMN[9] = {1, 1, 2, 2, 2, 1, 0, 0, 0};
static const signed char GRAVITY_ROW[9] = {1, 0, 0, 1, 2, 2, 2, 1, 0};

void position_gravity(int position, int W, int H, Rect *r) {
    if ((unsigned)position > 8u) return;
    if (GRAVITY_COLUMN[position] == 0) r->x = 0;
    if (GRAVITY_COLUMN[position] == 2) r->x = W - r->w;
    if (GRAVITY_ROW[position] == 0) r->y = 0;
    if (GRAVITY_ROW[position] == 2) r->y = H - r->h;
}

// ---------------------------------------------------------------------------
// The reduced copy

int position_reduce(const Image *img, Image *small, Failure *err) {
    int long_side = img->w > img->h ? img->w : img->h;
    int k = (long_side + POSITION_SIDE - 1) / POSITION_SIDE;
    if (k < 1) k = 1;
    int sw = (img->w + k - 1) / k, sh = (img->h + k - 1) / k;
    small->w = sw;
    small->h = sh;
    small->px = (unsigned char *)malloc((size_t)sw * (size_t)sh * 4 + 1);
    uint32_t *sums = (uint32_t *)calloc((size_t)sw * 4, sizeof(uint32_t));
    if (small->px == NULL || sums == NULL) {
        free(small->px);
        free(sums);
        small->px = NULL;
        return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    }
    // Each reduced pixel is the mean of its k x k block (fewer at the right
    // and bottom edges), colour weighted by alpha: transparent parts count
    // as black.
    size_t stride = (size_t)img->w * 4;
    for (int oy = 0; oy < sh; ++oy) {
        int y0 = oy * k, y1 = y0 + k < img->h ? y0 + k : img->h;
        memset(sums, 0, (size_t)sw * 4 * sizeof(uint32_t));
        for (int y = y0; y < y1; ++y) {
            const unsigned char *p = img->px + (size_t)y * stride;
            for (int ox = 0, x = 0; ox < sw; ++ox) {
                uint32_t *s = sums + (size_t)ox * 4;
                // Opaque pixels are summed two channels to a word (red and
                // blue, green and alpha, 16 bits each: a run of k <= 257
                // pixels cannot carry), the others one by one.
                uint32_t rb = 0, ga = 0;
                const uint32_t OPAQUE = k <= 257 ? 255 : 256;
                for (int x1 = x + k < img->w ? x + k : img->w; x < x1; ++x, p += 4) {
                    uint32_t a = p[3];
                    if (a == OPAQUE) {
                        rb += (uint32_t)p[0] | (uint32_t)p[2] << 16;
                        ga += (uint32_t)p[1] | (uint32_t)255 << 16;
                        continue;
                    }
                    s[0] += (p[0] * a + 127) / 255;
                    s[1] += (p[1] * a + 127) / 255;
                    s[2] += (p[2] * a + 127) / 255;
                    s[3] += a;
                }
                s[0] += rb & 0xffff;
                s[1] += ga & 0xffff;
                s[2] += rb >> 16;
                s[3] += ga >> 16;
            }
        }
        unsigned char *o = small->px + (size_t)oy * (size_t)sw * 4;
        for (int ox = 0; ox < sw; ++ox) {
            int x0 = ox * k, x1 = x0 + k < img->w ? x0 + k : img->w;
            uint32_t n = (uint32_t)((x1 - x0) * (y1 - y0));
            for (int c = 0; c < 4; ++c) o[ox * 4 + c] = (unsigned char)((sums[ox * 4 + c] + n / 2) / n);
        }
    }
    free(sums);
    return 1;
}

// ---------------------------------------------------------------------------
// The measures

static inline int luma(const unsigned char *p) {
    return (77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8;
}

// Skin tones: the chroma box of the common YCbCr skin classifier, for pixels
// neither very dark nor very bright.
static inline int skin(const unsigned char *p, int y) {
    int cb = 128 + ((-43 * p[0] - 85 * p[1] + 128 * p[2]) >> 8);
    int cr = 128 + ((128 * p[0] - 107 * p[1] - 21 * p[2]) >> 8);
    return y >= 40 && y <= 240 && cb >= 77 && cb <= 127 && cr >= 133 && cr <= 173;
}

// Weights and floors of the attention measure, in levels.
static const int EDGE_FLOOR = 12;     // gradients below this are the background's shading
static const int SATURATION_FLOOR = 48;
static const int SKIN_SCORE = 96;

// Attention of each reduced pixel: the luminance gradient (central
// differences, summed over both axes) where it is above the floor, plus the
// colour's saturation (max - min of R, G, B) above its floor, plus a fixed
// score for skin tones.
static void attention_map(const Image *small, const unsigned char *y, int *score) {
    int w = small->w, h = small->h;
    for (int j = 0; j < h; ++j) {
        int up = j > 0 ? j - 1 : j, down = j < h - 1 ? j + 1 : j;
        for (int i = 0; i < w; ++i) {
            int left = i > 0 ? i - 1 : i, right = i < w - 1 ? i + 1 : i;
            size_t at = (size_t)j * (size_t)w + (size_t)i;
            int gx = y[(size_t)j * w + right] - y[(size_t)j * w + left];
            int gy = y[(size_t)down * w + i] - y[(size_t)up * w + i];
            int g = abs(gx) + abs(gy);
            const unsigned char *p = small->px + at * 4;
            int hi = p[0] > p[1] ? p[0] : p[1], lo = p[0] < p[1] ? p[0] : p[1];
            if (p[2] > hi) hi = p[2];
            if (p[2] < lo) lo = p[2];
            int s = g >= EDGE_FLOOR ? g : 0;
            if (hi - lo > SATURATION_FLOOR) s += hi - lo - SATURATION_FLOOR;
            if (skin(p, y[at])) s += SKIN_SCORE;
            score[at] = s;
        }
    }
}

// The reduced picture seen along the axis the box slides on: line i is the
// column i (sliding across) or the row i (sliding down).
struct Lines {
    const unsigned char *luma;
    int w, h;
    int across;  // 1: lines are columns
    int count() const { return across ? w : h; }
    int length() const { return across ? h : w; }
    int at(int line, int k) const {
        return across ? luma[(size_t)k * w + line] : luma[(size_t)line * w + k];
    }
};

// Shannon entropy in bits of a histogram of n samples.
static double entropy(const uint32_t *hist, double n) {
    if (n <= 0) return 0;
    double sum = 0;
    for (int v = 0; v < 256; ++v) {
        if (hist[v] != 0) sum += hist[v] * log2((double)hist[v]);
    }
    return log2(n) - sum / n;
}

// Entropy of the luminance histogram of each window [p + m, p + len - m) of
// lines, for p = 0 .. count - len: the histogram slides one line at a time.
static void entropy_scores(const Lines *ln, int len, int m, double *scores) {
    uint32_t hist[256];
    memset(hist, 0, sizeof hist);
    int n = ln->count() - len + 1, k_len = ln->length();
    double samples = (double)(len - 2 * m) * k_len;
    for (int line = m; line < len - m; ++line) {
        for (int k = 0; k < k_len; ++k) ++hist[ln->at(line, k)];
    }
    for (int p = 0; p < n; ++p) {
        if (p > 0) {
            for (int k = 0; k < k_len; ++k) {
                --hist[ln->at(p - 1 + m, k)];
                ++hist[ln->at(p + len - m - 1, k)];
            }
        }
        scores[p] = entropy(hist, samples);
    }
}

// Attention over each window [p + m, p + len - m): the sum of each pixel's
// attention squared, so that a small, striking subject outweighs a broad
// stretch of mild texture (a blade of grass beside a ladybird).
static void attention_scores(const Image *small, const Lines *ln, int len, int m,
                             int *map, double *scores) {
    attention_map(small, ln->luma, map);
    int count = ln->count(), n = count - len + 1;
    // prefix[i]: the sum over lines before i.
    double *prefix = scores + n;
    prefix[0] = 0;
    for (int line = 0; line < count; ++line) {
        long long s = 0;
        for (int k = 0; k < ln->length(); ++k) {
            long long v = ln->across ? map[(size_t)k * small->w + line] : map[(size_t)line * small->w + k];
            s += v * v;
        }
        prefix[line + 1] = prefix[line] + (double)s;
    }
    for (int p = 0; p < n; ++p) scores[p] = prefix[p + len - m] - prefix[p + m];
}

// The content of each line, for keeping a subject whole (keep_subject): for
// entropy, the luminance edges above the floor summed along the line.
static void edge_lines(const Lines *ln, double *content) {
    int count = ln->count(), k_len = ln->length();
    for (int line = 0; line < count; ++line) {
        int before = line > 0 ? line - 1 : line, after = line < count - 1 ? line + 1 : line;
        double s = 0;
        for (int k = 0; k < k_len; ++k) {
            int km = k > 0 ? k - 1 : k, kp = k < k_len - 1 ? k + 1 : k;
            int g = abs(ln->at(after, k) - ln->at(before, k)) + abs(ln->at(line, kp) - ln->at(line, km));
            if (g >= EDGE_FLOOR) s += g;
        }
        content[line] = s;
    }
}

static int compare_doubles(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

// 1 when lines [from, to) hold no content line.
static int empty_lines(const unsigned char *is, int from, int to) {
    for (int i = from; i < to; ++i) {
        if (is[i]) return 0;
    }
    return 1;
}

// The window p moved, when it cuts a run of content lines at one end and
// can hold the run by giving up only lines without content at the other.
// The ties that favour the centre let a window drop a few weak lines of a
// subject, and the margin is one reduced line: at the picture's scale that
// cut a subject's first pixels. A content line is one well above the
// picture's typical line (twice the median), so a flat or evenly textured
// picture has none. is (lines bytes) and sorted (lines values) are scratch.
static int keep_subject(const double *content, int lines, int len, int m, int p, unsigned char *is,
                        double *sorted) {
    memcpy(sorted, content, (size_t)lines * sizeof(double));
    qsort(sorted, (size_t)lines, sizeof(double), compare_doubles);
    double floor = 2 * sorted[lines / 2];
    for (int i = 0; i < lines; ++i) is[i] = content[i] > floor;
    int edge = m > 0 ? m : 1;  // the lines at each end that must not hold a run's start
    // A run that reaches the window's first lines from before them: the
    // window starts m lines before the run, if the lines it gives up at the
    // other end are empty.
    for (int j = p; j < p + edge; ++j) {
        if (!is[j]) continue;
        int a = j;
        while (a > 0 && is[a - 1]) --a;
        int q = a - m > 0 ? a - m : 0;
        if (q < p && empty_lines(is, q + len, p + len)) return q;
        break;
    }
    // The same at the window's last lines.
    for (int j = p + len - 1; j >= p + len - edge; --j) {
        if (!is[j]) continue;
        int b = j + 1;
        while (b < lines && is[b]) ++b;
        int q = b + m - len < lines - len ? b + m - len : lines - len;
        if (q > p && empty_lines(is, p, q)) return q;
        break;
    }
    return p;
}

// Scores this close to the best are ties: a fraction of the best attention,
// a number of bits of entropy.
static const double ATTENTION_TIE = 0.005;
static const double ENTROPY_TIE = 0.005;

int position_choose(int position, const Image *small, int W, int H, Rect *r, Failure *err) {
    int across = r->w < W;
    if (!across && r->h >= H) return 1;  // the box is the whole picture
    int full = across ? W : H, box = across ? r->w : r->h;
    int lines = across ? small->w : small->h;
    // The box's length on the reduced copy, and the candidate windows.
    int len = (int)(((long long)box * lines * 2 + full) / ((long long)full * 2));
    if (len < 1) len = 1;
    if (len >= lines) return 1;  // no room to move on the reduced copy: keep the centre
    int n = lines - len + 1;
    int m = len >= 3 ? 1 : 0;
    size_t count = (size_t)small->w * (size_t)small->h;
    unsigned char *y = (unsigned char *)malloc(count + 1);
    int *map = (int *)malloc((count + 1) * sizeof(int));
    // The scores, then the lines' prefix sums or content, then scratch.
    double *scores = (double *)malloc(((size_t)n + 2 * (size_t)lines + 1) * sizeof(double));
    unsigned char *is = (unsigned char *)malloc((size_t)lines);
    if (y == NULL || map == NULL || scores == NULL || is == NULL) {
        free(y);
        free(map);
        free(scores);
        free(is);
        return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    }
    for (size_t i = 0; i < count; ++i) y[i] = (unsigned char)luma(small->px + i * 4);
    Lines ln = {y, small->w, small->h, across};
    double *content = scores + n;
    if (position == TRIMLET_ENTROPY) {
        entropy_scores(&ln, len, m, scores);
        edge_lines(&ln, content);
    } else {
        attention_scores(small, &ln, len, m, map, scores);
        for (int line = 0; line < lines; ++line) content[line] = content[line + 1] - content[line];
    }
    double best = 0;
    for (int p = 0; p < n; ++p) best = scores[p] > best ? scores[p] : best;
    double good = position == TRIMLET_ENTROPY ? best - ENTROPY_TIE : best * (1 - ATTENTION_TIE);
    // Candidate p puts the box at p * (full - box) / (n - 1), rounded: the
    // first and last candidates are the picture's sides exactly.
    int centre = across ? r->x : r->y;
    int chosen = centre, distance = -1, window = 0;
    for (int p = 0; p < n; ++p) {
        if (best > 0 && scores[p] < good) continue;
        int at = (int)(((long long)p * (full - box) * 2 + (n - 1)) / ((long long)(n - 1) * 2));
        int d = abs(at - centre);
        if (distance < 0 || d < distance) {
            chosen = at;
            distance = d;
            window = p;
        }
        if (best <= 0) break;  // nothing to see: every window ties
    }
    if (best <= 0) {
        chosen = centre;
    } else {
        int p = keep_subject(content, lines, len, m, window, is, scores + n + lines + 1);
        if (p != window) chosen = (int)(((long long)p * (full - box) * 2 + (n - 1)) / ((long long)(n - 1) * 2));
    }
    if (across) {
        r->x = chosen;
    } else {
        r->y = chosen;
    }
    free(y);
    free(map);
    free(scores);
    free(is);
    return 1;
}
