#include "VarnelKit/Support/Text.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(TextTrim, RemovesWhiteSpaceScalarsAtBothEndsOnly) {
    EXPECT_EQ(Text::trimWhitespace(" \t\r\n\u00A0\u3000a b\u2028c\u0085\u2029\u2003"), "a b\u2028c");
    EXPECT_EQ(Text::trimWhitespace("\u00E9 \U0001F600"), "\u00E9 \U0001F600");
    EXPECT_EQ(Text::trimWhitespace(" \u200B "), "\u200B"); // a zero-width space is not White_Space
    EXPECT_EQ(Text::trimWhitespace(" \n\u00A0 "), "");
    EXPECT_EQ(Text::trimWhitespace(""), "");
    // Ill-formed text is left as it is.
    EXPECT_EQ(Text::trimWhitespace(" \xFF "), " \xFF ");
}

} // namespace
} // namespace varnel
