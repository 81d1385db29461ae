#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/Protocol/PendingJob.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varnel {
namespace {

const char* const validJob = R"({"job_id":7,"printer_id":3,"printer_key":"net:10.0.0.5","language":"zpl",
    "copies":2,"encoding":"base64","payload":"XlhBXlha","payload_url":null,"expires_at":"2030-01-01T00:00:00Z"})";

json::Value withMember(const char* base, const std::string& key, const json::Value& value) {
    json::Value object = json::parse(base);
    object[key] = value;
    return object;
}

json::Value without(const char* base, const std::string& key) {
    json::Value object = json::parse(base);
    object.erase(key);
    return object;
}

TEST(StrictJson, AcceptsAWellFormedJob) {
    const auto job = JobPayload::fromJson(json::parse(validJob));
    EXPECT_EQ(job.jobId, 7);
    EXPECT_EQ(job.copies, 2);
    EXPECT_EQ(job.language, PrinterLanguage::zpl);
    EXPECT_FALSE(job.payloadUrl.has_value());
    ASSERT_TRUE(job.expiresAt.has_value());
    EXPECT_EQ(Iso8601::wholeSeconds(*job.expiresAt), "2030-01-01T00:00:00Z");
}

// Values that nlohmann's own conversions would quietly accept must fail the whole message.
TEST(StrictJson, RejectsWrongTypesForRequiredFields) {
    struct Case {
        const char* key;
        json::Value value;
    };
    const Case cases[] = {
        {"job_id", 5.5},
        {"job_id", true},
        {"job_id", "7"},
        {"job_id", json::Value(9223372036854775808ULL)},
        {"job_id", nullptr},
        {"copies", json::Value::array()},
        {"printer_key", 12},
        {"printer_key", nullptr},
        {"encoding", false},
        {"language", "ZPL"},
        {"language", " zpl"},
        {"language", "postscript"},
        {"language", 1},
        {"payload", 3},
        {"expires_at", 1700000000},
        {"expires_at", "2024-05-01"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(JobPayload::fromJson(withMember(validJob, c.key, c.value)), json::DecodeError)
            << c.key << " = " << c.value.dump();
    }
}

TEST(StrictJson, MissingRequiredKeysFailButMissingOptionalsDoNot) {
    for (const char* key : {"job_id", "printer_id", "printer_key", "language", "copies", "encoding"}) {
        EXPECT_THROW(JobPayload::fromJson(without(validJob, key)), json::DecodeError) << key;
    }
    for (const char* key : {"payload", "payload_url", "expires_at"}) {
        EXPECT_NO_THROW(JobPayload::fromJson(without(validJob, key))) << key;
    }
    EXPECT_THROW(JobPayload::fromJson(json::parse("[1,2]")), json::DecodeError);
}

TEST(StrictJson, IntegralFloatsReadAsIntegers) {
    EXPECT_EQ(JobPayload::fromJson(withMember(validJob, "copies", 5.0)).copies, 5);
    EXPECT_EQ(JobPayload::fromJson(withMember(validJob, "copies", -1)).copies, -1);
    EXPECT_THROW(JobPayload::fromJson(withMember(validJob, "copies", 1e300)), json::DecodeError);
}

TEST(StrictJson, DateErrorsNameTheText) {
    try {
        JobPayload::fromJson(withMember(validJob, "expires_at", "2024-05-01"));
        FAIL() << "expected a decoding failure";
    } catch (const json::DecodeError& e) {
        EXPECT_NE(std::string(e.what()).find("Unrecognised date: 2024-05-01"), std::string::npos) << e.what();
    }
}

TEST(StrictJson, OneBadPendingJobFailsTheWholeReply) {
    const auto good = json::parse(R"({"jobs":[{"job_id":1,"printer_id":2,"language":"tspl2"}]})");
    EXPECT_EQ(PendingJobsResponse::fromJson(good).jobs.size(), 1u);
    const auto bad = json::parse(
        R"({"jobs":[{"job_id":1,"printer_id":2,"language":"tspl2"},{"job_id":2,"printer_id":2,"language":"epl"}]})");
    EXPECT_THROW(PendingJobsResponse::fromJson(bad), json::DecodeError);
    EXPECT_EQ(fromRawValue<PrinterLanguage>("unknown"), PrinterLanguage::unknown);
    EXPECT_FALSE(fromRawValue<PrinterLanguage>("Unknown").has_value());
}

TEST(StrictJson, PrinterStatusDefaultsToOnlineAndProbeIsNeverRead) {
    const auto noStatus = ReportedPrinter::fromJson(
        json::parse(R"({"key":"cups:A","name":"A","transport":"cups","language":"zpl","probe":5})"));
    EXPECT_EQ(noStatus.status, "online");
    EXPECT_FALSE(noStatus.probe.has_value());
    EXPECT_FALSE(noStatus.toJson().contains("probe"));

    const auto nullStatus = ReportedPrinter::fromJson(json::parse(
        R"({"key":"cups:A","name":"A","transport":"cups","language":"zpl","status":null,
            "probe":{"queue_name":"A","accepting":true,"stopped":false}})"));
    EXPECT_EQ(nullStatus.status, "online");
    EXPECT_FALSE(nullStatus.probe.has_value());

    const auto offline = ReportedPrinter::fromJson(
        json::parse(R"({"key":"cups:A","name":"A","transport":"cups","language":"zpl","status":"offline"})"));
    EXPECT_EQ(offline.status, "offline");

    EXPECT_THROW(ReportedPrinter::fromJson(json::parse(
                     R"({"key":"cups:A","name":"A","transport":"cups","language":"zpl","status":1})")),
                 json::DecodeError);
    EXPECT_THROW(ReportedPrinter::fromJson(
                     json::parse(R"({"key":"cups:A","name":"A","transport":"serial","language":"zpl"})")),
                 json::DecodeError);
}

TEST(StrictJson, NullAndAbsentOptionalsReadTheSame) {
    const auto withNull = JobError::fromJson(json::parse(R"({"code":"internal","message":null})"));
    EXPECT_EQ(withNull.code, JobErrorCode::internalError);
    EXPECT_FALSE(withNull.message.has_value());
    EXPECT_THROW(JobError::fromJson(json::parse(R"({"code":"timeout"})")), json::DecodeError);
    EXPECT_THROW(JobError::fromJson(json::parse(R"({"message":"x"})")), json::DecodeError);
}

TEST(StrictJson, DumpReplacesInvalidUtf8InsteadOfThrowing) {
    json::Ordered object = json::Ordered::object();
    object["name"] = std::string("Label\xff printer");
    EXPECT_EQ(json::dump(object), "{\"name\":\"Label\xEF\xBF\xBD printer\"}");
    EXPECT_THROW(json::parse("{\"a\":"), json::DecodeError);
}

} // namespace
} // namespace varnel
