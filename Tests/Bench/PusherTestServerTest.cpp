#include "Bench/PusherTestServer.hpp"

#include "Bench/PusherSignature.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <condition_variable>
#include <deque>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

namespace varnel::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// A WebSocket client that reads everything the server sends on a thread of its own, so a test can
// wait for the next frame with a time limit, and see how the socket ended.
template <class Next> class RawClient {
public:
    RawClient(unsigned short port, const std::string& target, asio::ssl::context* tls = nullptr)
        : ws_(makeNext(tls)) {
        tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        beast::get_lowest_layer(ws_).connect(endpoint);
        if constexpr (!std::is_same_v<Next, beast::tcp_stream>) {
            ws_.next_layer().handshake(asio::ssl::stream_base::client);
        }
        ws_.handshake("127.0.0.1:" + std::to_string(port), target);
        asio::co_spawn(context_, readLoop(), asio::detached);
        thread_ = std::thread([this] { context_.run(); });
    }
    ~RawClient() {
        asio::post(context_, [this] {
            beast::error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
        });
        thread_.join();
    }

    void send(const std::string& text) {
        std::promise<void> done;
        asio::post(context_, [&] {
            beast::error_code error;
            ws_.write(asio::buffer(text), error);
            done.set_value();
        });
        done.get_future().wait();
    }

    // The next text frame, or none when nothing came within `limit` or the socket ended.
    std::optional<std::string> next(std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, limit, [&] { return !frames_.empty() || ended_; }))
            return std::nullopt;
        if (frames_.empty())
            return std::nullopt;
        std::string frame = std::move(frames_.front());
        frames_.pop_front();
        return frame;
    }
    nlohmann::json nextJson(std::chrono::milliseconds limit = 5s) {
        const auto text = next(limit);
        return text ? nlohmann::json::parse(*text) : nlohmann::json();
    }

    // How the socket ended, once it has within `limit`.
    std::optional<beast::error_code> end(std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, limit, [&] { return ended_; }))
            return std::nullopt;
        return endError_;
    }

    // The socket id of the connection_established frame, which must come first.
    std::string established() {
        const auto frame = nextJson();
        EXPECT_EQ(frame.value("event", ""), "pusher:connection_established");
        if (!frame.contains("data") || !frame["data"].is_string()) {
            ADD_FAILURE() << "connection_established data is not a JSON string: " << frame.dump();
            return {};
        }
        const std::string text = frame["data"];
        return nlohmann::json::parse(text).value("socket_id", "");
    }

private:
    static Next makeNext(asio::ssl::context* tls, asio::io_context& context) {
        if constexpr (std::is_same_v<Next, beast::tcp_stream>) {
            return Next(context);
        } else {
            return Next(context, *tls);
        }
    }
    Next makeNext(asio::ssl::context* tls) { return makeNext(tls, context_); }

    asio::awaitable<void> readLoop() {
        beast::error_code error;
        try {
            for (;;) {
                beast::flat_buffer buffer;
                co_await ws_.async_read(buffer, asio::use_awaitable);
                {
                    std::lock_guard lock(mutex_);
                    frames_.push_back(beast::buffers_to_string(buffer.data()));
                }
                arrived_.notify_all();
            }
        } catch (const boost::system::system_error& failure) {
            error = failure.code();
        }
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
            endError_ = error;
        }
        arrived_.notify_all();
    }

    asio::io_context context_;
    websocket::stream<Next> ws_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> frames_;
    bool ended_ = false;
    beast::error_code endError_;
};

using PlainClient = RawClient<beast::tcp_stream>;
using TlsClient = RawClient<beast::ssl_stream<beast::tcp_stream>>;

std::string target(const PusherTestServer& server) {
    return "/app/" + server.options().key + "?protocol=7&client=raw-test&version=1.0";
}

std::string subscribe(const std::string& channel, const std::string& auth) {
    return nlohmann::json{{"event", "pusher:subscribe"}, {"data", {{"channel", channel}, {"auth", auth}}}}
        .dump();
}

