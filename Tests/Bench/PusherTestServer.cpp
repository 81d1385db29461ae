#include "Bench/PusherTestServer.hpp"

#include "Bench/BenchHttp.hpp"
#include "Bench/PusherSignature.hpp"
#include "Bench/RecordedState.hpp"
#include "Bench/RunOnThread.hpp"
#include "Bench/TestCertificates.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace varnel::testing {

namespace websocket = beast::websocket;
using Clock = std::chrono::steady_clock;

namespace {

// One WebSocket connection, as the server's thread sees it.
class Session {
public:
    virtual ~Session() = default;
    // Queues a text frame; false when nothing will be sent (silent, closed or dropped).
    virtual bool send(std::string text) = 0;
    virtual void drop() = 0;

    std::string socketId;
    std::set<std::string> channels;
};

std::string frame(const std::string& event, const json::Ordered& data, const std::string& channel = {}) {
    json::Ordered out = json::Ordered::object();
    out["event"] = event;
    if (!channel.empty())
        out["channel"] = channel;
    out["data"] = data;
    return json::dump(out);
}

std::string errorFrame(std::optional<int> code, const std::string& message) {
    json::Ordered data = json::Ordered::object();
    data["code"] = code ? json::Ordered(*code) : json::Ordered(nullptr);
    data["message"] = message;
    return frame("pusher:error", data);
}

std::string memberString(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return {};
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

} // namespace

struct PusherTestServer::State : RecordedState<PusherTestServer::Snapshot> {
    Options options;
    asio::ssl::context tls{asio::ssl::context::tls_server};
    std::atomic<bool> silent{false};
    std::atomic<bool> refuseSubscriptions{false};
    std::atomic<bool> refuseUpgrade{false};

    // Declared after what the sessions use, so that the sessions that the context destroys with
    // it never outlive those members. Sessions touch nothing of the state in their destructors.
    asio::io_context context;
    tcp::acceptor plainAcceptor{context};
    tcp::acceptor tlsAcceptor{context};
    unsigned short plainPort = 0;
    unsigned short tlsPort = 0;
    // Keeps the thread running while nothing listens (between the two halves of a restart).
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning{context.get_executor()};

    // Touched on the server's thread only.
    std::map<std::uint64_t, std::weak_ptr<Session>> sessions;
    std::uint64_t sessionCount = 0;
    std::mt19937_64 random{std::random_device{}()};

    std::thread thread;

    std::size_t deliver(const std::string& channel, const std::string& event, const std::string& data,
                        const std::string& exceptSocketId) {
        const std::string text = frame(event, data, channel);
        std::size_t sent = 0;
        for (const auto& [id, weak] : sessions) {
            const auto session = weak.lock();
            if (!session || !session->channels.contains(channel) || session->socketId == exceptSocketId)
                continue;
            if (session->send(text))
                ++sent;
        }
        if (sent > 0)
            record([&](Snapshot& s) { s.eventsSent += sent; });
        return sent;
    }

    void dropAll() {
        for (const auto& [id, weak] : sessions) {
            if (const auto session = weak.lock())
                session->drop();
        }
    }

    Response reply(const Request& request, http::status status, std::string body,
                   const char* type = "text/plain; charset=utf-8") const {
        return httpReply(request, status, std::move(body), type);
    }

