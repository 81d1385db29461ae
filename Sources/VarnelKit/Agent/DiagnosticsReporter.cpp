#include "VarnelKit/Agent/DiagnosticsReporter.hpp"

#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/SafeText.hpp"
#include "VarnelKit/Support/Shielded.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/Timeout.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

namespace varnel {

namespace {

using APIError = VarnelAPIClient::APIError;

std::string countText(std::size_t count) {
    return NumberText::integer(static_cast<std::int64_t>(count));
}

// The status of a reply that no retry can change: a client error other than the ones that mean
// "not now" (408, 429). Retrying such a batch would block every later event behind it for as long
// as the agent runs. A rejected credential (401, 403, which the API client reports as
// credentialRejected, never as http) is one of them: until someone enrols the computer again,
// every retry is refused the same way, every 30 s.
bool isPermanentRefusal(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const APIError& apiError) {
        int status = 0;
        switch (apiError.kind()) {
        case APIError::Kind::http:
            status = apiError.status();
            break;
        case APIError::Kind::gone:
            status = 410;
            break;
        case APIError::Kind::upgradeRequired:
            status = 426;
            break;
        case APIError::Kind::credentialRejected:
            status = 401; // or 403: the client does not keep which
            break;
        default:
            return false;
        }
        if (status < 400 || status > 499)
            return false;
        return status != 408 && status != 429;
    } catch (...) {
        return false;
    }
}

} // namespace

std::shared_ptr<DiagnosticsReporter> DiagnosticsReporter::make(Executor loop,
                                                               std::shared_ptr<VarnelAPIClient> api,
                                                               std::shared_ptr<AgentLogging> logger,
                                                               DeviceIdProvider deviceId) {
    return make(std::move(loop), std::move(api), std::move(logger), std::move(deviceId), Timings{});
}

std::shared_ptr<DiagnosticsReporter> DiagnosticsReporter::make(Executor loop,
                                                               std::shared_ptr<VarnelAPIClient> api,
                                                               std::shared_ptr<AgentLogging> logger,
                                                               DeviceIdProvider deviceId, Timings timings) {
    return std::shared_ptr<DiagnosticsReporter>(new DiagnosticsReporter(
        std::move(loop), std::move(api), std::move(logger), std::move(deviceId), timings));
}

DiagnosticsReporter::DiagnosticsReporter(Executor loop, std::shared_ptr<VarnelAPIClient> api,
                                         std::shared_ptr<AgentLogging> logger, DeviceIdProvider deviceId,
                                         Timings timings)
    : loop_(std::move(loop)), api_(std::move(api)),
      logger_(logger ? std::move(logger) : std::make_shared<SilentLogger>()), deviceId_(std::move(deviceId)),
      timings_(timings) {}

DiagnosticsReporter::~DiagnosticsReporter() {
    // The sleeping task holds the reporter only weakly and would find it gone; waking it now lets
    // its timer go at once instead of up to 30 s later.
    if (flushTask_)
        flushTask_->cancel();
}

void DiagnosticsReporter::report(AgentEventKind kind, std::optional<std::string> message,
                                 std::optional<std::int64_t> printerId, std::optional<Context> context) {
    if (stopped_)
        return;
    while (queue_.size() >= queueCapacity) {
        queue_.pop_front();
        ++dropped_;
    }
    if (message)
        message = SafeText::firstCharacters(*message, messageLimit);
    if (context) {
        Context cut;
        for (auto& [key, value] : *context) {
            cut.emplace(Text::makeValidUtf8(key), SafeText::firstCharacters(value, contextValueLimit));
        }
        context = std::move(cut);
    }
    queue_.push_back(AgentEventReport{std::string(rawValue(kind)), std::move(message), printerId,
                                      std::chrono::system_clock::now(), std::move(context)});
    scheduleFlush();
}

void DiagnosticsReporter::scheduleFlush() {
    scheduleAfter(timings_.flushDelay);
}

void DiagnosticsReporter::scheduleRetry() {
    if (stopped_)
        return;
    scheduleAfter(timings_.retryDelay);
}

