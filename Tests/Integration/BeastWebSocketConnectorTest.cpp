// The WebSocket layer on its own: the write queue, and the time limits on opening and closing
// against peers that never answer.
#include "VarnelKit/Platform/BeastWebSocketConnector.hpp"

#include "Bench/PusherTestServer.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace varnel::testing {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Url urlOf(const std::string& text) {
    return *parseAbsoluteUrl(text);
}

// A peer that completes the upgrade and then never reads or writes again.
class MuteWebSocketPeer {
public:
    MuteWebSocketPeer() : acceptor_(context_, {asio::ip::make_address("127.0.0.1"), 0}) {
        thread_ = std::thread([this] {
            try {
                boost::beast::websocket::stream<tcp::socket> ws(acceptor_.accept());
                ws.accept();
                std::unique_lock lock(mutex_);
                released_.wait(lock, [this] { return done_; });
            } catch (const std::exception&) {
            }
        });
    }
    ~MuteWebSocketPeer() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        released_.notify_all();
        thread_.join();
    }
    unsigned short port() const { return acceptor_.local_endpoint().port(); }

private:
    asio::io_context context_;
    tcp::acceptor acceptor_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool done_ = false;
    std::thread thread_;
};

class BeastWebSocketConnectorTest : public ::testing::Test {
protected:
    BeastWebSocketConnectorTest() { loop.startThread(); }

    std::shared_ptr<BeastWebSocketConnector> connector(std::chrono::milliseconds open,
                                                       std::chrono::milliseconds close) {
        return std::make_shared<BeastWebSocketConnector>(loop.executor(),
                                                         BeastWebSocketConnector::Options{open, close});
    }

    AgentLoop loop;
};

TEST_F(BeastWebSocketConnectorTest, OnlyWebSocketURLsAreAccepted) {
    auto beast = connector(5s, 1s);
    for (const char* text : {"http://127.0.0.1:1/", "https://h/", "ftp://h/", "ws://h:99999/", "ws://:80/"}) {
        try {
            (void)beast->makeSocket(urlOf(text));
            ADD_FAILURE() << text;
        } catch (const TransportError& error) {
            EXPECT_EQ(error.code(), TransportError::Code::badURL) << text;
        }
    }
}

// Beast allows a single write in flight: a burst of sends from many tasks at once must reach the
// server whole and in the order they were asked for.
TEST_F(BeastWebSocketConnectorTest, ConcurrentSendsAreWrittenOneAfterAnother) {
    PusherTestServer server;
    auto socket = connector(5s, 1s)->makeSocket(urlOf(server.socketUrl()));
    loop.blockOn(socket->open());
    constexpr int count = 300;
    loop.blockOn([](std::shared_ptr<WebSocket> socket) -> Awaitable<void> {
        auto executor = co_await asio::this_coro::executor;
        std::vector<std::shared_ptr<Task>> senders;
        for (int i = 0; i < count; ++i) {
            // A large frame now and then, so some writes take several turns of the loop.
            std::string frame = R"({"event":"client-)" + std::to_string(i) + R"(","data":")" +
                                std::string(i % 50 == 0 ? 200000 : 10, 'x') + "\"}";
            senders.push_back(Task::spawn(
                executor, [socket, frame]() -> Awaitable<void> { return socket->sendText(frame); }));
        }
        co_await joinAll(senders);
    }(socket));
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.framesReceived.size() >= count; }, 10s));
    const auto frames = server.snapshot().framesReceived;
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(json::requireString(json::parse(frames[i]), "event"), "client-" + std::to_string(i));
    }
    socket->close(1000);
}

TEST_F(BeastWebSocketConnectorTest, ACloseEndsAPendingReceiveEvenWhenThePeerNeverAnswers) {
    MuteWebSocketPeer peer;
    auto socket =
        connector(5s, 300ms)->makeSocket(urlOf("ws://127.0.0.1:" + std::to_string(peer.port()) + "/app/k"));
    loop.blockOn(socket->open());
    const auto started = Clock::now();
    const bool failed = loop.blockOn([](std::shared_ptr<WebSocket> socket) -> Awaitable<bool> {
        const auto executor = co_await asio::this_coro::executor;
        asio::steady_timer soon(executor, 50ms);
        // Named, and spawned in a statement without co_await: g++ 12 would otherwise destroy the
        // lambda's copy of the socket twice.
        auto receive = [socket]() -> Awaitable<void> {
            // The receive fails once the close has ended it; that it ends is what counts here.
            try {
                (void)co_await socket->receive();
            } catch (const TransportError&) {
            }
        };
        auto receiving = Task::spawn(executor, std::move(receive));
        co_await soon.async_wait(asio::use_awaitable);
        socket->close(1001);
        co_await receiving->join();
        try {
            co_await socket->sendText("late");
        } catch (const TransportError&) {
            co_return true;
        }
        co_return false;
    }(socket));
    const auto took = Clock::now() - started;
    EXPECT_TRUE(failed) << "a closed socket sends nothing";
    EXPECT_LT(took, 2s) << "the close waited for a peer that never answers";
}

TEST_F(BeastWebSocketConnectorTest, OpeningIsBoundedWhenTheServerNeverAnswersTheUpgrade) {
    // Listening, so the kernel completes the TCP handshake, but nobody ever reads the request.
    asio::io_context context;
    tcp::acceptor silent(context, {asio::ip::make_address("127.0.0.1"), 0});
    auto socket = connector(300ms, 1s)->makeSocket(
        urlOf("ws://127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/app/k"));
    const auto started = Clock::now();
    try {
        loop.blockOn(socket->open());
        ADD_FAILURE() << "opened against a server that never answered";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.code(), TransportError::Code::timedOut);
        EXPECT_EQ(error.description(), "The request timed out.");
    }
    const auto took = Clock::now() - started;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 2s);
}

TEST_F(BeastWebSocketConnectorTest, AnUpgradeAnsweredWithAPageKeepsThePage) {
    PusherTestServer server;
    server.setRefuseUpgrade(true);
    auto socket = connector(5s, 1s)->makeSocket(urlOf(server.socketUrl()));
    try {
        loop.blockOn(socket->open());
        ADD_FAILURE() << "upgraded against a refusing server";
    } catch (const WebSocketUpgradeRefused& refused) {
        EXPECT_EQ(refused.status(), 200);
        EXPECT_NE(refused.body().find("<!DOCTYPE html>"), std::string::npos);
    }
}

} // namespace
} // namespace varnel::testing
