#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/SelfTest/DiagnosticsStubProtocol.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/SelfTest/SuiteText.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace varnel::SelfTest {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Stub = DiagnosticsStubProtocol;

constexpr std::int64_t enrolledDevice = 7;
constexpr auto pollInterval = 50ms;
constexpr auto shortBound = 15s;
constexpr auto longBound = 60s;
constexpr auto pause = 3s;
constexpr auto raceLimit = 10s;

// The reporter is made on the loop, which it then lives on, with its real timings: the suite
// shows what a user's agent does, not a sped-up copy.
Awaitable<std::shared_ptr<DiagnosticsReporter>> makeReporter(std::optional<std::int64_t> deviceId) {
    const auto loop = co_await boost::asio::this_coro::executor;
    VarnelAPIClient::Configuration configuration{Url("https://diagnostics.selftest.invalid"), "1.0.1",
                                                 std::chrono::duration<double>(30.0)};
    auto api = std::make_shared<VarnelAPIClient>(std::move(configuration), std::string("selftest-key"),
                                                 Stub::session());
    DiagnosticsReporter::DeviceIdProvider provider = [deviceId]() -> Awaitable<std::optional<std::int64_t>> {
        co_return deviceId;
    };
    co_return DiagnosticsReporter::make(loop, std::move(api), std::make_shared<SilentLogger>(),
                                        std::move(provider));
}

// Runs synchronous calls on the reporter's loop, where the reporter may be touched.
Awaitable<void> onLoop(std::function<void()> work) {
    work();
    co_return;
}

void report(TestHarness::Context& c, const std::shared_ptr<DiagnosticsReporter>& reporter,
            AgentEventKind kind, std::optional<std::string> message) {
    c.await(onLoop([&] { reporter->report(kind, std::move(message)); }));
}

void stop(TestHarness::Context& c, const std::shared_ptr<DiagnosticsReporter>& reporter) {
    c.await(reporter->stop());
}

// Polls the stub until the condition holds; records the message when the bound passes first.
void waitUntil(TestHarness::Context& c, Clock::duration bound,
               const std::function<bool(const Stub::Snapshot&)>& condition, const std::string& failureMessage,
               SourceLocation location = SourceLocation::current()) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
        if (condition(Stub::snapshot()))
            return;
        std::this_thread::sleep_for(pollInterval);
    }
    c.record(failureMessage, location);
}

std::function<bool(const Stub::Snapshot&)> someBodyContains(std::string text) {
    return [text = std::move(text)](const Stub::Snapshot& snapshot) {
        return std::any_of(snapshot.bodies.begin(), snapshot.bodies.end(),
                           [&](const std::string& body) { return contains(body, text); });
    };
}

Awaitable<Executor> loopExecutor() {
    co_return co_await boost::asio::this_coro::executor;
}

Awaitable<bool> stopThenTrue(std::shared_ptr<DiagnosticsReporter> reporter) {
    co_await reporter->stop();
    co_return true;
}

} // namespace

void registerDiagnosticsTests(TestHarness& h) {
    const std::string suite = "Diagnostics";

    h.test(suite, "sends what it is given", [](TestHarness::Context& c) {
        Stub::reset();
        const auto reporter = c.await(makeReporter(enrolledDevice));
        report(c, reporter, AgentEventKind::spoolerFailure, "The print service stopped responding.");
        waitUntil(c, shortBound, someBodyContains("spooler_failure"), "nothing was reported");
        stop(c, reporter);
    });

    h.test(suite, "batches a burst into one request", [](TestHarness::Context& c) {
        Stub::reset();
        const auto reporter = c.await(makeReporter(enrolledDevice));
        c.await(onLoop([&] {
            for (int i = 0; i < 10; ++i)
                reporter->report(AgentEventKind::printerUnreachable, "attempt " + std::to_string(i));
        }));
        waitUntil(
            c, shortBound, [](const Stub::Snapshot& s) { return !s.bodies.empty(); }, "nothing was reported");
        std::this_thread::sleep_for(pause);
        const auto snapshot = Stub::snapshot();
        c.assertEqual(snapshot.requestCount, std::int64_t(1), "the burst was not batched");
        if (snapshot.bodies.empty() || !contains(snapshot.bodies.front(), "attempt 9")) {
            c.record("the last event of the burst was lost");
        }
        stop(c, reporter);
    });

    h.test(suite, "keeps events when the server is down", [](TestHarness::Context& c) {
        Stub::reset();
        Stub::setFailing(true);
        const auto reporter = c.await(makeReporter(enrolledDevice));
        report(c, reporter, AgentEventKind::connectionLost, "lost it");
        waitUntil(
            c, shortBound, [](const Stub::Snapshot& s) { return s.requestCount >= 1; },
            "never attempted a send");
        Stub::setFailing(false);
        waitUntil(c, longBound, someBodyContains("lost it"),
                  "the queued event was lost when the server refused it");
        stop(c, reporter);
    });

    h.test(suite, "does not grow without bound", [](TestHarness::Context& c) {
        Stub::reset();
        Stub::setFailing(true);
        const auto reporter = c.await(makeReporter(enrolledDevice));
        c.await(onLoop([&] {
            for (int i = 0; i < 3000; ++i)
                reporter->report(AgentEventKind::printerUnreachable, "event " + std::to_string(i));
        }));
        Stub::setFailing(false);
        report(c, reporter, AgentEventKind::connectionRestored, std::nullopt);
        waitUntil(c, longBound, someBodyContains("dropped because the backlog was full"),
                  "dropped events were never admitted to");
        stop(c, reporter);
    });

    h.test(suite, "holds events until the device is enrolled", [](TestHarness::Context& c) {
        Stub::reset();
        const auto reporter = c.await(makeReporter(std::nullopt));
        report(c, reporter, AgentEventKind::authenticationFailed, "refused at enrollment");
        std::this_thread::sleep_for(pause);
        c.assertEqual(Stub::requestCount(), std::int64_t(0),
                      "reported against a device that does not exist yet");
        stop(c, reporter);
    });

    h.test(suite, "stopping returns rather than hanging", [](TestHarness::Context& c) {
        Stub::reset();
        Stub::setFailing(true);
        const auto reporter = c.await(makeReporter(enrolledDevice));
        report(c, reporter, AgentEventKind::agentStopped, "shutting down");
        const auto loop = c.await(loopExecutor());
        // The losing stop() is not waited for: the test only needs to know which came first.
        auto stopped = boost::asio::co_spawn(loop, stopThenTrue(reporter), boost::asio::use_future);
        if (stopped.wait_for(raceLimit) != std::future_status::ready) {
            c.record("stop() hung when the server was unreachable");
        }
    });
}

} // namespace varnel::SelfTest
