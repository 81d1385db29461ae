#include "VarnelKit/Protocol/ReverbSettings.hpp"

#include <array>
#include <string_view>

namespace varnel {

bool ReverbSettings::isSecure() const { return scheme == "https" || scheme == "wss"; }

bool ReverbSettings::isLoopback() const {
    static constexpr std::array<std::string_view, 4> loopbackHosts = {"127.0.0.1", "localhost", "::1", "0.0.0.0"};
    for (auto candidate : loopbackHosts) {
        if (host == candidate) return true;
    }
    return false;
}

json::Ordered ReverbSettings::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["key"] = key;
    object["host"] = host;
    object["port"] = port;
    object["scheme"] = scheme;
    return object;
}

ReverbSettings ReverbSettings::fromJson(const json::Value& value) {
    json::requireObject(value, "reverb");
    return ReverbSettings{json::requireString(value, "key"), json::requireString(value, "host"),
                          json::requireInt64(value, "port"), json::requireString(value, "scheme")};
}

} // namespace varnel
