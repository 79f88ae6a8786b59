// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The lossless JPEG cut: a rectangle cut from the DCT coefficients without
// re-encoding, turned upright in the same transform (libturbojpeg's
// tjTransform), for the JPEG codec's READ_LOSSLESS. The header's block grid
// and the mended copy the cut reads are made once for the reader.

#include "codecs/parts.h"
#include "base/count.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// What the cut keeps of an open input (the reader's state, made on first use): the copy
// libjpeg-turbo reads (its header mended, made on first use) and the
// header's block grid, each read once.
struct JpegState {
    int copied;       // copy/own below are set
    int own;          // copy is a mended copy of the input, owned here
    Input copy;
    int grid_read;    // the grid below has been read (grid_ok: successfully)
    int grid_ok;
    int status;       // when !grid_ok: the class and reason
    char why[256];
    int mcu_w, mcu_h, w, h;
};

void jpeg_cut_close(Reader *r) {
    JpegState *st = (JpegState *)r->state;
    if (st != NULL && st->own) free(st->copy.owned);
    free(st);
    r->state = NULL;
}

#ifdef TRIMLET_USE_LIBJPEG_TURBO

#include <turbojpeg.h>

// The reader's cut state, made on first use; NULL when memory runs out.
static JpegState *cut_state(Reader *r, Failure *err) {
    if (r->state == NULL) r->state = calloc(1, sizeof(JpegState));
    if (r->state == NULL) fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    return (JpegState *)r->state;
}

// The input the cut reads: a mended copy of one with stray bytes in its
// header (jpeg_mend_copy), as a decode skips them; else the input itself.
static const Input *cut_input(Reader *r) {
    JpegState *st = (JpegState *)r->state;
    if (!st->copied) {
        st->own = jpeg_mend_copy(r->in, &st->copy);
        st->copied = 1;
    }
    return st->own ? &st->copy : r->in;
}

// The iMCU of the JPEG the cut reads (the block grid a lossless cut must
// start on) and its size, read once for the reader. 0 with st->status and
// st->why set when the header cannot be read (CORRUPT) or its subsampling
// is one the transform does not take (UNSUPPORTED).
static int read_grid(tjhandle tj, const Input *in, JpegState *st) {
    if (st->grid_read) return st->grid_ok;
    st->grid_read = 1;
    count_open(OPEN_JPEG_HEADER);
    int subsamp = -1, colorspace = -1;
    if (tjDecompressHeader3(tj, in->data, (unsigned long)in->size, &st->w, &st->h, &subsamp, &colorspace) != 0) {
        st->status = TRIMLET_ERR_CORRUPT;
        snprintf(st->why, sizeof st->why, "%s", tjGetErrorStr2(tj));
        return 0;
    }
    if (subsamp < 0 || subsamp >= TJ_NUMSAMP) {
        st->status = TRIMLET_ERR_UNSUPPORTED;
        snprintf(st->why, sizeof st->why, "unsupported chroma subsampling");
        return 0;
    }
    st->mcu_w = tjMCUWidth[subsamp];
    st->mcu_h = tjMCUHeight[subsamp];
    st->grid_ok = 1;
    return 1;
}

// Where a lossless cut may start in the upright image of an orientation.
// libjpeg-turbo turns whole iMCUs; a partial iMCU at the stored image's right
// or bottom edge cannot be mirrored and stays where it was, at the turned
// image's right or bottom. So the turned image holds the upright picture
// shifted by the partial blocks that belong on its left (dx) and top (dy):
// turned (x, y) is upright (x + dx, y + dy), exactly, for every x < w - dx
// and y < h - dy. A cut is exact when it starts at or after (dx, dy), on the
// turned image's grid. That grid is the turned iMCU, and libturbojpeg also
// checks the crop's corner against the stored file's iMCU: for a turn that
// swaps the sides both must hold, so the larger side both ways.
struct Grid {
    int step_x, step_y;
    int dx, dy;
    int op;  // TJXOP_*
};

static Grid turned_grid(int orientation, int mcu_w, int mcu_h, int w, int h) {
    // The turn from stored to upright, by Exif Orientation 1..8.
    static const int OPS[9] = {TJXOP_NONE,      TJXOP_NONE,  TJXOP_HFLIP,
                               TJXOP_ROT180,    TJXOP_VFLIP, TJXOP_TRANSPOSE,
                               TJXOP_ROT90,     TJXOP_TRANSVERSE, TJXOP_ROT270};
    if (orientation < 1 || orientation > 8) orientation = 1;
    int pw = w % mcu_w, ph = h % mcu_h;  // the stored partial blocks
    Grid g;
    int swaps = orientation >= 5;
    int big = mcu_w > mcu_h ? mcu_w : mcu_h;
    g.step_x = swaps ? big : mcu_w;
    g.step_y = swaps ? big : mcu_h;
    // Which stored partial edge ends up on the upright left (dx) and top
    // (dy): none, the right one (pw columns) or the bottom one (ph rows).
    enum { NO, PW, PH };
    static const unsigned char LEFT[9] = {NO, NO, PW, PW, NO, NO, PH, PH, NO};
    static const unsigned char TOP[9] = {NO, NO, NO, PH, PH, NO, NO, PW, PW};
    g.dx = LEFT[orientation] == PW ? pw : LEFT[orientation] == PH ? ph : 0;
    g.dy = TOP[orientation] == PW ? pw : TOP[orientation] == PH ? ph : 0;
    g.op = OPS[orientation];
    return g;
}

