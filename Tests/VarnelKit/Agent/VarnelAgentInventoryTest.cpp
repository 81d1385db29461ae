// The printer inventory: the merge of discovered and assigned printers, the fallback when the
// server cannot be asked, publishing, and the status check that re-probes the kept list.
#include "AgentFixture.hpp"

#include <arpa/inet.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace varnel::testing {
namespace {

// A loopback port that accepts connections (the kernel completes them from the backlog) until
// closed; afterwards connections to it are refused.
class ListeningPort {
public:
    ListeningPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 16) != 0)
            throw std::runtime_error("cannot listen on loopback");
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~ListeningPort() { close(); }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

ReportedPrinter printer(std::string key, PrinterTransport transport, std::string name = "Printer",
                        std::optional<std::string> address = std::nullopt) {
    return ReportedPrinter{std::move(key), std::move(name), transport, PrinterLanguage::zpl, std::move(address),
                           std::nullopt, "online", std::nullopt, std::nullopt, std::nullopt};
}

ReportedPrinter networkPrinter(const std::string& address, std::string status = "online") {
    auto p = printer("net:" + address, PrinterTransport::network, "Shipping", address);
    p.status = std::move(status);
    return p;
}

std::vector<std::string> keys(const std::vector<ReportedPrinter>& printers) {
    std::vector<std::string> out;
    for (const auto& p : printers)
        out.push_back(p.key);
    return out;
}

TEST(VarnelAgentMerge, DiscoveredFirstThenAssignedWithANewKey) {
    using T = PrinterTransport;
    const auto a = printer("cups:A", T::cups, "Discovered A");
    const auto b = printer("cups:B", T::cups);
    const auto c = printer("net:10.0.0.3", T::network);
    const auto d = printer("usb:D", T::usb);
    const auto assignedA = printer("cups:A", T::cups, "Assigned A", "10.9.9.9");
    struct Case {
        const char* name;
        std::vector<ReportedPrinter> discovered;
        std::vector<ReportedPrinter> assigned;
        std::vector<std::string> merged;
    };
    const std::vector<Case> cases = {
        {"interleaved", {a, b}, {c, assignedA, d}, {"cups:A", "cups:B", "net:10.0.0.3", "usb:D"}},
        {"nothing", {}, {}, {}},
        {"only assigned", {}, {c, d}, {"net:10.0.0.3", "usb:D"}},
        {"only discovered", {a, b}, {}, {"cups:A", "cups:B"}},
        // The set of discovered keys does not grow while the assigned ones are walked.
        {"repeated assigned key", {a}, {c, c}, {"cups:A", "net:10.0.0.3", "net:10.0.0.3"}},
        {"repeated discovered key", {a, a}, {assignedA}, {"cups:A", "cups:A"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(keys(VarnelAgent::merge(testCase.discovered, testCase.assigned)), testCase.merged);
    }
    // The discovered record wins whole: nothing of the assigned one is merged in.
    const auto merged = VarnelAgent::merge({a}, {assignedA});
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged.front(), a);
}

class VarnelAgentInventoryTest : public AgentFixture {
protected:
    static Outcome assignment(const std::vector<ReportedPrinter>& printers) {
        return ok(json::dump(PrinterSyncRequest{printers}.toJson()));
    }
    void assign(const std::vector<ReportedPrinter>& printers) {
        script(printersRoute, {assignment(printers)});
    }
    // The keys of every list sent to the server, in order.
    std::vector<std::vector<std::string>> synced() {
        return onLoop([this] {
            std::vector<std::vector<std::string>> lists;
            for (const auto& request : http->requests(syncRoute))
                lists.push_back(keys(PrinterSyncRequest::fromJson(json::parse(request.body.value_or(""))).printers));
            return lists;
        });
    }
    std::vector<ReportedPrinter> printersOf(const std::shared_ptr<VarnelAgent>& agent) {
        return onLoop([agent] { return agent->printers(); });
    }
    std::size_t queueReads() const {
        std::size_t count = 0;
        for (const auto& call : cups->calls())
            count += call.what == "destinations" ? 1 : 0;
        return count;
    }
    // Runs the status loop alone, fast, until `done` holds, then stops it.
    void runStatusChecks(const std::shared_ptr<VarnelAgent>& agent, const std::function<bool()>& done) {
        run(agent->startForTesting());
        EXPECT_TRUE(waitFor(done));
        run(agent->stop());
    }
    static Timings fastStatusChecks() {
        auto timings = quiet();
        timings.printerStatusCheck = 5ms;
        return timings;
    }
};

TEST_F(VarnelAgentInventoryTest, ARescanPublishesTheProbedListInOrder) {
    ListeningPort closed;
    closed.close();
    cups->addQueue("Zebra", {{"printer-state-message", "Ready"}});
    cups->addQueue("Paused", {{"printer-state", "5"}, {"printer-state-message", "Paused by the user"}});
    assign({networkPrinter(closed.address()), printer("cups:Zebra", PrinterTransport::cups, "Server's Zebra")});
    const auto agent = makeAgent();
    run(agent->rescanPrinters());

    const std::vector<std::string> expected = {"cups:Zebra", "cups:Paused", "net:" + closed.address()};
    EXPECT_EQ(synced(), std::vector<std::vector<std::string>>{expected});
    const auto kept = printersOf(agent);
    EXPECT_EQ(keys(kept), expected);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].name, "Zebra");
    EXPECT_EQ(kept[0].status, "online");
    EXPECT_EQ(kept[1].status, "error");
    EXPECT_EQ(kept[1].statusMessage, std::optional<std::string>("Paused by the user"));
    EXPECT_EQ(kept[2].status, "offline");
    EXPECT_EQ(kept[2].statusMessage, std::optional<std::string>("No response from " + closed.address()));
    EXPECT_EQ(countExact("[INFO] Reported 3 printer(s), 1 online"), 1u);
}

