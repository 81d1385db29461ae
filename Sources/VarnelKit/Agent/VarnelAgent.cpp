#include "VarnelKit/Agent/VarnelAgent.hpp"

#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <utility>

namespace varnel {

namespace {

// The machine's real components, for every one the caller left out.
VarnelAgent::Options withDefaults(VarnelAgent::Options options) {
    if (!options.cups)
        options.cups = systemCupsApi();
    if (!options.bonjour)
        options.bonjour = systemServiceResolver();
    return options;
}

} // namespace

std::shared_ptr<VarnelAgent> VarnelAgent::make(Executor executor, AgentSettings settings,
                                               std::shared_ptr<VarnelAPIClient> api,
                                               std::shared_ptr<AgentLogging> logger, Timings timings,
                                               std::shared_ptr<DiagnosticsReporter> diagnostics, Options options) {
    return std::shared_ptr<VarnelAgent>(new VarnelAgent(std::move(executor), std::move(settings), std::move(api),
                                                        std::move(logger), timings, std::move(diagnostics),
                                                        withDefaults(std::move(options))));
}

std::shared_ptr<VarnelAgent> VarnelAgent::make(Executor executor, AgentSettings settings,
                                               std::shared_ptr<VarnelAPIClient> api,
                                               std::shared_ptr<AgentLogging> logger, Timings timings,
                                               std::shared_ptr<DiagnosticsReporter> diagnostics) {
    return make(std::move(executor), std::move(settings), std::move(api), std::move(logger), timings,
                std::move(diagnostics), Options());
}

// Builds objects only: the CUPS and Avahi layers connect on their first call, not here.
VarnelAgent::VarnelAgent(Executor executor, AgentSettings settings, std::shared_ptr<VarnelAPIClient> api,
                         std::shared_ptr<AgentLogging> logger, Timings timings,
                         std::shared_ptr<DiagnosticsReporter> diagnostics, Options options)
    : executor_(std::move(executor)), settings_(std::move(settings)), api_(std::move(api)),
      resolver_(std::make_shared<DefaultTransportResolver>(options.cups)),
      runner_(JobRunner::make(api_, resolver_, logger, seenMaxSize, seenTargetSize, options.runner)),
      discovery_(options.cups), probe_(options.probeTimeout, options.cups, options.bonjour), logger_(logger),
      timings_(timings), options_(std::move(options)),
      restarts_([logger](std::exception_ptr error) {
          logger->error("Agent task ended with an error: " + describeException(error));
      }),
      diagnostics_(std::move(diagnostics)) {}

VarnelAgent::~VarnelAgent() = default;

void VarnelAgent::onStatusChange(StatusObserver observer) { statusObserver_ = std::move(observer); }

// MARK: Start

Awaitable<void> VarnelAgent::start() {
    const auto self = shared_from_this();
    if (!tasks_.empty()) {
        logger_->debug("Agent already running; ignoring a second start");
        co_return;
    }
    const auto generation = stopGeneration_;
    logger_->info("Varnel agent starting for device " + NumberText::integer(settings_.deviceId) + " (" +
                  settings_.deviceName + ")");
    co_await rescanPrinters();
    // The rescan takes seconds; whoever stopped the agent meanwhile was told it had stopped.
    if (stopGeneration_ != generation) {
        logger_->debug("Agent stopped while starting; not opening the channel or starting the loops");
        co_return;
    }
    // Another start that ran its rescan alongside this one has already started everything.
    if (!tasks_.empty()) {
        logger_->debug("Agent already running; ignoring a second start");
        co_return;
    }
    reverb_ = ReverbClient::make(executor_, settings_.reverb, settings_.deviceId, api_, logger_, options_.reverb);
    // Not a coroutine itself: the handler only makes the awaitable, whose frame owns its arguments.
    reverb_->onEvent([agent = weak_from_this()](ReverbClient::Event event) { return deliver(agent, std::move(event)); });
    reverb_->start();
    startTasks();
}

Awaitable<void> VarnelAgent::startForTesting() {
    if (tasks_.empty())
        startTasks();
    co_return;
}

std::shared_ptr<Task> VarnelAgent::spawnTask(Task::Body body) {
    auto onFailure = [logger = logger_](std::exception_ptr error) {
        logger->error("Agent task ended with an error: " + describeException(error));
    };
    return Task::spawn(executor_, std::move(body), std::move(onFailure));
}

void VarnelAgent::startTasks() {
    const std::weak_ptr<VarnelAgent> agent = weak_from_this();
    // The job poll: more often while the channel is down, since no job is pushed then.
    const Interval poll = [](const VarnelAgent& self) {
        return self.status_ == Status::connected() ? self.timings_.pollWhenConnected
                                                   : self.timings_.pollWhenDisconnected;
    };
    const Interval heartbeat = [](const VarnelAgent& self) { return self.timings_.heartbeat; };
    const Interval rescan = [](const VarnelAgent& self) { return self.timings_.printerRescan; };
    const Interval statusCheck = [](const VarnelAgent& self) { return self.timings_.printerStatusCheck; };
    tasks_.push_back(spawnTask([agent, poll] { return runLoop(agent, poll, &pollPass); }));
    tasks_.push_back(spawnTask([agent, heartbeat] { return runLoop(agent, heartbeat, &heartbeatPass); }));
    tasks_.push_back(spawnTask([agent, rescan] { return runLoop(agent, rescan, &rescanPass); }));
    tasks_.push_back(spawnTask([agent, statusCheck] { return runLoop(agent, statusCheck, &statusPass); }));
}

// MARK: Stop

Awaitable<void> VarnelAgent::stop() {
    const auto self = shared_from_this();
    logger_->info("Varnel agent stopping");
    // Everything is cancelled before anything is waited for: while this stop waits for one job's
    // grace or report, no other task may go on to fetch and print the next job (the drain after
    // the channel's connection runs in the client's connect loop, beside the four loops). A job
    // pushed from now on does not start; a start() that runs meanwhile makes a client of its own,
    // and a requested reconnect that wakes meanwhile finds none to revive.
    if (reverb_) {
        reverb_->cancel();
        stoppingClients_.push_back(std::exchange(reverb_, nullptr));
    }
    for (auto& task : std::exchange(tasks_, {})) {
        task->cancel();
        stoppingTasks_.push_back(std::move(task));
    }
    restarts_.cancelAll();
    ++stopGeneration_;

    // Everything taken by this stop or an earlier one that has not ended yet: a stop that comes
    // while another runs ends only when that one's work has ended too.
    const auto tasks = stoppingTasks_;
    const auto clients = stoppingClients_;
    // join() returns at once for the task this runs in, and is not cut short by its cancellation.
    for (const auto& task : tasks) {
        try {
            co_await task->join();
        } catch (...) {
            // The failure handler has logged what a task could have kept.
        }
    }
    for (const auto& client : clients) {
        co_await client->stopAndWait();
        std::erase(stoppingClients_, client);
    }
    co_await restarts_.joinAll();
    std::erase_if(stoppingTasks_, [](const auto& task) { return task->isFinished(); });
}

Awaitable<void> VarnelAgent::stopInside(std::weak_ptr<VarnelAgent> agent) {
    if (const auto strong = agent.lock())
        co_await strong->stop();
}

Awaitable<void> VarnelAgent::stopFromInsideALoopForTesting() {
    const auto self = shared_from_this();
    const std::weak_ptr<VarnelAgent> agent = weak_from_this();
    auto task = spawnTask([agent] { return stopInside(agent); });
    // In the list before anything can suspend, so the stop it makes finds itself there.
    tasks_.push_back(task);
    co_await task->join();
}

// MARK: Loops

Awaitable<void> VarnelAgent::runLoop(std::weak_ptr<VarnelAgent> weak, Interval interval, Pass pass) {
    const auto agent = weak.lock();
    if (!agent)
        co_return;
    while (true) {
        if (co_await isCancelled())
            co_return;
        // A sleep cut short by a stop is no error: the check below ends the loop.
        (void)co_await sleepFor(interval(*agent));
        if (co_await isCancelled())
            co_return;
        if (!co_await pass(*agent))
            co_return;
    }
}

Awaitable<bool> VarnelAgent::pollPass(VarnelAgent& agent) {
    co_await agent.runner_->drainPending(agent.settings_.deviceId);
    co_return true;
}

// MARK: Status text

std::string describe(const VarnelAgent::Status& status) {
    using Kind = VarnelAgent::Status::Kind;
    switch (status.kind()) {
    case Kind::disconnected:
        return "disconnected: " + status.reason();
    case Kind::updateRequired:
        return "update required: " + status.minimumVersion() + " or later";
    case Kind::notEnrolled:
        return "not enrolled";
    case Kind::connecting:
        return "connecting";
    case Kind::connected:
        return "connected";
    case Kind::accessRevoked:
        return "access revoked";
    }
    return "unknown";
}

} // namespace varnel
