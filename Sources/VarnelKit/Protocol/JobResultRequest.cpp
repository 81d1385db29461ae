#include "VarnelKit/Protocol/JobResultRequest.hpp"

namespace varnel {

JobResultRequest JobResultRequest::printed(json::Date startedAt, json::Date finishedAt, std::int64_t bytesWritten) {
    return JobResultRequest{"printed", startedAt, finishedAt, bytesWritten, std::nullopt};
}

JobResultRequest JobResultRequest::failed(const JobError& error, std::optional<json::Date> startedAt,
                                          json::Date finishedAt) {
    return JobResultRequest{"failed", startedAt, finishedAt, std::nullopt, error};
}

json::Ordered JobResultRequest::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["state"] = state;
    json::putOptionalDate(object, "started_at", startedAt);
    json::putOptionalDate(object, "finished_at", finishedAt);
    json::putOptional(object, "bytes_written", bytesWritten);
    if (error) object["error"] = error->toJson();
    return object;
}

} // namespace varnel
