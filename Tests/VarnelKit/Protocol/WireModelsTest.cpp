#include "VarnelKit/Protocol/EnrollmentRequest.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/Protocol/JobResultRequest.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Protocol/ReverbSettings.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace varnel {
namespace {

using std::chrono::seconds;
const json::Date start = std::chrono::system_clock::time_point(seconds(1714566645)); // 2024-05-01T12:30:45Z

ReportedPrinter printer() {
    return ReportedPrinter{"net:10.1.2.3:9100", "Dock", PrinterTransport::network, PrinterLanguage::zpl,
                           std::nullopt, std::nullopt, "online", std::nullopt, std::nullopt, std::nullopt};
}

TEST(WireModels, PrinterWritesOptionalFieldsOnlyWhenPresent) {
    EXPECT_EQ(json::dump(printer().toJson()),
              R"({"key":"net:10.1.2.3:9100","name":"Dock","transport":"network","language":"zpl","status":"online"})");

    auto full = printer();
    full.address = "";
    full.dpi = 203;
    full.statusMessage = "Paper out";
    full.canPrintDocuments = false;
    full.probe = CupsQueueProbe{"Dock", std::nullopt, "socket", true, false, 0, std::nullopt};
    EXPECT_EQ(json::dump(full.toJson()),
              R"({"key":"net:10.1.2.3:9100","name":"Dock","transport":"network","language":"zpl","address":"",)"
              R"("dpi":203,"status":"online","status_message":"Paper out","can_print_documents":false,)"
              R"("probe":{"queue_name":"Dock","device_uri_scheme":"socket","accepting":true,"stopped":false,"queued":0}})");
}

TEST(WireModels, PrinterEqualityIncludesTheProbe) {
    auto a = printer();
    auto b = printer();
    EXPECT_EQ(a, b);
    b.probe = CupsQueueProbe{"Dock", std::nullopt, std::nullopt, true, false, std::nullopt, std::nullopt};
    EXPECT_NE(a, b);
    a.probe = b.probe;
    a.probe->oldestQueuedSeconds = 3;
    EXPECT_NE(a, b);
}

TEST(WireModels, ProbeWithOnlyRequiredFields) {
    const CupsQueueProbe probe{"Q", std::nullopt, std::nullopt, false, true, std::nullopt, std::nullopt};
    EXPECT_EQ(json::dump(probe.toJson()), R"({"queue_name":"Q","accepting":false,"stopped":true})");
}

TEST(WireModels, JobResults) {
    const auto printed = JobResultRequest::printed(start, start + seconds(2), 42);
    EXPECT_EQ(json::dump(printed.toJson()),
              R"({"state":"printed","started_at":"2024-05-01T12:30:45Z","finished_at":"2024-05-01T12:30:47Z","bytes_written":42})");

    const auto failed = JobResultRequest::failed(JobError(JobErrorCode::jobExpired, "Job expired"), std::nullopt, start);
    EXPECT_EQ(json::dump(failed.toJson()),
              R"({"state":"failed","finished_at":"2024-05-01T12:30:45Z","error":{"code":"job_expired","message":"Job expired"}})");

    // Sub-second parts never reach the wire.
    const auto withMillis = JobResultRequest::failed(JobError(JobErrorCode::internalError), start + std::chrono::milliseconds(999),
                                                     start);
    EXPECT_EQ(json::dump(withMillis.toJson()),
              R"({"state":"failed","started_at":"2024-05-01T12:30:45Z","finished_at":"2024-05-01T12:30:45Z","error":{"code":"internal"}})");
}

TEST(WireModels, JobErrorDescribesItselfWithItsMessageOrCode) {
    EXPECT_STREQ(JobError(JobErrorCode::printerUnreachable, "Printer Dock did not answer").what(),
                 "Printer Dock did not answer");
    EXPECT_EQ(JobError(JobErrorCode::writeTimeout).description(), "write_timeout");
    EXPECT_EQ(JobError::fromJson(json::parse(R"({"code":"job_expired","message":""})")).description(), "job_expired");
    EXPECT_EQ(JobError(JobErrorCode::printerError, "bad \xC3").description(), "bad \xEF\xBF\xBD");
}

TEST(WireModels, JobPayloadBytes) {
    JobPayload job;
    job.encoding = "base64";
    EXPECT_THROW(
        {
            try {
                (void)job.bytes();
            } catch (const JobError& e) {
                EXPECT_EQ(e.code, JobErrorCode::payloadInvalid);
                EXPECT_EQ(e.message, "Job has no inline payload");
                throw;
            }
        },
        JobError);
    job.payloadUrl = "https://example.invalid/x";
    EXPECT_THROW((void)job.bytes(), JobError);

    job.payload = "XlhB\nXlha";
    try {
        (void)job.bytes();
        ADD_FAILURE() << "a line break is not base64";
    } catch (const JobError& e) {
        EXPECT_EQ(e.message, "Payload is not valid base64");
    }
    job.encoding = "BASE64";
    EXPECT_EQ(textOf(job.bytes()), "XlhB\nXlha");
    job.payload = std::string("\xC0\xAF");
    EXPECT_THROW((void)job.bytes(), JobError);
}

TEST(WireModels, JobExpiryFarFromTodayKeepsItsMeaning) {
    const auto decode = [](const char* expiresAt) {
        return JobPayload::fromJson(json::parse(
            std::string(R"({"job_id":1,"printer_id":2,"printer_key":"net:h","language":"zpl","copies":1,)") +
            R"("encoding":"base64","expires_at":")" + expiresAt + "\"}"));
    };
    EXPECT_FALSE(decode("9999-12-31T23:59:59Z").hasExpired());
    EXPECT_FALSE(decode("2300-01-01T00:00:00Z").hasExpired());
    EXPECT_TRUE(decode("0001-01-01T00:00:00Z").hasExpired());
    EXPECT_TRUE(decode("1600-01-01T00:00:00Z").hasExpired());
}

