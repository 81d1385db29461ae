#include "VarnelKit/Protocol/PendingJob.hpp"

namespace varnel {

json::Ordered PendingJob::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["job_id"] = jobId;
    object["printer_id"] = printerId;
    object["language"] = std::string(rawValue(language));
    return object;
}

PendingJob PendingJob::fromJson(const json::Value& value) {
    json::requireObject(value, "job");
    return PendingJob{json::requireInt64(value, "job_id"), json::requireInt64(value, "printer_id"),
                      json::requireEnum<PrinterLanguage>(value, "language")};
}

json::Ordered PendingJobsResponse::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["jobs"] = json::encodeList(jobs);
    return object;
}

PendingJobsResponse PendingJobsResponse::fromJson(const json::Value& value) {
    json::requireObject(value);
    return PendingJobsResponse{json::requireList<PendingJob>(value, "jobs", PendingJob::fromJson)};
}

} // namespace varnel
