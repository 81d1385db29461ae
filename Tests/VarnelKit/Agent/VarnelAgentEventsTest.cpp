// The agent's reactions: channel events, the status with its observer and diagnostics, the
// heartbeat with its update offers, and the two refusals that stop the agent.
#include "AgentFixture.hpp"

namespace varnel::testing {
namespace {

class VarnelAgentEventsTest : public AgentFixture {
protected:
    // Every status the observer was called with, in order.
    void observe(const std::shared_ptr<VarnelAgent>& agent) {
        onLoop([this, agent] { agent->onStatusChange([this](const Status& status) { observed.push_back(status); }); });
    }
    std::vector<Status> observedNow() {
        return onLoop([this] { return observed; });
    }

    // Starts with a live channel and waits until the agent is connected.
    void startConnected(const std::shared_ptr<VarnelAgent>& agent) {
        serveChannel();
        run(agent->start());
        ASSERT_TRUE(waitFor([this, agent] { return agent->currentStatus() == Status::connected(); }));
    }

    std::vector<Status> observed;
};

TEST_F(VarnelAgentEventsTest, ChannelEventsReachTheRunnerTheLogAndTheInventory) {
    const auto agent = makeAgent();
    startConnected(agent);
    // The connected event drains the pending jobs at once.
    EXPECT_TRUE(waitForRequests(pendingRoute, 1));

    push(R"({"event":"job.cancelled","channel":"private-device.7","data":"{\"job_id\":41}"})");
    EXPECT_TRUE(waitForLine("[INFO] Job 41 cancelled server-side"));
    EXPECT_EQ(requests("GET /api/v1/jobs/41"), 0u);

    push(R"({"event":"job.created","channel":"private-device.7","data":"{\"job_id\":42}"})");
    EXPECT_TRUE(waitForRequests("GET /api/v1/jobs/42", 1));

    const auto rescansBefore = requests(printersRoute);
    push(R"({"event":"printers.rescan","channel":"private-device.7","data":"{}"})");
    EXPECT_TRUE(waitForRequests(printersRoute, rescansBefore + 1));
    EXPECT_TRUE(waitForRequests(syncRoute, 2));
}

TEST_F(VarnelAgentEventsTest, ObserverAndDiagnosticsFollowOnlyTheConnectedBoundary) {
    withDiagnostics();
    const auto agent = makeAgent();
    observe(agent);
    // Every attempt fails the same way: one status change, however many attempts.
    onLoop([this] { connector->openFailure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect)); });
    run(agent->start());
    ASSERT_TRUE(waitFor([this] { return connector->sockets.size() >= 3; }));
    const Status refused = Status::disconnected(TransportError::sentence(TransportError::Code::cannotConnect));
    EXPECT_EQ(observedNow(), std::vector<Status>{refused});

    serveChannel();
    onLoop([this] { connector->openFailure = nullptr; });
    ASSERT_TRUE(waitFor([agent] { return agent->currentStatus() == Status::connected(); }));

    onLoop([this] {
        connector->last()->drop(std::make_exception_ptr(TransportError(TransportError::Code::connectionLost)));
    });
    const Status lost = Status::disconnected(TransportError::sentence(TransportError::Code::connectionLost));
    ASSERT_TRUE(waitFor([this] { return observed.size() >= 4; }));
    EXPECT_EQ(observedNow(), (std::vector<Status>{refused, Status::connected(), lost, Status::connected()}));

