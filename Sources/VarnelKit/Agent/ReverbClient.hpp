#pragma once

#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Platform/WebSocketConnector.hpp"
#include "VarnelKit/Protocol/ReverbSettings.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/Json.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/TaskGroup.hpp"
#include "VarnelKit/Support/Url.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// The live channel to the real-time server (Pusher protocol 7): one WebSocket at a time, the
// device's private channel, an application-level keepalive, and reconnection with exponential
// back-off and jitter. Traffic becomes Event values for one awaited handler. An actor: every call
// is made on the agent loop.
class ReverbClient : public std::enable_shared_from_this<ReverbClient> {
public:
    struct Event {
        enum class Kind {
            disconnected,
            jobCreated,
            jobCancelled,
            reconnectRequested,
            connected,
            printersRescanRequested
        };

        Kind kind = Kind::connected;
        std::string reason;                 // disconnected
        std::int64_t jobId = 0;             // jobCreated, jobCancelled
        std::int64_t afterMilliseconds = 0; // reconnectRequested

        static Event disconnected(std::string reason);
        static Event jobCreated(std::int64_t jobId);
        static Event jobCancelled(std::int64_t jobId);
        static Event reconnectRequested(std::int64_t afterMilliseconds);
        static Event connected();
        static Event printersRescanRequested();
    };

    // Awaited for every event, one at a time; a frame is not read until the call has returned.
    using Handler = std::function<Awaitable<void>(Event)>;
    using Seconds = std::chrono::duration<double>;

    struct Options {
        // None: Boost.Beast WebSockets on the client's executor, opening within 30 s.
        std::shared_ptr<WebSocketConnector> connector;
        // How often the keepalive looks at the socket, and the silence after which it pings.
        std::chrono::steady_clock::duration keepaliveInterval = std::chrono::seconds(30);
        // The silence after which the socket is taken for dead and closed.
        std::chrono::steady_clock::duration silenceLimit = std::chrono::seconds(120);
        // The back-off wait between attempts. None: a sleep on the monotonic clock that a
        // cancelled task cuts short.
        std::function<Awaitable<void>(Seconds)> backoffSleep;
    };

    // Opens nothing until start().
    static std::shared_ptr<ReverbClient> make(Executor executor, ReverbSettings settings,
                                              std::int64_t deviceId, std::shared_ptr<VarnelAPIClient> api,
                                              std::shared_ptr<AgentLogging> logger, Options options);
    static std::shared_ptr<ReverbClient> make(Executor executor, ReverbSettings settings,
                                              std::int64_t deviceId, std::shared_ptr<VarnelAPIClient> api,
                                              std::shared_ptr<AgentLogging> logger) {
        return make(std::move(executor), std::move(settings), deviceId, std::move(api), std::move(logger),
                    Options());
    }

    ~ReverbClient();
    ReverbClient(const ReverbClient&) = delete;
    ReverbClient& operator=(const ReverbClient&) = delete;

    // Replaces the handler; events raised while none is installed are dropped.
    void onEvent(Handler handler);
    // "private-device.<id>".
    std::string channelName() const;
    // Starts the connect loop unless it is running. Idempotent; the attempt counter is kept.
    void start();
    // Stops at once without waiting for the loop: no frame is acted on from now on, the socket is
    // closed with 1001 and the loop ends at its next check without counting a failure or raising
    // an event.
    void stop();
    // Stops as above and cancels the connect loop, without waiting for it: a handler under way (a
    // job, the drain after a connection) sees the cancellation and decides what it means for it,
    // and whatever it starts from now on (the next fetch) ends at once.
    void cancel();
    // Cancels as above, then waits until the loop has ended: a back-off sleep ends at once, and no
    // task of the client is left afterwards. Any number of callers may wait at once.
    Awaitable<void> stopAndWait();
    bool isRunning() const noexcept { return isRunning_; }

    // ws:// or wss:// host:port/app/<key> with the protocol, client and version query. Throws
    // APIError.http(-1, "Invalid Reverb URL") when the settings form no URL.
    Url socketURL() const;

    // The wait before the next attempt after `attempt` failures in a row, in seconds:
    // min(0.25 * 2^(attempt-1), 60) plus a fresh jitter from [0, 0.3]. Never overflows.
    static double reconnectDelay(std::int64_t attempt);
    // True only for "pusher:pong": a frame that needs no action and is not an unknown event.
    static bool isAcknowledgement(std::string_view eventName);

