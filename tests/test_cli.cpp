// SPDX-License-Identifier: MIT
// The trimlet command-line program, run as a separate process on real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"
#include "trimlet.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif
#ifdef __linux__
#include <pty.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string text_of(const std::string &path) {
    std::vector<uint8_t> bytes = tt::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs `trimlet <args>` in the test's scratch directory (so arguments can use
// short relative names) with stdout and stderr captured.
Result run(const std::string &args) {
    std::string dir = tt::scratch_dir();
    std::string tail = "\"" TRIMLET_CLI "\" " + args + " >stdout.txt 2>stderr.txt";
    Result r;
#ifdef _WIN32
    // cmd.exe strips one pair of quotes around the whole command.
    r.status = std::system(("\"cd /d \"" + dir + "\" && " + tail + "\"").c_str());
#else
    int rc = std::system(("cd \"" + dir + "\" && " + tail).c_str());
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
    r.out = text_of(dir + "/stdout.txt");
    r.err = text_of(dir + "/stderr.txt");
    return r;
}

// A 40x30 input: a uniform grey border around a 12x9 gradient patch at
// (7, 5), plus one pixel at (2, 2) that differs from the border by 20/255,
// below the default auto tolerance of 10 % but above 5 %.
tt::Pixels framed_patch() {
    tt::Pixels p = tt::solid(40, 30, 200, 200, 200);
    tt::Pixels patch = tt::gradient(12, 9);
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 12; ++x) {
            std::copy(patch.at(x, y), patch.at(x, y) + 4, p.at(7 + x, 5 + y));
        }
    }
    p.at(2, 2)[0] = 220;
    return p;
}

// Runs a command line that must be refused before any work: status 2,
// nothing on stdout, and on stderr the message followed by a one-line hint.
void expect_refused(const std::string &args, const std::string &message) {
    SCOPED_TRACE(args);
    Result r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    size_t eol = r.err.find('\n');
    EXPECT_EQ(r.err.substr(0, eol), message);
    EXPECT_EQ(r.err.find("Try 'trimlet "), eol + 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t at = 0, eol; at < text.size(); at = eol + 1) {
        eol = text.find('\n', at);
        if (eol == std::string::npos) eol = text.size();
        lines.push_back(text.substr(at, eol - at));
    }
    return lines;
}

// A command line's rule as the library takes it.
struct RuleArgs {
    const char *args;
    int rule;
    int params[4];
};

// The four rules on framed_patch(), one way each.
const RuleArgs FOUR_RULES[] = {
    {"rect 5 6 10 7", TRIMLET_RECT, {5, 6, 10, 7}},
    {"aspect 3:4", TRIMLET_RATIO, {3, 4}},
    {"auto", TRIMLET_AUTO, {10}},
    {"edges 10 0 20 25", TRIMLET_EDGES, {10, 0, 20, 25}},
};

// The library's message when `options` ask for something this build lacks,
// else "" (judged on a real file, as the program's own check is).
std::string unavailable(const trimlet_options &options) {
    const std::string in = tt::scratch("probe.png");
    tt::write_png(in, tt::gradient(4, 4));
    const int params[2] = {1, 1};
    trimlet_box box;
    char err[TRIMLET_ERROR_SIZE];
    if (trimlet_plan_file(in.c_str(), TRIMLET_RATIO, params, &options, &box, err)) return "";
    return std::string(err).find("is not available in this build") != std::string::npos ? err : "";
}

// The options the program uses when none of --upright, --as-stored,
// --keep-metadata and --strip is given: each on when the build has it.
trimlet_options program_defaults() {
    trimlet_options o{};
    o.size = sizeof o;
    o.orient = TRIMLET_APPLY_EXIF;
    if (!unavailable(o).empty()) o.orient = TRIMLET_AS_STORED;
    trimlet_options m{};
    m.size = sizeof m;
    m.metadata = TRIMLET_KEEP;
    o.metadata = unavailable(m).empty() ? TRIMLET_KEEP : TRIMLET_STRIP;
    o.png_compact = 1;
    return o;
}

// The file trimlet_crop_file writes for the same crop, for comparison.
std::vector<uint8_t> library_crop(const std::string &in, const RuleArgs &r, const trimlet_options &o) {
    const std::string out = tt::scratch("library.out");
    fs::remove(out);
    char err[TRIMLET_ERROR_SIZE];
    EXPECT_EQ(trimlet_crop_file(in.c_str(), out.c_str(), r.rule, r.params, &o, err), 1) << err;
    return tt::read_file(out);
}

// The formats this build writes as the program's messages list them, each
// name after `dot`: "png, jpg, jpeg, bmp, tga or webp".
std::string writable(const std::string &dot) {
    std::vector<std::string> names = {"png", "jpg", "jpeg", "bmp", "tga"};
    if (trimlet_has("webp")) names.push_back("webp");
    if (trimlet_has("avif-write")) names.push_back("avif");
    if (trimlet_has("gif")) names.push_back("gif");
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + dot + names[i];
    }
    return list;
}

// The first bytes of a WebP or an AVIF file ("" for anything else).
std::string codec_of(const std::string &path) {
    std::vector<uint8_t> v = tt::read_file(path);
    std::string head(v.begin(), v.begin() + std::min<size_t>(v.size(), 12));
    if (head.size() == 12 && head.compare(0, 4, "RIFF") == 0 && head.compare(8, 4, "WEBP") == 0) return "webp";
    if (head.size() == 12 && head.compare(4, 8, "ftypavif") == 0) return "avif";
    return "";
}

}  // namespace

TEST(CliCrop, EachRuleWritesTheRectangleTheLibraryChooses) {
    const tt::Pixels in = framed_patch();
    tt::write_png(tt::scratch("in.png"), in);
    struct Case {
        const char *args;
        int x, y, w, h;
    } cases[] = {
        {"rect 5 6 10 7", 5, 6, 10, 7},
        {"rect -3 -4 10 10", 0, 0, 7, 6},
        {"aspect 1:1", 5, 0, 30, 30},
        {"aspect 9:16", 11, 0, 17, 30},  // 16.875 rounds to 17, odd leftover right
        {"aspect 4:5", 8, 0, 24, 30},
        {"aspect 21:9", 0, 6, 40, 17},   // 17.14 rounds to 17, odd leftover bottom
        {"auto", 7, 5, 12, 9},           // default tolerance ignores (2, 2)
        {"auto -t 5", 2, 2, 17, 12},     // a lower one keeps it
        {"edges 10 0 20 25", 10, 3, 30, 21},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        fs::remove(tt::scratch("out.png"));
        Result r = run(std::string(c.args) + " in.png -o out.png");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("out.png")), tt::crop(in, c.x, c.y, c.w, c.h)), 0);
    }
}

