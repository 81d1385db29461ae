#include "VarnelKit/Transport/GTestPrinters.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include "FakeCupsApi.hpp"
#include "LoopbackListener.hpp"
#include "VarnelKit/SlowNameLookup.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/TestSupport.hpp"
#include "VarnelKit/Transport/BonjourResolver.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

namespace varnel {

namespace {

using namespace std::chrono_literals;
using testing::FakeCupsApi;
using Result = ReachabilityProbe::Result;

// Answers Bonjour attempts from a list of names that "advertise", and records each attempt.
class FakeServiceResolver final : public ServiceResolving {
public:
    std::set<std::string> advertised; // "name|type"

    Awaitable<bool> resolve(std::string serviceName, std::string type, std::chrono::steady_clock::duration) override {
        std::lock_guard guard(lock_);
        attempts_.push_back(serviceName + "|" + type);
        co_return advertised.contains(serviceName + "|" + type);
    }
    std::vector<std::string> attempts() const {
        std::lock_guard guard(lock_);
        return attempts_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> attempts_;
};

ReportedPrinter printer(std::string key, PrinterTransport transport, std::optional<std::string> address = {},
                        std::string name = "Front desk") {
    return ReportedPrinter{std::move(key), std::move(name), transport,    PrinterLanguage::zpl, std::move(address),
                           std::nullopt,   "online",        std::nullopt, std::nullopt,         std::nullopt};
}

class ReachabilityProbeTest : public ::testing::Test {
protected:
    Result probeQueue(std::vector<CupsOption> options, std::string key = "cups:Q") {
        api->dests.clear();
        api->addQueue("Q", std::move(options));
        return loop.run(probe.probe(printer(std::move(key), PrinterTransport::cups)));
    }

