#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Support/Task.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace varnel {

// Follows one spooled CUPS job until it has ended or a time limit passes, and says how it ended.
class CupsJobWatcher {
public:
    using Duration = std::chrono::steady_clock::duration;

    enum class JobState : std::int32_t {
        pending = 3,
        pendingHeld = 4,
        processing = 5,
        processingStopped = 6,
        cancelled = 7,
        aborted = 8,
        completed = 9,
    };
    static std::optional<JobState> jobState(std::int64_t rawValue);

    struct Outcome {
        enum class Kind { failed, stillQueued, completed };
        Kind kind = Kind::completed;
        std::optional<JobState> state; // for failed: cancelled or aborted; none for a job the scheduler lost
        std::optional<std::string> reason;

        static Outcome failed(std::optional<JobState> state, std::optional<std::string> reason) {
            return {Kind::failed, state, std::move(reason)};
        }
        static Outcome stillQueued(std::optional<std::string> reason) {
            return {Kind::stillQueued, std::nullopt, std::move(reason)};
        }
        static Outcome completed() { return {}; }

        bool operator==(const Outcome&) const = default;
    };

    // `stopLimit` bounds what a stop still asks of the scheduler (below).
    CupsJobWatcher(std::string queueName, Duration pollInterval, Duration timeout,
                   std::shared_ptr<CupsApi> api = systemCupsApi(), Duration stopLimit = CupsApi::callLimit);

    const std::string& queueName() const noexcept { return queueName_; }

    // Polls at once and then every poll interval. Never throws. A scheduler that does not answer
    // is asked again until the time limit; a queue that no longer exists fails the job, and so does
    // a scheduler that restarted without it.
    //
    // A cancelled caller (a stop) ends the watch without waiting for a call to the scheduler under
    // way, and within the stop limit settles the job by one more look at it: a job the scheduler
    // still holds unprinted (pending or held) is cancelled, and failed once the cancel is confirmed;
    // one that is printing, or stopped while printing, counts as completed, since the scheduler goes
    // on with it; one that ended is told as always. When the scheduler does not answer in time, or
    // does not confirm the cancel, the job is stillQueued with a reason that says it may still print.
    Awaitable<Outcome> wait(CupsJobRef job) const;

private:
    // Why the queue holds the job up: a blocking fault, else the queue's message; none when the
    // caller is cancelled meanwhile.
    Awaitable<std::optional<std::string>> queueReason() const;
    Awaitable<Outcome> settleAtAStop(const CupsJobRef& job) const;

    std::string queueName_;
    Duration pollInterval_;
    Duration timeout_;
    std::shared_ptr<CupsApi> api_;
    Duration stopLimit_;
};

std::string describe(CupsJobWatcher::JobState state);
std::string describe(const CupsJobWatcher::Outcome& outcome);

} // namespace varnel
