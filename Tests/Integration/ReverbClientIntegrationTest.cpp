// The real-time client over real WebSockets (Beast, ws and wss) against the bench's Pusher server,
// with the channel signature made by the server's own signing.
#include "Bench/PusherSigningTransport.hpp"
#include "Bench/PusherTestServer.hpp"
#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/Platform/BeastWebSocketConnector.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Kind = ReverbClient::Event::Kind;
using Event = ReverbClient::Event;

class ReverbClientIntegrationTest : public ::testing::Test {
protected:
    ReverbClientIntegrationTest() { loop.startThread(); }
    ~ReverbClientIntegrationTest() override {
        if (client)
            onLoop([this] { client->stop(); });
        std::this_thread::sleep_for(50ms);
    }

    template <class F> void onLoop(F body) {
        loop.blockOn([](F body) -> Awaitable<void> {
            body();
            co_return;
        }(std::move(body)));
    }

    ReverbClient::Options options(std::function<Awaitable<void>(ReverbClient::Seconds)> sleep = nullptr) {
        ReverbClient::Options options;
        options.connector = std::make_shared<BeastWebSocketConnector>(
            loop.executor(),
            BeastWebSocketConnector::Options{std::chrono::seconds(5), std::chrono::seconds(1)});
        options.backoffSleep = sleep ? std::move(sleep) : [](ReverbClient::Seconds) -> Awaitable<void> {
            // Short but real, so a reconnecting client never spins.
            (void)co_await sleepFor(10ms);
        };
        return options;
    }

    void start(ReverbSettings settings, ReverbClient::Options options) {
        client = ReverbClient::make(loop.executor(), std::move(settings), 7, api, logger, std::move(options));
        client->onEvent([this](Event event) -> Awaitable<void> {
            {
                std::lock_guard lock(mutex);
                events.push_back(event);
            }
            changed.notify_all();
            if (onEventHook)
                onEventHook(event);
            co_return;
        });
        onLoop([this] { client->start(); });
    }
    ReverbSettings plain() const {
        return ReverbSettings{server.options().key, "127.0.0.1", server.wsPort(), "http"};
    }

    bool waitForEvents(Kind kind, std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] {
            return static_cast<std::size_t>(std::count_if(
                       events.begin(), events.end(), [kind](const Event& e) { return e.kind == kind; })) >=
                   count;
        });
    }
    std::vector<Event> eventsSoFar() {
        std::lock_guard lock(mutex);
        return events;
    }
    bool waitForLine(const std::string& text, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!logger->contains(text)) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    std::size_t countLines(const std::string& text) const {
        const auto lines = logger->messages();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    PusherTestServer server;
    AgentLoop loop;
    std::shared_ptr<VarnelAPIClient> api = std::make_shared<VarnelAPIClient>(
        VarnelAPIClient::Configuration{*parseAbsoluteUrl("https://varnel.test"), "1.0.4"}, "device-token",
        std::make_shared<PusherSigningTransport>(server));
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<ReverbClient> client;
    std::function<void(const Event&)> onEventHook; // runs on the loop, inside the handler

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
};

