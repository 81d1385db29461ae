#pragma once

#include "VarnelKit/Agent/AgentEventReport.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/Task.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace varnel {

class VarnelAPIClient;

// Sends notable moments of the agent's life to the server as diagnostic events. Producers call
// report() and go on at once; the events wait in a bounded queue and leave in small batches a
// moment later, in order, again and again while the server cannot be reached.
//
// An actor: every call, and every task it starts, runs on the agent loop given at creation.
class DiagnosticsReporter : public std::enable_shared_from_this<DiagnosticsReporter> {
public:
    // The enrolled device's id, or none while there is none. Awaited at the start of each flush.
    using DeviceIdProvider = std::function<Awaitable<std::optional<std::int64_t>>()>;
    using Context = std::map<std::string, std::string>;

    struct Timings {
        // From the first report of a burst to its flush, so that the burst leaves as one request.
        std::chrono::steady_clock::duration flushDelay = std::chrono::seconds(2);
        std::chrono::steady_clock::duration retryDelay = std::chrono::seconds(30);
        // The whole final flush of stop(): a quit must not wait for an unreachable server.
        std::chrono::steady_clock::duration finalFlushLimit = std::chrono::seconds(2);
    };

    static constexpr std::size_t queueCapacity = 1000;
    static constexpr std::size_t messageLimit = 1000;     // characters
    static constexpr std::size_t contextValueLimit = 500; // characters; keys are not cut
    static constexpr std::size_t batchSize = 50;

    // Schedules nothing. Without timings, the defaults above.
    static std::shared_ptr<DiagnosticsReporter> make(Executor loop, std::shared_ptr<VarnelAPIClient> api,
                                                     std::shared_ptr<AgentLogging> logger,
                                                     DeviceIdProvider deviceId);
    static std::shared_ptr<DiagnosticsReporter> make(Executor loop, std::shared_ptr<VarnelAPIClient> api,
                                                     std::shared_ptr<AgentLogging> logger,
                                                     DeviceIdProvider deviceId, Timings timings);
    ~DiagnosticsReporter();
    DiagnosticsReporter(const DiagnosticsReporter&) = delete;
    DiagnosticsReporter& operator=(const DiagnosticsReporter&) = delete;

    // Never waits and never fails; ignored once stop() was called. Text is made valid UTF-8 and cut
    // to its limit on a character boundary here, so that no event can make a batch unsendable.
    void report(AgentEventKind kind, std::optional<std::string> message = std::nullopt,
                std::optional<std::int64_t> printerId = std::nullopt,
                std::optional<Context> context = std::nullopt);

    // Cancels the pending flush, sends what is queued once and returns, whether that worked or
    // not. Nothing is retried afterwards and later reports are ignored. Never fails.
    Awaitable<void> stop();

    // What tests look at.
    std::size_t queuedCount() const noexcept { return queue_.size(); }
    std::int64_t droppedCount() const noexcept { return dropped_; }
    bool hasPendingFlush() const noexcept { return flushTask_ != nullptr; }

private:
    DiagnosticsReporter(Executor loop, std::shared_ptr<VarnelAPIClient> api,
                        std::shared_ptr<AgentLogging> logger, DeviceIdProvider deviceId, Timings timings);

    void scheduleFlush();
    void scheduleRetry();
    void scheduleAfter(std::chrono::steady_clock::duration delay);
    // Sends what is queued, batch by batch; each request bounded by `requestTimeout` when given.
    Awaitable<void> flush(std::optional<std::chrono::milliseconds> requestTimeout = std::nullopt);
    // Puts a batch that did not leave back at the head of the queue; `noted` is the count of the
    // dropped-events note the batch carries last, 0 for none.
    void putBack(std::vector<AgentEventReport> batch, std::int64_t noted);
    void logFailure(const std::exception_ptr& error);

    Executor loop_;
    std::shared_ptr<VarnelAPIClient> api_;
    std::shared_ptr<AgentLogging> logger_;
    DeviceIdProvider deviceId_;
    Timings timings_;
    std::deque<AgentEventReport> queue_;
    std::int64_t dropped_ = 0;
    std::shared_ptr<Task> flushTask_;
    bool stopped_ = false;
};

} // namespace varnel
