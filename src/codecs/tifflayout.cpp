// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The layout of a TIFF's pixels, as the conversion in tiff.cpp takes them:
// colour, samples, bits, planes, strips or tiles, palette, CIELab.

#include "codecs/tiffparts.h"

#include <stdlib.h>
#include <string.h>

#ifdef TRIMLET_USE_LIBTIFF

// ---------------------------------------------------------------------------
// The layout of the pixels


// libtiff's CIELab conversion, set up as its RGBA reader sets it up: to
// sRGB, for the file's white point (D50 when it names none).
static int lab_conversion(TiffFile *f) {
    static const TIFFDisplay SRGB = {
        {{3.2410F, -1.5374F, -0.4986F}, {-0.9692F, 1.8760F, 0.0416F}, {0.0556F, -0.2040F, 1.0570F}},
        100.0F, 100.0F, 100.0F, 255, 255, 255, 1.0F, 1.0F, 1.0F, 2.4F, 2.4F, 2.4F};
    float *white = NULL;
    float ref[3];
    TIFFGetFieldDefaulted(f->tif, TIFFTAG_WHITEPOINT, &white);
    if (white == NULL || !(white[1] > 0.0F)) return 0;
    ref[1] = 100.0F;
    ref[0] = white[0] / white[1] * ref[1];
    ref[2] = (1.0F - white[0] - white[1]) / white[1] * ref[1];
    f->lab = (TIFFCIELabToRGB *)malloc(sizeof(TIFFCIELabToRGB));
    return f->lab != NULL && TIFFCIELabToRGBInit(f->lab, &SRGB, ref) >= 0;
}

// What the conversion cannot take, or 1 with *l filled.
int read_layout(TiffFile *f, Layout *l, Failure *err) {
    TIFF *tif = f->tif;
    memset(l, 0, sizeof *l);
    uint16_t photometric = 0, bits = 1, spp = 1, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l->w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l->h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    char why[96];
    if (!TIFFIsCODECConfigured(compression)) {
        snprintf(why, sizeof why, "compression %u is not supported", (unsigned)compression);
        return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, why, err);
    }
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) {
        // Baseline readers assume grey (or palette with a colour map).
        photometric = TIFFGetField(tif, TIFFTAG_COLORMAP, &l->map[0], &l->map[1], &l->map[2])
                          ? PHOTOMETRIC_PALETTE
                          : PHOTOMETRIC_MINISBLACK;
    }
    l->signed_samples = format == SAMPLEFORMAT_INT && (bits == 8 || bits == 16) &&
                        (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ||
                         photometric == PHOTOMETRIC_RGB);
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID && !l->signed_samples) {
        snprintf(why, sizeof why, "%s samples are not supported",
                 format == SAMPLEFORMAT_IEEEFP ? "floating-point"
                 : format == SAMPLEFORMAT_INT  ? "signed"
                                               : "complex");
        return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, why, err);
    }
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) {
        snprintf(why, sizeof why, "%u-bit samples are not supported", (unsigned)bits);
        return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, why, err);
    }
    if (photometric == PHOTOMETRIC_YCBCR && (compression == COMPRESSION_JPEG || compression == COMPRESSION_OJPEG)) {
        // libjpeg turns JPEG's YCbCr into RGB for us. Old-style JPEG gives
        // the subsampled samples as stored: libtiff's RGBA interface turns
        // those into RGB (8-bit, three samples in one plane: nothing else
        // is written so).
        if (TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) {
            photometric = PHOTOMETRIC_RGB;
        } else if (bits == 8 && spp == 3 && planar == PLANARCONFIG_CONTIG) {
            f->errors = 0;  // the refusal of the pseudo-tag is no failure of the file
            char no[1024];
            if (!TIFFRGBAImageOK(tif, no)) return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, no, err);
            l->rgba = 1;
            photometric = PHOTOMETRIC_RGB;
        } else {
            return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, "JPEG YCbCr that libtiff cannot turn into RGB", err);
        }
    }
    switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        l->colour = GREY;
        l->colours = 1;
        l->white_is_zero = photometric == PHOTOMETRIC_MINISWHITE;
        break;
    case PHOTOMETRIC_RGB:
        l->colour = RGB;
        l->colours = 3;
        break;
    case PHOTOMETRIC_PALETTE:
        l->colour = PALETTE;
        l->colours = 1;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &l->map[0], &l->map[1], &l->map[2])) {
            return tiff_fail(f, "palette image without a colour map", err);
        }
        if (bits == 16) return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, "16-bit palette indices are not supported", err);
        break;
    case PHOTOMETRIC_SEPARATED: {
        uint16_t inkset = INKSET_CMYK;
        TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
        if (inkset != INKSET_CMYK) {
            return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, "separated inks other than CMYK are not supported", err);
        }
        l->colour = CMYK;
        l->colours = 4;
        break;
    }
    case PHOTOMETRIC_YCBCR:
        return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, "YCbCr without JPEG compression is not supported", err);
    case PHOTOMETRIC_CIELAB:
        if (bits != 8 && bits != 16) return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, "CIELab of other than 8 or 16 bits is not supported", err);
        if (!lab_conversion(f)) return tiff_fail(f, "outofmem", err);
        l->colour = LAB;
        l->colours = 3;
        l->lab = f->lab;
        break;
    default:
        snprintf(why, sizeof why, "photometric interpretation %u is not supported", (unsigned)photometric);
        return tiff_refuse(f, TRIMLET_ERR_UNSUPPORTED, why, err);
    }
    if (spp < l->colours) {
        snprintf(why, sizeof why, "%u samples per pixel are too few for the colour space", (unsigned)spp);
        return tiff_fail(f, why, err);
    }
    // The first extra sample that is alpha gives it; unspecified extra
    // samples are ignored.
    l->alpha = -1;
    uint16_t extra = 0;
    uint16_t *kinds = NULL;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extra, &kinds)) {
        for (uint16_t i = 0; i < extra && l->colours + i < spp; ++i) {
            if (kinds[i] == EXTRASAMPLE_ASSOCALPHA || kinds[i] == EXTRASAMPLE_UNASSALPHA) {
                l->alpha = l->colours + i;
                l->premultiplied = kinds[i] == EXTRASAMPLE_ASSOCALPHA;
                break;
            }
        }
    }
    l->spp = spp;
    l->bits = bits;
    l->separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
    l->tiled = TIFFIsTiled(tif);
    if (l->tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &l->block_w);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &l->block_h);
        if (l->block_w == 0 || l->block_h == 0) return tiff_fail(f, "tile of no pixels", err);
    } else {
        uint32_t rows = l->h;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
        l->block_w = l->w;
        l->block_h = rows == 0 || rows > l->h ? l->h : rows;
    }
    if (l->colour == PALETTE) {
        // Some writers store 8-bit values in the colour map; as libtiff's
        // own reader does, a map without any value above 255 is read so.
        size_t n = (size_t)1 << bits;
        l->map_8bit = 1;
        for (size_t i = 0; i < n && l->map_8bit; ++i) {
            if (l->map[0][i] > 255 || l->map[1][i] > 255 || l->map[2][i] > 255) l->map_8bit = 0;
        }
    }
    return 1;
}

#endif
