// Starting and stopping the agent: what construction leaves alone, the task list, the channel
// client, and the stops that come from odd places (inside a loop, during start()).
#include "AgentFixture.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <future>

namespace varnel::testing {
namespace {

class VarnelAgentLifecycleTest : public AgentFixture {};

TEST_F(VarnelAgentLifecycleTest, ConstructionTouchesNothingAndStartsEmpty) {
    const auto agent = makeAgent();
    EXPECT_TRUE(cups->calls().empty());
    EXPECT_TRUE(cups->jobQueries().empty());
    EXPECT_EQ(bonjour->calls, 0);
    EXPECT_TRUE(connector->sockets.empty());
    EXPECT_TRUE(http->requests().empty());
    EXPECT_TRUE(logger->messages().empty());

    EXPECT_EQ(agent->currentStatus(), Status::connecting());
    EXPECT_EQ(agent->runningTaskCount(), 0u);
    EXPECT_FALSE(agent->hasReverbClient());
    EXPECT_TRUE(agent->printers().empty());
    EXPECT_FALSE(agent->availableUpdate().has_value());

    // The runner keeps 2000 ids and trims to the newest 1000 at the next one.
    onLoop([agent] {
        for (std::int64_t id = 1; id <= 2000; ++id)
            agent->runner()->markSeenForTesting(id);
    });
    EXPECT_EQ(onLoop([agent] { return agent->runner()->seenCount(); }), 2000u);
    onLoop([agent] { agent->runner()->markSeenForTesting(2001); });
    EXPECT_EQ(onLoop([agent] { return agent->runner()->seenCount(); }), 1000u);
    EXPECT_TRUE(onLoop([agent] { return agent->runner()->hasSeen(2001) && !agent->runner()->hasSeen(1001); }));
}

TEST_F(VarnelAgentLifecycleTest, DefaultOptionsBuildWithoutTouchingTheSystem) {
    // The system's libcups and Avahi layers connect on first use; building must not get there.
    const auto agent = makeAgent(quiet(), VarnelAgent::Options());
    EXPECT_EQ(agent->runningTaskCount(), 0u);
    EXPECT_TRUE(http->requests().empty());
}

TEST_F(VarnelAgentLifecycleTest, StopBeforeStartAndTwiceOnlyLogs) {
    const auto agent = makeAgent();
    run(agent->stop());
    run(agent->stop());
    EXPECT_EQ(countExact("[INFO] Varnel agent stopping"), 2u);
    EXPECT_EQ(taskCount(agent), 0u);
    EXPECT_FALSE(onLoop([agent] { return agent->hasReverbClient(); }));
    EXPECT_TRUE(http->requests().empty());
    EXPECT_EQ(status(agent), Status::connecting());
}

TEST_F(VarnelAgentLifecycleTest, StartStopStartBuildsAFreshClientAndLoops) {
    serveChannel();
    const auto agent = makeAgent();
    run(agent->start());
    EXPECT_EQ(countExact("[INFO] Varnel agent starting for device 7 (Test Box)"), 1u);
    EXPECT_EQ(taskCount(agent), 4u);
    EXPECT_TRUE(onLoop([agent] { return agent->hasReverbClient(); }));
    ASSERT_TRUE(waitFor([this] { return connector->openedCount() == 1; }));
    // The first rescan comes before anything else: it is the start's own.
    EXPECT_EQ(requests(printersRoute), 1u);
    EXPECT_EQ(requests(syncRoute), 1u);

    run(agent->stop());
    EXPECT_EQ(taskCount(agent), 0u);
    EXPECT_FALSE(onLoop([agent] { return agent->hasReverbClient(); }));
    EXPECT_TRUE(onLoop([this] { return connector->sockets.front()->closeCode == std::uint16_t(1001); }));

    run(agent->start());
    EXPECT_EQ(taskCount(agent), 4u);
    EXPECT_TRUE(onLoop([agent] { return agent->hasReverbClient(); }));
    EXPECT_TRUE(waitFor([this] { return connector->openedCount() == 2; }));
    EXPECT_EQ(requests(printersRoute), 2u);
    EXPECT_EQ(countExact("[INFO] Varnel agent starting for device 7 (Test Box)"), 2u);
}

TEST_F(VarnelAgentLifecycleTest, SecondStartIsIgnored) {
    serveChannel();
    const auto agent = makeAgent();
    run(agent->start());
    run(agent->start());
    EXPECT_EQ(countExact("[DEBUG] Agent already running; ignoring a second start"), 1u);
    EXPECT_EQ(countExact("[INFO] Varnel agent starting for device 7 (Test Box)"), 1u);
    EXPECT_EQ(taskCount(agent), 4u);
    EXPECT_EQ(requests(printersRoute), 1u);
    EXPECT_TRUE(waitFor([this] { return connector->openedCount() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(onLoop([this] { return connector->sockets.size(); }), 1u);
}

TEST_F(VarnelAgentLifecycleTest, StartForTestingStartsOnlyTheLoops) {
    const auto agent = makeAgent();
    run(agent->startForTesting());
    run(agent->startForTesting());
    EXPECT_EQ(taskCount(agent), 4u);
    EXPECT_FALSE(onLoop([agent] { return agent->hasReverbClient(); }));
    EXPECT_TRUE(logger->messages().empty());
    EXPECT_TRUE(cups->calls().empty());
    EXPECT_EQ(requests(printersRoute), 0u);

    run(agent->stop());
    EXPECT_EQ(taskCount(agent), 0u);
    run(agent->startForTesting());
    EXPECT_EQ(taskCount(agent), 4u);
}

TEST_F(VarnelAgentLifecycleTest, StopFromInsideALoopReturnsAndLeavesNothing) {
    serveChannel();
    const auto agent = makeAgent();
    run(agent->start());
    ASSERT_TRUE(waitFor([this] { return connector->openedCount() == 1; }));
    // A deadlock would hang here; the future turns it into a failure.
    auto done = boost::asio::co_spawn(loop.loop().context(), agent->stopFromInsideALoopForTesting(),
                                      boost::asio::use_future);
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "stop() waited for its own task";
    done.get();
    EXPECT_EQ(taskCount(agent), 0u);
    EXPECT_FALSE(onLoop([agent] { return agent->hasReverbClient(); }));
    EXPECT_TRUE(onLoop([this] { return connector->last()->closeCode.has_value(); }));
}

TEST_F(VarnelAgentLifecycleTest, StopEndsALoopThatWaitsOnTheServer) {
    auto timings = quiet();
    timings.pollWhenDisconnected = 1ms;
    const auto agent = makeAgent(timings);
    const auto gate = http->hold(pendingRoute);
    run(agent->startForTesting());
    ASSERT_TRUE(waitForRequests(pendingRoute, 1));
    // The drain's request never answers: only the cancellation can end it.
    auto done = boost::asio::co_spawn(loop.loop().context(), agent->stop(), boost::asio::use_future);
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "stop() did not end a waiting loop";
    EXPECT_EQ(taskCount(agent), 0u);
    EXPECT_EQ(requests(pendingRoute), 1u);
}

// A stop that comes while start() runs its first rescan is honoured: start() then opens no
// channel and starts no loop, so nothing runs after the caller was told the agent stopped.
TEST_F(VarnelAgentLifecycleTest, StopDuringTheFirstRescanIsHonoured) {
    serveChannel();
    const auto agent = makeAgent();
    const auto gate = http->hold(printersRoute);
    auto started = boost::asio::co_spawn(loop.loop().context(), agent->start(), boost::asio::use_future);
    ASSERT_TRUE(waitForRequests(printersRoute, 1));

    run(agent->stop());
    gate->open();
    ASSERT_EQ(started.wait_for(5s), std::future_status::ready);
    started.get();

    EXPECT_EQ(taskCount(agent), 0u);
    EXPECT_FALSE(onLoop([agent] { return agent->hasReverbClient(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(onLoop([this] { return connector->sockets.empty(); }));
    EXPECT_EQ(countContaining("Agent stopped while starting"), 1u);

    // The agent can still be started afterwards.
    run(agent->start());
    EXPECT_EQ(taskCount(agent), 4u);
    EXPECT_TRUE(onLoop([agent] { return agent->hasReverbClient(); }));
}

// Two starts whose first rescans overlap: the one that finishes second must not add a second
// channel and a second set of loops beside the first.
TEST_F(VarnelAgentLifecycleTest, OverlappingStartsStartOneSetOfLoops) {
    serveChannel();
    const auto agent = makeAgent();
    const auto gate = http->hold(printersRoute);
    auto first = boost::asio::co_spawn(loop.loop().context(), agent->start(), boost::asio::use_future);
    auto second = boost::asio::co_spawn(loop.loop().context(), agent->start(), boost::asio::use_future);
    ASSERT_TRUE(waitForRequests(printersRoute, 2));
    gate->open();
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(taskCount(agent), 4u);
    EXPECT_TRUE(waitFor([this] { return connector->openedCount() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(onLoop([this] { return connector->sockets.size(); }), 1u);
    EXPECT_EQ(countExact("[DEBUG] Agent already running; ignoring a second start"), 1u);
}

TEST_F(VarnelAgentLifecycleTest, TwoAgentsAreIndependent) {
    const auto first = makeAgent();
    const auto second = makeAgent();
    run(first->startForTesting());
    EXPECT_EQ(taskCount(first), 4u);
    EXPECT_EQ(taskCount(second), 0u);
    run(second->stop());
    EXPECT_EQ(taskCount(first), 4u);
}

TEST(VarnelAgentStatusText, DescribesEveryCase) {
    using Status = VarnelAgent::Status;
    EXPECT_EQ(describe(Status::disconnected("Could not connect to the server.")),
              "disconnected: Could not connect to the server.");
    EXPECT_EQ(describe(Status::updateRequired("2.0.0")), "update required: 2.0.0 or later");
    EXPECT_EQ(describe(Status::notEnrolled()), "not enrolled");
    EXPECT_EQ(describe(Status::connecting()), "connecting");
    EXPECT_EQ(describe(Status::connected()), "connected");
    EXPECT_EQ(describe(Status::accessRevoked()), "access revoked");
}

TEST(VarnelAgentStatusEquality, ComparesTheCaseAndItsTextExactly) {
    using Status = VarnelAgent::Status;
    EXPECT_EQ(Status::disconnected("a"), Status::disconnected("a"));
    EXPECT_NE(Status::disconnected("a"), Status::disconnected("A"));
    EXPECT_NE(Status::updateRequired("2.0.0"), Status::updateRequired("2.0.1"));
    EXPECT_NE(Status::updateRequired(""), Status::disconnected(""));
    EXPECT_NE(Status::updateRequired("2.0.0"), Status::accessRevoked());
    EXPECT_NE(Status::notEnrolled(), Status::connecting());
}

} // namespace
} // namespace varnel::testing
