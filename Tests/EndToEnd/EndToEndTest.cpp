// The real agent end to end: libcurl over HTTPS to the bench's management server, the real-time
// client over wss:// to its Pusher server, raw TCP to the bench's printers and a private CUPS
// scheduler for queues. Each scenario checks both ends: what the printer received and what the
// server was told, so that no label is lost or printed twice.
#include "Bench/JobResult.hpp"
#include "Bench/TestBench.hpp"
#include "Integration/CupsScheduler.hpp"
#include "Integration/SchedulerProxy.hpp"
#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Platform/ServiceResolving.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

namespace varnel {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::BenchJob;
using testing::bytesTaken;
using testing::errorCode;
using testing::errorMessage;
using testing::JobDelivery;
using testing::RawTestPrinter;
using testing::TestBench;
using Operation = testing::ManagementOperation;
using Status = VarnelAgent::Status;
using Snapshot = testing::ManagementTestServer::Snapshot;

// One scheduler for the whole run: starting one takes a moment. It also keeps the agent's CUPS
// discovery away from any scheduler of the machine.
integration::CupsScheduler* scheduler = nullptr;

class SchedulerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { scheduler = new integration::CupsScheduler(); }
    void TearDown() override {
        delete scheduler;
        scheduler = nullptr;
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new SchedulerEnvironment);

// No network printers are announced on this machine.
class NoServices final : public ServiceResolving {
public:
    Awaitable<bool> resolve(std::string, std::string, std::chrono::steady_clock::duration) override {
        co_return false;
    }
};

Awaitable<std::optional<std::int64_t>> fixedDeviceId(std::int64_t id) {
    co_return id;
}

const std::string minimalPdf = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                               "2 0 obj<</Type/Pages/Kids[]/Count 0>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n";

std::string label(const std::string& text) {
    return "^XA^FO20,20^A0N,30,30^FD" + text + "^FS^XZ";
}

std::string bigLabels() {
    return testing::labelsOfAtLeast(8 * 1024 * 1024);
}

std::int64_t resultBytes(const nlohmann::json& result) {
    return result.contains("bytes_written") && result["bytes_written"].is_number_integer()
               ? result["bytes_written"].get<std::int64_t>()
               : -1;
}

// The device has taken a job's first bytes and stopped reading: a CUPS job that stays processing.
bool aConnectionStallsWithData(const RawTestPrinter& device) {
    return device.waitFor(
        [](const RawTestPrinter::Snapshot& s) {
            return std::any_of(s.connections.begin(), s.connections.end(), [](const auto& connection) {
                return connection.stalled && !connection.bytes.empty();
            });
        },
        std::chrono::seconds(20));
}

// A figure of a scenario for whoever reads the test's output: what the printer and server saw.
void note(const std::string& scenario, const std::string& what) {
    std::cout << "[ observed ] " << scenario << ": " << what << "\n";
}

// A queue of the private scheduler that hands its jobs raw to a bench device.
void addRawQueue(const std::string& queue, const RawTestPrinter& device) {
    ASSERT_EQ(scheduler->run({"lpadmin", "-p", queue, "-E", "-v", "socket://" + device.address(), "-m", "raw"}), 0)
        << scheduler->log();
}

// The scheduler calls of this process go through a proxy in front of the private scheduler, which
// can hold a submission's steps.
struct ThroughAProxy {
    integration::SchedulerProxy proxy{scheduler->socketPath()};
    testing::ScopedEnvironment viaProxy{"CUPS_SERVER", proxy.socketPath()};
};

class EndToEndTest : public ::testing::Test {
protected:
    // Intervals long enough that nothing but the scenario's own steps happens.
    static VarnelAgent::Timings quietTimings() { return {60s, 60s, 60s, 300s, 45s}; }

    void SetUp() override {
        ASSERT_TRUE(scheduler);
        loop.startThread();
    }

