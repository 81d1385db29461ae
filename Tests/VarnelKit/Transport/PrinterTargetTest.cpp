#include "VarnelKit/Transport/PrinterTarget.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using HostAndPort = PrinterTarget::HostAndPort;

std::optional<HostAndPort> split(std::optional<std::string> address) {
    return PrinterTarget{"k", "n", PrinterTransport::network, std::move(address)}.hostAndPort();
}

TEST(PrinterTarget, SplitsAddressesAsDocumented) {
    const std::vector<std::pair<std::string, std::optional<HostAndPort>>> cases = {
        {"10.0.4.50:9100", HostAndPort{"10.0.4.50", 9100}},
        {"printer.local", HostAndPort{"printer.local", 9100}},
        {"[fe80::1]:9100", HostAndPort{"fe80::1", 9100}},
        {"[fe80::1]", HostAndPort{"fe80::1", 9100}},
        {"[fe80::1]:", HostAndPort{"fe80::1", 9100}},
        {"[fe80::1]:abc", HostAndPort{"fe80::1", 9100}},
        {"[fe80::1]abc", HostAndPort{"fe80::1", 9100}},
        {"[fe80::1]x:631", HostAndPort{"fe80::1", 9100}},
        {"[]:631", HostAndPort{"", 631}},
        {"[fe80::1", std::nullopt},
        {"fe80::1", HostAndPort{"fe80", 9100}},
        {"host:", HostAndPort{"host", 9100}},
        {":9100", HostAndPort{"9100", 9100}},
        {"::host:7", HostAndPort{"host", 7}},
        {"", std::nullopt},
        {":", std::nullopt},
        {":::", std::nullopt},
        {"host:+631", HostAndPort{"host", 631}},
        {"host:1:2", HostAndPort{"host", 9100}},
        {"host:-5", HostAndPort{"host", -5}},
        {"host:70000", HostAndPort{"host", 70000}},
        {"host:+", HostAndPort{"host", 9100}},
        {"host:--5", HostAndPort{"host", 9100}},
        {"host: 631", HostAndPort{"host", 9100}},
        {"host:9223372036854775807", HostAndPort{"host", INT64_MAX}},
        {"host:9223372036854775808", HostAndPort{"host", 9100}},
        {"host:-9223372036854775808", HostAndPort{"host", INT64_MIN}},
    };
    for (const auto& [address, expected] : cases) {
        const auto actual = split(address);
        ASSERT_EQ(actual.has_value(), expected.has_value()) << address;
        if (expected) {
            EXPECT_EQ(actual->host, expected->host) << address;
            EXPECT_EQ(actual->port, expected->port) << address;
        }
    }
    EXPECT_FALSE(split(std::nullopt));
}

} // namespace
} // namespace varnel
