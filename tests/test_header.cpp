// SPDX-License-Identifier: MIT
// The claims of include/trimlet.h that can be checked against the library
// built beside it: the rules it lists are exactly those trimlet_run takes,
// under the names its messages give them, and its table of output formats
// names exactly the formats and extensions trimlet_run writes in this build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#include "trimlet.h"

namespace {

std::string header_text() {
    std::ifstream f(TRIMLET_HEADER_PATH);
    EXPECT_TRUE(f.good()) << TRIMLET_HEADER_PATH;
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The text with its comments' line breaks and leading " * " folded into
// single spaces, so a sentence reads the same however it is wrapped.
std::string folded(const std::string &text) {
    return std::regex_replace(std::regex_replace(text, std::regex("\n *\\*? *"), " "),
                              std::regex(" +"), " ");
}

std::vector<std::string> split_names(const std::string &list) {
    std::vector<std::string> names;
    std::regex word("[a-z][a-z0-9-]*");
    for (std::sregex_iterator i(list.begin(), list.end(), word), end; i != end; ++i) {
        if (i->str() != "and") names.push_back(i->str());
    }
    return names;
}

std::string upper(std::string s) {
    for (char &c : s) c = (char)std::toupper((unsigned char)c);
    return s;
}

// One row of the header's OUTPUT FORMATS table.
struct FormatRow {
    std::vector<std::string> names;  // "jpg", "jpeg"
    std::string feature;             // "" for always, else trimlet_has's name
};

std::vector<FormatRow> format_table(const std::string &text) {
    std::vector<FormatRow> rows;
    size_t at = text.find("OUTPUT FORMATS");
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos) return rows;
    std::istringstream lines(text.substr(at));
    std::string line;
    std::regex row(R"re(^ \*   ([a-z]+(?:, [a-z]+)*)  +\S.*?  +(always|trimlet_has\("([a-z-]+)"\))$)re");
    bool in_table = false;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, row)) {
            rows.push_back({split_names(m[1].str()), m[3].str()});
            in_table = true;
        } else if (in_table && line == " *") {
            break;
        }
    }
    return rows;
}

struct Called {
    int ok = 0;
    trimlet_result r;
};

// trimlet_run of an 8 x 6 PNG (a GIF for GIF output, which only a GIF
// gives; or no input, a NULL input) to memory or to output_path, with
// options->format = format when it is not NULL.
Called run(int rule, const char *format, const char *output_path, bool null_input = false) {
    static const std::string png = [] {
        std::string path = tt::scratch("in.png");
        tt::write_png(path, tt::gradient(8, 6));
        return path;
    }();
    static const std::string gif = [] {
        std::string path = tt::scratch("in.gif");
        tt::write_gif(path, tt::gradient(8, 6));
        return path;
    }();
    std::string out = upper(format ? format : output_path ? output_path : "");
    bool to_gif = out.size() >= 3 && out.compare(out.size() - 3, 3, "GIF") == 0;
    const std::string &input = to_gif ? gif : png;
    static const int params[4] = {1, 1, 4, 4};  // a box for every rule
    trimlet_options o;
    std::memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.format = format;
    trimlet_request q;
    std::memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.input_path = null_input ? nullptr : input.c_str();
    q.output_path = output_path;
    q.output_to_memory = output_path == nullptr;
    q.rule = rule;
    q.params = params;
    q.options = &o;
    Called c;
    std::memset(&c.r, 0, sizeof c.r);
    c.r.size = sizeof c.r;
    c.ok = trimlet_run(&q, &c.r);
    trimlet_free(c.r.output);
    return c;
}

TEST(Header, ListsExactlyTheRulesTrimletRunTakesByTheirMessageNames) {
    std::string text = header_text();
    std::smatch m;
    std::string flat = folded(text);
    ASSERT_TRUE(std::regex_search(flat, m, std::regex(R"(by one of (\w+) rules \(([a-z, ]+):)")));
    std::string count_word = m[1].str();
    std::vector<std::string> listed = split_names(m[2].str());
    const char *const WORDS[] = {"zero", "one", "two", "three", "four", "five", "six", "seven", "eight"};
    ASSERT_LT(listed.size(), sizeof WORDS / sizeof WORDS[0]);
    EXPECT_EQ(count_word, WORDS[listed.size()]);

    // The enum, in order and numbered from 0.
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(enum trimlet_rule \{([^}]*)\})")));
    std::string body = m[1].str();
    std::regex entry(R"(TRIMLET_([A-Z]+) = (\d+))");
    std::vector<std::string> enumerated;
    for (std::sregex_iterator i(body.begin(), body.end(), entry), end; i != end; ++i) {
        EXPECT_EQ(std::stoi((*i)[2].str()), (int)enumerated.size()) << (*i)[0];
        std::string name = (*i)[1].str();
        for (char &c : name) c = (char)std::tolower((unsigned char)c);
        enumerated.push_back(name);
    }
    EXPECT_EQ(enumerated, listed);

    // Each is taken under its name; the numbers either side are not rules.
    for (size_t rule = 0; rule < listed.size(); ++rule) {
        Called c = run((int)rule, nullptr, nullptr, true);
        EXPECT_EQ(c.r.status, TRIMLET_ERR_ARGUMENT);
        EXPECT_STREQ(c.r.error, (listed[rule] + ": NULL input").c_str());
        EXPECT_EQ(run((int)rule, nullptr, nullptr).r.status, TRIMLET_OK) << listed[rule];
    }
    for (int rule : {-1, (int)listed.size()}) {
        Called c = run(rule, nullptr, nullptr);
        EXPECT_EQ(c.r.status, TRIMLET_ERR_ARGUMENT);
        EXPECT_EQ(c.r.error, "crop: unknown rule " + std::to_string(rule));
    }
}

