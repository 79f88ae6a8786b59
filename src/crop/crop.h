// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// Choosing and shaping the crop: the rules, where a box is placed, the turn
// upright, and scaling down. Pixels in, pixels out; no file formats here.
#ifndef TRIMLET_CROP_CROP_H
#define TRIMLET_CROP_CROP_H

#include "base/base.h"

// orient.cpp

// The upright size of a stored w x h image of the given orientation.
void upright_size(int orientation, int w, int h, int *uw, int *uh);
// The rectangle of the stored image that holds rectangle r of the upright
// image. r must lie inside the upright image.
Rect stored_rect(Rect r, int orientation, int stored_w, int stored_h);
// Turns img from stored to upright in place for orientation 2..8 (1 and
// other values leave it as it is). 2..4 need no extra memory; 5..8 allocate
// the turned block before the old one is freed, so img's block twice at
// peak. Fails with "out of memory turning <w>x<h> image", img unchanged.
int orient_image(Image *img, int orientation, Failure *err);

// ---------------------------------------------------------------------------
// rules.cpp

// The rule's short name ("rect", "aspect", "auto", "edges", "ratio"), or
// NULL for a number that names no rule.
const char *rule_name(int rule);
// How many ints the rule reads from params.
int rule_param_count(int rule);
// 1 when the rule looks at pixels (auto), 0 when the size alone decides.
int rule_needs_pixels(int rule);
// The rule's rectangle in img (img->px is read only by auto). Fails with the
// rule's own messages.
int rule_region(int rule, const int *params, const Image *img, Rect *r, Failure *err);
// The top-left, top-right, bottom-left and bottom-right pixels of img (at
// least 1x1).
void image_corners(const Image *img, const unsigned char *c[4]);
// Auto's content box in img, judged against the given corner pixels (RGBA):
// 0 when img has no content by them. For the frames of an animation, all
// against the first frame's corners.
int auto_content(const Image *img, const unsigned char corners[4][4], int tolerance, Rect *r);
// Fails as auto does on a uniform image.
int auto_uniform(int tolerance, Failure *err);

// ---------------------------------------------------------------------------
// position.cpp

// The long side, in pixels, of the reduced copy entropy and attention judge.
static const int POSITION_SIDE = 320;

// 1 for the positions that look at the pixels (entropy, attention).
int position_needs_pixels(int position);
// Moves r, a box of a W x H picture centred by its rule, as the gravity
// position (TRIMLET_CENTRE..TRIMLET_NORTHWEST) says; other values leave it.
void position_gravity(int position, int W, int H, Rect *r);
// Averages img down by a whole factor to at most POSITION_SIDE pixels on its
// long side, into *small (malloc'd). Fails with "out of memory".
int position_reduce(const Image *img, Image *small, Failure *err);
// Moves r, a box of a W x H picture centred by its rule, along the axis it
// is shorter than the picture, to the window of small (the whole picture
// reduced, upright as r is) that entropy or attention rates highest. Fails
// with "out of memory".
int position_choose(int position, const Image *small, int W, int H, Rect *r, Failure *err);

// ---------------------------------------------------------------------------
// resize.cpp

// The size a w x h crop is scaled down to by the resize option rw x rh (0:
// that side free; both 0: none): within rw x rh, ratio kept, never enlarged;
// the side that sets the scale is exactly its target, the other rounded
// (halves up), at least 1.
void resize_size(int w, int h, int rw, int rh, int *ow, int *oh);
// Resamples the span (sx, sy, sw, sh) of src (source pixels, fractions
// allowed; taps reach only pixels inside src) to ow x oh with Lanczos 3, alpha
// premultiplied while filtering, into *out (malloc'd). Fails with
// "out of memory for <ow>x<oh> resize".
int resize_area(const Image *src, double sx, double sy, double sw, double sh, int ow, int oh,
                Image *out, Failure *err);
// Replaces img by its ow x oh resampling (nothing to do when the size is the
// same). On failure img is unchanged.
int resize_image(Image *img, int ow, int oh, Failure *err);

#endif