// A plain HTTP exchange with the server's plain port.
http::response<http::string_body> exchange(unsigned short port, http::request<http::string_body> request) {
    asio::io_context context;
    beast::tcp_stream stream(context);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    request.set(http::field::host, "127.0.0.1");
    request.prepare_payload();
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return response;
}

// A trigger signed as the Pusher server SDK signs it.
http::request<http::string_body> signedTrigger(const PusherServerOptions& options, const std::string& body,
                                               const std::string& secret) {
    const std::string path = "/apps/" + options.appId + "/events";
    const std::string query =
        "auth_key=" + options.key +
        "&auth_timestamp=1700000000&auth_version=1.0&body_md5=" + PusherSignature::md5Hex(body);
    const std::string signature = PusherSignature::hmacSha256Hex(secret, "POST\n" + path + "\n" + query);
    http::request<http::string_body> request{http::verb::post,
                                             path + "?" + query + "&auth_signature=" + signature, 11};
    request.set(http::field::content_type, "application/json");
    request.body() = body;
    return request;
}

TEST(PusherSignatureTest, DigestsAndRequestChecks) {
    // RFC 4231, test case 2, and the MD5 of nothing.
    EXPECT_EQ(PusherSignature::hmacSha256Hex("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(PusherSignature::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(PusherSignature::channelAuth("K", "S", "1.2", "private-x"),
              "K:" + PusherSignature::hmacSha256Hex("S", "1.2:private-x"));

    const std::string body = R"({"name":"e","channel":"c","data":"{}"})";
    const std::string md5 = PusherSignature::md5Hex(body);
    const auto query = [&](const std::string& secret, const std::string& bodyMd5) {
        // Given out of order: the signature is over the sorted parameters.
        const std::string sorted = "auth_key=K&auth_timestamp=1&auth_version=1.0&body_md5=" + bodyMd5;
        return "body_md5=" + bodyMd5 + "&auth_version=1.0&auth_timestamp=1&auth_key=K&auth_signature=" +
               PusherSignature::hmacSha256Hex(secret, "POST\n/apps/1/events\n" + sorted);
    };
    EXPECT_EQ(PusherSignature::checkRequest("POST", "/apps/1/events", query("S", md5), body, "K", "S"),
              std::nullopt);
    EXPECT_NE(PusherSignature::checkRequest("POST", "/apps/1/events", query("wrong", md5), body, "K", "S"),
              std::nullopt);
    EXPECT_NE(PusherSignature::checkRequest("POST", "/apps/1/events", query("S", md5), body + " ", "K", "S"),
              std::nullopt)
        << "a body other than the signed one";
    EXPECT_NE(PusherSignature::checkRequest("POST", "/apps/2/events", query("S", md5), body, "K", "S"),
              std::nullopt)
        << "a path other than the signed one";
    EXPECT_NE(PusherSignature::checkRequest("POST", "/apps/1/events", query("S", md5), body, "other", "S"),
              std::nullopt)
        << "another app's key";
    EXPECT_NE(PusherSignature::checkRequest("POST", "/apps/1/events", "auth_key=K", body, "K", "S"),
              std::nullopt);
}

TEST(PusherTestServerTest, EstablishesSubscribesAndDeliversEvents) {
    PusherServerOptions options;
    options.activityTimeout = 42s;
    PusherTestServer server(options);
    PlainClient client(server.wsPort(), target(server));

    const auto first = client.nextJson();
    ASSERT_EQ(first.value("event", ""), "pusher:connection_established");
    ASSERT_TRUE(first["data"].is_string()) << "Pusher servers send this data as a JSON string";
    const auto data = nlohmann::json::parse(first["data"].get<std::string>());
    const std::string socketId = data.value("socket_id", "");
    EXPECT_TRUE(std::regex_match(socketId, std::regex(R"(\d+\.\d+)"))) << socketId;
    EXPECT_EQ(data.value("activity_timeout", 0), 42);

    client.send(subscribe("private-device.7", "wrong:signature"));
    const auto refused = client.nextJson();
    EXPECT_EQ(refused.value("event", ""), "pusher:error");
    EXPECT_NE(refused["data"].value("message", "").find("Invalid signature"), std::string::npos)
        << refused.dump();

    client.send(subscribe("private-device.7", server.sign(socketId, "private-device.7")));
    const auto accepted = client.nextJson();
    EXPECT_EQ(accepted.value("event", ""), "pusher_internal:subscription_succeeded");
    EXPECT_EQ(accepted.value("channel", ""), "private-device.7");

    client.send(R"({"event":"pusher:ping","data":{}})");
    EXPECT_EQ(client.nextJson().value("event", ""), "pusher:pong");

    // Only the subscribed channel's event arrives, with its data as the string it was given.
    server.trigger("private-device.8", "job.created", R"({"job_id":1})");
    server.trigger("private-device.7", "job.created", R"({"job_id":2})");
    const auto event = client.nextJson();
    EXPECT_EQ(event.value("event", ""), "job.created");
    EXPECT_EQ(event.value("channel", ""), "private-device.7");
    EXPECT_EQ(event.value("data", ""), R"({"job_id":2})");
    EXPECT_EQ(client.next(200ms), std::nullopt);

    const auto seen = server.snapshot();
    EXPECT_EQ(seen.connectionsAccepted, 1u);
    EXPECT_EQ(seen.openSockets, 1u);
    EXPECT_EQ(seen.pingsReceived, 1u);
    EXPECT_EQ(seen.eventsSent, 1u);
    ASSERT_EQ(seen.requestTargets.size(), 1u);
    EXPECT_EQ(seen.requestTargets[0], target(server));
    ASSERT_EQ(seen.subscriptions.size(), 2u);
    EXPECT_FALSE(seen.subscriptions[0].accepted);
    EXPECT_TRUE(seen.subscriptions[1].accepted);
    EXPECT_EQ(seen.subscriptions[1].socketId, socketId);
    EXPECT_EQ(seen.framesReceived.size(), 3u);
}

TEST(PusherTestServerTest, HttpApiTriggersOnlyWhenSigned) {
    PusherTestServer server;
    PlainClient client(server.wsPort(), target(server));
    const std::string socketId = client.established();
    client.send(subscribe("private-a", server.sign(socketId, "private-a")));
    ASSERT_EQ(client.nextJson().value("event", ""), "pusher_internal:subscription_succeeded");

    const std::string body =
        R"({"name":"job.cancelled","channels":["private-a","private-b"],"data":"{\"job_id\":5}"})";
    const auto forged = exchange(server.wsPort(), signedTrigger(server.options(), body, "not-the-secret"));
    EXPECT_EQ(forged.result_int(), 401);
    EXPECT_EQ(client.next(200ms), std::nullopt);

    const auto signed_ =
        exchange(server.wsPort(), signedTrigger(server.options(), body, server.options().secret));
    EXPECT_EQ(signed_.result_int(), 200) << signed_.body();
    const auto event = client.nextJson();
    EXPECT_EQ(event.value("event", ""), "job.cancelled");
    EXPECT_EQ(event.value("data", ""), R"({"job_id":5})");

    const auto unsignedBody = exchange(
        server.wsPort(), signedTrigger(server.options(), R"({"name":"x"})", server.options().secret));
    EXPECT_EQ(unsignedBody.result_int(), 400) << "no channel and no data";

    const auto seen = server.snapshot();
    EXPECT_EQ(seen.apiTriggersAccepted, 1u);
    EXPECT_EQ(seen.apiTriggersRefused, 2u);
}

