#include "Bench/ManagementTestServer.hpp"

#include "Bench/BenchHttp.hpp"
#include "Bench/PusherTestServer.hpp"
#include "Bench/RecordedState.hpp"
#include "Bench/RunOnThread.hpp"
#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <boost/asio/as_tuple.hpp>
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
#include <charconv>
#include <deque>
#include <mutex>
#include <thread>

namespace varnel::testing {

using Operation = ManagementOperation;

namespace {

constexpr std::pair<Operation, std::string_view> operationNames[] = {
    {Operation::enroll, "enroll"},
    {Operation::heartbeat, "heartbeat"},
    {Operation::syncPrinters, "printers.sync"},
    {Operation::assignedPrinters, "printers.assigned"},
    {Operation::pendingJobs, "jobs.pending"},
    {Operation::job, "job"},
    {Operation::result, "result"},
    {Operation::events, "events"},
    {Operation::channelAuth, "auth"},
};

} // namespace

std::string_view operationName(ManagementOperation operation) {
    for (const auto& [candidate, name] : operationNames) {
        if (candidate == operation)
            return name;
    }
    return "unknown";
}

std::optional<ManagementOperation> operationNamed(std::string_view name) {
    for (const auto& [operation, candidate] : operationNames) {
        if (candidate == name)
            return operation;
    }
    return std::nullopt;
}

std::size_t ManagementTestServer::Snapshot::requestCount(ManagementOperation operation) const {
    std::size_t count = 0;
    for (const auto& request : requests) {
        if (request.operation == operation)
            ++count;
    }
    return count;
}

std::size_t ManagementTestServer::Snapshot::resultCount(std::int64_t jobId) const {
    const auto found = results.find(jobId);
    return found == results.end() ? 0 : found->second.size();
}

const nlohmann::json* ManagementTestServer::Snapshot::lastResult(std::int64_t jobId) const {
    const auto found = results.find(jobId);
    return found == results.end() || found->second.empty() ? nullptr : &found->second.back();
}

std::vector<std::string> ManagementTestServer::Snapshot::eventKinds() const {
    std::vector<std::string> kinds;
    for (const auto& event : events) {
        kinds.push_back(event.is_object() && event.contains("kind") && event["kind"].is_string()
                            ? event["kind"].get<std::string>()
                            : std::string());
    }
    return kinds;
}

namespace {

using Stream = beast::ssl_stream<beast::tcp_stream>;

// One kept-alive connection, as the server's thread sees it.
struct Connection {
    Connection(tcp::socket socket, asio::ssl::context& tls) : stream(std::move(socket), tls) {}
    void close() {
        beast::error_code ignored;
        beast::get_lowest_layer(stream).socket().close(ignored);
    }
    Stream stream;
};

// A request held by a stall: released by the test, or given up when the peer goes.
struct Held {
    explicit Held(const asio::any_io_executor& executor) : timer(executor) {}
    asio::steady_timer timer;
    bool released = false;
    bool peerGone = false;
};

struct JobRecord {
    BenchJob spec;
    bool listed = false;
    bool removed = false;
};

struct Fault {
    int status = 500;
    std::string body;
    std::size_t remaining = 0;
};

struct Route {
    Operation operation;
    std::optional<std::int64_t> deviceId;
    std::optional<std::int64_t> jobId;
};

std::optional<std::int64_t> idIn(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0)
        return std::nullopt;
    return value;
}

std::vector<std::string_view> segmentsOf(std::string_view path) {
    std::vector<std::string_view> segments;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const auto segment = path.substr(0, slash);
        if (!segment.empty())
            segments.push_back(segment);
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return segments;
}

std::optional<Route> routeOf(http::verb method, std::string_view target) {
    const auto segments = segmentsOf(target.substr(0, target.find('?')));
    const auto is = [&](std::size_t count) { return segments.size() == count; };
    const auto get = method == http::verb::get;
    const auto post = method == http::verb::post;
    if (is(3) && segments[0] == "api" && segments[1] == "broadcasting" && segments[2] == "auth" && post)
        return Route{Operation::channelAuth, {}, {}};
    if (segments.size() < 4 || segments[0] != "api" || segments[1] != "v1")
        return std::nullopt;
    if (segments[2] == "devices") {
        if (is(4) && segments[3] == "enroll" && post)
            return Route{Operation::enroll, {}, {}};
        const auto device = idIn(segments[3]);
        if (!device)
            return std::nullopt;
        if (is(5) && segments[4] == "heartbeat" && post)
            return Route{Operation::heartbeat, device, {}};
        if (is(5) && segments[4] == "printers" && method == http::verb::put)
            return Route{Operation::syncPrinters, device, {}};
        if (is(5) && segments[4] == "printers" && get)
            return Route{Operation::assignedPrinters, device, {}};
        if (is(6) && segments[4] == "jobs" && segments[5] == "pending" && get)
            return Route{Operation::pendingJobs, device, {}};
        if (is(5) && segments[4] == "events" && post)
            return Route{Operation::events, device, {}};
        return std::nullopt;
    }
    if (segments[2] == "jobs") {
        const auto job = idIn(segments[3]);
        if (!job)
            return std::nullopt;
        if (is(4) && get)
            return Route{Operation::job, {}, job};
        if (is(5) && segments[4] == "result" && post)
            return Route{Operation::result, {}, job};
    }
    return std::nullopt;
}

std::string message(const std::string& text) {
    json::Ordered body = json::Ordered::object();
    body["message"] = text;
    return json::dump(body);
}

std::string defaultFaultBody(int status) {
    json::Ordered body = json::Ordered::object();
    switch (status) {
    case 401:
        body["message"] = "Unauthenticated.";
        break;
    case 403:
        body["message"] = "This action is unauthorized.";
        break;
    case 410:
        body["message"] = "This job is no longer available.";
        body["error_code"] = "job_gone";
        break;
    case 426:
        body["message"] = "This agent is too old.";
        body["minimum_version"] = "99.0.0";
        break;
    default:
        body["message"] = "Server Error";
        break;
    }
    return json::dump(body);
}

} // namespace

