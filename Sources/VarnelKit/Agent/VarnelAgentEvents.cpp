#include "VarnelKit/Agent/VarnelAgent.hpp"

#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"

#include <algorithm>
#include <exception>
#include <utility>

namespace varnel {

using APIError = VarnelAPIClient::APIError;
using EventKind = ReverbClient::Event::Kind;

// MARK: Channel events

Awaitable<void> VarnelAgent::deliver(std::weak_ptr<VarnelAgent> agent, ReverbClient::Event event) {
    if (const auto strong = agent.lock())
        co_await strong->handle(std::move(event));
}

Awaitable<void> VarnelAgent::handle(ReverbClient::Event event) {
    switch (event.kind) {
    case EventKind::disconnected:
        setStatus(Status::disconnected(std::move(event.reason)));
        break;
    case EventKind::jobCreated:
        co_await runner_->run(event.jobId);
        break;
    case EventKind::jobCancelled:
        // A job already running is not interrupted: its labels may be half out of the printer.
        logger_->info("Job " + NumberText::integer(event.jobId) + " cancelled server-side");
        break;
    case EventKind::reconnectRequested:
        handleReconnectRequested(event.afterMilliseconds);
        break;
    case EventKind::connected:
        setStatus(Status::connected());
        co_await runner_->drainPending(settings_.deviceId);
        break;
    case EventKind::printersRescanRequested:
        co_await rescanPrinters();
        break;
    }
}

void VarnelAgent::handleReconnectRequested(std::int64_t afterMilliseconds) {
    logger_->info("Server asked us to reconnect in " + NumberText::integer(afterMilliseconds) + "ms");
    // A task of its own, not one of the loops': it outlives the handler that asked for it (which
    // runs in the client's connect loop, the loop it restarts), and a stop ends its wait.
    restarts_.spawn(executor_, [agent = weak_from_this(), client = reverb_, logger = logger_, afterMilliseconds] {
        return restartAfterRequestedReconnect(agent, client, logger, afterMilliseconds);
    });
}

Awaitable<void> VarnelAgent::restartAfterRequestedReconnect(std::weak_ptr<VarnelAgent> agent,
                                                            std::shared_ptr<ReverbClient> client,
                                                            std::shared_ptr<AgentLogging> logger,
                                                            std::int64_t afterMilliseconds) {
    if (client)
        client->stop();
    (void)co_await sleepFor(std::chrono::milliseconds(std::max<std::int64_t>(0, afterMilliseconds)));
    if (!client)
        co_return;
    // A client the agent stopped or replaced during the wait stays down: reviving it would print
    // for an agent that said it stopped, or run a second channel next to its successor.
    const auto owner = agent.lock();
    if (!owner || owner->tasks_.empty() || owner->reverb_ != client) {
        logger->debug("Skipping the requested reconnect: the agent has stopped or replaced its channel client");
        co_return;
    }
    client->start();
    logger->debug("Reverb restarted after a server-requested reconnect");
}

// MARK: Status

void VarnelAgent::setStatus(Status status) {
    if (status == status_)
        return;
    const Status old = std::exchange(status_, std::move(status));
    // A copy: an observer may install another one while it runs.
    if (const auto observer = statusObserver_)
        observer(status_);
    reportStatusChange(old, status_);
}

void VarnelAgent::reportStatusChange(const Status& from, const Status& to) {
    if (!diagnostics_)
        return;
    const bool wasConnected = from.kind() == Status::Kind::connected;
    const bool isConnected = to.kind() == Status::Kind::connected;
    // report() queues and returns; the reporter sends on its own schedule.
    if (isConnected && !wasConnected) {
        diagnostics_->report(AgentEventKind::connectionRestored, "Reconnected to Varnel.");
    } else if (wasConnected && !isConnected) {
        diagnostics_->report(AgentEventKind::connectionLost,
                             "Lost the connection to Varnel. Labels sent while this Mac is offline will queue and "
                             "print when it reconnects.");
    }
}

// MARK: Heartbeat

// False once the server refused this agent: the agent has stopped and the loop ends.
Awaitable<bool> VarnelAgent::heartbeatPass(VarnelAgent& agent) {
    std::optional<std::string> minimumVersion;
    bool credentialRejected = false;
    try {
        if (!agent.osVersion_)
            agent.osVersion_ = MachineIdentity::osVersion();
        auto update = co_await agent.api_->heartbeat(agent.settings_.deviceId, agent.osVersion_);
        agent.noteAvailableUpdate(std::move(update));
    } catch (const APIError& error) {
        if (error.kind() == APIError::Kind::upgradeRequired) {
            minimumVersion = error.text();
        } else if (error.kind() == APIError::Kind::credentialRejected) {
            credentialRejected = true;
        } else {
            agent.logger_->debug("Heartbeat failed: " + error.description());
        }
    } catch (...) {
        // A stop that cut the request short is no failure of the server.
        const auto error = std::current_exception();
        if (!isCancellation(error))
            agent.logger_->debug("Heartbeat failed: " + describeException(error));
    }
    if (minimumVersion) {
        co_await agent.handleUpdateRequired(std::move(*minimumVersion));
        co_return false;
    }
    if (credentialRejected) {
        co_await agent.handleCredentialRejected();
        co_return false;
    }
    co_return true;
}

void VarnelAgent::noteAvailableUpdate(std::optional<VarnelAPIClient::AgentUpdate> update) {
    if (update == availableUpdate_)
        return;
    availableUpdate_ = std::move(update);
    if (availableUpdate_) {
        logger_->info("Varnel " + availableUpdate_->version + " is available. This Mac is running " +
                      AgentVersion::current + ".");
    }
    // The status is unchanged: the owner is told to read the offer again.
    if (const auto observer = statusObserver_)
        observer(status_);
}

Awaitable<void> VarnelAgent::handleUpdateRequired(std::string minimumVersion) {
    logger_->error("This version of Varnel is too old for the server and has stopped printing. Update to " +
                   minimumVersion + " or later.");
    setStatus(Status::updateRequired(std::move(minimumVersion)));
    co_await stop();
}

Awaitable<void> VarnelAgent::handleCredentialRejected() {
    logger_->error("Server rejected this Mac's credential \xE2\x80\x94 stopping. Set up again to reconnect.");
    // Before the status changes, so the server reads why before it reads that the connection went.
    if (diagnostics_) {
        diagnostics_->report(AgentEventKind::authenticationFailed,
                             "This Mac's access was removed. It has stopped printing until it is set up again.");
    }
    setStatus(Status::accessRevoked());
    co_await stop();
}

} // namespace varnel
