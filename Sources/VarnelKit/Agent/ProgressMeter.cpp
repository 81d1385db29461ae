#include "VarnelKit/Agent/ProgressMeter.hpp"

#include <algorithm>

namespace varnel {

void ProgressMeter::advance(std::uint64_t count) {
    const std::uint64_t first = received_ + 1;
    const std::uint64_t last = received_ + count;
    received_ = last;
    if (length_ < 1 || count == 0)
        return;
    std::uint64_t from = first;
    while (from <= last) {
        std::optional<std::uint64_t> at = firstStep(from, last);
        if (length_ >= from && length_ <= last && (!at || length_ < *at))
            at = length_;
        if (!at)
            return;
        report(*at);
        from = *at + 1;
    }
}

// The first count in [from, to] that is a step. The test only grows with the count, so a binary
// search finds the same count a byte-by-byte walk would.
std::optional<std::uint64_t> ProgressMeter::firstStep(std::uint64_t from, std::uint64_t to) const {
    if (!isStep(to))
        return std::nullopt;
    while (from < to) {
        const std::uint64_t middle = from + (to - from) / 2;
        if (isStep(middle)) {
            to = middle;
        } else {
            from = middle + 1;
        }
    }
    return from;
}

void ProgressMeter::report(std::uint64_t count) {
    const double fraction = fractionAt(count);
    last_ = fraction;
    if (progress_)
        progress_(std::min(fraction, 1.0));
}

} // namespace varnel
