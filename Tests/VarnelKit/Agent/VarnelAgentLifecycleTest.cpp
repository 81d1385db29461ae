// Starting and stopping the agent: what construction leaves alone, the task list, the channel
// client, and the stops that come from odd places (inside a loop, during start()).
#include "AgentFixture.hpp"
#include "TemporaryDirectory.hpp"
#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Platform/ServiceResolving.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

// A listening Unix socket that counts the connections made to it and ends each at once, so that a
// client finds no server there and gives up.
class Doorbell {
public:
    explicit Doorbell(std::filesystem::path path) : path_(std::move(path)) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string text = path_.string();
        if (listener_ < 0 || text.size() >= sizeof address.sun_path)
            throw std::runtime_error("no socket at " + text);
        std::copy(text.begin(), text.end(), address.sun_path);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0)
            throw std::runtime_error("cannot listen at " + text);
        thread_ = std::thread([this] {
            while (!stopping_) {
                pollfd ready{listener_, POLLIN, 0};
                if (::poll(&ready, 1, 10) <= 0)
                    continue;
                const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection < 0)
                    continue;
                ++rings_;
                ::close(connection);
            }
        });
    }
    ~Doorbell() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;

    const std::filesystem::path& path() const { return path_; }
    int rings() const { return rings_; }

private:
    std::filesystem::path path_;
    int listener_ = -1;
    std::atomic<int> rings_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Sets an environment variable for the life of the object, and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST_F(VarnelAgentLifecycleTest, DefaultOptionsBuildWithoutTouchingTheSystem) {
    // The system's libcups and Avahi (over the D-Bus system bus) connect on first use. Here their
    // scheduler and bus are doorbells, so any use of them during the build rings one.
    TemporaryDirectory folder;
    Doorbell scheduler(folder.path() / "cups.sock");
    Doorbell systemBus(folder.path() / "system_bus.sock");
    ScopedEnvironment cupsServer("CUPS_SERVER", scheduler.path().string());
    ScopedEnvironment busAddress("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + systemBus.path().string());

    const auto agent = makeAgent(quiet(), VarnelAgent::Options());
    onLoop([] {}); // whatever the build queued on the loop has run
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(scheduler.rings(), 0) << "building the agent talked to the CUPS scheduler";
    EXPECT_EQ(systemBus.rings(), 0) << "building the agent talked to Avahi";
    EXPECT_EQ(agent->runningTaskCount(), 0u);
    EXPECT_TRUE(http->requests().empty());

    // The doorbells do hear those libraries: what the agent's defaults use rings them. (On a thread
    // of its own, since libcups reads where its scheduler is once per thread.)
    std::thread([] { (void)systemCupsApi()->destinations(); }).join();
    EXPECT_FALSE(run(systemServiceResolver()->resolve("Front Desk", "_ipp._tcp.", 100ms)));
    EXPECT_TRUE(waitFor([&] { return scheduler.rings() > 0 && systemBus.rings() > 0; }))
        << "scheduler " << scheduler.rings() << ", bus " << systemBus.rings();
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
    // Two agents on one loop, each with a server of its own: nothing one does or keeps reaches the
    // other, and stopping one leaves the other at work.
    auto timings = quiet();
    timings.heartbeat = 5ms;
    const auto first = makeAgent(timings);
    auto otherHttp = std::make_shared<ScriptedHttpTransport>();
    otherHttp->script(heartbeatRoute, {ok()});
    otherHttp->script(printersRoute, {ok(R"({"printers":[]})")});
    otherHttp->script(syncRoute, {ok()});
    auto otherApi = std::make_shared<VarnelAPIClient>(
        VarnelAPIClient::Configuration{*parseAbsoluteUrl("https://varnel.test"), "1.0.4"}, "device-token", otherHttp);
    const auto second = VarnelAgent::make(loop.loop().executor(), settings, otherApi, logger, timings, nullptr,
                                          options());
    agents.push_back(second);

    run(first->startForTesting());
    run(second->startForTesting());
    EXPECT_EQ(taskCount(first), 4u);
    EXPECT_EQ(taskCount(second), 4u);
    ASSERT_TRUE(waitFor([&] { return http->count(heartbeatRoute) >= 2 && otherHttp->count(heartbeatRoute) >= 2; }));

    // A job one has handled is new to the other.
    onLoop([first] { first->runner()->markSeenForTesting(41); });
    EXPECT_FALSE(onLoop([second] { return second->runner()->hasSeen(41); }));

    run(second->stop());
    EXPECT_EQ(taskCount(second), 0u);
    EXPECT_EQ(taskCount(first), 4u);
    // The stopped one beats no more; the other beats on.
    const auto secondBeats = onLoop([&] { return otherHttp->count(heartbeatRoute); });
    const auto firstBeats = onLoop([&] { return http->count(heartbeatRoute); });
    EXPECT_TRUE(waitFor([&] { return http->count(heartbeatRoute) >= firstBeats + 3; }))
        << "stopping one agent stopped the other's heartbeat";
    EXPECT_EQ(onLoop([&] { return otherHttp->count(heartbeatRoute); }), secondBeats);
}

TEST(VarnelAgentStatusText, DescribesEveryCase) {
    // Each case reads as itself: no two cases (or two values of one) read alike, none falls
    // through to "unknown", and the text a case carries is in its line. (A case the switch forgets
    // does not build: -Wswitch.)
    using Status = VarnelAgent::Status;
    const std::vector<Status> statuses = {
        Status::disconnected("Could not connect to the server."), Status::disconnected("Timed out."),
        Status::updateRequired("2.0.0"), Status::updateRequired("10.4.1"), Status::notEnrolled(),
        Status::connecting(), Status::connected(), Status::accessRevoked()};
    std::set<std::string> seen;
    for (const auto& status : statuses) {
        const std::string text = describe(status);
        SCOPED_TRACE(text);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find("unknown"), std::string::npos);
        EXPECT_TRUE(seen.insert(text).second) << "two statuses read alike";
    }
    EXPECT_NE(describe(statuses[0]).find("Could not connect to the server."), std::string::npos);
    EXPECT_NE(describe(statuses[3]).find("10.4.1"), std::string::npos);
    // The reason is told as it is: a reason that looks like another case does not make it one.
    EXPECT_NE(describe(Status::disconnected("connected")), describe(Status::connected()));
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
