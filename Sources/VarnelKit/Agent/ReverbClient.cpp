#include "VarnelKit/Agent/ReverbClient.hpp"

#include "VarnelKit/Platform/BeastWebSocketConnector.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"

#include <algorithm>
#include <boost/url/ipv6_address.hpp>
#include <boost/url/parse.hpp>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <random>

namespace varnel {

using APIError = VarnelAPIClient::APIError;

namespace {

constexpr std::uint16_t goingAway = 1001;
const std::string pingFrame = R"({"event":"pusher:ping","data":{}})";

std::chrono::nanoseconds bootTimeNow() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// "%.1f" without the locale: Qt sets one in the menu-bar application.
std::string oneDecimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    return std::string(buffer, result.ptr);
}

// Characters a host name may hold in a URL without escaping (RFC 3986 reg-name, less
// percent-escapes: a settings file has no business escaping a host).
bool isRegNameCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80)
        return false;
    if (std::isalnum(u))
        return true;
    return std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos;
}

} // namespace

// MARK: Events

ReverbClient::Event ReverbClient::Event::disconnected(std::string reason) {
    Event event;
    event.kind = Kind::disconnected;
    event.reason = std::move(reason);
    return event;
}

ReverbClient::Event ReverbClient::Event::jobCreated(std::int64_t jobId) {
    Event event;
    event.kind = Kind::jobCreated;
    event.jobId = jobId;
    return event;
}

ReverbClient::Event ReverbClient::Event::jobCancelled(std::int64_t jobId) {
    Event event;
    event.kind = Kind::jobCancelled;
    event.jobId = jobId;
    return event;
}

ReverbClient::Event ReverbClient::Event::reconnectRequested(std::int64_t afterMilliseconds) {
    Event event;
    event.kind = Kind::reconnectRequested;
    event.afterMilliseconds = afterMilliseconds;
    return event;
}

ReverbClient::Event ReverbClient::Event::connected() {
    return Event{};
}

ReverbClient::Event ReverbClient::Event::printersRescanRequested() {
    Event event;
    event.kind = Kind::printersRescanRequested;
    return event;
}

// MARK: Life cycle

std::shared_ptr<ReverbClient> ReverbClient::make(Executor executor, ReverbSettings settings,
                                                 std::int64_t deviceId, std::shared_ptr<VarnelAPIClient> api,
                                                 std::shared_ptr<AgentLogging> logger, Options options) {
    return std::shared_ptr<ReverbClient>(new ReverbClient(std::move(executor), std::move(settings), deviceId,
                                                          std::move(api), std::move(logger),
                                                          std::move(options)));
}

ReverbClient::ReverbClient(Executor executor, ReverbSettings settings, std::int64_t deviceId,
                           std::shared_ptr<VarnelAPIClient> api, std::shared_ptr<AgentLogging> logger,
                           Options options)
    : executor_(std::move(executor)), settings_(std::move(settings)), deviceId_(deviceId),
      api_(std::move(api)), logger_(logger ? std::move(logger) : std::make_shared<SilentLogger>()),
      options_(std::move(options)), lastFrameAt_(bootTimeNow()),
      loops_([logger = logger_](std::exception_ptr failure) {
          logger->error("The live connection to Varnel stopped: " + describeException(failure));
      }) {
    if (!options_.connector)
        options_.connector = std::make_shared<BeastWebSocketConnector>(executor_);
}

ReverbClient::~ReverbClient() {
    // The keepalive holds only a weak reference; a client dropped while running ends it here.
    if (keepalive_)
        keepalive_->cancel();
}

void ReverbClient::onEvent(Handler handler) {
    handler_ = std::move(handler);
}

std::string ReverbClient::channelName() const {
    return "private-device." + NumberText::integer(deviceId_);
}

void ReverbClient::start() {
    if (isRunning_)
        return;
    isRunning_ = true;
    // A loop of an earlier start() may still be waiting for its closed socket or its back-off
    // sleep; the new generation makes it end at its next check instead of carrying on beside
    // this one.
    const auto generation = ++generation_;
    loops_.spawn(executor_, [self = shared_from_this(), generation] { return self->connectLoop(generation); });
}

