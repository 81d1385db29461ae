#include "VarnelKit/Transport/GTestPrinters.hpp"
#include "VarnelKit/Transport/CupsJobWatcher.hpp"

#include "FakeCupsApi.hpp"

#include "VarnelKit/TestSupport.hpp"

#include <atomic>
#include <future>
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
        return loop.run(CupsJobWatcher("Q", 10ms, timeout, api).wait(5));
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
    EXPECT_EQ(loop.run(CupsJobWatcher("Q", 5s, 10s, api).wait(5)), Outcome::completed());
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

TEST_F(CupsJobWatcherTest, ARemovedQueueFailsTheJob) {
    api->jobAnswers = {Answer::listed, Answer::listed, Answer::queueMissing};
    listJobStates({3, 5, 5});
    EXPECT_EQ(watch(), Outcome::failed(JobState::cancelled, "The queue was removed before the job finished"));
    EXPECT_EQ(polls(), 3u);

    api->jobAnswers = {Answer::queueMissing};
    EXPECT_EQ(watch(), Outcome::failed(JobState::cancelled, "The queue was removed before the job finished"));
}

// A stop ends the watch at once, as its time limit would, with the queue's own reason when it has
// one; the job stays with CUPS.
TEST_F(CupsJobWatcherTest, AStopEndsTheWatchAtOnceAsItsTimeLimitWould) {
    listJobStates({5});
    auto outcome = std::make_shared<std::optional<Outcome>>();
    auto watcher = std::make_shared<CupsJobWatcher>("Q", 50ms, 60s, api);
    auto task = Task::spawn(loop.loop().executor(),
                            [watcher, outcome]() -> Awaitable<void> { *outcome = co_await watcher->wait(5); });
    ASSERT_TRUE(testing::eventually([&] { return polls() >= 2; }));
    const auto stoppedAt = std::chrono::steady_clock::now();
    task->cancel();
    loop.run(task->join());
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 1s);
    EXPECT_EQ(*outcome, Outcome::stillQueued(std::nullopt));
    const auto pollsAtStop = polls();
    EXPECT_LE(pollsAtStop, 4u) << "polled in a stream after the stop";

    // A scheduler that does not answer: the stop neither waits for the call under way nor asks it
    // anything more, not even why the queue holds the job.
    api->addQueue("Q", {{"printer-state-message", "is out of paper"}});
    // It answers after all, late, so that a watch that waits for it ends the test all the same: the
    // promise's end, at the end of the test, readies the future.
    std::promise<void> answer;
    const std::shared_future<void> answered = answer.get_future().share();
    std::atomic<bool> asked{false};
    api->whileListing = [&asked, answered] {
        asked = true;
        answered.wait_for(2s);
    };
    auto silent = Task::spawn(loop.loop().executor(),
                              [watcher, outcome]() -> Awaitable<void> { *outcome = co_await watcher->wait(5); });
    ASSERT_TRUE(testing::eventually([&] { return asked.load(); }));
    const auto callsAtStop = api->calls().size();
    const auto silentStoppedAt = std::chrono::steady_clock::now();
    silent->cancel();
    loop.run(silent->join());
    EXPECT_LT(std::chrono::steady_clock::now() - silentStoppedAt, 100ms) << "the stop waited for the scheduler";
    EXPECT_EQ(*outcome, Outcome::stillQueued(std::nullopt));
    EXPECT_EQ(api->calls().size(), callsAtStop) << "the scheduler was asked something after the stop";
}

} // namespace
} // namespace varnel