    // The HTTP API: POST /apps/<app id>/events, signed with the app's key and secret.
    Response answer(const Request& request) {
        const std::string_view target = request.target();
        const auto question = target.find('?');
        const std::string_view path = target.substr(0, question);
        const std::string_view query = question == std::string_view::npos ? "" : target.substr(question + 1);
        if (path != "/apps/" + options.appId + "/events")
            return reply(request, http::status::not_found, "Not found\n");
        if (request.method() != http::verb::post) {
            return reply(request, http::status::method_not_allowed, "Method not allowed\n");
        }
        if (const auto refusal = PusherSignature::checkRequest("POST", path, query, request.body(),
                                                               options.key, options.secret)) {
            record([](Snapshot& s) { ++s.apiTriggersRefused; });
            return reply(request, http::status::unauthorized, *refusal + "\n");
        }

        const auto body = nlohmann::json::parse(request.body(), nullptr, false);
        const std::string name = memberString(body, "name");
        const auto data = body.is_object() ? body.find("data") : body.end();
        std::vector<std::string> channels;
        if (body.is_object() && body.contains("channels") && body["channels"].is_array()) {
            for (const auto& channel : body["channels"]) {
                if (channel.is_string())
                    channels.push_back(channel.get<std::string>());
            }
        } else if (const std::string channel = memberString(body, "channel"); !channel.empty()) {
            channels.push_back(channel);
        }
        if (name.empty() || data == body.end() || !data->is_string() || channels.empty()) {
            record([](Snapshot& s) { ++s.apiTriggersRefused; });
            return reply(request, http::status::bad_request,
                         "The body must hold a name, a string data and a channel or channels\n");
        }
        const std::string except = memberString(body, "socket_id");
        for (const auto& channel : channels)
            deliver(channel, name, data->get<std::string>(), except);
        record([](Snapshot& s) { ++s.apiTriggersAccepted; });
        return reply(request, http::status::ok, "{}", "application/json");
    }
};

namespace {

using State = PusherTestServer::State;
using Snapshot = PusherTestServer::Snapshot;

template <class Next>
class WebSocketSession final : public Session, public std::enable_shared_from_this<WebSocketSession<Next>> {
public:
    WebSocketSession(State* state, Next&& next)
        : state_(state), ws_(std::move(next)), pingTimer_(ws_.get_executor()) {}

    // Accepts the upgrade and serves the socket until it ends.
    asio::awaitable<void> run(Request request) {
        auto self = this->shared_from_this();
        // A close handshake with a silent peer ends after the handshake time-out; no WebSocket
        // pings of our own, since the protocol's pings are the ones under test.
        ws_.set_option(
            websocket::stream_base::timeout{std::chrono::seconds(5), websocket::stream_base::none(), false});
        ws_.text(true);
        try {
            co_await ws_.async_accept(request, asio::use_awaitable);
        } catch (const std::exception&) {
            co_return;
        }
        const std::uint64_t serial = ++state_->sessionCount;
        socketId =
            std::to_string(serial) + "." +
            std::to_string(std::uniform_int_distribution<std::uint32_t>(1, 999'999'999)(state_->random));
        state_->sessions.emplace(serial, self);
        lastFrame_ = Clock::now();
        state_->record([&](Snapshot& s) {
            ++s.connectionsAccepted;
            ++s.openSockets;
            s.socketIds.push_back(socketId);
        });

        const std::string_view target = request.target();
        const std::string_view path = target.substr(0, target.find('?'));
        if (path != "/app/" + state_->options.key) {
            send(errorFrame(4001, "App key " +
                                      std::string(path.substr(std::min<std::size_t>(path.size(), 5))) +
                                      " not in this cluster. Did you forget to specify the cluster?"));
            closeCode_ = 4001;
            startWriting();
        } else {
            json::Ordered established = json::Ordered::object();
            established["socket_id"] = socketId;
            established["activity_timeout"] = state_->options.activityTimeout.count();
            // Pusher servers send the data of their own events as a JSON string.
            send(frame("pusher:connection_established", json::dump(established)));
            if (state_->options.pingWhenIdle)
                asio::co_spawn(ws_.get_executor(), pingWhenIdle(self), asio::detached);
        }

        beast::flat_buffer buffer;
        try {
            for (;;) {
                co_await ws_.async_read(buffer, asio::use_awaitable);
                lastFrame_ = Clock::now();
                if (ws_.got_text())
                    handle(beast::buffers_to_string(buffer.data()));
                buffer.consume(buffer.size());
            }
        } catch (const std::exception&) {
            // The peer closed, went away or was dropped.
        }
        closed_ = true;
        pingTimer_.cancel();
        state_->sessions.erase(serial);
        state_->record([](Snapshot& s) { --s.openSockets; });
    }