    // Reading the "data" member of a frame, which servers send either as an object or as a string
    // holding one. A null pointer means the member is absent. A string beyond the reader's bounds
    // gives none too, and the reason in `beyondBounds` when one is given.
    static std::optional<json::Value> nestedObject(const json::Value* value,
                                                   std::string* beyondBounds = nullptr);
    static std::optional<std::string> nestedString(const json::Value* value, std::string_view key);
    // An integer, a string of an optional sign and decimal digits within 64 bits, or a finite
    // floating-point number within range, truncated toward zero. Anything else gives none.
    static std::optional<std::int64_t> nestedInt(const json::Value* value, std::string_view key);
    // One line: line breaks become spaces, blanks and tabs are trimmed, and text longer than
    // `limit` characters is cut to `limit` + "… (<count> chars)".
    static std::string summarise(std::string_view text, std::size_t limit);

private:
    ReverbClient(Executor executor, ReverbSettings settings, std::int64_t deviceId,
                 std::shared_ptr<VarnelAPIClient> api, std::shared_ptr<AgentLogging> logger, Options options);

    // True while the loop of this generation is the one that should run.
    bool isCurrent(std::uint64_t generation) const noexcept {
        return isRunning_ && generation_ == generation;
    }

    Awaitable<void> connectLoop(std::uint64_t generation);
    Awaitable<void> connectOnce(std::uint64_t generation);
    void logFailure(std::int64_t attempt, const std::string& reason, double delay);
    Awaitable<void> backoff(double delay);

    std::shared_ptr<Task> startKeepalive(std::shared_ptr<WebSocket> socket);
    void endKeepalive(const std::shared_ptr<Task>& keepalive);
    static Awaitable<void> keepaliveLoop(std::weak_ptr<ReverbClient> client,
                                         std::shared_ptr<WebSocket> socket,
                                         std::chrono::steady_clock::duration interval,
                                         std::chrono::steady_clock::duration silenceLimit);
    void logKeepaliveTimeout(std::chrono::steady_clock::duration silence);
    std::chrono::steady_clock::duration silence() const;

    // A text frame, read: what acting on it needs.
    struct Frame {
        bool isHtml = false;
        // None: the frame is not acted on, and `ignored` says why. With an event, `ignored` says why
        // its data was left out, when it was for being beyond the reader's bounds.
        std::optional<std::string> event;
        std::string ignored;
        // The "data" member, unwrapped once; none unless it is (or holds) an object.
        std::optional<json::Value> data;
    };
    // Pure, so that it may run on any thread.
    static Frame readFrame(std::string text);
    // A large frame is read on the loop's pool, so that the loop goes on meanwhile, and the memory
    // its reading freed goes back to the system there.
    static Awaitable<Frame> readFrameOffLoopIfLarge(std::string text);
    static std::optional<std::string> memberString(const json::Value* object, std::string_view key);
    static std::optional<std::int64_t> memberInt(const json::Value* object, std::string_view key);

    // Frame handling. `socket` is the socket the frame came on: replies go out only while it is
    // still the client's current socket.
    Awaitable<void> handle(Frame frame, std::shared_ptr<WebSocket> socket);
    Awaitable<void> handleConnectionEstablished(const json::Value* data, std::shared_ptr<WebSocket> socket);
    Awaitable<void> send(json::Ordered payload, std::shared_ptr<WebSocket> socket);
    Awaitable<void> raise(Event event);
    std::string htmlPageMessage() const;
    static bool looksLikeHtml(std::string_view text);

    Executor executor_;
    ReverbSettings settings_;
    std::int64_t deviceId_;
    std::shared_ptr<VarnelAPIClient> api_;
    std::shared_ptr<AgentLogging> logger_;
    Options options_;

    std::shared_ptr<WebSocket> socket_;
    std::optional<std::string> socketId_;
    bool isRunning_ = false;
    std::uint64_t generation_ = 0;
    std::int64_t reconnectAttempt_ = 0;
    // Boot-time clock: it keeps counting while the machine sleeps, so a socket left idle across a
    // suspend is seen as silent at once.
    std::chrono::nanoseconds lastFrameAt_;
    std::shared_ptr<Task> keepalive_;
    Handler handler_;
    // The connect loops: the running one, and an earlier one still winding down after stop().
    TaskGroup loops_;
};

} // namespace varnel
