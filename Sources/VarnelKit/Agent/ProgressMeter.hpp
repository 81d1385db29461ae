#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace varnel {

// Reports received/length whenever it has grown by at least 0.01 since the last report, and once
// more when exactly `length` bytes are in. The test runs per byte, whatever the size of the pieces
// the transport hands over, so the reports are the same however the body is cut up. A length
// below 1 reports nothing.
class ProgressMeter {
public:
    ProgressMeter(std::function<void(double)> progress, std::uint64_t length)
        : progress_(std::move(progress)), length_(length) {}

    void advance(std::uint64_t count);

private:
    double fractionAt(std::uint64_t count) const {
        return static_cast<double>(count) / static_cast<double>(length_);
    }
    bool isStep(std::uint64_t count) const { return fractionAt(count) - last_ >= 0.01; }
    std::optional<std::uint64_t> firstStep(std::uint64_t from, std::uint64_t to) const;
    void report(std::uint64_t count);

    std::function<void(double)> progress_;
    std::uint64_t length_;
    std::uint64_t received_ = 0;
    double last_ = 0.0;
};

} // namespace varnel
