// Printing through a real CUPS scheduler that the test starts on its own.
#include "VarnelKit/Transport/GTestPrinters.hpp"
#include "CupsScheduler.hpp"
#include "SchedulerProxy.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/TestSupport.hpp"
#include "VarnelKit/Transport/CupsJobLook.hpp"
#include "VarnelKit/Transport/CupsJobWatcher.hpp"
#include "VarnelKit/Transport/CupsPrinterTransport.hpp"
#include "VarnelKit/Transport/CupsQueueProbe.hpp"
#include "VarnelKit/Transport/CupsQueueState.hpp"
#include "VarnelKit/Transport/LoopFixture.hpp"
#include "VarnelKit/Transport/LoopbackListener.hpp"
#include "VarnelKit/Transport/PrinterDiscovery.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <iostream>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace varnel {

namespace {

using namespace std::chrono_literals;
using integration::CupsScheduler;
using Format = CupsPrinterTransport::DocumentFormat;
using Outcome = CupsJobWatcher::Outcome;

// One scheduler for the whole run: starting one takes a moment.
CupsScheduler* scheduler = nullptr;

class SchedulerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { scheduler = new CupsScheduler(); }
    void TearDown() override {
        delete scheduler;
        scheduler = nullptr;
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new SchedulerEnvironment);

const std::string pdf = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                        "2 0 obj<</Type/Pages/Kids[]/Count 0>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n";

// A document of 8 MB: far more than the socket buffers hold, so its writes wait for the scheduler.
std::string largeDocument() {
    std::string document = "%PDF-1.4\n";
    while (document.size() < 8u * 1024 * 1024) document += "% a comment that makes the document large enough\n";
    return document + pdf.substr(document.find('\n') + 1);
}

// A loopback printer that takes one job. Its wait for the job ends with it, whatever the test's end.
struct OneJobPrinter {
    testing::LoopbackListener listener;
    std::future<std::string> received = listener.receiveOne();

    ~OneJobPrinter() { testing::LoopbackListener::connectOnce(listener.port()); }
    std::string uri() const { return "socket://127.0.0.1:" + std::to_string(listener.port()); }
};

class CupsIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(scheduler); }

    void addQueue(const std::string& name, const std::string& uri, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"lpadmin", "-p", name, "-E", "-v", uri, "-m", "raw"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        ASSERT_EQ(scheduler->run(arguments), 0) << scheduler->log();
    }
    void removeQueue(const std::string& name) { scheduler->run({"lpadmin", "-x", name}); }

    Outcome watch(const std::string& queue, const CupsJobRef& job, std::chrono::seconds limit = 60s) {
        return loop.run(CupsJobWatcher(queue, 200ms, limit).wait(job));
    }

    // A watch that runs on the loop while the test works on the scheduler, with the time it took.
    struct Watched {
        Outcome outcome;
        std::chrono::milliseconds took;
    };
    std::future<Watched> startWatch(const std::string& queue, const CupsJobRef& job, std::chrono::milliseconds limit) {
        return std::async(std::launch::async, [this, queue, job, limit] {
            const auto started = std::chrono::steady_clock::now();
            auto outcome = loop.run(CupsJobWatcher(queue, 100ms, limit).wait(job));
            const auto took = std::chrono::steady_clock::now() - started;
            return Watched{std::move(outcome), std::chrono::duration_cast<std::chrono::milliseconds>(took)};
        });
    }

    // A job that stays pending: its queue is stopped until the test starts it.
    CupsJobRef submitHeldJob(const std::string& queue) {
        addQueue(queue, "file:///dev/null");
        EXPECT_EQ(scheduler->run({"cupsdisable", "-r", "Held for the test", queue}), 0) << scheduler->log();
        return loop.run(CupsPrinterTransport(queue).submit(bytesOf(pdf), "doc", Format::pdf, 1)).job;
    }

    // The state the scheduler lists for a job, if it lists the job.
    static std::optional<std::int32_t> listedState(const std::string& queue, const CupsJobRef& job) {
        const auto listing = systemCupsApi()->jobs(queue, CupsApi::WhichJobs::all);
        const auto* listed = listing.withId(job.id);
        if (!listed || !job.isThis(*listed)) return std::nullopt;
        return listed->state;
    }

    // The scheduler saves what it has on a timer, and all of it when it stops: a queue made just
    // before a crash would go with it.
    static void saveTheSchedulersState() {
        scheduler->stop();
        scheduler->start();
    }

    testing::LoopFixture loop;
};