TEST(PusherTestServerTest, ScriptedFaults) {
    PusherTestServer server;

    // Refused subscriptions are refused however good the signature.
    {
        PlainClient client(server.wsPort(), target(server));
        const std::string socketId = client.established();
        server.setRefuseSubscriptions(true);
        client.send(subscribe("private-a", server.sign(socketId, "private-a")));
        EXPECT_EQ(client.nextJson().value("event", ""), "pusher:error");
        server.setRefuseSubscriptions(false);
    }

    // Silence: frames are read and counted, nothing is answered, the socket stays open.
    {
        PlainClient client(server.wsPort(), target(server));
        client.established();
        server.setSilent(true);
        client.send(R"({"event":"pusher:ping","data":{}})");
        EXPECT_TRUE(server.waitFor([](const auto& s) { return s.pingsReceived == 1; }, 5s));
        EXPECT_EQ(client.next(300ms), std::nullopt) << "a silent server answered";
        EXPECT_EQ(client.end(0ms), std::nullopt) << "the silent server closed the socket";
        server.setSilent(false);
        client.send(R"({"event":"pusher:ping","data":{}})");
        EXPECT_EQ(client.nextJson().value("event", ""), "pusher:pong");
    }

    // A drop ends the TCP connection without a WebSocket close frame.
    {
        PlainClient client(server.wsPort(), target(server));
        client.established();
        ASSERT_TRUE(server.waitFor([](const auto& s) { return s.openSockets == 1; }, 5s));
        server.dropAll();
        const auto end = client.end();
        ASSERT_TRUE(end.has_value()) << "the socket was not dropped";
        EXPECT_NE(*end, websocket::error::closed) << "a close frame was sent";
        EXPECT_TRUE(server.waitFor([](const auto& s) { return s.openSockets == 0; }, 5s));
    }

    // The HTML page instead of the upgrade.
    {
        server.setRefuseUpgrade(true);
        http::request<http::string_body> upgrade{http::verb::get, target(server), 11};
        upgrade.set(http::field::connection, "Upgrade");
        upgrade.set(http::field::upgrade, "websocket");
        upgrade.set(http::field::sec_websocket_version, "13");
        upgrade.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
        const auto page = exchange(server.wsPort(), upgrade);
        EXPECT_EQ(page.result_int(), 200);
        EXPECT_EQ(page[http::field::content_type].substr(0, 9), "text/html");
        EXPECT_NE(page.body().find("<html"), std::string::npos);
        EXPECT_THROW(PlainClient(server.wsPort(), target(server)), boost::system::system_error);
        server.setRefuseUpgrade(false);
    }

    const auto seen = server.snapshot();
    EXPECT_EQ(seen.connectionsAccepted, 3u);
    EXPECT_EQ(seen.upgradesRefused, 2u);
}

