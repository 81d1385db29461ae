// The runner against a scripted server, fake printers and an in-memory CUPS scheduler, with its
// waits shortened. Every case looks at what the server was sent and what the printer got.
#include "VarnelKit/Agent/JobRunner.hpp"

#include "ScriptedHttpTransport.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/TestSupport.hpp"
#include "VarnelKit/Transport/CupsPrinterTransport.hpp"
#include "VarnelKit/Transport/FakeCupsApi.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::FakeCupsApi;
using testing::ScriptedHttpTransport;
using Gate = ScriptedHttpTransport::Gate;
using Reply = ScriptedHttpTransport::Reply;

const std::string netKey = "net:10.0.0.1:9100";
const std::string cupsKey = "cups:Zebra";
const std::string zpl = "^XA^FDHello^FS^XZ";
const std::string zplSent = zpl + "\n"; // as the driver hands it on
const std::string pdf = "%PDF-1.4 test document";
const std::string dash = "\u2014";

// The text as a pattern that matches only itself.
std::string literal(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

std::string fetchRoute(std::int64_t id) { return "GET /api/v1/jobs/" + std::to_string(id); }
std::string resultRoute(std::int64_t id) { return "POST /api/v1/jobs/" + std::to_string(id) + "/result"; }
const std::string pendingRoute = "GET /api/v1/devices/3/jobs/pending";

struct JobSpec {
    std::int64_t id = 5;
    std::string key = netKey;
    std::string language = "zpl";
    std::optional<std::string> payload = zpl;
    std::int64_t copies = 1;
    std::optional<std::string> expiresAt;

    JobSpec withId(std::int64_t value) const { return with(&JobSpec::id, value); }
    JobSpec withKey(std::string value) const { return with(&JobSpec::key, std::move(value)); }
    JobSpec withLanguage(std::string value) const { return with(&JobSpec::language, std::move(value)); }
    JobSpec withPayload(std::optional<std::string> value) const { return with(&JobSpec::payload, std::move(value)); }
    JobSpec withCopies(std::int64_t value) const { return with(&JobSpec::copies, value); }
    JobSpec withExpiry(std::string value) const { return with(&JobSpec::expiresAt, std::optional(std::move(value))); }

private:
    template <class M, class V> JobSpec with(M JobSpec::*member, V value) const {
        JobSpec copy = *this;
        copy.*member = std::move(value);
        return copy;
    }
};

std::string jobJson(const JobSpec& spec) {
    json::Value job = {{"job_id", spec.id},         {"printer_id", 1},           {"printer_key", spec.key},
                       {"language", spec.language}, {"copies", spec.copies},     {"encoding", "utf8"},
                       {"payload", nullptr},        {"payload_url", nullptr},    {"expires_at", nullptr}};
    if (spec.payload) job["payload"] = *spec.payload;
    if (spec.expiresAt) job["expires_at"] = *spec.expiresAt;
    return job.dump();
}

// A directly connected printer: records what it was sent; its probe and write may be held open,
// the write before any byte left (still connecting) or after the bytes were sent, while the
// printer has not acknowledged them yet.
class FakePrinter final : public PrinterWriting {
public:
    bool reachable = true;
    std::exception_ptr writeFailure;
    std::shared_ptr<Gate> probeGate;
    std::shared_ptr<Gate> writeGate;
    std::shared_ptr<Gate> acknowledgementGate;

    std::vector<std::string> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    std::vector<std::string> titles() const {
        std::lock_guard lock(mutex_);
        return titles_;
    }
    int probes() const { return probes_; }

    Awaitable<std::int64_t> write(Bytes data, std::string jobTitle) override {
        if (writeGate) {
            const bool passed = co_await writeGate->pass();
            if (!passed) throw OperationCancelled();
        }
        if (writeFailure) std::rethrow_exception(writeFailure);
        {
            std::lock_guard lock(mutex_);
            writes_.emplace_back(data.begin(), data.end());
            titles_.push_back(std::move(jobTitle));
        }
        const auto size = static_cast<std::int64_t>(data.size());
        // As the real transport says it once bytes have left: cut off, never "cancelled".
        if (acknowledgementGate && !co_await acknowledgementGate->pass()) {
            throw JobError(JobErrorCode::printerError, "Sending was stopped when the agent stopped; the printer "
                                                       "took 0 of " + std::to_string(size) + " bytes");
        }
        co_return size;
    }
    Awaitable<bool> probe() override {
        ++probes_;
        if (probeGate) {
            const bool passed = co_await probeGate->pass();
            if (!passed) throw OperationCancelled();
        }
        co_return reachable;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> writes_;
    std::vector<std::string> titles_;
    std::atomic<int> probes_{0};
};

class FakeResolver final : public PrinterTransportResolving {
public:
    std::map<std::string, std::shared_ptr<PrinterWriting>> printers;
    Awaitable<std::shared_ptr<PrinterWriting>> transport(std::string key) override {
        const auto found = printers.find(key);
        co_return found == printers.end() ? nullptr : found->second;
    }
};

class JobRunnerTest : public ::testing::Test {
public:
    void SetUp() override {
        loop.startThread();
        resolver->printers[netKey] = printer;
        resolver->printers[cupsKey] = std::make_shared<CupsPrinterTransport>("Zebra", cups);
        cups->addQueue("Zebra");
    }
    void TearDown() override {
        loop.blockOn([](std::shared_ptr<JobRunner>& r) -> Awaitable<void> {
            r.reset();
            co_return;
        }(runner));
    }

    JobRunner::Options fast() {
        JobRunner::Options options;
        options.watchPollInterval = 2ms;
        options.watchTimeout = 200ms;
        options.reportWaitScale = 0.01;
        options.shieldedReportLimit = 5s;
        options.writeGrace = 20ms;
        return options;
    }

    void make(std::optional<JobRunner::Options> options = std::nullopt, std::size_t max = 2000,
              std::size_t target = 1000) {
        // Whatever is not scripted succeeds, result reports above all.
        http->setFallback(Reply{200, "{}"});
        auto api = std::make_shared<VarnelAPIClient>(
            VarnelAPIClient::Configuration{Url("http://127.0.0.1:1"), "test", std::chrono::duration<double>(30.0)},
            "token", http);
        runner = JobRunner::make(std::move(api), resolver, logger, max, target, options.value_or(fast()));
    }

    // A clean server, log and network printer for the next case of a table.
    void freshCase() {
        http = std::make_shared<ScriptedHttpTransport>();
        logger = std::make_shared<RecordingLogger>();
        printer = std::make_shared<FakePrinter>();
        resolver->printers[netKey] = printer;
    }

    // Stops job 5 while its first report is held, lets the task end, and only then answers the report.
    void stopDuringFirstReport() {
        auto gate = http->hold(resultRoute(5));
        auto task = Task::spawn(loop.executor(), [runner = runner]() { return runner->run(5); });
        ASSERT_TRUE(http->waitForCount(resultRoute(5), 1));
        task->cancel();
        loop.blockOn(task->join());
        gate->open();
    }

    void serve(const JobSpec& spec) { http->reply(fetchRoute(spec.id), 200, jobJson(spec)); }
    void run(std::int64_t id) { loop.blockOn(runner->run(id)); }
    template <class F> auto onLoop(F work) {
        return loop.blockOn([](F work) -> Awaitable<decltype(work())> { co_return work(); }(std::move(work)));
    }
    bool seen(std::int64_t id) { return onLoop([&] { return runner->hasSeen(id); }); }
    bool inFlight(std::int64_t id) { return onLoop([&] { return runner->isInFlight(id); }); }

    // The result bodies posted for a job, decoded.
    std::vector<json::Value> results(std::int64_t id = 5) const {
        std::vector<json::Value> out;
        for (const auto& request : http->requests(resultRoute(id))) out.push_back(json::parse(*request.body));
        return out;
    }
    // The one result posted for a job.
    json::Value result(std::int64_t id = 5) const {
        const auto all = results(id);
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? json::Value() : all.front();
    }
    std::size_t linesMatching(const std::string& pattern) const {
        const std::regex re(pattern);
        std::size_t n = 0;
        for (const auto& line : logger->messages()) n += std::regex_search(line, re);
        return n;
    }
    std::string log() const {
        std::string all;
        for (const auto& line : logger->messages()) all += line + "\n";
        return all;
    }

    AgentLoop loop;
    std::shared_ptr<ScriptedHttpTransport> http = std::make_shared<ScriptedHttpTransport>();
    std::shared_ptr<FakeCupsApi> cups = std::make_shared<FakeCupsApi>();
    std::shared_ptr<FakePrinter> printer = std::make_shared<FakePrinter>();
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<JobRunner> runner;
};

// MARK: Memory of settled jobs

TEST_F(JobRunnerTest, RemembersIdsInFirstMarkOrderAndTrimsOnlyPastTheBound) {
    make(std::nullopt, 10, 4);
    onLoop([&] {
        for (std::int64_t id = 1; id <= 10; ++id) runner->markSeenForTesting(id);
        // Marking again changes neither the count nor the order: 1 stays the oldest.
        runner->markSeenForTesting(1);
    });
    EXPECT_EQ(onLoop([&] { return runner->seenCount(); }), 10u) << "reaching the bound does not trim";

    onLoop([&] { runner->markSeenForTesting(11); });
    EXPECT_EQ(onLoop([&] { return runner->seenCount(); }), 4u);
    for (std::int64_t id = 1; id <= 11; ++id) EXPECT_EQ(seen(id), id >= 8) << id;

    // A forgotten id is new again, and the next trim waits until the bound is exceeded again.
    onLoop([&] {
        for (std::int64_t id = 1; id <= 6; ++id) runner->markSeenForTesting(id);
    });
    EXPECT_EQ(onLoop([&] { return runner->seenCount(); }), 10u);
    onLoop([&] { runner->markSeenForTesting(7); });
    EXPECT_EQ(onLoop([&] { return runner->seenCount(); }), 4u);
    for (std::int64_t id = 1; id <= 11; ++id) EXPECT_EQ(seen(id), id >= 4 && id <= 7) << id;
}

TEST_F(JobRunnerTest, ARememberedIdMakesNoRequest) {
    make();
    onLoop([&] { runner->markSeenForTesting(5); });
    run(5);
    EXPECT_TRUE(http->requests().empty());
    EXPECT_EQ(logger->messages(), std::vector<std::string>{"[DEBUG] Job 5 already handled, ignoring redelivery"});
}

TEST_F(JobRunnerTest, TwoRunsOfOneJobAtOnceGoThroughOnce) {
    make();
    serve({});
    auto gate = http->hold(fetchRoute(5));
    auto first = boost::asio::co_spawn(loop.context(), runner->run(5), boost::asio::use_future);
    ASSERT_TRUE(http->waitForCount(fetchRoute(5), 1));
    EXPECT_TRUE(inFlight(5));
    run(5);
    EXPECT_EQ(linesMatching(R"(^\[DEBUG\] Job 5 already in flight, ignoring$)"), 1u);
    gate->open();
    first.get();
    run(5);

    EXPECT_EQ(http->count(fetchRoute(5)), 1u);
    EXPECT_EQ(printer->writes(), std::vector<std::string>{zplSent});
    EXPECT_EQ(results().size(), 1u);
    EXPECT_FALSE(inFlight(5));
    EXPECT_EQ(linesMatching("already handled, ignoring redelivery"), 1u);
}

// MARK: Fetch, expiry and language

TEST_F(JobRunnerTest, AFailedFetchIsRetriedLaterButAGoneJobIsSettled) {
    struct Case {
        std::string name;
        ScriptedHttpTransport::Outcome answer;
        bool settled;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"unreachable", ScriptedHttpTransport::unreachable(), false,
         "[ERROR] Job 5 failed: Could not connect to the server."},
        {"server error", Reply{500, "boom"}, false, "[ERROR] Job 5 failed: "},
        {"undecodable", Reply{200, R"({"job_id": 5})"}, false, "[ERROR] Job 5 failed: "},
        {"gone", Reply{410, R"({"error_code":"job_expired"})"}, true, "[INFO] Job 5 expired before printing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        http = std::make_shared<ScriptedHttpTransport>();
        logger = std::make_shared<RecordingLogger>();
        make();
        http->script(fetchRoute(5), {c.answer});
        run(5);
        EXPECT_EQ(seen(5), c.settled);
        EXPECT_FALSE(inFlight(5));
        EXPECT_EQ(http->requests().size(), 1u) << "nothing but the fetch";
        const auto lines = logger->messages();
        ASSERT_EQ(lines.size(), 1u) << log();
        EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << lines[0];
    }
    EXPECT_TRUE(printer->writes().empty());
}

TEST_F(JobRunnerTest, ExpiredAndUnknownJobsAreReportedOnceWithoutRetry) {
    struct Case {
        std::string name;
        JobSpec job;
        std::string code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"expired", JobSpec().withExpiry("2001-01-01T00:00:00Z"), "job_expired", "Expired before printing"},
        {"unknown", JobSpec().withLanguage("unknown"), "unsupported_language", "Agent cannot print unknown"},
    };
    for (const auto& c : cases) {
        for (const bool serverFails : {false, true}) {
            SCOPED_TRACE(c.name + (serverFails ? ", report refused" : ""));
            http = std::make_shared<ScriptedHttpTransport>();
            logger = std::make_shared<RecordingLogger>();
            make();
            serve(c.job);
            if (serverFails) http->reply(resultRoute(5), 500, "down");
            const auto before = Iso8601::Clock::now() - 1s;
            run(5);

            const auto body = result();
            EXPECT_EQ(body.value("state", ""), "failed");
            EXPECT_EQ(body.at("error").at("code"), c.code);
            EXPECT_EQ(body.at("error").at("message"), c.message);
            EXPECT_FALSE(body.contains("started_at"));
            const auto finished = Iso8601::parse(body.value("finished_at", ""));
            ASSERT_TRUE(finished);
            EXPECT_GE(*finished, before);
            EXPECT_FALSE(body.contains("bytes_written"));
            EXPECT_TRUE(seen(5));
            EXPECT_EQ(linesMatching("retrying"), 0u);
            EXPECT_EQ(linesMatching(R"(^\[ERROR\] Job 5 failed: )"), serverFails ? 1u : 0u) << log();
            EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5: fetched \d+B of )" + c.job.language + " for " + netKey +
                                    R"( in \d+ms$)"),
                      1u)
                << log();
        }
    }
    EXPECT_EQ(printer->probes(), 0);
    EXPECT_TRUE(printer->writes().empty());
}

