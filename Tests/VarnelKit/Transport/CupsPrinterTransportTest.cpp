#include "VarnelKit/Transport/CupsPrinterTransport.hpp"

#include "FakeCupsApi.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <algorithm>
#include <deque>
#include <atomic>
#include <future>
#include <gtest/gtest.h>

namespace varnel {
namespace {

using testing::FakeCupsApi;
using Call = FakeCupsApi::Call;
using Format = CupsPrinterTransport::DocumentFormat;
using Options = std::vector<std::pair<std::string, std::string>>;
using namespace std::chrono_literals;

class CupsPrinterTransportTest : public ::testing::Test {
protected:
    CupsPrinterTransportTest() { api->addQueue("Zebra"); }

    std::optional<JobError> submitFailure() {
        return testing::thrownBy<JobError>(loop.loop(),
                                           transport.submit(bytesOf("data"), "title", Format::raw, 1));
    }

    testing::LoopFixture loop;
    std::shared_ptr<FakeCupsApi> api = std::make_shared<FakeCupsApi>();
    CupsPrinterTransport transport{"Zebra", api};
};

TEST_F(CupsPrinterTransportTest, WriteSubmitsOneRawJob) {
    EXPECT_EQ(loop.run(transport.write(bytesOf("^XA^XZ"), "Label")), 6);
    EXPECT_EQ(api->lastOptions(), (Options{{"raw", "true"}}));
    EXPECT_EQ(api->lastData(), "^XA^XZ");
    EXPECT_EQ(api->calls(), (std::vector<Call>{{"destinations", ""},
                                               {"create", "Zebra/Label"},
                                               {"start", "Zebra#17 application/vnd.cups-raw"},
                                               {"write", "6"},
                                               {"closing", ""},
                                               {"answer", "Zebra"}}));
}

TEST_F(CupsPrinterTransportTest, OptionsFollowFormatAndCopies) {
    EXPECT_EQ(CupsPrinterTransport::options(Format::raw, 3), (Options{{"raw", "true"}}));
    EXPECT_EQ(CupsPrinterTransport::options(Format::pdf, 1), Options{});
    EXPECT_EQ(CupsPrinterTransport::options(Format::pdf, 0), Options{});
    EXPECT_EQ(CupsPrinterTransport::options(Format::pdf, 3), (Options{{"copies", "3"}}));
    const auto submission = loop.run(transport.submit(bytesOf("%PDF-1.4"), "doc", Format::pdf, 2));
    EXPECT_EQ(submission.bytesWritten, 8);
    EXPECT_EQ(submission.job.id, 17);
    EXPECT_EQ(api->lastOptions(), (Options{{"copies", "2"}}));
    EXPECT_EQ(api->calls()[2], (Call{"start", "Zebra#17 application/pdf"}));
}

TEST_F(CupsPrinterTransportTest, AMissingQueueFailsBeforeAnyJob) {
    CupsPrinterTransport missing("zebra", api); // names are compared exactly
    const auto failure = testing::thrownBy<JobError>(loop.loop(), missing.write(bytesOf("x"), "t"));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
    EXPECT_EQ(failure->description(), "CUPS queue \"zebra\" not found");
    EXPECT_EQ(api->calls(), (std::vector<Call>{{"destinations", ""}}));
}

TEST_F(CupsPrinterTransportTest, ARefusedJobIsNotCancelled) {
    api->createResult = 0;
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::printerError);
    EXPECT_EQ(failure->description(), "CUPS refused the job: unknown error");
    EXPECT_EQ(api->calls().back().what, "create");
}

// A job the scheduler made but could not be known by before it went away may be another's by the
// time a document follows: none is sent.
TEST_F(CupsPrinterTransportTest, AJobMadeAsTheSchedulerWentAwayGetsNoDocument) {
    api->goneAtCreate = true;
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::printerError);
    EXPECT_EQ(failure->description(), "The print scheduler went away as it made the job; nothing of it was sent");
    EXPECT_EQ(api->calls(), (std::vector<Call>{{"destinations", ""}, {"create", "Zebra/title"}, {"cancel", "Zebra#17"}}));
}

TEST_F(CupsPrinterTransportTest, ARejectedDocumentCancelsTheJobAndKeepsItsOwnError) {
    api->startResult = 400;
    api->errorAfterStart = "Bad document";
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "CUPS rejected the document: Bad document");
    EXPECT_EQ(api->calls().back(), (Call{"cancel", "Zebra#17"}));
}

