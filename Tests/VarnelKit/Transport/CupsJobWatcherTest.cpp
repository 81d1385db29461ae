#include "VarnelKit/Transport/GTestPrinters.hpp"
#include "VarnelKit/Transport/CupsJobWatcher.hpp"
#include "VarnelKit/Transport/CupsJobLook.hpp"

#include "FakeCupsApi.hpp"

#include "VarnelKit/TestSupport.hpp"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <gtest/gtest.h>

namespace varnel {

namespace {

using namespace std::chrono_literals;
using testing::FakeCupsApi;
using Outcome = CupsJobWatcher::Outcome;
using JobState = CupsJobWatcher::JobState;
using Answer = CupsJobListing::Status;

class CupsJobWatcherTest : public ::testing::Test {
protected:
    Outcome watch(std::chrono::steady_clock::duration timeout = 2s) {
        return loop.run(CupsJobWatcher("Q", 10ms, timeout, api).wait(api->madeJob(5)));
    }
    void listJobStates(std::initializer_list<std::int32_t> states) {
        for (const auto state : states) api->jobListings.push_back({{4, "Q", 9, 1}, {5, "Q", state, 1}});
    }
    std::size_t polls() const { return api->jobQueries().size(); }

    testing::LoopFixture loop;
    std::shared_ptr<FakeCupsApi> api = std::make_shared<FakeCupsApi>();
};

TEST_F(CupsJobWatcherTest, FollowsAJobToItsEnd) {
    api->addQueue("Q");
    listJobStates({3, 5, 5, 9});
    EXPECT_EQ(watch(), Outcome::completed());
    EXPECT_EQ(polls(), 4u);
    // Every listing includes finished jobs.
    for (const auto& [queue, which] : api->jobQueries()) {
        EXPECT_EQ(queue, std::optional<std::string>("Q"));
        EXPECT_EQ(which, CupsApi::WhichJobs::all);
    }
}

TEST_F(CupsJobWatcherTest, CancelledAndAbortedJobsFail) {
    api->addQueue("Q", {{"printer-state-message", "The printer is not responding."}});
    listJobStates({5, 8});
    EXPECT_EQ(watch(), Outcome::failed(JobState::aborted, "The printer is not responding."));

    api->jobListings.clear();
    api->dests.clear();
    api->addQueue("Q", {{"printer-state-reasons", "media-empty-error"}, {"printer-state-message", "Out"}});
    listJobStates({7});
    EXPECT_EQ(watch(), Outcome::failed(JobState::cancelled, "is out of paper"));

    api->jobListings.clear();
    api->dests.clear();
    listJobStates({8});
    EXPECT_EQ(watch(), Outcome::failed(JobState::aborted, std::nullopt));
}

TEST_F(CupsJobWatcherTest, AJobNoLongerListedCountsAsCompleted) {
    api->jobListings.push_back({{4, "Q", 5, 1}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.run(CupsJobWatcher("Q", 5s, 10s, api).wait(api->madeJob(5))), Outcome::completed());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s); // no pause before answering
    api->jobListings.clear();
    EXPECT_EQ(watch(), Outcome::completed());
}

TEST_F(CupsJobWatcherTest, UnknownStatesCountAsCompleted) {
    listJobStates({2});
    EXPECT_EQ(watch(), Outcome::completed());
    api->jobListings.clear();
    listJobStates({10});
    EXPECT_EQ(watch(), Outcome::completed());
}

TEST_F(CupsJobWatcherTest, AJobStillWaitingAtTheDeadlineIsStillQueued) {
    api->addQueue("Q", {{"printer-state-reasons", "media-empty"}});
    listJobStates({6});
    EXPECT_EQ(watch(100ms), Outcome::stillQueued("is out of paper"));
    EXPECT_GE(polls(), 3u);
    EXPECT_LE(polls(), 12u);

    api->dests.clear();
    api->addQueue("Q", {{"printer-state-message", "Waiting"}});
    EXPECT_EQ(watch(50ms), Outcome::stillQueued("Waiting"));
    api->dests.clear();
    EXPECT_EQ(watch(50ms), Outcome::stillQueued(std::nullopt));
}

TEST_F(CupsJobWatcherTest, AZeroTimeLimitReadsNoListing) {
    api->addQueue("Q", {{"printer-state-message", "Idle"}});
    listJobStates({3});
    EXPECT_EQ(watch(0s), Outcome::stillQueued("Idle"));
    EXPECT_EQ(polls(), 0u);
}

TEST_F(CupsJobWatcherTest, AnUnreachableSchedulerIsAskedAgainUntilItAnswers) {
    api->jobAnswers = {Answer::unreachable, Answer::unreachable, Answer::listed};
    listJobStates({3, 9});
    EXPECT_EQ(watch(), Outcome::completed());
    EXPECT_EQ(polls(), 4u);

    // Away in the middle of the watch, back in time to see the job fail.
    api->addQueue("Q", {{"printer-state-message", "The printer is not responding."}});
    api->jobListings.clear();
    api->jobAnswers = {Answer::listed, Answer::unreachable, Answer::listed};
    listJobStates({5, 8});
    EXPECT_EQ(watch(), Outcome::failed(JobState::aborted, "The printer is not responding."));
    EXPECT_EQ(polls(), 4u + 3u);

    // Back, and the job is gone from the list: it finished while the scheduler was away.
    api->jobListings = {{{4, "Q", 5, 1}}};
    api->jobAnswers = {Answer::unreachable, Answer::listed};
    EXPECT_EQ(watch(), Outcome::completed());
}

TEST_F(CupsJobWatcherTest, ASchedulerAwayUntilTheDeadlineLeavesTheJobQueued) {
    api->addQueue("Q", {{"printer-state-reasons", "media-empty"}});
    api->jobAnswers = {Answer::unreachable};
    listJobStates({3});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(watch(100ms), Outcome::stillQueued("The print scheduler could not be reached"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    // Asked again at the poll interval, not in a stream.
    EXPECT_GE(polls(), 3u);
    EXPECT_LE(polls(), 12u);

    // Answering again before the deadline: the queue's own reason.
    api->jobAnswers = {Answer::unreachable, Answer::listed};
    EXPECT_EQ(watch(100ms), Outcome::stillQueued("is out of paper"));
}

// The job is known by its uuid, and one missing from the list is done only where the scheduler
// that made it still answers; one that restarted has lost it, and gives its id to other jobs.
TEST_F(CupsJobWatcherTest, AJobTheSchedulerLostInARestartFailsAndAnotherJobUnderItsIdIsNotRead) {
    const auto lost = Outcome::failed(std::nullopt, std::string(lostJobReason));
    const std::string ours = "urn:uuid:ours";
    struct Case {
        std::string name;
        std::vector<CupsJob> afterTheRestart; // the job of ours is 5
        Outcome outcome;
    };
    const std::vector<Case> cases = {
        {"no longer listed", {{4, "Q", 9, 1, "urn:uuid:4"}}, lost},
        {"its id on another job, completed", {{5, "Q", 9, 1, "urn:uuid:theirs"}}, lost},
        {"its id on another job, held", {{5, "Q", 4, 1, "urn:uuid:theirs", {"job-hold-until-specified"}}}, lost},
        {"kept through the restart, and printed", {{5, "Q", 9, 1, ours}}, Outcome::completed()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        api = std::make_shared<FakeCupsApi>();
        api->jobAnswers = {Answer::listed, Answer::unreachable, Answer::listed};
        api->jobListings = {{{5, "Q", 5, 1, ours}}, c.afterTheRestart};
        std::atomic<int> looks{0};
        api->whileListing = [&] {
            if (++looks == 2) api->restartScheduler();
        };
        EXPECT_EQ(loop.run(CupsJobWatcher("Q", 10ms, 2s, api).wait(api->madeJob(5, ours))), c.outcome);
        EXPECT_EQ(polls(), 3u);
        const auto calls = api->calls();
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const auto& call) { return call.what == "cancel"; }),
                  0);
    }
}

TEST_F(CupsJobWatcherTest, ARemovedQueueFailsTheJob) {
    api->jobAnswers = {Answer::listed, Answer::listed, Answer::queueMissing};
    listJobStates({3, 5, 5});
    EXPECT_EQ(watch(), Outcome::failed(JobState::cancelled, "The queue was removed before the job finished"));
    EXPECT_EQ(polls(), 3u);

    api->jobAnswers = {Answer::queueMissing};
    EXPECT_EQ(watch(), Outcome::failed(JobState::cancelled, "The queue was removed before the job finished"));
}

// A stop ends the watch with one last look at the job: one still waiting to print is cancelled,
// so that it neither prints after a failed report nor waits to be printed a second time; one the
// scheduler is printing is left to it.
TEST_F(CupsJobWatcherTest, AStopSettlesTheJobWithOneLastLook) {
    const std::string cancelledAtStop = "The job was cancelled before it printed, because the agent stopped";
    struct Case {
        std::string name;
        std::int32_t stateAtStop; // 0: no longer listed
        Answer answerAtStop;
        bool cancelConfirmed;
        Outcome outcome;
        bool cancelAsked;
        bool restarted = false; // just before the last look
        std::string uuid = {};  // of the job listed under its id at the stop
    };
    const std::vector<Case> cases = {
        {"pending", 3, Answer::listed, true, Outcome::failed(JobState::cancelled, cancelledAtStop), true},
        {"held, the cancel unconfirmed", 4, Answer::listed, false,
         Outcome::stillQueued("The print scheduler did not confirm the cancel when the agent stopped; the job may "
                              "still print"),
         true},
        {"processing", 5, Answer::listed, true, Outcome::completed(), false},
        {"stopped while processing", 6, Answer::listed, true, Outcome::completed(), false},
        {"aborted meanwhile", 8, Answer::listed, true, Outcome::failed(JobState::aborted, std::nullopt), false},
        {"no longer listed", 0, Answer::listed, true, Outcome::completed(), false},
        {"the scheduler does not answer", 3, Answer::unreachable, true,
         Outcome::stillQueued("The print scheduler did not answer when the agent stopped; the job may still print"),
         false},
        {"lost in a restart", 0, Answer::listed, true, Outcome::failed(std::nullopt, std::string(lostJobReason)), false,
         true},
        {"its id on another job after a restart", 3, Answer::listed, true,
         Outcome::failed(std::nullopt, std::string(lostJobReason)), false, true, "urn:uuid:theirs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        api = std::make_shared<FakeCupsApi>();
        api->cancelConfirmed = c.cancelConfirmed;
        api->jobAnswers = {Answer::listed, c.answerAtStop};
        listJobStates({3});
        api->jobListings.push_back({{4, "Q", 9, 1}});
        if (c.stateAtStop != 0) api->jobListings.back().push_back({5, "Q", c.stateAtStop, 1, c.uuid});
        api->whileListing = [&] {
            if (c.restarted && polls() == 1) api->restartScheduler();
        };
        // The first poll at once, then a long pause that only the stop ends.
        auto watcher = std::make_shared<CupsJobWatcher>("Q", 60s, 120s, api, 2s);
        auto outcome = std::make_shared<std::optional<Outcome>>();
        auto task = Task::spawn(loop.loop().executor(),
                                [watcher, outcome, job = api->madeJob(5)]() -> Awaitable<void> { *outcome = co_await watcher->wait(job); });
        ASSERT_TRUE(testing::eventually([&] { return polls() == 1; }));
        task->cancel();
        loop.run(task->join());
        EXPECT_EQ(*outcome, c.outcome);
        EXPECT_EQ(polls(), 2u);
        const auto calls = api->calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), FakeCupsApi::Call{"cancel", "Q#5"}), c.cancelAsked ? 1 : 0);
    }
}