// Image format names a library like this one might write: those the table
// holds must be written, every other one refused.
const char *const CANDIDATES[] = {"png", "jpg", "jpeg", "bmp", "tga", "webp", "avif", "gif", "tif",
                                  "tiff", "heic", "heif", "psd", "hdr", "pic", "pnm", "ppm", "jxl",
                                  "jpe", "qoi", "ico", "pngx", "txt", ""};

bool in_table(const std::vector<FormatRow> &rows, const std::string &name) {
    for (const FormatRow &row : rows) {
        if (std::find(row.names.begin(), row.names.end(), name) != row.names.end()) return true;
    }
    return false;
}

TEST(Header, FormatTableIsWhatTrimletRunWritesByNameAndByExtension) {
    std::vector<FormatRow> rows = format_table(header_text());
    ASSERT_GE(rows.size(), 4u);
    // The name lists hosts build their texts from are the table's.
    std::vector<std::string> names, formats;
    for (const FormatRow &row : rows) {
        names.insert(names.end(), row.names.begin(), row.names.end());
        formats.push_back(row.names.back());
    }
    EXPECT_EQ(names, std::vector<std::string>({TRIMLET_OUTPUT_NAMES}));
    EXPECT_EQ(formats, std::vector<std::string>({TRIMLET_OUTPUT_FORMATS}));
    for (const FormatRow &row : rows) {
        bool built = row.feature.empty() || trimlet_has(row.feature.c_str());
        for (const std::string &name : row.names) {
            SCOPED_TRACE(name);
            EXPECT_EQ(trimlet_has(("." + name).c_str()), built);
            EXPECT_EQ(trimlet_has(("." + upper(name)).c_str()), built);
            std::string path = tt::scratch("out." + upper(name));
            for (const Called &c : {run(TRIMLET_RECT, name.c_str(), nullptr),
                                    run(TRIMLET_RECT, upper(name).c_str(), nullptr),
                                    run(TRIMLET_RECT, nullptr, path.c_str())}) {
                if (built) {
                    EXPECT_EQ(c.r.status, TRIMLET_OK) << c.r.error;
                    // The result names the format by the row's last name.
                    EXPECT_STREQ(c.r.output_format, row.names.back().c_str());
                } else {
                    EXPECT_EQ(c.r.status, TRIMLET_ERR_UNAVAILABLE) << c.r.error;
                }
            }
        }
    }
    for (const char *name : CANDIDATES) {
        if (in_table(rows, name)) continue;
        SCOPED_TRACE(name);
        if (*name != '\0') {
            EXPECT_EQ(run(TRIMLET_RECT, name, nullptr).r.status, TRIMLET_ERR_ARGUMENT);
        }
        std::string path = tt::scratch(std::string("out.") + name);
        EXPECT_EQ(run(TRIMLET_RECT, nullptr, path.c_str()).r.status, TRIMLET_ERR_UNSUPPORTED);
        EXPECT_EQ(trimlet_has((std::string(".") + name).c_str()), 0);
    }
}

TEST(Header, TheSevenWriteTheExtensionsTheyKnowAndPngForAnyOther) {
    std::string text = header_text();
    std::smatch m;
    std::string flat = folded(text);
    ASSERT_TRUE(std::regex_search(flat, m, std::regex(R"(The seven know the extensions ([a-z, ]+) and write PNG)")));
    std::vector<std::string> known = split_names(m[1].str());
    std::string input = tt::scratch("seven.png");
    tt::write_png(input, tt::gradient(8, 6));
    std::vector<std::string> names(std::begin(CANDIDATES), std::end(CANDIDATES));
    names.insert(names.end(), known.begin(), known.end());
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        std::string out = tt::scratch("seven-out." + upper(name));
        ASSERT_NE(trimlet_rect(input.c_str(), out.c_str(), 0, 0, 4, 4), 0) << trimlet_last_error();
        bool is_known = std::find(known.begin(), known.end(), name) != known.end();
        std::string expected = !is_known ? "png" : name == "jpg" ? "jpeg" : name;
        EXPECT_EQ(tt::sniff(out), expected);
    }
}

}  // namespace
