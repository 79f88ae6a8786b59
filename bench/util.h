// SPDX-License-Identifier: MIT
// trimlet benchmarks: the clock, the median and file reading both benchmark
// programs use.
#ifndef TRIMLET_BENCH_UTIL_H
#define TRIMLET_BENCH_UTIL_H

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

// Milliseconds on the monotonic clock.
inline double now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The median of v; 0 when it is empty.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The whole file at path; empty when it cannot be read.
inline std::vector<unsigned char> read_all(const std::string &path) {
    std::vector<unsigned char> b;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == NULL) return b;
    unsigned char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

#endif