    bool send(std::string text) override {
        if (closed_ || closeCode_ || state_->silent)
            return false;
        queue_.push_back(std::move(text));
        startWriting();
        return true;
    }

    // Closes the TCP connection under the WebSocket: no close frame, no TLS close_notify.
    void drop() override {
        closed_ = true;
        queue_.clear();
        pingTimer_.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    void startWriting() {
        if (writing_)
            return;
        writing_ = true;
        asio::co_spawn(ws_.get_executor(), writeQueued(this->shared_from_this()), asio::detached);
    }

    // The only writer of the socket: Beast allows one write in flight, the close frame included.
    asio::awaitable<void> writeQueued([[maybe_unused]] std::shared_ptr<WebSocketSession> self) {
        try {
            while (!closed_ && !queue_.empty()) {
                const std::string text = std::move(queue_.front());
                queue_.pop_front();
                co_await ws_.async_write(asio::buffer(text), asio::use_awaitable);
            }
            if (!closed_ && closeCode_) {
                const websocket::close_reason reason(*closeCode_);
                co_await ws_.async_close(reason, asio::use_awaitable);
            }
        } catch (const std::exception&) {
            queue_.clear();
        }
        writing_ = false;
    }

    asio::awaitable<void> pingWhenIdle([[maybe_unused]] std::shared_ptr<WebSocketSession> self) {
        const auto idle = *state_->options.pingWhenIdle;
        auto lastPing = Clock::time_point::min();
        try {
            while (!closed_) {
                pingTimer_.expires_at(std::max(lastFrame_, lastPing) + idle);
                co_await pingTimer_.async_wait(asio::use_awaitable);
                if (closed_)
                    break;
                const auto now = Clock::now();
                if (now - std::max(lastFrame_, lastPing) < idle)
                    continue;
                lastPing = now;
                if (send(frame("pusher:ping", json::Ordered::object()))) {
                    state_->record([](Snapshot& s) { ++s.pingsSent; });
                }
            }
        } catch (const std::exception&) {
            // Cancelled because the socket ended.
        }
    }

    void handle(const std::string& text) {
        state_->record([&](Snapshot& s) { s.framesReceived.push_back(text); });
        const auto message = nlohmann::json::parse(text, nullptr, false);
        const std::string event = memberString(message, "event");
        if (event.empty())
            return;
        nlohmann::json data = message.contains("data") ? message["data"] : nlohmann::json();
        if (data.is_string()) {
            auto inner = nlohmann::json::parse(data.get<std::string>(), nullptr, false);
            if (!inner.is_discarded())
                data = std::move(inner);
        }
        if (event == "pusher:ping") {
            state_->record([](Snapshot& s) { ++s.pingsReceived; });
            send(frame("pusher:pong", json::Ordered::object()));
        } else if (event == "pusher:pong") {
            state_->record([](Snapshot& s) { ++s.pongsReceived; });
        } else if (event == "pusher:subscribe") {
            subscribe(data);
        } else if (event == "pusher:unsubscribe") {
            channels.erase(memberString(data, "channel"));
        }
    }

    void subscribe(const nlohmann::json& data) {
        const std::string channel = memberString(data, "channel");
        if (channel.empty()) {
            send(errorFrame(std::nullopt, "pusher:subscribe needs a channel"));
            return;
        }
        std::optional<std::string> refusal;
        const std::string auth = memberString(data, "auth");
        if (state_->refuseSubscriptions) {
            refusal = "Subscription to " + channel + " refused";
        } else if (channel.starts_with("private-") || channel.starts_with("presence-")) {
            const std::string channelData = memberString(data, "channel_data");
            const std::string expected = PusherSignature::channelAuth(
                state_->options.key, state_->options.secret, socketId, channel, channelData);
            if (!PusherSignature::equalInConstantTime(auth, expected)) {
                refusal = "Invalid signature: Expected HMAC SHA256 hex digest of " + socketId + ":" +
                          channel + (channelData.empty() ? "" : ":" + channelData) + ", but got " + auth;
            }
        }
        if (refusal) {
            send(errorFrame(std::nullopt, *refusal));
        } else {
            channels.insert(channel);
            send(frame("pusher_internal:subscription_succeeded", "{}", channel));
        }
        state_->record([&](Snapshot& s) { s.subscriptions.push_back({channel, socketId, !refusal}); });
    }

    State* state_;
    websocket::stream<Next> ws_;
    asio::steady_timer pingTimer_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    bool closed_ = false;
    std::optional<std::uint16_t> closeCode_;
    Clock::time_point lastFrame_ = Clock::now();
};

template <class Stream> asio::awaitable<void> refuseWithPage(Stream& stream, const Request& request) {
    Response page{http::status::ok, request.version()};
    page.set(http::field::content_type, "text/html; charset=utf-8");
    page.body() = "<!DOCTYPE html>\n<html><head><title>Welcome</title></head>"
                  "<body><h1>Welcome</h1><p>Nothing to see here.</p></body></html>\n";
    page.keep_alive(false);
    page.prepare_payload();
    co_await http::async_write(stream, page, asio::use_awaitable);
}

// Requests on one connection until it upgrades to a WebSocket or ends.
template <class Stream> asio::awaitable<void> serveHttp(State* state, Stream stream) {
    beast::flat_buffer buffer;
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(1024 * 1024);
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(30));
        co_await http::async_read(stream, buffer, parser, asio::use_awaitable);
        beast::get_lowest_layer(stream).expires_never();
        Request request = parser.release();
        if (websocket::is_upgrade(request)) {
            const bool refuse = state->refuseUpgrade;
            state->record([&](Snapshot& s) {
                s.requestTargets.emplace_back(request.target());
                if (refuse)
                    ++s.upgradesRefused;
            });
            if (refuse) {
                co_await refuseWithPage(stream, request);
                co_return;
            }
            auto session = std::make_shared<WebSocketSession<Stream>>(state, std::move(stream));
            co_await session->run(std::move(request));
            co_return;
        }
        Response response = state->answer(request);
        co_await http::async_write(stream, response, asio::use_awaitable);
        if (!response.keep_alive())
            co_return;
    }
}

asio::awaitable<void> servePlain(State* state, tcp::socket socket) {
    try {
        beast::tcp_stream stream(std::move(socket));
        co_await serveHttp(state, std::move(stream));
    } catch (const std::exception&) {
        // The client went away or sent something that is not HTTP.
    }
}

asio::awaitable<void> serveTls(State* state, tcp::socket socket) {
    try {
        beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), state->tls);
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(10));
        co_await stream.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
        co_await serveHttp(state, std::move(stream));
    } catch (const std::exception&) {
        // The client refused the certificate or went away.
    }
}