TEST_F(VarnelAgentInventoryTest, NoPrintersPublishesAnEmptyList) {
    const auto agent = makeAgent();
    run(agent->rescanPrinters());
    EXPECT_EQ(synced(), std::vector<std::vector<std::string>>{{}});
    EXPECT_EQ(countExact("[INFO] Reported 0 printer(s), 0 online"), 1u);
    const auto body = http->requests(syncRoute).at(0).body.value_or("");
    EXPECT_EQ(json::parse(body), json::parse(R"({"printers":[]})"));
}

TEST_F(VarnelAgentInventoryTest, AFailedSyncKeepsTheNewListAndIsNotRetried) {
    cups->addQueue("Zebra");
    script(syncRoute, {status(500, "down")});
    const auto agent = makeAgent();
    run(agent->rescanPrinters());
    EXPECT_EQ(countExact("[ERROR] Printer sync failed: " + VarnelAPIClient::APIError::http(500, "down").description()),
              1u);
    EXPECT_EQ(countContaining("Reported "), 0u);
    EXPECT_EQ(keys(printersOf(agent)), std::vector<std::string>{"cups:Zebra"});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(requests(syncRoute), 1u);
}

TEST_F(VarnelAgentInventoryTest, TheListIsKeptBeforeItIsSent) {
    cups->addQueue("Zebra");
    const auto agent = makeAgent();
    const auto gate = http->hold(syncRoute);
    auto done = boost::asio::co_spawn(loop.loop().context(), agent->rescanPrinters(), boost::asio::use_future);
    ASSERT_TRUE(waitForRequests(syncRoute, 1));
    EXPECT_EQ(keys(printersOf(agent)), std::vector<std::string>{"cups:Zebra"});
    EXPECT_EQ(countContaining("Reported "), 0u);
    gate->open();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(countExact("[INFO] Reported 1 printer(s), 1 online"), 1u);
}

TEST_F(VarnelAgentInventoryTest, UnreachableServerFallsBackToTheLastNetworkPrinters) {
    ListeningPort shipping;
    cups->addQueue("Zebra");
    // The server answers once, then cannot be reached.
    script(printersRoute, {assignment({networkPrinter(shipping.address(), "offline"),
                                       printer("cups:Lab", PrinterTransport::cups),
                                       printer("usb:Desk", PrinterTransport::usb)}),
                           status(503, "later")});
    const auto agent = makeAgent();
    run(agent->rescanPrinters());
    const std::vector<std::string> full = {"cups:Zebra", "net:" + shipping.address(), "cups:Lab", "usb:Desk"};
    ASSERT_EQ(keys(printersOf(agent)), full);
    EXPECT_EQ(printersOf(agent)[1].status, "online");

    // Only the network printers carry over; the others come back when the server answers.
    shipping.close();
    run(agent->rescanPrinters());
    const std::vector<std::string> fallback = {"cups:Zebra", "net:" + shipping.address()};
    EXPECT_EQ(keys(printersOf(agent)), fallback);
    EXPECT_EQ(printersOf(agent)[1].status, "offline");
    EXPECT_EQ(countExact("[DEBUG] Could not fetch assigned printers: " +
                         VarnelAPIClient::APIError::http(503, "later").description()),
              1u);
    EXPECT_EQ(synced(), (std::vector<std::vector<std::string>>{full, fallback}));
}