TEST_F(CupsIntegrationTest, DiscoversARawSocketQueueWithItsLanguage) {
    testing::LoopbackListener listener;
    const auto uri = "socket://127.0.0.1:" + std::to_string(listener.port());
    addQueue("Zebra_ZT230", uri, {"-D", "Front desk labels"});
    const auto printers = PrinterDiscovery().discoverCupsPrinters();
    const auto found = std::find_if(printers.begin(), printers.end(),
                                    [](const ReportedPrinter& p) { return p.key == "cups:Zebra_ZT230"; });
    ASSERT_NE(found, printers.end());
    EXPECT_EQ(found->name, "Front desk labels");
    EXPECT_EQ(found->language, PrinterLanguage::zpl);
    EXPECT_EQ(found->address, std::optional<std::string>(uri));
    EXPECT_EQ(found->status, "online");
    ASSERT_TRUE(found->probe);
    EXPECT_EQ(found->probe->deviceURIScheme, std::optional<std::string>("socket"));
    EXPECT_EQ(found->probe->queued, std::optional<std::int64_t>(0));
    EXPECT_TRUE(found->probe->accepting);

    const auto probes = CupsQueueProbe::readAll(std::chrono::system_clock::now());
    ASSERT_TRUE(probes.contains("Zebra_ZT230"));
    EXPECT_EQ(probes.at("Zebra_ZT230").queueName, "Zebra_ZT230");
    EXPECT_EQ(loop.run(ReachabilityProbe(2s).probe(*found)), (ReachabilityProbe::Result{"online", std::nullopt}));
    removeQueue("Zebra_ZT230");
}

TEST_F(CupsIntegrationTest, AZplJobReachesThePrinterAndCompletes) {
    testing::LoopbackListener listener;
    auto received = listener.receiveOne();
    addQueue("ZplQueue", "socket://127.0.0.1:" + std::to_string(listener.port()));
    CupsPrinterTransport transport("ZplQueue");
    const std::string label = "^XA^FO30,30^FDVarnel^FS^XZ\n";
    const auto submission = loop.run(transport.submit(bytesOf(label), "label", Format::raw, 1));
    EXPECT_EQ(submission.bytesWritten, static_cast<std::int64_t>(label.size()));
    EXPECT_GE(submission.job.id, 1);
    EXPECT_TRUE(submission.job.uuid.starts_with("urn:uuid:")) << submission.job.uuid;
    ASSERT_EQ(received.wait_for(30s), std::future_status::ready) << scheduler->log();
    EXPECT_EQ(received.get(), label);
    EXPECT_EQ(watch("ZplQueue", submission.job), Outcome::completed());
    removeQueue("ZplQueue");
}

TEST_F(CupsIntegrationTest, PdfCopiesAreRepeatedByTheScheduler) {
    testing::LoopbackListener listener;
    auto received = listener.receiveOne();
    addQueue("PdfCopies", "socket://127.0.0.1:" + std::to_string(listener.port()));
    CupsPrinterTransport transport("PdfCopies");
    const auto submission = loop.run(transport.submit(bytesOf(pdf), "doc", Format::pdf, 3));
    ASSERT_EQ(received.wait_for(30s), std::future_status::ready) << scheduler->log();
    EXPECT_EQ(received.get(), pdf + pdf + pdf);
    EXPECT_EQ(watch("PdfCopies", submission.job), Outcome::completed());
    removeQueue("PdfCopies");
}

TEST_F(CupsIntegrationTest, APdfJobToTheNullDeviceCompletes) {
    addQueue("LocalNull", "file:///dev/null");
    CupsPrinterTransport transport("LocalNull");
    EXPECT_EQ(loop.run(transport.write(bytesOf(pdf), "doc", Format::pdf, 1)), static_cast<std::int64_t>(pdf.size()));
    const auto submission = loop.run(transport.submit(bytesOf(pdf), "doc", Format::pdf, 1));
    EXPECT_EQ(watch("LocalNull", submission.job), Outcome::completed());
    EXPECT_TRUE(loop.run(transport.probe())); // a local device needs no network check
    removeQueue("LocalNull");
}

