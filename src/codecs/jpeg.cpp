// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// JPEG through libjpeg-turbo (linked dynamically: Debian's static libraries
// are not position-independent): decoding the whole image or only the rows
// and columns a crop keeps, and encoding. Cutting a rectangle from the DCT
// coefficients without re-encoding is jpegcut.cpp's.
//
// Decoding here is a fast path, not the only one: the codec declines
// (DECODE_DECLINED) every file it does not take (CMYK, arithmetic coding,
// 12-bit samples, a warning about corrupt data, any error), and the reader
// then decodes the file with stb_image exactly as before, so the verdict on
// a file and its message stay stb_image's.
//
// libjpeg reports errors through a handler that must not return; the
// handlers here jump back with longjmp to the function that started the
// work. Each such function keeps everything it allocates in a job record
// owned by its caller, so nothing lives only in a local that the jump would
// lose, and the caller releases the record whichever way the work ended.
// Nothing here is static and mutable: every call has its own job.
//
// Built without libjpeg-turbo (TRIMLET_USE_LIBJPEG_TURBO undefined), the
// codec takes no file (stb_image's does) and the encoder declines every
// image.

#include "codecs/parts.h"

#include <stdlib.h>
#include <string.h>

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
    int no_memory;        // the failure is memory's, not the file's
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
            job->why = "out of memory";
            job->no_memory = 1;
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
        job->why = "out of memory";
        job->no_memory = 1;
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

// Decodes a JPEG input to RGBA at 1/denom of the size (1, 2, 4 or 8:
// libjpeg-turbo's DCT scaling, which leaves most of the inverse DCT's work
// out): the whole image (region NULL) or only the rectangle *region of the
// scaled image (inside it) into an r.w x r.h block, never allocating the
// whole image's block. The entropy-coded data is read to the end either way
// (unless the input asks for the region's verdict), so corrupt data outside
// the region still fails. Returns 1; DECODE_DECLINED when this path does not
// take the file (CMYK or YCCK, arithmetic coding, 12-bit, any libjpeg error
// or warning): stb_image then decodes it, its verdict and message standing;
// or DECODE_NO_MEMORY. why (may be
// NULL) gets a short reason for debugging, never shown to a host.
static int decode_scaled(const Input *in, const Rect *region, int denom, Image *out, const char **why) {
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
        return job.no_memory ? DECODE_NO_MEMORY : DECODE_DECLINED;
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

#else  // no libjpeg-turbo: stb_image and stb_image_write do all JPEG work

static int decode_scaled(const Input *in, const Rect *region, int denom, Image *out, const char **why) {
    (void)in;
    (void)region;
    (void)denom;
    out->w = 0;
    out->h = 0;
    out->px = NULL;
    if (why != NULL) *why = "built without libjpeg-turbo";
    return DECODE_DECLINED;
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

#endif

// ---------------------------------------------------------------------------
// The JPEG codec: screened and sized as stb_image reads it, decoded by
// libjpeg-turbo in front of stb_image, cut losslessly by libturbojpeg.

static int jpeg_sniff(const unsigned char *d, size_t n) { return JPEG_TURBO && is_jpeg_file(d, n); }

static int jpeg_open(Reader *r, Failure *err) { return screen_input(r->in, &r->w, &r->h, err); }

static int jpeg_read(Reader *r, const Rect *region, int denom, Image *out, Failure *err) {
    (void)err;
    return decode_scaled(r->in, region, denom, out, NULL);
}

const Codec JPEG_CODEC = {"jpeg", jpeg_sniff, READ_REGION | READ_SCALE | READ_LOSSLESS, jpeg_open, jpeg_read,
                          NULL, jpeg_cut_snap, jpeg_cut_apply, jpeg_cut_close};
