#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/JobRunner.hpp"
#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Platform/ServiceResolving.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/TaskGroup.hpp"
#include "VarnelKit/Transport/DefaultTransportResolver.hpp"
#include "VarnelKit/Transport/PrinterDiscovery.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace varnel {

class DiagnosticsReporter;

// The long-running heart of an enrolled computer: owns the job runner, the transport resolver,
// the printer inventory, the real-time channel client and four background loops (job poll,
// heartbeat, printer rescan, printer status check).
//
// An actor: every call is made on the agent loop given at creation. Each loop holds the agent
// weakly until it begins and strongly from then on, so an agent dropped without stop() keeps
// running; its owners always stop it.
class VarnelAgent : public std::enable_shared_from_this<VarnelAgent> {
public:
    using Duration = std::chrono::steady_clock::duration;

    struct Timings {
        Duration pollWhenConnected;
        Duration pollWhenDisconnected;
        Duration heartbeat;
        Duration printerRescan;
        Duration printerStatusCheck;

        // What both programs run with: 60, 15, 60, 300 and 45 seconds.
        static Timings production() {
            using std::chrono::seconds;
            return Timings{seconds(60), seconds(15), seconds(60), seconds(300), seconds(45)};
        }
    };

    class Status {
    public:
        enum class Kind { disconnected, updateRequired, notEnrolled, connecting, connected, accessRevoked };

        static Status disconnected(std::string reason) { return {Kind::disconnected, std::move(reason)}; }
        static Status updateRequired(std::string minimumVersion) {
            return {Kind::updateRequired, std::move(minimumVersion)};
        }
        static Status notEnrolled() { return {Kind::notEnrolled, {}}; }
        static Status connecting() { return {Kind::connecting, {}}; }
        static Status connected() { return {Kind::connected, {}}; }
        static Status accessRevoked() { return {Kind::accessRevoked, {}}; }

        Kind kind() const noexcept { return kind_; }
        // disconnected: the reason.
        const std::string& reason() const noexcept { return text_; }
        // updateRequired: the minimum version.
        const std::string& minimumVersion() const noexcept { return text_; }

        // The case, and for the two cases that carry text, the text exactly.
        bool operator==(const Status& other) const = default;

    private:
        Status(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
        Kind kind_;
        std::string text_;
    };

    // Called synchronously on the agent loop; must not block.
    using StatusObserver = std::function<void(const Status&)>;

    // What the machine is reached through; the defaults are the real ones.
    struct Options {
        std::shared_ptr<CupsApi> cups;              // none: the system's libcups
        std::shared_ptr<ServiceResolving> bonjour;  // none: the system's Avahi resolver
        ReverbClient::Options reverb;
        JobRunner::Options runner;
        Duration probeTimeout = std::chrono::seconds(2);
    };

    static constexpr std::size_t seenMaxSize = 2000;
    static constexpr std::size_t seenTargetSize = 1000;

    // Starts nothing, opens nothing.
    static std::shared_ptr<VarnelAgent> make(Executor executor, AgentSettings settings,
                                             std::shared_ptr<VarnelAPIClient> api,
                                             std::shared_ptr<AgentLogging> logger, Timings timings,
                                             std::shared_ptr<DiagnosticsReporter> diagnostics, Options options);
    static std::shared_ptr<VarnelAgent> make(Executor executor, AgentSettings settings,
                                             std::shared_ptr<VarnelAPIClient> api,
                                             std::shared_ptr<AgentLogging> logger, Timings timings,
                                             std::shared_ptr<DiagnosticsReporter> diagnostics = nullptr);
    ~VarnelAgent();
    VarnelAgent(const VarnelAgent&) = delete;
    VarnelAgent& operator=(const VarnelAgent&) = delete;

    // Replaces the observer. It is called on each change of status, and with the unchanged status
    // when the update offer changes.
    void onStatusChange(StatusObserver observer);
    const Status& currentStatus() const noexcept { return status_; }
    const std::vector<ReportedPrinter>& printers() const noexcept { return lastReportedPrinters_; }
    const std::optional<VarnelAPIClient::AgentUpdate>& availableUpdate() const noexcept { return availableUpdate_; }

    // Rescans, probes and publishes the printers, then opens the real-time channel and starts the
    // four loops. Ignored while running; never throws. A stop() that comes during the first rescan
    // is honoured: nothing is started.
    Awaitable<void> start();
    // Stops everything the agent runs and returns once it has ended. Before anything is awaited,
    // the channel client takes no new frame (a job pushed from now on is not run) and the loops,
    // the client's connect loop (where pushed jobs and the drain after a connection run) and a
    // pending reconnect are all cancelled, so no job is fetched after stop() was called, whoever
    // started it; then all of them are awaited, never the task stop() itself runs in. A job under
    // way ends as the job runner's table says: a write to a printer or a submission to the print
    // scheduler may finish within Options::runner.writeGrace, and a job that reached the printer is
    // reported within Options::runner.shieldedReportLimit of the stop (or of the end of its grace).
    // For a job handed to the print scheduler, half of that limit goes first to one last request
    // to it (the cancel of a submission given up before the document's end, or the look at a
    // watched job, cancelled when it still waits), and the report has the other half.
    //
    // So stop() returns within writeGrace + shieldedReportLimit, whatever the server, the printers
    // and the print scheduler do, a remote scheduler included: a scheduler call that cannot be cut
    // short (a name lookup, a connect, one that waits for a free pool thread) is left to end on its
    // own once its share has passed, and the job is reported as one that may still print. With the
    // server answering, the stop takes the grace and one report's round trip. Afterwards no job of
    // this agent runs and none starts. Every call, a second one during the first included, returns
    // only once all that any stop took has ended. Harmless when repeated or before any start; never
    // throws.
    Awaitable<void> stop();
    // One full rescan; works before start() too. Fails only for its caller's cancellation, which
    // ends it without waiting for the scheduler.
    Awaitable<void> rescanPrinters();

