#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

struct CupsQueueState;

// A health snapshot of one CUPS queue, sent to the server inside a reported printer so that a
// queue that silently piles up jobs can be seen. Sent only, never read back.
struct CupsQueueProbe {
    std::string queueName;
    std::optional<std::string> driver;
    std::optional<std::string> deviceURIScheme;
    bool accepting = true;
    bool stopped = false;
    std::optional<std::int64_t> queued;
    std::optional<std::int64_t> oldestQueuedSeconds;

    bool operator==(const CupsQueueProbe&) const = default;

    json::Ordered toJson() const;

    // How many active jobs wait in a queue, and since when the oldest that has a creation time.
    struct JobFigures {
        std::int64_t count = 0;
        std::optional<std::chrono::system_clock::time_point> oldest;
        bool operator==(const JobFigures&) const = default;
    };

    // The reads below block on the scheduler and never fail: no scheduler reads as no queues.
    // The probe of one queue; `state` saves a second read when the caller has one. None when the
    // queue does not exist.
    static std::optional<CupsQueueProbe> read(const std::string& queue, const std::optional<CupsQueueState>& state,
                                              std::chrono::system_clock::time_point now,
                                              CupsApi& api = *systemCupsApi());
    // Every queue, with one job query for all of them.
    static std::map<std::string, CupsQueueProbe> readAll(std::chrono::system_clock::time_point now,
                                                         CupsApi& api = *systemCupsApi());
    static JobFigures pendingJobs(const std::string& queue, CupsApi& api = *systemCupsApi());
    // One job query for every queue at once.
    static std::map<std::string, JobFigures> pendingJobsByQueue(CupsApi& api = *systemCupsApi());

    // The text before the first ":", lower-cased; none without a ":" or with nothing before it.
    static std::optional<std::string> scheme(std::string_view uri);
    // The probe's fields from what CUPS tells about a queue and its jobs.
    static CupsQueueProbe make(std::string queueName, const std::optional<std::string>& makeAndModel,
                               const std::optional<std::string>& deviceURI, bool accepting, bool stopped,
                               const std::optional<JobFigures>& jobs, std::chrono::system_clock::time_point now);
};

} // namespace varnel
