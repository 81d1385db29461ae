#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/Protocol/PendingJob.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Support/Json.hpp"

#include "VarnelKit/Agent/ForkedChild.hpp"
#include "ProcessStatus.hpp"
#include "WideJson.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>

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

// Text nested as deep as `levels`: arrays, or objects under the key "a".
std::string nested(std::size_t levels, bool objects = false) {
    std::string text;
    for (std::size_t i = 0; i < levels; ++i)
        text += objects ? "{\"a\":" : "[";
    text += "1";
    for (std::size_t i = 0; i < levels; ++i)
        text += objects ? "}" : "]";
    return text;
}

// Each level of nesting costs far more memory than its one byte, so text from the server may nest
// only so deep; beyond it the parse stops at once, with a reason that says so.
TEST(StrictJson, NestingDeeperThanTheBoundIsRefusedBeforeItIsBuilt) {
    EXPECT_EQ(json::parse(nested(json::maxDepth)).dump(), nested(json::maxDepth));
    EXPECT_EQ(json::parse(nested(json::maxDepth, true)).dump(), nested(json::maxDepth, true));
    for (const auto& text : {nested(json::maxDepth + 1), nested(json::maxDepth + 1, true),
                             // Levels of both kinds count alike, and so does an unfinished one.
                             "{\"a\":" + nested(json::maxDepth), std::string(json::maxDepth + 1, '[')}) {
        try {
            (void)json::parse(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const json::NestingTooDeep& error) {
            EXPECT_EQ(error.description(), "JSON nested too deeply (more than 32 levels)");
        }
    }
    // Siblings are no deeper than one of them.
    std::string wide = "[";
    for (int i = 0; i < 1000; ++i)
        wide += (i ? "," : "") + nested(json::maxDepth - 1);
    wide += "]";
    EXPECT_EQ(json::parse(wide).size(), 1000u);
    // A reply of nothing but "[" is refused at its bound, not read to its end.
    EXPECT_THROW((void)json::parse(std::string(4u << 20, '[')), json::NestingTooDeep);
}

std::string fullJob(int id, std::string payload) {
    return R"({"job_id":)" + std::to_string(id) +
           R"(,"printer_id":3,"printer_key":"net:10.0.0.5","language":"zpl","copies":2,"encoding":"base64",)"
           R"("payload":")" + payload + R"(","payload_url":null,"expires_at":"2030-01-01T00:00:00Z"})";
}

// Text wide rather than deep builds far more than its size: an empty object of three bytes takes
// some eighty in memory. What one text may build is bounded, so that such text is refused after a
// little of it, while the largest replies a server sends are read whole.
TEST(StrictJson, WideTextIsRefusedAtTheBuildBoundButLargeRealRepliesAreRead) {
    const std::string pendingObjects = testing::emptyObjects(R"({"jobs":[)", 16u << 20, "]}");
    for (const auto& text : {testing::emptyObjects("[", 16u << 20, "]"), pendingObjects}) {
        try {
            (void)json::parse(text);
            ADD_FAILURE() << "accepted " << text.substr(0, 20);
        } catch (const json::TooManyValues& error) {
            EXPECT_EQ(error.description(), "JSON holds too many values (more than 64 MiB of them in memory)");
        }
    }
    // Numbers are values too: a bound on containers alone would let a reply of numbers through.
    std::string numbers = "[0";
    for (int i = 1; i < 4'000'000; ++i)
        numbers += ",0";
    EXPECT_THROW((void)json::parse(numbers + "]"), json::TooManyValues);

    std::string pending = R"({"jobs":[)";
    for (int id = 1; id <= 10'000; ++id)
        pending += (id > 1 ? "," : "") + fullJob(id, "XlhBXlha");
    pending += "]}";
    const auto jobs = PendingJobsResponse::fromJson(json::parse(pending)).jobs;
    ASSERT_EQ(jobs.size(), 10'000u);
    EXPECT_EQ(jobs.back().jobId, 10'000);

    const auto job = JobPayload::fromJson(json::parse(fullJob(1, std::string(50'000'000, 'A'))));
    ASSERT_TRUE(job.payload.has_value());
    EXPECT_EQ(job.payload->size(), 50'000'000u);
}


// A text whose values do not fit in the memory the process may take is a clear failure of that
// one message: not a std::bad_alloc that escapes to whoever asked, nor one thrown while the half
// built value is freed, which ends the program. Whichever comes first, the memory's end or the
// build bound, is the reason given.
TEST(StrictJson, TextTooLargeForTheMemoryIsADecodeError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve the address space that this limits";
#else
    std::string numbers = "[0";
    for (int i = 1; i < 4'000'000; ++i)
        numbers += ",0";
    numbers += "]";
    const struct {
        const char* what;
        std::string text;
        long roomMiB; // address space beyond what the process has when the parse begins
        bool atTheBound; // the build bound must come first
    } cases[] = {
        {"numbers", numbers, 24, false},
        {"empty objects", testing::emptyObjects("[", 16u << 20, "]"), 24, false},
        {"a pending list of empty objects", testing::emptyObjects(R"({"jobs":[)", 16u << 20, "]}"), 24, false},
        // Room for what the bound lets be built, but not for the whole text's values (550 MB).
        {"empty objects with room", testing::emptyObjects("[", 16u << 20, "]"), 256, true},
    };
    for (const auto& c : cases) {
        const int status = testing::runInChild([&c] {
            rlimit limit{};
            const long kibibytes = testing::statusKiB("/proc/self/status", "VmSize:") + c.roomMiB * 1024;
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(kibibytes) * 1024;
            if (::setrlimit(RLIMIT_AS, &limit) != 0)
                return 2;
            try {
                (void)json::parse(c.text);
                return 3;
            } catch (const json::TooManyValues&) {
                return 0;
            } catch (const json::DecodeError& error) {
                if (error.description() != "too large to read in the memory available")
                    return 4;
                return c.atTheBound ? 6 : 0;
            } catch (const std::bad_alloc&) {
                return 5;
            }
        });
        if (!WIFEXITED(status)) {
            ADD_FAILURE() << c.what << ": ended by signal " << WTERMSIG(status);
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.what
                                          << ": 2: no limit, 3: parsed, 4: another reason, 5: std::bad_alloc "
                                             "escaped, 6: the memory ran out before the bound";
    }
#endif
}

} // namespace
} // namespace varnel