TEST_F(CupsIntegrationTest, StoppedAndRejectingQueuesAreErrorsWithTheirMessages) {
    addQueue("Paused", "file:///dev/null");
    addQueue("Closed", "file:///dev/null");
    ASSERT_EQ(scheduler->run({"cupsdisable", "-r", "Paused for service", "Paused"}), 0) << scheduler->log();
    ASSERT_EQ(scheduler->run({"cupsreject", "-r", "Not now", "Closed"}), 0) << scheduler->log();

    const auto paused = CupsQueueState::read("Paused");
    ASSERT_TRUE(paused);
    EXPECT_TRUE(paused->isStopped());
    EXPECT_EQ(paused->message, std::optional<std::string>("Paused for service"));
    EXPECT_EQ(loop.run(CupsPrinterTransport("Paused").probeDetail()),
              (ReachabilityProbe::Result{"error", "Paused for service"}));

    const auto closed = CupsQueueState::read("Closed");
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed->isAcceptingJobs);
    EXPECT_EQ(loop.run(CupsPrinterTransport("Closed").probeDetail()), (ReachabilityProbe::Result{"error", "Not now"}));
    const auto probe = CupsQueueProbe::read("Closed", std::nullopt, std::chrono::system_clock::now());
    ASSERT_TRUE(probe);
    EXPECT_FALSE(probe->accepting);
    EXPECT_FALSE(probe->stopped);

    // A rejecting queue refuses the job itself, with the scheduler's reason.
    const auto refusal =
        testing::thrownBy<JobError>(loop.loop(), CupsPrinterTransport("Closed").write(bytesOf("x"), "t"));
    if (refusal) {
        EXPECT_EQ(refusal->code, JobErrorCode::printerError);
        EXPECT_TRUE(refusal->description().starts_with("CUPS refused the job: ")) << refusal->description();
        EXPECT_NE(refusal->description().find("not accepting jobs"), std::string::npos)
            << refusal->description();
    }
    removeQueue("Paused");
    removeQueue("Closed");
}

TEST_F(CupsIntegrationTest, ABlockingFaultNamesThePrinter) {
    addQueue("Empty", "file:///dev/null");
    ASSERT_EQ(scheduler->run({"lpadmin", "-p", "Empty", "-o", "printer-state-reasons=media-empty-error"}), 0);
    const auto state = CupsQueueState::read("Empty");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->stateReasons, std::vector<std::string>{"media-empty-error"});
    auto printer = PrinterDiscovery().discoverCupsPrinters();
    const auto found =
        std::find_if(printer.begin(), printer.end(), [](const ReportedPrinter& p) { return p.key == "cups:Empty"; });
    ASSERT_NE(found, printer.end());
    found->name = "Front desk";
    EXPECT_EQ(loop.run(ReachabilityProbe(2s).probe(*found)),
              (ReachabilityProbe::Result{"error", "Front desk is out of paper"}));
    removeQueue("Empty");
}

TEST_F(CupsIntegrationTest, ACancelledJobIsAFailure) {
    addQueue("Held", "file:///dev/null");
    ASSERT_EQ(scheduler->run({"cupsdisable", "-r", "Held for the test", "Held"}), 0) << scheduler->log();
    const auto submission = loop.run(CupsPrinterTransport("Held").submit(bytesOf(pdf), "doc", Format::pdf, 1));
    // Still waiting in the stopped queue.
    EXPECT_EQ(watch("Held", submission.job, 1s), Outcome::stillQueued("Held for the test"));
    ASSERT_EQ(scheduler->run({"cancel", "Held-" + std::to_string(submission.job.id)}), 0) << scheduler->log();
    EXPECT_EQ(watch("Held", submission.job),
              Outcome::failed(CupsJobWatcher::JobState::cancelled, "Held for the test"));
    removeQueue("Held");
}

