#include "VarnelKit/Support/WriteAll.hpp"

#include <unistd.h>

#include <cerrno>

namespace varnel {

int writeAll(int descriptor, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t n = ::write(descriptor, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

} // namespace varnel