struct ManagementTestServer::State : RecordedState<ManagementTestServer::Snapshot> {
    PusherTestServer* pusher = nullptr;
    Options options;
    asio::ssl::context tls{asio::ssl::context::tls_server};

    // Guarded by the recorded state's mutex.
    std::map<std::int64_t, JobRecord> jobs;
    std::int64_t nextJobId = 1001;
    nlohmann::json assigned = nlohmann::json::array();
    std::optional<nlohmann::json> update;
    std::map<Operation, std::deque<Fault>> faults;
    std::map<Operation, std::size_t> stalls;

    // Declared after what the connections use, so that the connections the context destroys with
    // it never outlive those members.
    asio::io_context context;
    tcp::acceptor acceptor{context};
    unsigned short port = 0;
    // Keeps the thread running while nothing listens (between the two halves of a restart).
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning{context.get_executor()};

    // Touched on the server's thread only.
    std::map<std::uint64_t, std::weak_ptr<Connection>> connections;
    std::uint64_t connectionCount = 0;
    std::vector<std::weak_ptr<Held>> held;

    std::thread thread;

    void closeEverything() {
        beast::error_code ignored;
        acceptor.close(ignored);
        for (const auto& [id, weak] : connections) {
            if (const auto connection = weak.lock())
                connection->close();
        }
    }

    std::string channelName() const { return "private-device." + std::to_string(options.deviceId); }

    void announce(std::int64_t jobId) const {
        json::Ordered data = json::Ordered::object();
        data["job_id"] = jobId;
        pusher->trigger(channelName(), "job.created", json::dump(data));
    }

    bool takeStall(Operation operation) {
        std::lock_guard lock(mutex);
        auto& count = stalls[operation];
        if (count == 0)
            return false;
        --count;
        return true;
    }

    std::optional<Fault> takeFault(Operation operation) {
        std::lock_guard lock(mutex);
        auto& queue = faults[operation];
        if (queue.empty())
            return std::nullopt;
        Fault fault = queue.front();
        if (--queue.front().remaining == 0)
            queue.pop_front();
        return fault;
    }

    Response reply(const Request& request, int status, std::string body) const {
        return httpReply(request, static_cast<http::status>(status), std::move(body));
    }

    // Answers a request that arrived as entry `index` of the recorded requests.
    Response answer(const Request& request, const std::optional<Route>& route, std::size_t index) {
        Response response = respond(request, route);
        record([&](Snapshot& s) { s.requests[index].status = response.result_int(); });
        return response;
    }