void DiagnosticsReporter::scheduleAfter(std::chrono::steady_clock::duration delay) {
    // One pending task at most: it sends whatever is queued when it wakes, this event included.
    if (flushTask_)
        return;
    std::weak_ptr<DiagnosticsReporter> weak = weak_from_this();
    flushTask_ = Task::spawn(loop_, [weak, delay]() -> Awaitable<void> {
        (void)co_await sleepFor(delay);
        if (co_await isCancelled())
            co_return;
        const auto self = weak.lock();
        if (!self)
            co_return;
        // Cleared before the flush, so a report made while it waits for the server schedules the
        // next flush instead of being left for a task that already took its batch.
        self->flushTask_.reset();
        if (!self->stopped_)
            co_await self->flush();
    });
}

void DiagnosticsReporter::putBack(std::vector<AgentEventReport> batch, std::int64_t noted) {
    // The note of dropped events is not an event of the queue: it is made afresh for the batch
    // that next leaves, with the count as it is then, so that whichever batch carries it is the
    // one whose fate the note shares.
    if (noted > 0) {
        batch.pop_back();
        dropped_ += noted;
    }
    queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin()),
                  std::make_move_iterator(batch.end()));
}

void DiagnosticsReporter::logFailure(const std::exception_ptr& error) {
    logger_->debug("Could not report diagnostics, will retry: " + describeException(error));
}

Awaitable<void> DiagnosticsReporter::flush(std::optional<std::chrono::milliseconds> requestTimeout) {
    const auto self = shared_from_this();
    const DeviceIdProvider provider = deviceId_;
    std::optional<std::int64_t> deviceId;
    try {
        if (provider)
            deviceId = co_await provider();
    } catch (...) {
        // A source that cannot tell is treated as "not enrolled": the events wait.
        deviceId.reset();
    }
    if (!deviceId)
        co_return;

    const auto api = api_;
    while (!queue_.empty()) {
        const std::size_t count = std::min(batchSize, queue_.size());
        std::vector<AgentEventReport> batch(
            std::make_move_iterator(queue_.begin()),
            std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(count)));
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
        // The count of events a full backlog dropped, when this batch carries the note of it.
        std::int64_t noted = 0;
        if (dropped_ > 0) {
            noted = dropped_;
            batch.push_back(
                AgentEventReport{std::string(rawValue(AgentEventKind::agentCrashed)),
                                 NumberText::integer(dropped_) +
                                     " diagnostic event(s) were dropped because the backlog was full.",
                                 std::nullopt, std::chrono::system_clock::now(), std::nullopt});
            dropped_ = 0;
        }

        std::exception_ptr failure;
        try {
            std::vector<AgentEventReport> events = batch;
            co_await api->reportEvents(*deviceId, std::move(events), requestTimeout);
            continue;
        } catch (...) {
            failure = std::current_exception();
        }

        if (isCancellation(failure) || co_await isCancelled()) {
            // A stop, not a fault of the server: nothing is logged and the events are kept; a
            // retry follows only while the reporter still runs.
            putBack(std::move(batch), noted);
            scheduleRetry();
            co_return;
        }
        if (isPermanentRefusal(failure)) {
            const std::size_t events = batch.size() - (noted > 0 ? 1 : 0);
            logger_->error("The server refused " + countText(events) +
                           " diagnostic event(s), so they were dropped: " + describeException(failure));
            // The note went with them and is not sent again: the log keeps the count instead.
            if (noted > 0)
                logger_->error(NumberText::integer(noted) +
                               " diagnostic event(s) were dropped because the backlog was full; the server "
                               "refused the batch that said so.");
            continue;
        }
        putBack(std::move(batch), noted);
        logFailure(failure);
        scheduleRetry();
        co_return;
    }
}

Awaitable<void> DiagnosticsReporter::stop() {
    const auto self = shared_from_this();
    stopped_ = true;
    if (flushTask_) {
        flushTask_->cancel();
        flushTask_.reset();
    }
    std::exception_ptr failure;
    try {
        // Each request of the last flush gets the flush's limit, and the whole of it a little more
        // (for the device id and the batches after a slow one). A stop of the caller does not cut it
        // short: this is the last chance to send what is queued.
        const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(timings_.finalFlushLimit);
        auto finalFlush = flush(limit);
        co_await shielded<void>(std::move(finalFlush), timings_.finalFlushLimit + std::chrono::seconds(1));
    } catch (...) {
        failure = std::current_exception();
    }
    // A caller that is itself being cancelled cut the flush short; that is no fault of the server.
    if (failure && !isCancellation(failure) && !(co_await isCancelled()))
        logFailure(failure);
}

} // namespace varnel
