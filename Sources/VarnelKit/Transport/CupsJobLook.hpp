#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"

#include <cstdint>
#include <string>

namespace varnel {

// What one look at a queue's jobs says of a job of ours. The job is found by its uuid; a job that
// is not listed has only left the scheduler's list once it was done where the scheduler that made
// it is still the one that answers. After a crash the scheduler has forgotten what it had not yet
// saved, and its ids go to new jobs.
struct CupsJobLook {
    enum class Kind {
        unanswered,   // no list came back: nothing is known of the job
        queueMissing, // the queue is gone, and its unfinished jobs with it
        listed,       // the scheduler has the job; `state` says how far it came
        gone,         // the scheduler that made it lists it no more: it is done with it
        lost,         // the scheduler may have restarted since, and does not have it
    };
    Kind kind = Kind::unanswered;
    std::int32_t state = 0;           // for listed: the raw IPP job state
    bool waitsForItsDocument = false; // for listed: see CupsJob

    // Lists the queue's jobs, then asks the job's witness whether the scheduler that answered is
    // the one that made the job. Blocks: on the pool.
    static CupsJobLook at(CupsApi& api, const std::string& queue, const CupsJobRef& job);
    // What `listing` says of `job`, answered by the scheduler that made it or not.
    static CupsJobLook of(const CupsJobListing& listing, const CupsJobRef& job, bool sameScheduler);
};

// Why a lost job is failed: a killed scheduler leaves the filters and backends it had started
// running, so a job it forgot may still come out of the printer.
inline constexpr const char* lostJobReason =
    "The print scheduler restarted and no longer has the job; it may still print if the scheduler had "
    "begun sending it to the printer";

} // namespace varnel