TEST_F(JobRunnerTest, TheFetchLineCountsCharactersNotBytes) {
    make();
    // "é" and "👍🏽" are one character each, of two and eight bytes.
    serve(JobSpec().withPayload("^XA^FD\xC3\xA9\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD^FS^XZ"));
    run(5);
    EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5: fetched 14B of zpl for )" + netKey), 1u) << log();
}

// MARK: Delivery

TEST_F(JobRunnerTest, APrintedJobIsWrittenOnceMarkedAndReported) {
    make();
    serve(JobSpec().withCopies(2));
    const auto before = Iso8601::Clock::now() - 1s;
    run(5);

    EXPECT_EQ(printer->writes(), std::vector<std::string>{zplSent + zplSent}) << "copies repeated by the driver";
    EXPECT_EQ(printer->titles(), std::vector<std::string>{"Varnel job 5"});
    const auto body = result();
    EXPECT_EQ(body.value("state", ""), "printed");
    EXPECT_EQ(body.value("bytes_written", 0), static_cast<int>(2 * zplSent.size()));
    EXPECT_FALSE(body.contains("error"));
    const auto started = Iso8601::parse(body.value("started_at", ""));
    const auto finished = Iso8601::parse(body.value("finished_at", ""));
    ASSERT_TRUE(started && finished);
    EXPECT_GE(*started, before);
    EXPECT_LE(*started, *finished);
    EXPECT_TRUE(seen(5));
    const auto bytes = std::to_string(2 * zplSent.size());
    EXPECT_EQ(linesMatching(R"(^\[DEBUG\] Job 5: wrote )" + bytes + R"(B in \d+ms$)"), 1u) << log();
    EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5: printed )" + bytes + "B on " + netKey + R"( in \d+ms total$)"), 1u)
        << log();
}