    // disconnected -> disconnected sent nothing; each crossing of connected sent one event.
    ASSERT_TRUE(waitFor([this] { return reportedKindsOnLoop().size() >= 3; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(reportedKinds(),
              (std::vector<std::string>{"connection_restored", "connection_lost", "connection_restored"}));
}

TEST_F(VarnelAgentEventsTest, WithoutAReporterTheObserverStillHearsEveryChange) {
    const auto agent = makeAgent();
    observe(agent);
    startConnected(agent);
    EXPECT_EQ(observedNow(), std::vector<Status>{Status::connected()});
    EXPECT_EQ(requests(eventsRoute), 0u);
}

TEST_F(VarnelAgentEventsTest, ObserverReplacedWhileItRunsIsSafe) {
    const auto agent = makeAgent();
    int firstCalls = 0;
    int secondCalls = 0;
    VarnelAgent* raw = agent.get();
    onLoop([&] {
        raw->onStatusChange([&, raw](const Status&) {
            // Destroys the very observer that is running, unless the agent called a copy: the
            // count below then reads a capture that is gone.
            raw->onStatusChange([&](const Status&) { ++secondCalls; });
            ++firstCalls;
        });
    });
    startConnected(agent);
    onLoop([this] {
        connector->last()->drop(std::make_exception_ptr(TransportError(TransportError::Code::connectionLost)));
    });
    ASSERT_TRUE(waitFor([&] { return secondCalls >= 1; }));
    EXPECT_EQ(onLoop([&] { return firstCalls; }), 1);
}

TEST_F(VarnelAgentEventsTest, ARequestedReconnectOfMinusFiveWaitsNothing) {
    const auto agent = makeAgent();
    startConnected(agent);
    ASSERT_EQ(onLoop([this] { return connector->openedCount(); }), 1);
    push(R"({"event":"device.reconnect","channel":"private-device.7","data":"{\"after_ms\":-5}"})");
    EXPECT_TRUE(waitForLine("[INFO] Server asked us to reconnect in -5ms"));
    // Restarted at once, not after a back-off.
    EXPECT_TRUE(waitFor([this] { return connector->openedCount() == 2; }, 1s));
    EXPECT_TRUE(waitForLine("[DEBUG] Reverb restarted after a server-requested reconnect"));
    EXPECT_TRUE(onLoop([this] { return connector->sockets.front()->closeCode == std::uint16_t(1001); }));
    EXPECT_TRUE(waitFor([agent] { return agent->currentStatus() == Status::connected(); }));
}

// A reconnect the server asks for must not revive a client that the agent stopped or replaced
// during the wait: it would take jobs for an agent that said it had stopped, or run a second
// channel beside the newer client.
class RequestedReconnectTest : public VarnelAgentEventsTest {
protected:
    void expectNoRevival(bool startAgain) {
        const auto agent = makeAgent();
        startConnected(agent);
        push(R"({"event":"device.reconnect","channel":"private-device.7","data":"{\"after_ms\":150}"})");
        ASSERT_TRUE(waitForLine("[INFO] Server asked us to reconnect in 150ms"));
        run(agent->stop());
        if (startAgain) {
            run(agent->start());
            ASSERT_TRUE(waitFor([this] { return connector->openedCount() == 2; }));
        }
        const auto socketsBefore = onLoop([this] { return connector->sockets.size(); });
        ASSERT_TRUE(waitFor([this] { return countContaining("Skipping the requested reconnect") == 1; }, 2s));
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(onLoop([this] { return connector->sockets.size(); }), socketsBefore);
        EXPECT_EQ(countContaining("Reverb restarted after a server-requested reconnect"), 0u);
        EXPECT_EQ(onLoop([agent] { return agent->hasReverbClient(); }), startAgain);
    }
};

TEST_F(RequestedReconnectTest, DoesNotReviveAStoppedClient) { expectNoRevival(false); }

TEST_F(RequestedReconnectTest, DoesNotReviveAReplacedClient) { expectNoRevival(true); }

TEST_F(VarnelAgentEventsTest, UpgradeRequiredStopsTheAgentWithTheVersion) {
    auto timings = quiet();
    // Long enough for the channel to connect first.
    timings.heartbeat = 50ms;
    script(heartbeatRoute, {status(426, R"({"minimum_version":"2.0.0"})")});
    const auto agent = makeAgent(timings);
    observe(agent);
    startConnected(agent);
    ASSERT_TRUE(waitFor([agent] { return agent->runningTaskCount() == 0; }));
    EXPECT_EQ(status(agent), Status::updateRequired("2.0.0"));
    EXPECT_EQ(countExact("[ERROR] This version of Varnel is too old for the server and has stopped printing. "
                         "Update to 2.0.0 or later."),
              1u);
    EXPECT_TRUE(waitForLine("[INFO] Varnel agent stopping"));
    EXPECT_FALSE(onLoop([agent] { return agent->hasReverbClient(); }));
    EXPECT_TRUE(onLoop([this] { return connector->last()->closeCode.has_value(); }));
    EXPECT_EQ(observedNow(), (std::vector<Status>{Status::connected(), Status::updateRequired("2.0.0")}));
    // No heartbeat after the refusal.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(requests(heartbeatRoute), 1u);
}

class RejectedCredentialTest : public VarnelAgentEventsTest {
protected:
    // The server reads why the agent went before it reads that the connection did.
    void expectReportedBeforeTheConnectionIsLost(int code) {
        script(heartbeatRoute, {status(code)});
        withDiagnostics();
        auto timings = quiet();
        timings.heartbeat = 50ms;
        const auto agent = makeAgent(timings);
        observe(agent);
        startConnected(agent);
        ASSERT_TRUE(waitFor([agent] { return agent->runningTaskCount() == 0; }));
        EXPECT_EQ(status(agent), Status::accessRevoked());
        EXPECT_FALSE(onLoop([agent] { return agent->hasReverbClient(); }));
        EXPECT_EQ(countExact("[ERROR] Server rejected this Mac's credential \xE2\x80\x94 stopping. Set up again to "
                             "reconnect."),
                  1u);
        EXPECT_EQ(observedNow(), (std::vector<Status>{Status::connected(), Status::accessRevoked()}));
        ASSERT_TRUE(waitFor([this] { return reportedKindsOnLoop().size() >= 3; }));
        EXPECT_EQ(reportedKinds(),
                  (std::vector<std::string>{"connection_restored", "authentication_failed", "connection_lost"}));
        const auto bodies = onLoop([this] {
            std::string all;
            for (const auto& request : http->requests(eventsRoute))
                all += request.body.value_or("");
            return all;
        });
        EXPECT_NE(bodies.find("This Mac's access was removed. It has stopped printing until it is set up again."),
                  std::string::npos);
    }
};

TEST_F(RejectedCredentialTest, On401) { expectReportedBeforeTheConnectionIsLost(401); }

TEST_F(RejectedCredentialTest, On403) { expectReportedBeforeTheConnectionIsLost(403); }

TEST_F(VarnelAgentEventsTest, ARejectedCredentialWithoutAReporterOnlyLogsAndStops) {
    auto timings = quiet();
    timings.heartbeat = 5ms;
    script(heartbeatRoute, {status(401)});
    const auto agent = makeAgent(timings);
    run(agent->startForTesting());
    ASSERT_TRUE(waitFor([agent] { return agent->runningTaskCount() == 0; }));
    EXPECT_EQ(status(agent), Status::accessRevoked());
    EXPECT_EQ(requests(eventsRoute), 0u);
}

class HeartbeatFailureTest : public VarnelAgentEventsTest {
protected:
    // Logged, and the next heartbeat follows one interval later; the agent keeps running.
    void expectLoggedAndRetried(Outcome reply, const std::string& description) {
        script(heartbeatRoute, {std::move(reply)});
        auto timings = quiet();
        timings.heartbeat = 5ms;
        const auto agent = makeAgent(timings);
        run(agent->startForTesting());
        ASSERT_TRUE(waitForRequests(heartbeatRoute, 3));
        EXPECT_EQ(taskCount(agent), 4u);
        run(agent->stop());
        EXPECT_EQ(status(agent), Status::connecting());
        EXPECT_GE(countExact("[DEBUG] Heartbeat failed: " + description), 2u);
    }
};

TEST_F(HeartbeatFailureTest, ServerError) {
    expectLoggedAndRetried(status(500, "boom"), VarnelAPIClient::APIError::http(500, "boom").description());
}

TEST_F(HeartbeatFailureTest, Unreachable) {
    expectLoggedAndRetried(failure(TransportError::Code::cannotConnect),
                           TransportError::sentence(TransportError::Code::cannotConnect));
}

TEST_F(HeartbeatFailureTest, Gone) {
    expectLoggedAndRetried(status(410), VarnelAPIClient::APIError::gone(std::nullopt).description());
}

TEST_F(VarnelAgentEventsTest, AHeartbeatWithoutACredentialIsLoggedToo) {
    auto timings = quiet();
    timings.heartbeat = 5ms;
    api = std::make_shared<VarnelAPIClient>(VarnelAPIClient::Configuration{settings.serverURL, "1.0.4"}, std::nullopt,
                                            http);
    const auto agent = makeAgent(timings);
    run(agent->startForTesting());
    const std::string line = "[DEBUG] Heartbeat failed: " + VarnelAPIClient::APIError::notAuthenticated().description();
    ASSERT_TRUE(waitFor([&] { return countExact(line) >= 2; }));
    EXPECT_EQ(taskCount(agent), 4u);
    EXPECT_EQ(requests(heartbeatRoute), 0u);
}

TEST_F(VarnelAgentEventsTest, UpdateOffersAreNotedOnlyWhenTheyChange) {
    const std::string offer = R"({"version":"2.4.0","download_url":"https://downloads.varnel.test/Varnel.dmg",)"
                              R"("sha256":"abc","notes_url":"https://notes.varnel.test/2.4.0","required":false})";
    const std::string required = R"({"version":"2.4.0","download_url":"https://downloads.varnel.test/Varnel.dmg",)"
                                 R"("sha256":"abc","notes_url":"https://notes.varnel.test/2.4.0","required":true})";
    const std::string otherNotes = R"({"version":"2.4.0","download_url":"https://downloads.varnel.test/Varnel.dmg",)"
                                   R"("sha256":"abc","notes_url":"https://notes.varnel.test/other","required":true})";
    // Reply by reply: what the offer is afterwards, and whether the observer was called.
    struct Step {
        std::string body;
        bool offered;
        bool observerCalled;
        bool logged;
    };
    const std::vector<Step> steps = {
        {R"({"update":)" + offer + "}", true, true, true},
        {R"({"update":)" + offer + "}", true, false, false},
        {R"({"update":)" + required + "}", true, true, true},
        {R"({"update":)" + otherNotes + "}", true, true, true},
        {"{}", false, true, false},
        {"{}", false, false, false},
        {R"({"update":)" + offer + "}", true, true, true},
        {"not json", false, true, false},
    };
    std::vector<Outcome> replies;
    for (const auto& step : steps)
        replies.push_back(ok(step.body));
    // Then no offer, for as long as the test runs.
    replies.push_back(ok("{}"));
    script(heartbeatRoute, replies);
    auto timings = quiet();
    timings.heartbeat = 2ms;
    const auto agent = makeAgent(timings);
    observe(agent);
    run(agent->startForTesting());
    // The request after the last step means that step's reply has been noted.
    ASSERT_TRUE(waitForRequests(heartbeatRoute, steps.size() + 1));
    run(agent->stop());

    std::size_t expectedCalls = 0;
    std::size_t expectedLines = 0;
    for (const auto& step : steps) {
        expectedCalls += step.observerCalled ? 1 : 0;
        expectedLines += step.logged ? 1 : 0;
    }
    const auto calls = observedNow();
    EXPECT_EQ(calls.size(), expectedCalls);
    // The status itself never changed: the observer is told to read the offer again.
    for (const auto& status : calls)
        EXPECT_EQ(status, Status::connecting());
    EXPECT_EQ(countExact("[INFO] Varnel 2.4.0 is available. This Mac is running 1.0.4."), expectedLines);
    EXPECT_EQ(onLoop([agent] { return agent->availableUpdate().has_value(); }), steps.back().offered);
}

TEST_F(VarnelAgentEventsTest, TheOfferIsKeptAfterStop) {
    // The stop that most needs the offer: the server offers an update, then refuses this version.
    // The agent stops itself, and its owner reads the offer to install the update; neither that
    // stop, nor the refused heartbeat before it, nor the owner's stop after it may forget it.
    auto timings = quiet();
    timings.heartbeat = 2ms;
    script(heartbeatRoute, {ok(R"({"update":{"version":"3.0.1","download_url":"https://d.varnel.test/v.dmg",)"
                               R"("sha256":"00"}})"),
                            status(426, R"({"minimum_version":"3.0.0"})")});
    const auto agent = makeAgent(timings);
    run(agent->startForTesting());
    ASSERT_TRUE(waitFor([agent] { return agent->runningTaskCount() == 0; }));
    ASSERT_EQ(requests(heartbeatRoute), 2u);
    EXPECT_EQ(status(agent), Status::updateRequired("3.0.0"));
    run(agent->stop());
    const auto update = onLoop([agent] { return agent->availableUpdate(); });
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->version, "3.0.1");
    EXPECT_EQ(std::string(update->downloadURL.buffer()), "https://d.varnel.test/v.dmg");
    EXPECT_FALSE(update->required);
}

TEST_F(VarnelAgentEventsTest, ThePollIntervalFollowsTheStatus) {
    auto timings = quiet();
    timings.pollWhenDisconnected = 40ms;
    timings.pollWhenConnected = 1h;
    onLoop([this] { connector->openFailure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect)); });
    const auto agent = makeAgent(timings);
    run(agent->start());
    // The first drain comes one interval after the start, never at once.
    EXPECT_EQ(requests(pendingRoute), 0u);
    ASSERT_TRUE(waitForRequests(pendingRoute, 3));

    serveChannel();
    onLoop([this] { connector->openFailure = nullptr; });
    ASSERT_TRUE(waitFor([agent] { return agent->currentStatus() == Status::connected(); }));
    // The drain of the connected event, and at most the pass already asleep; then the long interval.
    std::this_thread::sleep_for(80ms);
    const auto settled = requests(pendingRoute);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(requests(pendingRoute), settled);
}

} // namespace
} // namespace varnel::testing
