// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The crop rules: each chooses a rectangle inside an image, from its size
// (rect, aspect, ratio, edges) or from its pixels (auto), or refuses with a
// message that starts with the rule's short name.

#include "crop/crop.h"

#include <string.h>

// ---------------------------------------------------------------------------
// Explicit rectangle

// Clips [x, x+w) x [y, y+h) to the image. Sums are formed in 64 bits so no
// int the host passes can overflow them.
static int rect_region(const Image *img, int x, int y, int w, int h, Rect *r, Failure *err) {
    if (w <= 0 || h <= 0) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "rect: width/height must be > 0 (got %dx%d)", w, h);
    }
    int64_t left = x < 0 ? 0 : x;
    int64_t top = y < 0 ? 0 : y;
    if (left > img->w) left = img->w;
    if (top > img->h) top = img->h;
    int64_t right = (int64_t)x + w;
    int64_t bottom = (int64_t)y + h;
    if (right > img->w) right = img->w;
    if (bottom > img->h) bottom = img->h;
    if (right <= left || bottom <= top) {
        return fail(err, TRIMLET_ERR_RULE, "rect: %d,%d %dx%d does not overlap the %dx%d image", x, y, w, h,
                    img->w, img->h);
    }
    r->x = (int)left;
    r->y = (int)top;
    r->w = (int)(right - left);
    r->h = (int)(bottom - top);
    return 1;
}

// ---------------------------------------------------------------------------
// Centred ratio: five fixed ones by index, or any

// Width and height parts of the supported ratios: 1:1, 4:3, 16:9, 3:2, 9:16.
static const int ASPECT_NUM[5] = {1, 4, 16, 3, 9};
static const int ASPECT_DEN[5] = {1, 3, 9, 2, 16};

// The largest centred region of ratio n:d (both > 0) in a W x H image, W and H
// at least 1. Products are formed in 64 bits: W and H are at most 32768 but
// the parts of a free ratio may be any positive ints. The cut side is rounded
// to nearest (halves up), clamped to 1..the side, and the leftover split with
// the odd pixel on the right or bottom.
static void centred_ratio(int W, int H, int64_t n, int64_t d, Rect *r) {
    int64_t cw, ch;
    if ((int64_t)W * d > (int64_t)H * n) {
        cw = ((int64_t)H * n + d / 2) / d;  // wider than the ratio: cut the sides
        ch = H;
    } else {
        cw = W;  // taller than or equal to the ratio: cut top and bottom
        ch = ((int64_t)W * d + n / 2) / n;
    }
    if (cw < 1) cw = 1;
    if (cw > W) cw = W;
    if (ch < 1) ch = 1;
    if (ch > H) ch = H;
    r->x = (W - (int)cw) / 2;
    r->y = (H - (int)ch) / 2;
    r->w = (int)cw;
    r->h = (int)ch;
}

static int aspect_region(const Image *img, int index, Rect *r, Failure *err) {
    if ((unsigned)index > 4u) return fail(err, TRIMLET_ERR_ARGUMENT, "aspect: ratio %d out of range 0..4", index);
    if (img->w < 1 || img->h < 1) {
        return fail(err, TRIMLET_ERR_RULE, "aspect: image has no pixels (%dx%d)", img->w, img->h);
    }
    centred_ratio(img->w, img->h, ASPECT_NUM[index], ASPECT_DEN[index], r);
    return 1;
}

// Any ratio of two positive ints, cut exactly as the fixed ones are.
static int ratio_region(const Image *img, int n, int d, Rect *r, Failure *err) {
    if (n <= 0 || d <= 0) return fail(err, TRIMLET_ERR_ARGUMENT, "ratio: parts must be > 0 (got %d:%d)", n, d);
    if (img->w < 1 || img->h < 1) {
        return fail(err, TRIMLET_ERR_RULE, "ratio: image has no pixels (%dx%d)", img->w, img->h);
    }
    centred_ratio(img->w, img->h, n, d, r);
    return 1;
}

// ---------------------------------------------------------------------------
// Automatic border trim
//
// A pixel is content when any channel differs from the same channel of its
// quadrant's corner pixel by more than the threshold. The result is the
// bounding box of all content pixels. Each row is split at the vertical
// quadrant boundary, so the reference is fixed within each half and no pixel
// needs a quadrant test. Runs of pixels are tested four at a time, two per
// 64-bit word: a word equal to its reference pair is background at once, and
// otherwise all eight channels are tested together without branches (see
// pair_content). Only a run that holds content is looked at pixel by pixel.

