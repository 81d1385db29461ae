#include "VarnelMenuBar/StatusIcon.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using Status = VarnelAgent::Status;

TEST(StatusIconTest, EachStatusHasItsColoursDotAndSentence) {
    const Rgba fadedBrand{170, 216, 22, 0.55};
    struct Case {
        Status status;
        Rgba glyph;
        std::optional<Rgba> dot;
        const char* tooltip;
    };
    const Case cases[] = {
        {Status::connected(), StatusIcon::brand, std::nullopt, "Varnel \xE2\x80\x94 connected"},
        {Status::connecting(), fadedBrand, StatusIcon::orange, "Varnel \xE2\x80\x94 connecting\xE2\x80\xA6"},
        // Not set up is no fault: grey, not red.
        {Status::notEnrolled(), StatusIcon::secondary, StatusIcon::secondary,
         "Varnel \xE2\x80\x94 not set up"},
        {Status::disconnected("timed out"), StatusIcon::secondary, StatusIcon::red,
         "Varnel \xE2\x80\x94 disconnected (timed out)"},
        {Status::disconnected(""), StatusIcon::secondary, StatusIcon::red,
         "Varnel \xE2\x80\x94 disconnected ()"},
        {Status::updateRequired("2.0.0"), StatusIcon::secondary, StatusIcon::red,
         "Varnel \xE2\x80\x94 update needed (version 2.0.0). Printing has stopped."},
        {Status::accessRevoked(), StatusIcon::secondary, StatusIcon::red,
         "Varnel \xE2\x80\x94 access removed. Set up again to reconnect."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tooltip);
        EXPECT_EQ(StatusIcon::tooltip(c.status), c.tooltip);
        EXPECT_EQ(StatusIcon::style(c.status), (StatusIcon::Style{c.glyph, c.dot}));
    }
}

TEST(StatusIconTest, GlyphScalesWithTheWidthAndHangsFromTheTopEdge) {
    const auto shapes = StatusIcon::glyphShapes(Rect{0, 1, 16, 16});
    const double u = 16.0 / 24.0;
    EXPECT_DOUBLE_EQ(shapes[0].rect.x, 6 * u);
    EXPECT_DOUBLE_EQ(shapes[0].rect.y, 1 + 3 * u);
    EXPECT_DOUBLE_EQ(shapes[0].rect.width, 12 * u);
    EXPECT_DOUBLE_EQ(shapes[0].cornerRadius, 1.5 * u);
    // The top bar spans the body; the sheet hangs 2u below the sides, between them.
    EXPECT_DOUBLE_EQ(shapes[3].rect.width, 20 * u);
    EXPECT_DOUBLE_EQ(shapes[3].cornerRadius, 0);
    EXPECT_DOUBLE_EQ(shapes[4].rect.y + shapes[4].rect.height,
                     shapes[1].rect.y + shapes[1].rect.height + 2 * u);
    EXPECT_DOUBLE_EQ(shapes[4].rect.x, shapes[1].rect.x + shapes[1].rect.width);

    // A taller rectangle of the same width and top changes nothing: the height is not used.
    EXPECT_EQ(StatusIcon::glyphShapes(Rect{0, 1, 16, 30}), shapes);
}

TEST(StatusIconTest, TheRingIsOnePointLargerThanTheDotOnEverySide) {
    const auto dot = StatusIcon::dotRect;
    const auto ring = StatusIcon::ringRect;
    EXPECT_EQ(ring, (Rect{dot.x - 1, dot.y - 1, dot.width + 2, dot.height + 2}));
    // The dot's lower-left corner sits at (14, 2) counted up from the image's bottom edge.
    EXPECT_DOUBLE_EQ(StatusIcon::imageHeight - (dot.y + dot.height), 2);
    EXPECT_DOUBLE_EQ(dot.x, 14);
}

} // namespace
} // namespace varnel
