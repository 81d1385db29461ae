#pragma once

#include "VarnelKit/Agent/VarnelAgent.hpp"

#include <array>
#include <optional>
#include <string>

namespace varnel {

// A colour as the renderers take it: 0-255 channels and an opacity from 0 to 1.
struct Rgba {
    int red = 0;
    int green = 0;
    int blue = 0;
    double alpha = 1.0;
    bool operator==(const Rgba&) const = default;
};

// A rectangle in a y-down picture: x and y name its top-left corner.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

// The status item's picture of the agent: a printer glyph coloured by status, a small dot beside
// it, and the one status sentence. Only data here; StatusIconRenderer paints it.
namespace StatusIcon {

struct Style {
    Rgba glyph;
    std::optional<Rgba> dot; // none: no dot and no ring
    bool operator==(const Style&) const = default;
};

struct Shape {
    Rect rect;
    double cornerRadius = 0; // 0: a plain rectangle
    bool operator==(const Shape&) const = default;
};

inline constexpr Rgba brand{170, 216, 22, 1.0};
// No panel colour is known for the tray, so fixed colours that read on light and dark panels.
inline constexpr Rgba secondary{142, 142, 147, 1.0};
inline constexpr Rgba orange{255, 149, 0, 1.0};
inline constexpr Rgba red{255, 59, 48, 1.0};

// The status item's image, in points.
inline constexpr double imageWidth = 20;
inline constexpr double imageHeight = 18;
inline constexpr Rect glyphRect{0, 1, 16, 16};
// The dot's lower-left corner is (14, 2) counted upwards, so its top is 18 - 2 - 6 = 10.
inline constexpr Rect dotRect{14, 10, 6, 6};
// The ring that separates the dot from the glyph: one point larger on every side. It is cut out
// of the glyph, so no halo shows on a panel of any colour.
inline constexpr Rect ringRect{13, 9, 8, 8};

std::string tooltip(const VarnelAgent::Status& status);
Style style(const VarnelAgent::Status& status);
// The five shapes of the glyph in drawing order, on a 24-unit grid of the rectangle's width,
// anchored to its top edge; its height is not used.
std::array<Shape, 5> glyphShapes(const Rect& rect);

} // namespace StatusIcon
} // namespace varnel