TEST_F(JobRunnerTest, FailuresBeforeAndDuringTheWriteAreReportedWithTheirCode) {
    struct Case {
        std::string name;
        JobSpec job;
        std::function<void(FakePrinter&)> setUp;
        std::string code;
        std::optional<std::string> message; // none: the driver's own sentence
    };
    const std::string document = " needs a printer set up through macOS. " + netKey +
                                 " is connected directly, which has no way to interpret a document.";
    const auto unreachable = [](FakePrinter& p) { p.reachable = false; };
    const auto pdfJob = JobSpec().withLanguage("pdf").withPayload(pdf);
    const std::string badPortKey = "net:127.0.0.1:65536";
    resolver->printers[badPortKey] = NetworkPrinterTransport::make(
        PrinterTarget{badPortKey, "Misconfigured", PrinterTransport::network, "127.0.0.1:65536"});
    const std::vector<Case> cases = {
        {"no payload", JobSpec().withPayload(std::nullopt), {}, "payload_invalid", "Job has no inline payload"},
        {"refused by the driver", JobSpec().withPayload("hello"), {}, "payload_invalid", std::nullopt},
        {"no transport", JobSpec().withKey("usb:nowhere"), {}, "printer_unreachable",
         "No transport for printer usb:nowhere"},
        {"unreachable", {}, unreachable, "printer_unreachable", netKey + " is not responding"},
        {"a port that names no TCP port", JobSpec().withKey(badPortKey), {}, "printer_unreachable",
         "Invalid port 65536"},
        {"pdf to a reachable direct printer", pdfJob, {}, "unsupported_language", "pdf" + document},
        {"dymo to a reachable direct printer", JobSpec().withLanguage("dymo_raster").withPayload(pdf), {},
         "unsupported_language", "dymo_raster" + document},
        // The printer is checked before the language, so an unreachable one is named as such.
        {"pdf to an unreachable direct printer", pdfJob, unreachable, "printer_unreachable",
         netKey + " is not responding"},
        {"write refused",
         {},
         [](FakePrinter& p) {
             p.writeFailure = std::make_exception_ptr(JobError(JobErrorCode::writeTimeout, "Device stalled"));
         },
         "write_timeout", "Device stalled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshCase();
        if (c.setUp) c.setUp(*printer);
        make();
        serve(c.job);
        run(5);

        const auto body = result();
        EXPECT_EQ(body.value("state", ""), "failed");
        EXPECT_EQ(body.at("error").at("code"), c.code);
        if (c.message) {
            EXPECT_EQ(body.at("error").value("message", ""), *c.message);
        }
        EXPECT_TRUE(body.contains("started_at"));
        EXPECT_TRUE(body.contains("finished_at"));
        EXPECT_FALSE(body.contains("bytes_written"));
        EXPECT_TRUE(seen(5));
        EXPECT_TRUE(printer->writes().empty());
        const auto detail = c.message ? literal(*c.message) : std::string(".+");
        EXPECT_EQ(linesMatching(R"(^\[ERROR\] Job 5: FAILED )" + c.code + " on " + literal(c.job.key) +
                                R"( after \d+ms )" + dash + " " + detail + "$"),
                  1u)
            << log();
        EXPECT_EQ(linesMatching("printed"), 0u) << log();
    }
}

TEST_F(JobRunnerTest, AnUnexpectedErrorIsReportedAsInternal) {
    printer->writeFailure = std::make_exception_ptr(std::runtime_error("socket exploded"));
    make();
    serve({});
    run(5);
    const auto body = result();
    EXPECT_EQ(body.at("error").at("code"), "internal");
    EXPECT_EQ(body.at("error").at("message"), "socket exploded");
    EXPECT_EQ(logger->messages().back(), "[ERROR] Job 5: INTERNAL ERROR on " + netKey + " \u2014 socket exploded");
}

TEST_F(JobRunnerTest, AJobErrorWithoutMessageReadsNoDetail) {
    printer->writeFailure = std::make_exception_ptr(JobError(JobErrorCode::printerError));
    make();
    serve({});
    run(5);
    EXPECT_FALSE(result().at("error").contains("message"));
    EXPECT_EQ(linesMatching(R"(^\[ERROR\] Job 5: FAILED printer_error on )" + netKey +
                            R"( after \d+ms )" + dash + " no detail$"),
              1u)
        << log();
}

// MARK: CUPS

TEST_F(JobRunnerTest, LabelsGoRawToCupsAndDocumentsAsPdfWithTheirCopies) {
    cups->jobListings.push_back({{17, "Zebra", 9, 0}});
    make();
    serve(JobSpec().withKey(cupsKey).withCopies(2));
    run(5);
    EXPECT_EQ(cups->lastOptions(), (std::vector<std::pair<std::string, std::string>>{{"raw", "true"}}));
    EXPECT_EQ(cups->lastData(), zplSent + zplSent);
    EXPECT_EQ(result().value("bytes_written", 0), static_cast<int>(2 * zplSent.size()));
    EXPECT_TRUE(cups->jobQueries().empty()) << "a raw job is not watched";

    serve(JobSpec().withId(6).withKey(cupsKey).withLanguage("pdf").withPayload(pdf).withCopies(3));
    run(6);
    EXPECT_EQ(cups->lastOptions(), (std::vector<std::pair<std::string, std::string>>{{"copies", "3"}}));
    EXPECT_EQ(cups->lastData(), pdf) << "a document is never repeated";
    const auto calls = cups->calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), FakeCupsApi::Call{"start", "Zebra#17 application/pdf"}),
              calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), FakeCupsApi::Call{"create", "Zebra/Varnel job 6"}), calls.end());
    EXPECT_FALSE(cups->jobQueries().empty()) << "a document is watched to its end";
    const auto body = result(6);
    EXPECT_EQ(body.value("state", ""), "printed");
    EXPECT_EQ(body.value("bytes_written", 0), static_cast<int>(pdf.size()));
}

