#include "VarnelKit/SelfTest/SelfTest.hpp"

#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Transport/DefaultTransportResolver.hpp"

#include <chrono>
#include <cstdlib>
#include <exception>

namespace varnel::SelfTest {

JobPayload makeJob(const std::optional<std::string>& payload, const std::string& encoding,
                   const std::optional<json::Date>& expiresAt) {
    const std::string payloadText = payload ? "\"" + *payload + "\"" : "null";
    const std::string expiryText = expiresAt ? "\"" + Iso8601::wholeSeconds(*expiresAt) + "\"" : "null";
    const std::string text = "{\n"
                             "  \"job_id\": 1, \"printer_id\": 1, \"printer_key\": \"cups:X\",\n"
                             "  \"language\": \"zpl\", \"copies\": 1,\n"
                             "  \"encoding\": \"" + encoding + "\",\n"
                             "  \"payload\": " + payloadText + ",\n"
                             "  \"payload_url\": null,\n"
                             "  \"expires_at\": " + expiryText + "\n"
                             "}";
    try {
        return JobPayload::fromJson(json::parse(text));
    } catch (const std::exception&) {
        // The suites only pass plain printable payloads; a template that does not decode is a
        // fault of the self-test itself.
        std::terminate();
    }
}

std::shared_ptr<VarnelAPIClient> makeUnreachableClient() {
    return std::make_shared<VarnelAPIClient>(
        VarnelAPIClient::Configuration{Url("http://127.0.0.1:1"), "test", std::chrono::duration<double>(30.0)},
        std::nullopt);
}

std::shared_ptr<JobRunner> makeRunner(std::size_t seenMaxSize, std::size_t seenTargetSize) {
    return JobRunner::make(makeUnreachableClient(), std::make_shared<DefaultTransportResolver>(),
                           std::make_shared<RecordingLogger>(), seenMaxSize, seenTargetSize);
}

std::shared_ptr<VarnelAgent> makeAgent(const Executor& loop) {
    AgentSettings settings;
    settings.deviceId = 1;
    settings.deviceName = "Test Mac";
    settings.serverURL = Url("http://127.0.0.1:1");
    settings.reverb = ReverbSettings{"test", "127.0.0.1", 1, "http"};
    const auto timings = VarnelAgent::Timings::production();
    return VarnelAgent::make(loop, std::move(settings), makeUnreachableClient(), std::make_shared<RecordingLogger>(),
                             timings, nullptr);
}

} // namespace varnel::SelfTest
