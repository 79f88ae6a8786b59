// The trimlet command-line program, run as a separate process on real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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
        {"aspect 0", 5, 0, 30, 30},
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

TEST(CliCrop, ValuesTheLibraryRefusesExitOneWithItsMessage) {
    tt::write_png(tt::scratch("in.png"), tt::gradient(20, 10));
    struct Case {
        const char *args;
        const char *err;
    } cases[] = {
        {"edges 0 0 0 50", "trimlet: in.png: edges: percentage must be 0..49 (t=0 r=0 b=0 l=50)\n"},
        {"aspect 7", "trimlet: in.png: aspect: ratio 7 out of range 0..4\n"},
        {"rect 0 0 0 5", "trimlet: in.png: rect: width/height must be > 0 (got 0x5)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        Result r = run(std::string(c.args) + " in.png -o out.png");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(tt::file_exists(tt::scratch("out.png")));
    }
}

TEST(CliBatch, UnreadableInputIsReportedOnceAndTheOthersAreWritten) {
    tt::write_png(tt::scratch("a.png"), tt::gradient(20, 10));
    tt::write_file(tt::scratch("bad.png"), {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    tt::write_png(tt::scratch("c.png"), tt::gradient(30, 10));

    Result r = run("rect 0 0 5 5 a.png bad.png c.png -d out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "trimlet: bad.png: cannot decode 'bad.png': unknown image type\n"
                     "2 cropped, 1 failed\n");  // no progress display off a terminal
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
        EXPECT_EQ(r.err, "3 cropped, 0 failed\n");
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
    const std::string range = " is out of range (-2147483648..2147483647): ";
    expect_refused("", "trimlet: no RULE given (rect, aspect, auto, edges)");
    expect_refused("crop in.png -o out.png", "trimlet: unknown rule 'crop' (rect, aspect, auto, edges)");
    expect_refused("help crop", "trimlet: help: no rule 'crop' (rect, aspect, auto, edges)");
    expect_refused("rect 1 2 3x 4 in.png -o out.png", "trimlet: rect: W must be a whole number, not '3x'");
    expect_refused("rect 1 2 3 \"\" in.png -o out.png", "trimlet: rect: H must be a whole number, not ''");
    expect_refused("rect 1 2 3 2147483648 in.png -o out.png", "trimlet: rect: H" + range + "'2147483648'");
    expect_refused("rect -2147483649 0 1 1 in.png -o out.png", "trimlet: rect: X" + range + "'-2147483649'");
    expect_refused("rect 1 2 3", "trimlet: rect: missing H");
    expect_refused("edges 1 2 3 in.png -o out.png", "trimlet: edges: LEFT must be a whole number, not 'in.png'");
    expect_refused("aspect 5:4 in.png -o out.png",
                   "trimlet: aspect: RATIO must be 1:1, 4:3, 16:9, 3:2 or 9:16 (or 0-4), not '5:4'");
    expect_refused("auto in.png -o out.png -t", "trimlet: auto: -t needs a value");
    expect_refused("auto -t 10% in.png -o out.png", "trimlet: auto: PERCENT must be a whole number, not '10%'");
    expect_refused("rect -t 10 0 0 1 1 in.png -o out.png", "trimlet: rect: unknown option '-t'");
    expect_refused("auto in.png", "trimlet: auto: say where to write: -o OUT, -d DIR or --in-place");
    expect_refused("auto -o out.png", "trimlet: auto: no INPUT file given");
    expect_refused("auto in.png in2.png -o out.png",
                   "trimlet: auto: -o takes a single INPUT (got 2); use -d DIR for several");
    expect_refused("auto in.png -o out.png -d dir", "trimlet: auto: use only one of -o, -d and --in-place");
    expect_refused("auto in.png -o out.png -o out2.png", "trimlet: auto: -o given twice");
    expect_refused("auto in.png -o out.png --format jpg",
                   "trimlet: auto: --format goes with -d (with -o, OUT's extension picks the format)");
    expect_refused("auto in.png -d dir --format gif", "trimlet: auto: --format must be png, jpg, bmp or tga, not 'gif'");
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
    expect_shown("--help", "  edges TOP RIGHT BOTTOM LEFT");
    expect_shown("help", "  trimlet aspect 16:9 photo.png -o wide.png");
    expect_shown("help auto", "usage: trimlet auto [-t PERCENT] INPUT...");
    expect_shown("rect --help", "usage: trimlet rect X Y W H INPUT...");
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
    EXPECT_EQ(r.err, "2 cropped, 0 failed\n");
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("a.png")), tt::crop(tt::gradient(20, 10), 5, 0, 15, 10)), 0);
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("b.png")), tt::crop(tt::gradient(40, 20), 10, 0, 30, 20)), 0);
}

#ifdef __linux__
// Runs the program with stderr on a pseudo-terminal and returns what it wrote
// there (the terminal turns each \n into \r\n).
std::string run_on_terminal(const std::vector<std::string> &args) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(tt::scratch_dir().c_str()) != 0) _exit(127);
        std::vector<char *> argv = {const_cast<char *>(TRIMLET_CLI)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(TRIMLET_CLI, argv.data());
        _exit(127);
    }
    std::string seen;
    char buf[256];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) seen.append(buf, size_t(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return seen;
}

TEST(CliProgress, TerminalShowsDoneOfTotalAndTheSummaryReplacesIt) {
    tt::write_png(tt::scratch("a.png"), tt::gradient(20, 10));
    tt::write_png(tt::scratch("c.png"), tt::gradient(20, 10));
    std::string seen = run_on_terminal({"rect", "0", "0", "5", "5", "a.png", "missing.png", "c.png", "-d", "out"});
    EXPECT_NE(seen.find("\r0/3 a.png"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r2/3 c.png"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\rtrimlet: missing.png: cannot decode 'missing.png': can't fopen\r\n"),
              std::string::npos) << seen;
    // The last progress line is blanked and the summary written over it.
    EXPECT_EQ(seen.substr(seen.rfind("\r", seen.size() - 3)), "\r2 cropped, 1 failed\r\n") << seen;

    seen = run_on_terminal({"rect", "0", "0", "5", "5", "a.png", "-d", "out"});
    EXPECT_EQ(seen, "");  // a single file shows no progress
}
#endif
