#include "VarnelKit/Protocol/JobError.hpp"

#include "VarnelKit/Support/Text.hpp"

namespace varnel {

namespace {
// An empty message says nothing to the user: the code does.
std::string sentenceOf(JobErrorCode code, const std::optional<std::string>& message) {
    return message && !message->empty() ? *message : std::string(rawValue(code));
}
} // namespace

JobError::JobError(JobErrorCode code, std::optional<std::string> message)
    : Error(sentenceOf(code, message)), code(code),
      message(message ? std::optional<std::string>(Text::makeValidUtf8(*message)) : std::nullopt) {}

json::Ordered JobError::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["code"] = std::string(rawValue(code));
    json::putOptional(object, "message", message);
    return object;
}

JobError JobError::fromJson(const json::Value& value) {
    json::requireObject(value, "error");
    return JobError(json::requireEnum<JobErrorCode>(value, "code"), json::optString(value, "message"));
}

} // namespace varnel
