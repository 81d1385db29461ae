#pragma once

#include "FakeWebSocketConnector.hpp"
#include "ScriptedHttpTransport.hpp"
#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Transport/FakeCupsApi.hpp"
#include "VarnelKit/Transport/LoopFixture.hpp"

#include <algorithm>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace varnel::testing {

using namespace std::chrono_literals;

// A DNS-SD daemon that answers at once, or holds the next resolve until the test lets it go.
class FakeServiceResolver final : public ServiceResolving {
public:
    bool found = true;
    int calls = 0;
    // Taken by the next resolve, which waits for it.
    std::shared_ptr<AsyncEvent> holdNext;
    bool holding = false;

    Awaitable<bool> resolve(std::string, std::string, std::chrono::steady_clock::duration) override {
        ++calls;
        if (auto gate = std::exchange(holdNext, nullptr)) {
            holding = true;
            co_await gate->waitIgnoringCancellation();
            holding = false;
        }
        co_return found;
    }
};

// An agent on its own loop, wired to a scripted server, a fake scheduler, a fake DNS-SD daemon
// and fake WebSockets. The fakes are set up from the test thread before the agent runs, and
// through onLoop afterwards: the loop is the only thread that touches them then.
class AgentFixture : public ::testing::Test {
protected:
    using Timings = VarnelAgent::Timings;
    using Status = VarnelAgent::Status;
    using Outcome = ScriptedHttpTransport::Outcome;

    static constexpr const char* printersRoute = "GET /api/v1/devices/7/printers";
    static constexpr const char* syncRoute = "PUT /api/v1/devices/7/printers";
    static constexpr const char* pendingRoute = "GET /api/v1/devices/7/jobs/pending";
    static constexpr const char* heartbeatRoute = "POST /api/v1/devices/7/heartbeat";
    static constexpr const char* eventsRoute = "POST /api/v1/devices/7/events";
    static constexpr const char* authRoute = "POST /api/broadcasting/auth";

    // Every loop asleep for the length of any test; a test shortens the one it looks at.
    static Timings quiet() { return Timings{1h, 1h, 1h, 1h, 1h}; }

    static Outcome ok(std::string body = "{}") { return ScriptedHttpTransport::Reply{200, std::move(body)}; }
    static Outcome status(int code, std::string body = "{}") {
        return ScriptedHttpTransport::Reply{code, std::move(body)};
    }
    static Outcome failure(TransportError::Code code) { return std::make_exception_ptr(TransportError(code)); }

    AgentFixture() {
        routes_[authRoute] = {ok(R"({"auth":"app-key:signature"})")};
        routes_[printersRoute] = {ok(R"({"printers":[]})")};
        routes_[syncRoute] = {ok()};
        routes_[pendingRoute] = {ok(R"({"jobs":[]})")};
        routes_[heartbeatRoute] = {ok()};
        routes_[eventsRoute] = {status(202, R"({"ok":true,"accepted":1})")};
    }

    // Replaces a route's replies, taken in turn, the last one repeating. The server takes its
    // script when the first agent is made: set it before.
    void script(const std::string& route, std::vector<Outcome> outcomes) { routes_[route] = std::move(outcomes); }

    ~AgentFixture() override {
        for (const auto& agent : agents)
            run(agent->stop());
        if (diagnostics)
            run(diagnostics->stop());
        // Lets the channel client's loop see its stop before the loop thread goes away.
        std::this_thread::sleep_for(20ms);
    }