    // Test hooks.
    std::size_t runningTaskCount() const noexcept { return tasks_.size(); }
    bool hasReverbClient() const noexcept { return reverb_ != nullptr; }
    const std::shared_ptr<JobRunner>& runner() const noexcept { return runner_; }
    Awaitable<void> startForTesting();
    Awaitable<void> stopFromInsideALoopForTesting();

    // The discovered printers first, then the assigned ones whose key was not discovered.
    static std::vector<ReportedPrinter> merge(const std::vector<ReportedPrinter>& discovered,
                                              const std::vector<ReportedPrinter>& assigned);

private:
    VarnelAgent(Executor executor, AgentSettings settings, std::shared_ptr<VarnelAPIClient> api,
                std::shared_ptr<AgentLogging> logger, Timings timings,
                std::shared_ptr<DiagnosticsReporter> diagnostics, Options options);

    // A task of this run: a body that escapes with an error (none should) is logged, so that
    // stop() has nothing to rethrow.
    std::shared_ptr<Task> spawnTask(Task::Body body);
    void startTasks();
    static Awaitable<void> stopInside(std::weak_ptr<VarnelAgent> agent);

    // What the channel client's handler awaits for each event; the event is dropped when the
    // agent is gone.
    static Awaitable<void> deliver(std::weak_ptr<VarnelAgent> agent, ReverbClient::Event event);
    Awaitable<void> handle(ReverbClient::Event event);
    void handleReconnectRequested(std::int64_t afterMilliseconds);
    static Awaitable<void> restartAfterRequestedReconnect(std::weak_ptr<VarnelAgent> agent,
                                                          std::shared_ptr<ReverbClient> client,
                                                          std::shared_ptr<AgentLogging> logger,
                                                          std::int64_t afterMilliseconds);
    void setStatus(Status status);
    void reportStatusChange(const Status& from, const Status& to);

    // Both run inside the heartbeat task and end with stop(), which skips that task.
    Awaitable<void> handleCredentialRejected();
    void noteAvailableUpdate(std::optional<VarnelAPIClient::AgentUpdate> update);
    Awaitable<void> handleUpdateRequired(std::string minimumVersion);

    // The four loops have one shape: sleep the interval (read afresh on every pass), then one pass,
    // until the task is cancelled or a pass ends the loop by giving false. The agent is taken
    // weakly, by value: a coroutine's lambda captures do not live in its frame.
    using Interval = Duration (*)(const VarnelAgent&);
    using Pass = Awaitable<bool> (*)(VarnelAgent&);
    static Awaitable<void> runLoop(std::weak_ptr<VarnelAgent> agent, Interval interval, Pass pass);
    static Awaitable<bool> pollPass(VarnelAgent& agent);
    static Awaitable<bool> heartbeatPass(VarnelAgent& agent);
    static Awaitable<bool> rescanPass(VarnelAgent& agent);
    static Awaitable<bool> statusPass(VarnelAgent& agent);

    Awaitable<std::vector<ReportedPrinter>> fetchAssignedPrinters();
    Awaitable<void> refreshPrinterStatus();
    Awaitable<void> publish(std::vector<ReportedPrinter> printers);

    Executor executor_;
    AgentSettings settings_;
    std::shared_ptr<VarnelAPIClient> api_;
    std::shared_ptr<DefaultTransportResolver> resolver_;
    std::shared_ptr<JobRunner> runner_;
    PrinterDiscovery discovery_;
    ReachabilityProbe probe_;
    std::shared_ptr<AgentLogging> logger_;
    Timings timings_;
    Options options_;
    std::optional<VarnelAPIClient::AgentUpdate> availableUpdate_;
    std::shared_ptr<ReverbClient> reverb_;
    std::vector<std::shared_ptr<Task>> tasks_;
    // What stops have taken and not yet seen end, so that every stop() awaits all of it.
    std::vector<std::shared_ptr<Task>> stoppingTasks_;
    std::vector<std::shared_ptr<ReverbClient>> stoppingClients_;
    // The restart that follows a reconnect the server asked for.
    TaskGroup restarts_;
    Status status_ = Status::connecting();
    std::vector<ReportedPrinter> lastReportedPrinters_;
    StatusObserver statusObserver_;
    std::shared_ptr<DiagnosticsReporter> diagnostics_;
    // Read from /etc/os-release at the first heartbeat, not at every one.
    std::optional<std::string> osVersion_;
    // Raised by every stop(); start() compares it across its first rescan.
    std::uint64_t stopGeneration_ = 0;
};

std::string describe(const VarnelAgent::Status& status);

} // namespace varnel
