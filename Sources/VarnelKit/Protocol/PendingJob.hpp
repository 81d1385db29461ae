#pragma once

#include "VarnelKit/Protocol/PrinterLanguage.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <cstdint>
#include <vector>

namespace varnel {

struct PendingJob {
    std::int64_t jobId = 0;
    std::int64_t printerId = 0;
    PrinterLanguage language = PrinterLanguage::unknown;

    bool operator==(const PendingJob&) const = default;

    static PendingJob fromJson(const json::Value& value);
};

// One job with an unlisted language makes the whole reply undecodable.
struct PendingJobsResponse {
    std::vector<PendingJob> jobs;

    static PendingJobsResponse fromJson(const json::Value& value);
};

} // namespace varnel
