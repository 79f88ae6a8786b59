// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The pipeline the exported functions share.
#ifndef TRIMLET_API_API_H
#define TRIMLET_API_API_H

#include "codecs/codecs.h"

// ---------------------------------------------------------------------------
// run.cpp: the pipeline

// The settings the seven use (every option's default, no pixel limit);
// system_reasons as Settings says.
void default_settings(Settings *set, int system_reasons);
// Checks a caller's options and fills in the defaults (for the reentrant
// interface: system reasons, the default pixel limit). A record from an older
// header (smaller size) lacks the later fields, which keep their defaults.
// The rule is the request's: only aspect and ratio take a position.
int read_options(const trimlet_options *o, int rule, Settings *set, Failure *err);

// What one call asks for: a rule with its ints, and the settings.
struct Request {
    int rule;
    int params[4];  // the rule's ints; unused entries 0
    Settings set;
};

// Where the crop goes.
enum Destination {
    TO_NOTHING,      // a plan
    TO_FILE,         // replaced safely (the reentrant interface)
    TO_LEGACY_FILE,  // written straight to the path (the seven)
    TO_MEMORY
};

// What a run did: the box, the image it was cut from, the picture encoded
// (or that would be, for a plan), its format (-1 for a plan) and, for memory
// output, the block (malloc'd, the caller's).
struct Outcome {
    Rect box;
    int image_w, image_h;
    int out_w, out_h;
    int format;
    void *block;
    size_t block_size;
    int frames;  // the input's frame count
};

// Runs the whole pipeline on an input that has been read, and releases it.
// out_path names the file destinations' output. On failure *o is zeros
// (format -1) and err holds the one message.
int run_pipeline(Input *in, const Request *q, int dest, const char *out_path, Outcome *o,
                 Failure *err);

// ---------------------------------------------------------------------------
// frames.cpp: the pipeline of an animation

// The input's frame count from its container (GIF, WebP), 1 for others.
int input_frame_count(const Input *in);
// 1 when the request goes through run_frames: GIF output, or every frame of
// an animated input (count frames).
int frames_path(const Request *q, int format, int count);
// Cuts every frame (or, without TRIMLET_ALL_FRAMES, the first) of an
// animation by one box into format (GIF or WebP; -1 for a plan). Refuses a
// still format for an animation, GIF output of another input, and
// animations over the limits, before decoding.
int run_frames(Input *in, const Request *q, int dest, const char *out_path, int format, int count,
               Outcome *o, Failure *err);

#endif