// Ending the document after a failed write would hand the scheduler a cut one to print.
TEST_F(CupsPrinterTransportTest, AFailedWriteIsCancelledWithoutEndingTheDocument) {
    api->writeResult = 500;
    api->errorAfterWrite = "Broken pipe";
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "CUPS write failed: Broken pipe");
    const auto calls = api->calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].what, "write");
    EXPECT_EQ(calls.back(), (Call{"cancel", "Zebra#17"}));
}

// After the closing chunk only the scheduler knows whether it has the document: its own answer
// decides, and without one the job's state in the scheduler does, if the job is still ours.
TEST_F(CupsPrinterTransportTest, AfterTheClosingChunkTheSchedulersWordDecides) {
    const std::string cancelled = "; the job was cancelled, so none of it prints";
    const std::string lost = "CUPS did not answer after the whole document was sent (Connection reset). The print "
                             "scheduler restarted and no longer has the job; it may still print if the scheduler "
                             "had begun sending it to the printer";
    const std::vector<std::string> incoming{"job-incoming"};
    struct Case {
        std::string name;
        std::optional<int> answer;
        std::deque<CupsJobListing::Status> answers; // how the scheduler answers each look
        std::optional<std::int32_t> state;          // of the job in the listing
        bool cancelConfirmed;
        std::string failure; // empty: the submission is given
        std::vector<std::string> reasons = {};
        bool restarted = false;           // the scheduler restarted before the look
        std::string uuid = "urn:uuid:ours"; // of the job listed under its id
    };
    using Status = CupsJobListing::Status;
    const std::vector<Case> cases = {
        {"a refusal", 0x0400, {}, std::nullopt, true, "CUPS write failed: Printer not accepting"},
        {"no answer, the job pending", std::nullopt, {}, 3, true, ""},
        {"no answer, the job printing", std::nullopt, {}, 5, true, ""},
        {"no answer, the job completed", std::nullopt, {}, 9, true, ""},
        {"no answer, the job no longer listed", std::nullopt, {}, std::nullopt, true, ""},
        {"no answer, the job waiting for its document", std::nullopt, {}, 4, true,
         "CUPS did not get the end of the document (Connection reset)" + cancelled, incoming},
        {"no answer, the job waiting, the cancel unconfirmed", std::nullopt, {}, 4, false,
         "CUPS did not get the end of the document (Connection reset); the job could not be cancelled in time and "
         "may still print",
         incoming},
        {"no answer, the job whole and held by its queue", std::nullopt, {}, 4, true, "",
         {"job-hold-until-specified"}},
        {"no answer, the job aborted", std::nullopt, {}, 8, true,
         "CUPS did not print the document (Connection reset): the job was aborted"},
        {"no answer, the scheduler back after a restart", std::nullopt,
         {Status::unreachable, Status::unreachable, Status::listed}, 4, true,
         "CUPS did not get the end of the document (Connection reset)" + cancelled, incoming, true},
        {"no answer, the scheduler restarted without the job", std::nullopt, {}, std::nullopt, true, lost, {}, true},
        {"no answer, the job's id on another job after a restart", std::nullopt, {}, 4, true, lost, incoming, true,
         "urn:uuid:theirs"},
        {"no answer, the job's id on another job, no restart seen", std::nullopt, {}, 9, true, lost, {}, false,
         "urn:uuid:theirs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        api = std::make_shared<FakeCupsApi>();
        api->addQueue("Zebra");
        api->createdUuid = "urn:uuid:ours";
        api->answerResult = c.answer;
        api->errorAfterAnswer = c.answer ? "Printer not accepting" : "Connection reset";
        api->jobAnswers = c.answers;
        if (c.state) api->jobListings.push_back({{17, "Zebra", *c.state, 0, c.uuid, c.reasons}});
        api->cancelConfirmed = c.cancelConfirmed;
        api->beforeStep = [&](const std::string& step) {
            if (step == "answer" && c.restarted) api->restartScheduler();
        };
        const CupsPrinterTransport ended("Zebra", api);
        std::optional<JobError> failure;
        try {
            const auto submission = loop.run(ended.submit(bytesOf("data"), "title", Format::raw, 1));
            EXPECT_EQ(submission.bytesWritten, 4);
            EXPECT_EQ(submission.job.id, 17);
            EXPECT_EQ(submission.job.uuid, "urn:uuid:ours");
        } catch (const JobError& error) {
            failure = error;
        }
        const auto calls = api->calls();
        const auto cancels = std::count(calls.begin(), calls.end(), Call{"cancel", "Zebra#17"});
        EXPECT_EQ(api->jobQueries().size(), c.answer ? 0u : std::max<std::size_t>(c.answers.size(), 1));
        if (c.failure.empty()) {
            EXPECT_FALSE(failure) << failure->description();
            EXPECT_EQ(cancels, 0) << "a job the scheduler had whole was cancelled";
            continue;
        }
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code, JobErrorCode::printerError);
        EXPECT_EQ(failure->description(), c.failure);
        const bool oursIncoming = c.state == 4 && c.uuid == "urn:uuid:ours" && c.reasons == incoming;
        EXPECT_EQ(cancels, oursIncoming || c.answer ? 1 : 0) << "only a job of ours still waiting is cancelled";
    }

    // The closing chunk did not go out: nothing of the job can print, and it is cancelled unseen.
    api = std::make_shared<FakeCupsApi>();
    api->addQueue("Zebra");
    api->closingResult = 500;
    ASSERT_TRUE(testing::thrownBy<JobError>(loop.loop(),
                                            CupsPrinterTransport("Zebra", api).write(bytesOf("data"), "title")));
    EXPECT_TRUE(api->jobQueries().empty());
    EXPECT_EQ(api->calls().back(), (Call{"cancel", "Zebra#17"}));
}

