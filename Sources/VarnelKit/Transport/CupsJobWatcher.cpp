#include "VarnelKit/Transport/CupsJobWatcher.hpp"

#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Transport/CupsQueueState.hpp"

#include <string_view>

namespace varnel {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view unreachableReason = "The print scheduler could not be reached";
constexpr std::string_view queueRemovedReason = "The queue was removed before the job finished";

} // namespace

std::optional<CupsJobWatcher::JobState> CupsJobWatcher::jobState(std::int64_t rawValue) {
    if (rawValue < 3 || rawValue > 9) return std::nullopt;
    return static_cast<JobState>(rawValue);
}

CupsJobWatcher::CupsJobWatcher(std::string queueName, Duration pollInterval, Duration timeout,
                               std::shared_ptr<CupsApi> api)
    : queueName_(std::move(queueName)), pollInterval_(pollInterval), timeout_(timeout), api_(std::move(api)) {}

Awaitable<std::optional<std::string>> CupsJobWatcher::queueReason() const {
    // Work for the pool is named first: g++ 12 destroys a lambda temporary of a co_await twice.
    auto read = [api = api_, queue = queueName_] { return CupsQueueState::read(queue, *api); };
    std::optional<CupsQueueState> state;
    try {
        state = co_await runBlockingCancellable(std::move(read));
    } catch (const OperationCancelled&) {
        // A stop does not wait for the scheduler: the reason is simply not known.
        co_return std::nullopt;
    }
    if (!state) co_return std::nullopt;
    if (auto fault = state->blockingFault()) co_return fault;
    co_return state->message;
}

Awaitable<CupsJobWatcher::Outcome> CupsJobWatcher::wait(std::int32_t jobId) const {
    const auto deadline = Clock::now() + timeout_;
    bool lastPollUnanswered = false;
    const auto lastKnownReason = [&]() -> std::optional<std::string> {
        if (lastPollUnanswered) return std::string(unreachableReason);
        return std::nullopt;
    };
    while (true) {
        // A stop ends the watch as its time limit would, at once and without asking the scheduler
        // anything more: the job stays with CUPS either way, and the caller learns how far it had
        // come instead of waiting for a scheduler that may not answer.
        if (co_await isCancelled()) co_return Outcome::stillQueued(lastKnownReason());
        if (Clock::now() >= deadline) {
            if (lastPollUnanswered) co_return Outcome::stillQueued(lastKnownReason());
            co_return Outcome::stillQueued(co_await queueReason());
        }

        // Every job, finished ones included: a cancelled or aborted job leaves the active list,
        // and must not read as printed.
        auto list = [api = api_, queue = queueName_] { return api->jobs(queue, CupsApi::WhichJobs::all); };
        CupsJobListing listing;
        try {
            listing = co_await runBlockingCancellable(std::move(list));
        } catch (const OperationCancelled&) {
            co_return Outcome::stillQueued(lastKnownReason());
        }
        if (listing.status == CupsJobListing::Status::queueMissing) {
            // A removed queue takes its unfinished jobs with it, and this one had not finished.
            co_return Outcome::failed(JobState::cancelled, std::string(queueRemovedReason));
        }
        // Without an answer nothing is known of the job: a scheduler that is restarting picks its
        // jobs up again, so it is asked again until the time limit.
        lastPollUnanswered = listing.status == CupsJobListing::Status::unreachable;
        if (!lastPollUnanswered) {
            std::optional<std::int32_t> rawState;
            for (const auto& job : listing.jobs) {
                if (job.id == jobId) {
                    rawState = job.state;
                    break;
                }
            }
            if (!rawState) co_return Outcome::completed();

            const auto state = jobState(*rawState);
            if (!state || *state == JobState::completed) co_return Outcome::completed();
            if (*state == JobState::cancelled || *state == JobState::aborted) {
                co_return Outcome::failed(*state, co_await queueReason());
            }
        }
        (void)co_await sleepFor(pollInterval_);
    }
}

std::string describe(CupsJobWatcher::JobState state) {
    switch (state) {
    case CupsJobWatcher::JobState::pending:
        return "pending";
    case CupsJobWatcher::JobState::pendingHeld:
        return "pendingHeld";
    case CupsJobWatcher::JobState::processing:
        return "processing";
    case CupsJobWatcher::JobState::processingStopped:
        return "processingStopped";
    case CupsJobWatcher::JobState::cancelled:
        return "cancelled";
    case CupsJobWatcher::JobState::aborted:
        return "aborted";
    case CupsJobWatcher::JobState::completed:
        break;
    }
    return "completed";
}

std::string describe(const CupsJobWatcher::Outcome& outcome) {
    const auto reason = outcome.reason ? *outcome.reason : std::string("nil");
    switch (outcome.kind) {
    case CupsJobWatcher::Outcome::Kind::failed:
        return "failed(" + (outcome.state ? describe(*outcome.state) : std::string("nil")) + ", " + reason + ")";
    case CupsJobWatcher::Outcome::Kind::stillQueued:
        return "stillQueued(" + reason + ")";
    case CupsJobWatcher::Outcome::Kind::completed:
        break;
    }
    return "completed";
}

} // namespace varnel