    VarnelAgent::Options options() {
        VarnelAgent::Options options;
        options.cups = cups;
        options.bonjour = bonjour;
        options.reverb.connector = connector;
        options.reverb.backoffSleep = [](ReverbClient::Seconds) -> Awaitable<void> {
            // Short, but long enough that a failing connection does not spin the loop.
            boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, 5ms);
            co_await timer.async_wait(boost::asio::use_awaitable);
        };
        options.probeTimeout = 500ms;
        options.runner.reportWaitScale = 0.001;
        return options;
    }

    // A reporter that sends a moment after each report, to the same scripted server.
    void withDiagnostics() {
        installScripts();
        DiagnosticsReporter::Timings timings;
        timings.flushDelay = 1ms;
        timings.retryDelay = 1h;
        diagnostics = DiagnosticsReporter::make(
            loop.loop().executor(), api, std::make_shared<SilentLogger>(),
            []() -> Awaitable<std::optional<std::int64_t>> { co_return 7; }, timings);
    }

    std::shared_ptr<VarnelAgent> makeAgent(Timings timings = quiet()) {
        return makeAgent(timings, options());
    }
    std::shared_ptr<VarnelAgent> makeAgent(Timings timings, VarnelAgent::Options agentOptions) {
        installScripts();
        auto agent = VarnelAgent::make(loop.loop().executor(), settings, api, logger, timings, diagnostics,
                                       std::move(agentOptions));
        agents.push_back(agent);
        return agent;
    }

    void installScripts() {
        if (std::exchange(installed_, true))
            return;
        for (auto& [route, outcomes] : routes_)
            http->script(route, outcomes);
    }

    // The server side of a healthy channel: welcome on open, confirm every subscription.
    void serveChannel() {
        connector->onOpen = [](FakeWebSocket& socket) {
            socket.pushText(
                R"({"event":"pusher:connection_established","data":"{\"socket_id\":\"123.456\",\"activity_timeout\":30}"})");
        };
        connector->onSend = [](FakeWebSocket& socket, const std::string& frame) {
            if (frame.find("pusher:subscribe") != std::string::npos) {
                socket.pushText(
                    R"({"event":"pusher_internal:subscription_succeeded","channel":"private-device.7","data":"{}"})");
            }
        };
    }
    // A frame from the server on the newest socket.
    void push(const std::string& frame) {
        onLoop([this, frame] { connector->last()->pushText(frame); });
    }

    template <class T> T run(Awaitable<T> awaitable) { return loop.run(std::move(awaitable)); }

    template <class F> std::invoke_result_t<F&> onLoop(F body) { return loop.onLoop(std::move(body)); }

    bool waitFor(std::function<bool()> condition, std::chrono::milliseconds limit = 5s) {
        return loop.waitFor(std::move(condition), limit);
    }

    std::size_t requests(const std::string& route) const { return http->count(route); }
    bool waitForRequests(const std::string& route, std::size_t count, std::chrono::milliseconds limit = 5s) {
        return waitFor([this, route, count] { return http->count(route) >= count; }, limit);
    }
    Status status(const std::shared_ptr<VarnelAgent>& agent) {
        // Carried in an optional: what crosses to the test thread must have a default value.
        return *onLoop([agent] { return std::optional<Status>(agent->currentStatus()); });
    }
    std::size_t taskCount(const std::shared_ptr<VarnelAgent>& agent) {
        return onLoop([agent] { return agent->runningTaskCount(); });
    }

    // Recorded lines ("[LEVEL] message") that equal the line exactly, or contain the text.
    std::size_t countExact(const std::string& line) const {
        const auto lines = logger->messages();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    std::size_t countContaining(const std::string& text) const {
        const auto lines = logger->messages();
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit = 5s) {
        return waitFor([this, line] { return countExact(line) > 0; }, limit);
    }

    // The kinds of every diagnostic event the server received, in order. The first form is for
    // conditions of waitFor, which already run on the loop.
    std::vector<std::string> reportedKindsOnLoop() const {
        std::vector<std::string> kinds;
        for (const auto& request : http->requests(eventsRoute)) {
            // Named: a range-for over a member of a temporary would walk freed memory.
            const auto batch = json::parse(request.body.value_or(""));
            for (const auto& event : batch.at("events"))
                kinds.push_back(json::requireString(event, "kind"));
        }
        return kinds;
    }
    std::vector<std::string> reportedKinds() {
        return onLoop([this] { return reportedKindsOnLoop(); });
    }

    LoopFixture loop;
    std::shared_ptr<ScriptedHttpTransport> http = std::make_shared<ScriptedHttpTransport>();
    std::shared_ptr<VarnelAPIClient> api = std::make_shared<VarnelAPIClient>(
        VarnelAPIClient::Configuration{*parseAbsoluteUrl("https://varnel.test"), "1.0.4"}, "device-token", http);
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<FakeCupsApi> cups = std::make_shared<FakeCupsApi>();
    std::shared_ptr<FakeServiceResolver> bonjour = std::make_shared<FakeServiceResolver>();
    std::shared_ptr<FakeWebSocketConnector> connector =
        std::make_shared<FakeWebSocketConnector>(loop.loop().executor());
    AgentSettings settings{7, "Test Box", *parseAbsoluteUrl("https://varnel.test"),
                           ReverbSettings{"app-key", "127.0.0.1", 8080, "http"}};
    std::shared_ptr<DiagnosticsReporter> diagnostics;
    std::vector<std::shared_ptr<VarnelAgent>> agents;

private:
    std::map<std::string, std::vector<Outcome>> routes_;
    bool installed_ = false;
};

} // namespace varnel::testing