TEST_F(VarnelAgentInventoryTest, AFailureOnTheFirstRescanPublishesOnlyTheDiscoveredPrinters) {
    cups->addQueue("Zebra");
    script(printersRoute, {status(401)});
    const auto agent = makeAgent();
    run(agent->rescanPrinters());
    EXPECT_EQ(keys(printersOf(agent)), std::vector<std::string>{"cups:Zebra"});
    EXPECT_EQ(countContaining("[DEBUG] Could not fetch assigned printers: "), 1u);
    // A refused credential here is no reason to stop: only the heartbeat decides that.
    EXPECT_EQ(status(agent), Status::connecting());
}

// libcups blocks until the scheduler answers; on the loop it would stall every connection.
TEST_F(VarnelAgentInventoryTest, DiscoveryAndQueueChecksRunOffTheLoop) {
    class RecordingCups final : public CupsApi {
    public:
        explicit RecordingCups(std::shared_ptr<FakeCupsApi> inner) : inner_(std::move(inner)) {}
        std::vector<std::thread::id> threads() const {
            std::lock_guard guard(lock_);
            return threads_;
        }
        std::vector<CupsDestination> destinations() override {
            note();
            return inner_->destinations();
        }
        CupsJobListing jobs(const std::optional<std::string>& queue, WhichJobs which) override {
            note();
            return inner_->jobs(queue, which);
        }
        CupsJobRef createJob(const std::string& q, const std::string& t,
                             const std::vector<std::pair<std::string, std::string>>& o) override {
            return inner_->createJob(q, t, o);
        }
        int startDocument(const std::string& q, std::int32_t id, const std::string& n, const std::string& m) override {
            return inner_->startDocument(q, id, n, m);
        }
        int writeRequestData(const std::uint8_t* d, std::size_t n) override { return inner_->writeRequestData(d, n); }
        int sendClosingChunk() override { return inner_->sendClosingChunk(); }
        std::optional<int> readDocumentAnswer(const std::string& q) override { return inner_->readDocumentAnswer(q); }
        bool cancelJob(const std::string& q, const CupsJobRef& job) override { return inner_->cancelJob(q, job); }
        std::optional<std::string> lastErrorString() override { return inner_->lastErrorString(); }

    private:
        void note() {
            std::lock_guard guard(lock_);
            threads_.push_back(std::this_thread::get_id());
        }
        std::shared_ptr<FakeCupsApi> inner_;
        mutable std::mutex lock_;
        std::vector<std::thread::id> threads_;
    };
    cups->addQueue("Zebra");
    const auto recording = std::make_shared<RecordingCups>(cups);
    auto agentOptions = options();
    agentOptions.cups = recording;
    const auto agent = makeAgent(quiet(), agentOptions);
    run(agent->rescanPrinters());
    const auto loopThread = onLoop([] { return std::this_thread::get_id(); });
    const auto threads = recording->threads();
    ASSERT_GE(threads.size(), 2u); // the discovery and the queue's probe
    for (const auto& id : threads)
        EXPECT_NE(id, loopThread);
}

TEST_F(VarnelAgentInventoryTest, AStatusCheckThatFindsNothingNewSendsNothing) {
    cups->addQueue("Zebra", {{"printer-state-message", "Ready"}});
    const auto agent = makeAgent(fastStatusChecks());
    run(agent->rescanPrinters());
    const auto before = queueReads();
    runStatusChecks(agent, [&] { return queueReads() >= before + 3; });
    EXPECT_EQ(requests(syncRoute), 1u);
    EXPECT_EQ(countContaining("Reported "), 1u);
    EXPECT_EQ(countContaining("[INFO] Printer "), 0u);
    EXPECT_EQ(printersOf(agent).at(0).statusMessage, std::optional<std::string>("Ready"));
}

TEST_F(VarnelAgentInventoryTest, AStatusCheckWithAnEmptyListProbesNothing) {
    const auto agent = makeAgent(fastStatusChecks());
    run(agent->startForTesting());
    std::this_thread::sleep_for(40ms);
    run(agent->stop());
    EXPECT_TRUE(cups->calls().empty());
    EXPECT_TRUE(http->requests().empty());
}

