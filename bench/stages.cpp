// The library's unit compiled into the benchmark so that its internal stages
// can be timed one by one. The exported names are renamed so that this copy
// cannot be confused with the shared library the benchmark also links.
#define trimlet_init bench_copy_trimlet_init
#define trimlet_cleanup bench_copy_trimlet_cleanup
#define trimlet_last_error bench_copy_trimlet_last_error
#define trimlet_rect bench_copy_trimlet_rect
#define trimlet_aspect bench_copy_trimlet_aspect
#define trimlet_auto bench_copy_trimlet_auto
#define trimlet_edges bench_copy_trimlet_edges
#include "../src/trimlet.cpp"

#include "stages.h"

static Image as_image(const BenchImage *b) { return Image{b->w, b->h, b->px}; }

int stage_decode(const char *path, BenchImage *img) {
    Image im;
    int ok = load_image(path, &im);
    img->w = im.w;
    img->h = im.h;
    img->px = im.px;
    return ok;
}

int stage_region(BenchRule rule, const int *p, const BenchImage *img,
                 int rect[4]) {
    Image im = as_image(img);
    Rect r = {0, 0, 0, 0};
    int ok = 0;
    switch (rule) {
    case RULE_RECT: ok = rect_region(&im, p[0], p[1], p[2], p[3], &r); break;
    case RULE_ASPECT: ok = aspect_region(&im, p[0], &r); break;
    case RULE_AUTO: ok = auto_region(&im, p[0], &r); break;
    case RULE_EDGES: ok = edges_region(&im, p[0], p[1], p[2], p[3], &r); break;
    }
    rect[0] = r.x;
    rect[1] = r.y;
    rect[2] = r.w;
    rect[3] = r.h;
    return ok;
}

int stage_copy(const BenchImage *src, const int rect[4], BenchImage *out) {
    Image c = sub_image(src->w, src->px, rect[0], rect[1], rect[2], rect[3]);
    out->w = c.w;
    out->h = c.h;
    out->px = c.px;
    return c.px != NULL;
}

unsigned char *stage_flatten(const BenchImage *img) {
    Image im = as_image(img);
    return flatten_on_white(&im);
}

int stage_save(const char *path, const BenchImage *img) {
    Image im = as_image(img);
    return save_image(path, &im);
}

const char *stage_error(void) { return s_err; }

int stage_png_level(void) {
#ifdef TRIMLET_USE_LIBDEFLATE
    return PNG_DEFLATE_LEVEL;
#else
    return 0;
#endif
}

unsigned char *png_library(const unsigned char *rgba, int w, int h, int *len) {
    return stbi_write_png_to_mem(rgba, 0, w, h, 4, len);
}