TEST_F(CupsIntegrationTest, AnAbortedJobIsAFailure) {
    const auto closed = testing::closedLoopbackPort();
    addQueue("Unplugged", "socket://127.0.0.1:" + std::to_string(closed) + "/?contimeout=2",
             {"-o", "printer-error-policy=abort-job"});
    const auto submission = loop.run(CupsPrinterTransport("Unplugged").submit(bytesOf("^XA^XZ"), "t", Format::raw, 1));
    const auto outcome = watch("Unplugged", submission.job);
    EXPECT_EQ(outcome.kind, Outcome::Kind::failed) << describe(outcome) << "\n" << scheduler->log();
    EXPECT_EQ(outcome.state, std::optional(CupsJobWatcher::JobState::aborted));
    removeQueue("Unplugged");
}

TEST_F(CupsIntegrationTest, AQueueThatDoesNotExist) {
    CupsPrinterTransport transport("NoSuchQueue");
    if (const auto failure = testing::thrownBy<JobError>(loop.loop(), transport.write(bytesOf("x"), "t"))) {
        EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
        EXPECT_EQ(failure->description(), "CUPS queue \"NoSuchQueue\" not found");
    }
    EXPECT_FALSE(CupsQueueState::read("NoSuchQueue"));
    EXPECT_EQ(loop.run(transport.probeDetail()),
              (ReachabilityProbe::Result{"offline", "Queue no longer exists on this Mac"}));
    EXPECT_EQ(watch("NoSuchQueue", CupsJobRef{99999, {}, {}}),
              Outcome::failed(CupsJobWatcher::JobState::cancelled, "The queue was removed before the job finished"));
}

TEST_F(CupsIntegrationTest, AWatchFollowsTheJobThroughASchedulerRestart) {
    const auto job = submitHeldJob("Restarted");
    auto watch = startWatch("Restarted", job, 20s);
    std::this_thread::sleep_for(300ms);
    scheduler->stop();
    std::this_thread::sleep_for(1s);
    // Nothing can be known of the job while the scheduler is away.
    const bool endedWhileAway = watch.wait_for(0s) == std::future_status::ready;
    scheduler->start();
    if (endedWhileAway) {
        const auto early = watch.get();
        ADD_FAILURE() << "the watch ended with " << describe(early.outcome) << " after " << early.took.count()
                      << " ms, while the scheduler was away";
        removeQueue("Restarted");
        return;
    }

    // The restarted scheduler still holds the job; once the queue runs again it prints.
    EXPECT_EQ(listedState("Restarted", job), std::optional(3)) << scheduler->log();
    ASSERT_EQ(scheduler->run({"cupsenable", "Restarted"}), 0) << scheduler->log();
    ASSERT_EQ(watch.wait_for(15s), std::future_status::ready) << scheduler->log();
    const auto watched = watch.get();
    EXPECT_EQ(watched.outcome, Outcome::completed()) << watched.took.count() << " ms";
    EXPECT_EQ(listedState("Restarted", job), std::optional(9)) << scheduler->log();
    removeQueue("Restarted");
}

TEST_F(CupsIntegrationTest, AWatchWithoutASchedulerEndsStillQueuedAtItsTimeLimit) {
    const auto job = submitHeldJob("Orphaned");
    auto watch = startWatch("Orphaned", job, 2s);
    std::this_thread::sleep_for(300ms);
    scheduler->stop();
    const auto watched = watch.get();
    scheduler->start();
    EXPECT_EQ(watched.outcome, Outcome::stillQueued("The print scheduler could not be reached"))
        << describe(watched.outcome) << " after " << watched.took.count() << " ms";
    EXPECT_GE(watched.took, 2s);
    EXPECT_LT(watched.took, 6s);
    // It never printed: the scheduler still has it waiting.
    EXPECT_EQ(listedState("Orphaned", job), std::optional(3)) << scheduler->log();
    removeQueue("Orphaned");
}