TEST(CliCrop, EachRuleWithEachOptionWritesWhatTheLibraryWrites) {
    const tt::Pixels in = framed_patch();
    const std::string in_path = tt::scratch("in.png");
    tt::write_png(in_path, in);
    const trimlet_options defaults = program_defaults();
    static const unsigned char BLACKISH[3] = {0x12, 0x34, 0x56};
    struct Flags {
        const char *out;
        const char *args;
        const char *format;
        int quality;
        const unsigned char *background;
        int orient, metadata;  // -1: the program's default
        int png_compact, effort, verify;
    } flags[] = {
        {"out.jpg", "--quality 50", "jpg", 50, nullptr, -1, -1, 1, 0, 0},
        {"out.JPEG", "", "jpeg", 0, nullptr, -1, -1, 1, 0, 0},
        {"out.bmp", "--background 123456", "bmp", 0, BLACKISH, -1, -1, 1, 0, 0},
        {"out.img", "--format TGA -j 3", "tga", 0, nullptr, -1, -1, 1, 0, 0},
        {"out.png", "--as-stored --strip", "png", 0, nullptr, TRIMLET_AS_STORED, TRIMLET_STRIP, 1, 0, 0},
        {"out.png", "--png-rgba --effort 9 --verify region", "png", 0, nullptr, -1, -1, 0, 9, TRIMLET_VERIFY_REGION},
        {"out.png", "--effort 1 --verify whole", "png", 0, nullptr, -1, -1, 1, 1, TRIMLET_VERIFY_WHOLE},
        {"out.jpg", "--background '#123456' --quality 100 --strip", "jpg", 100, BLACKISH, -1, TRIMLET_STRIP, 1, 0, 0},
    };
    for (const RuleArgs &rule : FOUR_RULES) {
        for (const Flags &f : flags) {
            const std::string args = std::string(rule.args) + " in.png -o " + f.out + " " + f.args;
            SCOPED_TRACE(args);
            trimlet_options o = defaults;
            o.format = f.format;
            o.quality = f.quality;
            o.background = f.background;
            if (f.orient >= 0) o.orient = f.orient;
            if (f.metadata >= 0) o.metadata = f.metadata;
            o.png_compact = f.png_compact;
            o.effort = f.effort;
            o.verify = f.verify;
            const std::string out = tt::scratch(f.out);
            fs::remove(out);
            Result r = run(args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out + r.err, "");
            EXPECT_EQ(tt::read_file(out), library_crop(in_path, rule, o));
        }
    }
}

TEST(CliCrop, BackgroundIsWhatTransparencyBecomes) {
    tt::write_png(tt::scratch("clear.png"), tt::solid(20, 10, 50, 100, 150, 0));
    Result r = run("edges 0 0 0 25 clear.png -o out.bmp --background 0a0B0c");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tt::max_diff(tt::read_bmp(tt::scratch("out.bmp")), tt::solid(15, 10, 10, 11, 12)), 0);
}

// --upright, --keep-metadata and --lossless need library features that come
// with their own builds; until a build has one (trimlet_has), the program
// refuses the flag before any work, and the test is skipped.
TEST(CliCrop, PhotoOptionsGoToTheLibraryOrAreRefusedWithItsMessage) {
    const tt::Pixels in = framed_patch();
    const std::string jpg = tt::scratch("in.jpg");
    tt::write_jpeg(jpg, in, 90);
    struct Case {
        const char *flag;
        int orient, metadata, lossless;
    } cases[] = {
        {"--upright --strip", TRIMLET_APPLY_EXIF, TRIMLET_STRIP, 0},
        {"--keep-metadata --as-stored", TRIMLET_AS_STORED, TRIMLET_KEEP, 0},
        {"--lossless --as-stored --strip", TRIMLET_AS_STORED, TRIMLET_STRIP, 1},
    };
    std::string missing;
    for (const Case &c : cases) {
        trimlet_options o{};
        o.size = sizeof o;
        o.orient = c.orient;
        o.metadata = c.metadata;
        o.lossless = c.lossless;
        const std::string why = unavailable(o);
        o.format = "jpg";
        for (const RuleArgs &rule : FOUR_RULES) {
            const std::string args = std::string(rule.args) + " in.jpg -o out.jpg " + c.flag;
            SCOPED_TRACE(args);
            fs::remove(tt::scratch("out.jpg"));
            Result r = run(args);
            if (!why.empty()) {
                const std::string flag = std::string(c.flag).substr(0, std::string(c.flag).find(' '));
                EXPECT_EQ(r.status, 2);
                const std::string rule_name = std::string(rule.args).substr(0, std::string(rule.args).find(' '));
                EXPECT_EQ(lines_of(r.err)[0], "trimlet: " + rule_name + ": " + flag + " is not available in this build of the library");
                EXPECT_FALSE(tt::file_exists(tt::scratch("out.jpg")));
                missing += " " + flag;
                continue;
            }
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(tt::read_file(tt::scratch("out.jpg")), library_crop(jpg, rule, o));
        }
    }
    if (!missing.empty()) GTEST_SKIP() << "this library build lacks" << missing;
}

TEST(CliCrop, OutputsNameTheFormatTheyHold) {
    const tt::Pixels in = tt::gradient(20, 10);
    tt::write_ppm(tt::scratch("p.ppm"), in);
    tt::write_png(tt::scratch("q.JPG"), in);  // PNG data, JPEG name: written as JPEG
    tt::write_png(tt::scratch("noext"), in);
    // Without a written extension, only the newer formats go by content.
    tt::write_jpeg(tt::scratch("jpeg.dat"), in, 90);
    tt::write_tga(tt::scratch("tga.dat"), in);
    tt::write_gif(tt::scratch("gif.dat"), tt::solid(20, 10, 40, 80, 120));
    Result r = run("rect 0 0 8 4 p.ppm q.JPG noext jpeg.dat tga.dat gif.dat -d out");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tt::sniff(tt::scratch("out/p.png")), "png");
    EXPECT_EQ(tt::sniff(tt::scratch("out/q.JPG")), "jpeg");
    EXPECT_EQ(tt::sniff(tt::scratch("out/noext.png")), "png");
    EXPECT_EQ(tt::sniff(tt::scratch("out/jpeg.png")), "png");
    EXPECT_EQ(tt::sniff(tt::scratch("out/tga.png")), "png");
    EXPECT_TRUE(tt::file_exists(tt::scratch(trimlet_has(".gif") ? "out/gif.gif" : "out/gif.png")));
    r = run("rect 0 0 8 4 p.ppm q.JPG -d out2 --format JPEG");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tt::sniff(tt::scratch("out2/p.jpeg")), "jpeg");
    EXPECT_EQ(tt::sniff(tt::scratch("out2/q.jpeg")), "jpeg");  // --format names the extension
}

