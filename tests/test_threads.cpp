// SPDX-License-Identifier: MIT
// The reentrant interface on many threads at once: mixed crops, plans and
// failing calls, each checked against the same call made on one thread, and
// every failing call's message checked to be its own. Run under
// ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "trimlet.h"

namespace {

struct Job {
    int rule;
    std::vector<int> params;
    const char *format;  // for crops; NULL for plans
};

struct Result {
    int ok = 0;
    std::vector<uint8_t> bytes;
    trimlet_box box = {0, 0, 0, 0, 0, 0};
    std::string error;
};

Result run(const std::vector<uint8_t> &input, const Job &job) {
    Result r;
    char error[TRIMLET_ERROR_SIZE];
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = job.format;
    if (job.format == nullptr) {
        r.ok = trimlet_plan_memory(input.data(), input.size(), job.rule, job.params.data(), &o, &r.box,
                                   error);
    } else {
        void *block = nullptr;
        size_t size = 0;
        r.ok = trimlet_crop_memory(input.data(), input.size(), job.rule, job.params.data(), &o, &block,
                                   &size, error);
        if (block != nullptr) r.bytes.assign(static_cast<uint8_t *>(block), static_cast<uint8_t *>(block) + size);
        trimlet_free(block);
    }
    r.error = error;
    return r;
}

bool same(const Result &a, const Result &b) {
    return a.ok == b.ok && a.bytes == b.bytes && std::memcmp(&a.box, &b.box, sizeof a.box) == 0 &&
           a.error == b.error;
}

}  // namespace

TEST(ReentrantThreads, EightThreadsGetTheOneThreadResultsAndTheirOwnMessages) {
    // Inputs: a PNG and a JPEG with content for the auto rule.
    tt::Pixels p = tt::solid(96, 64, 240, 240, 240);
    tt::Pixels g = tt::gradient(96, 64);
    for (int y = 10; y < 50; ++y) {
        for (int x = 20; x < 70; ++x) std::memcpy(p.at(x, y), g.at(x, y), 4);
    }
    std::string png = tt::scratch("in.png"), jpg = tt::scratch("in.jpg");
    tt::write_png(png, p);
    tt::write_jpeg(jpg, p, 90);
    const std::vector<std::vector<uint8_t>> inputs = {tt::read_file(png), tt::read_file(jpg)};

    const std::vector<Job> jobs = {
        {TRIMLET_RECT, {5, 6, 40, 30}, "png"},   {TRIMLET_ASPECT, {2}, "jpg"},
        {TRIMLET_AUTO, {10}, "bmp"},             {TRIMLET_EDGES, {10, 20, 5, 0}, "tga"},
        {TRIMLET_RATIO, {3, 4}, "png"},          {TRIMLET_AUTO, {5}, nullptr},
        {TRIMLET_RATIO, {21, 9}, nullptr},       {TRIMLET_EDGES, {50, 0, 0, 0}, nullptr},
        {TRIMLET_ASPECT, {7}, "png"},
    };
    std::vector<std::vector<Result>> expected(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        for (const Job &job : jobs) expected[i].push_back(run(inputs[i], job));
    }
    ASSERT_EQ(expected[0][0].error, "");
    ASSERT_EQ(expected[0][7].error, "edges: percentage must be 0..49 (t=50 r=0 b=0 l=0)");

    const int threads = 8, rounds = 150;
    std::vector<std::string> failures(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::string &failed = failures[t];
            for (int round = 0; round < rounds && failed.empty(); ++round) {
                size_t i = size_t(t + round) % inputs.size();
                size_t j = size_t(t * 7 + round) % jobs.size();
                if (!same(run(inputs[i], jobs[j]), expected[i][j])) {
                    failed = "job " + std::to_string(j) + " on input " + std::to_string(i);
                }
                // A failing call whose message only this thread and round
                // can produce, alternating file and memory input.
                int w = -(t * 1000 + round);
                Job mine = {TRIMLET_RECT, {0, 0, w, 5}, "png"};
                std::string want = "rect: width/height must be > 0 (got " + std::to_string(w) + "x5)";
                if (run(inputs[i], mine).error != want) failed = "message of round " + std::to_string(round);
                std::string missing = tt::scratch("missing-" + std::to_string(t) + "-" + std::to_string(round));
                char error[TRIMLET_ERROR_SIZE];
                int ps[4] = {0, 0, 1, 1};
                trimlet_crop_file(missing.c_str(), "unused.png", TRIMLET_RECT, ps, nullptr, error);
                if (std::string(error) != "cannot decode '" + missing + "': No such file or directory") {
                    failed = std::string("file message: ") + error;
                }
            }
        });
    }
    for (std::thread &th : pool) th.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
}