// A scheduler that does not answer keeps a stop only for the stop limit, and a job it lists too
// late is not cancelled behind the report's back.
TEST_F(CupsJobWatcherTest, AStopWaitsForASilentSchedulerOnlyForItsLimit) {
    listJobStates({3});
    std::promise<void> answer;
    const std::shared_future<void> answered = answer.get_future().share();
    std::atomic<int> asked{0};
    api->whileListing = [&asked, answered] {
        ++asked;
        answered.wait_for(5s);
    };
    auto watcher = std::make_shared<CupsJobWatcher>("Q", 50ms, 60s, api, 100ms);
    auto outcome = std::make_shared<std::optional<Outcome>>();
    auto task = Task::spawn(loop.loop().executor(),
                            [watcher, outcome, job = api->madeJob(5)]() -> Awaitable<void> { *outcome = co_await watcher->wait(job); });
    ASSERT_TRUE(testing::eventually([&] { return asked == 1; }));
    const auto stoppedAt = std::chrono::steady_clock::now();
    task->cancel();
    loop.run(task->join());
    const auto waited = std::chrono::steady_clock::now() - stoppedAt;
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 1s) << "the stop waited for the scheduler";
    EXPECT_EQ(*outcome, Outcome::stillQueued(
                            "The print scheduler did not answer when the agent stopped; the job may still print"));

    // Both calls end; the last look finds the job pending, past its limit.
    answer.set_value();
    ASSERT_TRUE(testing::eventually([&] { return polls() == 2; }));
    std::this_thread::sleep_for(50ms);
    const auto calls = api->calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), FakeCupsApi::Call{"cancel", "Q#5"}), 0);
}

} // namespace
} // namespace varnel