static inline uint32_t load_px(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

static inline uint64_t load_pair(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

static inline int channel_differs(int a, int b, int t) {
    int d = a - b;
    return d > t || -d > t;
}

static inline int is_content(const unsigned char *p, const unsigned char *ref,
                             int t) {
    return channel_differs(p[0], ref[0], t) ||
           channel_differs(p[1], ref[1], t) ||
           channel_differs(p[2], ref[2], t) ||
           channel_differs(p[3], ref[3], t);
}

// Constants for testing two pixels against one reference in a 64-bit word.
// The word's even and odd bytes are spread into four 16-bit lanes each, so
// that lane arithmetic never carries into a neighbour:
//   x = p + 256 - r          1..511, where p and r are one channel's values
//   x + 0x8000 - 257 - T     has bit 15 set exactly when p - r > T
//   0x8000 + 255 - T - x     has bit 15 set exactly when r - p > T
// (T is at most 254 here, so neither sum leaves its lane.)
struct PairRef {
    uint64_t pair;                 // the reference pixel twice
    uint64_t even_bias, odd_bias;  // 256 - r in each lane
    uint64_t above, below;         // 0x8000 - 257 - T and 0x8000 + 255 - T
};

static const uint64_t LANE_LOW = 0x00FF00FF00FF00FFull;
static const uint64_t LANE_ONE = 0x0001000100010001ull;
static const uint64_t LANE_SIGN = 0x8000800080008000ull;

static PairRef pair_ref(const unsigned char *ref, int t) {
    uint64_t px = load_px(ref);
    PairRef pr;
    pr.pair = px | px << 32;
    pr.even_bias = LANE_ONE * 256 - (pr.pair & LANE_LOW);
    pr.odd_bias = LANE_ONE * 256 - (pr.pair >> 8 & LANE_LOW);
    pr.above = LANE_ONE * (uint64_t)(0x8000 - 257 - t);
    pr.below = LANE_ONE * (uint64_t)(0x8000 + 255 - t);
    return pr;
}

// Nonzero when either pixel of the word v is content.
static inline uint64_t pair_content(uint64_t v, const PairRef *pr) {
    uint64_t even = (v & LANE_LOW) + pr->even_bias;
    uint64_t odd = (v >> 8 & LANE_LOW) + pr->odd_bias;
    uint64_t over = (even + pr->above) | (pr->below - even) |
                    (odd + pr->above) | (pr->below - odd);
    return over & LANE_SIGN;
}

// Nonzero when one of the four pixels at p is content.
static inline uint64_t run_content(const unsigned char *p, const PairRef *pr) {
    uint64_t a = load_pair(p), b = load_pair(p + 8);
    if (a == pr->pair && b == pr->pair) return 0;
    return pair_content(a, pr) | pair_content(b, pr);
}

// First content pixel in columns [from, to) of row, or -1.
static int first_content(const unsigned char *row, int from, int to,
                         const unsigned char *ref, int t) {
    PairRef pr = pair_ref(ref, t);
    int x = from;
    while (x + 4 <= to && !run_content(row + (size_t)x * 4, &pr)) x += 4;
    for (; x < to; ++x) {
        if (is_content(row + (size_t)x * 4, ref, t)) return x;
    }
    return -1;
}

// Last content pixel in columns [from, to) of row, or -1.
static int last_content(const unsigned char *row, int from, int to,
                        const unsigned char *ref, int t) {
    PairRef pr = pair_ref(ref, t);
    int x = to;
    while (x - 4 >= from && !run_content(row + (size_t)(x - 4) * 4, &pr)) x -= 4;
    for (--x; x >= from; --x) {
        if (is_content(row + (size_t)x * 4, ref, t)) return x;
    }
    return -1;
}

// Bounding box of the content pixels. Each row is searched from the left for
// its first content pixel and from the right for its last one, stopping where
// the box found so far already reaches: the pixels skipped that way could not
// change the box, so the result equals that of a full scan.
// The content box of img against the corner pixels tl, tr, bl, br (img's
// own for the rule): 0 when there is none.
static int content_box(const Image *img, const unsigned char *tl, const unsigned char *tr,
                       const unsigned char *bl, const unsigned char *br, int T, Rect *r) {
    int W = img->w, H = img->h;
    int min_x = W, max_x = -1, min_y = H, max_y = -1;
    // A difference can never exceed 255, so at T 255 nothing is content.
    if (W >= 1 && H >= 1 && T < 255) {
        size_t stride = (size_t)W * 4;
        int half_w = W / 2, half_h = H / 2;
        const unsigned char *px = img->px;
        for (int y = 0; y < H; ++y) {
            const unsigned char *row = px + (size_t)y * stride;
            const unsigned char *ref_l = y < half_h ? tl : bl;
            const unsigned char *ref_r = y < half_h ? tr : br;
            // First content pixel of the row, left half then right half.
            int first = first_content(row, 0, half_w, ref_l, T);
            if (first < 0) first = first_content(row, half_w, W, ref_r, T);
            if (first < 0) continue;
            if (min_y == H) min_y = y;
            max_y = y;
            if (first < min_x) min_x = first;
            if (first > max_x) max_x = first;
            // Last content pixel beyond what the box already covers.
            int from = max_x + 1;
            if (from < W) {
                int last = last_content(row, from > half_w ? from : half_w, W,
                                        ref_r, T);
                if (last < 0 && from < half_w) {
                    last = last_content(row, from, half_w, ref_l, T);
                }
                if (last > max_x) max_x = last;
            }
        }
    }
    if (max_x < 0) return 0;
    r->x = min_x;
    r->y = min_y;
    r->w = max_x - min_x + 1;
    r->h = max_y - min_y + 1;
    return 1;
}

void image_corners(const Image *img, const unsigned char *c[4]) {
    size_t stride = (size_t)img->w * 4;
    c[0] = img->px;
    c[1] = img->px + (size_t)(img->w - 1) * 4;
    c[2] = img->px + (size_t)(img->h - 1) * stride;
    c[3] = c[2] + (size_t)(img->w - 1) * 4;
}

static int auto_tolerance(int tolerance) { return tolerance < 0 ? 0 : tolerance > 100 ? 100 : tolerance; }

static int auto_region(const Image *img, int tolerance, Rect *r, Failure *err) {
    int t = auto_tolerance(tolerance);
    const unsigned char *corners[4] = {NULL, NULL, NULL, NULL};
    if (img->w >= 1 && img->h >= 1) image_corners(img, corners);  // none for an empty image
    if (!content_box(img, corners[0], corners[1], corners[2], corners[3], t * 255 / 100, r)) {
        return fail(err, TRIMLET_ERR_RULE, "auto: image is uniform (nothing to crop to, tolerance %d)", t);
    }
    return 1;
}

int auto_content(const Image *img, const unsigned char corners[4][4], int tolerance, Rect *r) {
    return content_box(img, corners[0], corners[1], corners[2], corners[3],
                       auto_tolerance(tolerance) * 255 / 100, r);
}

int auto_uniform(int tolerance, Failure *err) {
    return fail(err, TRIMLET_ERR_RULE, "auto: image is uniform (nothing to crop to, tolerance %d)",
                auto_tolerance(tolerance));
}

// ---------------------------------------------------------------------------
// Percentage edges

static int edges_region(const Image *img, int top, int right, int bottom, int left, Rect *r,
                        Failure *err) {
    if (top < 0 || right < 0 || bottom < 0 || left < 0) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "edges: negative percentage (t=%d r=%d b=%d l=%d)", top, right,
                bottom, left);
    }
    if (top > 49 || right > 49 || bottom > 49 || left > 49) {
        return fail(err, TRIMLET_ERR_ARGUMENT, "edges: percentage must be 0..49 (t=%d r=%d b=%d l=%d)", top,
                right, bottom, left);
    }
    int W = img->w, H = img->h;
    // At most 49 * 32768, far inside 32 bits.
    int x0 = left * W / 100;
    int x1 = W - right * W / 100;
    if (x0 >= x1) {
        return fail(err, TRIMLET_ERR_RULE, "edges: left+right=%d%% leaves no columns (%d px wide)",
                left + right, W);
    }
    int y0 = top * H / 100;
    int y1 = H - bottom * H / 100;
    if (y0 >= y1) {
        return fail(err, TRIMLET_ERR_RULE, "edges: top+bottom=%d%% leaves no rows (%d px tall)",
                top + bottom, H);
    }
    r->x = x0;
    r->y = y0;
    r->w = x1 - x0;
    r->h = y1 - y0;
    return 1;
}

// ---------------------------------------------------------------------------
// By number

static const char *const RULE_NAMES[5] = {"rect", "aspect", "auto", "edges", "ratio"};
static const int RULE_PARAMS[5] = {4, 1, 1, 4, 2};

const char *rule_name(int rule) { return (unsigned)rule < 5u ? RULE_NAMES[rule] : NULL; }

int rule_param_count(int rule) { return (unsigned)rule < 5u ? RULE_PARAMS[rule] : 0; }

int rule_needs_pixels(int rule) { return rule == TRIMLET_AUTO; }

int rule_region(int rule, const int *p, const Image *img, Rect *r, Failure *err) {
    switch (rule) {
    case TRIMLET_RECT: return rect_region(img, p[0], p[1], p[2], p[3], r, err);
    case TRIMLET_ASPECT: return aspect_region(img, p[0], r, err);
    case TRIMLET_AUTO: return auto_region(img, p[0], r, err);
    case TRIMLET_EDGES: return edges_region(img, p[0], p[1], p[2], p[3], r, err);
    case TRIMLET_RATIO: return ratio_region(img, p[0], p[1], r, err);
    default: return fail(err, TRIMLET_ERR_ARGUMENT, "crop: unknown rule %d", rule);
    }
}