TEST_F(ReverbClientIntegrationTest, SubscribesAndReceivesTriggeredEvents) {
    start(plain(), options());
    ASSERT_TRUE(waitForEvents(Kind::connected, 1));
    const auto seen = server.snapshot();
    ASSERT_EQ(seen.requestTargets.size(), 1u);
    EXPECT_EQ(seen.requestTargets[0], "/app/varnel-test-key?protocol=7&client=varnel-agent&version=1.0.4");
    ASSERT_EQ(seen.subscriptions.size(), 1u);
    EXPECT_EQ(seen.subscriptions[0].channel, "private-device.7");
    EXPECT_TRUE(seen.subscriptions[0].accepted) << "the server accepted the signature";
    EXPECT_TRUE(
        logger->contains("[INFO] Reverb connecting to ws://127.0.0.1:" + std::to_string(server.wsPort()) +
                         "/app/varnel-test-key?protocol=7&client=varnel-agent&version=1.0.4"));
    EXPECT_TRUE(logger->contains("[DEBUG] Reverb socket id " + seen.socketIds.at(0)));

    server.trigger("private-device.7", "job.created", R"({"job_id":8814})");
    server.trigger("private-device.7", "job.cancelled", R"({"job_id":"8815"})");
    server.trigger("private-device.8", "job.created", R"({"job_id":1})"); // another device's channel
    server.trigger("private-device.7", "printers.rescan", "{}");
    ASSERT_TRUE(waitForEvents(Kind::printersRescanRequested, 1));
    const auto received = eventsSoFar();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[1].kind, Kind::jobCreated);
    EXPECT_EQ(received[1].jobId, 8814);
    EXPECT_EQ(received[2].kind, Kind::jobCancelled);
    EXPECT_EQ(received[2].jobId, 8815);
}

// The agent's answer to "device.reconnect" with no delay: stop and start from inside the handler.
TEST_F(ReverbClientIntegrationTest, AReconnectRequestRestartsOntoOneConnection) {
    onEventHook = [this](const Event& event) {
        if (event.kind != Kind::reconnectRequested)
            return;
        client->stop();
        client->start();
    };
    start(plain(), options());
    ASSERT_TRUE(waitForEvents(Kind::connected, 1));
    server.trigger("private-device.7", "device.reconnect", R"({"after_ms":0})");
    ASSERT_TRUE(waitForEvents(Kind::connected, 2));
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.openSockets == 1; }, 5s));
    std::this_thread::sleep_for(300ms);
    const auto seen = server.snapshot();
    EXPECT_EQ(seen.connectionsAccepted, 2u);
    EXPECT_EQ(seen.openSockets, 1u);
    const auto received = eventsSoFar();
    EXPECT_EQ(received.at(1).kind, Kind::reconnectRequested);
    EXPECT_EQ(received.at(1).afterMilliseconds, 0);
    EXPECT_EQ(countLines("Live connection"), 0u) << "a requested restart is no failure";
}

TEST_F(ReverbClientIntegrationTest, OverTlsTrustingTheTestAuthorityOnly) {
    const ReverbSettings secure{server.options().key, "127.0.0.1", server.wssPort(), "https"};
    {
        ScopedEnvironment trust("SSL_CERT_FILE", PusherTestServer::caFile().string());
        start(secure, options());
        ASSERT_TRUE(waitForEvents(Kind::connected, 1));
        EXPECT_TRUE(
            logger->contains("Reverb connecting to wss://127.0.0.1:" + std::to_string(server.wssPort())));
        onLoop([this] { client->stop(); });
    }
    {
        std::lock_guard lock(mutex);
        events.clear();
    }
    ScopedEnvironment untrusted("SSL_CERT_FILE", "/nonexistent/ca.pem");
    ScopedEnvironment noDirectory("SSL_CERT_DIR", "/nonexistent");
    start(secure, options([this](ReverbClient::Seconds) -> Awaitable<void> {
              client->stop();
              co_return;
          }));
    ASSERT_TRUE(waitForEvents(Kind::disconnected, 1));
    EXPECT_EQ(eventsSoFar()[0].reason,
              "An SSL error has occurred and a secure connection to the server cannot be made.");
    EXPECT_EQ(server.snapshot().connectionsAccepted, 1u);
}