TEST_F(JobRunnerTest, TheWatchOfADocumentDecidesItsResult) {
    struct Case {
        std::string name;
        std::int32_t state; // of job 17, listed every time
        std::optional<std::string> queueMessage;
        std::string code; // empty: printed
        std::string message;
    };
    const std::vector<Case> cases = {
        {"completed", 9, std::nullopt, "", ""},
        {"still pending at the time-out", 3, std::nullopt, "write_timeout", "Still queued on cups:Zebra after waiting"},
        {"still pending, with a reason", 3, "Ink low", "write_timeout", "cups:Zebra Ink low"},
        {"cancelled", 7, std::nullopt, "printer_error", "The printer did not finish the job (cancelled)"},
        {"aborted", 8, std::nullopt, "printer_error", "The printer did not finish the job (aborted)"},
        {"aborted, with a reason", 8, "Ink low", "printer_error", "cups:Zebra Ink low"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        http = std::make_shared<ScriptedHttpTransport>();
        logger = std::make_shared<RecordingLogger>();
        cups = std::make_shared<FakeCupsApi>();
        std::vector<CupsOption> options;
        if (c.queueMessage) options.push_back({"printer-state-message", *c.queueMessage});
        cups->addQueue("Zebra", options);
        cups->jobListings.push_back({{17, "Zebra", c.state, 0}});
        resolver->printers[cupsKey] = std::make_shared<CupsPrinterTransport>("Zebra", cups);
        auto options2 = fast();
        options2.watchTimeout = 40ms;
        make(options2);
        serve(JobSpec().withKey(cupsKey).withLanguage("pdf").withPayload(pdf));
        run(5);

        const auto body = result();
        if (c.code.empty()) {
            EXPECT_EQ(body.value("state", ""), "printed");
            EXPECT_EQ(body.value("bytes_written", 0), static_cast<int>(pdf.size()));
        } else {
            EXPECT_EQ(body.value("state", ""), "failed");
            EXPECT_EQ(body.at("error").at("code"), c.code);
            EXPECT_EQ(body.at("error").at("message"), c.message);
        }
        EXPECT_TRUE(seen(5));
    }
}

TEST_F(JobRunnerTest, ACupsQueueThatCannotPrintIsCheckedBeforeSubmitting) {
    struct Case {
        std::string name;
        std::function<void(FakeCupsApi&)> setUp;
        std::string code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"stopped queue", [](FakeCupsApi& api) { api.addQueue("Zebra", {{"printer-state", "5"}}); }, "printer_error",
         "Queue is stopped"},
        {"missing queue", [](FakeCupsApi&) {}, "printer_unreachable", "Queue no longer exists on this Mac"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        http = std::make_shared<ScriptedHttpTransport>();
        cups = std::make_shared<FakeCupsApi>();
        c.setUp(*cups);
        resolver->printers[cupsKey] = std::make_shared<CupsPrinterTransport>("Zebra", cups);
        make();
        serve(JobSpec().withKey(cupsKey));
        run(5);
        const auto body = result();
        EXPECT_EQ(body.at("error").at("code"), c.code);
        EXPECT_EQ(body.at("error").at("message"), c.message);
        for (const auto& call : cups->calls()) EXPECT_EQ(call.what, "destinations");
    }
}

// MARK: Result reports

TEST_F(JobRunnerTest, AReportIsRetriedWithGrowingWaits) {
    make();
    serve({});
    http->script(resultRoute(5), {Reply{500, "a"}, ScriptedHttpTransport::unreachable(), Reply{503, "b"}, Reply{}});
    const auto start = Clock::now();
    run(5);
    // 0.5 + 1.0 + 2.0 seconds, scaled by 0.01.
    EXPECT_GE(Clock::now() - start, 35ms);
    EXPECT_EQ(results().size(), 4u);
    std::vector<std::string> retries;
    for (const auto& line : logger->messages()) {
        if (line.find("retrying") != std::string::npos) retries.push_back(line);
    }
    EXPECT_EQ(retries, (std::vector<std::string>{"[DEBUG] Job 5: result report failed, retrying in 0.5s",
                                                 "[DEBUG] Job 5: result report failed, retrying in 1.0s",
                                                 "[DEBUG] Job 5: result report failed, retrying in 2.0s"}));
    EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5: printed )"), 1u);
}