    Response respond(const Request& request, const std::optional<Route>& route) {
        if (!route)
            return reply(request, 404, message("Not found."));
        if (const auto fault = takeFault(route->operation))
            return reply(request, fault->status, fault->body);
        if (route->operation != Operation::enroll) {
            const auto authorization = request[http::field::authorization];
            if (authorization != "Bearer " + options.token) {
                record([](Snapshot& s) { ++s.unauthorized; });
                return reply(request, 401, message("Unauthenticated."));
            }
        }
        if (route->deviceId && *route->deviceId != options.deviceId)
            return reply(request, 403, message("This action is unauthorized."));

        const bool hasBody = !request.body().empty();
        const auto body = hasBody ? nlohmann::json::parse(request.body(), nullptr, false) : nlohmann::json();
        const bool needsBody = route->operation != Operation::assignedPrinters &&
                               route->operation != Operation::pendingJobs && route->operation != Operation::job;
        if (needsBody && !body.is_object())
            return reply(request, 422, message("The body must be a JSON object."));

        switch (route->operation) {
        case Operation::enroll:
            return enroll(request, body);
        case Operation::heartbeat: {
            json::Ordered out = json::Ordered::object();
            out["ok"] = true;
            {
                std::lock_guard lock(mutex);
                if (update)
                    out["update"] = json::Ordered::parse(update->dump());
            }
            record([&](Snapshot& s) { s.heartbeats.push_back(body); });
            return reply(request, 200, json::dump(out));
        }
        case Operation::syncPrinters:
            if (!body.contains("printers") || !body["printers"].is_array())
                return reply(request, 422, message("The printers field is required."));
            record([&](Snapshot& s) { s.printerSyncs.push_back(body); });
            return reply(request, 200, "{}");
        case Operation::assignedPrinters: {
            nlohmann::json out = nlohmann::json::object();
            {
                std::lock_guard lock(mutex);
                out["printers"] = assigned;
            }
            record([](Snapshot& s) { ++s.assignedPrinterFetches; });
            return reply(request, 200, out.dump());
        }
        case Operation::pendingJobs:
            return pending(request);
        case Operation::job:
            return job(request, *route->jobId);
        case Operation::result:
            return result(request, *route->jobId, body);
        case Operation::events: {
            if (!body.contains("events") || !body["events"].is_array())
                return reply(request, 422, message("The events field is required."));
            record([&](Snapshot& s) {
                for (const auto& event : body["events"])
                    s.events.push_back(event);
            });
            return reply(request, 200, "{}");
        }
        case Operation::channelAuth:
            return channelAuth(request, body);
        }
        return reply(request, 404, message("Not found."));
    }

    Response enroll(const Request& request, const nlohmann::json& body) {
        const auto code = body.find("enrollment_code");
        if (code == body.end() || !code->is_string() || code->get<std::string>() != options.enrollmentCode)
            return reply(request, 422, message("The enrollment code is invalid or has expired."));
        json::Ordered out = json::Ordered::object();
        out["device_id"] = options.deviceId;
        out["name"] = options.deviceName;
        out["token"] = options.token;
        json::Ordered reverb = json::Ordered::object();
        reverb["key"] = pusher->options().key;
        reverb["host"] = "127.0.0.1";
        reverb["port"] = pusher->wssPort();
        reverb["scheme"] = "wss";
        out["reverb"] = reverb;
        record([&](Snapshot& s) { s.enrollments.push_back(body); });
        return reply(request, 200, json::dump(out));
    }

    Response pending(const Request& request) {
        json::Ordered list = json::Ordered::array();
        {
            std::lock_guard lock(mutex);
            for (const auto& [id, job] : jobs) {
                if (!job.listed || job.removed)
                    continue;
                json::Ordered item = json::Ordered::object();
                item["job_id"] = id;
                item["printer_id"] = job.spec.printerId;
                item["language"] = job.spec.language;
                list.push_back(item);
            }
        }
        json::Ordered out = json::Ordered::object();
        out["jobs"] = list;
        record([](Snapshot& s) { ++s.pendingFetches; });
        return reply(request, 200, json::dump(out));
    }

    Response job(const Request& request, std::int64_t jobId) {
        json::Ordered out = json::Ordered::object();
        {
            std::lock_guard lock(mutex);
            const auto found = jobs.find(jobId);
            if (found == jobs.end())
                return reply(request, 404, message("No such job."));
            if (found->second.removed)
                return reply(request, 410, defaultFaultBody(410));
            const BenchJob& spec = found->second.spec;
            out["job_id"] = jobId;
            out["printer_id"] = spec.printerId;
            out["printer_key"] = spec.printerKey;
            out["language"] = spec.language;
            out["copies"] = spec.copies;
            out["encoding"] = spec.encoding;
            out["payload"] = spec.payload;
            out["payload_url"] = nullptr;
            out["expires_at"] =
                spec.expiresAt ? json::Ordered(Iso8601::wholeSeconds(*spec.expiresAt)) : json::Ordered(nullptr);
        }
        record([&](Snapshot& s) { s.jobFetches.push_back(jobId); });
        return reply(request, 200, json::dump(out));
    }