    void TearDown() override {
        if (agent)
            loop.blockOn(agent->stop());
        if (diagnostics)
            loop.blockOn(diagnostics->stop());
        // Whatever the scenario, a stopped agent has closed its channel.
        EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 5s));
    }

    template <class F> auto onLoop(F work) {
        return asio::post(loop.context(), asio::use_future(std::move(work))).get();
    }

    std::shared_ptr<VarnelAPIClient> makeClient() {
        VarnelAPIClient::Configuration configuration{bench.agentSettings().serverURL, "1.0.4",
                                                     std::chrono::duration<double>(10.0)};
        return std::make_shared<VarnelAPIClient>(std::move(configuration), bench.token());
    }

    void makeAgent(VarnelAgent::Timings timings, bool withDiagnostics = false) {
        api = makeClient();
        if (withDiagnostics) {
            const auto deviceId = bench.agentSettings().deviceId;
            diagnostics = DiagnosticsReporter::make(loop.executor(), api, logger,
                                                    [deviceId] { return fixedDeviceId(deviceId); },
                                                    DiagnosticsReporter::Timings{50ms, 1s, 2s});
        }
        VarnelAgent::Options options;
        options.bonjour = std::make_shared<NoServices>();
        options.runner.reportWaitScale = 0.02;
        options.runner.watchPollInterval = 100ms;
        options.runner.writeGrace = writeGrace;
        options.runner.shieldedReportLimit = reportLimit;
        agent = VarnelAgent::make(loop.executor(), bench.agentSettings(), api, logger, timings, diagnostics,
                                  std::move(options));
        onLoop([this] {
            agent->onStatusChange([this](const Status& status) {
                {
                    std::lock_guard lock(statusLock);
                    statuses.push_back(status);
                }
                statusChanged.notify_all();
            });
        });
    }

    // A running agent whose channel is subscribed.
    void startAgent(VarnelAgent::Timings timings = quietTimings(), bool withDiagnostics = false) {
        makeAgent(timings, withDiagnostics);
        loop.blockOn(agent->start());
        ASSERT_TRUE(waitForStatus(Status::connected(), 15s)) << logText();
    }

    bool waitForStatus(const Status& wanted, std::chrono::milliseconds limit) {
        std::unique_lock lock(statusLock);
        return statusChanged.wait_for(lock, limit, [&] { return !statuses.empty() && statuses.back() == wanted; });
    }

    std::size_t taskCount() {
        return onLoop([this] { return agent->runningTaskCount(); });
    }

    // The first accepted result of a job; fails the test when none came within the limit.
    nlohmann::json resultOf(std::int64_t jobId, std::chrono::milliseconds limit = 20s) {
        const bool arrived =
            bench.management().waitFor([jobId](const Snapshot& s) { return s.resultCount(jobId) > 0; }, limit);
        EXPECT_TRUE(arrived) << "no result for job " << jobId << "\n" << logText();
        return arrived ? bench.management().snapshot().results.at(jobId).front() : nlohmann::json();
    }

    // The job was printed exactly once, with exactly these bytes, and reported once as printed with
    // the count the printer got.
    void expectPrintedOnce(std::int64_t jobId, const RawTestPrinter& printer, const std::string& bytes) {
        const auto result = resultOf(jobId);
        EXPECT_EQ(result["state"], "printed") << result.dump();
        EXPECT_EQ(resultBytes(result), static_cast<std::int64_t>(bytes.size()));
        ASSERT_TRUE(printer.waitFor(
            [&](const RawTestPrinter::Snapshot& s) {
                for (const auto& connection : s.connections) {
                    if (connection.bytes == bytes && !connection.open)
                        return true;
                }
                return false;
            },
            10s));
        std::size_t copies = 0;
        for (const auto& job : printer.snapshot().jobs())
            copies += job.bytes == bytes ? 1 : 0;
        EXPECT_EQ(copies, 1u) << "job " << jobId << " printed " << copies << " times";
        EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
    }

    // stop() run on the loop; the future is ready once it has returned.
    std::future<void> stopAsync() { return asio::co_spawn(loop.executor(), agent->stop(), asio::use_future); }

    // stop() with the time it took to return, `meanwhile` done once it was called; none when it did
    // not return within 10 s.
    std::optional<std::chrono::milliseconds> timedStop(const std::function<void()>& meanwhile = {}) {
        const auto called = std::chrono::steady_clock::now();
        auto stopped = stopAsync();
        if (meanwhile)
            meanwhile();
        if (stopped.wait_for(10s) != std::future_status::ready)
            return std::nullopt;
        stopped.get();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - called);
    }

    // stop() while a write or a submission holds on past its grace: it waits the grace out, then no
    // longer than the report's limit. None when it did not return.
    std::optional<std::chrono::milliseconds> stopAfterTheGrace() {
        const auto took = timedStop();
        EXPECT_TRUE(took) << "stop() did not return";
        if (took) {
            EXPECT_GE(*took, writeGrace);
            EXPECT_LT(*took, writeGrace + reportLimit);
        }
        return took;
    }

    // The job's one result, which says it failed with `code`; a failure of the test otherwise.
    nlohmann::json soleFailure(std::int64_t jobId, const std::string& code) {
        const auto snapshot = bench.management().snapshot();
        EXPECT_EQ(snapshot.resultCount(jobId), 1u) << logText();
        if (snapshot.resultCount(jobId) != 1)
            return nlohmann::json::object();
        auto result = snapshot.results.at(jobId).front();
        EXPECT_EQ(result["state"], "failed") << result.dump();
        EXPECT_EQ(errorCode(result), code) << result.dump();
        return result;
    }

    bool logged(const std::string& line, std::chrono::milliseconds limit = 5s) const {
        return testing::eventually(
            [&] {
                const auto messages = logger->messages();
                return std::find(messages.begin(), messages.end(), line) != messages.end();
            },
            limit);
    }

    std::string logText() const {
        std::string text;
        for (const auto& line : logger->messages())
            text += line + "\n";
        return text;
    }

    testing::ScopedEnvironment authority{"SSL_CERT_FILE", TestBench::caFile().string()};
    TestBench bench;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    AgentLoop loop; // after the bench: the agent's sockets end before the servers go
    std::shared_ptr<VarnelAPIClient> api;
    std::shared_ptr<DiagnosticsReporter> diagnostics;
    std::shared_ptr<VarnelAgent> agent;
    std::chrono::milliseconds writeGrace = 5s;
    std::chrono::milliseconds reportLimit = 5s;

    std::mutex statusLock;
    std::condition_variable statusChanged;
    std::vector<Status> statuses;
};

TEST_F(EndToEndTest, APushedJobIsPrintedOnceAndReportedWithTheBytesThePrinterGot) {
    auto& printer = bench.addPrinter();
    startAgent();
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = label("Hello")});
    expectPrintedOnce(jobId, printer, label("Hello") + "\n");
    const auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.jobFetches, std::vector<std::int64_t>{jobId});
    EXPECT_TRUE(snapshot.results.at(jobId).front().contains("started_at"));
    EXPECT_GE(printer.snapshot().probes(), 1u) << "the printer was written to without a reachability check";
    EXPECT_FALSE(snapshot.printerSyncs.empty()) << "the start published no printers";
}

TEST_F(EndToEndTest, PendingJobsAreDrainedOnceTheChannelReconnects) {
    auto& printer = bench.addPrinter();
    startAgent();
    // Listed only: the agent learns of them from the drain that follows a reconnect.
    std::vector<std::int64_t> jobs;
    for (const auto* text : {"one", "two", "three"}) {
        jobs.push_back(bench.management().createJob(
            {.printerKey = printer.key(), .payload = label(text), .delivery = JobDelivery::pending}));
    }
    const auto drainsBefore = bench.management().snapshot().pendingFetches;
    bench.pusher().dropAll();
    ASSERT_TRUE(waitForStatus(Status::connected(), 15s)) << logText();
    expectPrintedOnce(jobs[0], printer, label("one") + "\n");
    expectPrintedOnce(jobs[1], printer, label("two") + "\n");
    expectPrintedOnce(jobs[2], printer, label("three") + "\n");
    EXPECT_GT(bench.management().snapshot().pendingFetches, drainsBefore);
    EXPECT_TRUE(bench.management().pendingJobIds().empty());
    // In the order the server listed them.
    const auto printed = printer.snapshot().jobs();
    ASSERT_EQ(printed.size(), 3u);
    EXPECT_EQ(printed[0].bytes, label("one") + "\n");
    EXPECT_EQ(printed[2].bytes, label("three") + "\n");
}

