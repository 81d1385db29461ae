#include "VarnelKit/Platform/CurlHttpTransport.hpp"

#include "VarnelKit/Platform/LoopbackHttpServer.hpp"
#include "VarnelKit/SlowNameLookup.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/TransportError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/detached.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Server = testing::LoopbackHttpServer;

// A loopback listener that takes one connection and never answers.
class SilentListener {
public:
    SilentListener() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() {
        if (connection_ >= 0) ::close(connection_);
        ::close(listener_);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/slow"; }

    // Accepts the client and reads its request head.
    std::string acceptRequest() {
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string received;
        char buffer[1024];
        while (received.find("\r\n\r\n") == std::string::npos && waitReadable(5000)) {
            const ssize_t n = ::recv(connection_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return received;
    }

    // True when the client closed the connection within the time given.
    bool clientHungUp(int milliseconds) {
        char byte;
        return waitReadable(milliseconds) && ::recv(connection_, &byte, 1, 0) <= 0;
    }

private:
    bool waitReadable(int milliseconds) {
        pollfd entry{connection_, POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) == 1;
    }

    int listener_ = -1;
    int connection_ = -1;
    std::uint16_t port_ = 0;
};

TEST(CurlHttpTransportTest, ATransferWhoseLoopIsTornDownIsDroppedWithoutTouchingTheLoop) {
    // Tasks run on strands of the loop, and a strand refers to its loop even when it is only destroyed.
    for (const bool onStrand : {false, true}) {
        SCOPED_TRACE(onStrand ? "on a strand" : "on the loop");
        SilentListener server;
        auto transport = std::make_shared<CurlHttpTransport>();
        {
            AgentLoop loop;
            loop.startThread();
            const Executor executor = onStrand ? Executor(boost::asio::make_strand(loop.executor())) : loop.executor();
            boost::asio::co_spawn(executor, transport->send(HttpRequest{"GET", server.url(), {}, std::nullopt}),
                                  boost::asio::detached);
            EXPECT_NE(server.acceptRequest().find("GET /slow"), std::string::npos);
            // The loop goes away while the request still waits for its reply.
        }
        // The request is given up at once rather than running on to its time-out...
        EXPECT_TRUE(server.clientHungUp(5000));
        // ...and ending the transport afterwards reports to no loop.
        transport.reset();
    }
}

void answer(Server::Connection& connection, std::string_view status, std::string_view body) {
    connection.send("HTTP/1.1 " + std::string(status) + "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + std::string(body));
}

class CurlTransportOnLoopTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    // What a request ends with, in words, when its task is cancelled before it starts or, after
    // `cancelAfter`, while it runs. `ended` is when it ended.
    template <class T> std::string outcomeWhenCancelled(std::function<Awaitable<T>()> request,
                                                        std::optional<std::chrono::milliseconds> cancelAfter,
                                                        Clock::time_point* ended = nullptr) {
        auto outcome = std::make_shared<std::string>("nothing");
        auto endedAt = std::make_shared<Clock::time_point>();
        auto task = Task::spawn(loop.executor(), [request, outcome, endedAt, cancelAfter]() -> Awaitable<void> {
            if (!cancelAfter) co_await sleepFor(1h); // ends at once: the task is already cancelled
            try {
                (void)co_await request();
                *outcome = "reply";
            } catch (const OperationCancelled&) {
                *outcome = "cancelled";
            } catch (const std::exception& error) {
                *outcome = std::string("failed: ") + error.what();
            }
            *endedAt = Clock::now();
        });
        if (cancelAfter) std::this_thread::sleep_for(*cancelAfter);
        task->cancel();
        loop.blockOn(task->join());
        if (ended) *ended = *endedAt;
        return *outcome;
    }

    AgentLoop loop;
    std::shared_ptr<CurlHttpTransport> transport = std::make_shared<CurlHttpTransport>();
};

TEST_F(CurlTransportOnLoopTest, ACancelledRequestEndsWithTheCancellationAndSendsNothingMore) {
    Server server([](Server::Connection& connection, const std::string&) { connection.holdSilently(); });
    const auto url = server.url("/slow");
    auto transport = this->transport;
    std::function<Awaitable<HttpResponse>()> send = [transport, url] {
        return transport->send(HttpRequest{"GET", url, {}, std::nullopt, 30s});
    };
    std::function<Awaitable<HttpResponseHead>()> download = [transport, url] {
        return transport->download(HttpRequest{"GET", url, {}, std::nullopt, 30s}, HttpDownloadSink{});
    };

    const auto start = Clock::now();
    Clock::time_point ended;
    EXPECT_EQ(outcomeWhenCancelled(send, 100ms, &ended), "cancelled");
    EXPECT_EQ(server.requests(), 1);
    EXPECT_LT(ended - start, 600ms);
    EXPECT_EQ(outcomeWhenCancelled(download, 100ms), "cancelled");

    EXPECT_EQ(outcomeWhenCancelled(send, std::nullopt), "cancelled");
    EXPECT_EQ(outcomeWhenCancelled(download, std::nullopt), "cancelled");
    EXPECT_EQ(server.requests(), 2);
}

TEST_F(CurlTransportOnLoopTest, ACancelDuringASlowNameLookupHoldsUpNoOtherRequest) {
    Server server([](Server::Connection& connection, const std::string&) { answer(connection, "200 OK", "ok"); });
    auto transport = this->transport;
    auto outcome = std::make_shared<std::string>("nothing");
    auto endedAt = std::make_shared<Clock::time_point>();
    auto hung = Task::spawn(loop.executor(), [transport, outcome, endedAt]() -> Awaitable<void> {
        try {
            HttpRequest request{"GET", "http://" + testing::slowHostName(5s) + "/", {}, std::nullopt, 30s};
            (void)co_await transport->send(std::move(request));
            *outcome = "reply";
        } catch (const OperationCancelled&) {
            *outcome = "cancelled";
        } catch (const std::exception& error) {
            *outcome = std::string("failed: ") + error.what();
        }
        *endedAt = Clock::now();
    });
    std::this_thread::sleep_for(100ms);
    const auto cancelledAt = Clock::now();
    hung->cancel();

    // Started while the cancelled request's lookup still runs, and answered at once.
    const auto response = loop.blockOn(transport->send(HttpRequest{"GET", server.url(), {}, std::nullopt, 30s}));
    const auto otherLatency = Clock::now() - cancelledAt;
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "ok");
    EXPECT_LT(otherLatency, 300ms);

    loop.blockOn(hung->join());
    EXPECT_EQ(*outcome, "cancelled");
    EXPECT_LT(*endedAt - cancelledAt, 300ms);
}

TEST_F(CurlTransportOnLoopTest, TheRequestTimeOutBoundsASlowNameLookup) {
    const auto start = Clock::now();
    const HttpRequest request{"GET", "http://" + testing::slowHostName(5s) + "/", {}, std::nullopt, 300ms};
    const auto error = testing::thrownBy<TransportError>(loop, transport->send(request));
    const auto elapsed = Clock::now() - start;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), TransportError::Code::timedOut);
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 800ms);
}

