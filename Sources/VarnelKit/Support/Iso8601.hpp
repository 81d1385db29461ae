#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::Iso8601 {

using Clock = std::chrono::system_clock;

// 2026-01-31T09:15:02Z: the wire form and the echoed log line.
std::string wholeSeconds(Clock::time_point time);
// 2026-01-31T09:15:02.123Z: the log file's stamp. Truncated, never rounded up into the next second.
std::string milliseconds(Clock::time_point time);

// RFC 3339: full date, "T", time with seconds, optional fraction, then "Z" or a signed hh:mm offset.
// Every year 0000-9999 is read; a date outside the time point's range (about 1677 to 2262) becomes
// time_point::min() or time_point::max(), so it stays earlier or later than any other.
std::optional<Clock::time_point> parse(std::string_view text);

} // namespace varnel::Iso8601