// Once the labels exist, a report that cannot be made is final: the job is never reported failed.
TEST_F(JobRunnerTest, APrintedJobWhoseReportFailsIsNeverReportedFailed) {
    struct Case {
        std::string name;
        ScriptedHttpTransport::Outcome answer;
    };
    const std::vector<Case> cases = {
        {"server error", Reply{500, "down"}},
        {"gone", Reply{410, "{}"}},
        {"unreachable", ScriptedHttpTransport::unreachable()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshCase();
        make();
        serve({});
        http->script(resultRoute(5), {c.answer});
        run(5);

        const auto posted = results();
        EXPECT_EQ(posted.size(), 4u);
        for (const auto& body : posted) EXPECT_EQ(body.value("state", ""), "printed");
        EXPECT_TRUE(seen(5));
        EXPECT_EQ(printer->writes().size(), 1u);
        EXPECT_EQ(linesMatching(R"(^\[ERROR\] Job 5: printed but the result could not be reported after 4 attempts )" +
                                dash + " .+$"),
                  1u)
            << log();
        EXPECT_EQ(linesMatching("FAILED|INTERNAL ERROR|expired before printing|Job 5 failed"), 0u) << log();
        EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5: printed )"), 0u) << log();

        run(5);
        EXPECT_EQ(printer->writes().size(), 1u) << "a redelivery prints nothing";
    }
}