TEST_F(ReverbClientIntegrationTest, LogsTheBackoffTiersAgainstARefusedPort) {
    unsigned short refusedPort = 0;
    {
        boost::asio::io_context context;
        boost::asio::ip::tcp::acceptor probe(context, {boost::asio::ip::make_address("127.0.0.1"), 0});
        refusedPort = probe.local_endpoint().port();
    }
    int attempts = 0;
    start(ReverbSettings{"k", "127.0.0.1", refusedPort, "http"},
          options([this, &attempts](ReverbClient::Seconds) -> Awaitable<void> {
              if (++attempts == 7)
                  client->stop();
              co_return;
          }));
    ASSERT_TRUE(waitForEvents(Kind::disconnected, 7));
    std::this_thread::sleep_for(50ms);
    const std::string reason = "(Could not connect to the server.); next in ";
    EXPECT_EQ(
        countLines("[ERROR] Can't open a live connection to 127.0.0.1:" + std::to_string(refusedPort) +
                   ". Labels will still print, checked every 15 seconds rather than arriving the moment "
                   "they're sent."),
        1u);
    for (int n = 2; n <= 5; ++n)
        EXPECT_EQ(countLines("[DEBUG] Live connection retry " + std::to_string(n) + " failed " + reason), 1u);
    EXPECT_EQ(countLines("[DEBUG] Live connection still unavailable; retrying quietly from here."), 1u);
    EXPECT_EQ(countLines("Live connection"), 5u) << "nothing at all for the seventh";
    EXPECT_EQ(eventsSoFar().size(), 7u);
}

TEST_F(ReverbClientIntegrationTest, ASilentServerIsPingedClosedAndLeftForANewConnection) {
    server.setSilent(true);
    auto scaled = options();
    scaled.keepaliveInterval = 100ms;
    scaled.silenceLimit = 400ms;
    start(plain(), scaled);
    ASSERT_TRUE(waitForLine("[ERROR] Reverb silent for 0s; treating the socket as dead"));
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.connectionsAccepted >= 2; }, 5s));
    EXPECT_GE(server.snapshot().pingsReceived, 1u);
    EXPECT_EQ(server.snapshot().framesReceived.at(0), R"({"event":"pusher:ping","data":{}})");
    ASSERT_TRUE(waitForEvents(Kind::disconnected, 1));

    // The connection made while silent never had its welcome; a fresh one is subscribed.
    server.setSilent(false);
    server.dropAll();
    ASSERT_TRUE(waitForEvents(Kind::connected, 1)) << "the next connection that speaks is subscribed";
}

TEST_F(ReverbClientIntegrationTest, ADroppedSocketIsReportedAndReconnected) {
    start(plain(), options());
    ASSERT_TRUE(waitForEvents(Kind::connected, 1));
    server.dropAll();
    ASSERT_TRUE(waitForEvents(Kind::connected, 2));
    const auto received = eventsSoFar();
    EXPECT_EQ(received.at(1).kind, Kind::disconnected);
    EXPECT_EQ(received.at(1).reason, "The network connection was lost.");
    EXPECT_EQ(server.snapshot().connectionsAccepted, 2u);
}

TEST_F(ReverbClientIntegrationTest, ARefusedSubscriptionIsLoggedAndTheSocketKept) {
    server.setRefuseSubscriptions(true);
    start(plain(), options());
    ASSERT_TRUE(waitForLine("[ERROR] Reverb error: "));
    std::this_thread::sleep_for(200ms);
    const auto seen = server.snapshot();
    EXPECT_EQ(seen.connectionsAccepted, 1u);
    EXPECT_EQ(seen.openSockets, 1u);
    EXPECT_TRUE(eventsSoFar().empty());
}

TEST_F(ReverbClientIntegrationTest, AnHtmlPageWhereTheWebSocketShouldBeIsExplained) {
    server.setRefuseUpgrade(true);
    start(plain(), options([this](ReverbClient::Seconds) -> Awaitable<void> {
              client->stop();
              co_return;
          }));
    ASSERT_TRUE(waitForEvents(Kind::disconnected, 1));
    EXPECT_EQ(eventsSoFar()[0].reason,
              "HTTP -1: Expected a WebSocket at 127.0.0.1:" + std::to_string(server.wsPort()) +
                  " but got an HTML page. Is Reverb running, and is something else using "
                  "that port?");
    EXPECT_EQ(server.snapshot().upgradesRefused, 1u);
}

} // namespace
} // namespace varnel::testing
