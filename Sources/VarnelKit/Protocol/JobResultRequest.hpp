#pragma once

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace varnel {

// The outcome of one job, sent to the server. Built only through printed() and failed(), so the
// state is always "printed" or "failed".
struct JobResultRequest {
    std::string state;
    std::optional<json::Date> startedAt;
    std::optional<json::Date> finishedAt;
    std::optional<std::int64_t> bytesWritten;
    std::optional<JobError> error;

    static JobResultRequest printed(json::Date startedAt, json::Date finishedAt, std::int64_t bytesWritten);
    static JobResultRequest failed(const JobError& error, std::optional<json::Date> startedAt, json::Date finishedAt);

    json::Ordered toJson() const;
};

} // namespace varnel
