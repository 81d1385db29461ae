#include "VarnelKit/Protocol/PendingJob.hpp"

namespace varnel {

PendingJob PendingJob::fromJson(const json::Value& value) {
    json::requireObject(value, "job");
    return PendingJob{json::requireInt64(value, "job_id"), json::requireInt64(value, "printer_id"),
                      json::requireEnum<PrinterLanguage>(value, "language")};
}

PendingJobsResponse PendingJobsResponse::fromJson(const json::Value& value) {
    json::requireObject(value);
    return PendingJobsResponse{json::requireList<PendingJob>(value, "jobs", PendingJob::fromJson)};
}

} // namespace varnel
