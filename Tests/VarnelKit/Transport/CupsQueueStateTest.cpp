#include "VarnelKit/Transport/CupsQueueState.hpp"

#include "FakeCupsApi.hpp"
#include "VarnelKit/Transport/CupsQueueProbe.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using testing::FakeCupsApi;
using Reasons = std::vector<std::string>;

CupsQueueState stateFrom(std::vector<CupsOption> options) {
    return CupsQueueState::make(CupsQueueState::readOptions(options), "Q");
}

TEST(CupsQueueState, ReadsStateAndAcceptanceStrictly) {
    EXPECT_TRUE(stateFrom({{"printer-state", "5"}}).isStopped());
    EXPECT_TRUE(stateFrom({{"printer-state", "4"}}).isProcessing());
    EXPECT_EQ(stateFrom({{"printer-state", "+5"}}).state, 5);
    for (const std::string text : {"abc", "", " 5", "5 ", "0x5"}) {
        EXPECT_EQ(stateFrom({{"printer-state", text}}).state, 3) << text;
    }
    EXPECT_FALSE(stateFrom({{"printer-is-accepting-jobs", "false"}}).isAcceptingJobs);
    for (const std::string text : {"False", "0", "", "no"}) {
        EXPECT_TRUE(stateFrom({{"printer-is-accepting-jobs", text}}).isAcceptingJobs) << text;
    }
}

TEST(CupsQueueState, ReadsOptionsLikeTheLibraryHandsThemOut) {
    // Pairs missing a side are skipped; a later name replaces an earlier one.
    const auto state = stateFrom({{std::nullopt, "x"},
                                  {"printer-state", std::nullopt},
                                  {"device-uri", "socket://a"},
                                  {"device-uri", "socket://b"},
                                  {"printer-state-message", ""},
                                  {"printer-make-and-model", ""}});
    EXPECT_EQ(state.state, 3);
    EXPECT_EQ(state.deviceURI, std::optional<std::string>("socket://b"));
    EXPECT_EQ(state.message, std::nullopt);
    EXPECT_EQ(state.makeAndModel, std::optional<std::string>(""));
    EXPECT_EQ(stateFrom({{"device-uri", ""}}).deviceURI, std::optional<std::string>(""));

    const auto bare = stateFrom({});
    EXPECT_EQ(bare, (CupsQueueState{"Q", 3, true, std::nullopt, std::nullopt, std::nullopt, {}}));
}

TEST(CupsQueueState, SplitsAndCleansStateReasons) {
    EXPECT_EQ(stateFrom({{"printer-state-reasons", "none"}}).stateReasons, Reasons{});
    // Blanks of any width and tabs are trimmed, line breaks are not.
    const auto state = stateFrom({{"printer-state-reasons", " \xC2\xA0Media-Empty-ERROR\t, ,toner-low-warning,\nx"}});
    EXPECT_EQ(state.stateReasons, (Reasons{"media-empty-error", "toner-low-warning", "\nx"}));
    EXPECT_EQ(state.blockingFault(), std::optional<std::string>("is out of paper"));
}

TEST(CupsQueueState, FindsTheFirstBlockingFault) {
    EXPECT_EQ(CupsQueueState::blockingFault(Reasons{"media-empty-warning"}), std::nullopt);
    EXPECT_EQ(CupsQueueState::blockingFault(Reasons{"media-empty-error-warning"}), std::nullopt);
    EXPECT_EQ(CupsQueueState::blockingFault(Reasons{"media-empty-error-report"}), std::nullopt);
    EXPECT_EQ(CupsQueueState::blockingFault(Reasons{" Cover-Open "}), std::optional<std::string>("has a cover open"));
    EXPECT_EQ(CupsQueueState::blockingFault(Reasons{"cover-open", "media-empty"}),
              std::optional<std::string>("has a cover open"));
    EXPECT_EQ(CupsQueueState::blockingReasons().size(), 12u);
    for (const auto& [keyword, phrase] : CupsQueueState::blockingReasons()) {
        EXPECT_EQ(CupsQueueState::blockingFault(Reasons{keyword + "-error"}), std::optional<std::string>(phrase));
    }
}

