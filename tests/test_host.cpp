// The built shared object as a host meets it: loaded with dlopen (this
// program does not link it), exporting exactly the seven original trimlet_
// functions and the five of the reentrant interface, and depending on
// nothing beyond the C runtime and the dependencies the build linked as
// shared libraries.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "trimlet.h"

namespace {

const std::set<std::string> NAMES = {
    "trimlet_init",      "trimlet_cleanup",     "trimlet_last_error", "trimlet_rect",
    "trimlet_aspect",    "trimlet_auto",        "trimlet_edges",      "trimlet_crop_file",
    "trimlet_crop_memory", "trimlet_plan_file", "trimlet_plan_memory", "trimlet_free",
    "trimlet_run",       "trimlet_version",     "trimlet_has"};

// Output lines of a shell command.
std::vector<std::string> lines_of(const std::string &command) {
    std::vector<std::string> lines;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return lines;
    char buf[1024];
    while (std::fgets(buf, sizeof buf, p)) lines.emplace_back(buf, std::strcspn(buf, "\n"));
    EXPECT_EQ(pclose(p), 0) << command;
    return lines;
}

// Instrumented builds carry the sanitizer runtimes' own names and libraries.
bool from_sanitizer(const std::string &name) {
    return name.find("san") != std::string::npos || name.rfind("__", 0) == 0;
}

}  // namespace

TEST(HostLoading, DlopenResolvesAllSevenFunctionsAndCallsThem) {
    void *lib = dlopen(TRIMLET_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const std::string &name : NAMES) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
    auto init = reinterpret_cast<decltype(&trimlet_init)>(dlsym(lib, "trimlet_init"));
    auto last_error = reinterpret_cast<decltype(&trimlet_last_error)>(dlsym(lib, "trimlet_last_error"));
    auto rect = reinterpret_cast<decltype(&trimlet_rect)>(dlsym(lib, "trimlet_rect"));
    auto cleanup = reinterpret_cast<decltype(&trimlet_cleanup)>(dlsym(lib, "trimlet_cleanup"));
    ASSERT_TRUE(init && last_error && rect && cleanup);

    EXPECT_EQ(rect(nullptr, "out.png", 0, 0, 1, 1), 0);
    EXPECT_STREQ(last_error(), "rect: NULL input/output");
    EXPECT_EQ(init(), 1);
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(rect("in.png", nullptr, 0, 0, 1, 1), 0);
    cleanup();
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(dlclose(lib), 0) << dlerror();
}

TEST(HostLoading, SharedObjectExportsExactlyTheFifteenFunctions) {
    std::set<std::string> exported;
    for (const std::string &line : lines_of("nm -D --defined-only '" TRIMLET_LIBRARY_PATH "'")) {
        std::string name = line.substr(line.find_last_of(' ') + 1);
        if (!from_sanitizer(name)) exported.insert(name);
    }
    EXPECT_EQ(exported, NAMES);
}

TEST(HostLoading, SharedObjectNeedsOnlyTheCRuntime) {
    std::vector<std::string> needed;
    for (const std::string &line : lines_of("readelf -d '" TRIMLET_LIBRARY_PATH "'")) {
        size_t at = line.find("(NEEDED)");
        if (at == std::string::npos) continue;
        size_t open = line.find('[', at) + 1;
        needed.push_back(line.substr(open, line.find(']', open) - open));
    }
    ASSERT_FALSE(needed.empty());
    if (std::any_of(needed.begin(), needed.end(), from_sanitizer)) GTEST_SKIP() << "instrumented build";
    // The C runtime, and the dependencies this build linked as shared
    // libraries (the same list the install check uses). Built with
    // libjpeg-turbo, both of its libraries must be there: a lossless cut
    // needs libturbojpeg.
    const std::string allowed = "," TRIMLET_ALLOWED_NEEDED ",";
    size_t jpeg = 0;
    for (const std::string &lib : needed) {
        EXPECT_NE(allowed.find("," + lib + ","), std::string::npos) << lib << " not in " << TRIMLET_ALLOWED_NEEDED;
        jpeg += lib == "libjpeg.so.62" || lib == "libturbojpeg.so.0";
    }
    EXPECT_EQ(jpeg, TRIMLET_TEST_LIBJPEG_TURBO ? 2u : 0u);
}

// libjpeg's default error handler ends the process; the library replaces it
// and calls exit() nowhere itself.
TEST(HostLoading, SharedObjectNeverCallsExit) {
    for (const std::string &line : lines_of("nm -D --undefined-only '" TRIMLET_LIBRARY_PATH "'")) {
        std::string name = line.substr(line.find_last_of(' ') + 1);
        name = name.substr(0, name.find('@'));
        EXPECT_TRUE(name != "exit" && name != "_exit" && name != "_Exit") << name;
    }
}

namespace {

// Whether a library whose file name starts with `name` is mapped into this
// process.
bool mapped(const char *name) {
    FILE *f = std::fopen("/proc/self/maps", "r");
    if (f == nullptr) return false;
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) {
        const char *slash = std::strrchr(line, '/');
        found = slash != nullptr && std::strncmp(slash + 1, name, std::strlen(name)) == 0;
    }
    std::fclose(f);
    return found;
}

}  // namespace

// libheif and its codecs are loaded when a HEIF file or AVIF output first
// needs them, not when the library is: a host that crops other formats never
// maps them. Checked in a child, whose process is new.
TEST(HostLoading, LibheifIsLoadedOnlyWhenAFormatNeedsIt) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        void *lib = dlopen(TRIMLET_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        auto plan = lib ? reinterpret_cast<decltype(&trimlet_plan_memory)>(dlsym(lib, "trimlet_plan_memory")) : nullptr;
        auto has = lib ? reinterpret_cast<decltype(&trimlet_has)>(dlsym(lib, "trimlet_has")) : nullptr;
        if (plan == nullptr || has == nullptr) _exit(10);
        // A 2x1 24-bit BMP.
        const unsigned char bmp[62] = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0,
                                       1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0};
        const int params[4] = {0, 0, 1, 1};
        trimlet_box box;
        char error[TRIMLET_ERROR_SIZE];
        if (!plan(bmp, sizeof bmp, TRIMLET_RECT, params, nullptr, &box, error)) _exit(11);
        if (has("webp") + has("tiff") + has("png") < 0) _exit(12);  // other formats' answers load nothing
        if (mapped("libheif")) _exit(13);
        if (has("avif") || has("heic")) {
            if (!mapped("libheif")) _exit(14);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no library, 11: plan failed, 13: libheif mapped by a BMP plan, "
                                         "14: heic or avif reported without libheif mapped";
}