TEST_F(CurlTransportOnLoopTest, ASilentServerTimesOutAtTheRequestsOwnLimit) {
    Server server([](Server::Connection& connection, const std::string&) { connection.holdSilently(); });
    const auto start = Clock::now();
    const HttpRequest request{"POST", server.url("/events"), {}, "{}", 200ms};
    const auto error = testing::thrownBy<TransportError>(loop, transport->send(request));
    const auto elapsed = Clock::now() - start;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), TransportError::Code::timedOut);
    EXPECT_GE(elapsed, 150ms);
    EXPECT_LT(elapsed, 800ms);
}

class ReplyBodyLimitTest : public CurlTransportOnLoopTest {
protected:
    static constexpr std::size_t limit = 1000;

    HttpRequest get(const Server& server) { return HttpRequest{"GET", server.url(), {}, std::nullopt, 5s}; }

    CurlHttpTransport limited{limit};
};

TEST_F(ReplyBodyLimitTest, ABodyUpToTheLimitIsKeptAndADownloadHasNoLimit) {
    const std::string full(limit, 'b');
    const std::string twice(2 * limit, 'd');
    Server server([&](Server::Connection& connection, const std::string& head) {
        if (head.starts_with("GET /moved")) {
            // The body of a redirect that is followed is not the reply's, however long.
            connection.send("HTTP/1.1 302 Found\r\nLocation: /\r\nConnection: close\r\nContent-Length: " +
                            std::to_string(twice.size()) + "\r\n\r\n" + twice);
            return;
        }
        answer(connection, "200 OK", head.starts_with("GET /download") ? twice : full);
    });
    EXPECT_EQ(loop.blockOn(limited.send(get(server))).body, full);
    const HttpRequest moved{"GET", server.url("/moved"), {}, std::nullopt, 5s};
    EXPECT_EQ(loop.blockOn(limited.send(moved)).body, full);

    std::string received;
    HttpDownloadSink sink{nullptr, [&received](std::string_view piece) { received.append(piece); }};
    const HttpRequest request{"GET", server.url("/download"), {}, std::nullopt, 10s};
    EXPECT_EQ(loop.blockOn(limited.download(request, sink)).status, 200);
    EXPECT_EQ(received, twice);
}

TEST_F(ReplyBodyLimitTest, AnAnnouncedLengthAboveTheLimitFailsBeforeTheBodyArrives) {
    for (const std::string status : {"200 OK", "500 Internal Server Error"}) {
        SCOPED_TRACE(status);
        Server server([&](Server::Connection& connection, const std::string&) {
            connection.send("HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(limit + 1) + "\r\n\r\n");
            connection.holdSilently(); // the body never comes: only the head can tell
        });
        const auto start = Clock::now();
        const auto error = testing::thrownBy<TransportError>(loop, limited.send(get(server)));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), TransportError::Code::replyTooLarge);
        EXPECT_EQ(error->description(), "The server's reply is too large.");
        EXPECT_LT(Clock::now() - start, 2s);
    }
}

TEST_F(ReplyBodyLimitTest, AnEndlessStreamIsCutOffAtTheLimit) {
    constexpr std::size_t never = 16u * 1024 * 1024;
    std::atomic<std::size_t> sent{0};
    std::atomic<bool> clientLeft{false};
    std::optional<Server> server;
    server.emplace([&](Server::Connection& connection, const std::string&) {
        if (!connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
        const std::string chunk = "100\r\n" + std::string(256, 'c') + "\r\n";
        while (sent.load() < never) {
            if (!connection.send(chunk)) {
                clientLeft.store(true);
                return;
            }
            sent.fetch_add(256);
        }
    });
    const auto error = testing::thrownBy<TransportError>(loop, limited.send(get(*server)));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), TransportError::Code::replyTooLarge);
    server.reset(); // waits for the handler
    EXPECT_TRUE(clientLeft.load());
    EXPECT_LT(sent.load(), never);
}

} // namespace
} // namespace varnel
