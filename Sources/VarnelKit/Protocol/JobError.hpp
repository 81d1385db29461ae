#pragma once

#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

enum class JobErrorCode {
    printerUnreachable,
    printerError,
    unsupportedLanguage,
    payloadInvalid,
    writeTimeout,
    jobExpired,
    cancelled,
    internalError,
};

constexpr std::array<JobErrorCode, 8> allCases(JobErrorCode) {
    return {JobErrorCode::printerUnreachable, JobErrorCode::printerError, JobErrorCode::unsupportedLanguage,
            JobErrorCode::payloadInvalid,     JobErrorCode::writeTimeout, JobErrorCode::jobExpired,
            JobErrorCode::cancelled,          JobErrorCode::internalError};
}

constexpr std::string_view rawValue(JobErrorCode code) {
    switch (code) {
    case JobErrorCode::printerUnreachable: return "printer_unreachable";
    case JobErrorCode::printerError: return "printer_error";
    case JobErrorCode::unsupportedLanguage: return "unsupported_language";
    case JobErrorCode::payloadInvalid: return "payload_invalid";
    case JobErrorCode::writeTimeout: return "write_timeout";
    case JobErrorCode::jobExpired: return "job_expired";
    case JobErrorCode::cancelled: return "cancelled";
    case JobErrorCode::internalError: break;
    }
    return "internal";
}

inline std::string describe(JobErrorCode code) { return std::string(rawValue(code)); }

// The failure of one job: thrown while the job is processed and sent to the server in its result.
// A user reads its message (or, without one, its code), so that they see what failed.
class JobError : public Error {
public:
    explicit JobError(JobErrorCode code, std::optional<std::string> message = std::nullopt);

    JobErrorCode code;
    std::optional<std::string> message;

    json::Ordered toJson() const;
    static JobError fromJson(const json::Value& value);
};

} // namespace varnel