TEST_F(EndToEndTest, AJobPushedTwiceAndPolledOnceIsPrintedOnce) {
    auto& printer = bench.addPrinter();
    auto timings = quietTimings();
    // The loop's first wait starts before the channel is up.
    timings.pollWhenConnected = timings.pollWhenDisconnected = 300ms;
    startAgent(timings);
    // The report is held, so the job stays listed while a poll comes and a second push waits.
    bench.management().stallNext(Operation::result);
    const auto jobId = bench.management().createJob(
        {.printerKey = printer.key(), .payload = label("Once"), .delivery = JobDelivery::both});
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 10s)) << logText();
    bench.management().push(jobId);
    const auto polls = bench.management().snapshot().pendingFetches;
    ASSERT_TRUE(bench.management().waitFor([polls](const Snapshot& s) { return s.pendingFetches >= polls + 2; }, 10s));
    bench.management().releaseStalled();
    expectPrintedOnce(jobId, printer, label("Once") + "\n");
    // The second push is read once the first has been handled; give it the time of a poll.
    const auto after = bench.management().snapshot().pendingFetches;
    ASSERT_TRUE(bench.management().waitFor([after](const Snapshot& s) { return s.pendingFetches >= after + 1; }, 10s));
    EXPECT_EQ(printer.snapshot().jobs().size(), 1u);
    EXPECT_EQ(bench.management().snapshot().requestCount(Operation::result), 1u);
    EXPECT_EQ(bench.management().snapshot().jobFetches.size(), 1u) << "a redelivered job was fetched again";
    // Whichever of the push and the poll came first, the others were heard and turned away: the
    // job counts as handled from the end of its write on, while its report is still held.
    const auto messages = logger->messages();
    const auto line = "[DEBUG] Job " + std::to_string(jobId) + " already handled, ignoring redelivery";
    const auto turnedAway = std::count(messages.begin(), messages.end(), line);
    EXPECT_GE(turnedAway, 2) << logText();
}

TEST_F(EndToEndTest, AnExpiredJobIsReportedAsExpiredAndNothingIsPrinted) {
    auto& printer = bench.addPrinter();
    startAgent();
    const auto jobId = bench.management().createJob({.printerKey = printer.key(),
                                                     .payload = label("Late"),
                                                     .expiresAt = std::chrono::system_clock::now() - 1min});
    const auto result = resultOf(jobId);
    EXPECT_EQ(result["state"], "failed");
    EXPECT_EQ(errorCode(result), "job_expired");
    EXPECT_FALSE(result.contains("started_at"));
    EXPECT_TRUE(printer.snapshot().connections.empty()) << "the printer was contacted for an expired job";

    // A job that expires after it was created is refused the same way.
    const auto later = bench.management().createJob(
        {.printerKey = printer.key(), .payload = label("Later"), .delivery = JobDelivery::pending});
    bench.management().expire(later);
    bench.management().push(later);
    EXPECT_EQ(errorCode(resultOf(later)), "job_expired");
    EXPECT_TRUE(printer.snapshot().connections.empty());
    EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
}

TEST_F(EndToEndTest, AJobToAPrinterThatRefusesConnectionsFailsAsUnreachable) {
    auto& printer = bench.addPrinter(RawTestPrinter::Mode::refuse);
    startAgent();
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = label("Nobody")});
    const auto result = resultOf(jobId);
    EXPECT_EQ(result["state"], "failed");
    EXPECT_EQ(errorCode(result), "printer_unreachable");
    EXPECT_EQ(result["error"]["message"], printer.key() + " is not responding");
    EXPECT_TRUE(printer.snapshot().connections.empty());
    EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
}

// A label counts as printed only once the printer has acknowledged all of it. The smaller label
// fits whole in the socket buffers, so the agent has handed over every byte before the printer
// resets the connection; the larger one is cut while it is still being handed over.
TEST_F(EndToEndTest, APrinterThatResetsAfterPartOfALabelFailsItWithTheBytesItTook) {
    struct Case {
        std::string name;
        std::string payload;
        std::size_t readBeforeReset;
    };
    std::string midSized;
    for (int i = 0; midSized.size() < 304'000; ++i)
        midSized += "^XA^FO20,20^FDLabel " + std::to_string(i) + "^FS^XZ\n";
    midSized.pop_back(); // the driver ends the data with a line feed of its own
    const std::vector<Case> cases{{"a label that fits in the buffers", midSized, 15'079},
                                  {"a label far larger than the buffers", bigLabels(), 4096}};
    auto& printer = bench.addPrinter();
    startAgent();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        printer.setMode(RawTestPrinter::Mode::drop, c.readBeforeReset);
        const auto before = printer.snapshot().jobs().size();
        const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = c.payload});
        const auto result = resultOf(jobId);
        EXPECT_EQ(result["state"], "failed") << result.dump();
        EXPECT_EQ(errorCode(result), "printer_error");
        const auto taken = bytesTaken(result);
        ASSERT_TRUE(taken) << result.dump();
        EXPECT_EQ(taken->second, c.payload.size() + 1);
        EXPECT_GE(taken->first, c.readBeforeReset);
        EXPECT_LT(taken->first, taken->second);
        const auto printed = printer.snapshot().jobs();
        ASSERT_EQ(printed.size(), before + 1);
        EXPECT_TRUE(printed.back().dropped);
        EXPECT_EQ(printed.back().bytes.size(), c.readBeforeReset);
        EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
        note(c.name, "printer read " + std::to_string(printed.back().bytes.size()) + " bytes; result " +
                         result["state"].get<std::string>() + " " + errorCode(result) + " \"" + errorMessage(result) +
                         "\"");
    }
}

