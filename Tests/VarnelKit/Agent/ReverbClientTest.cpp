// The connection side of the real-time client: URL, back-off, the connect loop's life cycle and
// the keepalive, against fake sockets.
#include "ReverbClientFixture.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <cmath>
#include <set>

namespace varnel::testing {
namespace {

using APIError = VarnelAPIClient::APIError;

ReverbSettings endpoint(std::string scheme, std::string host = "rt.example.com", std::int64_t port = 443) {
    return ReverbSettings{"K", std::move(host), port, std::move(scheme)};
}

std::string urlOf(const ReverbSettings& settings) {
    AgentLoop loop;
    auto client = ReverbClient::make(loop.executor(), settings, 7, nullptr, nullptr);
    return std::string(client->socketURL().buffer());
}

TEST(ReverbClientURL, SchemeHostPortPathAndQuery) {
    const std::string query = "?protocol=7&client=varnel-agent&version=1.0.4";
    EXPECT_EQ(urlOf(endpoint("https")), "wss://rt.example.com:443/app/K" + query);
    EXPECT_EQ(urlOf(endpoint("wss")), "wss://rt.example.com:443/app/K" + query);
    for (const char* plain : {"http", "ws", "HTTPS", "WSS", ""}) {
        EXPECT_EQ(urlOf(endpoint(plain)), "ws://rt.example.com:443/app/K" + query) << plain;
    }
    EXPECT_EQ(urlOf(endpoint("http", "127.0.0.1", 80)), "ws://127.0.0.1:80/app/K" + query);
    EXPECT_EQ(urlOf(endpoint("http", "::1", 8080)), "ws://[::1]:8080/app/K" + query);
    EXPECT_EQ(urlOf(endpoint("https", "[2001:db8::5]", 6001)), "wss://[2001:db8::5]:6001/app/K" + query);
    // A key cannot add path segments of its own.
    EXPECT_EQ(urlOf(ReverbSettings{"a/b", "h", 1, "ws"}), "ws://h:1/app/a%2Fb" + query);

    AgentLoop loop;
    EXPECT_EQ(ReverbClient::make(loop.executor(), endpoint("ws"), 7, nullptr, nullptr)->channelName(),
              "private-device.7");
}

TEST(ReverbClientURL, SettingsThatFormNoURLAreRefused) {
    AgentLoop loop;
    for (const auto& settings : {endpoint("ws", ""), endpoint("ws", "bad host"), endpoint("ws", "h", -1),
                                 endpoint("ws", "h", 65536), endpoint("ws", "[not-v6]")}) {
        auto client = ReverbClient::make(loop.executor(), settings, 7, nullptr, nullptr);
        const auto error = thrownBy<APIError>([&] { (void)client->socketURL(); });
        ASSERT_TRUE(error) << settings.host;
        EXPECT_EQ(error->kind(), APIError::Kind::http);
        EXPECT_EQ(error->status(), -1);
        EXPECT_EQ(error->body(), "Invalid Reverb URL");
    }
}

TEST(ReverbClientBackoff, DoublesFromAQuarterSecondAndCapsAtSixtyWithJitter) {
    for (std::int64_t attempt = 1; attempt <= 12; ++attempt) {
        const double base = std::min(0.25 * std::pow(2.0, static_cast<double>(attempt - 1)), 60.0);
        for (int draw = 0; draw < 200; ++draw) {
            const double delay = ReverbClient::reconnectDelay(attempt);
            ASSERT_GE(delay, base) << attempt;
            ASSERT_LE(delay, base + 0.3) << attempt;
        }
    }
    for (const std::int64_t attempt : {std::int64_t{1000}, std::int64_t{1} << 40, std::int64_t{INT64_MAX}}) {
        const double delay = ReverbClient::reconnectDelay(attempt);
        EXPECT_TRUE(std::isfinite(delay));
        EXPECT_GE(delay, 60.0);
        EXPECT_LE(delay, 60.3);
    }
    std::set<double> draws;
    for (int draw = 0; draw < 20; ++draw)
        draws.insert(ReverbClient::reconnectDelay(3));
    EXPECT_GT(draws.size(), 10u) << "the jitter should be drawn afresh on every call";
}

class ReverbClientLoopTest : public ReverbClientFixture {
protected:
    // One attempt only: the first back-off stops the client, so the failure is seen exactly once.
    ReverbClient::Options stopAtFirstFailure() {
        auto options = instantOptions();
        options.backoffSleep = [this](ReverbClient::Seconds) -> Awaitable<void> {
            client->stop();
            co_return;
        };
        return options;
    }
};

TEST_F(ReverbClientLoopTest, SubscribesWithTheSignatureTheServerGave) {
    serveChannel();
    makeClient(instantOptions());
    start();
    ASSERT_TRUE(waitFor([this] { return !events.empty(); }));

    onLoop([this] {
        ASSERT_EQ(http->requests.size(), 1u);
        EXPECT_EQ(http->requests[0].url, "https://varnel.test/api/broadcasting/auth");
        EXPECT_EQ(json::parse(*http->requests[0].body),
                  json::parse(R"({"socket_id":"123.456","channel_name":"private-device.7"})"));
        ASSERT_EQ(connector->last()->sent.size(), 1u);
        EXPECT_EQ(json::parse(connector->last()->sent[0]),
                  json::parse(R"({"event":"pusher:subscribe","data":{"channel":"private-device.7",)"
                              R"("auth":"app-key:signature"}})"));
        EXPECT_EQ(events[0].kind, Kind::connected);
    });
    EXPECT_EQ(linesWithoutConnecting(), (std::vector<std::string>{"[DEBUG] Reverb socket id 123.456",
                                                                  "[INFO] Subscribed to private-device.7"}));
    EXPECT_TRUE(
        logger->contains("[INFO] Reverb connecting to "
                         "ws://127.0.0.1:8080/app/app-key?protocol=7&client=varnel-agent&version=1.0.4"));
    // The line is written before the handler hears of the subscription.
    EXPECT_EQ(logLinesAtEvent[0], logger->messages().size());
}

TEST_F(ReverbClientLoopTest, LogsEachBackoffTierOnceWithExactTexts) {
    connector->openFailure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
    std::vector<double> delays;
    auto options = instantOptions();
    options.backoffSleep = [this, &delays](ReverbClient::Seconds delay) -> Awaitable<void> {
        delays.push_back(delay.count());
        if (delays.size() == 8)
            client->stop();
        co_return;
    };
    makeClient(options);
    start();
    ASSERT_TRUE(waitFor([&] { return delays.size() == 8; }));
    std::this_thread::sleep_for(30ms);

    const auto tenths = [&](std::size_t i) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", delays[i]);
        return std::string(text);
    };
    const std::string reason = "Could not connect to the server.";
    EXPECT_EQ(
        linesWithoutConnecting(),
        (std::vector<std::string>{
            "[ERROR] Can't open a live connection to 127.0.0.1:8080. Labels will still print, checked every "
            "15 seconds rather than arriving the moment they're sent.",
            "[DEBUG] Live connection retry 2 failed (" + reason + "); next in " + tenths(1) + "s",
            "[DEBUG] Live connection retry 3 failed (" + reason + "); next in " + tenths(2) + "s",
            "[DEBUG] Live connection retry 4 failed (" + reason + "); next in " + tenths(3) + "s",
            "[DEBUG] Live connection retry 5 failed (" + reason + "); next in " + tenths(4) + "s",
            "[DEBUG] Live connection still unavailable; retrying quietly from here. The next log entry will "
            "be when it succeeds.",
        }));
    for (std::size_t i = 0; i < delays.size(); ++i) {
        const double base = std::min(0.25 * std::pow(2.0, static_cast<double>(i)), 60.0);
        EXPECT_GE(delays[i], base);
        EXPECT_LE(delays[i], base + 0.3);
    }
    // Every attempt, quiet or not, tells the handler; none is made after the stop.
    EXPECT_EQ(countEvents(Kind::disconnected), 8u);
    onLoop([this, reason] { EXPECT_EQ(events.back().reason, reason); });
    EXPECT_EQ(socketCount(), 8u);
}

TEST_F(ReverbClientLoopTest, SettingsThatFormNoURLAreAFailedAttempt) {
    settings.host = "";
    makeClient(stopAtFirstFailure());
    start();
    ASSERT_TRUE(waitFor([this] { return !events.empty(); }));
    onLoop([this] { EXPECT_EQ(events[0].reason, "HTTP -1: Invalid Reverb URL"); });
    EXPECT_EQ(countLines("[ERROR] Can't open a live connection to :8080."), 1u);
    EXPECT_EQ(socketCount(), 0u);
}

TEST_F(ReverbClientLoopTest, StartIsIdempotentAndStopBeforeStartOnlyClearsFlags) {
    serveChannel();
    makeClient(instantOptions());
    stop();
    EXPECT_TRUE(logger->messages().empty());
    EXPECT_EQ(socketCount(), 0u);

    start();
    start();
    ASSERT_TRUE(waitFor([this] { return !events.empty(); }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(socketCount(), 1u);
    EXPECT_EQ(countLines("Reverb connecting to"), 1u);
}

TEST_F(ReverbClientLoopTest, StopDuringBackoffMakesNoFurtherAttempt) {
    connector->openFailure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
    auto wake = std::make_shared<AsyncEvent>(loop.loop().executor());
    bool sleeping = false;
    auto options = instantOptions();
    options.backoffSleep = [wake, &sleeping](ReverbClient::Seconds) -> Awaitable<void> {
        sleeping = true;
        co_await wake->waitIgnoringCancellation();
    };
    makeClient(options);
    start();
    ASSERT_TRUE(waitFor([&] { return sleeping; }));
    stop();
    onLoop([wake] { wake->set(); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(socketCount(), 1u);
    EXPECT_EQ(countEvents(Kind::disconnected), 1u);
}

// The restart a "device.reconnect" asks for: stop() and start() at once, while the old loop is
// still waiting, once on its closed socket and once in its back-off sleep. Either way one loop
// must remain.
TEST_F(ReverbClientLoopTest, StopThenStartLeavesOneLoop) {
    serveChannel();
    makeClient(instantOptions());
    start();
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    onLoop([this] {
        client->stop();
        client->start();
    });
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(socketCount(), 2u);
    onLoop([this] {
        EXPECT_EQ(connector->sockets[0]->closeCode, std::optional<std::uint16_t>(1001));
        EXPECT_FALSE(connector->sockets[1]->isClosed());
    });
    EXPECT_EQ(countEvents(Kind::disconnected), 0u);
    EXPECT_EQ(countLines("Live connection"), 0u);
    EXPECT_EQ(countLines("[ERROR]"), 0u);
}

TEST_F(ReverbClientLoopTest, StopThenStartDuringBackoffLeavesOneLoop) {
    connector->openFailure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
    auto wake = std::make_shared<AsyncEvent>(loop.loop().executor());
    int sleeps = 0;
    auto options = instantOptions();
    options.backoffSleep = [wake, &sleeps](ReverbClient::Seconds) -> Awaitable<void> {
        ++sleeps;
        co_await wake->waitIgnoringCancellation();
    };
    serveChannel();
    makeClient(options);
    start();
    ASSERT_TRUE(waitFor([&] { return sleeps == 1; }));
    onLoop([this] {
        connector->openFailure = nullptr;
        client->stop();
        client->start();
    });
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    onLoop([wake] { wake->set(); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(socketCount(), 2u);
    EXPECT_EQ(sleeps, 1);
}

TEST_F(ReverbClientLoopTest, StopWhileAFrameIsHandledEndsWithoutAFailure) {
    serveChannel();
    holdJobs = std::make_shared<AsyncEvent>(loop.loop().executor());
    makeClient(instantOptions());
    start();
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    onLoop([this] { connector->last()->pushText(R"({"event":"job.created","data":{"job_id":5}})"); });
    ASSERT_TRUE(waitFor([this] { return insideHandler; }));
    stop();
    onLoop([this] { holdJobs->set(); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(countEvents(Kind::disconnected), 0u);
    EXPECT_EQ(countLines("[ERROR]"), 0u);
    EXPECT_EQ(socketCount(), 1u);
    onLoop([this] { EXPECT_EQ(connector->last()->closeCode, std::optional<std::uint16_t>(1001)); });
}

TEST_F(ReverbClientLoopTest, StopWhileOpeningIsHonoured) {
    connector->hangOnOpen = true;
    makeClient(instantOptions());
    start();
    ASSERT_TRUE(waitFor([this] { return connector->sockets.size() == 1; }));
    stop();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(socketCount(), 1u);
    EXPECT_EQ(countEvents(Kind::disconnected), 0u);
    EXPECT_EQ(countLines("Live connection"), 0u);
    EXPECT_EQ(countLines("[ERROR]"), 0u);
}

TEST_F(ReverbClientLoopTest, ADroppedSocketIsReportedAndReconnected) {
    serveChannel();
    makeClient(instantOptions());
    start();
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    onLoop([this] {
        connector->last()->drop(
            std::make_exception_ptr(TransportError(TransportError::Code::connectionLost)));
    });
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 2; }));
    EXPECT_EQ(socketCount(), 2u);
    onLoop([this] {
        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[1].kind, Kind::disconnected);
        EXPECT_EQ(events[1].reason, "The network connection was lost.");
    });
}

TEST_F(ReverbClientLoopTest, ASubscriptionRestartsTheAttemptCounter) {
    connector->openFailure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
    int sleeps = 0;
    auto options = instantOptions();
    options.backoffSleep = [this, &sleeps](ReverbClient::Seconds) -> Awaitable<void> {
        if (++sleeps == 2)
            connector->openFailure = nullptr;
        if (sleeps == 4)
            client->stop();
        co_return;
    };
    serveChannel();
    makeClient(options);
    start();
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    EXPECT_EQ(countLines("[INFO] Live connection to Varnel restored."), 1u);
    EXPECT_EQ(countLines("Live connection retry 2 failed"), 1u);

    // The next outage is a new one: its first failure is the error line again, not "retry 3".
    onLoop([this] {
        connector->openFailure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
        connector->last()->drop(
            std::make_exception_ptr(TransportError(TransportError::Code::connectionLost)));
    });
    ASSERT_TRUE(waitFor([&] { return sleeps == 4; }));
    EXPECT_EQ(countLines("[ERROR] Can't open a live connection"), 2u);
    EXPECT_EQ(countLines("Live connection retry 3"), 0u);
}

TEST_F(ReverbClientLoopTest, RefusalsOnTheWayToTheChannelAreFailedAttempts) {
    struct Case {
        std::function<void()> arrange;
        std::string reason;
    };
    const std::string html =
        "Expected a WebSocket at 127.0.0.1:8080 but got an HTML page. Is Reverb running, and is "
        "something else using that port?";
    const std::vector<Case> cases = {
        {[this] {
             http->reply = HttpResponse{403, {}, "{}"};
         },
         "This Mac's access was removed. Set it up again to reconnect."},
        {[this] {
             connector->onOpen = [](FakeWebSocket& s) {
                 s.pushText(R"({"event":"pusher:connection_established"})");
             };
         },
         "Malformed response: connection_established without socket_id"},
        {[this] {
             connector->openFailure = std::make_exception_ptr(
                 WebSocketUpgradeRefused(200, "<!DOCTYPE html>\n<HTML><body>It works!</body></HTML>"));
         },
         "HTTP -1: " + html},
        {[this] {
             connector->openFailure = std::make_exception_ptr(WebSocketUpgradeRefused(404, "Not Found"));
         },
         "There was a bad response from the server."},
        {[this] {
             connector->onOpen = [](FakeWebSocket& s) { s.pushText("<!doctype html><title>x</title>"); };
         },
         "HTTP -1: " + html},
    };
    for (const auto& testCase : cases) {
        connector = std::make_shared<FakeWebSocketConnector>(loop.loop().executor());
        serveChannel();
        http->reply = HttpResponse{200, {}, R"({"auth":"app-key:signature"})"};
        testCase.arrange();
        events.clear();
        makeClient(stopAtFirstFailure());
        start();
        ASSERT_TRUE(waitFor([this] { return !events.empty(); })) << testCase.reason;
        onLoop([&] {
            EXPECT_EQ(events[0].kind, Kind::disconnected);
            EXPECT_EQ(events[0].reason, testCase.reason);
        });
    }
}

// Keepalive, with the 30 s and 120 s scaled down.
class ReverbClientKeepaliveTest : public ReverbClientFixture {
protected:
    ReverbClient::Options keepaliveOptions(std::chrono::milliseconds interval,
                                           std::chrono::milliseconds limit) {
        auto options = instantOptions();
        options.keepaliveInterval = interval;
        options.silenceLimit = limit;
        return options;
    }
    const std::string ping = R"({"event":"pusher:ping","data":{}})";

    // Zero until the socket is opened: a wait may ask before the client's first attempt.
    std::size_t pingsOnLoop(std::size_t socket) const {
        if (socket >= connector->sockets.size())
            return 0;
        const auto& sent = connector->sockets[socket]->sent;
        return static_cast<std::size_t>(std::count(sent.begin(), sent.end(), ping));
    }
    std::size_t pingsOn(std::size_t socket) {
        return onLoop([this, socket] { return pingsOnLoop(socket); });
    }
};

TEST_F(ReverbClientKeepaliveTest, ASilentServerIsPingedThenClosedThenReconnected) {
    serveChannel();
    std::chrono::steady_clock::time_point openedAt, firstPingAt;
    connector->onOpen = [&](FakeWebSocket& s) {
        if (connector->sockets.size() == 1)
            openedAt = std::chrono::steady_clock::now();
        s.pushText(connectionEstablished);
    };
    const auto subscribe = connector->onSend;
    connector->onSend = [&, subscribe](FakeWebSocket& s, const std::string& frame) {
        if (frame == ping && firstPingAt == std::chrono::steady_clock::time_point()) {
            firstPingAt = std::chrono::steady_clock::now();
        }
        subscribe(s, frame);
    };
    makeClient(keepaliveOptions(40ms, 160ms));
    start();
    ASSERT_TRUE(waitFor([this] { return connector->sockets.size() == 2; }));
    stop();

    EXPECT_GE(pingsOn(0), 1u);
    EXPECT_GE(firstPingAt - openedAt, 40ms) << "pinged before the first interval had passed";
    onLoop([this] {
        EXPECT_EQ(connector->sockets[0]->closeCode, std::optional<std::uint16_t>(1001));
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[1].kind, Kind::disconnected);
    });
    EXPECT_EQ(countLines("[ERROR] Reverb silent for 0s; treating the socket as dead"), 1u);
}

TEST_F(ReverbClientKeepaliveTest, AQuietHealthyConnectionIsPingedAndKept) {
    serveChannel();
    const auto subscribe = connector->onSend;
    connector->onSend = [&, subscribe](FakeWebSocket& s, const std::string& frame) {
        if (frame == ping)
            s.pushText(R"({"event":"pusher:pong","data":{}})");
        subscribe(s, frame);
    };
    makeClient(keepaliveOptions(30ms, 120ms));
    start();
    ASSERT_TRUE(waitFor([this] { return pingsOnLoop(0) >= 4; }));
    EXPECT_EQ(socketCount(), 1u);
    onLoop([this] { EXPECT_FALSE(connector->sockets[0]->isClosed()); });
    EXPECT_EQ(countLines("silent"), 0u);
    EXPECT_EQ(countLines("Unhandled"), 0u) << "a pong is no unknown event";
}

TEST_F(ReverbClientKeepaliveTest, BinaryFramesCountAsTrafficAndAreDropped) {
    serveChannel();
    makeClient(keepaliveOptions(80ms, 200ms));
    start();
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    // Binary traffic every 10 ms for about half a second: no ping is needed and nothing is closed.
    loop.run([](std::shared_ptr<FakeWebSocket> socket) -> Awaitable<void> {
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
        for (int i = 0; i < 50; ++i) {
            socket->pushBinary(std::string("\x00\x01", 2));
            timer.expires_after(10ms);
            co_await timer.async_wait(boost::asio::use_awaitable);
        }
    }(onLoop([this] { return connector->last(); })));
    EXPECT_EQ(pingsOn(0), 0u);
    EXPECT_EQ(socketCount(), 1u);
    EXPECT_EQ(onLoop([this] { return events.size(); }), 1u);
    EXPECT_EQ(linesWithoutConnecting().size(), 2u) << "socket id and subscription lines only";
}

} // namespace
} // namespace varnel::testing
