#include "VarnelMenuBar/StatusIconRenderer.hpp"

#include "VarnelMenuBar/StatusIcon.hpp"

#include <QColor>
#include <cstdlib>
#include <gtest/gtest.h>

namespace varnel {
namespace {

using Status = VarnelAgent::Status;

// Premultiplied pixels round each channel a little.
bool near(const QColor& a, const QColor& b) {
    const auto close = [](int x, int y) { return std::abs(x - y) <= 2; };
    return close(a.red(), b.red()) && close(a.green(), b.green()) && close(a.blue(), b.blue()) &&
           close(a.alpha(), b.alpha());
}

// The pixel under a point of the 20 x 18 point image drawn at two pixels per point.
QColor at(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(x * 2), static_cast<int>(y * 2));
}

TEST(StatusIconRendererTest, PixelsForEachStatus) {
    const QPointF dotCentre(17, 13);
    // Inside the ring, just outside the dot, over the glyph's right side.
    const QPointF ring(13.5, 12.5);
    // The middle of the top bar.
    const QPointF glyph(8, 8.3);
    const struct {
        Status status;
        QColor glyph;
        QColor dot; // invalid: no dot
    } cases[] = {
        {Status::connected(), QColor(170, 216, 22), QColor()},
        {Status::connecting(), QColor(170, 216, 22, 140), QColor(255, 149, 0)},
        {Status::notEnrolled(), QColor(142, 142, 147), QColor(142, 142, 147)},
        {Status::disconnected("down"), QColor(142, 142, 147), QColor(255, 59, 48)},
        {Status::accessRevoked(), QColor(142, 142, 147), QColor(255, 59, 48)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.status));
        const auto image = StatusIconRenderer::image(c.status);
        ASSERT_EQ(image.size(), QSize(40, 36));
        EXPECT_PRED2(near, at(image, glyph.x(), glyph.y()), c.glyph);
        const auto dotPixel = at(image, dotCentre.x(), dotCentre.y());
        if (c.dot.isValid()) {
            EXPECT_PRED2(near, dotPixel, c.dot);
            // The ring is cut out of the glyph, up to the dot's soft edge: no halo in some panel colour.
            EXPECT_LT(at(image, ring.x(), ring.y()).alpha(), 16);
        } else {
            EXPECT_EQ(dotPixel.alpha(), 0);
            EXPECT_PRED2(near, at(image, ring.x(), ring.y()), c.glyph) << "connected shows the glyph whole";
        }
    }
}

} // namespace
} // namespace varnel
