#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Transport/PrinterTarget.hpp"

namespace varnel::SelfTest {

namespace {

PrinterTarget target(std::optional<std::string> address) {
    return PrinterTarget{"k", "n", PrinterTransport::network, std::move(address)};
}

std::optional<std::string> hostOf(const std::optional<PrinterTarget::HostAndPort>& endpoint) {
    return endpoint ? std::optional(endpoint->host) : std::nullopt;
}

std::optional<std::int64_t> portOf(const std::optional<PrinterTarget::HostAndPort>& endpoint) {
    return endpoint ? std::optional(endpoint->port) : std::nullopt;
}

} // namespace

void registerTargetParsingTests(TestHarness& h) {
    const std::string suite = "Printer target parsing";

    h.test(suite, "parses host and port", [](TestHarness::Context& c) {
        const auto endpoint = target("10.0.4.50:9100").hostAndPort();
        c.assertEqual(hostOf(endpoint), std::optional<std::string>("10.0.4.50"));
        c.assertEqual(portOf(endpoint), std::optional<std::int64_t>(9100));
    });

    h.test(suite, "defaults to the raw printing port", [](TestHarness::Context& c) {
        c.assertEqual(portOf(target("10.0.4.50").hostAndPort()), std::optional<std::int64_t>(9100));
    });

    h.test(suite, "handles bracketed IPv6", [](TestHarness::Context& c) {
        const auto endpoint = target("[fe80::1]:9100").hostAndPort();
        c.assertEqual(hostOf(endpoint), std::optional<std::string>("fe80::1"));
        c.assertEqual(portOf(endpoint), std::optional<std::int64_t>(9100));
    });

    h.test(suite, "returns nil for a missing address", [](TestHarness::Context& c) {
        c.assertNil(hostOf(target(std::nullopt).hostAndPort()));
        c.assertNil(hostOf(target("").hostAndPort()));
    });
}

} // namespace varnel::SelfTest
