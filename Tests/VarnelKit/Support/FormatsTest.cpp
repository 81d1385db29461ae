// Base64, ISO 8601 dates, number text and UTF-8 handling: the small formats everything else uses.
#include "VarnelKit/Support/Base64.hpp"
#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <vector>

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

TEST(Iso8601, DatesBeyondTheClockRangeKeepTheirOrder) {
    using Clock = std::chrono::system_clock;
    // "Never expires" as servers often write it.
    const auto farFuture = Iso8601::parse("9999-12-31T23:59:59Z");
    ASSERT_TRUE(farFuture.has_value());
    EXPECT_EQ(*farFuture, Clock::time_point::max());
    EXPECT_GT(*farFuture, Clock::now());
    EXPECT_EQ(Iso8601::parse("9999-12-31T23:59:59.999999999-23:59"), Clock::time_point::max());

    const auto first = Iso8601::parse("0001-01-01T00:00:00Z");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, Clock::time_point::min());
    EXPECT_LT(*first, Clock::now());
    EXPECT_EQ(Iso8601::parse("0000-01-01T00:00:00+23:59"), Clock::time_point::min());

    // The clock's first day: before 00:12:43.145224192 is out of range, after it is exact.
    EXPECT_EQ(Iso8601::parse("1677-09-21T00:00:00Z"), Clock::time_point::min());
    EXPECT_EQ(Iso8601::parse("1677-09-21T00:12:43.145224191Z"), Clock::time_point::min());
    const auto earliest = Iso8601::parse("1677-09-21T00:12:43.145224192Z");
    ASSERT_TRUE(earliest.has_value());
    EXPECT_EQ(*earliest, Clock::time_point::min());
    // Within the clock's first second, after its first tick: exact, though the second's start is not.
    const auto firstSecond = Iso8601::parse("1677-09-21T00:12:43.148Z");
    ASSERT_TRUE(firstSecond.has_value());
    EXPECT_EQ(*firstSecond - Clock::time_point::min(), std::chrono::nanoseconds(148000000 - 145224192));
    EXPECT_EQ(Iso8601::milliseconds(*firstSecond), "1677-09-21T00:12:43.148Z");
    const auto inRange = Iso8601::parse("1677-09-21T00:12:44Z");
    ASSERT_TRUE(inRange.has_value());
    EXPECT_GT(*inRange, Clock::time_point::min());
    EXPECT_EQ(Iso8601::wholeSeconds(*inRange), "1677-09-21T00:12:44Z");

    // The last representable nanosecond is exact, the next one is clamped.
    EXPECT_EQ(Iso8601::parse("2262-04-11T23:47:16.854775807Z"), Clock::time_point::max());
    const auto lastWhole = Iso8601::parse("2262-04-11T23:47:16Z");
    ASSERT_TRUE(lastWhole.has_value());
    EXPECT_LT(*lastWhole, Clock::time_point::max());
    EXPECT_EQ(Iso8601::parse("2262-04-11T23:47:17Z"), Clock::time_point::max());
}

TEST(Iso8601, FormatsTheClockLimitsWithoutOverflow) {
    using Clock = std::chrono::system_clock;
    EXPECT_EQ(Iso8601::milliseconds(Clock::time_point::min()), "1677-09-21T00:12:43.145Z");
    EXPECT_EQ(Iso8601::wholeSeconds(Clock::time_point::min()), "1677-09-21T00:12:43Z");
    EXPECT_EQ(Iso8601::milliseconds(Clock::time_point::max()), "2262-04-11T23:47:16.854Z");
    // Before 1970 the fraction still counts forward from the floored second.
    EXPECT_EQ(Iso8601::milliseconds(Clock::time_point(std::chrono::milliseconds(-1))),
              "1969-12-31T23:59:59.999Z");
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

TEST(Text, GraphemeSplitsDoNotLeakIntoOneAnother) {
    using Pieces = std::vector<std::string>;
    // ASCII splits per byte, except CR LF; LF CR is two.
    EXPECT_EQ(Text::graphemes("a\r\n\r\nb\n\r"), (Pieces{"a", "\r\n", "\r\n", "b", "\n", "\r"}));
    const std::vector<std::pair<std::string, Pieces>> cases = {
        {"e\u0301x", {"e\u0301", "x"}},
        {"\U0001F1E9\U0001F1EA\U0001F1EB", {"\U0001F1E9\U0001F1EA", "\U0001F1EB"}},
        {"SS", {"S", "S"}},
        {"\u1100\u1161\u11A8!", {"\u1100\u1161\u11A8", "!"}},
        {"\xFF\u0301", {"\uFFFD\u0301"}},
    };
    // One iterator serves every call on a thread: each call must see only its own text, whatever
    // came before, and threads must not share it.
    const auto splitAll = [&cases] {
        std::vector<Pieces> results;
        for (int round = 0; round < 50; ++round) {
            for (const auto& [text, expected] : cases)
                results.push_back(Text::graphemes(text));
        }
        return results;
    };
    std::vector<std::future<std::vector<Pieces>>> workers;
    for (int i = 0; i < 4; ++i)
        workers.push_back(std::async(std::launch::async, splitAll));
    const auto check = [&cases](const std::vector<Pieces>& results) {
        for (std::size_t i = 0; i < results.size(); ++i) {
            EXPECT_EQ(results[i], cases[i % cases.size()].second) << cases[i % cases.size()].first;
        }
    };
    check(splitAll());
    for (auto& worker : workers)
        check(worker.get());
}

} // namespace
} // namespace varnel
