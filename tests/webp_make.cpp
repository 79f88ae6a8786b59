// SPDX-License-Identifier: MIT
#include "webp_make.h"

#include <sstream>

#if TRIMLET_TEST_HAVE_LIBWEBP
#include <webp/decode.h>
#include <webp/encode.h>
#include <webp/mux.h>
#endif

namespace tt {

#if TRIMLET_TEST_HAVE_LIBWEBP

namespace {

// Reads cwebp's options into config; false for one it does not know.
bool read_options(const std::string &options, WebPConfig *config) {
    std::istringstream in(options);
    for (std::string o; in >> o;) {
        auto number = [&](float *to) {
            std::string v;
            if (!(in >> v)) return false;
            *to = std::stof(v);
            return true;
        };
        auto integer = [&](int *to) {
            float f = 0;
            if (!number(&f)) return false;
            *to = int(f);
            return true;
        };
        bool ok = true;
        if (o == "-q") ok = number(&config->quality);
        else if (o == "-alpha_q") ok = integer(&config->alpha_quality);
        else if (o == "-f") ok = integer(&config->filter_strength);
        else if (o == "-sharpness") ok = integer(&config->filter_sharpness);
        else if (o == "-m") ok = integer(&config->method);
        else if (o == "-nostrong") config->filter_type = 0;
        else if (o == "-lossless") config->lossless = 1;
        else if (o == "-exact") config->exact = 1;
        else if (o == "-alpha_filter") {
            std::string v;
            in >> v;
            if (v == "none") config->alpha_filtering = 0;
            else if (v == "fast") config->alpha_filtering = 1;
            else if (v == "best") config->alpha_filtering = 2;
            else ok = false;
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

std::vector<uint8_t> assembled(WebPMux *mux) {
    std::vector<uint8_t> out;
    WebPData data;
    WebPDataInit(&data);
    if (WebPMuxAssemble(mux, &data) == WEBP_MUX_OK) out.assign(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPMuxDelete(mux);
    return out;
}

}  // namespace

std::vector<uint8_t> webp_encode(const Pixels &p, const std::string &options) {
    WebPConfig config;
    WebPPicture picture;
    if (!WebPConfigInit(&config) || !read_options(options, &config) || !WebPValidateConfig(&config) ||
        !WebPPictureInit(&picture)) {
        return {};
    }
    picture.use_argb = config.lossless;
    picture.width = p.w;
    picture.height = p.h;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &writer;
    std::vector<uint8_t> out;
    if (WebPPictureImportRGBA(&picture, p.rgba.data(), p.w * 4) && WebPEncode(&config, &picture)) {
        out.assign(writer.mem, writer.mem + writer.size);
    }
    WebPPictureFree(&picture);
    WebPMemoryWriterClear(&writer);
    return out;
}

std::vector<uint8_t> webp_animation(const std::vector<WebpFrame> &frames, int loop) {
    WebPMux *mux = WebPMuxNew();
    if (mux == nullptr) return {};
    WebPMuxAnimParams params = {0xffffffffu, loop};
    bool ok = WebPMuxSetAnimationParams(mux, &params) == WEBP_MUX_OK;
    for (const WebpFrame &f : frames) {
        WebPMuxFrameInfo info = {};
        info.bitstream.bytes = f.file.data();
        info.bitstream.size = f.file.size();
        info.x_offset = f.x;
        info.y_offset = f.y;
        info.duration = f.duration;
        info.id = WEBP_CHUNK_ANMF;
        info.dispose_method = WEBP_MUX_DISPOSE_NONE;
        info.blend_method = f.blend ? WEBP_MUX_BLEND : WEBP_MUX_NO_BLEND;
        ok = ok && WebPMuxPushFrame(mux, &info, 1) == WEBP_MUX_OK;
    }
    if (!ok) {
        WebPMuxDelete(mux);
        return {};
    }
    return assembled(mux);
}

std::vector<uint8_t> webp_with_chunks(const std::vector<uint8_t> &file, const std::vector<uint8_t> &icc,
                                      const std::vector<uint8_t> &exif) {
    WebPData in = {file.data(), file.size()};
    WebPMux *mux = WebPMuxCreate(&in, 1);
    if (mux == nullptr) return {};
    bool ok = true;
    if (!icc.empty()) {
        WebPData d = {icc.data(), icc.size()};
        ok = WebPMuxSetChunk(mux, "ICCP", &d, 1) == WEBP_MUX_OK;
    }
    if (ok && !exif.empty()) {
        WebPData d = {exif.data(), exif.size()};
        ok = WebPMuxSetChunk(mux, "EXIF", &d, 1) == WEBP_MUX_OK;
    }
    if (!ok) {
        WebPMuxDelete(mux);
        return {};
    }
    return assembled(mux);
}

Pixels webp_decode(const std::vector<uint8_t> &file) {
    Pixels p;
    uint8_t *rgba = WebPDecodeRGBA(file.data(), file.size(), &p.w, &p.h);
    if (rgba == nullptr) return Pixels();
    p.rgba.assign(rgba, rgba + size_t(p.w) * p.h * 4);
    WebPFree(rgba);
    return p;
}

#else

std::vector<uint8_t> webp_encode(const Pixels &, const std::string &) { return {}; }
std::vector<uint8_t> webp_animation(const std::vector<WebpFrame> &, int) { return {}; }
std::vector<uint8_t> webp_with_chunks(const std::vector<uint8_t> &, const std::vector<uint8_t> &,
                                      const std::vector<uint8_t> &) {
    return {};
}
Pixels webp_decode(const std::vector<uint8_t> &) { return Pixels(); }

#endif

}  // namespace tt
