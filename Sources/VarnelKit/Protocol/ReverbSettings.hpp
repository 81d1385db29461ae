#pragma once

#include "VarnelKit/Support/Json.hpp"

#include <cstdint>
#include <string>

namespace varnel {

// Where the device's real-time server is. Kept in the settings file under the same four keys.
struct ReverbSettings {
    std::string key;
    std::string host;
    std::int64_t port = 0;
    std::string scheme;

    bool operator==(const ReverbSettings&) const = default;

    // "https" or "wss", exactly.
    bool isSecure() const;
    // One of "127.0.0.1", "localhost", "::1", "0.0.0.0", exactly: no brackets, no case folding.
    bool isLoopback() const;
    // An unencrypted channel is acceptable only to a loopback host.
    bool isAcceptable() const { return isSecure() || isLoopback(); }

    json::Ordered toJson() const;
    static ReverbSettings fromJson(const json::Value& value);
};

} // namespace varnel