// r snapped onto the grid (see reader_snap); 0 with *edge set when r starts in
// the partial blocks.
static int snap(Rect r, const Grid *g, Rect *s, const char **edge) {
    if (r.x < g->dx || r.y < g->dy) {
        *edge = r.x < g->dx ? "left" : "top";
        return 0;
    }
    s->x = r.x - (r.x - g->dx) % g->step_x;
    s->y = r.y - (r.y - g->dy) % g->step_y;
    s->w = r.x + r.w - s->x;
    s->h = r.y + r.h - s->y;
    return 1;
}

// The grid of the input's turned image, and r snapped onto it; fails as
// reader_snap says.
static int snap_input(tjhandle tj, Reader *rd, Rect r, int orientation, Grid *g, Rect *s, Failure *err) {
    JpegState *st = (JpegState *)rd->state;
    if (!read_grid(tj, cut_input(rd), st)) {
        return fail(err, st->status, "lossless: cannot cut '%s': %s", rd->in->name, st->why);
    }
    *g = turned_grid(orientation, st->mcu_w, st->mcu_h, st->w, st->h);
    const char *edge = NULL;
    if (!snap(r, g, s, &edge)) {
        int left = edge[0] == 'l';
        return fail(err, TRIMLET_ERR_UNSUPPORTED,
                    "lossless: cannot turn '%s' exactly: the box reaches the partial blocks along "
                    "the upright image's %s edge (%s < %d), which a lossless turn cannot keep",
                    rd->in->name, edge, left ? "x" : "y", left ? g->dx : g->dy);
    }
    return 1;
}

int jpeg_cut_snap(Reader *rd, Rect r, int orientation, Rect *snapped, Failure *err) {
    if (cut_state(rd, err) == NULL) return 0;
    tjhandle tj = tjInitTransform();
    if (tj == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    Grid g = {1, 1, 0, 0, TJXOP_NONE};
    int ok = snap_input(tj, rd, r, orientation, &g, snapped, err);
    tjDestroy(tj);
    return ok;
}

// 1 when libjpeg-turbo decodes the JPEG at d without a warning (at 1/8 of
// its size: the entropy-coded data is read whole all the same).
static int decodes_cleanly(const unsigned char *d, unsigned long n) {
    tjhandle tj = tjInitDecompress();
    if (tj == NULL) return 0;
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    int ok = tjDecompressHeader3(tj, d, n, &w, &h, &subsamp, &colorspace) == 0;
    tjscalingfactor eighth = {1, 8};
    int sw = TJSCALED(w, eighth), sh = TJSCALED(h, eighth);
    unsigned char *px = ok ? (unsigned char *)malloc((size_t)sw * (size_t)sh * 3 + 1) : NULL;
    ok = px != NULL && tjDecompress2(tj, d, n, px, sw, 0, sh, TJPF_RGB, TJFLAG_STOPONWARNING) == 0;
    free(px);
    tjDestroy(tj);
    return ok;
}

int jpeg_cut_apply(Reader *rd, Rect r, int orientation, int keep_metadata, Sink *sink, Failure *err) {
    if (cut_state(rd, err) == NULL) return 0;
    tjhandle tj = tjInitTransform();
    if (tj == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    const Input *src = cut_input(rd);
    unsigned char *out = NULL;
    unsigned long out_size = 0;
    Grid g = {1, 1, 0, 0, TJXOP_NONE};
    Rect s = {0, 0, 0, 0};
    int ok = snap_input(tj, rd, r, orientation, &g, &s, err);
    if (ok) {
        tjtransform xf;
        memset(&xf, 0, sizeof xf);
        // The crop in the turned image's own coordinates.
        xf.r.x = s.x - g.dx;
        xf.r.y = s.y - g.dy;
        xf.r.w = s.w;
        xf.r.h = s.h;
        xf.op = g.op;
        xf.options = TJXOPT_CROP | (keep_metadata ? 0 : TJXOPT_COPYNONE);
        // A file whose header was mended is cut into a file that must itself
        // decode cleanly: the bytes left out may have hidden damage that the
        // transform carries over unseen. So it is written even for a plan.
        int mended = rd->in->mended || ((const JpegState *)rd->state)->own;
        if (sink == NULL && !mended) xf.options |= TJXOPT_NOOUTPUT;
        // Corrupt data fails the cut instead of being copied into the output.
        // (The grid above was read, so the subsampling is one it takes.)
        int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
        if (tjTransform(tj, src->data, (unsigned long)src->size, 1, &out, &out_size, &xf, flags) != 0) {
            ok = fail(err, TRIMLET_ERR_CORRUPT, "lossless: cannot cut '%s': %s", rd->in->name, tjGetErrorStr2(tj));
        } else if (mended && !decodes_cleanly(out, out_size)) {
            ok = fail(err, TRIMLET_ERR_CORRUPT, "lossless: cannot cut '%s': corrupt data after the mended header",
                      rd->in->name);
        }
    }
    if (ok && sink != NULL) {
        // The copied Exif block still says how the stored pixels were turned.
        if (keep_metadata && g.op != TJXOP_NONE) jpeg_orientation_one(out, out_size);
        sink_write(sink, out, out_size);
    }
    tjFree(out);
    tjDestroy(tj);
    return ok;
}

#else  // no libjpeg-turbo: no cut (the JPEG codec takes no file then)

int jpeg_cut_snap(Reader *rd, Rect r, int orientation, Rect *snapped, Failure *err) {
    (void)rd;
    (void)r;
    (void)orientation;
    (void)snapped;
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: lossless is not available in this build");
}

int jpeg_cut_apply(Reader *rd, Rect r, int orientation, int keep_metadata, Sink *sink, Failure *err) {
    (void)rd;
    (void)r;
    (void)orientation;
    (void)keep_metadata;
    (void)sink;
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: lossless is not available in this build");
}

#endif