TEST_F(JobRunnerTest, AStopDuringTheReportOfAPrintedJobDoesNotCutItShort) {
    auto options = fast();
    options.reportWaitScale = 0.1; // the first retry waits 50 ms
    make(options);
    serve({});
    http->script(resultRoute(5), {Reply{500, "down"}, Reply{}});
    auto gate = http->hold(resultRoute(5));
    auto task = Task::spawn(loop.executor(), [runner = runner]() { return runner->run(5); });
    ASSERT_TRUE(http->waitForCount(resultRoute(5), 1));
    task->cancel();
    std::this_thread::sleep_for(10ms);
    const auto opened = Clock::now();
    gate->open();
    loop.blockOn(task->join());

    EXPECT_GE(Clock::now() - opened, 50ms) << "the retry wait was cut short";
    const auto posted = results();
    ASSERT_EQ(posted.size(), 2u) << log();
    EXPECT_EQ(posted[1].value("state", ""), "printed");
    EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5: printed )"), 1u) << log();
    EXPECT_EQ(linesMatching("stopped|FAILED|could not be reported"), 0u) << log();
}

TEST_F(JobRunnerTest, TheShieldedReportOfAPrintedJobIsBounded) {
    auto options = fast();
    options.shieldedReportLimit = 50ms;
    make(options);
    serve({});
    ASSERT_NO_FATAL_FAILURE(stopDuringFirstReport());

    EXPECT_EQ(results().size(), 1u);
    EXPECT_TRUE(seen(5));
    EXPECT_EQ(linesMatching(R"(^\[ERROR\] Job 5: printed but the result could not be reported in time )" + dash +
                            R"( The request timed out\.$)"),
              1u)
        << log();
    EXPECT_EQ(linesMatching("FAILED|INTERNAL ERROR|Job 5 failed"), 0u) << log();
}

// MARK: Cancellation

