// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// JPEG through libjpeg-turbo (linked dynamically: Debian's static libraries
// are not position-independent): decoding the whole image or only the rows
// and columns a crop keeps, encoding, and cutting a rectangle from the DCT
// coefficients without re-encoding (libturbojpeg's transform).
//
// Decoding here is a fast path, not the only one: jpeg_decode returns 0 for
// every file it does not take (CMYK, arithmetic coding, 12-bit samples, a
// warning about corrupt data, any error), and the caller then decodes the
// file with stb_image exactly as before, so the verdict on a file and its
// message stay stb_image's.
//
// libjpeg reports errors through a handler that must not return; the
// handlers here jump back with longjmp to the function that started the
// work. Each such function keeps everything it allocates in a job record
// owned by its caller, so nothing lives only in a local that the jump would
// lose, and the caller releases the record whichever way the work ended.
// Nothing here is static and mutable: every call has its own job.
//
// Built without libjpeg-turbo (TRIMLET_USE_LIBJPEG_TURBO undefined), the
// decoder and encoder decline every image and the lossless cut is refused.

#include "codecs/parts.h"

#include <stdlib.h>
#include <string.h>

int jpeg_takes(const Input *in) {
    const unsigned char *d = in->data;
    return JPEG_TURBO && is_jpeg_file(d, in->size);
}

#ifdef TRIMLET_USE_LIBJPEG_TURBO

#include <jpeglib.h>
#include <setjmp.h>
#include <turbojpeg.h>

// Huffman tables fitted to each image would make a noisy photo's file about
// 5 % smaller, but they take a second pass over coefficients held for the
// whole image (3 bytes a pixel at 4:2:0) and 1.5-2.2x the encoding time
// (measured on 7 MP crops at quality 90), so the standard tables are used.
static const boolean OPTIMIZE_HUFFMAN = FALSE;

// ---------------------------------------------------------------------------
// Errors: jump back, never exit() and never print.

