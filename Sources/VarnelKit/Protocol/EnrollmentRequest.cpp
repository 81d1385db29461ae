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

EnrollmentRequest EnrollmentRequest::fromJson(const json::Value& value) {
    json::requireObject(value);
    return EnrollmentRequest{json::requireString(value, "enrollment_code"), json::requireString(value, "machine_id"),
                             json::optString(value, "hostname"), json::optString(value, "os_version"),
                             json::optString(value, "agent_version")};
}

json::Ordered EnrollmentResponse::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["device_id"] = deviceId;
    object["name"] = name;
    object["token"] = token;
    object["reverb"] = reverb.toJson();
    return object;
}

EnrollmentResponse EnrollmentResponse::fromJson(const json::Value& value) {
    json::requireObject(value);
    return EnrollmentResponse{json::requireInt64(value, "device_id"), json::requireString(value, "name"),
                              json::requireString(value, "token"),
                              ReverbSettings::fromJson(json::requireMember(value, "reverb"))};
}

} // namespace varnel