TEST(CupsQueueState, ReadsQueuesByExactName) {
    FakeCupsApi api;
    api.addQueue("Zebra", {{"printer-state", "5"}});
    api.addQueue("Zebra", {{"printer-state", "4"}}, "copy2");
    api.addQueue("Other");
    const auto first = CupsQueueState::read("Zebra", api);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->state, 5);
    EXPECT_FALSE(CupsQueueState::read("zebra", api));
    EXPECT_FALSE(CupsQueueState::read("Missing", api));

    const auto all = CupsQueueState::readAll(api);
    EXPECT_EQ(all.size(), 2u);
    EXPECT_EQ(all.at("Zebra").state, 4); // the later entry of one name wins
}

TEST(CupsQueueProbe, CountsActiveJobsAndTheirAge) {
    FakeCupsApi api;
    const auto now = std::chrono::system_clock::from_time_t(1'000'000);
    api.addQueue("Q", {{"device-uri", "USB://Zebra/ZT230"}, {"printer-make-and-model", "Zebra"}});
    api.jobListings = {
        {{1, "Q", 3, 1'000'000 - 100}, {2, "Q", 3, 1'000'000 - 40}, {3, "Other", 3, 5}, {4, std::nullopt, 3, 5}}};

    const auto probe = CupsQueueProbe::read("Q", std::nullopt, now, api);
    ASSERT_TRUE(probe);
    EXPECT_EQ(*probe, (CupsQueueProbe{"Q", "Zebra", "usb", true, false, 2, 100}));
    EXPECT_EQ(api.jobQueries().back(),
              (std::pair<std::optional<std::string>, CupsApi::WhichJobs>{"Q", CupsApi::WhichJobs::active}));
    EXPECT_FALSE(CupsQueueProbe::read("Missing", std::nullopt, now, api));

    const auto byQueue = CupsQueueProbe::pendingJobsByQueue(api);
    EXPECT_EQ(byQueue.size(), 2u); // the job without a queue is not counted
    EXPECT_EQ(byQueue.at("Other").count, 1);

    api.jobListings = {{{1, "Q", 3, 0}, {2, "Q", 3, -1}}};
    const auto undated = CupsQueueProbe::pendingJobs("Q", api);
    EXPECT_EQ(undated, (CupsQueueProbe::JobFigures{2, std::nullopt}));

    // A creation time after now gives a negative age, truncated toward zero.
    EXPECT_EQ(CupsQueueProbe::make("Q", {}, {}, true, false,
                                   CupsQueueProbe::JobFigures{1, now + std::chrono::milliseconds(1500)}, now)
                  .oldestQueuedSeconds,
              std::optional<std::int64_t>(-1));
}

TEST(CupsQueueProbe, ReadsEveryQueueWithOneJobQuery) {
    FakeCupsApi api;
    const auto now = std::chrono::system_clock::from_time_t(1'000'000);
    api.addQueue("Busy", {{"printer-state", "5"}, {"printer-is-accepting-jobs", "false"}});
    api.addQueue("Idle", {{"device-uri", "socket://10.0.0.9"}});
    api.jobListings = {{{1, "Busy", 3, 1'000'000 - 30}, {2, "Busy", 4, 1'000'000 - 10}, {3, "Gone", 3, 5}}};

    const auto probes = CupsQueueProbe::readAll(now, api);
    EXPECT_EQ(probes.size(), 2u);
    EXPECT_EQ(probes.at("Busy"), (CupsQueueProbe{"Busy", std::nullopt, std::nullopt, false, true, 2, 30}));
    EXPECT_EQ(probes.at("Idle"),
              (CupsQueueProbe{"Idle", std::nullopt, "socket", true, false, 0, std::nullopt}));
    EXPECT_EQ(api.jobQueries().size(), 1u);
}

} // namespace
} // namespace varnel
