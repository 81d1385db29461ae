#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/SafeText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varnel {
namespace {

const std::string fffd = "\xEF\xBF\xBD";
const std::string ellipsis = "\xE2\x80\xA6";

std::string repeated(const std::string& piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

TEST(SafeText, FirstCharactersNeverSplitsACharacter) {
    // A combining mark after the limit's last letter belongs to it; a byte count would drop it.
    const std::string letters = std::string(1000, 'a') + "\xCC\x81" + "tail";
    EXPECT_EQ(SafeText::firstCharacters(letters, 1000), std::string(1000, 'a') + "\xCC\x81");
    EXPECT_EQ(SafeText::firstCharacters("\r\nx", 1), "\r\n");
    const std::string flags = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
    EXPECT_EQ(SafeText::firstCharacters(flags, 1), flags.substr(0, 8));
    EXPECT_EQ(SafeText::firstCharacters(flags, 5), flags);
    EXPECT_EQ(SafeText::firstCharacters("ab\xE2\x82", 5), "ab\xEF\xBF\xBD");
    EXPECT_EQ(SafeText::firstCharacters("", 3), "");
    EXPECT_EQ(SafeText::firstCharacters("abc", 0), "");
}

// Everything a terminal acts on instead of showing: ESC (and so CSI and OSC sequences), CR, LF,
// BEL, BS, NUL, DEL and the C1 controls (CSI as U+009B) become U+FFFD; tab and the rest stay.
TEST(SafeText, ALineShowsEveryControlCharacterButTabAsAReplacement) {
    EXPECT_EQ(SafeText::line("\x1B[2J\x1B]0;owned\x07ok\rfake\nline", 100),
              fffd + "[2J" + fffd + "]0;owned" + fffd + "ok" + fffd + "fake" + fffd + "line");
    EXPECT_EQ(SafeText::line(std::string("a\0b\bc\x7F" "d", 7), 100), "a" + fffd + "b" + fffd + "c" + fffd + "d");
    EXPECT_EQ(SafeText::line("\xC2\x80" "x\xC2\x9B" "31m\xC2\x9F", 100), fffd + "x" + fffd + "31m" + fffd);
    // Just past the C1 range, and multibyte text in general, are ordinary characters.
    EXPECT_EQ(SafeText::line("\xC2\xA0\xC3\xA9t\xC3\xA9\t\xE2\x82\xAC", 100), "\xC2\xA0\xC3\xA9t\xC3\xA9\t\xE2\x82\xAC");
    // Ill-formed bytes (a lone C1 byte among them) are replaced as well.
    EXPECT_EQ(SafeText::line("a\x9B" "b\xE2\x82", 100), "a" + fffd + "b" + fffd);
    EXPECT_EQ(SafeText::line("", 100), "");
    EXPECT_EQ(SafeText::line("abc", 0), "");
}

TEST(SafeText, ALineAtItsBoundIsKeptAndOneCharacterMoreIsCutWithinIt) {
    EXPECT_EQ(SafeText::line(std::string(10, 'a'), 10), std::string(10, 'a'));
    EXPECT_EQ(SafeText::line(std::string(11, 'a'), 10), std::string(9, 'a') + ellipsis);
    EXPECT_EQ(SafeText::line("ab", 1), ellipsis);
    // Characters are counted, not bytes: ten three-byte characters fit a bound of ten.
    const std::string euros = repeated("\xE2\x82\xAC", 10);
    EXPECT_EQ(SafeText::line(euros, 10), euros);
    EXPECT_EQ(SafeText::line(euros + "x", 10), repeated("\xE2\x82\xAC", 9) + ellipsis);
    // A letter and its combining mark are one character, at the bound as anywhere else.
    const std::string accented = std::string(9, 'a') + "e\xCC\x81";
    EXPECT_EQ(SafeText::line(accented, 10), accented);
    EXPECT_EQ(SafeText::line(accented + "z", 10), std::string(9, 'a') + ellipsis);
    // A replaced control is one character of the bound like any other.
    EXPECT_EQ(SafeText::line(std::string(9, 'a') + "\x1B", 10), std::string(9, 'a') + fffd);
    EXPECT_EQ(SafeText::line(std::string(10, 'a') + "\x1B", 10), std::string(9, 'a') + ellipsis);
}

// Only 4 bytes a character are read and kept, and the cut never falls inside a UTF-8 sequence, even
// where one character is made of many (a letter under thousands of marks) or the bytes end first.
TEST(SafeText, ALineIsBoundedInBytesAndNeverEndsInsideASequence) {
    const std::string stacked = "e" + repeated("\xCC\x81", 5000);
    const std::string cut = SafeText::line(stacked, 10);
    EXPECT_LE(cut.size(), 40u);
    EXPECT_TRUE(Text::isValidUtf8(cut));
    EXPECT_EQ(cut.find(fffd), std::string::npos) << cut;
    ASSERT_GE(cut.size(), ellipsis.size());
    EXPECT_EQ(cut.substr(cut.size() - ellipsis.size()), ellipsis);
    EXPECT_EQ(cut.substr(0, cut.size() - ellipsis.size()), "e" + repeated("\xCC\x81", 18));

    // Four-byte characters: the bound of 3 characters reads 12 bytes, which end inside the 4th.
    const std::string faces = repeated("\xF0\x9F\x98\x80", 5);
    EXPECT_EQ(SafeText::line(faces.substr(0, 12), 3), faces.substr(0, 12));
    EXPECT_EQ(SafeText::line(faces.substr(0, 13), 3), faces.substr(0, 8) + ellipsis);
    EXPECT_EQ(SafeText::line(faces, 3), faces.substr(0, 8) + ellipsis);

    // An ill-formed byte grows to three as U+FFFD, and the marks after it are one character with
    // it: 39 bytes read, 41 cleaned, and still no more than 40 kept.
    const std::string grown = SafeText::line("\xFF" + repeated("\xCC\x81", 19), 10);
    EXPECT_EQ(grown, fffd + repeated("\xCC\x81", 17) + ellipsis);
    EXPECT_EQ(grown.size(), 40u);

    // Megabytes in, a bounded line out.
    const std::string huge(20 * 1024 * 1024, 'x');
    EXPECT_EQ(SafeText::line(huge, 1000), std::string(999, 'x') + ellipsis);
}

TEST(SafeText, LinesKeepTheirLineFeedsAndAreEachCleanedAndCut) {
    EXPECT_EQ(SafeText::lines("one\n\x1B[31mtwo\r\n\nthree-is-long", 5),
              "one\n" + fffd + "[31" + ellipsis + "\n\nthre" + ellipsis);
    EXPECT_EQ(SafeText::lines("\n", 5), "\n");
    EXPECT_EQ(SafeText::lines("", 5), "");
}

} // namespace
} // namespace varnel