// Every value is checked before anything is read or written: status 2, one
// line naming the argument, no output file, no -d folder.
TEST(CliUsage, RangesRatiosAndFormatsAreRefusedBeforeAnythingIsTouched) {
    tt::write_png(tt::scratch("in.png"), tt::gradient(20, 10));
    tt::write_ppm(tt::scratch("anim.ppm"), tt::solid(20, 10, 1, 2, 3));
    const std::vector<uint8_t> gif = tt::read_file(tt::scratch("anim.ppm"));
    const std::string to_dir = " in.png -d dir";
    const std::string ext = ": trimlet writes " + writable(".") + "; rename the output or add --format";
    struct Case {
        std::string args;
        std::string message;
    } cases[] = {
        {"edges 0 0 0 50" + to_dir, "edges: LEFT must be 0..49, not '50'"},
        {"edges -1 0 0 0" + to_dir, "edges: TOP must be 0..49, not '-1'"},
        {"auto -t 101" + to_dir, "auto: PERCENT must be 0..100, not '101'"},
        {"auto -t -1" + to_dir, "auto: PERCENT must be 0..100, not '-1'"},
        {"rect 0 0 0 5" + to_dir, "rect: W must be 1..2147483647, not '0'"},
        {"rect 0 0 5 -2" + to_dir, "rect: H must be 1..2147483647, not '-2'"},
        {"aspect 0:1" + to_dir, "aspect: RATIO parts must be above 0, not '0:1'"},
        {"aspect 4:0" + to_dir, "aspect: RATIO parts must be above 0, not '4:0'"},
        {"aspect 1" + to_dir, "aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '1'"},
        {"aspect 7" + to_dir, "aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '7'"},
        {"aspect 16/9" + to_dir, "aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '16/9'"},
        {"aspect 4:3:2" + to_dir, "aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '4:3:2'"},
        {"aspect -4:3" + to_dir, "aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '-4:3'"},
        {"aspect 1:99999999999" + to_dir,
         "aspect: RATIO must be W:H with whole parts, like 16:9 or 3:4, not '1:99999999999'"},
        {"auto --quality 0" + to_dir, "auto: --quality must be 1..100, not '0'"},
        {"auto --quality 101" + to_dir, "auto: --quality must be 1..100, not '101'"},
        {"auto --background 12345" + to_dir, "auto: --background must be RRGGBB in hexadecimal, like ff8000, not '12345'"},
        {"auto --background 12345g" + to_dir, "auto: --background must be RRGGBB in hexadecimal, like ff8000, not '12345g'"},
        {"auto -j 0" + to_dir, "auto: -j must be 1..256, not '0'"},
        {"auto --format pcx" + to_dir, "auto: --format must be " + writable("") + ", not 'pcx'"},
        {"auto --lossless" + to_dir, std::string("auto: --lossless writes ") +
                                         (trimlet_has("webp") ? "JPEG or WebP" : "JPEG") +
                                         ", but in.png would be written as png"},
        {"auto --upright --as-stored" + to_dir, "auto: --as-stored contradicts an earlier option"},
        {"auto in.png -o out.pcx", "auto: out.pcx" + ext},
        {"auto in.png -o out.TIFF", "auto: out.TIFF" + ext},
        {"auto in.png -o out.xyz", "auto: out.xyz" + ext},
        {"auto in.png -o out", "auto: out" + ext},
        {"auto in.png -o -", "auto: -o - (standard output) needs --format"},
        {"auto anim.ppm --in-place",
         "auto: anim.ppm: cannot crop in place: trimlet writes " + writable("") +
             ", not this file's format; use -o or -d"},
        {"auto in.png --in-place --format png",
         "auto: --format does not go with --in-place (each file keeps its format)"},
        {"auto - -d dir", "auto: standard input has no name to write under dir; use -o"},
        {"auto - in.png - -d dir", "auto: standard input (-) can be read only once"},
        {"auto -- in.png -o out.png", "auto: say where to write: -o OUT, -d DIR or --in-place"},
        {"plan auto in.png -o out.png", "plan: -o is for crops; plan writes nothing"},
        {"plan crop in.png", "plan: unknown rule 'crop' (rect, aspect, auto, edges, thumb)"},
    };
    for (const Case &c : cases) expect_refused(c.args, "trimlet: " + c.message);
    EXPECT_FALSE(tt::file_exists(tt::scratch("dir")));
    for (const char *name : {"out.pcx", "out.TIFF", "out.xyz", "out", "-", "out.png"}) {
        EXPECT_FALSE(tt::file_exists(tt::scratch(name))) << name;
    }
    EXPECT_EQ(tt::read_file(tt::scratch("anim.ppm")), gif);
}

TEST(CliBatch, UnreadableInputIsReportedOnceAndTheOthersAreWritten) {
    tt::write_png(tt::scratch("a.png"), tt::gradient(20, 10));
    tt::write_file(tt::scratch("bad.png"), {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    tt::write_png(tt::scratch("c.png"), tt::gradient(30, 10));

    Result r = run("rect 0 0 5 5 a.png bad.png c.png -d out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // the class in words, then the library's line; no progress or summary off a terminal
    EXPECT_EQ(r.err, "trimlet: bad.png: not an image: unknown image type\n");
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("out/a.png")), tt::crop(tt::gradient(20, 10), 0, 0, 5, 5)), 0);
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("out/c.png")), tt::crop(tt::gradient(30, 10), 0, 0, 5, 5)), 0);
    EXPECT_FALSE(tt::file_exists(tt::scratch("out/bad.png")));
}

TEST(CliBatch, FormatReplacesEachExtensionInTheDirectory) {
    tt::write_png(tt::scratch("a.png"), tt::gradient(20, 10));
    tt::write_bmp24(tt::scratch("b.bmp"), tt::gradient(20, 10));
    tt::write_png(tt::scratch("noext"), tt::gradient(20, 10));
    struct Case {
        const char *format, *written;
    };
    for (const Case &c : {Case{"png", "png"}, Case{"jpg", "jpeg"}, Case{"bmp", "bmp"}, Case{"tga", "tga"}}) {
        SCOPED_TRACE(c.format);
        std::string dir = std::string("out-") + c.format;
        Result r = run("aspect 1:1 a.png b.bmp noext -d " + dir + "/ --format " + c.format);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        for (const char *name : {"a", "b", "noext"}) {
            std::string out = tt::scratch(dir + "/" + name + "." + c.format);
            EXPECT_EQ(tt::sniff(out), c.written) << out;
            tt::Pixels got = tt::read_any(out);
            EXPECT_EQ(got.w, 10) << out;
            EXPECT_EQ(got.h, 10) << out;
        }
    }
}

TEST(CliUsage, MistakesExitWithStatusTwoNamingTheArgumentAndDoNothing) {
    tt::write_png(tt::scratch("in.png"), tt::gradient(20, 10));
    tt::write_png(tt::scratch("in2.png"), tt::gradient(20, 10));
    expect_refused("", "trimlet: no RULE given (rect, aspect, auto, edges, thumb)");
    expect_refused("crop in.png -o out.png", "trimlet: unknown rule 'crop' (rect, aspect, auto, edges, thumb)");
    expect_refused("help crop", "trimlet: help: no rule 'crop' (rect, aspect, auto, edges, thumb)");
    expect_refused("rect 1 2 3x 4 in.png -o out.png", "trimlet: rect: W must be a whole number, not '3x'");
    expect_refused("rect 1 2 3 \"\" in.png -o out.png", "trimlet: rect: H must be a whole number, not ''");
    expect_refused("rect 1 2 3 2147483648 in.png -o out.png", "trimlet: rect: H must be 1..2147483647, not '2147483648'");
    expect_refused("rect -2147483649 0 1 1 in.png -o out.png", "trimlet: rect: X must be -2147483648..2147483647, not '-2147483649'");
    expect_refused("rect 1 2 3", "trimlet: rect: missing H");
    expect_refused("edges 1 2 3 in.png -o out.png", "trimlet: edges: LEFT must be a whole number, not 'in.png'");
    expect_refused("auto in.png -o out.png -t", "trimlet: auto: -t needs a value");
    expect_refused("auto -t 10% in.png -o out.png", "trimlet: auto: PERCENT must be a whole number, not '10%'");
    expect_refused("rect -t 10 0 0 1 1 in.png -o out.png", "trimlet: rect: unknown option '-t'");
    expect_refused("auto in.png", "trimlet: auto: say where to write: -o OUT, -d DIR or --in-place");
    expect_refused("auto -o out.png", "trimlet: auto: no INPUT file given");
    expect_refused("auto in.png in2.png -o out.png",
                   "trimlet: auto: -o takes a single INPUT (got 2); use -d DIR for several");
    expect_refused("auto in.png -o out.png -d dir", "trimlet: auto: use only one of -o, -d and --in-place");
    expect_refused("auto in.png -o out.png -o out2.png", "trimlet: auto: -o given twice");
    expect_refused("auto in.png -d dir --format pcx",
                   "trimlet: auto: --format must be " + writable("") + ", not 'pcx'");
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.png")));
    EXPECT_FALSE(tt::file_exists(tt::scratch("out2.png")));
    EXPECT_FALSE(tt::file_exists(tt::scratch("dir")));
}