TEST(PusherTestServerTest, TlsPortAndServerPings) {
    PusherServerOptions options;
    options.pingWhenIdle = 100ms;
    PusherTestServer server(options);
    asio::ssl::context tls(asio::ssl::context::tls_client);
    tls.load_verify_file(PusherTestServer::caFile().string());
    tls.set_verify_mode(asio::ssl::verify_peer);
    TlsClient client(server.wssPort(), target(server), &tls);
    EXPECT_FALSE(client.established().empty());

    // Idle, the server pings; answered, the pong is counted and pings stay one per idle period.
    EXPECT_EQ(client.nextJson(2s).value("event", ""), "pusher:ping");
    client.send(R"({"event":"pusher:pong","data":{}})");
    EXPECT_TRUE(server.waitFor([](const auto& s) { return s.pongsReceived == 1; }, 5s));
    std::this_thread::sleep_for(350ms);
    EXPECT_LE(server.snapshot().pingsSent, 5u);
}

TEST(PusherTestServerTest, WrongAppKeyAndStopWithClientsConnected) {
    auto server = std::make_unique<PusherTestServer>();
    PlainClient wrong(server->wsPort(), "/app/other-key?protocol=7");
    const auto error = wrong.nextJson();
    EXPECT_EQ(error.value("event", ""), "pusher:error");
    EXPECT_EQ(error["data"].value("code", 0), 4001);
    EXPECT_EQ(wrong.end(), std::optional<beast::error_code>(websocket::error::closed));

    PlainClient client(server->wsPort(), target(*server));
    client.established();
    server.reset();
    EXPECT_TRUE(client.end().has_value()) << "the socket outlived the server";
}

} // namespace
} // namespace varnel::testing
