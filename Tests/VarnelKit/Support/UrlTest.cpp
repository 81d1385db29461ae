#include "VarnelKit/Support/Url.hpp"

#include "VarnelKit/Transport/CupsDeviceEndpoint.hpp"

#include <gtest/gtest.h>
#include <string>

namespace varnel {
namespace {

// A scheme followed by one character that cannot begin a path is where Boost.URL 1.81 asserts;
// under the sanitizer build (assertions on) reaching it ends the whole test binary.
TEST(Url, SchemeWithOneStrayCharacterIsReadWithoutTheParserAssertion) {
    for (const char* text : {"ipp:]", "ipp:[", "ipp: ", "https:\"", "x:\x80"}) {
        EXPECT_FALSE(parseAbsoluteUrl(text).has_value()) << text;
        EXPECT_FALSE(parseUrlReference(text).has_value()) << text;
    }
    for (const char* text : {"ipp:?", "https:?", "https:#"}) {
        const auto absolute = parseAbsoluteUrl(text);
        ASSERT_TRUE(absolute.has_value()) << text;
        EXPECT_EQ(absolute->buffer(), text);
        EXPECT_FALSE(absolute->has_authority());
        EXPECT_TRUE(absolute->encoded_path().empty());
        const auto reference = parseUrlReference(text);
        ASSERT_TRUE(reference.has_value()) << text;
        EXPECT_EQ(reference->buffer(), text);
    }
    EXPECT_TRUE(parseAbsoluteUrl("ipp:?")->has_query());
    EXPECT_TRUE(parseAbsoluteUrl("https:#")->has_fragment());
}

TEST(Url, OrdinaryUrlsStillParse) {
    const auto server = parseAbsoluteUrl("https://varnel.example:8443/base/?a=1#top");
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->scheme(), "https");
    EXPECT_EQ(server->host(), "varnel.example");
    EXPECT_EQ(server->port(), "8443");
    EXPECT_EQ(server->path(), "/base/");
    EXPECT_EQ(server->query(), "a=1");

    // One character after the scheme that does begin a path is an ordinary one-segment path.
    for (const char* text : {"ipp:a", "ipp:/", "ipp:%41", "urn:@", "x::"}) {
        const auto url = parseAbsoluteUrl(text);
        ASSERT_TRUE(url.has_value()) << text;
        EXPECT_EQ(url->buffer(), text);
        EXPECT_FALSE(url->encoded_path().empty()) << text;
    }
    EXPECT_FALSE(parseAbsoluteUrl("ipp:%").has_value());
    EXPECT_TRUE(parseAbsoluteUrl("ipp:").has_value());
    EXPECT_TRUE(parseAbsoluteUrl("ipp:??").has_value());

    EXPECT_FALSE(parseAbsoluteUrl("relative/path").has_value());
    EXPECT_FALSE(parseAbsoluteUrl("https://h:12ab").has_value());
    EXPECT_FALSE(parseAbsoluteUrl("https://host name/").has_value());
    ASSERT_TRUE(parseUrlReference("relative/path?x").has_value());
    EXPECT_EQ(parseUrlReference("/updates/1.2.dmg")->path(), "/updates/1.2.dmg");
    EXPECT_FALSE(parseUrlReference("").has_value());
}

TEST(Url, DeviceUrisGoThroughTheSameScreen) {
    for (const char* uri : {"ipp:]", "ipp:[", "ipp:?", "https:?", "socket:#"}) {
        EXPECT_FALSE(CupsDeviceEndpoint::parse(uri).has_value()) << uri;
    }
    // A port that is not all digits makes the text no URL, rather than a port cut at its letters.
    EXPECT_FALSE(CupsDeviceEndpoint::parse("socket://10.0.0.9:91oo").has_value());
    EXPECT_EQ(CupsDeviceEndpoint::parse("ipp://10.0.0.8/ipp"), CupsDeviceEndpoint::network("10.0.0.8", 631));
}

} // namespace
} // namespace varnel
