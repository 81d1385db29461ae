// Hosting the agent: starting it when this computer is enrolled, following its status, copying
// its view for the icon and the menu, and stopping it, never more than the quit allows. The agent,
// its reporter and its client live on the loop: the Qt thread holds them only in the delegate's
// fields, and hands them to coroutines on the loop, so the last reference to each always goes
// there, never here.
#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"

#include <QTimer>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <future>

namespace varnel {

// Made on the Qt thread; its event is set and awaited on the loop only, its future read from any
// thread, so the quit can wait for it with a deadline. The stop's completion holds it until the
// event is set, so it is never released with a wait pending.
struct AppDelegate::StopUnderWay {
    explicit StopUnderWay(const Executor& loop) : stopped(std::make_shared<AsyncEvent>(loop)) {}

    std::shared_ptr<AsyncEvent> stopped;
    std::promise<void> done;
    std::shared_future<void> ended = done.get_future().share();
};

namespace {

namespace asio = boost::asio;

struct Hosted {
    std::shared_ptr<VarnelAPIClient> api;
    std::shared_ptr<DiagnosticsReporter> diagnostics;
    std::shared_ptr<VarnelAgent> agent;
};

// Takes what the delegate hosts out of its fields, so that the last references go where the result
// goes (to the loop); none when it hosts nothing.
std::optional<Hosted> takeHosted(std::shared_ptr<VarnelAPIClient>& api,
                                 std::shared_ptr<DiagnosticsReporter>& diagnostics,
                                 std::shared_ptr<VarnelAgent>& agent) {
    Hosted hosted{std::exchange(api, nullptr), std::exchange(diagnostics, nullptr), std::exchange(agent, nullptr)};
    if (!hosted.api && !hosted.diagnostics && !hosted.agent)
        return std::nullopt;
    return hosted;
}

// What refresh() copies: the agent's getters give references that only the loop may read.
struct AgentView {
    std::vector<ReportedPrinter> printers;
    VarnelAgent::Status status = VarnelAgent::Status::connecting();
    std::optional<VarnelAPIClient::AgentUpdate> availableUpdate;
};

Awaitable<std::optional<std::int64_t>> readDeviceId(std::shared_ptr<std::atomic<std::int64_t>> copy,
                                                    std::int64_t none) {
    const auto id = copy->load();
    co_return id == none ? std::nullopt : std::optional<std::int64_t>(id);
}

Awaitable<Hosted> makeHosted(AgentSettings settings, std::string token, std::shared_ptr<AgentLogging> logger,
                             DiagnosticsReporter::Timings reporterTimings, VarnelAgent::Options agentOptions,
                             std::shared_ptr<std::atomic<std::int64_t>> deviceId, std::int64_t noDeviceId,
                             VarnelAgent::StatusObserver observer) {
    const auto executor = co_await asio::this_coro::executor;
    Hosted hosted;
    VarnelAPIClient::Configuration configuration{settings.serverURL, AgentVersion::display(),
                                                 std::chrono::duration<double>(30.0)};
    hosted.api = std::make_shared<VarnelAPIClient>(std::move(configuration), std::move(token));
    // The quit waits for the final flush on another thread, so the id is read from a copy
    // here, never from the Qt thread.
    auto provider = [deviceId, noDeviceId] { return readDeviceId(deviceId, noDeviceId); };
    hosted.diagnostics =
        DiagnosticsReporter::make(executor, hosted.api, logger, std::move(provider), reporterTimings);
    const auto display = AgentVersion::display();
    hosted.diagnostics->report(AgentEventKind::agentStarted,
                               "Varnel " + display + " started on " + settings.deviceName + ".", std::nullopt,
                               DiagnosticsReporter::Context{{"agent_version", display}});
    hosted.agent =
        VarnelAgent::make(executor, std::move(settings), hosted.api, std::move(logger),
                          VarnelAgent::Timings::production(), hosted.diagnostics, std::move(agentOptions));
    hosted.agent->onStatusChange(std::move(observer));
    co_return hosted;
}

Awaitable<AgentView> readView(std::shared_ptr<VarnelAgent> agent) {
    co_return AgentView{agent->printers(), agent->currentStatus(), agent->availableUpdate()};
}

Awaitable<void> startAgent(std::shared_ptr<VarnelAgent> agent) {
    co_await agent->start();
}

Awaitable<void> stopReporter(std::shared_ptr<DiagnosticsReporter> diagnostics) {
    if (diagnostics)
        co_await diagnostics->stop();
}

Awaitable<void> stopAgent(std::shared_ptr<VarnelAgent> agent) {
    if (agent)
        co_await agent->stop();
}

// The reporter's final flush and the agent's stop run side by side: a server that does not answer
// must not use up the time the agent needs to finish a label and close its channel. The client
// goes with this frame, on the loop.
Awaitable<void> stopBoth(Hosted hosted, bool reportShutDown) {
    const auto executor = co_await asio::this_coro::executor;
    if (hosted.diagnostics && reportShutDown)
        hosted.diagnostics->report(AgentEventKind::agentStopped, std::string("Varnel shut down."));
    auto reporterStop = stopReporter(std::move(hosted.diagnostics));
    auto agentStop = stopAgent(std::move(hosted.agent));
    auto group = asio::experimental::make_parallel_group(
        asio::co_spawn(executor, std::move(reporterStop), asio::deferred),
        asio::co_spawn(executor, std::move(agentStop), asio::deferred));
    co_await group.async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
}

// A stop, then the end of the one that was under way before it (none: no wait), so the latest stop
// ends only after every earlier one.
Awaitable<void> stopAfter(Hosted hosted, bool reportShutDown, std::shared_ptr<AsyncEvent> earlier) {
    co_await stopBoth(std::move(hosted), reportShutDown);
    if (earlier)
        co_await earlier->waitIgnoringCancellation();
}

Awaitable<void> waitUntilSet(std::shared_ptr<AsyncEvent> event) {
    co_await event->waitIgnoringCancellation();
}

} // namespace

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// awaited calls are inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<void> AppDelegate::startIfEnrolled() {
    StoredEnrollment stored;
    try {
        stored = StoredEnrollment::load(CredentialStore::deviceToken());
    } catch (const RefusedFile& refused) {
        // The launch's alert shows the reason; the log keeps it.
        services_.logger->error(refused.description());
    }
    auto& settings = stored.settings;
    auto& token = stored.token;
    if (!settings || !token) {
        setStatus(Status::notEnrolled());
        co_return;
    }
    setSettings(settings);
    auto poster = poster_;
    auto weakAgent = std::make_shared<std::weak_ptr<VarnelAgent>>();
    // Called on the loop; it must not block, so it only posts the status to the Qt thread.
    VarnelAgent::StatusObserver observer = [this, poster, weakAgent](const Status& status) {
        poster->post([this, weakAgent, status] {
            if (agent_ && isCurrentAgent(*weakAgent))
                setStatus(status);
        });
    };
    auto hosted = co_await onLoop(makeHosted(std::move(*settings), std::move(*token), services_.logger,
                                             services_.reporterTimings, services_.agentOptions, deviceId_,
                                             noDeviceId, std::move(observer)));
    // A start that overlapped another (an enrollment during the launch's start): the earlier agent
    // stops, rather than run on unseen beside this one.
    if (agent_ || diagnostics_ || api_)
        co_await stopHosted();
    *weakAgent = hosted.agent;
    api_ = std::move(hosted.api);
    diagnostics_ = std::move(hosted.diagnostics);
    agent_ = std::move(hosted.agent);
    setStatus(Status::connecting());
    co_await onLoop(startAgent(agent_));
    co_await refresh();
}
#pragma GCC diagnostic pop