// A scheduler that accepts connections and never answers holds a call only for the call's own
// limit, and the call reads as unanswered, so that it cannot take the pool's threads for long.
TEST_F(CupsIntegrationTest, ACallToASchedulerThatDoesNotAnswerEndsAtItsLimitAsUnanswered) {
    scheduler->pause();
    const auto started = std::chrono::steady_clock::now();
    auto listing = std::async(std::launch::async, [] {
        auto listed = systemCupsApi()->jobs(std::string("Silent"), CupsApi::WhichJobs::all);
        return std::pair{listed.status, std::chrono::steady_clock::now()};
    });
    const std::shared_ptr<void> resumeAtTheEnd(nullptr, [](void*) { scheduler->resume(); });
    ASSERT_EQ(listing.wait_for(CupsApi::callLimit + 3s), std::future_status::ready);
    const auto [status, ended] = listing.get();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(ended - started);
    std::cout << "[ observed ] a job list from a silent scheduler ended after " << took.count() << " ms\n";
    EXPECT_EQ(status, CupsJobListing::Status::unreachable);
    EXPECT_GE(took, CupsApi::callLimit - 200ms);
    EXPECT_LT(took, CupsApi::callLimit + 1s);
}

// A scheduler that takes none of a document for longer than a call's limit, and then goes on (busy,
// or frozen for a moment), still gets the whole of it: the label it would print is not failed.
TEST_F(CupsIntegrationTest, ASchedulerThatStallsAtTheStartOfADocumentStillGetsAllOfIt) {
    integration::SchedulerProxy proxy(scheduler->socketPath());
    const testing::ScopedEnvironment viaProxy{"CUPS_SERVER", proxy.socketPath()};
    addQueue("Stalled", "file:///dev/null");
    proxy.stallDocuments();
    const auto document = largeDocument();
    auto submitted = std::async(std::launch::async, [this, &document] {
        return loop.run(CupsPrinterTransport("Stalled").submit(bytesOf(document), "doc", Format::pdf, 1));
    });
    ASSERT_TRUE(proxy.waitForStalledDocument(20s));
    EXPECT_EQ(submitted.wait_for(CupsApi::callLimit + 1s), std::future_status::timeout)
        << "the submission ended while the scheduler stalled\n" << scheduler->log();
    proxy.resumeDocuments();
    ASSERT_EQ(submitted.wait_for(60s), std::future_status::ready);
    std::optional<CupsPrinterTransport::Submission> submission;
    try {
        submission = submitted.get();
    } catch (const std::exception& failure) {
        FAIL() << failure.what() << "\n" << scheduler->log();
    }
    EXPECT_EQ(submission->bytesWritten, static_cast<std::int64_t>(document.size()));
    EXPECT_EQ(watch("Stalled", submission->job), Outcome::completed());
    removeQueue("Stalled");
}

// A stop while the scheduler takes none of the document cancels the job, so that none waits in the
// queue for a document that will never come.
TEST_F(CupsIntegrationTest, AStopBeforeTheDocumentsEndCancelsTheJob) {
    integration::SchedulerProxy proxy(scheduler->socketPath());
    const testing::ScopedEnvironment viaProxy{"CUPS_SERVER", proxy.socketPath()};
    addQueue("Cut", "file:///dev/null");
    proxy.stallDocuments();
    auto failure = std::make_shared<std::optional<JobError>>();
    auto task = Task::spawn(loop.loop().executor(), [document = largeDocument(), failure]() -> Awaitable<void> {
        try {
            (void)co_await CupsPrinterTransport("Cut").submit(bytesOf(document), "doc", Format::pdf, 1, 2s);
        } catch (const JobError& error) {
            *failure = error;
        }
    });
    ASSERT_TRUE(proxy.waitForStalledDocument(20s));
    task->cancel();
    loop.run(task->join());
    ASSERT_TRUE(*failure) << "the stopped submission was given";
    const auto message = (*failure)->description();
    EXPECT_TRUE(message.starts_with("Sending was stopped when the agent stopped; the print scheduler took "))
        << message;
    EXPECT_TRUE(message.ends_with(" bytes; the job was cancelled, so none of it prints")) << message;
    const auto listed = systemCupsApi()->jobs(std::string("Cut"), CupsApi::WhichJobs::all).jobs;
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].state, 7) << "the job stays in the queue";
    proxy.resumeDocuments();
    removeQueue("Cut");
}

