// The error state and the file stage, through the public functions.
#include <gtest/gtest.h>

#include "support.h"
#include "trimlet.h"

TEST(ErrorState, LastErrorIsEmptyBeforeAnyCall) {
    EXPECT_STREQ(trimlet_last_error(), "");
}

TEST(ErrorState, MissingInputLeavesDecodeMessageAndSuccessClearsIt) {
    std::string missing = tt::scratch("missing.png");
    std::string out = tt::scratch("out.png");
    EXPECT_EQ(trimlet_rect(missing.c_str(), out.c_str(), 0, 0, 1, 1), 0);
    EXPECT_EQ(std::string(trimlet_last_error()), "cannot decode '" + missing + "': can't fopen");

    std::string in = tt::scratch("in.png");
    tt::write_png(in, tt::gradient(4, 3));
    EXPECT_NE(trimlet_rect(in.c_str(), out.c_str(), 0, 0, 4, 3), 0);
    EXPECT_STREQ(trimlet_last_error(), "");
    EXPECT_EQ(tt::max_diff(tt::read_png(out), tt::gradient(4, 3)), 0);
}
