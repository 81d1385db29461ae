#include "VarnelKit/Agent/StatusLine.hpp"

#include <array>

namespace varnel::StatusLine {

std::string quoted(std::string_view text) {
    std::string result = "\"";
    result.reserve(text.size() + 2);
    for (const char c : text) {
        switch (c) {
        case '"':
            result += "\\\"";
            break;
        case '\\':
            result += "\\\\";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\0':
            result += "\\0";
            break;
        default: {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7f) {
                static constexpr std::array<char, 16> digits{'0', '1', '2', '3', '4', '5', '6', '7',
                                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
                result += "\\u{";
                if (byte >= 0x10)
                    result += digits[byte >> 4];
                result += digits[byte & 0x0f];
                result += '}';
            } else {
                result += c;
            }
        }
        }
    }
    result += '"';
    return result;
}

std::string text(const VarnelAgent::Status& status) {
    using Kind = VarnelAgent::Status::Kind;
    switch (status.kind()) {
    case Kind::connecting:
        return "connecting";
    case Kind::connected:
        return "connected";
    case Kind::disconnected:
        return "disconnected(reason: " + StatusLine::quoted(status.reason()) + ")";
    case Kind::updateRequired:
        return "updateRequired(minimumVersion: " + StatusLine::quoted(status.minimumVersion()) + ")";
    case Kind::accessRevoked:
        return "accessRevoked";
    case Kind::notEnrolled:
        break;
    }
    return "notEnrolled";
}

} // namespace varnel::StatusLine