// Once the document's end has left the agent, the job's state in the scheduler decides, not the
// answer or its absence: a job the scheduler holds whole is printed, once; one still waiting for its
// document is cancelled and failed, so that nothing of it prints and the label may be sent again.
TEST_F(CupsIntegrationTest, WithoutTheSchedulersOwnAnswerTheJobsStateDecides) {
    struct Case {
        std::string name;
        std::function<void(integration::SchedulerProxy&)> arrange;
        bool printed;
        bool heldByTheQueue = false; // the queue holds every job until someone releases it
    };
    const std::vector<Case> cases = {
        {"the scheduler restarts as the end arrives",
         [](integration::SchedulerProxy& proxy) {
             proxy.restartAtTheDocumentsEnd([] { scheduler->stop(); }, [] { scheduler->start(); });
         },
         false},
        {"the end is lost and the connection shut",
         [](integration::SchedulerProxy& proxy) { proxy.dropTheDocumentsEnd(); }, false},
        {"an HTTP error in place of the answer",
         [](integration::SchedulerProxy& proxy) { proxy.answerTheDocumentsEndWithAnHttpError(); }, true},
        {"an HTTP error in place of the answer, the queue holding its jobs",
         [](integration::SchedulerProxy& proxy) { proxy.answerTheDocumentsEndWithAnHttpError(); }, true, true},
    };
    const std::string label = "^XA^FO30,30^FDEnd^FS^XZ\n";
    // One for all: the library keeps the scheduler's address it first read, thread by thread.
    integration::SchedulerProxy proxy(scheduler->socketPath());
    const testing::ScopedEnvironment viaProxy{"CUPS_SERVER", proxy.socketPath()};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OneJobPrinter printer;
        auto& received = printer.received;
        std::vector<std::string> hold;
        if (c.heldByTheQueue) hold = {"-o", "job-hold-until-default=indefinite"};
        addQueue("Ended", printer.uri(), hold);
        c.arrange(proxy);
        std::optional<CupsPrinterTransport::Submission> submission;
        std::optional<JobError> failure;
        try {
            submission = loop.run(CupsPrinterTransport("Ended").submit(bytesOf(label), "label", Format::raw, 1));
        } catch (const JobError& error) {
            failure = error;
        }
        // A restarted scheduler may still be starting.
        CupsJobListing listing;
        ASSERT_TRUE(testing::eventually([&] {
            listing = systemCupsApi()->jobs(std::string("Ended"), CupsApi::WhichJobs::all);
            return listing.status == CupsJobListing::Status::listed;
        }, 20s)) << scheduler->log();
        ASSERT_EQ(listing.jobs.size(), 1u) << scheduler->log();
        const auto& job = listing.jobs[0];
        const auto outcome = submission ? std::string("printed") : "failed: " + failure->description();
        std::cout << "[ observed ] " << c.name << ": " << outcome << "; the CUPS job's state " << job.state << "\n";
        if (c.printed) {
            ASSERT_TRUE(submission) << outcome;
            if (c.heldByTheQueue) {
                EXPECT_EQ(job.state, 4) << "the job the queue holds was not left to it";
                ASSERT_EQ(scheduler->run({"lp", "-i", std::to_string(job.id), "-H", "resume"}), 0) << scheduler->log();
            }
            ASSERT_EQ(received.wait_for(30s), std::future_status::ready) << scheduler->log();
            EXPECT_EQ(received.get(), label);
            EXPECT_EQ(watch("Ended", submission->job), Outcome::completed());
        } else {
            EXPECT_TRUE(failure) << "reported printed, while the scheduler lists the job in state " << job.state;
            if (failure) {
                EXPECT_EQ(failure->code, JobErrorCode::printerError);
                EXPECT_TRUE(failure->description().ends_with("; the job was cancelled, so none of it prints"))
                    << failure->description();
            }
            EXPECT_EQ(job.state, 7) << "the job stays in the queue without its document";
            EXPECT_NE(received.wait_for(0s), std::future_status::ready) << "the printer got " << received.get();
        }
        removeQueue("Ended");
    }
}

