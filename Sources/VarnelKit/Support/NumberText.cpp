#include "VarnelKit/Support/NumberText.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>

namespace varnel::NumberText {

std::string integer(std::int64_t value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string shortest(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[64];
    const double magnitude = std::fabs(value);
    // Plain notation where the platform prints plain digits, scientific beyond that.
    const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
    const auto result = plain ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
                              : std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (plain && text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    // from_chars takes a minus but not a plus, so the sign is read here.
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    constexpr std::uint64_t largest = static_cast<std::uint64_t>(INT64_MAX);
    if (negative) {
        if (magnitude > largest + 1) return std::nullopt;
        return magnitude == largest + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > largest) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

} // namespace varnel::NumberText
