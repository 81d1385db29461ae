#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Transport/CupsJobWatcher.hpp"
#include "VarnelKit/Transport/CupsQueueProbe.hpp"
#include "VarnelKit/Transport/CupsQueueState.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <array>
#include <chrono>

namespace varnel::SelfTest {

namespace {

using Reasons = std::vector<std::string>;
using Phrase = std::optional<std::string>;

std::string jsonText(const CupsQueueProbe& probe) {
    try {
        return json::dump(probe.toJson());
    } catch (...) {
        return "";
    }
}

} // namespace

void registerQueueProbeTests(TestHarness& h) {
    const std::string suite = "CUPS queue probe";
    using Scheme = std::optional<std::string>;

    h.test(suite, "reads the scheme of a device URI", [](TestHarness::Context& c) {
        c.assertEqual(CupsQueueProbe::scheme("usb://Zebra/ZT230"), Scheme("usb"));
        c.assertEqual(CupsQueueProbe::scheme("socket://10.0.0.9:9100"), Scheme("socket"));
        c.assertEqual(CupsQueueProbe::scheme("dnssd://Xprinter%20XP-420B._ipps._tcp.local./"), Scheme("dnssd"));
    });

    h.test(suite, "keeps only the scheme, never the rest of the URI", [](TestHarness::Context& c) {
        const auto scheme =
            CupsQueueProbe::scheme("dnssd://HP%20Smart%20Tank._ipps._tcp.local./?uuid=9f89dbac-4b85-4ee7");
        c.assertEqual(scheme, Scheme("dnssd"));
        c.assertFalse(scheme.value_or("").find("uuid") != std::string::npos, "the UUID must not survive");
    });

    h.test(suite, "a URI with no scheme yields nothing rather than nonsense", [](TestHarness::Context& c) {
        c.assertTrue(!CupsQueueProbe::scheme("no-scheme-here"));
        c.assertTrue(!CupsQueueProbe::scheme(":leading"));
    });

    h.test(suite, "encodes to the keys the server allow-lists", [](TestHarness::Context& c) {
        const CupsQueueProbe probe{"Zebra_ZT230", "Zebra ZPL Label Printer", "usb", true, false, 7, 950400};
        const auto text = jsonText(probe);
        if (text.empty()) c.record("the probe must encode");
        for (const std::string key :
             {"queue_name", "driver", "device_uri_scheme", "accepting", "stopped", "queued", "oldest_queued_seconds"}) {
            c.assertTrue(text.find("\"" + key + "\"") != std::string::npos, "missing key: " + key);
        }
    });

    h.test(suite, "carries no job titles", [](TestHarness::Context& c) {
        const CupsQueueProbe probe{"Zebra_ZT230", std::nullopt, std::nullopt, true, false, 7, 60};
        const auto text = jsonText(probe);
        if (text.empty()) c.record("the probe must encode");
        const auto lowered = Text::lowercased(text);
        c.assertTrue(lowered.find("title") == std::string::npos);
        c.assertTrue(lowered.find("job_name") == std::string::npos);
    });

    h.test(suite, "survives the reachability rebuild", [](TestHarness::Context& c) {
        const CupsQueueProbe survivor{"Zebra_ZT230", std::nullopt, std::nullopt, true, false, 7, std::nullopt};
        const ReportedPrinter printer{"cups:Zebra_ZT230",
                                      "Zebra ZT230",
                                      PrinterTransport::cups,
                                      PrinterLanguage::zpl,
                                      std::nullopt,
                                      std::nullopt,
                                      "online",
                                      std::nullopt,
                                      true,
                                      survivor};
        const auto rebuilt = ReachabilityProbe::applying(printer, ReachabilityProbe::Result{"online", std::nullopt});
        const auto queued = rebuilt.probe ? rebuilt.probe->queued : std::nullopt;
        c.assertEqual(queued, std::optional<std::int64_t>(7), "the probe must survive a rebuild");
    });

    h.test(suite, "reads whatever queues this machine has, without throwing", [](TestHarness::Context& c) {
        for (const auto& [queue, probe] : CupsQueueProbe::readAll(std::chrono::system_clock::now())) {
            c.assertEqual(probe.queueName, queue);
            c.assertTrue(!probe.queued || *probe.queued >= 0);
        }
    });

    h.test(suite, "an empty tray is a blocking fault", [](TestHarness::Context& c) {
        c.assertEqual(CupsQueueState::blockingFault(Reasons{"media-empty"}), Phrase("is out of paper"));
        c.assertEqual(CupsQueueState::blockingFault(Reasons{"media-needed"}), Phrase("needs paper loaded"));
        c.assertEqual(CupsQueueState::blockingFault(Reasons{"media-jam"}), Phrase("has a paper jam"));
    });

    h.test(suite, "a healthy printer reports no fault", [](TestHarness::Context& c) {
        c.assertTrue(!CupsQueueState::blockingFault(Reasons{}));
        c.assertTrue(!CupsQueueState::blockingFault(Reasons{"none"}));
    });

    h.test(suite, "an -error suffix still blocks", [](TestHarness::Context& c) {
        c.assertEqual(CupsQueueState::blockingFault(Reasons{"media-empty-error"}), Phrase("is out of paper"));
    });

    h.test(suite, "a warning does not block printing", [](TestHarness::Context& c) {
        c.assertTrue(!CupsQueueState::blockingFault(Reasons{"toner-low-warning"}));
        c.assertTrue(!CupsQueueState::blockingFault(Reasons{"media-low-report"}));
        c.assertTrue(!CupsQueueState::blockingFault(Reasons{"marker-supply-low-warning"}));
    });

    h.test(suite, "an unknown vendor reason does not block", [](TestHarness::Context& c) {
        c.assertTrue(!CupsQueueState::blockingFault(Reasons{"com-vendor-something"}));
    });

    h.test(suite, "the first blocking reason wins over later ones", [](TestHarness::Context& c) {
        c.assertEqual(CupsQueueState::blockingFault(Reasons{"toner-low-warning", "cover-open", "media-empty"}),
                      Phrase("has a cover open"));
    });

    h.test(suite, "a terminal job state is recognised", [](TestHarness::Context& c) {
        // The IPP job states that end a job, and the first one past them that does not exist.
        using State = std::optional<CupsJobWatcher::JobState>;
        c.assertEqual(CupsJobWatcher::jobState(7), State(CupsJobWatcher::JobState::cancelled));
        c.assertEqual(CupsJobWatcher::jobState(8), State(CupsJobWatcher::JobState::aborted));
        c.assertEqual(CupsJobWatcher::jobState(9), State(CupsJobWatcher::JobState::completed));
        c.assertNil(CupsJobWatcher::jobState(10));
    });
}

} // namespace varnel::SelfTest