TEST(CliHelp, HelpAndVersionGoToStdoutWithStatusZero) {
    auto expect_shown = [](const std::string &args, const std::string &part) {
        SCOPED_TRACE(args);
        Result r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(part), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
    };
    expect_shown("--version", "trimlet " TRIMLET_PROJECT_VERSION "\n");
    expect_shown("--formats", "reads: png, jpeg, ");
    expect_shown("--help", "  edges TOP RIGHT BOTTOM LEFT");
    expect_shown("help", "  trimlet aspect 16:9 photo.png -o wide.png");
    expect_shown("help auto", "usage: trimlet auto [-t PERCENT] INPUT...");
    expect_shown("rect --help", "usage: trimlet rect X Y W H INPUT...");

    // --version says the version alone (it loads no codec library).
    EXPECT_EQ(run("--version").out, "trimlet " TRIMLET_PROJECT_VERSION "\n");
    // The overview's first line lists the formats --formats says this build reads.
    const std::string version = "\n" + run("--formats").out, help = run("--help").out;
    const size_t reads = version.find("\nreads: ") + 8;
    std::string listed = version.substr(reads, version.find('\n', reads) - reads);
    const std::string first = help.substr(0, help.find('\n'));
    ASSERT_EQ(first.rfind("trimlet " TRIMLET_PROJECT_VERSION ": crop image files (", 0), 0u) << first;
    std::string shown = first.substr(first.find('(') + 1);
    shown = shown.substr(0, shown.size() - 1);
    std::transform(shown.begin(), shown.end(), shown.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
    EXPECT_EQ(shown, listed);
    EXPECT_EQ(listed.find("webp") != std::string::npos, trimlet_has("webp") != 0) << listed;
    EXPECT_EQ(listed.find("tiff") != std::string::npos, trimlet_has("tiff") != 0) << listed;
}

TEST(CliOverwrite, RefusesToWriteOntoAnInputBeforeCroppingAnything) {
    tt::write_png(tt::scratch("a.png"), tt::gradient(20, 10));
    tt::write_png(tt::scratch("b.png"), tt::gradient(30, 10));
    fs::create_directories(tt::scratch("x"));
    fs::create_directories(tt::scratch("y"));
    tt::write_png(tt::scratch("x/c.png"), tt::gradient(20, 10));
    tt::write_png(tt::scratch("y/c.png"), tt::gradient(20, 10));
    const std::vector<uint8_t> a_bytes = tt::read_file(tt::scratch("a.png"));
    const std::string itself = ": output is the input itself; use --in-place to crop it in place";
    expect_refused("rect 0 0 5 5 a.png -o a.png", "trimlet: a.png" + itself);
    expect_refused("rect 0 0 5 5 a.png -o ./x/../a.png", "trimlet: a.png" + itself);
    expect_refused("rect 0 0 5 5 b.png a.png -d .", "trimlet: b.png" + itself);
    expect_refused("rect 0 0 5 5 b.png x/c.png y/c.png -d out",
                   "trimlet: out/c.png: would be written twice, for x/c.png and y/c.png");
    expect_refused("rect 0 0 5 5 a.png b.png a.png --in-place",
                   "trimlet: a.png: would be written twice, for a.png and a.png");
#ifndef _WIN32
    fs::create_symlink("a.png", tt::scratch("link.png"));
    fs::create_hard_link(tt::scratch("a.png"), tt::scratch("x/hard.png"));
    expect_refused("rect 0 0 5 5 link.png -o a.png", "trimlet: link.png" + itself);
    expect_refused("rect 0 0 5 5 a.png -o x/hard.png", "trimlet: a.png" + itself);
    expect_refused("rect 0 0 5 5 hard.png a.png -d x",
                   "trimlet: x/hard.png: the output of hard.png would overwrite the input a.png");
#endif
    EXPECT_EQ(tt::read_file(tt::scratch("a.png")), a_bytes);
    EXPECT_EQ(tt::read_png(tt::scratch("b.png")).w, 30);
    EXPECT_EQ(tt::read_png(tt::scratch("x/c.png")).w, 20);
    EXPECT_FALSE(tt::file_exists(tt::scratch("out")));
}

TEST(CliOverwrite, InPlaceCropsEachInputOntoItself) {
    tt::write_png(tt::scratch("a.png"), tt::gradient(20, 10));
    tt::write_png(tt::scratch("b.png"), tt::gradient(40, 20));
    Result r = run("edges 0 0 0 25 --in-place a.png b.png");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("a.png")), tt::crop(tt::gradient(20, 10), 5, 0, 15, 10)), 0);
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("b.png")), tt::crop(tt::gradient(40, 20), 10, 0, 30, 20)), 0);
}

TEST(CliBatch, FourThreadsGiveTheSameFilesMessagesAndStatusAsOne) {
    std::string names;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "in" + std::to_string(i) + (i % 3 ? ".png" : ".jpg");
        if (i == 4) {
            tt::write_file(tt::scratch(name), {'n', 'o', 'p', 'e'});
        } else if (i != 9) {  // in9.png is missing
            tt::Pixels p = tt::gradient(30 + 7 * i, 20 + 3 * i);
            if (i % 3) tt::write_png(tt::scratch(name), p);
            else tt::write_jpeg(tt::scratch(name), p, 80);
        }
        names += " " + name;
    }
    Result one = run("aspect 4:3" + names + " -d one -j 1");
    Result four = run("aspect 4:3" + names + " -d four -j 4");
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(four.status, 1);
    EXPECT_EQ(one.err, "trimlet: in4.png: not an image: unknown image type\n"
                       "trimlet: in9.jpg: cannot read: No such file or directory\n");
    EXPECT_EQ(four.err, one.err);
    EXPECT_EQ(four.out + one.out, "");
    for (int i = 0; i < 12; ++i) {
        const std::string name = "/in" + std::to_string(i) + (i % 3 ? ".png" : ".jpg");
        SCOPED_TRACE(name);
        EXPECT_EQ(tt::file_exists(tt::scratch("one" + name)), i != 4 && i != 9);
        EXPECT_EQ(tt::read_file(tt::scratch("four" + name)), tt::read_file(tt::scratch("one" + name)));
    }
    Result plan_one = run("plan aspect 4:3" + names + " -j 1");
    Result plan_four = run("plan aspect 4:3" + names + " -j 4 ");
    EXPECT_EQ(plan_four.out, plan_one.out);
    EXPECT_EQ(plan_four.err, plan_one.err);
    EXPECT_EQ(plan_one.err, one.err);
}

