#include "Bench/BenchControl.hpp"

#include "Bench/BenchHttp.hpp"
#include "Bench/TestBench.hpp"
#include "VarnelKit/Support/Base64.hpp"
#include "VarnelKit/Support/Iso8601.hpp"
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
#include <charconv>
#include <regex>
#include <stdexcept>
#include <thread>

namespace varnel::testing {


struct BenchControl::State {
    TestBench* bench;
    asio::io_context context;
    tcp::acceptor acceptor{context};
    unsigned short port = 0;
    std::thread thread;
};

namespace {

Response failure(const Request& request, http::status status, const std::string& message) {
    json::Ordered body = json::Ordered::object();
    body["error"] = message;
    return httpReply(request, status, json::dump(body));
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

Response answerPusher(PusherTestServer& pusher, const Request& request, const boost::urls::url_view& url) {
    const std::string path = url.path();
    const bool get = request.method() == http::verb::get;
    const bool post = request.method() == http::verb::post;

    if (path == "/pusher/auth" && get) {
        const auto params = url.params();
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
        return httpReply(request, http::status::ok, json::dump(body));
    }
    if (path == "/pusher/state" && get)
        return httpReply(request, http::status::ok, json::dump(stateJson(pusher.snapshot())));
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
    return httpReply(request, http::status::ok, "{}");
}

// A control request that cannot be carried out; answered 400 with its text.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

nlohmann::json parsedBody(const Request& request) {
    if (request.body().empty())
        return nlohmann::json::object();
    auto body = nlohmann::json::parse(request.body(), nullptr, false);
    if (!body.is_object())
        throw BadRequest("the body must be a JSON object");
    return body;
}

std::string text(const nlohmann::json& body, const char* key, std::string fallback = {}) {
    const auto found = body.find(key);
    if (found == body.end() || found->is_null())
        return fallback;
    if (!found->is_string())
        throw BadRequest(std::string(key) + " must be text");
    return found->get<std::string>();
}

std::int64_t integer(const nlohmann::json& body, const char* key, std::int64_t fallback) {
    const auto found = body.find(key);
    if (found == body.end() || found->is_null())
        return fallback;
    if (!found->is_number_integer())
        throw BadRequest(std::string(key) + " must be an integer");
    return found->get<std::int64_t>();
}

std::size_t countOf(std::int64_t value) {
    return static_cast<std::size_t>(std::max<std::int64_t>(value, 0));
}

std::int64_t idIn(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0)
        throw BadRequest("not a number: " + std::string(text));
    return value;
}

RawTestPrinter::Mode modeNamed(const std::string& name) {
    if (name == "accept")
        return RawTestPrinter::Mode::accept;
    if (name == "refuse")
        return RawTestPrinter::Mode::refuse;
    if (name == "stall")
        return RawTestPrinter::Mode::stall;
    if (name == "drop")
        return RawTestPrinter::Mode::drop;
    throw BadRequest("mode must be accept, refuse, stall or drop");
}

std::string modeName(RawTestPrinter::Mode mode) {
    switch (mode) {
    case RawTestPrinter::Mode::accept:
        return "accept";
    case RawTestPrinter::Mode::refuse:
        return "refuse";
    case RawTestPrinter::Mode::stall:
        return "stall";
    case RawTestPrinter::Mode::drop:
        break;
    }
    return "drop";
}

ManagementOperation operationIn(const nlohmann::json& body) {
    const auto name = text(body, "operation");
    const auto operation = operationNamed(name);
    if (!operation)
        throw BadRequest("no such operation: " + name);
    return *operation;
}

nlohmann::json managementJson(const ManagementTestServer& server) {
    const auto s = server.snapshot();
    nlohmann::json out = nlohmann::json::object();
    out["enrollments"] = s.enrollments;
    out["heartbeats"] = s.heartbeats;
    out["printerSyncs"] = s.printerSyncs;
    out["assignedPrinterFetches"] = s.assignedPrinterFetches;
    out["pendingFetches"] = s.pendingFetches;
    out["jobFetches"] = s.jobFetches;
    nlohmann::json results = nlohmann::json::object();
    for (const auto& [id, list] : s.results)
        results[std::to_string(id)] = list;
    out["results"] = results;
    out["events"] = s.events;
    out["authCalls"] = s.authCalls;
    nlohmann::json requests = nlohmann::json::array();
    for (const auto& request : s.requests) {
        requests.push_back({{"operation", request.operation ? std::string(operationName(*request.operation)) : ""},
                            {"method", request.method},
                            {"target", request.target},
                            {"status", request.status}});
    }
    out["requests"] = requests;
    out["unauthorized"] = s.unauthorized;
    out["connectionsAccepted"] = s.connectionsAccepted;
    out["openConnections"] = s.openConnections;
    out["stalled"] = s.stalled;
    out["restarts"] = s.restarts;
    out["pendingJobIds"] = server.pendingJobIds();
    return out;
}

nlohmann::json printerJson(std::size_t index, const RawTestPrinter& printer) {
    nlohmann::json connections = nlohmann::json::array();
    const auto snapshot = printer.snapshot();
    for (const auto& connection : snapshot.connections) {
        connections.push_back({{"size", connection.bytes.size()},
                               {"data", Base64::encode(std::string_view(connection.bytes))},
                               {"open", connection.open},
                               {"endedCleanly", connection.endedCleanly},
                               {"stalled", connection.stalled},
                               {"dropped", connection.dropped},
                               {"probe", connection.isProbe()}});
    }
    return {{"index", index},
            {"port", printer.port()},
            {"key", printer.key()},
            {"mode", modeName(printer.mode())},
            {"probes", snapshot.probes()},
            {"jobs", snapshot.jobs().size()},
            {"connections", connections}};
}

Response ok(const Request& request, const nlohmann::json& body = nlohmann::json::object()) {
    return httpReply(request, http::status::ok, body.dump());
}

Response answerJobs(ManagementTestServer& server, const Request& request, const std::vector<std::string>& segments,
                    const nlohmann::json& body) {
    if (segments.size() == 1) {
        BenchJob job;
        job.printerKey = text(body, "printer_key");
        if (job.printerKey.empty())
            throw BadRequest("printer_key is needed");
        job.language = text(body, "language", job.language);
        job.payload = text(body, "payload");
        job.encoding = text(body, "encoding", job.encoding);
        job.copies = integer(body, "copies", job.copies);
        job.printerId = integer(body, "printer_id", job.printerId);
        if (const auto expiry = text(body, "expires_at"); !expiry.empty()) {
            job.expiresAt = Iso8601::parse(expiry);
            if (!job.expiresAt)
                throw BadRequest("expires_at is not an RFC 3339 time");
        }
        const auto delivery = text(body, "delivery", "pushed");
        if (delivery == "pushed") {
            job.delivery = JobDelivery::pushed;
        } else if (delivery == "pending") {
            job.delivery = JobDelivery::pending;
        } else if (delivery == "both") {
            job.delivery = JobDelivery::both;
        } else {
            throw BadRequest("delivery must be pushed, pending or both");
        }
        return ok(request, {{"job_id", server.createJob(std::move(job))}});
    }
    if (segments.size() != 3)
        throw BadRequest("no such control");
    const auto id = idIn(segments[1]);
    if (segments[2] == "push") {
        server.push(id);
    } else if (segments[2] == "expire") {
        server.expire(id);
    } else if (segments[2] == "remove") {
        server.remove(id);
    } else {
        throw BadRequest("no such control");
    }
    return ok(request);
}

Response answerFaults(ManagementTestServer& server, const Request& request, const std::string& what,
                      const nlohmann::json& body) {
    if (what == "fail") {
        const auto status = integer(body, "status", 0);
        if (status < 100 || status > 599)
            throw BadRequest("status must be an HTTP status");
        const auto count = integer(body, "count", 1);
        std::optional<std::string> replyBody;
        if (body.contains("body") && !body["body"].is_null())
            replyBody = body["body"].is_string() ? body["body"].get<std::string>() : body["body"].dump();
        server.failNext(operationIn(body), static_cast<int>(status), countOf(count), replyBody);
    } else if (what == "stall") {
        server.stallNext(operationIn(body), countOf(integer(body, "count", 1)));
    } else if (what == "release") {
        server.releaseStalled();
    } else if (what == "clear") {
        server.clearFaults();
    } else {
        throw BadRequest("no such control");
    }
    return ok(request);
}

Response answerPrinters(TestBench& bench, const Request& request, const std::vector<std::string>& segments,
                        const nlohmann::json& body, bool get) {
    if (segments.size() == 1 && !get) {
        const auto mode = modeNamed(text(body, "mode", "accept"));
        const auto limit = countOf(integer(body, "limit", 0));
        auto& printer = bench.addPrinter(mode, limit);
        return ok(request, {{"index", bench.printerCount() - 1}, {"port", printer.port()}, {"key", printer.key()}});
    }
    if (segments.size() < 2)
        throw BadRequest("no such control");
    const auto index = static_cast<std::size_t>(idIn(segments[1]));
    if (index >= bench.printerCount())
        throw BadRequest("no printer " + segments[1]);
    auto& printer = bench.printer(index);
    if (segments.size() == 2 && get)
        return ok(request, printerJson(index, printer));
    if (segments.size() == 3 && !get && segments[2] == "mode") {
        printer.setMode(modeNamed(text(body, "mode")),
                        countOf(integer(body, "limit", 0)));
        return ok(request);
    }
    if (segments.size() == 3 && !get && segments[2] == "resume") {
        printer.resume();
        return ok(request);
    }
    throw BadRequest("no such control");
}

Response answerBench(TestBench& bench, const Request& request, const std::string& path) {
    std::vector<std::string> segments;
    for (std::size_t start = 1; start <= path.size();) {
        const auto slash = std::min(path.find('/', start), path.size());
        if (slash > start)
            segments.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    const bool get = request.method() == http::verb::get;
    const bool post = request.method() == http::verb::post;
    if (segments.empty() || (!get && !post))
        return failure(request, http::status::not_found, "no such control");

    if (get && segments.size() == 1 && segments[0] == "state") {
        nlohmann::json printers = nlohmann::json::array();
        for (std::size_t i = 0; i < bench.printerCount(); ++i)
            printers.push_back(printerJson(i, bench.printer(i)));
        return ok(request, {{"pusher", nlohmann::json::parse(json::dump(stateJson(bench.pusher().snapshot())))},
                            {"management", managementJson(bench.management())},
                            {"printers", printers}});
    }
    if (get && segments.size() == 2 && segments[0] == "management" && segments[1] == "state")
        return ok(request, managementJson(bench.management()));
    if (segments[0] == "printers")
        return answerPrinters(bench, request, segments, get ? nlohmann::json::object() : parsedBody(request), get);
    if (get)
        return failure(request, http::status::not_found, "no such control");

    const auto body = parsedBody(request);
    if (segments[0] == "jobs")
        return answerJobs(bench.management(), request, segments, body);
    if (segments[0] == "faults" && segments.size() == 2)
        return answerFaults(bench.management(), request, segments[1], body);
    if (segments[0] == "restart" && segments.size() == 1) {
        bench.restart(std::chrono::milliseconds(std::max<std::int64_t>(integer(body, "downtime_ms", 0), 0)));
        return ok(request);
    }
    if (segments[0] == "management" && segments.size() == 2 && segments[1] == "assigned") {
        if (!body.contains("printers") || !body["printers"].is_array())
            throw BadRequest("printers must be a list");
        bench.management().setAssignedPrinters(body["printers"]);
        return ok(request);
    }
    if (segments[0] == "management" && segments.size() == 2 && segments[1] == "update") {
        const auto update = body.find("update");
        if (update == body.end() || update->is_null()) {
            bench.management().setUpdateOffer(std::nullopt);
        } else if (update->is_object()) {
            bench.management().setUpdateOffer(*update);
        } else {
            throw BadRequest("update must be an object or null");
        }
        return ok(request);
    }
    return failure(request, http::status::not_found, "no such control");
}

Response answer(TestBench& bench, const Request& request) {
    const auto url = boost::urls::parse_origin_form(request.target());
    if (!url)
        return failure(request, http::status::bad_request, "malformed target");
    const std::string path = url->path();
    try {
        if (path.starts_with("/pusher/"))
            return answerPusher(bench.pusher(), request, *url);
        return answerBench(bench, request, path);
    } catch (const BadRequest& error) {
        return failure(request, http::status::bad_request, error.what());
    } catch (const std::exception& error) {
        return failure(request, http::status::internal_server_error, error.what());
    }
}

asio::awaitable<void> serve(BenchControl::State* state, tcp::socket socket) {
    try {
        beast::tcp_stream stream(std::move(socket));
        beast::flat_buffer buffer;
        for (;;) {
            Request request;
            stream.expires_after(std::chrono::seconds(30));
            co_await http::async_read(stream, buffer, request, asio::use_awaitable);
            Response response = answer(*state->bench, request);
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

BenchControl::BenchControl(TestBench& bench) : state_(std::make_shared<State>()) {
    state_->bench = &bench;
    listenOnLoopback(state_->acceptor);
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
