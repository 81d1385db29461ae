#include "VarnelMenuBar/StatusIcon.hpp"

namespace varnel::StatusIcon {

using Kind = VarnelAgent::Status::Kind;

std::string tooltip(const VarnelAgent::Status& status) {
    switch (status.kind()) {
    case Kind::connected:
        return "Varnel \u2014 connected";
    case Kind::connecting:
        return "Varnel \u2014 connecting\u2026";
    case Kind::notEnrolled:
        return "Varnel \u2014 not set up";
    case Kind::disconnected:
        return "Varnel \u2014 disconnected (" + status.reason() + ")";
    case Kind::updateRequired:
        return "Varnel \u2014 update needed (version " + status.minimumVersion() + "). Printing has stopped.";
    case Kind::accessRevoked:
        return "Varnel \u2014 access removed. Set up again to reconnect.";
    }
    return {};
}

Style style(const VarnelAgent::Status& status) {
    switch (status.kind()) {
    case Kind::connected:
        return {brand, std::nullopt};
    case Kind::connecting: {
        Rgba faded = brand;
        faded.alpha = 0.55;
        return {faded, orange};
    }
    case Kind::notEnrolled:
        return {secondary, secondary};
    case Kind::disconnected:
    case Kind::updateRequired:
    case Kind::accessRevoked:
        return {secondary, red};
    }
    return {secondary, red};
}

std::array<Shape, 5> glyphShapes(const Rect& rect) {
    const double u = rect.width / 24.0;
    const auto at = [&](double left, double top, double width, double height, double radius) {
        return Shape{Rect{rect.x + left * u, rect.y + top * u, width * u, height * u}, radius * u};
    };
    return {
        at(6, 3, 12, 5, 1.5),  // paper feed
        at(2, 9, 5, 10, 1.5),  // left side of the body
        at(17, 9, 5, 10, 1.5), // right side of the body
        at(2, 9, 20, 4, 0),    // top of the body
        at(7, 14, 10, 7, 0),   // sheet coming out
    };
}

} // namespace varnel::StatusIcon
