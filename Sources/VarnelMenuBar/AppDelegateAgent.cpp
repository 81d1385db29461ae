// Hosting the agent: starting it when this computer is enrolled, following its status, copying
// its view for the icon and the menu, and stopping it, never more than the quit allows.
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"

#include <QTimer>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_future.hpp>

namespace varnel {
namespace {

namespace asio = boost::asio;

struct Hosted {
    std::shared_ptr<VarnelAPIClient> api;
    std::shared_ptr<DiagnosticsReporter> diagnostics;
    std::shared_ptr<VarnelAgent> agent;
};

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

Awaitable<Hosted> makeHosted(AgentSettings settings, std::string token, AppDelegate::Services services,
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
    hosted.diagnostics = DiagnosticsReporter::make(executor, hosted.api, services.logger, std::move(provider),
                                                   services.reporterTimings);
    const auto display = AgentVersion::display();
    hosted.diagnostics->report(AgentEventKind::agentStarted,
                               "Varnel " + display + " started on " + settings.deviceName + ".", std::nullopt,
                               DiagnosticsReporter::Context{{"agent_version", display}});
    hosted.agent =
        VarnelAgent::make(executor, std::move(settings), hosted.api, services.logger,
                          VarnelAgent::Timings::production(), hosted.diagnostics, services.agentOptions);
    hosted.agent->onStatusChange(std::move(observer));
    co_return hosted;
}

Awaitable<AgentView> readView(std::shared_ptr<VarnelAgent> agent) {
    co_return AgentView{agent->printers(), agent->currentStatus(), agent->availableUpdate()};
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
// must not use up the time the agent needs to finish a label and close its channel.
Awaitable<void> stopBoth(std::shared_ptr<VarnelAgent> agent, std::shared_ptr<DiagnosticsReporter> diagnostics,
                         bool reportShutDown) {
    const auto executor = co_await asio::this_coro::executor;
    if (diagnostics && reportShutDown)
        diagnostics->report(AgentEventKind::agentStopped, std::string("Varnel shut down."));
    auto reporterStop = stopReporter(std::move(diagnostics));
    auto agentStop = stopAgent(std::move(agent));
    auto group = asio::experimental::make_parallel_group(
        asio::co_spawn(executor, std::move(reporterStop), asio::deferred),
        asio::co_spawn(executor, std::move(agentStop), asio::deferred));
    co_await group.async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
}

} // namespace

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// awaited calls are inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<void> AppDelegate::startIfEnrolled() {
    auto settings = AgentSettings::load();
    auto token = settings ? CredentialStore::deviceToken().load() : std::nullopt;
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
            if (agent_ && agent_ == weakAgent->lock())
                setStatus(status);
        });
    };
    auto hosted = co_await onLoop(makeHosted(std::move(*settings), std::move(*token), services_, deviceId_,
                                             noDeviceId, std::move(observer)));
    *weakAgent = hosted.agent;
    api_ = std::move(hosted.api);
    diagnostics_ = std::move(hosted.diagnostics);
    agent_ = hosted.agent;
    setStatus(Status::connecting());
    co_await onLoop(hosted.agent->start());
    co_await refresh();
}
#pragma GCC diagnostic pop

Awaitable<void> AppDelegate::refresh() {
    auto agent = agent_;
    if (!agent)
        co_return;
    auto view = co_await onLoop(readView(agent));
    // A refresh that began before a new enrollment must not show the old agent's view.
    if (agent_ != agent)
        co_return;
    printers_ = std::move(view.printers);
    status_ = std::move(view.status);
    availableUpdate_ = std::move(view.availableUpdate);
    updateIcon();
}

Awaitable<void> AppDelegate::stopHosted(bool reportShutDown) {
    auto agent = std::exchange(agent_, nullptr);
    auto diagnostics = std::exchange(diagnostics_, nullptr);
    api_.reset();
    if (agent || diagnostics)
        co_await onLoop(stopBoth(std::move(agent), std::move(diagnostics), reportShutDown));
}

Awaitable<void> AppDelegate::didEnroll(Enrollment::Success success) {
    co_await stopHosted();
    co_await startIfEnrolled();
    notify("Varnel is connected",
           "This Mac is enrolled as \"" + success.deviceName + "\". Your printers will appear in a moment.");
}

Awaitable<void> AppDelegate::disconnect() {
    co_await stopHosted();
    setSettings(std::nullopt);
    printers_.clear();
    CredentialStore::deviceToken().deleteItem();
    AgentSettings::clear();
    setStatus(Status::notEnrolled());
}

bool AppDelegate::shutDown(std::chrono::steady_clock::duration limit) {
    if (refreshTimer_)
        refreshTimer_->stop();
    auto agent = std::exchange(agent_, nullptr);
    auto diagnostics = std::exchange(diagnostics_, nullptr);
    api_.reset();
    if (!agent && !diagnostics)
        return true;
    auto stopped = asio::co_spawn(services_.loop.executor(),
                                  stopBoth(std::move(agent), std::move(diagnostics), true), asio::use_future);
    return stopped.wait_for(limit) == std::future_status::ready;
}

} // namespace varnel
