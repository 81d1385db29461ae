// Every decoder of the server's JSON on the same bytes: each one either gives a model or refuses
// with a DecodeError, and a model that is also written reads back as itself.
#include "FuzzCheck.hpp"
#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Protocol/EnrollmentRequest.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/Protocol/PendingJob.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Protocol/ReverbSettings.hpp"
#include "VarnelKit/Support/Iso8601.hpp"

using namespace varnel;
using fuzz::decodes;
using fuzz::require;

namespace {

json::Value reread(const json::Ordered& written) {
    return json::parse(json::dump(written));
}

void decodeEverything(const json::Value& value) {
    decodes<json::DecodeError>([&] {
        const auto response = EnrollmentResponse::fromJson(value);
        require(ReverbSettings::fromJson(reread(response.reverb.toJson())) == response.reverb,
                "enrollment's reverb settings read back");
    });
    decodes<json::DecodeError>([&] {
        const auto error = JobError::fromJson(value);
        const auto again = JobError::fromJson(reread(error.toJson()));
        require(again.code == error.code && again.message == error.message, "job error reads back");
        require(!error.description().empty(), "job error describes itself");
    });
    decodes<json::DecodeError>([&] {
        const auto job = JobPayload::fromJson(value);
        (void)job.hasExpired();
        if (job.expiresAt)
            (void)Iso8601::milliseconds(*job.expiresAt);
        decodes<JobError>([&] { (void)job.bytes(); });
    });
    decodes<json::DecodeError>([&] { (void)PendingJob::fromJson(value); });
    decodes<json::DecodeError>([&] { (void)PendingJobsResponse::fromJson(value); });
    decodes<json::DecodeError>([&] {
        const auto printer = ReportedPrinter::fromJson(value);
        require(ReportedPrinter::fromJson(reread(printer.toJson())) == printer, "printer reads back");
    });
    decodes<json::DecodeError>([&] {
        const auto sync = PrinterSyncRequest::fromJson(value);
        require(PrinterSyncRequest::fromJson(reread(sync.toJson())).printers == sync.printers,
                "printer list reads back");
    });
    decodes<json::DecodeError>([&] {
        const auto reverb = ReverbSettings::fromJson(value);
        require(ReverbSettings::fromJson(reread(reverb.toJson())) == reverb, "reverb settings read back");
    });
    decodes<json::DecodeError>([&] {
        const auto update = VarnelAPIClient::AgentUpdate::fromJson(value);
        require(update.downloadURL.buffer() == json::requireString(value, "download_url"),
                "download URL kept as written");
    });
    decodes<json::DecodeError>([&] {
        const auto settings = AgentSettings::fromJson(value);
        require(AgentSettings::fromJson(reread(settings.toJson())) == settings, "settings read back");
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    json::Value value;
    if (!decodes<json::DecodeError>([&] { value = json::parse(fuzz::textOf(data, size)); }))
        return 0;
    decodeEverything(value);
    // Replies nest their models: look one level down as well, so each decoder meets objects too.
    if (value.is_object() || value.is_array()) {
        for (const auto& member : value)
            decodeEverything(member);
    }
    return 0;
}