void ReverbClient::stop() {
    isRunning_ = false;
    if (keepalive_)
        keepalive_->cancel();
    keepalive_.reset();
    if (socket_)
        socket_->close(goingAway);
    socket_.reset();
    socketId_.reset();
}

void ReverbClient::cancel() {
    stop();
    loops_.cancelAll();
}

Awaitable<void> ReverbClient::stopAndWait() {
    const auto self = shared_from_this();
    cancel();
    // The group's failure handler has logged whatever a loop could have kept.
    co_await loops_.joinAll();
}

// MARK: Connect loop

double ReverbClient::reconnectDelay(std::int64_t attempt) {
    // The system's randomness on every call, never a fixed seed: the jitter is what keeps many
    // agents from reconnecting in step after a server restart.
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_real_distribution<double> jitter(0.0, std::nextafter(0.3, 1.0));
    // In floating point, so a very long outage gives infinity before the cap, never an overflow.
    const double base = std::min(0.25 * std::pow(2.0, static_cast<double>(attempt) - 1.0), 60.0);
    return base + jitter(generator);
}

Awaitable<void> ReverbClient::connectLoop(std::uint64_t generation) {
    auto self = shared_from_this();
    while (isCurrent(generation) && !(co_await isCancelled())) {
        std::exception_ptr failure;
        try {
            co_await connectOnce(generation);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            if (reconnectAttempt_ > 0) {
                logger_->info("Live connection to Varnel restored.");
                reconnectAttempt_ = 0;
            }
            continue;
        }
        // A failure caused by stop(), a newer start() or the task's own cancellation is no outage.
        if (!isCurrent(generation) || isCancellation(failure) || co_await isCancelled())
            break;

        const auto attempt = ++reconnectAttempt_;
        const double delay = reconnectDelay(attempt);
        const std::string reason = describeException(failure);
        logFailure(attempt, reason, delay);
        co_await raise(Event::disconnected(reason));
        co_await backoff(delay);
    }
}

void ReverbClient::logFailure(std::int64_t attempt, const std::string& reason, double delay) {
    if (attempt == 1) {
        logger_->error("Can't open a live connection to " + settings_.host + ":" +
                       NumberText::integer(settings_.port) +
                       ". Labels will still print, checked every 15 seconds rather than arriving the moment "
                       "they're sent.");
    } else if (attempt <= 5) {
        logger_->debug("Live connection retry " + NumberText::integer(attempt) + " failed (" + reason +
                       "); next in " + oneDecimal(delay) + "s");
    } else if (attempt == 6) {
        logger_->debug(
            "Live connection still unavailable; retrying quietly from here. The next log entry will be "
            "when it succeeds.");
    }
}

Awaitable<void> ReverbClient::backoff(double delay) {
    if (options_.backoffSleep) {
        auto sleep = options_.backoffSleep(Seconds(delay));
        co_await std::move(sleep);
        co_return;
    }
    (void)co_await sleepFor(std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(delay)));
}