// A crashed scheduler (SIGKILL, then started again, as a service manager does) has forgotten the
// jobs it took since it last saved its state, and gives their ids to the next jobs. A label whose
// document's end met the crash fails, and the job another program then makes under its id is
// neither read as ours nor cancelled.
TEST_F(CupsIntegrationTest, ALabelTheSchedulerLostInACrashFailsAndTheJobThatTakesItsIdIsLeftAlone) {
    struct Case {
        std::string name;
        Format format;
        std::vector<std::string> other; // how another program prints right after the restart; empty: not at all
    };
    const std::vector<Case> cases = {
        {"a label", Format::raw, {}},
        {"a document", Format::pdf, {}},
        {"a label, its id then taken by another program's job", Format::raw, {"-o", "raw"}},
        {"a label, its id taken by another program's held job", Format::raw, {"-o", "raw", "-H", "indefinite"}},
    };
    const std::string label = "^XA^FO30,30^FDLost^FS^XZ\n";
    const std::string next = "^XA^FO30,30^FDNext^FS^XZ\n";
    const std::string theirs = "^XA^FO30,30^FDTheirs^FS^XZ\n";
    const auto theirsFile = std::filesystem::temp_directory_path() / ("varnel-theirs-" + std::to_string(::getpid()));
    std::ofstream(theirsFile) << theirs;
    ::chmod(theirsFile.c_str(), 0644);
    const std::shared_ptr<void> removeTheirs(nullptr, [&](void*) { std::filesystem::remove(theirsFile); });
    integration::SchedulerProxy proxy(scheduler->socketPath());
    const testing::ScopedEnvironment viaProxy{"CUPS_SERVER", proxy.socketPath()};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OneJobPrinter printer;
        auto& received = printer.received;
        addQueue("Crashed", printer.uri());
        // The id the lost job takes: the one after a job made and cancelled here. On a thread of its
        // own, which reads the scheduler's address afresh.
        const auto probe = std::async(std::launch::async, [] {
                               const auto made = systemCupsApi()->createJob("Crashed", "probe", {});
                               return made.id >= 1 && systemCupsApi()->cancelJob("Crashed", made) ? made.id : 0;
                           }).get();
        ASSERT_GE(probe, 1) << scheduler->log();
        saveTheSchedulersState();
        proxy.restartAtTheDocumentsEnd([] { scheduler->kill(); }, [&] {
            std::this_thread::sleep_for(1s); // as a service manager starts it again
            scheduler->start();
            if (c.other.empty()) return;
            std::vector<std::string> lp = {"lp", "-h", scheduler->socketPath(), "-d", "Crashed"};
            lp.insert(lp.end(), c.other.begin(), c.other.end());
            lp.push_back(theirsFile);
            EXPECT_EQ(scheduler->run(lp), 0) << scheduler->log();
        });
        const auto document = c.format == Format::pdf ? pdf : label;
        const auto failure = testing::thrownBy<JobError>(
            loop.loop(), CupsPrinterTransport("Crashed").submit(bytesOf(document), "job", c.format, 1));
        ASSERT_TRUE(failure) << "reported printed, though the scheduler lost it";
        std::cout << "[ observed ] " << c.name << ": failed: " << failure->description() << "\n";
        EXPECT_EQ(failure->code, JobErrorCode::printerError);
        EXPECT_TRUE(failure->description().ends_with(lostJobReason)) << failure->description();

        const auto listing = std::async(std::launch::async, [] {
                                 return systemCupsApi()->jobs(std::string("Crashed"), CupsApi::WhichJobs::all);
                             }).get();
        const auto* underItsId = listing.withId(probe + 1);
        if (c.other.empty()) {
            EXPECT_FALSE(underItsId) << "the scheduler kept the job, in state " << underItsId->state;
            // The printer's first job is the next one: nothing of the lost one came before it.
            (void)loop.run(CupsPrinterTransport("Crashed").submit(bytesOf(next), "next", Format::raw, 1));
            ASSERT_EQ(received.wait_for(30s), std::future_status::ready) << scheduler->log();
            EXPECT_EQ(received.get(), next);
        } else if (c.other.back() == "indefinite") {
            ASSERT_TRUE(underItsId) << "no other job took the lost job's id\n" << scheduler->log();
            EXPECT_EQ(underItsId->state, 4) << "another program's held job was cancelled";
        } else {
            ASSERT_TRUE(underItsId) << "no other job took the lost job's id\n" << scheduler->log();
            ASSERT_EQ(received.wait_for(30s), std::future_status::ready) << scheduler->log();
            EXPECT_EQ(received.get(), theirs) << "another program's job was cancelled";
        }
        removeQueue("Crashed");
    }
}

