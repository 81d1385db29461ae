#include "Bench/BenchControl.hpp"

#include "Bench/PusherTestServer.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>
#include <regex>
#include <thread>

namespace varnel::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

struct BenchControl::State {
    PusherTestServer* pusher;
    asio::io_context context;
    tcp::acceptor acceptor{context};
    unsigned short port = 0;
    std::thread thread;
};

namespace {

Response reply(const Request& request, http::status status, const std::string& body) {
    Response response{status, request.version()};
    response.set(http::field::content_type, "application/json");
    response.body() = body;
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    return response;
}

Response failure(const Request& request, http::status status, const std::string& message) {
    json::Ordered body = json::Ordered::object();
    body["error"] = message;
    return reply(request, status, json::dump(body));
}

json::Ordered stateJson(const PusherTestServer::Snapshot& s) {
    json::Ordered out = json::Ordered::object();
    out["connectionsAccepted"] = s.connectionsAccepted;
    out["upgradesRefused"] = s.upgradesRefused;
    out["openSockets"] = s.openSockets;
    out["pingsReceived"] = s.pingsReceived;
    out["pongsReceived"] = s.pongsReceived;
    out["pingsSent"] = s.pingsSent;
    out["eventsSent"] = s.eventsSent;
    out["apiTriggersAccepted"] = s.apiTriggersAccepted;
    out["apiTriggersRefused"] = s.apiTriggersRefused;
    out["requestTargets"] = s.requestTargets;
    out["socketIds"] = s.socketIds;
    json::Ordered subscriptions = json::Ordered::array();
    for (const auto& subscription : s.subscriptions) {
        json::Ordered item = json::Ordered::object();
        item["channel"] = subscription.channel;
        item["socketId"] = subscription.socketId;
        item["accepted"] = subscription.accepted;
        subscriptions.push_back(item);
    }
    out["subscriptions"] = subscriptions;
    out["framesReceived"] = s.framesReceived;
    return out;
}

std::optional<bool> flag(const nlohmann::json& body, const char* key) {
    const auto found = body.find(key);
    if (found == body.end() || !found->is_boolean())
        return std::nullopt;
    return found->get<bool>();
}

Response answer(PusherTestServer& pusher, const Request& request) {
    const auto url = boost::urls::parse_origin_form(request.target());
    if (!url)
        return failure(request, http::status::bad_request, "malformed target");
    const std::string path = url->path();
    const bool get = request.method() == http::verb::get;
    const bool post = request.method() == http::verb::post;

    if (path == "/pusher/auth" && get) {
        const auto params = url->params();
        const auto socketId = params.find("socket_id");
        const auto channel = params.find("channel_name");
        if (socketId == params.end() || channel == params.end() || !(*socketId).has_value ||
            !(*channel).has_value) {
            return failure(request, http::status::bad_request, "socket_id and channel_name are needed");
        }
        // Socket ids are "<digits>.<digits>"; anything else is refused as a real endpoint does.
        if (!std::regex_match((*socketId).value, std::regex(R"(\d+\.\d+)"))) {
            return failure(request, http::status::bad_request, "invalid socket_id");
        }
        json::Ordered body = json::Ordered::object();
        body["auth"] = pusher.sign((*socketId).value, (*channel).value);
        return reply(request, http::status::ok, json::dump(body));
    }
    if (path == "/pusher/state" && get)
        return reply(request, http::status::ok, json::dump(stateJson(pusher.snapshot())));
    if (!post)
        return failure(request, http::status::not_found, "no such control");

    const auto body = request.body().empty() ? nlohmann::json::object()
                                             : nlohmann::json::parse(request.body(), nullptr, false);
    if (!body.is_object())
        return failure(request, http::status::bad_request, "the body must be a JSON object");
    if (path == "/pusher/drop") {
        pusher.dropAll();
    } else if (path == "/pusher/faults") {
        if (const auto silent = flag(body, "silent"))
            pusher.setSilent(*silent);
        if (const auto refuse = flag(body, "refuseSubscriptions"))
            pusher.setRefuseSubscriptions(*refuse);
        if (const auto refuse = flag(body, "refuseUpgrade"))
            pusher.setRefuseUpgrade(*refuse);
    } else if (path == "/pusher/trigger") {
        const auto text = [&](const char* key) {
            const auto found = body.find(key);
            return found != body.end() && found->is_string() ? found->get<std::string>() : std::string();
        };
        if (text("channel").empty() || text("event").empty() || !body.contains("data") ||
            !body["data"].is_string()) {
            return failure(request, http::status::bad_request, "channel, event and data (text) are needed");
        }
        pusher.trigger(text("channel"), text("event"), text("data"), text("except_socket_id"));
    } else {
        return failure(request, http::status::not_found, "no such control");
    }
    return reply(request, http::status::ok, "{}");
}

asio::awaitable<void> serve(BenchControl::State* state, tcp::socket socket) {
    try {
        beast::tcp_stream stream(std::move(socket));
        beast::flat_buffer buffer;
        for (;;) {
            Request request;
            stream.expires_after(std::chrono::seconds(30));
            co_await http::async_read(stream, buffer, request, asio::use_awaitable);
            Response response = answer(*state->pusher, request);
            co_await http::async_write(stream, response, asio::use_awaitable);
            if (!response.keep_alive())
                break;
        }
    } catch (const std::exception&) {
        // The client went away.
    }
}

asio::awaitable<void> acceptLoop(BenchControl::State* state) {
    try {
        for (;;) {
            tcp::socket socket = co_await state->acceptor.async_accept(asio::use_awaitable);
            asio::co_spawn(state->context, serve(state, std::move(socket)), asio::detached);
        }
    } catch (const std::exception&) {
        // The acceptor was closed.
    }
}

} // namespace

BenchControl::BenchControl(PusherTestServer& pusher) : state_(std::make_shared<State>()) {
    state_->pusher = &pusher;
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    state_->acceptor.open(endpoint.protocol());
    state_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    state_->acceptor.bind(endpoint);
    state_->acceptor.listen();
    state_->port = state_->acceptor.local_endpoint().port();
    asio::co_spawn(state_->context, acceptLoop(state_.get()), asio::detached);
    state_->thread = std::thread([state = state_.get()] { state->context.run(); });
}

BenchControl::~BenchControl() {
    asio::post(state_->context, [state = state_.get()] { state->context.stop(); });
    state_->thread.join();
}

unsigned short BenchControl::port() const {
    return state_->port;
}

} // namespace varnel::testing