// A stop just before a step of the submission: the step is given up, and what that means depends
// on whether the document's end had gone out.
TEST_F(CupsPrinterTransportTest, AStopBeforeTheDocumentsEndCancelsTheJobAndOneAfterItKeepsIt) {
    const std::string tookAll = "Sending was stopped when the agent stopped; the print scheduler took 4 of 4 bytes";
    using Status = CupsJobListing::Status;
    struct Case {
        std::string name;
        std::string step; // the stop comes just before it
        bool cancelConfirmed;
        std::string failure; // empty: the submission is given
        std::optional<std::int32_t> state = std::nullopt; // of the job, when it is looked at
        Status answers = Status::listed;
        Format format = Format::raw;
    };
    const std::vector<Case> cases = {
        {"while the job is created", "create", true,
         "Sending was stopped when the agent stopped; the print scheduler took 0 of 4 bytes; the job was "
         "cancelled, so none of it prints"},
        {"before the closing chunk", "closing", true, tookAll + "; the job was cancelled, so none of it prints"},
        {"before the closing chunk, the cancel unconfirmed", "closing", false,
         tookAll + "; the job could not be cancelled in time and may still print"},
        {"while waiting for the answer, the job pending", "answer", true, "", 3},
        {"while waiting for the answer, the job waiting for its document", "answer", true,
         tookAll + "; the job was cancelled, so none of it prints", 4},
        {"while waiting for the answer, the scheduler silent", "answer", true,
         tookAll + "; the print scheduler could not be asked in time whether it has the job, which may still print",
         std::nullopt, Status::unreachable},
        {"while waiting for the answer to a document", "answer", true, "", 4, Status::listed, Format::pdf},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        api = std::make_shared<FakeCupsApi>();
        api->addQueue("Zebra");
        api->cancelConfirmed = c.cancelConfirmed;
        api->jobAnswers = {c.answers};
        if (c.state) api->jobListings.push_back({{17, "Zebra", *c.state, 0, "", {"job-incoming"}}});
        const CupsPrinterTransport stopped("Zebra", api);
        std::promise<std::shared_ptr<Task>> spawned;
        const auto running = spawned.get_future().share();
        // The submission's own abandon: a job's creation runs under one that a stop does not raise.
        CupsApi::Abandon* submission = nullptr;
        api->beforeStep = [&, running](const std::string& step) {
            if (step == "destinations") submission = CupsApi::AbandonScope::current();
            if (step != c.step) return;
            running.get()->cancel();
            EXPECT_TRUE(testing::eventually([&] { return submission && submission->isRaised(); }));
        };
        auto outcome = std::make_shared<std::optional<CupsPrinterTransport::Submission>>();
        auto task = Task::spawn(loop.loop().executor(), [&stopped, outcome, format = c.format]() -> Awaitable<void> {
            *outcome = co_await stopped.submit(bytesOf("data"), "title", format, 1, 2s);
        });
        spawned.set_value(task);
        std::optional<JobError> failure;
        const auto stoppedAt = std::chrono::steady_clock::now();
        try {
            loop.run(task->join());
        } catch (const JobError& error) {
            failure = error;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 2s) << "the stop waited past its limit";
        const auto calls = api->calls();
        const auto cancels = std::count(calls.begin(), calls.end(), Call{"cancel", "Zebra#17"});
        if (c.format == Format::pdf) {
            EXPECT_TRUE(api->jobQueries().empty()) << "its watch looks at the job";
        }
        if (c.failure.empty()) {
            ASSERT_TRUE(*outcome);
            EXPECT_EQ((*outcome)->bytesWritten, 4);
            EXPECT_EQ((*outcome)->job.id, 17);
            EXPECT_EQ(cancels, 0) << "a job the scheduler had whole was cancelled";
            continue;
        }
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code, JobErrorCode::printerError);
        EXPECT_EQ(failure->description(), c.failure);
        EXPECT_EQ(cancels, c.answers == Status::unreachable ? 0 : 1);
        if (c.step != "answer") {
            EXPECT_EQ(std::count(calls.begin(), calls.end(), Call{"closing", ""}), 0);
        }
    }
}