// The raw transport gives up after its write time-out of 30 s, so this scenario takes that long.
TEST_F(EndToEndTest, APrinterThatStopsReadingMidJobFailsWithAWriteTimeout) {
    auto& printer = bench.addPrinter(RawTestPrinter::Mode::stall, 4096);
    startAgent();
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = bigLabels()});
    ASSERT_TRUE(printer.waitFor([](const RawTestPrinter::Snapshot& s) { return s.jobs().size() == 1; }, 10s));
    const auto result = resultOf(jobId, 45s);
    EXPECT_EQ(result["state"], "failed") << result.dump();
    EXPECT_EQ(errorCode(result), "write_timeout");
    EXPECT_EQ(printer.snapshot().jobs().front().bytes.size(), 4096u);
    EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
}

TEST_F(EndToEndTest, ACupsJobIsWatchedToCompletionAndACancelledOneFails) {
    auto& device = bench.addPrinter();
    ASSERT_NO_FATAL_FAILURE(addRawQueue("BenchLabels", device));
    startAgent();
    const auto done = bench.management().createJob(
        {.printerKey = "cups:BenchLabels", .language = "pdf", .payload = minimalPdf});
    const auto result = resultOf(done, 30s);
    EXPECT_EQ(result["state"], "printed") << result.dump() << "\n" << scheduler->log();
    EXPECT_EQ(resultBytes(result), static_cast<std::int64_t>(minimalPdf.size()));
    ASSERT_TRUE(device.waitFor(
        [](const RawTestPrinter::Snapshot& s) {
            const auto jobs = s.jobs();
            return !jobs.empty() && !jobs.back().open;
        },
        10s));
    const auto jobs = device.snapshot().jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].bytes, minimalPdf);

    // The device takes the job's first byte and never finishes the connection, so the job stays
    // processing until it is cancelled on the scheduler. (A reachability check sends no byte.)
    device.setMode(RawTestPrinter::Mode::stall, 1);
    const auto cancelled = bench.management().createJob(
        {.printerKey = "cups:BenchLabels", .language = "pdf", .payload = minimalPdf});
    ASSERT_TRUE(aConnectionStallsWithData(device)) << scheduler->log();
    EXPECT_EQ(bench.management().snapshot().resultCount(cancelled), 0u) << "reported before the job ended";
    ASSERT_EQ(scheduler->run({"cancel", "-a", "BenchLabels"}), 0) << scheduler->log();
    const auto failed = resultOf(cancelled, 30s);
    EXPECT_EQ(failed["state"], "failed") << failed.dump();
    EXPECT_EQ(errorCode(failed), "printer_error");
    EXPECT_EQ(bench.management().snapshot().resultCount(done), 1u);
    device.resume();
    scheduler->run({"lpadmin", "-x", "BenchLabels"});
}

TEST_F(EndToEndTest, AResultReportThatFailsTwiceIsRecordedOnceWhenItGetsThrough) {
    auto& printer = bench.addPrinter();
    startAgent();
    bench.management().failNext(Operation::result, 500, 2);
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = label("Retry")});
    expectPrintedOnce(jobId, printer, label("Retry") + "\n");
    EXPECT_EQ(bench.management().snapshot().requestCount(Operation::result), 3u);
}

TEST_F(EndToEndTest, AResultThatCannotBeReportedIsNeitherReportedFailedNorPrintedAgain) {
    auto& printer = bench.addPrinter();
    auto timings = quietTimings();
    // The loop's first wait starts before the channel is up.
    timings.pollWhenConnected = timings.pollWhenDisconnected = 300ms;
    startAgent(timings);
    bench.management().failNext(Operation::result, 500, 100);
    const auto jobId = bench.management().createJob(
        {.printerKey = printer.key(), .payload = label("Unreported"), .delivery = JobDelivery::both});
    ASSERT_TRUE(bench.management().waitFor(
        [](const Snapshot& s) { return s.requestCount(Operation::result) >= 4; }, 20s))
        << logText();
    // The job is still listed (the server never took a result); the next drains must skip it.
    const auto polls = bench.management().snapshot().pendingFetches;
    ASSERT_TRUE(bench.management().waitFor([polls](const Snapshot& s) { return s.pendingFetches >= polls + 3; }, 10s));
    const auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.requestCount(Operation::result), 4u) << "the printed job was reported again";
    for (const auto& request : snapshot.requests) {
        if (request.operation == Operation::result) {
            EXPECT_NE(request.body.find("\"printed\""), std::string::npos) << request.body;
        }
    }
    EXPECT_EQ(printer.snapshot().jobs().size(), 1u);
    EXPECT_EQ(bench.management().pendingJobIds(), std::vector<std::int64_t>{jobId});
    EXPECT_TRUE(logger->contains("Job " + std::to_string(jobId) + " already handled, ignoring redelivery"));
    EXPECT_TRUE(logger->contains("printed but the result could not be reported after 4 attempts")) << logText();
}

TEST_F(EndToEndTest, A401OnTheHeartbeatStopsTheAgentWithItsAccessRevoked) {
    auto timings = quietTimings();
    timings.heartbeat = 1s;
    bench.management().failNext(Operation::heartbeat, 401);
    startAgent(timings, true);
    ASSERT_TRUE(waitForStatus(Status::accessRevoked(), 10s)) << logText();
    ASSERT_TRUE(bench.management().waitFor(
        [](const Snapshot& s) {
            const auto kinds = s.eventKinds();
            return std::find(kinds.begin(), kinds.end(), "authentication_failed") != kinds.end();
        },
        10s))
        << logText();
    EXPECT_EQ(taskCount(), 0u);
    EXPECT_FALSE(onLoop([this] { return agent->hasReverbClient(); }));
    EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 5s));
    const auto kinds = bench.management().snapshot().eventKinds();
    const auto revoked = std::find(kinds.begin(), kinds.end(), "authentication_failed");
    const auto lost = std::find(kinds.begin(), kinds.end(), "connection_lost");
    EXPECT_NE(lost, kinds.end());
    EXPECT_LT(revoked, lost) << "the access loss is reported before the lost connection";
    // Stopped means stopped: no heartbeat follows the one that was refused.
    const auto heartbeats = bench.management().snapshot().requestCount(Operation::heartbeat);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(bench.management().snapshot().requestCount(Operation::heartbeat), heartbeats);
}