TEST(CliPlan, BoxesAreTheRectanglesTheCropsCut) {
    const tt::Pixels in = framed_patch();
    tt::write_png(tt::scratch("in.png"), in);
    tt::write_png(tt::scratch("two words.png"), tt::gradient(64, 48));
    const tt::Pixels other = tt::gradient(64, 48);
    for (const RuleArgs &rule : FOUR_RULES) {
        SCOPED_TRACE(rule.args);
        Result plain = run(std::string("plan ") + rule.args + " in.png \"two words.png\"");
        Result json = run(std::string("plan ") + rule.args + " --json in.png \"two words.png\"");
        ASSERT_EQ(plain.status, 0) << plain.err;
        ASSERT_EQ(json.status, 0) << json.err;
        EXPECT_EQ(plain.err, "");
        std::vector<std::string> lines = lines_of(plain.out), objects = lines_of(json.out);
        ASSERT_EQ(lines.size(), 2u);
        ASSERT_EQ(objects.size(), 2u);
        const char *names[2] = {"in.png", "two words.png"};
        const tt::Pixels *images[2] = {&in, &other};
        for (int k = 0; k < 2; ++k) {
            int x, y, w, h, iw, ih, ow, oh, used = 0;
            ASSERT_EQ(std::sscanf(lines[k].c_str(), "%d %d %d %d %d %d %d %d %n", &x, &y, &w, &h, &iw, &ih, &ow,
                                  &oh, &used), 8);
            EXPECT_EQ(lines[k].substr(size_t(used)), names[k]);
            EXPECT_EQ(iw, images[k]->w);
            EXPECT_EQ(ih, images[k]->h);
            EXPECT_EQ(ow, w);  // no resize: written at the box's size
            EXPECT_EQ(oh, h);
            char expected[256];
            std::snprintf(expected, sizeof expected,
                          "{\"file\": \"%s\", \"x\": %d, \"y\": %d, \"w\": %d, \"h\": %d, \"image_w\": %d, "
                          "\"image_h\": %d, \"output_w\": %d, \"output_h\": %d}",
                          names[k], x, y, w, h, iw, ih, ow, oh);
            EXPECT_EQ(objects[k], expected);
            fs::remove(tt::scratch("crop.png"));
            Result crop = run(std::string(rule.args) + " \"" + names[k] + "\" -o crop.png");
            ASSERT_EQ(crop.status, 0) << crop.err;
            EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("crop.png")), tt::crop(*images[k], x, y, w, h)), 0);
        }
    }
    tt::write_png(tt::scratch("uniform.png"), tt::solid(8, 8, 1, 2, 3));
    Result failed = run("plan auto uniform.png in.png missing.png");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "7 5 12 9 40 30 12 9 in.png\n");
    EXPECT_EQ(failed.err, "trimlet: uniform.png: auto: image is uniform (nothing to crop to, tolerance 10)\n"
                          "trimlet: missing.png: cannot read: No such file or directory\n");
}