// The coroutines refer to the state plainly: the server stops its context and joins the thread
// before the state goes.
asio::awaitable<void> acceptLoop(State* state, tcp::acceptor& acceptor, bool tls) {
    try {
        for (;;) {
            tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
            socket.set_option(tcp::no_delay(true));
            if (tls) {
                asio::co_spawn(state->context, serveTls(state, std::move(socket)), asio::detached);
            } else {
                asio::co_spawn(state->context, servePlain(state, std::move(socket)), asio::detached);
            }
        }
    } catch (const std::exception&) {
        // The acceptor was closed.
    }
}

} // namespace

PusherTestServer::PusherTestServer(Options options) : state_(std::make_shared<State>()) {
    state_->options = std::move(options);
    useTestCertificate(state_->tls);
    listenOnLoopback(state_->plainAcceptor);
    listenOnLoopback(state_->tlsAcceptor);
    state_->plainPort = state_->plainAcceptor.local_endpoint().port();
    state_->tlsPort = state_->tlsAcceptor.local_endpoint().port();
    State* state = state_.get();
    asio::co_spawn(state->context, acceptLoop(state, state->plainAcceptor, false), asio::detached);
    asio::co_spawn(state->context, acceptLoop(state, state->tlsAcceptor, true), asio::detached);
    state_->thread = std::thread([state] { state->context.run(); });
}