TEST(WireModels, EnrollmentModels) {
    const EnrollmentRequest minimal{"VRNL-ABCD-EFGH", "UUID", std::nullopt, std::nullopt, std::nullopt};
    EXPECT_EQ(json::dump(minimal.toJson()), R"({"enrollment_code":"VRNL-ABCD-EFGH","machine_id":"UUID"})");

    const auto response = EnrollmentResponse::fromJson(json::parse(
        R"({"device_id":9,"name":"Desk","token":"t","reverb":{"key":"k","host":"ws.example","port":443,"scheme":"wss"}})"));
    EXPECT_EQ(response.deviceId, 9);
    EXPECT_EQ(response.reverb, (ReverbSettings{"k", "ws.example", 443, "wss"}));
    EXPECT_THROW(EnrollmentResponse::fromJson(json::parse(R"({"device_id":9,"name":"Desk","token":"t"})")),
                 json::DecodeError);
    EXPECT_THROW(EnrollmentResponse::fromJson(json::parse(
                     R"({"device_id":9,"name":"Desk","token":"t","reverb":{"key":"k","host":"h","scheme":"wss"}})")),
                 json::DecodeError);
}

TEST(WireModels, ReverbSettingsAcceptance) {
    struct Case {
        const char* host;
        const char* scheme;
        bool acceptable;
    };
    const Case cases[] = {
        {"ws.example", "https", true},  {"ws.example", "wss", true},   {"ws.example", "HTTPS", false},
        {"ws.example", "http", false},  {"ws.example", "ws", false},   {"localhost", "http", true},
        {"127.0.0.1", "ws", true},      {"::1", "http", true},        {"0.0.0.0", "ws", true},
        {"[::1]", "http", false},       {"LOCALHOST", "http", false}, {"127.0.0.2", "http", false},
        {" localhost", "http", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((ReverbSettings{"k", c.host, 80, c.scheme}.isAcceptable()), c.acceptable) << c.host << " " << c.scheme;
    }
}

TEST(WireModels, LanguageTables) {
    const auto all = allCases(PrinterLanguage{});
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(rawValue(all[2]), "dymo_raster");
    EXPECT_TRUE(isText(PrinterLanguage::tspl2));
    EXPECT_TRUE(isDocument(PrinterLanguage::dymoRaster));
    EXPECT_FALSE(isImplemented(PrinterLanguage::unknown));
    EXPECT_EQ(rawValue(JobErrorCode::internalError), "internal");
}

} // namespace
} // namespace varnel
