// SPDX-License-Identifier: MIT
// trimlet reentrant benchmark: memory-to-memory crops against file-to-file
// ones, and the throughput of many crops on 1 and 2 threads.
//
//   trimlet_bench_reentrant [--runs N] [--quick]
//
// The inputs are generated: a 6-megapixel photo-like image saved as PNG and as
// JPEG. Every output is checked to be non-empty before anything is timed.
// File and memory runs are interleaved and the median of each is printed;
// throughput runs a fixed batch of crops split over the threads and reports
// crops per second and the speed-up over one thread.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "trimlet.h"
#include "util.h"

namespace {

[[noreturn]] void die(const std::string &what) {
    fprintf(stderr, "trimlet_bench_reentrant: %s\n", what.c_str());
    exit(1);
}

// A photo-like picture (smooth gradients with some noise), written through
// the library itself: a whole-image crop of a PPM into the wanted format.
std::string make_input(const std::string &dir, int w, int h, const char *ext) {
    std::string ppm = dir + "/source.ppm", out = dir + "/input." + ext;
    FILE *f = fopen(ppm.c_str(), "wb");
    if (f == NULL) die("cannot write " + ppm);
    fprintf(f, "P6\n%d %d\n255\n", w, h);
    uint64_t s = 88172645463325252ull;
    std::vector<unsigned char> row((size_t)w * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            int noise = (int)(s % 17) - 8;
            row[(size_t)x * 3] = (unsigned char)std::clamp(x * 255 / w + noise, 0, 255);
            row[(size_t)x * 3 + 1] = (unsigned char)std::clamp(y * 255 / h + noise, 0, 255);
            row[(size_t)x * 3 + 2] = (unsigned char)std::clamp(128 + (x - y) / 16 + noise, 0, 255);
        }
        fwrite(row.data(), 1, row.size(), f);
    }
    fclose(f);
    int all[4] = {0, 0, w, h};
    char error[TRIMLET_ERROR_SIZE];
    if (!trimlet_crop_file(ppm.c_str(), out.c_str(), TRIMLET_RECT, all, NULL, error)) die(error);
    unlink(ppm.c_str());
    return out;
}

struct Case {
    const char *name;
    int rule;
    int params[4];
    const char *format;
};

double time_file(const std::string &in, const std::string &out, const Case &c) {
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = c.format;
    char error[TRIMLET_ERROR_SIZE];
    double t0 = now_ms();
    if (!trimlet_crop_file(in.c_str(), out.c_str(), c.rule, c.params, &o, error)) die(error);
    return now_ms() - t0;
}

double time_memory(const std::vector<unsigned char> &in, const Case &c, size_t *size) {
    trimlet_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = c.format;
    char error[TRIMLET_ERROR_SIZE];
    void *block = NULL;
    double t0 = now_ms();
    if (!trimlet_crop_memory(in.data(), in.size(), c.rule, c.params, &o, &block, size, error)) {
        die(error);
    }
    // Reading the input and writing the output are part of the file call;
    // the memory call's host already holds the bytes and keeps the result.
    double t = now_ms() - t0;
    trimlet_free(block);
    return t;
}

// Runs `crops` memory crops split over `threads` threads; returns crops/s.
double throughput(const std::vector<unsigned char> &in, const Case &c, int threads, int crops) {
    std::vector<std::thread> pool;
    double t0 = now_ms();
    for (int t = 0; t < threads; ++t) {
        int mine = crops / threads + (t < crops % threads ? 1 : 0);
        pool.emplace_back([&in, &c, mine] {
            size_t size;
            for (int i = 0; i < mine; ++i) time_memory(in, c, &size);
        });
    }
    for (std::thread &th : pool) th.join();
    return crops / ((now_ms() - t0) / 1e3);
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 7, w = 3000, h = 2000, crops = 24;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--runs") && i + 1 < argc) {
            runs = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--quick")) {
            runs = 1;
            w = 600;
            h = 400;
            crops = 4;
        } else {
            die(std::string("unknown argument ") + argv[i]);
        }
    }
    char dir[] = "/tmp/trimlet-bench-XXXXXX";
    if (mkdtemp(dir) == NULL) die("mkdtemp");
    const Case cases[] = {
        {"aspect 16:9 to JPEG", TRIMLET_ASPECT, {2, 0, 0, 0}, "jpg"},
        {"rect centre quarter to PNG", TRIMLET_RECT, {w / 4, h / 4, w / 2, h / 2}, "png"},
        {"edges 10% to BMP", TRIMLET_EDGES, {10, 10, 10, 10}, "bmp"},
    };
    unsigned cores = std::thread::hardware_concurrency();
    printf("%dx%d input, %d interleaved runs, %u cores\n\n", w, h, runs, cores);
    printf("| input | crop | file to file (ms) | memory to memory (ms) | memory/file |\n");
    printf("|---|---|--:|--:|--:|\n");
    for (const char *ext : {"png", "jpg"}) {
        std::string in = make_input(dir, w, h, ext);
        std::vector<unsigned char> bytes = read_all(in);
        if (bytes.empty()) die("cannot read " + in);
        for (const Case &c : cases) {
            std::string out = std::string(dir) + "/out." + c.format;
            size_t size = 0;
            time_file(in, out, c);  // warm-up, and the outputs must agree
            time_memory(bytes, c, &size);
            if (size == 0 || read_all(out).size() != size) die(std::string("outputs differ: ") + c.name);
            std::vector<double> file_ms, memory_ms;
            for (int r = 0; r < runs; ++r) {
                file_ms.push_back(time_file(in, out, c));
                memory_ms.push_back(time_memory(bytes, c, &size));
            }
            printf("| %s | %s | %.1f | %.1f | %.2f |\n", ext, c.name, median(file_ms),
                   median(memory_ms), median(memory_ms) / median(file_ms));
        }
    }
    printf("\n| input | crop | threads | crops/s | speed-up |\n|---|---|--:|--:|--:|\n");
    for (const char *ext : {"png", "jpg"}) {
        std::string in = make_input(dir, w, h, ext);
        std::vector<unsigned char> bytes = read_all(in);
        if (bytes.empty()) die("cannot read " + in);
        const Case &c = cases[0];
        throughput(bytes, c, 1, 2);  // warm-up
        std::vector<double> one, two;
        for (int r = 0; r < std::max(1, runs / 2); ++r) {
            one.push_back(throughput(bytes, c, 1, crops));
            two.push_back(throughput(bytes, c, 2, crops));
        }
        printf("| %s | %s | 1 | %.2f | 1.00 |\n", ext, c.name, median(one));
        printf("| %s | %s | 2 | %.2f | %.2f |\n", ext, c.name, median(two), median(two) / median(one));
    }
    std::string rm = std::string("rm -rf ") + dir;
    if (system(rm.c_str()) != 0) die("cannot remove " + std::string(dir));
    return 0;
}
