#pragma once

#include "VarnelKit/Protocol/PrinterLanguage.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// A printer key with what is known about the printer. Keys name their namespace by prefix:
// "cups:<queue>", "net:<address>", "usb:<anything>"; any other key is a CUPS queue name.
struct PrinterTarget {
    struct HostAndPort {
        std::string host;
        // As written in the address, not yet checked against 0...65535: the TCP transport and the
        // probe refuse a port outside it as invalid.
        std::int64_t port = 0;
        bool operator==(const HostAndPort&) const = default;
    };

    static constexpr std::int64_t rawPrintingPort = 9100;

    std::string key;
    std::string name;
    PrinterTransport transport = PrinterTransport::network;
    // For network printers the text after "net:" in a key: host, [IPv6], each with an optional
    // ":port". Other printers may carry other text here, which no connection uses.
    std::optional<std::string> address;

    bool operator==(const PrinterTarget&) const = default;

    std::optional<HostAndPort> hostAndPort() const;
    // The queue a CUPS key names: the key without "cups:", or the whole key.
    static std::string cupsQueueName(std::string_view key);
};

} // namespace varnel
