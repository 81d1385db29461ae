#include "VarnelKit/Support/Iso8601.hpp"

#include <cstdint>
#include <ctime>

namespace varnel::Iso8601 {

namespace {

void appendPadded(std::string& out, long long value, int width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) out.push_back('-');
    for (int i = static_cast<int>(digits.size()); i < width; ++i) out.push_back('0');
    out += digits;
}

std::string format(Clock::time_point time, bool withMilliseconds) {
    // Worked out on the counts: converting the floored seconds back to the clock's unit overflows
    // for the earliest time point, which is what a date far in the past is clamped to.
    constexpr Clock::rep perSecond = Clock::period::den / Clock::period::num;
    const Clock::rep ticks = time.time_since_epoch().count();
    long long seconds = ticks / perSecond;
    long long fraction = ticks % perSecond;
    if (fraction < 0) { // floor for times before 1970
        fraction += perSecond;
        seconds -= 1;
    }
    const long long millis = fraction * 1000 / perSecond;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::string out;
    out.reserve(24);
    appendPadded(out, tm.tm_year + 1900LL, 4);
    out.push_back('-');
    appendPadded(out, tm.tm_mon + 1, 2);
    out.push_back('-');
    appendPadded(out, tm.tm_mday, 2);
    out.push_back('T');
    appendPadded(out, tm.tm_hour, 2);
    out.push_back(':');
    appendPadded(out, tm.tm_min, 2);
    out.push_back(':');
    appendPadded(out, tm.tm_sec, 2);
    if (withMilliseconds) {
        out.push_back('.');
        appendPadded(out, millis, 3);
    }
    out.push_back('Z');
    return out;
}

bool readDigits(std::string_view text, std::size_t& pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// The clock counts nanoseconds in 64 bits, which spans only 1677 to 2262. Dates beyond that are
// real on the wire ("9999-12-31T23:59:59Z" is a common "never expires") and must keep their order
// against now, so they become the earliest or latest time point instead of wrapping around.
Clock::time_point clampedTimePoint(long long epochSeconds, std::int64_t nanos) {
    static_assert(Clock::period::num == 1 && Clock::period::den <= 1000000000);
    constexpr Clock::rep perSecond = Clock::period::den;
    Clock::rep ticksOfFraction = nanos / (1000000000 / perSecond);
    // Before 1970 the fraction is taken from the next second up, so the earliest second of the
    // range, whose start lies before the clock's first tick, still reads exactly.
    if (epochSeconds < 0 && ticksOfFraction > 0) {
        epochSeconds += 1;
        ticksOfFraction -= perSecond;
    }
    Clock::rep ticks = 0;
    if (__builtin_mul_overflow(epochSeconds, perSecond, &ticks) ||
        __builtin_add_overflow(ticks, ticksOfFraction, &ticks)) {
        return epochSeconds < 0 ? Clock::time_point::min() : Clock::time_point::max();
    }
    return Clock::time_point(Clock::duration(ticks));
}

} // namespace

std::string wholeSeconds(Clock::time_point time) { return format(time, false); }

std::string milliseconds(Clock::time_point time) { return format(time, true); }

std::optional<Clock::time_point> parse(std::string_view text) {
    std::size_t pos = 0;
    int year, month, day, hour, minute, second;
    if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') || !readDigits(text, pos, 2, month) ||
        !expect(text, pos, '-') || !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
        !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') || !readDigits(text, pos, 2, minute) ||
        !expect(text, pos, ':') || !readDigits(text, pos, 2, second)) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        return std::nullopt;
    }
    std::int64_t nanos = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const std::size_t start = pos;
        std::int64_t scale = 100000000;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            nanos += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }
    long long offsetSeconds = 0;
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        int offHours, offMinutes;
        if (!readDigits(text, pos, 2, offHours) || !expect(text, pos, ':') ||
            !readDigits(text, pos, 2, offMinutes) || offHours > 23 || offMinutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = sign * (offHours * 3600LL + offMinutes * 60LL);
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    const long long days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const long long epochSeconds = days * 86400 + hour * 3600LL + minute * 60LL + second - offsetSeconds;
    return clampedTimePoint(epochSeconds, nanos);
}

} // namespace varnel::Iso8601