TEST_F(JobRunnerTest, AStopBeforeTheDataWasSentReportsNothingAndLeavesTheJobForLater) {
    struct Case {
        std::string name;
        std::function<std::string(JobRunnerTest&)> hold; // gives what to wait for: a route, or "" for the printer
    };
    const std::vector<Case> cases = {
        {"during the fetch", [](JobRunnerTest& t) {
             t.http->hold(fetchRoute(5));
             return fetchRoute(5);
         }},
        {"during the probe", [](JobRunnerTest& t) {
             t.printer->probeGate = std::make_shared<Gate>();
             return std::string();
         }},
        {"while the write connects, past its grace", [](JobRunnerTest& t) {
             t.printer->writeGate = std::make_shared<Gate>();
             return std::string();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshCase();
        make();
        serve({});
        const auto route = c.hold(*this);
        auto task = Task::spawn(loop.executor(), [runner = runner]() { return runner->run(5); });
        if (route.empty()) {
            const auto gate = printer->probeGate ? printer->probeGate : printer->writeGate;
            ASSERT_TRUE(gate->waitForArrivals(1));
        } else {
            ASSERT_TRUE(http->waitForCount(route, 1));
        }
        task->cancel();
        loop.blockOn(task->join());

        EXPECT_TRUE(results().empty()) << log();
        EXPECT_FALSE(seen(5));
        EXPECT_FALSE(inFlight(5));
        EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5 stopped before it was finished; nothing reported$)"), 1u) << log();
        EXPECT_EQ(linesMatching("FAILED|INTERNAL ERROR|failed"), 0u) << log();

        // Left for later: the next delivery prints it.
        printer->probeGate.reset();
        printer->writeGate.reset();
        http->hold(fetchRoute(5))->open();
        run(5);
        EXPECT_EQ(printer->writes().size(), 1u);
        EXPECT_EQ(result().value("state", ""), "printed");
    }
}

// Once bytes have left, a stop never leaves the job for a second print: a write under way may
// finish within its grace and is reported printed; one still going after it is cut off, and the
// job is reported failed with what the printer took.
TEST_F(JobRunnerTest, AStopDuringTheWriteNeverLeavesTheJobForASecondPrint) {
    struct Case {
        std::string name;
        bool acknowledgedWithinTheGrace;
        std::string state;
    };
    const std::vector<Case> cases = {
        {"the printer takes the rest within the grace", true, "printed"},
        {"the printer is still taking it after the grace", false, "failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshCase();
        auto options = fast();
        options.writeGrace = c.acknowledgedWithinTheGrace ? 5s : 50ms;
        make(options);
        serve({});
        printer->acknowledgementGate = std::make_shared<Gate>();
        auto task = Task::spawn(loop.executor(), [runner = runner]() { return runner->run(5); });
        ASSERT_TRUE(printer->acknowledgementGate->waitForArrivals(1));
        const auto stoppedAt = Clock::now();
        task->cancel();
        // The runner has seen the stop while the label is still being sent.
        ASSERT_TRUE(testing::eventually(
            [&] { return linesMatching(R"(^\[INFO\] Job 5: the agent is stopping; the label being sent has )") == 1; }))
            << log();
        if (c.acknowledgedWithinTheGrace) printer->acknowledgementGate->open();
        loop.blockOn(task->join());
        const auto waited = Clock::now() - stoppedAt;

        const auto body = result();
        EXPECT_EQ(body.value("state", ""), c.state) << log();
        if (c.state == "failed") {
            EXPECT_GE(waited, 50ms) << "the write was not given its grace";
            EXPECT_EQ(body.at("error").at("code"), "printer_error");
            EXPECT_EQ(linesMatching(R"(^\[ERROR\] Job 5: FAILED printer_error on )"), 1u) << log();
        }
        EXPECT_LT(waited, 3s);
        EXPECT_TRUE(seen(5));
        EXPECT_EQ(linesMatching("stopped before it was finished"), 0u) << log();
        printer->acknowledgementGate.reset();
        run(5);
        EXPECT_EQ(printer->writes().size(), 1u) << "the job was sent a second time";
    }
}

// A stop during the watch of a document settles the job with one last look at it: a job still
// waiting to print is cancelled and failed, one being printed is reported printed, and one the
// scheduler says nothing of is failed with a reason that says it may still print.
TEST_F(JobRunnerTest, AStopDuringTheWatchOfADocumentSettlesItWithOneLastLook) {
    using Answer = CupsJobListing::Status;
    struct Case {
        std::string name;
        std::int32_t stateAtStop;
        Answer answerAtStop;
        std::string code; // empty: printed
        std::string message;
    };
    const std::vector<Case> cases = {
        {"pending", 3, Answer::listed, "printer_error",
         "cups:Zebra The job was cancelled before it printed, because the agent stopped"},
        {"processing", 5, Answer::listed, "", ""},
        {"the scheduler does not answer", 3, Answer::unreachable, "write_timeout",
         "cups:Zebra The print scheduler did not answer when the agent stopped; the job may still print"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshCase();
        cups = std::make_shared<FakeCupsApi>();
        cups->addQueue("Zebra");
        cups->jobAnswers = {Answer::listed, c.answerAtStop};
        cups->jobListings = {{{17, "Zebra", 3, 0}}, {{17, "Zebra", c.stateAtStop, 0}}};
        resolver->printers[cupsKey] = std::make_shared<CupsPrinterTransport>("Zebra", cups);
        auto options = fast();
        // The first poll at once, then a pause that only the stop ends.
        options.watchPollInterval = 60s;
        options.watchTimeout = 120s;
        make(options);
        serve(JobSpec().withKey(cupsKey).withLanguage("pdf").withPayload(pdf));
        auto task = Task::spawn(loop.executor(), [runner = runner]() { return runner->run(5); });
        ASSERT_TRUE(testing::eventually([&] { return cups->jobQueries().size() == 1; }));
        task->cancel();
        loop.blockOn(task->join());

        EXPECT_EQ(cups->jobQueries().size(), 2u);
        const auto body = result();
        if (c.code.empty()) {
            EXPECT_EQ(body.value("state", ""), "printed") << log();
            EXPECT_EQ(body.value("bytes_written", 0), static_cast<int>(pdf.size()));
        } else {
            EXPECT_EQ(body.value("state", ""), "failed") << log();
            EXPECT_EQ(body.at("error").at("code"), c.code);
            EXPECT_EQ(body.at("error").at("message"), c.message);
        }
        EXPECT_TRUE(seen(5));
    }
}

// The last look at the job and the report share the report's limit, so that the stop keeps its
// bound with a scheduler and a server that both hold on.
TEST_F(JobRunnerTest, AStopDuringAWatchEndsWithinTheReportsLimitWhateverTheSchedulerAndServerDo) {
    std::promise<void> answer;
    const std::shared_future<void> answered = answer.get_future().share();
    std::atomic<int> asked{0};
    cups->jobListings.push_back({{17, "Zebra", 3, 0}});
    cups->whileListing = [&asked, answered] {
        if (++asked > 1) answered.wait_for(5s);
    };
    auto options = fast();
    options.watchPollInterval = 60s;
    options.watchTimeout = 120s;
    options.shieldedReportLimit = 1s;
    make(options);
    serve(JobSpec().withKey(cupsKey).withLanguage("pdf").withPayload(pdf));
    auto gate = http->hold(resultRoute(5));
    auto task = Task::spawn(loop.executor(), [runner = runner]() { return runner->run(5); });
    ASSERT_TRUE(testing::eventually([&] { return cups->jobQueries().size() == 1; }));
    const auto stoppedAt = Clock::now();
    task->cancel();
    loop.blockOn(task->join());
    const auto waited = Clock::now() - stoppedAt;
    answer.set_value();
    gate->open();

    EXPECT_LT(waited, 1s + 300ms) << "the stop outlasted the report's limit";
    ASSERT_TRUE(http->waitForCount(resultRoute(5), 1)) << "the report was never sent";
    EXPECT_NE(http->requests(resultRoute(5)).front().body->find("may still print"), std::string::npos) << log();
    EXPECT_EQ(linesMatching("could not be reported in time"), 1u) << log();
}

// Without a stop a slow server gets every attempt, however long they take.
TEST_F(JobRunnerTest, TheReportsLimitAppliesOnlyOnceAStopCame) {
    auto options = fast();
    options.shieldedReportLimit = 20ms;
    make(options);
    serve({});
    auto gate = http->hold(resultRoute(5));
    auto running = boost::asio::co_spawn(loop.executor(), runner->run(5), boost::asio::use_future);
    ASSERT_TRUE(http->waitForCount(resultRoute(5), 1));
    std::this_thread::sleep_for(100ms);
    gate->open();
    ASSERT_EQ(running.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(result().value("state", ""), "printed");
    EXPECT_EQ(linesMatching("could not be reported"), 0u) << log();
}

TEST_F(JobRunnerTest, AStopDuringTheReportOfAFailureEndsItWithoutRetries) {
    printer->reachable = false;
    make();
    serve({});
    ASSERT_NO_FATAL_FAILURE(stopDuringFirstReport());

    EXPECT_EQ(results().size(), 1u) << "a stopped task sends nothing more";
    EXPECT_TRUE(seen(5)) << "its outcome was settled before the report";
    EXPECT_EQ(linesMatching("retrying|could not be reported|FAILED|failed:"), 0u) << log();
    EXPECT_EQ(linesMatching(R"(^\[INFO\] Job 5 stopped before it was finished; nothing reported$)"), 1u) << log();
}

// MARK: Pending jobs

TEST_F(JobRunnerTest, ADrainRunsEachPendingJobInTurnAndSkipsSettledOnes) {
    make();
    http->reply(pendingRoute, 200,
                R"({"jobs": [{"job_id": 1, "printer_id": 1, "language": "zpl"},
                             {"job_id": 2, "printer_id": 1, "language": "zpl"},
                             {"job_id": 3, "printer_id": 1, "language": "zpl"}]})");
    serve(JobSpec().withId(1));
    serve(JobSpec().withId(3));
    onLoop([&] { runner->markSeenForTesting(2); });
    loop.blockOn(runner->drainPending(3));

    std::vector<std::string> order;
    for (const auto& request : http->requests()) order.push_back(request.method + " " + request.path);
    EXPECT_EQ(order, (std::vector<std::string>{pendingRoute, fetchRoute(1), resultRoute(1), fetchRoute(3),
                                               resultRoute(3)}));
    EXPECT_EQ(printer->writes().size(), 2u);
    EXPECT_EQ(linesMatching(R"(^\[DEBUG\] Draining 3 pending job\(s\)$)"), 1u);
    EXPECT_EQ(linesMatching(R"(^\[DEBUG\] Job 2 already handled, ignoring redelivery$)"), 1u);
}

TEST_F(JobRunnerTest, AStopEndsADrainAndLeavesTheRestPending) {
    make();
    http->reply(pendingRoute, 200,
                R"({"jobs": [{"job_id": 1, "printer_id": 1, "language": "zpl"},
                             {"job_id": 2, "printer_id": 1, "language": "zpl"}]})");
    serve(JobSpec().withId(1));
    serve(JobSpec().withId(2));
    http->hold(fetchRoute(1));
    auto task = Task::spawn(loop.executor(), [runner = runner]() { return runner->drainPending(3); });
    ASSERT_TRUE(http->waitForCount(fetchRoute(1), 1));
    task->cancel();
    loop.blockOn(task->join());

    EXPECT_EQ(http->count(fetchRoute(2)), 0u);
    EXPECT_FALSE(seen(1));
    EXPECT_FALSE(seen(2));
    EXPECT_TRUE(printer->writes().empty());
    EXPECT_EQ(linesMatching("ERROR"), 0u) << log();
    EXPECT_EQ(linesMatching("Job 2"), 0u) << "job 2 is not even started: " << log();
}

