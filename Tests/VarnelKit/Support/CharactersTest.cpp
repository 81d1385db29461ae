#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnel {
namespace {

std::vector<std::string> walk(const Characters& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.endIndex(); i = text.indexAfter(i)) out.emplace_back(text.character(i));
    return out;
}

TEST(Characters, WalksTheSameCharactersAsTheGraphemeSplit) {
    for (const std::string& text : {
             std::string("plain ASCII ^XA^XZ"),
             std::string("a\r\nb\n\rc"),
             std::string("e\u0301^\u0301~\u0308x"),
             std::string("\U0001F469\u200D\U0001F4BB and \U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7"),
             std::string("\u1100\u1161\u11A8 \u0915\u094D\u0937 \u00DF\uFB00"),
             std::string("\r\u0301"),
         }) {
        const Characters characters(text);
        EXPECT_EQ(walk(characters), Text::graphemes(text)) << text;
        EXPECT_EQ(characters.text(), text);
    }
}

TEST(Characters, ReadsIllFormedTextAsReplacementCharacters) {
    const Characters text("a\xFF" "b");
    EXPECT_EQ(walk(text), (std::vector<std::string>{"a", "\uFFFD", "b"}));
    EXPECT_EQ(text.firstScalar(1), U'\uFFFD');
}

TEST(Characters, ClassifiesByTheFirstScalar) {
    const Characters text("^\u0301^A\u00E97\u0663 \u2028");
    EXPECT_FALSE(text.is(0, '^')); // the caret carries a combining mark
    EXPECT_TRUE(text.is(3, '^'));
    EXPECT_TRUE(text.isLetter(4));
    EXPECT_TRUE(text.isLetter(5));
    EXPECT_TRUE(text.isNumber(7));
    EXPECT_TRUE(text.isNumber(8));
    EXPECT_FALSE(text.isLetter(8));
    EXPECT_TRUE(text.isWhitespace(10));
    EXPECT_TRUE(text.isWhitespace(11));
    EXPECT_FALSE(text.isWhitespace(4));
}

} // namespace
} // namespace varnel