TEST_F(EndToEndTest, A426OnTheHeartbeatStopsTheAgentUntilItIsUpdated) {
    auto timings = quietTimings();
    timings.heartbeat = 1s;
    bench.management().failNext(Operation::heartbeat, 426, 1, R"({"minimum_version":"2.0.0"})");
    startAgent(timings);
    ASSERT_TRUE(waitForStatus(Status::updateRequired("2.0.0"), 10s)) << logText();
    EXPECT_EQ(taskCount(), 0u);
    EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 5s));
}

TEST_F(EndToEndTest, AfterAServerRestartTheChannelReconnectsAndMissedJobsAreDrained) {
    auto& printer = bench.addPrinter();
    startAgent();
    std::jthread restart([this] { bench.restart(1500ms); });
    // Announced while nothing listens: the push is lost, the listing is not.
    ASSERT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 5s));
    const auto missed = bench.management().createJob(
        {.printerKey = printer.key(), .payload = label("Missed"), .delivery = JobDelivery::both});
    restart.join();
    expectPrintedOnce(missed, printer, label("Missed") + "\n");
    const auto subscriptions = bench.pusher().snapshot().subscriptions;
    ASSERT_GE(subscriptions.size(), 2u);
    EXPECT_TRUE(subscriptions.back().accepted);
    EXPECT_EQ(bench.management().snapshot().restarts, 1u);

    // And the channel works again for pushed jobs.
    const auto pushed = bench.management().createJob({.printerKey = printer.key(), .payload = label("After")});
    expectPrintedOnce(pushed, printer, label("After") + "\n");
}

TEST_F(EndToEndTest, AStopDuringStartLeavesNothingRunning) {
    makeAgent({100ms, 100ms, 100ms, 300s, 45s});
    bench.management().stallNext(Operation::assignedPrinters);
    auto started = asio::co_spawn(loop.executor(), agent->start(), asio::use_future);
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 10s)) << logText();
    loop.blockOn(agent->stop());
    bench.management().releaseStalled();
    ASSERT_EQ(started.wait_for(10s), std::future_status::ready);
    started.get();

    EXPECT_EQ(taskCount(), 0u);
    EXPECT_FALSE(onLoop([this] { return agent->hasReverbClient(); }));
    // Ten intervals of every loop: none of them may send anything.
    std::this_thread::sleep_for(1s);
    const auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.requestCount(Operation::heartbeat), 0u);
    EXPECT_EQ(snapshot.requestCount(Operation::pendingJobs), 0u);
    EXPECT_EQ(snapshot.requestCount(Operation::channelAuth), 0u);
    EXPECT_EQ(bench.pusher().snapshot().connectionsAccepted, 0u) << "a channel was opened after stop()";
    EXPECT_EQ(taskCount(), 0u);
}

// The printer goes on reading within the grace: the stop waits for the label and its report.
TEST_F(EndToEndTest, AStopDuringAWriteLetsTheLabelFinishWithinTheGrace) {
    auto& printer = bench.addPrinter(RawTestPrinter::Mode::stall, 4096);
    startAgent();
    const auto payload = bigLabels();
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = payload});
    ASSERT_TRUE(printer.waitForTheFirstJobToStall(10s));
    auto stopped = stopAsync();
    ASSERT_TRUE(logged("[INFO] Varnel agent stopping"));
    printer.resume();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    stopped.get();
    EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u) << "stop() returned before the report";
    EXPECT_EQ(taskCount(), 0u);
    expectPrintedOnce(jobId, printer, payload + "\n");
    note("stop during a write that ends within the grace",
         "printer got " + std::to_string(printer.snapshot().bytesReceived()) + " of " +
             std::to_string(payload.size() + 1) + " bytes; results " +
             std::to_string(bench.management().snapshot().resultCount(jobId)) + ", " +
             resultOf(jobId)["state"].get<std::string>());
}

// A printer that stops reading holds a stop only for the grace: then the write is ended, and the
// job is reported failed with what the printer took, so that the server does not offer it again.
TEST_F(EndToEndTest, AStopDuringAWriteThatDoesNotEndCutsItAfterTheGraceAndReportsIt) {
    writeGrace = 500ms;
    auto& printer = bench.addPrinter(RawTestPrinter::Mode::stall, 4096);
    startAgent();
    const auto payload = bigLabels();
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = payload});
    ASSERT_TRUE(printer.waitForTheFirstJobToStall(10s));
    const auto stopTook = stopAfterTheGrace();
    ASSERT_TRUE(stopTook);

    const auto result = soleFailure(jobId, "printer_error");
    const auto taken = bytesTaken(result);
    ASSERT_TRUE(taken) << result.dump();
    EXPECT_EQ(taken->second, payload.size() + 1);
    EXPECT_GE(taken->first, 4096u);
    EXPECT_TRUE(bench.management().pendingJobIds().empty()) << "the job is still offered for a second print";

    // The connection was ended: whatever the printer reads now is what it had, sent once.
    printer.resume();
    ASSERT_TRUE(printer.waitFor([](const RawTestPrinter::Snapshot& s) { return !s.jobs().front().open; }, 10s));
    const auto jobs = printer.snapshot().jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_LE(jobs[0].bytes.size(), taken->first);
    EXPECT_EQ(payload.compare(0, jobs[0].bytes.size(), jobs[0].bytes), 0);
    note("stop during a write the printer does not take",
         "stop took " + std::to_string(stopTook->count()) +
             " ms; printer got " + std::to_string(jobs[0].bytes.size()) + " bytes in 1 connection; result " +
             errorCode(result) + " \"" + errorMessage(result) + "\"");
}

// The state the scheduler lists for the newest job of a queue; none when it lists none.
std::optional<std::int32_t> newestJobState(const std::string& queue) {
    const auto listed = systemCupsApi()->jobs(queue, CupsApi::WhichJobs::all).jobs;
    const auto newest = std::max_element(listed.begin(), listed.end(),
                                         [](const CupsJob& a, const CupsJob& b) { return a.id < b.id; });
    if (newest == listed.end()) return std::nullopt;
    return newest->state;
}

