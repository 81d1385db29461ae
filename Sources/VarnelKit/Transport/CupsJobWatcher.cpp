#include "VarnelKit/Transport/CupsJobWatcher.hpp"

#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Shielded.hpp"
#include "VarnelKit/Transport/CupsJobLook.hpp"
#include "VarnelKit/Transport/CupsQueueState.hpp"

#include <string_view>

namespace varnel {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view unreachableReason = "The print scheduler could not be reached";
constexpr std::string_view queueRemovedReason = "The queue was removed before the job finished";
constexpr std::string_view silentAtStopReason =
    "The print scheduler did not answer when the agent stopped; the job may still print";
constexpr std::string_view uncancelledAtStopReason =
    "The print scheduler did not confirm the cancel when the agent stopped; the job may still print";
constexpr std::string_view cancelledAtStopReason = "The job was cancelled before it printed, because the agent stopped";

// What the last look at a job, at a stop, found.
struct LastLook {
    CupsJobLook look;
    std::optional<bool> cancelConfirmed; // when a cancel was asked for
};

bool waitsToPrint(std::optional<CupsJobWatcher::JobState> state) {
    return state == CupsJobWatcher::JobState::pending || state == CupsJobWatcher::JobState::pendingHeld;
}

} // namespace

std::optional<CupsJobWatcher::JobState> CupsJobWatcher::jobState(std::int64_t rawValue) {
    if (rawValue < 3 || rawValue > 9) return std::nullopt;
    return static_cast<JobState>(rawValue);
}

CupsJobWatcher::CupsJobWatcher(std::string queueName, Duration pollInterval, Duration timeout,
                               std::shared_ptr<CupsApi> api, Duration stopLimit)
    : queueName_(std::move(queueName)), pollInterval_(pollInterval), timeout_(timeout), api_(std::move(api)),
      stopLimit_(stopLimit) {}

// A stop must not report a job as failed that CUPS then prints, nor leave one waiting in the queue
// that the server will offer again: the job is looked at once more, and one still waiting is
// cancelled. Out of reach of the caller's cancellation, bounded by the stop limit; a call that
// outlasts it is left to end on its own, and asks for no cancel past the limit.
Awaitable<CupsJobWatcher::Outcome> CupsJobWatcher::settleAtAStop(const CupsJobRef& job) const {
    using Kind = CupsJobLook::Kind;
    const auto deadline = Clock::now() + stopLimit_;
    auto look = [api = api_, queue = queueName_, job, deadline] {
        LastLook seen{CupsJobLook::at(*api, queue, job), std::nullopt};
        if (seen.look.kind == Kind::listed && waitsToPrint(jobState(seen.look.state)) && Clock::now() < deadline)
            seen.cancelConfirmed = api->cancelJob(queue, job);
        return seen;
    };
    std::optional<LastLook> seen;
    try {
        seen = co_await shielded<LastLook>(runBlockingCancellable(std::move(look)), stopLimit_);
    } catch (...) {
        // Not in time: nothing is known of the job.
    }
    if (!seen || seen->look.kind == Kind::unanswered) co_return Outcome::stillQueued(std::string(silentAtStopReason));
    if (seen->look.kind == Kind::queueMissing)
        co_return Outcome::failed(JobState::cancelled, std::string(queueRemovedReason));
    if (seen->look.kind == Kind::lost) co_return Outcome::failed(std::nullopt, std::string(lostJobReason));
    if (seen->look.kind == Kind::gone) co_return Outcome::completed();
    const auto state = jobState(seen->look.state);
    if (state == JobState::cancelled || state == JobState::aborted) co_return Outcome::failed(*state, std::nullopt);
    if (!waitsToPrint(state)) co_return Outcome::completed();
    if (seen->cancelConfirmed == true)
        co_return Outcome::failed(JobState::cancelled, std::string(cancelledAtStopReason));
    co_return Outcome::stillQueued(std::string(uncancelledAtStopReason));
}

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

Awaitable<CupsJobWatcher::Outcome> CupsJobWatcher::wait(CupsJobRef job) const {
    using Kind = CupsJobLook::Kind;
    const auto deadline = Clock::now() + timeout_;
    bool lastPollUnanswered = false;
    while (true) {
        if (co_await isCancelled()) co_return co_await settleAtAStop(job);
        if (Clock::now() >= deadline) {
            if (lastPollUnanswered) co_return Outcome::stillQueued(std::string(unreachableReason));
            co_return Outcome::stillQueued(co_await queueReason());
        }

        // Every job, finished ones included: a cancelled or aborted job leaves the active list,
        // and must not read as printed.
        auto list = [api = api_, queue = queueName_, job] { return CupsJobLook::at(*api, queue, job); };
        std::optional<CupsJobLook> answered;
        try {
            answered = co_await runBlockingCancellable(std::move(list));
        } catch (const OperationCancelled&) {
            // The call under way is not waited for.
        }
        if (!answered) co_return co_await settleAtAStop(job);
        const auto& look = *answered;
        // A removed queue takes its unfinished jobs with it, and this one had not finished.
        if (look.kind == Kind::queueMissing)
            co_return Outcome::failed(JobState::cancelled, std::string(queueRemovedReason));
        if (look.kind == Kind::lost) co_return Outcome::failed(std::nullopt, std::string(lostJobReason));
        if (look.kind == Kind::gone) co_return Outcome::completed();
        // Without an answer nothing is known of the job: it is asked again until the time limit.
        lastPollUnanswered = look.kind == Kind::unanswered;
        if (!lastPollUnanswered) {
            const auto state = jobState(look.state);
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