PusherTestServer::~PusherTestServer() {
    // Clients see their sockets end before the context goes; what is still pending is destroyed
    // with the context.
    asio::post(state_->context, [state = state_.get()] {
        beast::error_code ignored;
        state->plainAcceptor.close(ignored);
        state->tlsAcceptor.close(ignored);
        state->dropAll();
        state->context.stop();
    });
    state_->thread.join();
}

const PusherTestServer::Options& PusherTestServer::options() const {
    return state_->options;
}
unsigned short PusherTestServer::wsPort() const {
    return state_->plainPort;
}
unsigned short PusherTestServer::wssPort() const {
    return state_->tlsPort;
}

std::string PusherTestServer::socketUrl(bool tls) const {
    return std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(tls ? wssPort() : wsPort()) +
           "/app/" + state_->options.key + "?protocol=7&client=varnel-test&version=1.0";
}

std::filesystem::path PusherTestServer::caFile() {
    return TestCertificates::shared().caFile;
}

std::string PusherTestServer::sign(std::string_view socketId, std::string_view channel) const {
    return PusherSignature::channelAuth(state_->options.key, state_->options.secret, socketId, channel);
}

void PusherTestServer::dropAll() {
    asio::post(state_->context, [state = state_.get()] { state->dropAll(); });
}

void PusherTestServer::restart(std::chrono::milliseconds downtime) {
    // Each step runs on the server's thread; its failure (the port taken meanwhile) reaches the caller.
    State* state = state_.get();
    const PortHold plainHold(state->plainPort);
    const PortHold tlsHold(state->tlsPort);
    runOnThread(state->context, [state] {
        beast::error_code ignored;
        state->plainAcceptor.close(ignored);
        state->tlsAcceptor.close(ignored);
        state->dropAll();
    });
    std::this_thread::sleep_for(downtime);
    runOnThread(state->context, [state] {
        listenOnLoopback(state->plainAcceptor, state->plainPort);
        listenOnLoopback(state->tlsAcceptor, state->tlsPort);
        asio::co_spawn(state->context, acceptLoop(state, state->plainAcceptor, false), asio::detached);
        asio::co_spawn(state->context, acceptLoop(state, state->tlsAcceptor, true), asio::detached);
    });
}

void PusherTestServer::setSilent(bool silent) {
    state_->silent = silent;
}
void PusherTestServer::setRefuseSubscriptions(bool refuse) {
    state_->refuseSubscriptions = refuse;
}
void PusherTestServer::setRefuseUpgrade(bool refuse) {
    state_->refuseUpgrade = refuse;
}

void PusherTestServer::trigger(std::string channel, std::string event, std::string data,
                               std::string exceptSocketId) {
    asio::post(state_->context, [state = state_.get(), channel = std::move(channel), event = std::move(event),
                                 data = std::move(data), except = std::move(exceptSocketId)] {
        state->deliver(channel, event, data, except);
    });
}

PusherTestServer::Snapshot PusherTestServer::snapshot() const {
    return state_->snapshot();
}

bool PusherTestServer::waitFor(const std::function<bool(const Snapshot&)>& condition,
                               std::chrono::milliseconds limit) const {
    return state_->waitFor(condition, limit);
}

} // namespace varnel::testing