    Response result(const Request& request, std::int64_t jobId, const nlohmann::json& body) {
        const auto state = body.find("state");
        if (state == body.end() || !state->is_string())
            return reply(request, 422, message("The state field is required."));
        {
            std::lock_guard lock(mutex);
            const auto found = jobs.find(jobId);
            if (found == jobs.end())
                return reply(request, 404, message("No such job."));
            // A settled job is no longer pending, as on the real server.
            found->second.listed = false;
        }
        record([&](Snapshot& s) { s.results[jobId].push_back(body); });
        return reply(request, 200, "{}");
    }

    Response channelAuth(const Request& request, const nlohmann::json& body) {
        const auto socketId = body.find("socket_id");
        const auto channel = body.find("channel_name");
        if (socketId == body.end() || channel == body.end() || !socketId->is_string() || !channel->is_string())
            return reply(request, 422, message("socket_id and channel_name are required."));
        // A device may listen only on its own channel.
        if (channel->get<std::string>() != channelName())
            return reply(request, 403, message("This action is unauthorized."));
        json::Ordered out = json::Ordered::object();
        out["auth"] = pusher->sign(socketId->get<std::string>(), channel->get<std::string>());
        record([&](Snapshot& s) { s.authCalls.push_back(body); });
        return reply(request, 200, json::dump(out));
    }
};

namespace {

using State = ManagementTestServer::State;
using Snapshot = ManagementTestServer::Snapshot;

// Holds a request until the test releases it (true) or the client goes away first (false). The
// socket is only watched for readability, which leaves the TLS layer untouched.
asio::awaitable<bool> hold(State* state, std::shared_ptr<Connection> connection) {
    auto held = std::make_shared<Held>(state->context.get_executor());
    state->held.push_back(held);
    state->record([](Snapshot& s) { ++s.stalled; });
    auto& socket = beast::get_lowest_layer(connection->stream).socket();
    socket.async_wait(tcp::socket::wait_read, [held](const beast::error_code&) {
        if (held->released)
            return;
        held->peerGone = true;
        held->timer.cancel();
    });
    held->timer.expires_at(asio::steady_timer::time_point::max());
    co_await held->timer.async_wait(asio::as_tuple(asio::use_awaitable));
    state->record([](Snapshot& s) { --s.stalled; });
    if (held->peerGone)
        co_return false;
    beast::error_code ignored;
    socket.cancel(ignored);
    co_return true;
}

asio::awaitable<void> serve(State* state, std::shared_ptr<Connection> connection, std::uint64_t id) {
    try {
        auto& stream = connection->stream;
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(10));
        co_await stream.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
        beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(256 * 1024 * 1024);
            // An idle kept-alive connection is closed after a while, as servers do.
            beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(300));
            co_await http::async_read_header(stream, buffer, parser, asio::use_awaitable);
            if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
                http::response<http::empty_body> proceed{http::status::continue_, parser.get().version()};
                co_await http::async_write(stream, proceed, asio::use_awaitable);
            }
            co_await http::async_read(stream, buffer, parser, asio::use_awaitable);
            beast::get_lowest_layer(stream).expires_never();
            Request request = parser.release();

            const auto route = routeOf(request.method(), request.target());
            std::size_t index = 0;
            state->record([&](Snapshot& s) {
                index = s.requests.size();
                s.requests.push_back({route ? std::optional(route->operation) : std::nullopt,
                                      std::string(request.method_string()), std::string(request.target()),
                                      request.body(), 0, ManagementTestServer::Clock::now()});
            });
            if (route && state->takeStall(route->operation)) {
                if (!co_await hold(state, connection))
                    break;
            }
            Response response = state->answer(request, route, index);
            co_await http::async_write(stream, response, asio::use_awaitable);
            state->record([index](Snapshot& s) { s.requests[index].written = true; });
            if (!response.keep_alive())
                break;
        }
    } catch (const std::exception&) {
        // The client went away, refused the certificate or sent something that is not HTTP.
    }
    connection->close();
    state->connections.erase(id);
    state->record([](Snapshot& s) { --s.openConnections; });
}

// The coroutines refer to the state plainly: the server stops its context and joins the thread
// before the state goes.
asio::awaitable<void> acceptLoop(State* state) {
    try {
        for (;;) {
            tcp::socket socket = co_await state->acceptor.async_accept(asio::use_awaitable);
            socket.set_option(tcp::no_delay(true));
            auto connection = std::make_shared<Connection>(std::move(socket), state->tls);
            const std::uint64_t id = ++state->connectionCount;
            state->connections.emplace(id, connection);
            state->record([](Snapshot& s) {
                ++s.connectionsAccepted;
                ++s.openConnections;
            });
            asio::co_spawn(state->context, serve(state, std::move(connection), id), asio::detached);
        }
    } catch (const std::exception&) {
        // The acceptor was closed.
    }
}

} // namespace

