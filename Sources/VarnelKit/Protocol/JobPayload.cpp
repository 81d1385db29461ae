#include "VarnelKit/Protocol/JobPayload.hpp"

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/Base64.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <chrono>

namespace varnel {

bool JobPayload::hasExpired() const { return expiresAt && *expiresAt < std::chrono::system_clock::now(); }

Bytes JobPayload::bytes() const {
    if (!payload) throw JobError(JobErrorCode::payloadInvalid, "Job has no inline payload");
    if (encoding == "base64") {
        if (auto decoded = Base64::decode(*payload)) return std::move(*decoded);
        throw JobError(JobErrorCode::payloadInvalid, "Payload is not valid base64");
    }
    // Decoded JSON is always valid UTF-8; a job built in code may not be.
    if (!Text::isValidUtf8(*payload)) throw JobError(JobErrorCode::payloadInvalid, "Payload is not valid UTF-8");
    return bytesOf(*payload);
}

JobPayload JobPayload::fromJson(const json::Value& value) {
    json::requireObject(value, "job");
    return JobPayload{
        .jobId = json::requireInt64(value, "job_id"),
        .printerId = json::requireInt64(value, "printer_id"),
        .printerKey = json::requireString(value, "printer_key"),
        .language = json::requireEnum<PrinterLanguage>(value, "language"),
        .copies = json::requireInt64(value, "copies"),
        .encoding = json::requireString(value, "encoding"),
        .payload = json::optString(value, "payload"),
        .payloadUrl = json::optString(value, "payload_url"),
        .expiresAt = json::optDate(value, "expires_at"),
    };
}

} // namespace varnel
