// Base64, ISO 8601 dates, number text and UTF-8 handling: the small formats everything else uses.
#include "VarnelKit/Support/Base64.hpp"
#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace varnel {
namespace {

TEST(Base64, RoundTripsEveryRemainder) {
    for (std::string text : {"", "f", "fo", "foo", "foob", "fooba", "foobar", "^XA^XZ"}) {
        const auto encoded = Base64::encode(std::string_view(text));
        const auto decoded = Base64::decode(encoded);
        ASSERT_TRUE(decoded.has_value()) << encoded;
        EXPECT_EQ(textOf(*decoded), text);
    }
    EXPECT_EQ(Base64::encode(std::string_view("^XA^XZ")), "XlhBXlha");
}

TEST(Base64, DecodingIsStrict) {
    for (const char* bad : {"XlhBXlh", "XlhB Xlha", "XlhB\nXlha", "Xlh-Xlha", "Xlh_Xlha", "Zm9v=", "Zg=", "Zg",
                            "=Zg=", "Z===", "Zg==Zg==", "Zm=v", "not!valid!base64"}) {
        EXPECT_FALSE(Base64::decode(bad).has_value()) << bad;
    }
    EXPECT_TRUE(Base64::decode("Zg==").has_value());
    EXPECT_TRUE(Base64::decode("").has_value());
}

TEST(Iso8601, FormatsWholeSecondsAndTruncatedMilliseconds) {
    const auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1769850902999)); // 2026-01-31T09:15:02.999Z
    EXPECT_EQ(Iso8601::wholeSeconds(t), "2026-01-31T09:15:02Z");
    EXPECT_EQ(Iso8601::milliseconds(t), "2026-01-31T09:15:02.999Z");
    EXPECT_EQ(Iso8601::milliseconds(t + std::chrono::microseconds(999)), "2026-01-31T09:15:02.999Z");
    EXPECT_EQ(Iso8601::wholeSeconds(std::chrono::system_clock::time_point{}), "1970-01-01T00:00:00Z");
}

TEST(Iso8601, ParsesRfc3339Forms) {
    const auto base = Iso8601::parse("2024-05-01T12:30:45Z");
    ASSERT_TRUE(base.has_value());
    EXPECT_EQ(Iso8601::wholeSeconds(*base), "2024-05-01T12:30:45Z");
    const auto fraction = Iso8601::parse("2024-05-01T12:30:45.123Z");
    ASSERT_TRUE(fraction.has_value());
    EXPECT_EQ(Iso8601::milliseconds(*fraction), "2024-05-01T12:30:45.123Z");
    const auto offset = Iso8601::parse("2024-05-01T14:30:45+02:00");
    ASSERT_TRUE(offset.has_value());
    EXPECT_EQ(*offset, *base);
    EXPECT_EQ(Iso8601::parse("2024-05-01T10:00:45-02:30"), *base);
    EXPECT_EQ(Iso8601::wholeSeconds(*Iso8601::parse("2024-02-29T00:00:00Z")), "2024-02-29T00:00:00Z");

    for (const char* bad : {"2024-05-01", "2024-05-01T12:30Z", "2024-05-01T12:30:45", "2024-05-01 12:30:45Z",
                            "2024-13-01T00:00:00Z", "2023-02-29T00:00:00Z", "2024-05-01T24:00:00Z",
                            "2024-05-01T12:30:45.Z", "2024-05-01T12:30:45+0200", "2024-05-01T12:30:45Zjunk", ""}) {
        EXPECT_FALSE(Iso8601::parse(bad).has_value()) << bad;
    }
}

TEST(NumberText, ShortestFormKeepsAFraction) {
    EXPECT_EQ(NumberText::shortest(5.0), "5.0");
    EXPECT_EQ(NumberText::shortest(0.5), "0.5");
    EXPECT_EQ(NumberText::shortest(0.1), "0.1");
    EXPECT_EQ(NumberText::shortest(-2.25), "-2.25");
    EXPECT_EQ(NumberText::shortest(30), "30.0");
    EXPECT_EQ(NumberText::integer(-9223372036854775807LL - 1), "-9223372036854775808");
}

TEST(Text, CleansInvalidUtf8PerMaximalSubpart) {
    EXPECT_TRUE(Text::isValidUtf8("caf\xC3\xA9 \xF0\x9F\x8F\xB7"));
    EXPECT_FALSE(Text::isValidUtf8("\xC3"));
    EXPECT_FALSE(Text::isValidUtf8("\xED\xA0\x80")); // a surrogate
    EXPECT_FALSE(Text::isValidUtf8("\xC0\xAF"));     // overlong
    EXPECT_EQ(Text::makeValidUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Text::makeValidUtf8("\xE2\x82" "x"), "\xEF\xBF\xBD" "x");
    EXPECT_EQ(Text::makeValidUtf8("\xF0\x9F\x8F"), "\xEF\xBF\xBD");
}

TEST(Text, GraphemesWhitespaceAndCase) {
    // "e" + combining acute, a flag, and a CRLF are one character each.
    const auto pieces = Text::graphemes("e\xCC\x81\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\r\nx");
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[2], "\r\n");
    EXPECT_EQ(Text::trimWhitespace("\xE3\x80\x80\t ^XA^XZ\n\xC2\x85"), "^XA^XZ"); // ideographic space, NEL
    EXPECT_EQ(Text::trimWhitespace("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");     // zero-width space is not White_Space
    EXPECT_EQ(Text::uppercased("stra\xC3\x9F" "e"), "STRASSE");
    EXPECT_EQ(Text::lowercased("ZPL"), "zpl");
    EXPECT_EQ(Text::truncatedUtf8("ab\xC3\xA9", 3), "ab");
}

} // namespace
} // namespace varnel