TEST(CliStreams, StandardInputAndOutputRoundTrip) {
    const tt::Pixels in = framed_patch();
    tt::write_png(tt::scratch("in.png"), in);
    // stdin to stdout
    Result r = run("rect 5 6 10 7 - -o - --format png <in.png");
    EXPECT_EQ(r.status, 0) << r.err;
    tt::write_file(tt::scratch("piped.png"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("piped.png")), tt::crop(in, 5, 6, 10, 7)), 0);
    // a file to stdout, and back through stdin into a file
    r = run("auto in.png -o - --format BMP --strip");
    EXPECT_EQ(r.status, 0) << r.err;
    tt::write_file(tt::scratch("auto.bmp"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
    EXPECT_EQ(tt::max_diff(tt::read_bmp(tt::scratch("auto.bmp")), tt::flatten(tt::crop(in, 7, 5, 12, 9))), 0);
    r = run("edges 0 0 0 25 - -o cut.tga <auto.bmp");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tt::max_diff(tt::read_tga(tt::scratch("cut.tga")), tt::flatten(tt::crop(in, 10, 5, 9, 9))), 0);
    r = run("plan auto - <in.png");
    EXPECT_EQ(r.out, "7 5 12 9 40 30 12 9 -\n");
    // failures name standard input, and leave no file behind
    tt::write_file(tt::scratch("text.txt"), {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    r = run("auto - -o never.png <text.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "trimlet: standard input: not an image: unknown image type\n");
    EXPECT_FALSE(tt::file_exists(tt::scratch("never.png")));
    r = run("auto - -o - --format png </dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("trimlet: standard input: ", 0), 0u) << r.err;
}

#ifdef __linux__
// A batch in place on a filesystem with no room left: every crop fails with
// the system's reason and every original stays byte for byte as it was.
TEST(CliOverwrite, InPlaceOnAFullFilesystemKeepsEveryOriginal) {
    const std::string mnt = tt::scratch("small");
    fs::create_directories(mnt);
    if (geteuid() != 0 || mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=192k") != 0) {
        GTEST_SKIP() << "needs root and permission to mount a small tmpfs";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount_at_end{mnt};
    std::vector<std::vector<uint8_t>> originals;
    std::string names;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "p" + std::to_string(i) + (i % 2 ? ".png" : ".jpg");
        if (i % 2) tt::write_png(mnt + "/" + name, tt::gradient(60 + i, 40));
        else tt::write_jpeg(mnt + "/" + name, tt::gradient(60 + i, 40), 90);
        originals.push_back(tt::read_file(mnt + "/" + name));
        names += " small/" + name;
    }
    {   // fill what is left
        FILE *f = std::fopen((mnt + "/filler").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::vector<char> block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {}
        std::fclose(f);
        f = std::fopen((mnt + "/filler2").c_str(), "wb");
        if (f) {
            while (std::fputc('x', f) != EOF && std::fflush(f) == 0) {}
            std::fclose(f);
        }
    }
    Result r = run("edges 10 10 10 10 --in-place -j 2" + names);
    EXPECT_EQ(r.status, 1);
    for (int i = 0; i < 4; ++i) {
        const std::string name = "small/p" + std::to_string(i) + (i % 2 ? ".png" : ".jpg");
        EXPECT_NE(r.err.find("trimlet: " + name + ": not written: No space left on device\n"),
                  std::string::npos) << r.err;
        EXPECT_EQ(tt::read_file(tt::scratch(name)), originals[size_t(i)]) << name;
    }
    EXPECT_EQ(r.err.find("failed\n"), std::string::npos) << r.err;  // no summary off a terminal
    size_t entries = 0;
    for (const auto &e : fs::directory_iterator(mnt)) entries += e.is_regular_file();
    EXPECT_EQ(entries, 6u);  // four originals and two fillers: no temporary file left
}
#endif

#ifdef __linux__
// Runs the program with stderr on a pseudo-terminal and keeps what it wrote
// there in seen (the terminal turns each \n into \r\n). Returns 0 when no
// terminal can be made (a container without /dev/pts), with errno's reason in
// seen.
bool run_on_terminal(const std::vector<std::string> &args, std::string &seen) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        seen = std::string("forkpty: ") + strerror(errno);
        return false;
    }
    if (pid == 0) {
        if (chdir(tt::scratch_dir().c_str()) != 0) _exit(127);
        std::vector<char *> argv = {const_cast<char *>(TRIMLET_CLI)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(TRIMLET_CLI, argv.data());
        _exit(127);
    }
    seen.clear();
    char buf[256];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) seen.append(buf, size_t(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return true;
}

TEST(CliProgress, TerminalShowsDoneOfTotalAndTheSummaryReplacesIt) {
    tt::write_png(tt::scratch("a.png"), tt::gradient(20, 10));
    tt::write_png(tt::scratch("c.png"), tt::gradient(20, 10));
    // One thread, so that each file is reported as it finishes: with more,
    // which progress lines appear depends on the threads' timing.
    std::string seen;
    if (!run_on_terminal({"rect", "0", "0", "5", "5", "a.png", "missing.png", "c.png", "-d", "out", "-j", "1"}, seen)) {
        GTEST_SKIP() << "no pseudo-terminal can be made here (" << seen << ")";
    }
    EXPECT_NE(seen.find("\r0/3 a.png"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r2/3 c.png"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\rtrimlet: missing.png: cannot read: No such file or directory\r\n"),
              std::string::npos) << seen;
    // The last progress line is blanked and the summary written over it.
    ASSERT_NE(seen.rfind("\r", seen.size() - 3), std::string::npos) << seen;
    EXPECT_EQ(seen.substr(seen.rfind("\r", seen.size() - 3)), "\r2 cropped, 1 failed\r\n") << seen;

    ASSERT_TRUE(run_on_terminal({"rect", "0", "0", "5", "5", "a.png", "-d", "out"}, seen)) << seen;
    EXPECT_EQ(seen, "");  // a single file shows no progress
}
#endif

// Options go anywhere before "--" (before the rule too); after it every
// argument is an input. Each pair of command lines must do the same.
TEST(CliArgs, OptionsGoAnywhereBeforeTheEndOfOptions) {
    tt::write_png(tt::scratch("in.png"), framed_patch());
    tt::write_png(tt::scratch("-o"), tt::gradient(20, 10));
    struct Case {
        const char *a, *b;
    } cases[] = {
        {"plan --json aspect 3:2 in.png", "plan aspect 3:2 in.png --json"},
        {"-j 1 plan --as-stored auto in.png", "plan auto in.png -j 1 --as-stored"},
        {"--strip rect -o a.png 0 0 5 5 in.png", "rect 0 0 5 5 in.png -o b.png --strip"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.a);
        Result a = run(c.a), b = run(c.b);
        EXPECT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(a.out + a.err, b.out + b.err);
    }
    EXPECT_EQ(tt::read_file(tt::scratch("a.png")), tt::read_file(tt::scratch("b.png")));
    Result r = run("edges 0 0 0 25 -o cut.png -- -o");  // the file named "-o"
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tt::read_png(tt::scratch("cut.png")).w, 15);
}

TEST(CliUsage, FolderOutputsRangesAndLosslessConflictsAreRefusedClearly) {
    tt::write_png(tt::scratch("in.png"), tt::gradient(20, 10));
    tt::write_jpeg(tt::scratch("in.jpg"), tt::gradient(20, 10), 90);
    fs::create_directories(tt::scratch("adir"));
    struct Case {
        std::string args, message;
    } cases[] = {
        {"rect 0 0 99999999999 10 in.png -o out.png", "rect: W must be 1..2147483647, not '99999999999'"},
        {"edges 0 0 0 99999999999 in.png -o out.png", "edges: LEFT must be 0..49, not '99999999999'"},
        {"rect 0 0 5 5 in.png -o adir", "rect: adir is a folder; use -d adir to write into it"},
        {"rect 0 0 5 5 in.png -o adir --format png", "rect: adir is a folder; use -d adir to write into it"},
        {"rect 0 0 5 5 in.jpg -o out.jpg --lossless --quality 80",
         "rect: --quality does not go with --lossless (nothing is re-encoded)"},
        {"rect 0 0 5 5 in.jpg -o out.jpg --background 000000 --lossless",
         "rect: --background does not go with --lossless (nothing is re-encoded)"},
        {"plan --json crop in.png", "plan: unknown rule 'crop' (rect, aspect, auto, edges, thumb)"},
        {"rect 0 0 5 5 in.png --json -o out.png", "rect: unknown option '--json'"},
    };
    for (const Case &c : cases) expect_refused(c.args, "trimlet: " + c.message);
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.png")));
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.jpg")));
    EXPECT_TRUE(fs::is_empty(tt::scratch("adir")));
}

// A failed file's line: the input, named once, the class of its status in
// words, then the library's reason for the same call, whatever its words.
TEST(CliBatch, FailuresNameThePathOnceThenTheClassThenTheReason) {
    const std::vector<uint8_t> png = [] {
        tt::write_png(tt::scratch("good.png"), tt::gradient(40, 30));
        return tt::read_file(tt::scratch("good.png"));
    }();
    tt::write_file(tt::scratch("empty.png"), {});
    tt::write_file(tt::scratch("cut.png"), std::vector<uint8_t>(png.begin(), png.begin() + long(png.size() * 2 / 3)));
    const std::string huge = "P6\n20000 20000\n255\n";
    tt::write_file(tt::scratch("huge.ppm"), std::vector<uint8_t>(huge.begin(), huge.end()));
    tt::write_png(tt::scratch("flat.png"), tt::solid(8, 8, 1, 2, 3));
    struct Case {
        const char *name;
        const char *out; // NULL: a plan
        const char *options;
        int status;
        const char *line; // what follows "trimlet: <name>: "; "*" ends it with the library's reason
    } cases[] = {
        {"empty.png", "out.png", "", TRIMLET_ERR_UNSUPPORTED, "not an image: *"},
        {"cut.png", "out.png", "", TRIMLET_ERR_CORRUPT, "damaged file: *"},
        {"huge.ppm", NULL, "", TRIMLET_ERR_TOO_LARGE, "too large: *"},
        {"missing.png", "out.png", "", TRIMLET_ERR_READ, "cannot read: No such file or directory"},
        {"missing.png", NULL, "", TRIMLET_ERR_READ, "cannot read: No such file or directory"},
        {"flat.png", "out.png", "", TRIMLET_ERR_RULE, "auto: image is uniform (nothing to crop to, tolerance 10)"},
        {"good.png", "nodir/out.png", "", TRIMLET_ERR_WRITE,
         "not written: cannot write 'nodir/out.png': No such file or directory"},
        {"good.png", "out.jpg", "--lossless", TRIMLET_ERR_UNSUPPORTED, "cannot cut losslessly: not a JPEG file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.out ? " -o " : " plan") + (c.out ? c.out : "") + c.options);
        const int params[1] = {10};
        trimlet_options o = program_defaults();
        o.lossless = c.options[0] != '\0';
        trimlet_request q{};
        q.size = sizeof q;
        q.input_path = c.name;  // as the program names it, relative to its folder
        q.output_path = c.out;
        q.rule = TRIMLET_AUTO;
        q.params = params;
        q.options = &o;
        trimlet_result res{};
        res.size = sizeof res;
        const fs::path here = fs::current_path();
        fs::current_path(tt::scratch_dir());
        EXPECT_EQ(trimlet_run(&q, &res), 0);
        fs::current_path(here);
        if (c.status == TRIMLET_ERR_UNSUPPORTED && c.options[0] && !trimlet_has("lossless")) continue;
        EXPECT_EQ(res.status, c.status);
        const std::string error = res.error;
        const std::string quoted = "'" + std::string(c.name) + "': ";
        const size_t named = error.find(quoted);
        const std::string reason = named == std::string::npos ? error : error.substr(named + quoted.size());
        std::string expected = std::string("trimlet: ") + c.name + ": " + c.line + "\n";
        if (expected.find("*\n") != std::string::npos) expected.replace(expected.find("*\n"), 2, reason + "\n");

        Result r = run(c.out ? std::string("auto ") + c.name + " -o " + c.out + " " + c.options
                             : std::string("plan auto ") + c.name);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, expected);
        size_t times = 0;
        for (size_t at = r.err.find(c.name); at != std::string::npos; at = r.err.find(c.name, at + 1)) ++times;
        EXPECT_EQ(times, 1u) << r.err;
    }
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.png")));
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.jpg")));

    // Standard input is named in words, and the library's '<memory>' goes.
    Result r = run("auto - -o out.png <empty.png");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("trimlet: standard input: not an image: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("<memory>"), std::string::npos) << r.err;
}

// --lossless with the default --upright, on an upright JPEG (no Exif) and
// on each Exif orientation: the program writes what the library cuts (the
// picture turned losslessly), or reports the library's refusal where the
// box reaches the partial blocks a turn would lose.
TEST(CliCrop, LosslessWithTheDefaultsTurnsEachOrientationOrSaysWhyNot) {
    if (!trimlet_has("lossless")) GTEST_SKIP() << "this library build has no lossless cut";
    const std::string jpg = tt::scratch("plain.jpg");
    tt::write_jpeg(jpg, tt::gradient(61, 45), 90);  // 4:4:4: 5 partial columns and rows
    const std::vector<uint8_t> plain = tt::read_file(jpg);
    trimlet_options o{};
    o.size = sizeof o;
    o.format = "jpg";
    o.lossless = 1;
    o.orient = TRIMLET_APPLY_EXIF;
    o.metadata = TRIMLET_KEEP;
    for (int orientation = 0; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        std::vector<uint8_t> bytes = plain;
        if (orientation > 0) {
            const std::vector<uint8_t> app1 = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                                               1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, uint8_t(orientation), 0, 0, 0, 0, 0, 0, 0};
            bytes.insert(bytes.begin() + 2, app1.begin(), app1.end());
        }
        tt::write_file(tt::scratch("in.jpg"), bytes);
        for (const RuleArgs &rule : {RuleArgs{"rect 20 18 30 20", TRIMLET_RECT, {20, 18, 30, 20}},
                                     RuleArgs{"rect 0 0 10 10", TRIMLET_RECT, {0, 0, 10, 10}}}) {
            SCOPED_TRACE(rule.args);
            fs::remove(tt::scratch("out.jpg"));
            fs::remove(tt::scratch("library.jpg"));
            char err[TRIMLET_ERROR_SIZE];
            const int ok = trimlet_crop_file(tt::scratch("in.jpg").c_str(), tt::scratch("library.jpg").c_str(),
                                             rule.rule, rule.params, &o, err);
            // Turns that bring the stored right or bottom edge to the left or top.
            const bool refused = rule.params[0] == 0 && orientation > 1 && orientation != 5;
            EXPECT_EQ(ok, !refused) << err;
            Result r = run(std::string(rule.args) + " in.jpg -o out.jpg --lossless");
            if (ok) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(tt::read_file(tt::scratch("out.jpg")), tt::read_file(tt::scratch("library.jpg")));
            } else {
                EXPECT_EQ(r.status, 1);
                std::string why = err;  // the library's words, with the path as the program gave it
                why.replace(why.find(tt::scratch("in.jpg")), tt::scratch("in.jpg").size(), "in.jpg");
                EXPECT_EQ(why.rfind("lossless: cannot turn 'in.jpg' exactly: ", 0), 0u) << why;
                EXPECT_EQ(r.err, "trimlet: in.jpg: cannot cut losslessly: " + why + "\n");
                EXPECT_FALSE(tt::file_exists(tt::scratch("out.jpg")));
            }
        }
    }
}

// --position and --resize: every value is read strictly, and a position or a
// resize that cannot apply is refused, all before any file is touched.
TEST(CliUsage, PositionResizeAndThumbValuesAreRefusedBeforeAnythingIsTouched) {
    tt::write_png(tt::scratch("in.png"), tt::gradient(20, 10));
    tt::write_jpeg(tt::scratch("in.jpg"), tt::gradient(20, 10), 90);
    const std::string to_dir = " in.png -d dir";
    const std::string sizes = "must be WxH, Wx or xH in whole pixels, like 800x600 or 800x, not ";
    struct Case {
        std::string args, message;
    } cases[] = {
        {"aspect 1:1 --position up" + to_dir,
         "aspect: --position must be centre, north, northeast, east, southeast, south, southwest, west, "
         "northwest, entropy or attention, not 'up'"},
        {"rect 0 0 5 5 --position north" + to_dir, "rect: --position applies to aspect and thumb only"},
        {"plan auto --position entropy in.png", "auto: --position applies to aspect and thumb only"},
        {"aspect 1:1 --resize 0x5" + to_dir, "aspect: --resize sides must be above 0, not '0x5'"},
        {"aspect 1:1 --resize x" + to_dir, "aspect: --resize " + sizes + "'x'"},
        {"aspect 1:1 --resize 64" + to_dir, "aspect: --resize " + sizes + "'64'"},
        {"aspect 1:1 --resize 64X64" + to_dir, "aspect: --resize " + sizes + "'64X64'"},
        {"edges 0 0 0 0 --resize 5x5x5" + to_dir, "edges: --resize " + sizes + "'5x5x5'"},
        {"auto --resize 99999999999x" + to_dir, "auto: --resize " + sizes + "'99999999999x'"},
        {"aspect 1:1" + to_dir + " --resize", "aspect: --resize needs a value"},
        {"aspect 1:1 --resize 8x8 --lossless in.jpg -o out.jpg",
         "aspect: --resize does not go with --lossless (nothing is re-encoded)"},
        {"thumb 10x" + to_dir, "thumb: SIZE must be WxH in whole pixels, like 256x256, not '10x'"},
        {"thumb 0x5" + to_dir, "thumb: SIZE sides must be above 0, not '0x5'"},
        {"thumb 8x8 --resize 4x4" + to_dir, "thumb: --resize does not go with thumb (its WxH is the size)"},
        {"thumb 8x8 --lossless in.jpg -o out.jpg",
         "thumb: --lossless does not go with thumb (a thumbnail is scaled, so re-encoded)"},
    };
    for (const Case &c : cases) expect_refused(c.args, "trimlet: " + c.message);
    EXPECT_FALSE(tt::file_exists(tt::scratch("dir")));
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.jpg")));
}

namespace {

// What trimlet_run reports for a plan of `in` (the reference for the program).
trimlet_result library_plan(const std::string &in, int rule, const int *params, const trimlet_options &o) {
    trimlet_request q{};
    q.size = sizeof q;
    q.input_path = in.c_str();
    q.rule = rule;
    q.params = params;
    q.options = &o;
    trimlet_result r{};
    r.size = sizeof r;
    EXPECT_EQ(trimlet_run(&q, &r), 1) << r.error;
    return r;
}

}  // namespace

// thumb WxH gives exactly W x H from a large enough input, by every route
// (-o, -d, --in-place, pipes), the very file the library writes; a smaller
// crop is kept, never enlarged.
TEST(CliThumb, WritesExactlyTheSizeByEveryRouteAsTheLibraryDoes) {
    const tt::Pixels in = tt::gradient(120, 90);
    const std::string in_path = tt::scratch("in.png");
    tt::write_png(in_path, in);
    struct Case {
        const char *args;  // after "thumb"
        int w, h, position;
        int out_w, out_h;
    } cases[] = {
        {"64x48", 64, 48, TRIMLET_CENTRE, 64, 48},
        {"32x32 --position east", 32, 32, TRIMLET_EAST, 32, 32},
        {"50x20 --position southwest", 50, 20, TRIMLET_SOUTHWEST, 50, 20},
        {"1x30 --position attention", 1, 30, TRIMLET_ATTENTION, 1, 30},
        {"17x17 --position entropy", 17, 17, TRIMLET_ENTROPY, 17, 17},
        {"200x200", 200, 200, TRIMLET_CENTRE, 90, 90},  // the 90x90 crop is kept
    };
    const char *routes[] = {"in.png -o out.png", "in.png -d dir", "copy.png --in-place",
                            "- -o - --format png <in.png"};
    const char *written[] = {"out.png", "dir/in.png", "copy.png", "piped.png"};
    for (const Case &c : cases) {
        trimlet_options o = program_defaults();
        o.format = "png";
        o.position = c.position;
        o.resize_w = c.w;
        o.resize_h = c.h;
        const RuleArgs rule = {"", TRIMLET_RATIO, {c.w, c.h}};
        const std::vector<uint8_t> expected = library_crop(in_path, rule, o);
        for (size_t k = 0; k < std::size(routes); ++k) {
            const std::string args = std::string("thumb ") + c.args + " " + routes[k];
            SCOPED_TRACE(args);
            fs::remove(tt::scratch(written[k]));
            tt::write_png(tt::scratch("copy.png"), in);
            Result r = run(args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            if (routes[k][0] == '-') tt::write_file(tt::scratch(written[k]), {r.out.begin(), r.out.end()});
            const tt::Pixels got = tt::read_png(tt::scratch(written[k]));
            EXPECT_EQ(got.w, c.out_w);
            EXPECT_EQ(got.h, c.out_h);
            EXPECT_EQ(tt::read_file(tt::scratch(written[k])), expected);
        }
    }
}

// plan prints the box and the size it would be written at, as trimlet_run
// reports both, for --position, --resize (one side free or both) and thumb.
TEST(CliPlan, PositionResizeAndThumbShowTheBoxAndTheOutputSize) {
    const std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(120, 90));
    struct Case {
        const char *args;
        int rule, params[4], position, resize_w, resize_h;
        int out_w, out_h;
    } cases[] = {
        {"aspect 1:1 --position northeast", TRIMLET_RATIO, {1, 1}, TRIMLET_NORTHEAST, 0, 0, 90, 90},
        {"aspect 16:9 --position attention --resize 40x", TRIMLET_RATIO, {16, 9}, TRIMLET_ATTENTION, 40, 0,
         40, 23},
        {"aspect 3:4 --resize x30", TRIMLET_RATIO, {3, 4}, TRIMLET_CENTRE, 0, 30, 23, 30},
        {"rect 0 0 100 10 --resize 10x10", TRIMLET_RECT, {0, 0, 100, 10}, TRIMLET_CENTRE, 10, 10, 10, 1},
        {"edges 0 0 0 0 --resize 500x500", TRIMLET_EDGES, {0, 0, 0, 0}, TRIMLET_CENTRE, 500, 500, 120, 90},
        {"thumb 30x10 --position south", TRIMLET_RATIO, {30, 10}, TRIMLET_SOUTH, 30, 10, 30, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        trimlet_options o = program_defaults();
        o.position = c.position;
        o.resize_w = c.resize_w;
        o.resize_h = c.resize_h;
        const trimlet_result want = library_plan(in, c.rule, c.params, o);
        EXPECT_EQ(want.output_w, c.out_w);
        EXPECT_EQ(want.output_h, c.out_h);
        const trimlet_box &b = want.box;
        char line[128], json[256];
        std::snprintf(line, sizeof line, "%d %d %d %d 120 90 %d %d in.png\n", b.x, b.y, b.w, b.h, c.out_w,
                      c.out_h);
        std::snprintf(json, sizeof json,
                      "{\"file\": \"in.png\", \"x\": %d, \"y\": %d, \"w\": %d, \"h\": %d, \"image_w\": 120, "
                      "\"image_h\": 90, \"output_w\": %d, \"output_h\": %d}\n",
                      b.x, b.y, b.w, b.h, c.out_w, c.out_h);
        Result plain = run(std::string("plan ") + c.args + " in.png");
        Result as_json = run(std::string("plan ") + c.args + " in.png --json");
        EXPECT_EQ(plain.status, 0) << plain.err;
        EXPECT_EQ(plain.out, line);
        EXPECT_EQ(as_json.out, json);
    }
}

// WebP and AVIF outputs, by extension and by --format: the file is of that
// format and, for WebP, byte for byte what the library writes for the same
// options (quality left to the format's default unless given).
TEST(CliFormats, WebpAndAvifOutputsAreWhatTheLibraryWrites) {
    const std::string in_path = tt::scratch("in.png");
    tt::write_png(in_path, framed_patch());
    const trimlet_options defaults = program_defaults();
    struct Case {
        const char *feature, *out, *args, *format;
        int quality, lossless;
    } cases[] = {
        {"webp", "out.webp", "", "webp", 0, 0},
        {"webp", "out.img", "--format WEBP --quality 30", "webp", 30, 0},
        {"webp", "out.WebP", "--lossless", "webp", 0, 1},
        {"avif-write", "out.avif", "", "avif", 0, 0},
        {"avif-write", "out.img", "--format avif --quality 70", "avif", 70, 0},
    };
    std::string missing;
    for (const Case &c : cases) {
        const std::string args = std::string("rect 5 6 10 7 in.png -o ") + c.out + " " + c.args;
        SCOPED_TRACE(args);
        if (!trimlet_has(c.feature)) {
            missing += std::string(" ") + c.feature;
            continue;
        }
        const std::string out = tt::scratch(c.out);
        fs::remove(out);
        Result r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(codec_of(out), c.format);
        if (std::string(c.format) != "webp") continue;  // AVIF encoders may differ run to run
        trimlet_options o = defaults;
        o.format = c.format;
        o.quality = c.quality;
        o.lossless = c.lossless;
        EXPECT_EQ(tt::read_file(out), library_crop(in_path, FOUR_RULES[0], o));
    }
    if (!missing.empty()) GTEST_SKIP() << "this library build lacks" << missing;
}

// -d keeps a WebP input WebP, named by its extension or, without one, by its
// first bytes; --formats says the build writes it.
TEST(CliFormats, DirectoryKeepsWebpAndVersionListsIt) {
    if (!trimlet_has("webp")) GTEST_SKIP() << "this library build has no WebP";
    tt::write_png(tt::scratch("in.png"), framed_patch());
    trimlet_options o = program_defaults();
    o.format = "webp";
    const std::vector<uint8_t> webp = library_crop(tt::scratch("in.png"), FOUR_RULES[2], o);
    tt::write_file(tt::scratch("a.webp"), webp);
    tt::write_file(tt::scratch("b"), webp);
    Result r = run("rect 0 0 8 4 a.webp b in.png -d out");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(codec_of(tt::scratch("out/a.webp")), "webp");
    EXPECT_EQ(codec_of(tt::scratch("out/b.webp")), "webp");
    EXPECT_EQ(tt::sniff(tt::scratch("out/in.png")), "png");
    r = run("--formats");
    EXPECT_NE(r.out.find("\nwrites: png, jpeg, bmp, tga, webp"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(", avif") != std::string::npos, trimlet_has("avif") != 0) << r.out;
}

// AVIF output is never lossless; a build without a format refuses it by
// name. Nothing is written either way.
TEST(CliFormats, LosslessAvifAndUnbuiltFormatsAreRefused) {
    tt::write_png(tt::scratch("in.png"), tt::gradient(20, 10));
    const std::string no = " is not available in this build of the library";
    for (const char *f : {"webp", "avif"}) {
        const std::string feature = std::string(f) == "avif" ? "avif-write" : f;
        if (trimlet_has(feature.c_str())) continue;
        expect_refused(std::string("rect 0 0 5 5 in.png -o out.") + f,
                       std::string("trimlet: rect: out.") + f + ": " + f + " output" + no);
        expect_refused(std::string("rect 0 0 5 5 in.png -o out.png --format ") + f,
                       std::string("trimlet: rect: --format ") + f + no);
    }
    if (trimlet_has("avif-write")) {
        expect_refused("rect 0 0 5 5 in.png -o out.avif --lossless",
                       "trimlet: rect: --lossless does not go with AVIF output (in.png would be written as avif)");
        expect_refused("rect 0 0 5 5 in.png -d dir --format avif --lossless",
                       "trimlet: rect: --lossless does not go with AVIF output (in.png would be written as avif)");
    }
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.avif")));
    EXPECT_FALSE(tt::file_exists(tt::scratch("out.webp")));
    EXPECT_FALSE(tt::file_exists(tt::scratch("dir")));
}