TEST_F(JobRunnerTest, ADrainThatCannotFetchLogsItAndAnEmptyOneIsSilent) {
    make();
    http->script(pendingRoute, {Reply{500, "down"}, Reply{200, R"({"jobs": []})"}});
    loop.blockOn(runner->drainPending(3));
    ASSERT_EQ(logger->messages().size(), 1u);
    EXPECT_EQ(logger->messages()[0].rfind("[ERROR] Could not fetch pending jobs: ", 0), 0u);
    loop.blockOn(runner->drainPending(3));
    EXPECT_EQ(logger->messages().size(), 1u);
}

// MARK: Durations

TEST(JobRunnerDurations, ReadAsMillisecondsBelowASecondElseTenthsOfSeconds) {
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    EXPECT_EQ(JobRunner::ms(0ms), "0ms");
    EXPECT_EQ(JobRunner::ms(250ms), "250ms");
    EXPECT_EQ(JobRunner::ms(duration_cast<nanoseconds>(std::chrono::duration<double, std::milli>(999.9))), "999ms");
    EXPECT_EQ(JobRunner::ms(1s), "1.0s");
    EXPECT_EQ(JobRunner::ms(12340ms), "12.3s");
    EXPECT_EQ(JobRunner::ms(12360ms), "12.4s");
    EXPECT_TRUE(std::regex_match(JobRunner::ms(Clock::now() - 250ms), std::regex("25[0-9]ms")));
}

} // namespace
} // namespace varnel
