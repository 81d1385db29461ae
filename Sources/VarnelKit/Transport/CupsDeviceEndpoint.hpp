#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace varnel {

// What stands behind a CUPS queue's device URI: a host to open a TCP connection to, a Bonjour
// service to resolve, or a local device that is not checked. Parsing touches nothing.
class CupsDeviceEndpoint {
public:
    struct Network {
        std::string host; // never empty; an IPv6 literal without brackets
        std::int64_t port = 0;
        bool operator==(const Network&) const = default;
    };
    struct Bonjour {
        std::string serviceName; // never empty
        bool operator==(const Bonjour&) const = default;
    };
    struct Local {
        bool operator==(const Local&) const = default;
    };
    using Value = std::variant<Network, Bonjour, Local>;

    CupsDeviceEndpoint(Value value) : value_(std::move(value)) {}
    static CupsDeviceEndpoint network(std::string host, std::int64_t port) {
        return CupsDeviceEndpoint(Network{std::move(host), port});
    }
    static CupsDeviceEndpoint bonjour(std::string serviceName) {
        return CupsDeviceEndpoint(Bonjour{std::move(serviceName)});
    }
    static CupsDeviceEndpoint local() { return CupsDeviceEndpoint(Local{}); }

    const Value& value() const noexcept { return value_; }
    template <class T> const T* as() const noexcept { return std::get_if<T>(&value_); }

    bool operator==(const CupsDeviceEndpoint&) const = default;

    // None when the URI names no endpoint of a known scheme or cannot be read.
    static std::optional<CupsDeviceEndpoint> parse(std::string_view uri);
    static std::int64_t defaultPort(std::string_view scheme);

private:
    Value value_;
};

std::string describe(const CupsDeviceEndpoint& endpoint);

} // namespace varnel
