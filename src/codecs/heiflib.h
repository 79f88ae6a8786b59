// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The libheif functions the HEIF codec calls, reached through one table.
// The shared library fills it on first use by loading libheif (and so its
// HEVC and AV1 codecs) only then, so that a process that never meets a HEIF
// file or writes AVIF maps none of them; the static library fills it with
// the functions it links. heif.cpp calls them by their own names, which the
// macros below send through the table.
#ifndef TRIMLET_CODECS_HEIFLIB_H
#define TRIMLET_CODECS_HEIFLIB_H

#include "base/base.h"

#include <libheif/heif.h>

#define TRIMLET_HEIF_FUNCTIONS(X) \
    X(heif_context_add_exif_metadata) \
    X(heif_context_alloc) \
    X(heif_context_encode_image) \
    X(heif_context_free) \
    X(heif_context_get_encoder_for_format) \
    X(heif_context_get_primary_image_handle) \
    X(heif_context_read_from_memory_without_copy) \
    X(heif_context_set_max_decoding_threads) \
    X(heif_context_set_maximum_image_size_limit) \
    X(heif_context_write) \
    X(heif_decode_image) \
    X(heif_encoder_release) \
    X(heif_encoder_set_lossy_quality) \
    X(heif_encoder_set_parameter_integer) \
    X(heif_encoding_options_alloc) \
    X(heif_encoding_options_free) \
    X(heif_get_file_mime_type) \
    X(heif_have_decoder_for_format) \
    X(heif_have_encoder_for_format) \
    X(heif_image_add_plane) \
    X(heif_image_create) \
    X(heif_image_get_bits_per_pixel_range) \
    X(heif_image_get_height) \
    X(heif_image_get_plane) \
    X(heif_image_get_plane_readonly) \
    X(heif_image_get_width) \
    X(heif_image_handle_get_height) \
    X(heif_image_handle_get_ispe_height) \
    X(heif_image_handle_get_ispe_width) \
    X(heif_image_handle_get_list_of_metadata_block_IDs) \
    X(heif_image_handle_get_luma_bits_per_pixel) \
    X(heif_image_handle_get_metadata) \
    X(heif_image_handle_get_metadata_size) \
    X(heif_image_handle_get_raw_color_profile) \
    X(heif_image_handle_get_raw_color_profile_size) \
    X(heif_image_handle_get_width) \
    X(heif_image_handle_release) \
    X(heif_image_release) \
    X(heif_image_set_raw_color_profile)

struct HeifLib {
#define TRIMLET_HEIF_MEMBER(f) decltype(&::f) f;
    TRIMLET_HEIF_FUNCTIONS(TRIMLET_HEIF_MEMBER)
#undef TRIMLET_HEIF_MEMBER
};

// The table, loaded on the first call (any thread; the load runs once), or
// NULL when libheif cannot be loaded: its files are then refused as
// unavailable, as in a build without it.
const HeifLib *heif_lib(void);

// The class of a libheif failure.
int heif_status(const heif_error &e);
// Fails ("cannot <what> '<name>': <reason>") with libheif's reason as one
// line: its messages may end in a newline, and control characters become
// spaces.
int fail_heif(Failure *err, int status, const char *what, const char *name, const char *message);

#ifndef TRIMLET_HEIFLIB_LOADER
#define heif_context_add_exif_metadata (heif_lib()->heif_context_add_exif_metadata)
#define heif_context_alloc (heif_lib()->heif_context_alloc)
#define heif_context_encode_image (heif_lib()->heif_context_encode_image)
#define heif_context_free (heif_lib()->heif_context_free)
#define heif_context_get_encoder_for_format (heif_lib()->heif_context_get_encoder_for_format)
#define heif_context_get_primary_image_handle (heif_lib()->heif_context_get_primary_image_handle)
#define heif_context_read_from_memory_without_copy (heif_lib()->heif_context_read_from_memory_without_copy)
#define heif_context_set_max_decoding_threads (heif_lib()->heif_context_set_max_decoding_threads)
#define heif_context_set_maximum_image_size_limit (heif_lib()->heif_context_set_maximum_image_size_limit)
#define heif_context_write (heif_lib()->heif_context_write)
#define heif_decode_image (heif_lib()->heif_decode_image)
#define heif_encoder_release (heif_lib()->heif_encoder_release)
#define heif_encoder_set_lossy_quality (heif_lib()->heif_encoder_set_lossy_quality)
#define heif_encoder_set_parameter_integer (heif_lib()->heif_encoder_set_parameter_integer)
#define heif_encoding_options_alloc (heif_lib()->heif_encoding_options_alloc)
#define heif_encoding_options_free (heif_lib()->heif_encoding_options_free)
#define heif_get_file_mime_type (heif_lib()->heif_get_file_mime_type)
#define heif_have_decoder_for_format (heif_lib()->heif_have_decoder_for_format)
#define heif_have_encoder_for_format (heif_lib()->heif_have_encoder_for_format)
#define heif_image_add_plane (heif_lib()->heif_image_add_plane)
#define heif_image_create (heif_lib()->heif_image_create)
#define heif_image_get_bits_per_pixel_range (heif_lib()->heif_image_get_bits_per_pixel_range)
#define heif_image_get_height (heif_lib()->heif_image_get_height)
#define heif_image_get_plane (heif_lib()->heif_image_get_plane)
#define heif_image_get_plane_readonly (heif_lib()->heif_image_get_plane_readonly)
#define heif_image_get_width (heif_lib()->heif_image_get_width)
#define heif_image_handle_get_height (heif_lib()->heif_image_handle_get_height)
#define heif_image_handle_get_ispe_height (heif_lib()->heif_image_handle_get_ispe_height)
#define heif_image_handle_get_ispe_width (heif_lib()->heif_image_handle_get_ispe_width)
#define heif_image_handle_get_list_of_metadata_block_IDs (heif_lib()->heif_image_handle_get_list_of_metadata_block_IDs)
#define heif_image_handle_get_luma_bits_per_pixel (heif_lib()->heif_image_handle_get_luma_bits_per_pixel)
#define heif_image_handle_get_metadata (heif_lib()->heif_image_handle_get_metadata)
#define heif_image_handle_get_metadata_size (heif_lib()->heif_image_handle_get_metadata_size)
#define heif_image_handle_get_raw_color_profile (heif_lib()->heif_image_handle_get_raw_color_profile)
#define heif_image_handle_get_raw_color_profile_size (heif_lib()->heif_image_handle_get_raw_color_profile_size)
#define heif_image_handle_get_width (heif_lib()->heif_image_handle_get_width)
#define heif_image_handle_release (heif_lib()->heif_image_handle_release)
#define heif_image_release (heif_lib()->heif_image_release)
#define heif_image_set_raw_color_profile (heif_lib()->heif_image_set_raw_color_profile)
#endif

#endif