// A stop during the watch of a CUPS job settles it with one last look, even while the scheduler has
// stopped answering and a call to it is under way: a job still waiting to print is cancelled and
// reported failed, one being printed is left to CUPS and reported printed, and one the scheduler
// says nothing of is reported failed with a reason that says it may still print.
TEST_F(EndToEndTest, AStopDuringTheWatchOfACupsJobSettlesItWithOneLastLook) {
    struct Case {
        std::string name;
        RawTestPrinter::Mode device;
        bool queueHolds; // the queue holds every new job until it is released
        bool schedulerSilent;
        std::string code; // empty: printed
        std::string message;
        std::optional<std::int32_t> stateAfter; // the CUPS job's, once the device takes it
    };
    const std::vector<Case> cases = {
        {"waiting to print", RawTestPrinter::Mode::accept, true, false, "printer_error",
         "cups:BenchWatch The job was cancelled before it printed, because the agent stopped", 7},
        {"printing", RawTestPrinter::Mode::stall, false, false, "", "", 9},
        {"printing, the scheduler silent", RawTestPrinter::Mode::stall, false, true, "write_timeout",
         "cups:BenchWatch The print scheduler did not answer when the agent stopped; the job may still print",
         std::nullopt},
    };
    auto& device = bench.addPrinter();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(statusLock);
            statuses.clear();
        }
        device.setMode(c.device, 1);
        ASSERT_NO_FATAL_FAILURE(addRawQueue("BenchWatch", device));
        if (c.queueHolds) {
            ASSERT_EQ(scheduler->run({"lpadmin", "-p", "BenchWatch", "-o", "job-hold-until-default=indefinite"}), 0)
                << scheduler->log();
        }
        startAgent();
        const auto jobId =
            bench.management().createJob({.printerKey = "cups:BenchWatch", .language = "pdf", .payload = minimalPdf});
        if (c.queueHolds) {
            ASSERT_TRUE(testing::eventually([] { return newestJobState("BenchWatch") == 4; }, 20s))
                << logText() << scheduler->log();
        } else {
            ASSERT_TRUE(aConnectionStallsWithData(device)) << scheduler->log();
        }
        if (c.schedulerSilent) scheduler->pause();
        const std::shared_ptr<void> resumeAtTheEnd(nullptr, [](void*) { scheduler->resume(); });
        const auto stopTook = timedStop();
        ASSERT_TRUE(stopTook);
        EXPECT_LT(*stopTook, writeGrace + reportLimit);
        scheduler->resume();

        const auto snapshot = bench.management().snapshot();
        ASSERT_EQ(snapshot.resultCount(jobId), 1u) << logText();
        const auto result = snapshot.results.at(jobId).front();
        if (c.code.empty()) {
            EXPECT_EQ(result["state"], "printed") << result.dump();
        } else {
            EXPECT_EQ(errorCode(result), c.code) << result.dump();
            EXPECT_EQ(errorMessage(result), c.message);
        }
        EXPECT_TRUE(bench.management().pendingJobIds().empty());
        device.resume();
        if (c.stateAfter) {
            EXPECT_TRUE(testing::eventually([&] { return newestJobState("BenchWatch") == c.stateAfter; }, 20s))
                << "the CUPS job ended in state " << newestJobState("BenchWatch").value_or(0);
        }
        note("stop during a CUPS watch, " + c.name,
             "stop took " + std::to_string(stopTook->count()) + " ms; result " + result.dump());
        scheduler->run({"cancel", "-a", "BenchWatch"});
        scheduler->run({"lpadmin", "-x", "BenchWatch"});
        agent.reset();
    }
}

// Once the document's last byte has reached the scheduler, the job is its own: an answer that comes
// after the call's limit fails nothing and cancels nothing, for a label as for a document.
TEST_F(EndToEndTest, ALateAnswerToTheDocumentsEndLeavesThePrintedJobPrinted) {
    struct Case {
        std::string language;
        std::string payload;
        std::string printed; // what the device gets
    };
    const std::vector<Case> cases = {{"zpl", label("Late"), label("Late") + "\n"}, {"pdf", minimalPdf, minimalPdf}};
    auto& device = bench.addPrinter();
    ASSERT_NO_FATAL_FAILURE(addRawQueue("BenchLate", device));
    ThroughAProxy through;
    auto& proxy = through.proxy;
    proxy.holdAnswers();
    startAgent();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        const auto before = device.snapshot().jobs().size();
        const auto jobId = bench.management().createJob(
            {.printerKey = "cups:BenchLate", .language = c.language, .payload = c.payload});
        ASSERT_TRUE(proxy.waitForHeldAnswer(10s)) << logText();
        const auto result = resultOf(jobId, CupsApi::callLimit + 20s);
        EXPECT_EQ(result["state"], "printed") << result.dump();
        EXPECT_EQ(resultBytes(result), static_cast<std::int64_t>(c.payload.size() + (c.language == "zpl" ? 1 : 0)));
        ASSERT_TRUE(
            device.waitFor([&](const RawTestPrinter::Snapshot& s) { return s.jobs().size() == before + 1; }, 10s));
        EXPECT_EQ(device.snapshot().jobs().back().bytes, c.printed);
        note("the answer to the document's end held, " + c.language, "result " + result.dump());
    }
    proxy.releaseAnswers();
    const auto listed = systemCupsApi()->jobs(std::string("BenchLate"), CupsApi::WhichJobs::all).jobs;
    ASSERT_EQ(listed.size(), 2u);
    for (const auto& job : listed) EXPECT_EQ(job.state, 9) << "CUPS job " << job.id << " was not left to print";
    scheduler->run({"lpadmin", "-x", "BenchLate"});
}

