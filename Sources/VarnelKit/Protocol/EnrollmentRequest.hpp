#pragma once

#include "VarnelKit/Protocol/ReverbSettings.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace varnel {

struct EnrollmentRequest {
    std::string enrollmentCode;
    std::string machineId;
    std::optional<std::string> hostname;
    std::optional<std::string> osVersion;
    std::optional<std::string> agentVersion;

    json::Ordered toJson() const;
};

struct EnrollmentResponse {
    std::int64_t deviceId = 0;
    std::string name;
    std::string token;
    ReverbSettings reverb;

    static EnrollmentResponse fromJson(const json::Value& value);
};

} // namespace varnel