    testing::LoopFixture loop;
    std::shared_ptr<FakeCupsApi> api = std::make_shared<FakeCupsApi>();
    std::shared_ptr<FakeServiceResolver> bonjour = std::make_shared<FakeServiceResolver>();
    ReachabilityProbe probe{300ms, api, bonjour};
};

TEST_F(ReachabilityProbeTest, TheCupsPathDecidesAtTheFirstStepThatApplies) {
    const std::string closed = "socket://127.0.0.1:" + std::to_string(testing::closedLoopbackPort());
    const std::vector<std::pair<std::vector<CupsOption>, Result>> cases = {
        {{{"printer-state", "5"}, {"printer-state-message", "Paused"}}, {"error", "Paused"}},
        {{{"printer-state", "5"}, {"printer-is-accepting-jobs", "false"}}, {"error", "Queue is stopped"}},
        {{{"printer-is-accepting-jobs", "false"}, {"printer-state-message", "Not now"}}, {"error", "Not now"}},
        {{{"printer-is-accepting-jobs", "false"}}, {"error", "Queue is not accepting jobs"}},
        {{{"printer-state-reasons", "media-empty-error"}, {"printer-state-message", "Not connected"}},
         {"error", "Front desk is out of paper"}},
        {{{"printer-state-message", "NOT CONNECTED"}, {"device-uri", "usb://x"}}, {"offline", "NOT CONNECTED"}},
        {{{"printer-state-message", "Waiting for printer to become available."}},
         {"offline", "Waiting for printer to become available."}},
        {{}, {"online", std::nullopt}},
        {{{"printer-state-message", "Ready"}}, {"online", "Ready"}},
        {{{"device-uri", ""}}, {"online", std::nullopt}},
        {{{"device-uri", "usb://Zebra/ZT230"}, {"printer-state-message", "Ready"}}, {"online", "Ready"}},
        {{{"device-uri", "file:///dev/null"}}, {"online", std::nullopt}},
        {{{"device-uri", "cups-pdf:/"}}, {"online", std::nullopt}},
        {{{"device-uri", "smb://server/q"}}, {"online", std::nullopt}},
        {{{"device-uri", closed}}, {"offline", "No response from 127.0.0.1"}},
        {{{"device-uri", "socket://127.0.0.1:70000"}}, {"error", "Invalid port 70000"}},
        {{{"device-uri", "ipp://127.0.0.1:65536/ipp/print"}}, {"error", "Invalid port 65536"}},
        {{{"device-uri", "dnssd://Nobody._ipp._tcp.local./"}}, {"offline", "Not advertising on the network"}},
    };
    for (const auto& [options, expected] : cases) {
        std::string shown;
        for (const auto& option : options) shown += *option.name + "=" + *option.value + " ";
        EXPECT_EQ(probeQueue(options), expected) << shown;
    }
}

TEST_F(ReachabilityProbeTest, ReachableEndpointsKeepTheQueueMessage) {
    testing::LoopbackListener listener;
    EXPECT_EQ(probeQueue({{"device-uri", "socket://127.0.0.1:" + std::to_string(listener.port())},
                          {"printer-state-message", "Ready"}}),
              (Result{"online", "Ready"}));
    bonjour->advertised.insert("Front Desk|_pdl-datastream._tcp.");
    EXPECT_EQ(probeQueue({{"device-uri", "dnssd://Front%20Desk._pdl-datastream._tcp.local./"}}),
              (Result{"online", std::nullopt}));
}

TEST_F(ReachabilityProbeTest, QueuesAreLookedUpByTheKeyWithoutItsPrefix) {
    EXPECT_EQ(loop.run(probe.probe(printer("cups:Gone", PrinterTransport::cups))),
              (Result{"offline", "Queue no longer exists on this Mac"}));
    // A USB printer is looked up under its whole key.
    EXPECT_EQ(loop.run(probe.probe(printer("usb:0922:0028", PrinterTransport::usb))).status, "offline");
    EXPECT_EQ(probeQueue({}, "Q"), (Result{"online", std::nullopt}));
}

TEST_F(ReachabilityProbeTest, NetworkPrintersGetATcpCheck) {
    testing::LoopbackListener listener;
    const auto open = "127.0.0.1:" + std::to_string(listener.port());
    EXPECT_EQ(loop.run(probe.probe(printer("net:" + open, PrinterTransport::network, open))),
              (Result{"online", std::nullopt}));
    const auto closed = "127.0.0.1:" + std::to_string(testing::closedLoopbackPort());
    EXPECT_EQ(loop.run(probe.probe(printer("net:" + closed, PrinterTransport::network, closed))),
              (Result{"offline", "No response from " + closed}));
    for (const auto& address : {std::optional<std::string>(), std::optional<std::string>(":")}) {
        EXPECT_EQ(loop.run(probe.probe(printer("net:", PrinterTransport::network, address))),
                  (Result{"error", "No address configured"}));
    }
    // A port that names no TCP port is a fault of the set-up, not a printer that is off.
    for (const std::string port : {"65536", "-1"}) {
        const auto address = "127.0.0.1:" + port;
        EXPECT_EQ(loop.run(probe.probe(printer("net:" + address, PrinterTransport::network, address))),
                  (Result{"error", "Invalid port " + port}));
    }
    EXPECT_TRUE(api->calls().empty());
}

TEST_F(ReachabilityProbeTest, ProbeAllKeepsOrderAndOldMessages) {
    testing::LoopbackListener listener;
    const auto open = "127.0.0.1:" + std::to_string(listener.port());
    auto recovered = printer("net:" + open, PrinterTransport::network, open, "A");
    recovered.status = "offline";
    recovered.statusMessage = "No response from " + open;
    recovered.probe = CupsQueueProbe{"x", {}, {}, true, false, 3, {}};
    api->addQueue("Q", {{"printer-state", "5"}});
    const std::vector<ReportedPrinter> input = {recovered, printer("cups:Q", PrinterTransport::cups, {}, "B"),
                                                printer("net:", PrinterTransport::network, {}, "C")};
    const auto output = loop.run(probe.probeAll(input));
    ASSERT_EQ(output.size(), 3u);
    EXPECT_EQ(output[0].status, "online");
    EXPECT_EQ(output[0].statusMessage, recovered.statusMessage); // online without a message keeps the old one
    EXPECT_EQ(output[0].probe, recovered.probe);
    EXPECT_EQ(output[1].name, "B");
    EXPECT_EQ(output[1].status, "error");
    EXPECT_EQ(output[1].statusMessage, std::optional<std::string>("Queue is stopped"));
    EXPECT_EQ(output[2].statusMessage, std::optional<std::string>("No address configured"));
    EXPECT_TRUE(loop.run(probe.probeAll({})).empty());
}

TEST_F(ReachabilityProbeTest, AHungNameLookupMakesNoOtherPrinterLookUnreachable) {
    testing::LoopbackListener listener;
    const auto hung = testing::slowHostName(5s) + ":9100";
    const auto named = "localhost:" + std::to_string(listener.port());
    const auto reachable = printer("net:" + named, PrinterTransport::network, named, "B");
    const auto start = std::chrono::steady_clock::now();
    const auto output =
        loop.run(probe.probeAll({printer("net:" + hung, PrinterTransport::network, hung, "A"), reachable}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 700ms);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_EQ(output[0].status, "offline");
    EXPECT_EQ(output[1].status, "online");
    // Again while the first lookup still hangs.
    EXPECT_EQ(loop.run(probe.probe(reachable)), (Result{"online", std::nullopt}));
}

// Probes one printer as part of a list, then alone; records what each gave.
Awaitable<void> probeTwice(const ReachabilityProbe& probe, ReportedPrinter unknown,
                           std::shared_ptr<std::vector<ReportedPrinter>> listed, std::shared_ptr<std::string> alone) {
    std::vector<ReportedPrinter> printers{unknown};
    *listed = co_await probe.probeAll(std::move(printers));
    try {
        *alone = describe(co_await probe.probe(std::move(unknown)));
    } catch (const OperationCancelled&) {
        *alone = "cancelled";
    }
}

TEST_F(ReachabilityProbeTest, AStoppedProbeReportsNoFinding) {
    const auto hung = testing::slowHostName(5s) + ":9100";
    const ReachabilityProbe patient(5s, api, bonjour);
    const auto unknown = printer("net:" + hung, PrinterTransport::network, hung);
    auto listed = std::make_shared<std::vector<ReportedPrinter>>();
    auto alone = std::make_shared<std::string>("nothing");
    auto task = Task::spawn(loop.loop().executor(),
                            [&patient, unknown, listed, alone] { return probeTwice(patient, unknown, listed, alone); });
    std::this_thread::sleep_for(100ms);
    const auto cancelledAt = std::chrono::steady_clock::now();
    task->cancel();
    loop.run(task->join());
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 500ms);
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ(listed->front().status, "online"); // as it came in: a stop is no finding
    EXPECT_EQ(*alone, "cancelled");
}

// Probes that finish in reverse order still land in their own places.
class SlowResolver final : public ServiceResolving {
public:
    Awaitable<bool> resolve(std::string serviceName, std::string, std::chrono::steady_clock::duration) override {
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor,
                                        std::chrono::milliseconds(std::stoi(serviceName)));
        co_await timer.async_wait(boost::asio::use_awaitable);
        co_return serviceName == "10";
    }
};

TEST_F(ReachabilityProbeTest, ProbeAllRunsTheProbesTogether) {
    auto slow = std::make_shared<SlowResolver>();
    const ReachabilityProbe together(300ms, api, slow);
    std::vector<ReportedPrinter> input;
    for (const auto* delay : {"150", "80", "10"}) {
        const auto queue = std::string("Q") + delay;
        api->addQueue(queue, {{"device-uri", std::string("dnssd://") + delay + "._ipp._tcp.local./"}});
        input.push_back(printer("cups:" + queue, PrinterTransport::cups));
    }
    const auto start = std::chrono::steady_clock::now();
    const auto output = loop.run(together.probeAll(input));
    // Four attempts of 150 ms each for the slowest printer; run one after another it would be far longer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1100ms);
    ASSERT_EQ(output.size(), 3u);
    EXPECT_EQ(output[0].key, "cups:Q150");
    EXPECT_EQ(output[0].status, "offline");
    EXPECT_EQ(output[1].status, "offline");
    EXPECT_EQ(output[2].key, "cups:Q10");
    EXPECT_EQ(output[2].status, "online");
}

TEST(BonjourResolver, TriesEachServiceTypeInTurn) {
    testing::LoopFixture loop;
    auto fake = std::make_shared<FakeServiceResolver>();
    fake->advertised.insert("Desk|_printer._tcp.");
    EXPECT_TRUE(loop.run(BonjourResolver::resolves("Desk", 1s, fake)));
    EXPECT_EQ(fake->attempts(), (std::vector<std::string>{"Desk|_ipps._tcp.", "Desk|_ipp._tcp.",
                                                          "Desk|_pdl-datastream._tcp.", "Desk|_printer._tcp."}));

    auto first = std::make_shared<FakeServiceResolver>();
    first->advertised.insert("Desk|_ipps._tcp.");
    EXPECT_TRUE(loop.run(BonjourResolver::resolves("Desk", 1s, first)));
    EXPECT_EQ(first->attempts().size(), 1u);

    auto none = std::make_shared<FakeServiceResolver>();
    EXPECT_FALSE(loop.run(BonjourResolver::resolves("Desk", 1s, none)));
    EXPECT_EQ(none->attempts().size(), 4u);
}

TEST(BonjourResolver, NoDaemonMeansNotFoundAtOnce) {
    // A bus address where nothing listens: the client cannot start.
    const testing::ScopedEnvironment bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/varnel-test-bus");
    testing::LoopFixture loop;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.run(BonjourResolver::resolves("Front Desk", 2s)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

} // namespace
} // namespace varnel