// A submission that cannot go on (no pool thread free, a name lookup that nothing cuts short)
// keeps a stop only for its limit; the job it then makes is still cancelled.
TEST_F(CupsPrinterTransportTest, AStoppedSubmissionThatCannotGoOnKeepsTheCallerOnlyForItsLimit) {
    std::promise<void> unblock;
    const std::shared_future<void> unblocked = unblock.get_future().share();
    std::atomic<bool> arrived{false};
    api->beforeStep = [&](const std::string& step) {
        if (step != "create") return;
        arrived = true;
        unblocked.wait();
    };
    auto task = Task::spawn(loop.loop().executor(), [this]() -> Awaitable<void> {
        (void)co_await transport.submit(bytesOf("data"), "title", Format::raw, 1, 100ms);
    });
    ASSERT_TRUE(testing::eventually([&] { return arrived.load(); }));
    const auto stoppedAt = std::chrono::steady_clock::now();
    task->cancel();
    const auto failure = testing::thrownBy<JobError>([&] { loop.run(task->join()); });
    const auto waited = std::chrono::steady_clock::now() - stoppedAt;
    unblock.set_value();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "Sending was stopped when the agent stopped; the print scheduler took 0 of 4 "
                                      "bytes; the job could not be cancelled in time and may still print");
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 2s);
    EXPECT_TRUE(testing::eventually([&] {
        const auto calls = api->calls();
        return std::count(calls.begin(), calls.end(), Call{"cancel", "Zebra#17"}) == 1;
    })) << "the job made after the caller left stays in the queue";
}

TEST_F(CupsPrinterTransportTest, TheQueueComesFromTheKey) {
    const auto fromPrefixed = CupsPrinterTransport::make(PrinterTarget{"cups:Zebra", "n", PrinterTransport::cups, {}});
    const auto fromBare = CupsPrinterTransport::make(PrinterTarget{"Zebra", "n", PrinterTransport::cups, {}});
    ASSERT_TRUE(fromPrefixed);
    ASSERT_TRUE(fromBare);
    EXPECT_EQ(fromPrefixed->queueName(), "Zebra");
    EXPECT_EQ(fromBare->queueName(), "Zebra");
    EXPECT_FALSE(CupsPrinterTransport::make(PrinterTarget{"cups:", "n", PrinterTransport::cups, {}}));
}

TEST_F(CupsPrinterTransportTest, ProbeIsOnlineOnlyForAnOnlineQueue) {
    EXPECT_TRUE(loop.run(transport.probe()));
    api->dests.clear();
    api->addQueue("Zebra", {{"printer-state", "5"}});
    EXPECT_EQ(loop.run(transport.probeDetail()), (ReachabilityProbe::Result{"error", "Queue is stopped"}));
    EXPECT_FALSE(loop.run(transport.probe()));
}

} // namespace
} // namespace varnel