// A crash while a document is watched: the restarted scheduler no longer has the job, and the watch
// fails it rather than read its absence as the end of its printing.
TEST_F(CupsIntegrationTest, AWatchFailsAJobTheSchedulerLostInACrash) {
    addQueue("Forgotten", "file:///dev/null");
    ASSERT_EQ(scheduler->run({"cupsdisable", "-r", "Held for the test", "Forgotten"}), 0) << scheduler->log();
    saveTheSchedulersState();
    const auto job = loop.run(CupsPrinterTransport("Forgotten").submit(bytesOf(pdf), "doc", Format::pdf, 1)).job;
    auto watch = startWatch("Forgotten", job, 20s);
    scheduler->kill();
    std::this_thread::sleep_for(1s); // as a service manager starts it again
    scheduler->start();
    ASSERT_EQ(watch.wait_for(15s), std::future_status::ready) << scheduler->log();
    const auto watched = watch.get();
    EXPECT_EQ(watched.outcome, Outcome::failed(std::nullopt, std::string(lostJobReason)))
        << describe(watched.outcome) << " after " << watched.took.count() << " ms";
    EXPECT_EQ(listedState("Forgotten", job), std::nullopt);
    removeQueue("Forgotten");
}

// Where the scheduler keeps no history, a job it is done with leaves its list at once: missing from
// the list of the scheduler that made it, the job was printed, once.
TEST_F(CupsIntegrationTest, WithoutJobHistoryAJobItsSchedulerNoLongerListsIsDone) {
    scheduler->reconfigure({"PreserveJobHistory No"});
    const std::shared_ptr<void> restore(nullptr, [](void*) { scheduler->reconfigure({}); });
    addQueue("NoHistory", "file:///dev/null");
    const auto job = loop.run(CupsPrinterTransport("NoHistory").submit(bytesOf(pdf), "doc", Format::pdf, 1)).job;
    ASSERT_TRUE(testing::eventually([&] { return !listedState("NoHistory", job); }, 20s)) << scheduler->log();
    EXPECT_EQ(watch("NoHistory", job), Outcome::completed());

    integration::SchedulerProxy proxy(scheduler->socketPath());
    const testing::ScopedEnvironment viaProxy{"CUPS_SERVER", proxy.socketPath()};
    OneJobPrinter printer;
    addQueue("NoHistoryLabel", printer.uri());
    proxy.answerTheDocumentsEndWithAnHttpError();
    const std::string label = "^XA^FO30,30^FDOnce^FS^XZ\n";
    EXPECT_EQ(loop.run(CupsPrinterTransport("NoHistoryLabel").submit(bytesOf(label), "label", Format::raw, 1))
                  .bytesWritten,
              static_cast<std::int64_t>(label.size()));
    ASSERT_EQ(printer.received.wait_for(30s), std::future_status::ready) << scheduler->log();
    EXPECT_EQ(printer.received.get(), label);
    removeQueue("NoHistory");
    removeQueue("NoHistoryLabel");
}

TEST_F(CupsIntegrationTest, RemovingTheQueueDuringAWatchFailsTheJob) {
    const auto job = submitHeldJob("Removed");
    auto watch = startWatch("Removed", job, 20s);
    std::this_thread::sleep_for(300ms);
    EXPECT_NE(watch.wait_for(0s), std::future_status::ready);
    removeQueue("Removed");
    ASSERT_EQ(watch.wait_for(10s), std::future_status::ready);
    const auto watched = watch.get();
    EXPECT_EQ(watched.outcome,
              Outcome::failed(CupsJobWatcher::JobState::cancelled, "The queue was removed before the job finished"))
        << describe(watched.outcome) << " after " << watched.took.count() << " ms";
}

TEST_F(CupsIntegrationTest, TheSelfTestPassesWithTheSchedulerRunning) {
    addQueue("SelfTestQueue", "file:///dev/null");
    std::FILE* report = std::tmpfile();
    ASSERT_TRUE(report);
    const bool passed = SelfTest::run(report);
    std::rewind(report);
    std::string text;
    char buffer[4096];
    while (const auto n = std::fread(buffer, 1, sizeof buffer, report)) text.append(buffer, n);
    std::fclose(report);
    EXPECT_TRUE(passed) << text;
    removeQueue("SelfTestQueue");
}

} // namespace
} // namespace varnel
