#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <chrono>

namespace varnel::SelfTest {

namespace {

using std::chrono::milliseconds;

ReportedPrinter fixture(std::string key, std::string name, PrinterTransport transport, PrinterLanguage language,
                        std::optional<std::string> address) {
    return ReportedPrinter{std::move(key), std::move(name), transport,    language,     std::move(address),
                           std::nullopt,   "online",        std::nullopt, std::nullopt, std::nullopt};
}

Awaitable<ReachabilityProbe::Result> probeOne(milliseconds timeout, ReportedPrinter printer) {
    co_return co_await ReachabilityProbe(timeout).probe(std::move(printer));
}

Awaitable<std::vector<ReportedPrinter>> probeList(milliseconds timeout, std::vector<ReportedPrinter> printers) {
    co_return co_await ReachabilityProbe(timeout).probeAll(std::move(printers));
}

std::vector<std::string> keysOf(const std::vector<ReportedPrinter>& printers) {
    std::vector<std::string> keys;
    for (const auto& printer : printers) keys.push_back(printer.key);
    return keys;
}

} // namespace

void registerProbeTests(TestHarness& h) {
    const std::string suite = "Reachability probing";

    h.test(suite, "reports an unreachable network printer as offline", [](TestHarness::Context& c) {
        const auto result = c.await(
            probeOne(milliseconds(600), fixture("net:127.0.0.1:9101", "Nothing listening", PrinterTransport::network,
                                                PrinterLanguage::zpl, "127.0.0.1:9101")));
        c.assertEqual(result.status, std::string("offline"));
        c.assertNotNil(result.message);
    });

    h.test(suite, "reports a network printer with no address as an error", [](TestHarness::Context& c) {
        const auto result =
            c.await(probeOne(milliseconds(300), fixture("net:", "Misconfigured", PrinterTransport::network,
                                                        PrinterLanguage::zpl, std::nullopt)));
        c.assertEqual(result.status, std::string("error"));
    });

    h.test(suite, "reports a missing CUPS queue as offline", [](TestHarness::Context& c) {
        const auto result =
            c.await(probeOne(milliseconds(300), fixture("cups:NoSuchQueueExists_12345", "Deleted queue",
                                                        PrinterTransport::cups, PrinterLanguage::tspl2, std::nullopt)));
        c.assertEqual(result.status, std::string("offline"));
    });

    h.test(suite, "preserves the printer list order when probing", [](TestHarness::Context& c) {
        std::vector<ReportedPrinter> printers;
        for (int i = 1; i <= 4; ++i) {
            const auto address = "127.0.0.1:910" + std::to_string(i);
            printers.push_back(fixture("net:" + address, "P" + std::to_string(i), PrinterTransport::network,
                                       PrinterLanguage::zpl, address));
        }
        const auto probed = c.await(probeList(milliseconds(400), printers));
        c.assertEqual(probed.size(), std::size_t(4));
        c.assertEqual(keysOf(probed), keysOf(printers));
    });

    h.test(suite, "recognises disconnected wording from CUPS backends", [](TestHarness::Context& c) {
        for (const std::string wording : {"The printer is offline.", "Unable to connect to printer",
                                          "USB device disconnected", "Connection timed out"}) {
            c.assertTrue(ReachabilityProbe::indicatesDisconnected(wording), "should flag: " + wording);
        }
        for (const std::string wording : {"Ready to print.", "Out of paper", "Cover open"}) {
            c.assertFalse(ReachabilityProbe::indicatesDisconnected(wording), "should not flag: " + wording);
        }
    });
}

} // namespace varnel::SelfTest
