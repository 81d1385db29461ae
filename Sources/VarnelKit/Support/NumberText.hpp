#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::NumberText {

// Locale-independent number text (the menu-bar application runs with Qt's locale set).
std::string integer(std::int64_t value);
// The shortest text that reads back as the same double, always with a fraction: 5 is "5.0",
// 0.5 is "0.5", as the platform's default description of a floating-point value reads.
std::string shortest(double value);
// A whole decimal number: an optional sign, then ASCII digits and nothing else, within 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text);

} // namespace varnel::NumberText
