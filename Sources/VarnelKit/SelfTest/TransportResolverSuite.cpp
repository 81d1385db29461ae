#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Transport/CupsPrinterTransport.hpp"
#include "VarnelKit/Transport/DefaultTransportResolver.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

namespace varnel::SelfTest {

namespace {

// What a fresh resolver gives for the key, told as text; none when it gives nothing.
Awaitable<std::optional<std::string>> resolvedTransport(std::string key) {
    DefaultTransportResolver resolver;
    const auto transport = co_await resolver.transport(std::move(key));
    if (!transport) co_return std::nullopt;
    if (const auto network = std::dynamic_pointer_cast<NetworkPrinterTransport>(transport)) {
        co_return "raw TCP to " + network->host() + ":" + NumberText::integer(network->port());
    }
    if (const auto cups = std::dynamic_pointer_cast<CupsPrinterTransport>(transport)) {
        co_return "CUPS queue " + cups->queueName();
    }
    co_return "a transport";
}

} // namespace

void registerTransportResolverTests(TestHarness& h) {
    const std::string suite = "Transport resolution";

    h.test(suite, "infers transport kind from the key namespace", [](TestHarness::Context& c) {
        c.assertEqual(DefaultTransportResolver::transportKind("net:10.0.0.1:9100"), PrinterTransport::network);
        c.assertEqual(DefaultTransportResolver::transportKind("cups:Zebra"), PrinterTransport::cups);
        c.assertEqual(DefaultTransportResolver::transportKind("usb:0922:0028"), PrinterTransport::usb);
    });

    h.test(suite, "extracts a network address from the key", [](TestHarness::Context& c) {
        c.assertEqual(DefaultTransportResolver::networkAddress("net:10.0.0.1:9100"),
                      std::optional<std::string>("10.0.0.1:9100"));
        c.assertNil(DefaultTransportResolver::networkAddress("cups:Zebra"));
    });

    h.test(suite, "resolves a transport for an unknown key",
           [](TestHarness::Context& c) { c.assertNotNil(c.await(resolvedTransport("net:10.0.0.1:9100"))); });

    h.test(suite, "returns nil for USB, which isn't implemented",
           [](TestHarness::Context& c) { c.assertNil(c.await(resolvedTransport("usb:0922:0028"))); });
}

} // namespace varnel::SelfTest