ManagementTestServer::ManagementTestServer(PusherTestServer& pusher, Options options)
    : state_(std::make_shared<State>()) {
    state_->pusher = &pusher;
    state_->options = std::move(options);
    useTestCertificate(state_->tls);
    listenOnLoopback(state_->acceptor, state_->options.port);
    state_->port = state_->acceptor.local_endpoint().port();
    asio::co_spawn(state_->context, acceptLoop(state_.get()), asio::detached);
    state_->thread = std::thread([state = state_.get()] { state->context.run(); });
}

ManagementTestServer::~ManagementTestServer() {
    asio::post(state_->context, [state = state_.get()] {
        state->closeEverything();
        state->context.stop();
    });
    state_->thread.join();
}

const ManagementTestServer::Options& ManagementTestServer::options() const {
    return state_->options;
}

unsigned short ManagementTestServer::port() const {
    return state_->port;
}

std::string ManagementTestServer::baseUrl() const {
    return "https://127.0.0.1:" + std::to_string(state_->port);
}

std::string ManagementTestServer::channelName() const {
    return state_->channelName();
}

std::int64_t ManagementTestServer::createJob(BenchJob job) {
    const bool announce = job.delivery != JobDelivery::pending;
    std::int64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextJobId++;
        const bool listed = job.delivery != JobDelivery::pushed;
        state_->jobs.emplace(id, JobRecord{std::move(job), listed, false});
    }
    if (announce)
        state_->announce(id);
    return id;
}

void ManagementTestServer::push(std::int64_t jobId) {
    state_->announce(jobId);
}

void ManagementTestServer::expire(std::int64_t jobId) {
    std::lock_guard lock(state_->mutex);
    if (const auto found = state_->jobs.find(jobId); found != state_->jobs.end())
        found->second.spec.expiresAt = std::chrono::system_clock::now() - std::chrono::hours(1);
}

void ManagementTestServer::remove(std::int64_t jobId) {
    std::lock_guard lock(state_->mutex);
    if (const auto found = state_->jobs.find(jobId); found != state_->jobs.end())
        found->second.removed = true;
}

std::vector<std::int64_t> ManagementTestServer::pendingJobIds() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::int64_t> ids;
    for (const auto& [id, job] : state_->jobs) {
        if (job.listed && !job.removed)
            ids.push_back(id);
    }
    return ids;
}

void ManagementTestServer::setAssignedPrinters(nlohmann::json printers) {
    std::lock_guard lock(state_->mutex);
    state_->assigned = std::move(printers);
}

void ManagementTestServer::setUpdateOffer(std::optional<nlohmann::json> update) {
    std::lock_guard lock(state_->mutex);
    state_->update = std::move(update);
}

void ManagementTestServer::failNext(ManagementOperation operation, int status, std::size_t count,
                                    std::optional<std::string> body) {
    if (count == 0)
        return;
    std::lock_guard lock(state_->mutex);
    state_->faults[operation].push_back(Fault{status, body.value_or(defaultFaultBody(status)), count});
}

void ManagementTestServer::stallNext(ManagementOperation operation, std::size_t count) {
    std::lock_guard lock(state_->mutex);
    state_->stalls[operation] += count;
}

void ManagementTestServer::releaseStalled() {
    asio::post(state_->context, [state = state_.get()] {
        for (const auto& weak : state->held) {
            if (const auto held = weak.lock()) {
                held->released = true;
                held->timer.cancel();
            }
        }
        state->held.clear();
    });
}

void ManagementTestServer::clearFaults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
    state_->stalls.clear();
}

void ManagementTestServer::restart(std::chrono::milliseconds downtime) {
    State* state = state_.get();
    const PortHold hold(state->port);
    runOnThread(state->context, [state] { state->closeEverything(); });
    state->pusher->restart(downtime);
    runOnThread(state->context, [state] {
        listenOnLoopback(state->acceptor, state->port);
        asio::co_spawn(state->context, acceptLoop(state), asio::detached);
    });
    state->record([](Snapshot& s) { ++s.restarts; });
}

ManagementTestServer::Snapshot ManagementTestServer::snapshot() const {
    return state_->snapshot();
}

bool ManagementTestServer::waitFor(const std::function<bool(const Snapshot&)>& condition,
                                   std::chrono::milliseconds limit) const {
    return state_->waitFor(condition, limit);
}

} // namespace varnel::testing