Awaitable<void> ReverbClient::connectOnce(std::uint64_t generation) {
    const Url url = socketURL();
    auto socket = options_.connector->makeSocket(url);
    socket_ = socket;
    logger_->info("Reverb connecting to " + std::string(url.buffer()));
    const auto keepalive = startKeepalive(socket);

    std::exception_ptr failure;
    try {
        try {
            co_await socket->open();
        } catch (const WebSocketUpgradeRefused& refused) {
            // A web server answering where the real-time server should be is the usual way to
            // meet an HTML page here; it gets the same explanation as one sent as a frame.
            if (looksLikeHtml(refused.body()))
                throw APIError::http(-1, htmlPageMessage());
            throw;
        }
        while (isCurrent(generation)) {
            auto message = co_await socket->receive();
            // A frame that was already on its way when stop() closed the socket is not acted on.
            if (!isCurrent(generation))
                break;
            lastFrameAt_ = bootTimeNow();
            if (message.kind != WebSocket::Message::Kind::text)
                continue;
            auto frame = co_await readFrameOffLoopIfLarge(std::move(message.data));
            // Nor is one that stop() overtook while it was being read.
            if (!isCurrent(generation))
                break;
            co_await handle(std::move(frame), socket);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // Only this attempt's own keepalive and socket: a newer attempt may already have its own.
    endKeepalive(keepalive);
    socket->close(goingAway);
    if (failure)
        std::rethrow_exception(failure);
}

// MARK: Keepalive

std::shared_ptr<Task> ReverbClient::startKeepalive(std::shared_ptr<WebSocket> socket) {
    if (keepalive_)
        keepalive_->cancel();
    keepalive_.reset();
    lastFrameAt_ = bootTimeNow();
    std::weak_ptr<ReverbClient> client = weak_from_this();
    const auto interval = options_.keepaliveInterval;
    const auto limit = options_.silenceLimit;
    keepalive_ = Task::spawn(executor_, [client, socket = std::move(socket), interval, limit] {
        return keepaliveLoop(client, socket, interval, limit);
    });
    return keepalive_;
}

void ReverbClient::endKeepalive(const std::shared_ptr<Task>& keepalive) {
    keepalive->cancel();
    if (keepalive_ == keepalive)
        keepalive_.reset();
}

Awaitable<void> ReverbClient::keepaliveLoop(std::weak_ptr<ReverbClient> weakClient,
                                            std::shared_ptr<WebSocket> socket,
                                            std::chrono::steady_clock::duration interval,
                                            std::chrono::steady_clock::duration silenceLimit) {
    while (!(co_await isCancelled())) {
        (void)co_await sleepFor(interval);
        if (co_await isCancelled())
            co_return;
        {
            auto client = weakClient.lock();
            if (!client || !client->isRunning_ || client->socket_ != socket)
                co_return;
            const auto silence = client->silence();
            if (silence > silenceLimit) {
                client->logKeepaliveTimeout(silence);
                socket->close(goingAway);
                co_return;
            }
            if (silence <= interval)
                continue;
        }
        try {
            co_await socket->sendText(pingFrame);
        } catch (...) {
            // A failed ping changes nothing: the next check decides from the silence.
        }
    }
}

void ReverbClient::logKeepaliveTimeout(std::chrono::steady_clock::duration silence) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(silence).count();
    logger_->error("Reverb silent for " + NumberText::integer(seconds) + "s; treating the socket as dead");
}

std::chrono::steady_clock::duration ReverbClient::silence() const {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(bootTimeNow() - lastFrameAt_);
}

// MARK: Socket URL

Url ReverbClient::socketURL() const {
    const auto invalid = [] { return APIError::http(-1, "Invalid Reverb URL"); };
    if (settings_.host.empty() || settings_.port < 0 || settings_.port > 65535)
        throw invalid();

    Url url;
    url.set_scheme(settings_.isSecure() ? "wss" : "ws");
    const std::string& host = settings_.host;
    if (auto v6 = boost::urls::parse_ipv6_address(host)) {
        url.set_host_ipv6(*v6);
    } else if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto literal = boost::urls::parse_ipv6_address(std::string_view(host).substr(1, host.size() - 2));
        if (!literal)
            throw invalid();
        url.set_host_ipv6(*literal);
    } else if (std::all_of(host.begin(), host.end(), isRegNameCharacter)) {
        url.set_encoded_host(host);
    } else {
        throw invalid();
    }
    url.set_port(NumberText::integer(settings_.port));
    // The key is the application's name on the server; it goes into the path escaped, never as
    // extra path segments.
    url.set_path_absolute(true);
    auto segments = url.segments();
    segments.push_back("app");
    segments.push_back(settings_.key);
    url.set_encoded_query(std::string("protocol=7&client=varnel-agent&version=") + AgentVersion::current);
    return url;
}

} // namespace varnel