bool AppDelegate::isCurrentAgent(const std::weak_ptr<VarnelAgent>& agent) const {
    return !agent.owner_before(agent_) && !agent_.owner_before(agent);
}

Awaitable<void> AppDelegate::refresh() {
    if (!agent_)
        co_return;
    const std::weak_ptr<VarnelAgent> asked = agent_;
    auto view = co_await onLoop(readView(agent_));
    // A refresh that began before a new enrollment must not show the old agent's view.
    if (!agent_ || !isCurrentAgent(asked))
        co_return;
    printers_ = std::move(view.printers);
    status_ = std::move(view.status);
    availableUpdate_ = std::move(view.availableUpdate);
    viewChanged();
}

Awaitable<void> AppDelegate::stopHosted(bool reportShutDown) {
    beginStop(reportShutDown);
    // What follows a stop (a new agent, the credential deleted, the new program started) waits for
    // the one under way too, when another step began it and took the agent before this one came.
    if (stopping_ && stopping_->ended.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        co_await onLoop(waitUntilSet(stopping_->stopped));
}

void AppDelegate::beginStop(bool reportShutDown) {
    auto hosted = takeHosted(api_, diagnostics_, agent_);
    if (!hosted)
        return;
    auto stop = std::make_shared<StopUnderWay>(services_.loop.executor());
    auto earlier = stopping_ ? stopping_->stopped : nullptr;
    stopping_ = stop;
    auto work = stopAfter(std::move(*hosted), reportShutDown, std::move(earlier));
    auto ended = [stop, logger = services_.logger](std::exception_ptr error) {
        if (error)
            logger->error("Varnel's agent did not stop cleanly: " + describeException(error));
        stop->stopped->set();
        stop->done.set_value();
    };
    asio::co_spawn(services_.loop.executor(), std::move(work), std::move(ended));
}

void AppDelegate::abandonHosted() {
    beginStop(false);
}

Awaitable<void> AppDelegate::didEnroll(Enrollment::Success success) {
    co_await stopHosted();
    co_await startIfEnrolled();
    notify("Varnel is connected",
           "This Mac is enrolled as \"" + success.deviceName + "\". Your printers will appear in a moment.");
}

Awaitable<void> AppDelegate::disconnect() {
    co_await stopHosted();
    std::string failure;
    try {
        StoredEnrollment::clear(CredentialStore::deviceToken());
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (!failure.empty()) {
        // Still enrolled: the agent runs again on what is stored.
        services_.logger->error("Varnel could not disconnect this Mac: " + failure);
        co_await startIfEnrolled();
        services_.alerts->run(Alert{Alert::Style::warning, "Varnel could not disconnect this Mac", failure, {"OK"}});
        co_return;
    }
    setSettings(std::nullopt);
    printers_.clear();
    setStatus(Status::notEnrolled());
}

bool AppDelegate::shutDown(std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (refreshTimer_)
        refreshTimer_->stop();
    const bool settled = endTakeover(deadline);
    beginStop(true);
    // Also a stop that a relaunch, a log-out or an enrollment began: a label it cuts is reported
    // only at its end, and a quit that ends the process sooner leaves the label to print again.
    if (!stopping_)
        return settled;
    return stopping_->ended.wait_until(deadline) == std::future_status::ready && settled;
}

} // namespace varnel