struct ErrorJump {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

static void jump_on_error(j_common_ptr cinfo) {
    longjmp(((ErrorJump *)cinfo->err)->jump, 1);
}

// A warning means corrupt data that libjpeg would paper over (a premature
// end of file, bad Huffman codes, extraneous bytes); this path gives such a
// file up so that the fallback decoder gives its verdict. Trace messages
// (levels above 0) are ignored.
static void jump_on_warning(j_common_ptr cinfo, int level) {
    if (level < 0) longjmp(((ErrorJump *)cinfo->err)->jump, 1);
}

static void print_nothing(j_common_ptr cinfo) { (void)cinfo; }

static jpeg_error_mgr *init_errors(ErrorJump *e) {
    jpeg_std_error(&e->pub);
    e->pub.error_exit = jump_on_error;
    e->pub.emit_message = jump_on_warning;
    e->pub.output_message = print_nothing;
    return &e->pub;
}

// ---------------------------------------------------------------------------
// Decoding

struct DecodeJob {
    ErrorJump err;
    jpeg_decompress_struct cinfo;
    int created;          // cinfo needs jpeg_destroy_decompress
    const Input *in;
    const Rect *region;   // NULL: the whole image
    int denom;            // the DCT scaling: 1/denom of the size
    unsigned char *px;    // the output block
    unsigned char *row;   // one decoded row of a region's band
    int w, h;             // the output's size
    const char *why;
};

// Reads every remaining row of the image into dst, rows stride bytes apart.
static void read_rows(jpeg_decompress_struct *cinfo, unsigned char *dst, size_t stride) {
    JSAMPROW rows[16];
    JDIMENSION at = cinfo->output_scanline;
    while (cinfo->output_scanline < cinfo->output_height) {
        JDIMENSION n = cinfo->output_height - cinfo->output_scanline;
        if (n > 16) n = 16;
        for (JDIMENSION i = 0; i < n; ++i) {
            rows[i] = dst + (size_t)(cinfo->output_scanline - at + i) * stride;
        }
        jpeg_read_scanlines(cinfo, rows, n);
    }
}

// The work between the jumps: every libjpeg call of a decode. Returns 1
// with job->px filled, or 0 (from a jump or a kind of file this path does
// not take) with job->why set.
static int decode_body(DecodeJob *job) {
    jpeg_decompress_struct *cinfo = &job->cinfo;
    job->why = "refused by libjpeg-turbo";
    if (setjmp(job->err.jump)) return 0;
    cinfo->err = init_errors(&job->err);
    jpeg_create_decompress(cinfo);
    job->created = 1;
    jpeg_mem_src(cinfo, job->in->data, (unsigned long)job->in->size);
    jpeg_read_header(cinfo, TRUE);
    if (cinfo->arith_code) {
        job->why = "arithmetic coding";
        return 0;
    }
    if (cinfo->jpeg_color_space != JCS_GRAYSCALE && cinfo->jpeg_color_space != JCS_YCbCr &&
        cinfo->jpeg_color_space != JCS_RGB) {
        job->why = "colour space";
        return 0;
    }
    if (cinfo->data_precision != 8) {
        job->why = "sample precision";
        return 0;
    }
    if (cinfo->image_width > (JDIMENSION)MAX_SIDE || cinfo->image_height > (JDIMENSION)MAX_SIDE) {
        job->why = "image too large";
        return 0;
    }
    cinfo->out_color_space = JCS_EXT_RGBA;
    cinfo->scale_num = 1;
    cinfo->scale_denom = (unsigned)job->denom;
    jpeg_start_decompress(cinfo);
    int img_w = (int)cinfo->output_width, img_h = (int)cinfo->output_height;

    if (job->region == NULL) {
        job->w = img_w;
        job->h = img_h;
        job->px = (unsigned char *)pixels_malloc((size_t)img_w, (size_t)img_h);
        if (job->px == NULL) {
            job->why = FAST_PATH_NO_MEMORY;
            return 0;
        }
        read_rows(cinfo, job->px, (size_t)img_w * 4);
        jpeg_finish_decompress(cinfo);
        return 1;
    }

    Rect r = *job->region;
    if (r.x < 0 || r.y < 0 || r.w < 1 || r.h < 1 || r.x > img_w - r.w || r.y > img_h - r.h) {
        job->why = "region outside the image";
        return 0;
    }
    // Chroma upsampling reads the samples beside each pixel, and the decoder
    // upsamples a cropped band as if its edges were the image's: the band
    // reaches one iMCU past the region on the left and the right, which keeps
    // the region's pixels exactly those of a whole decode. Rows are read
    // from one iMCU above the region too; the skip itself keeps the context
    // rows the upsampler needs, but the margin costs little.
    // (An iMCU of the scaled output is DCT_scaled_size pixels a block.)
    int mcu_w = cinfo->max_h_samp_factor * cinfo->min_DCT_scaled_size;
    int mcu_h = cinfo->max_v_samp_factor * cinfo->min_DCT_scaled_size;
    int x0 = r.x > mcu_w ? r.x - mcu_w : 0;
    int x1 = r.x + r.w < img_w - mcu_w ? r.x + r.w + mcu_w : img_w;
    int y0 = r.y > mcu_h ? r.y - mcu_h : 0;
    JDIMENSION band_x = (JDIMENSION)x0, band_w = (JDIMENSION)(x1 - x0);
    jpeg_crop_scanline(cinfo, &band_x, &band_w);  // band_x moves left to an iMCU edge
    job->w = r.w;
    job->h = r.h;
    job->px = (unsigned char *)pixels_malloc((size_t)r.w, (size_t)r.h);
    job->row = (unsigned char *)malloc((size_t)band_w * 4);
    if (job->px == NULL || job->row == NULL) {
        job->why = FAST_PATH_NO_MEMORY;
        return 0;
    }
    // Skipped rows are still entropy-decoded (only the inverse DCT, the
    // upsampling and the colour conversion are left out), so corrupt data
    // anywhere in the file still fails here.
    if (y0 > 0) jpeg_skip_scanlines(cinfo, (JDIMENSION)y0);
    size_t skip_x = (size_t)(r.x - (int)band_x) * 4;
    JSAMPROW row = job->row;
    while ((int)cinfo->output_scanline < r.y + r.h) {
        int y = (int)cinfo->output_scanline;
        jpeg_read_scanlines(cinfo, &row, 1);
        if (y >= r.y) {
            memcpy(job->px + (size_t)(y - r.y) * (size_t)r.w * 4, job->row + skip_x, (size_t)r.w * 4);
        }
    }
    // With the region's verdict, the scan stops here and the rest of the
    // file is never read.
    if (job->in->region_verdict) {
        jpeg_abort_decompress(cinfo);
        return 1;
    }
    // The rows below the region: skipped up to the last one, which is read,
    // because skipping to the very end would leave the remaining data unread.
    int left = img_h - (int)cinfo->output_scanline;
    if (left > 1) jpeg_skip_scanlines(cinfo, (JDIMENSION)(left - 1));
    if (left > 0) jpeg_read_scanlines(cinfo, &row, 1);
    jpeg_finish_decompress(cinfo);
    return 1;
}

int jpeg_decode(const Input *in, const Rect *region, Image *out, const char **why) {
    return jpeg_decode_scaled(in, region, 1, out, why);
}

int jpeg_decode_scaled(const Input *in, const Rect *region, int denom, Image *out,
                       const char **why) {
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    DecodeJob job;
    memset(&job, 0, sizeof job);
    job.in = in;
    job.region = region;
    job.denom = denom;
    int ok = decode_body(&job);
    if (job.created) jpeg_destroy_decompress(&job.cinfo);
    free(job.row);
    if (!ok) {
        free(job.px);
        if (why != NULL) *why = job.why;
        return 0;
    }
    out->w = job.w;
    out->h = job.h;
    out->px = job.px;
    return 1;
}

// ---------------------------------------------------------------------------
// Encoding

struct EncodeJob {
    ErrorJump err;
    jpeg_compress_struct cinfo;
    int created;
    jpeg_destination_mgr dest;
    Sink *sink;
    unsigned char *rgb;  // one flattened row
    unsigned char buf[16384];
};

static void dest_start(j_compress_ptr cinfo) {
    EncodeJob *job = (EncodeJob *)cinfo->client_data;
    job->dest.next_output_byte = job->buf;
    job->dest.free_in_buffer = sizeof job->buf;
}

// Hands what the buffer holds to the sink and empties it.
static void dest_flush(EncodeJob *job) {
    sink_write(job->sink, job->buf, sizeof job->buf - job->dest.free_in_buffer);
    job->dest.next_output_byte = job->buf;
    job->dest.free_in_buffer = sizeof job->buf;
}

// The buffer is full: hand it to the sink. Once the sink has failed (a full
// disk) there is no point encoding the rest.
static boolean dest_empty(j_compress_ptr cinfo) {
    EncodeJob *job = (EncodeJob *)cinfo->client_data;
    sink_write(job->sink, job->buf, sizeof job->buf);
    if (job->sink->failed) longjmp(job->err.jump, 1);
    dest_start(cinfo);
    return TRUE;
}

static void dest_term(j_compress_ptr cinfo) { dest_flush((EncodeJob *)cinfo->client_data); }

static int encode_body(EncodeJob *job, const Image *img, int quality, const unsigned char bg[3],
                       const Metadata *meta) {
    jpeg_compress_struct *cinfo = &job->cinfo;
    // After a jump (libjpeg's own error, or a failed sink) the encoding
    // has failed.
    if (setjmp(job->err.jump)) return 0;
    cinfo->err = init_errors(&job->err);
    jpeg_create_compress(cinfo);
    job->created = 1;
    cinfo->client_data = job;
    job->dest.init_destination = dest_start;
    job->dest.empty_output_buffer = dest_empty;
    job->dest.term_destination = dest_term;
    cinfo->dest = &job->dest;
    cinfo->image_width = (JDIMENSION)img->w;
    cinfo->image_height = (JDIMENSION)img->h;
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    // Chroma at half resolution both ways up to quality 90, at full above,
    // as stb_image_write chose (the defaults are 2x2 for luma).
    if (quality > 90) {
        cinfo->comp_info[0].h_samp_factor = 1;
        cinfo->comp_info[0].v_samp_factor = 1;
    }
    cinfo->optimize_coding = OPTIMIZE_HUFFMAN;
    cinfo->dct_method = JDCT_ISLOW;
    jpeg_start_compress(cinfo, TRUE);
    if (meta != NULL) {
        // SOI and JFIF's APP0 are in the buffer; the Exif and ICC segments
        // follow them, written as photo.cpp writes them for every JPEG.
        dest_flush(job);
        write_jpeg_metadata(meta, job->sink);
    }
    JSAMPROW row = job->rgb;
    size_t stride = (size_t)img->w * 4;
    for (int y = 0; y < img->h; ++y) {
        flatten_row(img->px + (size_t)y * stride, img->w, bg, job->rgb);
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    return !job->sink->failed;
}

int jpeg_encode(const Image *img, int quality, const unsigned char bg[3], const Metadata *meta,
                Sink *sink) {
    EncodeJob *job = (EncodeJob *)calloc(1, sizeof(EncodeJob));
    if (job == NULL) return 0;
    job->sink = sink;
    job->rgb = (unsigned char *)malloc((size_t)img->w * 3);
    int ok = job->rgb != NULL && encode_body(job, img, quality, bg, meta);
    if (job->created) jpeg_destroy_compress(&job->cinfo);
    free(job->rgb);
    free(job);
    return ok;
}

// ---------------------------------------------------------------------------
// Lossless cut

static const char UNUSUAL_SUBSAMPLING[] = "unsupported chroma subsampling";

// The iMCU of a JPEG: the block grid a lossless cut must start on. 0 when
// the file's header cannot be read or its subsampling is one the transform
// does not take.
static int mcu_size(tjhandle tj, const Input *in, int *mcu_w, int *mcu_h, int *w, int *h,
                    const char **why) {
    int subsamp = -1, colorspace = -1;
    if (tjDecompressHeader3(tj, in->data, (unsigned long)in->size, w, h, &subsamp, &colorspace) != 0) {
        *why = tjGetErrorStr2(tj);
        return 0;
    }
    if (subsamp < 0 || subsamp >= TJ_NUMSAMP) {
        *why = UNUSUAL_SUBSAMPLING;
        return 0;
    }
    *mcu_w = tjMCUWidth[subsamp];
    *mcu_h = tjMCUHeight[subsamp];
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

// r snapped onto the grid (see jpeg_snap); 0 with *edge set when r starts in
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
// jpeg_snap says.
static int snap_input(tjhandle tj, const Input *in, Rect r, int orientation, Grid *g, Rect *s,
                      Failure *err) {
    int mcu_w = 0, mcu_h = 0, w = 0, h = 0;
    const char *why = NULL;
    if (!mcu_size(tj, in, &mcu_w, &mcu_h, &w, &h, &why)) {
        int status = strcmp(why, UNUSUAL_SUBSAMPLING) == 0 ? TRIMLET_ERR_UNSUPPORTED : TRIMLET_ERR_CORRUPT;
        return fail(err, status, "lossless: cannot cut '%s': %s", in->name, why);
    }
    *g = turned_grid(orientation, mcu_w, mcu_h, w, h);
    const char *edge = NULL;
    if (!snap(r, g, s, &edge)) {
        int left = edge[0] == 'l';
        return fail(err, TRIMLET_ERR_UNSUPPORTED,
                    "lossless: cannot turn '%s' exactly: the box reaches the partial blocks along "
                    "the upright image's %s edge (%s < %d), which a lossless turn cannot keep",
                    in->name, edge, left ? "x" : "y", left ? g->dx : g->dy);
    }
    return 1;
}

int jpeg_snap(const Input *in, Rect r, int orientation, Rect *snapped, Failure *err) {
    tjhandle tj = tjInitTransform();
    if (tj == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    Input copy;
    int own = jpeg_mend_copy(in, &copy);  // as jpeg_lossless reads it
    Grid g = {1, 1, 0, 0, TJXOP_NONE};
    int ok = snap_input(tj, own ? &copy : in, r, orientation, &g, snapped, err);
    tjDestroy(tj);
    if (own) free(copy.owned);
    return ok;
}

int jpeg_lossless(const Input *in, Rect r, int orientation, int keep_metadata, Sink *sink,
                  Failure *err) {
    tjhandle tj = tjInitTransform();
    if (tj == NULL) return fail(err, TRIMLET_ERR_NO_MEMORY, "out of memory");
    // Stray bytes in the header are left out, as a decode skips them.
    Input copy;
    int own = jpeg_mend_copy(in, &copy);
    const Input *src = own ? &copy : in;
    unsigned char *out = NULL;
    unsigned long out_size = 0;
    Grid g = {1, 1, 0, 0, TJXOP_NONE};
    Rect s = {0, 0, 0, 0};
    int ok = snap_input(tj, src, r, orientation, &g, &s, err);
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
        if (sink == NULL) xf.options |= TJXOPT_NOOUTPUT;
        // Corrupt data fails the cut instead of being copied into the output.
        int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
        if (tjTransform(tj, src->data, (unsigned long)src->size, 1, &out, &out_size, &xf, flags) != 0) {
            const char *why = tjGetErrorStr2(tj);
            int status = strcmp(why, UNUSUAL_SUBSAMPLING) == 0 ? TRIMLET_ERR_UNSUPPORTED : TRIMLET_ERR_CORRUPT;
            ok = fail(err, status, "lossless: cannot cut '%s': %s", in->name, why);
        }
    }
    if (ok && sink != NULL) {
        // The copied Exif block still says how the stored pixels were turned.
        if (keep_metadata && g.op != TJXOP_NONE) jpeg_orientation_one(out, out_size);
        sink_write(sink, out, out_size);
    }
    tjFree(out);
    tjDestroy(tj);
    if (own) free(copy.owned);
    return ok;
}

#else  // no libjpeg-turbo: stb_image and stb_image_write do all JPEG work

int jpeg_decode(const Input *in, const Rect *region, Image *out, const char **why) {
    return jpeg_decode_scaled(in, region, 1, out, why);
}

int jpeg_decode_scaled(const Input *in, const Rect *region, int denom, Image *out,
                       const char **why) {
    (void)in;
    (void)region;
    (void)denom;
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    if (why != NULL) *why = "built without libjpeg-turbo";
    return 0;
}

int jpeg_encode(const Image *img, int quality, const unsigned char bg[3], const Metadata *meta,
                Sink *sink) {
    (void)img;
    (void)quality;
    (void)bg;
    (void)meta;
    (void)sink;
    return 0;
}

int jpeg_snap(const Input *in, Rect r, int orientation, Rect *snapped, Failure *err) {
    (void)in;
    (void)r;
    (void)orientation;
    (void)snapped;
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: lossless is not available in this build");
}

int jpeg_lossless(const Input *in, Rect r, int orientation, int keep_metadata, Sink *sink,
                  Failure *err) {
    (void)in;
    (void)r;
    (void)orientation;
    (void)keep_metadata;
    (void)sink;
    return fail(err, TRIMLET_ERR_UNAVAILABLE, "options: lossless is not available in this build");
}

#endif
