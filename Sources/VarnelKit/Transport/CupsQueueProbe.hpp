#pragma once

#include "VarnelKit/Support/Json.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace varnel {

// A health snapshot of one CUPS queue, sent to the server inside a reported printer so that a
// queue that silently piles up jobs can be seen. Sent only, never read back.
struct CupsQueueProbe {
    std::string queueName;
    std::optional<std::string> driver;
    std::optional<std::string> deviceURIScheme;
    bool accepting = true;
    bool stopped = false;
    std::optional<std::int64_t> queued;
    std::optional<std::int64_t> oldestQueuedSeconds;

    bool operator==(const CupsQueueProbe&) const = default;

    json::Ordered toJson() const;
};

} // namespace varnel
