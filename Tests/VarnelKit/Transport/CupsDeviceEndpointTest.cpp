#include "VarnelKit/Transport/CupsDeviceEndpoint.hpp"

#include <gtest/gtest.h>

namespace varnel {

void PrintTo(const CupsDeviceEndpoint& endpoint, std::ostream* out) {
    *out << describe(endpoint);
}

namespace {

using Endpoint = std::optional<CupsDeviceEndpoint>;

Endpoint network(std::string host, std::int64_t port) {
    return CupsDeviceEndpoint::network(std::move(host), port);
}
Endpoint bonjour(std::string name) {
    return CupsDeviceEndpoint::bonjour(std::move(name));
}
Endpoint local() {
    return CupsDeviceEndpoint::local();
}

TEST(CupsDeviceEndpoint, ReadsEachSchemeOfTheTable) {
    const std::vector<std::pair<std::string, Endpoint>> cases = {
        {"socket://192.168.1.50", network("192.168.1.50", 9100)},
        {"socket://192.168.1.50:9101", network("192.168.1.50", 9101)},
        {"socket://10.0.0.9:", network("10.0.0.9", 9100)},
        {"ipp://10.0.0.8/ipp/print", network("10.0.0.8", 631)},
        {"IPP://10.0.0.8/x", network("10.0.0.8", 631)},
        {"ipps://printer.local/ipp", network("printer.local", 631)},
        {"http://10.0.0.8", network("10.0.0.8", 631)},
        {"https://10.0.0.8", network("10.0.0.8", 443)},
        {"lpd://10.0.0.8/queue", network("10.0.0.8", 515)},
        {"ipp://user@10.0.0.8:8631/x?y=1", network("10.0.0.8", 8631)},
        // The bracketed literal reaches the TCP check without its brackets.
        {"ipp://[fe80::1]:631/x", network("fe80::1", 631)},
        // Ports are not wrapped: the TCP transport clamps them.
        {"socket://10.0.0.9:99999", network("10.0.0.9", 99999)},
        {"socket://", std::nullopt},
        {"ipp:///ipp/print", std::nullopt},
        {"socket://host name", std::nullopt},
        {"usb://Zebra/ZD420?serial=123", local()},
        {"file:///dev/null", local()},
        {"cups-pdf:/", local()},
        {"usb", local()},
        {"file", local()},
        {"cups-pdf", local()},
        {"printer", std::nullopt},
        {"smb://server/queue", std::nullopt},
        {"lpr://server/queue", std::nullopt},
        {"", std::nullopt},
        {":::", std::nullopt},
    };
    for (const auto& [uri, expected] : cases) {
        EXPECT_EQ(CupsDeviceEndpoint::parse(uri), expected) << uri;
    }
}

TEST(CupsDeviceEndpoint, ReadsBonjourServiceNames) {
    const std::vector<std::pair<std::string, Endpoint>> cases = {
        {"dnssd://Front%20Desk%20Printer._ipp._tcp.local./?uuid=1234", bonjour("Front Desk Printer")},
        {"dnssd://Label%20Maker._pdl-datastream._tcp.local./", bonjour("Label Maker")},
        {"dnssd://Old%20One._printer._tcp.local./", bonjour("Old One")},
        {"dnssd://Secure._ipps._tcp.local./", bonjour("Secure")},
        {"dnssd:Bare._ipp._tcp.local./", bonjour("Bare")},
        {"DNSSD://Upper._ipp._tcp.local./", bonjour("DNSSD://Upper")},
        {"dnssd://Printer%20A._ipp._tcp.local./?uuid=a._ipp.b", bonjour("Printer A")},
        {"dnssd://Odd%ZZName._ipp._tcp.local./", bonjour("Odd%ZZName")},
        {"dnssd://Cut%2._ipp._tcp.local./", bonjour("Cut%2")},
        {"dnssd://Bad%FFUtf8._ipp._tcp.local./", bonjour("Bad%FFUtf8")},
        {"dnssd://Edda%E2%80%99s._ipp._tcp.local./", bonjour("Edda\xE2\x80\x99s")},
        {"dnssd://._ipp._tcp.local./", std::nullopt},
        {"dnssd://Scanner._uscan._tcp.local./", std::nullopt},
        {"dnssd://Name?x=._ipp", std::nullopt},
    };
    for (const auto& [uri, expected] : cases) {
        EXPECT_EQ(CupsDeviceEndpoint::parse(uri), expected) << uri;
    }
}

} // namespace
} // namespace varnel
