#include "VarnelKit/Protocol/EnrollmentRequest.hpp"

namespace varnel {

json::Ordered EnrollmentRequest::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["enrollment_code"] = enrollmentCode;
    object["machine_id"] = machineId;
    json::putOptional(object, "hostname", hostname);
    json::putOptional(object, "os_version", osVersion);
    json::putOptional(object, "agent_version", agentVersion);
    return object;
}

EnrollmentResponse EnrollmentResponse::fromJson(const json::Value& value) {
    json::requireObject(value);
    return EnrollmentResponse{json::requireInt64(value, "device_id"), json::requireString(value, "name"),
                              json::requireString(value, "token"),
                              ReverbSettings::fromJson(json::requireMember(value, "reverb"))};
}

} // namespace varnel
