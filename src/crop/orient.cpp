// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The turns and mirrorings the EXIF Orientation tag names, applied to a
// picture and to the rectangles cut from it.
#include "crop/crop.h"

#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Orientation geometry
//
// Orientation o of a stored w x h image: the upright image a viewer shows is
// the stored one
//   1 as is            2 mirrored left-right   3 turned 180
//   4 mirrored top-bottom                      5 mirrored about the main diagonal
//   6 turned 90 clockwise                      7 mirrored about the other diagonal
//   8 turned 90 anticlockwise
// 5 to 8 swap width and height. Upright pixel (ux, uy) is stored pixel
//   1 (ux, uy)         2 (w-1-ux, uy)          3 (w-1-ux, h-1-uy)   4 (ux, h-1-uy)
//   5 (uy, ux)         6 (uy, h-1-ux)          7 (w-1-uy, h-1-ux)   8 (w-1-uy, ux)

static int swaps_sides(int orientation) { return orientation >= 5 && orientation <= 8; }

void upright_size(int orientation, int w, int h, int *uw, int *uh) {
    *uw = swaps_sides(orientation) ? h : w;
    *uh = swaps_sides(orientation) ? w : h;
}

Rect stored_rect(Rect u, int orientation, int stored_w, int stored_h) {
    int w = stored_w, h = stored_h;
    switch (orientation) {
    case 2: return Rect{w - u.x - u.w, u.y, u.w, u.h};
    case 3: return Rect{w - u.x - u.w, h - u.y - u.h, u.w, u.h};
    case 4: return Rect{u.x, h - u.y - u.h, u.w, u.h};
    case 5: return Rect{u.y, u.x, u.h, u.w};
    case 6: return Rect{u.y, h - u.x - u.w, u.h, u.w};
    case 7: return Rect{w - u.y - u.h, h - u.x - u.w, u.h, u.w};
    case 8: return Rect{w - u.y - u.h, u.x, u.h, u.w};
    default: return u;
    }
}

static void swap_px(unsigned char *a, unsigned char *b) {
    unsigned char t[4];
    memcpy(t, a, 4);
    memcpy(a, b, 4);
    memcpy(b, t, 4);
}

// Orientations 2 to 4 keep the size and turn the block where it lies.
static void orient_in_place(Image *img, int orientation) {
    size_t w = (size_t)img->w, h = (size_t)img->h;
    unsigned char *px = img->px;
    if (orientation == 2) {
        for (size_t y = 0; y < h; ++y) {
            unsigned char *row = px + y * w * 4;
            for (size_t a = 0, b = w - 1; a < b; ++a, --b) swap_px(row + a * 4, row + b * 4);
        }
    } else if (orientation == 3) {
        size_t n = w * h;
        for (size_t a = 0, b = n - 1; a < b; ++a, --b) swap_px(px + a * 4, px + b * 4);
    } else if (orientation == 4) {
        for (size_t a = 0, b = h - 1; a < b; ++a, --b) {
            unsigned char *ra = px + a * w * 4, *rb = px + b * w * 4;
            for (size_t x = 0; x < w; ++x) swap_px(ra + x * 4, rb + x * 4);
        }
    }
}

// Orientations 5 to 8 swap the sides: each upright row is a stored column.
// The copy goes in 32 x 32 tiles so that both blocks are read and written a
// few cache lines at a time.
static void orient_transposed(const Image *src, int orientation, unsigned char *out) {
    const int w = src->w, h = src->h;  // stored; upright is h x w
    const int tile = 32;
    for (int uy0 = 0; uy0 < w; uy0 += tile) {
        int uy1 = uy0 + tile < w ? uy0 + tile : w;
        for (int ux0 = 0; ux0 < h; ux0 += tile) {
            int ux1 = ux0 + tile < h ? ux0 + tile : h;
            for (int uy = uy0; uy < uy1; ++uy) {
                int sx = orientation <= 6 ? uy : w - 1 - uy;
                unsigned char *o = out + ((size_t)uy * h + ux0) * 4;
                for (int ux = ux0; ux < ux1; ++ux, o += 4) {
                    int sy = (orientation == 5 || orientation == 8) ? ux : h - 1 - ux;
                    memcpy(o, src->px + ((size_t)sy * w + sx) * 4, 4);
                }
            }
        }
    }
}

int orient_image(Image *img, int orientation, Failure *err) {
    if (orientation < 2 || orientation > 8) return 1;
    if (img->w <= 0 || img->h <= 0) {  // no pixels to move, only the sides
        upright_size(orientation, img->w, img->h, &img->w, &img->h);
        return 1;
    }
    if (!swaps_sides(orientation)) {
        orient_in_place(img, orientation);
        return 1;
    }
    // Turned: img->h wide and img->w high.
    unsigned char *out = (unsigned char *)pixels_malloc((size_t)img->h, (size_t)img->w);
    if (out == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory turning %dx%d image", img->w, img->h);
    orient_transposed(img, orientation, out);
    free(img->px);
    int w = img->w;
    img->w = img->h;
    img->h = w;
    img->px = out;
    return 1;
}