// A stop while the scheduler holds its answer to the document's end, with the tray's short grace:
// the scheduler has the label, so it is reported printed, once, and CUPS prints it once.
TEST_F(EndToEndTest, AStopWhileTheSchedulerHoldsItsAnswerReportsTheLabelPrinted) {
    writeGrace = 500ms;
    reportLimit = 1150ms;
    auto& device = bench.addPrinter();
    ASSERT_NO_FATAL_FAILURE(addRawQueue("BenchHeld", device));
    ThroughAProxy through;
    auto& proxy = through.proxy;
    proxy.holdAnswers();
    startAgent();
    const auto jobId = bench.management().createJob({.printerKey = "cups:BenchHeld", .payload = label("Held")});
    ASSERT_TRUE(proxy.waitForHeldAnswer(10s)) << logText();
    const auto stopTook = timedStop();
    ASSERT_TRUE(stopTook);
    EXPECT_LT(*stopTook, writeGrace + reportLimit);
    proxy.releaseAnswers();

    const auto snapshot = bench.management().snapshot();
    ASSERT_EQ(snapshot.resultCount(jobId), 1u) << logText();
    const auto result = snapshot.results.at(jobId).front();
    EXPECT_EQ(result["state"], "printed") << result.dump();
    EXPECT_TRUE(bench.management().pendingJobIds().empty());
    ASSERT_TRUE(device.waitFor([](const RawTestPrinter::Snapshot& s) { return !s.jobs().empty() && !s.jobs()[0].open; },
                               10s));
    EXPECT_EQ(device.snapshot().jobs().size(), 1u);
    EXPECT_EQ(device.snapshot().jobs()[0].bytes, label("Held") + "\n");
    EXPECT_TRUE(testing::eventually([] { return newestJobState("BenchHeld") == 9; }, 10s));
    note("stop while the scheduler holds its answer", "stop took " + std::to_string(stopTook->count()) +
                                                          " ms; result " + result.dump());
    scheduler->run({"lpadmin", "-x", "BenchHeld"});
}

// A submission that the scheduler never answers holds a stop only for the write grace: then it is
// given up, and the job reported failed once, so that it is neither lost nor sent again.
TEST_F(EndToEndTest, AStopDuringASubmissionTheSchedulerDoesNotAnswerGivesItUpAfterTheGrace) {
    writeGrace = 500ms;
    // Tight, so that the bound is the grace and the report, not a wait inside the print library.
    reportLimit = 300ms;
    auto& device = bench.addPrinter();
    ASSERT_NO_FATAL_FAILURE(addRawQueue("BenchSubmit", device));
    ThroughAProxy through;
    auto& proxy = through.proxy;
    proxy.holdSubmissions();
    startAgent();
    const auto jobId =
        bench.management().createJob({.printerKey = "cups:BenchSubmit", .language = "pdf", .payload = minimalPdf});
    ASSERT_TRUE(proxy.waitForHeldSubmission(10s)) << logText();
    const auto stopTook = stopAfterTheGrace();
    ASSERT_TRUE(stopTook);

    // The job's creation is waited for past the grace, so that a job the scheduler makes is known
    // and cancelled; here no answer comes in time.
    const auto result = soleFailure(jobId, "printer_error");
    EXPECT_EQ(errorMessage(result), "Sending was stopped when the agent stopped; the print scheduler took 0 of " +
                                        std::to_string(minimalPdf.size()) +
                                        " bytes; the job could not be cancelled in time and may still print");
    EXPECT_TRUE(bench.management().pendingJobIds().empty());
    EXPECT_TRUE(device.snapshot().jobs().empty());
    note("stop during a submission the scheduler does not answer",
         "stop took " + std::to_string(stopTook->count()) +
             " ms; results 1, failed " + errorCode(result) + " \"" + errorMessage(result) + "\"");
    scheduler->run({"lpadmin", "-x", "BenchSubmit"});
}

// The drain that follows the channel's connection runs in the channel client: the stop ends it,
// and nothing is fetched once stop() has returned.
TEST_F(EndToEndTest, AStopDuringTheChannelsDrainFetchesNothingMore) {
    auto& printer = bench.addPrinter();
    std::vector<std::int64_t> jobs;
    for (const auto* text : {"one", "two", "three"}) {
        jobs.push_back(bench.management().createJob(
            {.printerKey = printer.key(), .payload = label(text), .delivery = JobDelivery::pending}));
    }
    bench.management().stallNext(Operation::job);
    makeAgent(quietTimings());
    loop.blockOn(agent->start());
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 15s)) << logText();
    auto stopped = stopAsync();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    stopped.get();
    const auto fetchesAtStop = bench.management().snapshot().requestCount(Operation::job);
    bench.management().releaseStalled();
    // Time for a drain that went on to fetch the next job.
    std::this_thread::sleep_for(500ms);
    const auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.requestCount(Operation::job), fetchesAtStop) << logText();
    EXPECT_EQ(snapshot.requestCount(Operation::result), 0u);
    EXPECT_TRUE(printer.snapshot().jobs().empty());
    EXPECT_EQ(bench.management().pendingJobIds(), jobs) << "a job was settled without being printed";
}

// While the poll loop waits for a report that the server holds, the drain that follows the
// channel's reconnection is writing the first of three jobs. The stop cancels both at once: the
// drain's job finishes within the grace and is reported, and nothing more is fetched while the
// stop waits out the held report's limit.
TEST_F(EndToEndTest, AStopWhileALoopWaitsForAReportEndsTheChannelsDrainToo) {
    writeGrace = 1s;
    reportLimit = 2s;
    auto& polled = bench.addPrinter();
    auto& drained = bench.addPrinter(RawTestPrinter::Mode::stall, 4096);
    auto timings = quietTimings();
    timings.pollWhenConnected = timings.pollWhenDisconnected = 300ms;
    startAgent(timings);
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.pendingFetches >= 1; }, 10s));
    bench.management().stallNext(Operation::result);
    const auto held = bench.management().createJob(
        {.printerKey = polled.key(), .payload = label("Polled"), .delivery = JobDelivery::pending});
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 10s)) << logText();

    // Listed only, while the poll loop is held: the drain after the reconnection takes them.
    const auto payload = bigLabels();
    const auto first = bench.management().createJob(
        {.printerKey = drained.key(), .payload = payload, .delivery = JobDelivery::pending});
    std::vector<std::int64_t> rest;
    for (const auto* text : {"two", "three"}) {
        rest.push_back(bench.management().createJob(
            {.printerKey = drained.key(), .payload = label(text), .delivery = JobDelivery::pending}));
    }
    bench.pusher().dropAll();
    ASSERT_TRUE(drained.waitForTheFirstJobToStall(10s)) << logText();

    const auto fetchesAtStop = bench.management().snapshot().jobFetches;
    const auto stopTook = timedStop([&] {
        EXPECT_TRUE(logged("[INFO] Varnel agent stopping"));
        drained.resume();
    });
    ASSERT_TRUE(stopTook);

    const auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.jobFetches, fetchesAtStop) << "a job was fetched after stop() was called\n" << logText();
    expectPrintedOnce(first, drained, payload + "\n");
    EXPECT_EQ(drained.snapshot().jobs().size(), 1u) << "the drain printed on after the stop";
    EXPECT_EQ(polled.snapshot().jobs().size(), 1u);
    // The held report was given up at its limit: that job stays offered, like the two not begun.
    EXPECT_EQ(bench.management().pendingJobIds(), (std::vector<std::int64_t>{held, rest[0], rest[1]}));
    EXPECT_LT(*stopTook, writeGrace + reportLimit);
    note("stop while a loop waits for a held report and the drain writes",
         "stop took " + std::to_string(stopTook->count()) +
             " ms; jobs fetched after stop() was called: " +
             std::to_string(snapshot.jobFetches.size() - fetchesAtStop.size()) +
             "; labels on the drain's printer: " + std::to_string(drained.snapshot().jobs().size()));
}

