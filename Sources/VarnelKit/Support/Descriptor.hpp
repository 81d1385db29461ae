#pragma once

#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace varnel {

// A file descriptor closed on every path out of the scope that opened it. -1 stands for none.
class Descriptor {
public:
    explicit Descriptor(int descriptor = -1) noexcept : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : descriptor_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const noexcept { return descriptor_; }
    bool isOpen() const noexcept { return descriptor_ >= 0; }
    // Closes now, giving the error a late write may report there (some file systems do).
    std::error_code close() noexcept {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        if (descriptor < 0 || ::close(descriptor) == 0)
            return {};
        return std::error_code(errno, std::generic_category());
    }
    // Gives the descriptor up to the caller, who closes it; holds none from then on.
    int release() noexcept {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return descriptor;
    }
    // Closes the one held, if any, and holds `descriptor` instead.
    void reset(int descriptor = -1) noexcept {
        (void)close();
        descriptor_ = descriptor;
    }

private:
    int descriptor_;
};

} // namespace varnel
