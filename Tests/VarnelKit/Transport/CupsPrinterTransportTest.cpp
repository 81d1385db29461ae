#include "VarnelKit/Transport/CupsPrinterTransport.hpp"

#include "FakeCupsApi.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <algorithm>
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
    EXPECT_EQ(submission, (CupsPrinterTransport::Submission{8, 17}));
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

// Once the closing chunk has gone out the scheduler may be printing: only a refusal fails the job.
TEST_F(CupsPrinterTransportTest, AfterTheClosingChunkOnlyARefusalFailsTheJob) {
    api->answerResult = 0x0400;
    api->errorAfterAnswer = "Printer not accepting";
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "CUPS write failed: Printer not accepting");
    EXPECT_EQ(api->calls().back(), (Call{"cancel", "Zebra#17"}));

    // No answer, or one that came too late: the job is the scheduler's.
    api->answerResult.reset();
    const auto before = api->calls().size();
    EXPECT_EQ(loop.run(transport.submit(bytesOf("data"), "title", Format::raw, 1)),
              (CupsPrinterTransport::Submission{4, 17}));
    const auto calls = api->calls();
    EXPECT_EQ(calls.back(), (Call{"answer", "Zebra"}));
    EXPECT_EQ(std::count(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end(), Call{"cancel", "Zebra#17"}),
              0);

    // The closing chunk did not go out: nothing of the job can print, and it is cancelled.
    api->closingResult = 500;
    ASSERT_TRUE(submitFailure());
    EXPECT_EQ(api->calls().back(), (Call{"cancel", "Zebra#17"}));
}

// A stop just before a step of the submission: the step is given up, and what that means depends
// on whether the document's end had gone out.
TEST_F(CupsPrinterTransportTest, AStopBeforeTheDocumentsEndCancelsTheJobAndOneAfterItKeepsIt) {
    const std::string tookAll = "Sending was stopped when the agent stopped; the print scheduler took 4 of 4 bytes";
    struct Case {
        std::string name;
        std::string step; // the stop comes just before it
        bool cancelConfirmed;
        std::string failure; // empty: the submission is given
    };
    const std::vector<Case> cases = {
        {"while the job is created", "create", true,
         "Sending was stopped when the agent stopped; the print scheduler took 0 of 4 bytes; the job was "
         "cancelled, so none of it prints"},
        {"before the closing chunk", "closing", true, tookAll + "; the job was cancelled, so none of it prints"},
        {"before the closing chunk, the cancel unconfirmed", "closing", false,
         tookAll + "; the job could not be cancelled in time and may still print"},
        {"while waiting for the answer", "answer", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        api = std::make_shared<FakeCupsApi>();
        api->addQueue("Zebra");
        api->cancelConfirmed = c.cancelConfirmed;
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
        auto task = Task::spawn(loop.loop().executor(), [&stopped, outcome]() -> Awaitable<void> {
            *outcome = co_await stopped.submit(bytesOf("data"), "title", Format::raw, 1, 2s);
        });
        spawned.set_value(task);
        std::optional<JobError> failure;
        try {
            loop.run(task->join());
        } catch (const JobError& error) {
            failure = error;
        }
        const auto calls = api->calls();
        const bool cancelled = std::count(calls.begin(), calls.end(), Call{"cancel", "Zebra#17"}) == 1;
        if (c.failure.empty()) {
            EXPECT_EQ(*outcome, (CupsPrinterTransport::Submission{4, 17}));
            EXPECT_FALSE(cancelled) << "a job the scheduler had whole was cancelled";
            continue;
        }
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code, JobErrorCode::printerError);
        EXPECT_EQ(failure->description(), c.failure);
        EXPECT_TRUE(cancelled);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), Call{"closing", ""}), 0);
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