// A job announced while stop() waits for a report is not taken up: the channel stopped taking
// frames before the stop waited for anything.
TEST_F(EndToEndTest, AJobPushedWhileStopWaitsIsNotFetched) {
    auto& printer = bench.addPrinter();
    startAgent();
    bench.management().stallNext(Operation::result);
    const auto first = bench.management().createJob({.printerKey = printer.key(), .payload = label("First")});
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 10s)) << logText();
    auto stopped = stopAsync();
    ASSERT_TRUE(logged("[INFO] Varnel agent stopping"));
    const auto pushed = bench.management().createJob({.printerKey = printer.key(), .payload = label("Late")});
    // Time for the push to reach a channel that still listened.
    std::this_thread::sleep_for(300ms);
    bench.management().releaseStalled();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    stopped.get();
    expectPrintedOnce(first, printer, label("First") + "\n");
    const auto fetched = bench.management().snapshot().jobFetches;
    EXPECT_EQ(std::count(fetched.begin(), fetched.end(), pushed), 0) << logText();
    EXPECT_EQ(printer.snapshot().jobs().size(), 1u);
}

// The owner's stop and one the agent makes itself (a revoked credential) can meet: each returns
// only once the work that either took has ended.
TEST_F(EndToEndTest, TwoStopsAtOnceBothReturnOnlyAfterTheWorkHasEnded) {
    auto& printer = bench.addPrinter();
    startAgent();
    bench.management().stallNext(Operation::result);
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = label("Both")});
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 10s)) << logText();
    auto first = stopAsync();
    auto second = stopAsync();
    EXPECT_EQ(second.wait_for(300ms), std::future_status::timeout) << "the second stop did not wait";
    EXPECT_EQ(first.wait_for(0ms), std::future_status::timeout);
    bench.management().releaseStalled();
    ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
    expectPrintedOnce(jobId, printer, label("Both") + "\n");
}

// How long a stop takes while a printed job's report is under way, the server answering, holding
// the request, or gone: never more than the report's limit after the stop.
TEST_F(EndToEndTest, AStopEndsWithinItsBoundWhateverTheServerDoes) {
    reportLimit = 1500ms;
    struct Case {
        std::string name;
        std::function<void(TestBench&)> server; // what the server does once the stop was called
        bool reported;
    };
    std::jthread downtime;
    const std::vector<Case> cases{
        {"answering", [](TestBench& b) { b.management().releaseStalled(); }, true},
        {"holding the report", [](TestBench&) {}, false},
        {"down", [&downtime](TestBench& b) { downtime = std::jthread([&b] { b.restart(3s); }); }, false},
    };
    auto& printer = bench.addPrinter();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(statusLock);
            statuses.clear();
        }
        startAgent();
        bench.management().stallNext(Operation::result);
        const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = label(c.name)});
        ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 10s)) << logText();
        const auto took = timedStop([&] { c.server(bench); });
        ASSERT_TRUE(took);
        std::cout << "[ stop time ] server " << c.name << ": " << took->count() << " ms\n";
        EXPECT_LT(*took, reportLimit + 1s);
        if (c.reported) {
            EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
        }
        if (downtime.joinable())
            downtime.join();
        bench.management().releaseStalled();
        bench.management().clearFaults();
        ASSERT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 5s));
        loop.blockOn(agent->stop());
        agent.reset();
        EXPECT_EQ(printer.snapshot().jobs().size(), static_cast<std::size_t>(&c - cases.data()) + 1)
            << "a label was printed twice";
    }
}

TEST_F(EndToEndTest, AStopWhileADrainedJobIsBeingReportedLetsTheReportThrough) {
    auto& printer = bench.addPrinter();
    auto timings = quietTimings();
    timings.pollWhenConnected = timings.pollWhenDisconnected = 300ms;
    startAgent(timings);
    // The drain that follows the channel's connection runs in the channel's handler; the job
    // comes after it, so that the poll loop, which stop() cancels, runs it. Its report is held.
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.pendingFetches >= 1; }, 10s));
    bench.management().stallNext(Operation::result);
    const auto jobId = bench.management().createJob(
        {.printerKey = printer.key(), .payload = label("Drained"), .delivery = JobDelivery::pending});
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled == 1; }, 10s)) << logText();
    auto stopped = stopAsync();
    // The stop cancels the loops in the same step as it says so, before the answer can arrive.
    ASSERT_TRUE(logged("[INFO] Varnel agent stopping"));
    bench.management().releaseStalled();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    stopped.get();
    expectPrintedOnce(jobId, printer, label("Drained") + "\n");
    EXPECT_EQ(bench.management().snapshot().requestCount(Operation::result), 1u);
    EXPECT_EQ(taskCount(), 0u);
}


} // namespace
} // namespace varnel