TEST_F(VarnelAgentInventoryTest, AChangedMessageAlonePublishesWithoutAChangeLine) {
    cups->addQueue("Zebra", {{"printer-state-message", "Ready"}});
    const auto agent = makeAgent(fastStatusChecks());
    run(agent->rescanPrinters());
    // Changed while nothing reads it: no loop runs yet.
    cups->dests.front().options = {{"printer-state-message", "Low on labels"}};
    runStatusChecks(agent, [&] { return http->count(syncRoute) >= 2; });
    EXPECT_EQ(requests(syncRoute), 2u);
    EXPECT_EQ(countExact("[INFO] Reported 1 printer(s), 1 online"), 2u);
    EXPECT_EQ(countContaining("[INFO] Printer "), 0u);
    EXPECT_EQ(printersOf(agent).at(0).statusMessage, std::optional<std::string>("Low on labels"));
}

TEST_F(VarnelAgentInventoryTest, AChangedStatusIsLoggedAndPublished) {
    ListeningPort shipping;
    cups->addQueue("Zebra", {{"printer-state-message", "Ready"}});
    assign({networkPrinter(shipping.address())});
    const auto agent = makeAgent(fastStatusChecks());
    run(agent->rescanPrinters());
    ASSERT_EQ(printersOf(agent).at(1).status, "online");
    cups->dests.front().options = {{"printer-state", "5"}, {"printer-state-message", "Paused"}};
    shipping.close();
    runStatusChecks(agent, [&] { return http->count(syncRoute) >= 2; });
    EXPECT_EQ(countExact("[INFO] Printer cups:Zebra: online -> error (Paused)"), 1u);
    EXPECT_EQ(countExact("[INFO] Printer net:" + shipping.address() + ": online -> offline (No response from " +
                         shipping.address() + ")"),
              1u);
    EXPECT_EQ(countExact("[INFO] Reported 2 printer(s), 0 online"), 1u);
    // Published once: the passes after it find nothing new.
    EXPECT_EQ(requests(syncRoute), 2u);
}

// A rescan that publishes while a status check probes makes that check's results stale.
TEST_F(VarnelAgentInventoryTest, AStatusCheckIsDiscardedWhenTheListChangedMeanwhile) {
    const std::string dnssd = "dnssd://Label%20Maker._pdl-datastream._tcp.local./";
    struct Case {
        const char* name;
        std::vector<std::string> queuesBefore;
        std::vector<std::string> queuesAfter;
    };
    const std::vector<Case> cases = {
        {"other keys", {"Bonjour"}, {"Bonjour", "Zebra"}},
        {"same keys, other order", {"Bonjour", "Zebra"}, {"Zebra", "Bonjour"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto setQueues = [&](const std::vector<std::string>& names) {
            cups->dests.clear();
            for (const auto& name : names) {
                cups->addQueue(name, name == "Bonjour" ? std::vector<CupsOption>{{"device-uri", dnssd}}
                                                       : std::vector<CupsOption>{});
            }
        };
        setQueues(c.queuesBefore);
        const auto agent = makeAgent(fastStatusChecks());
        run(agent->rescanPrinters());
        const auto syncsBefore = requests(syncRoute);
        const auto linesBefore = countContaining("discarding this pass");

        // The next DNS-SD check, the status check's, waits until the rescan has published.
        const auto gate = onLoop([this] { return std::make_shared<AsyncEvent>(loop.loop().executor()); });
        onLoop([this, gate] { bonjour->holdNext = gate; });
        setQueues(c.queuesAfter);
        run(agent->startForTesting());
        ASSERT_TRUE(waitFor([this] { return bonjour->holding; }));
        run(agent->rescanPrinters());
        onLoop([gate] { gate->set(); });

        EXPECT_TRUE(waitFor([&] { return countContaining("discarding this pass") > linesBefore; }));
        run(agent->stop());
        EXPECT_EQ(countExact("[DEBUG] Printer list changed while probing; discarding this pass"), linesBefore + 1);
        std::vector<std::string> expected;
        for (const auto& name : c.queuesAfter)
            expected.push_back("cups:" + name);
        EXPECT_EQ(keys(printersOf(agent)), expected);
        EXPECT_EQ(requests(syncRoute), syncsBefore + 1);
    }
}

TEST_F(VarnelAgentInventoryTest, TheLoopsRescanAndCheckOnTheirIntervals) {
    cups->addQueue("Zebra");
    auto timings = quiet();
    timings.printerRescan = 30ms;
    const auto agent = makeAgent(timings);
    run(agent->startForTesting());
    // Not at once: the first pass comes one interval after the start.
    EXPECT_EQ(requests(printersRoute), 0u);
    EXPECT_TRUE(waitForRequests(printersRoute, 3));
    run(agent->stop());
    const auto after = requests(printersRoute);
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(requests(printersRoute), after);
}

} // namespace
} // namespace varnel::testing
