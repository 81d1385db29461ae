#include "CLI.hpp"
#include "QuitBudget.hpp"
#include "SignalWatcher.hpp"
#include "StatusPrinter.hpp"
#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Agent/InstanceLock.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Support/AgentLogger.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/LogFile.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace varnel::CLI {

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::string alreadyRunning(const std::filesystem::path& lockFile) {
    return "Varnel is already running: the tray application or another varnel-agent run holds " +
           lockFile.string() + ". Quit it first.";
}

Awaitable<std::optional<std::int64_t>> enrolledDeviceId(std::int64_t id) {
    co_return id;
}

// Ends the process without running destructors: a blocking call still on the pool, or a reader
// that stopped reading standard output, could hold a destructor for ever. The first caller drains
// the log and exits; a later one gives it that long, then exits itself.
[[noreturn]] void exitProcess(const std::shared_ptr<AgentLogger>& logger, int status) {
    static std::atomic_flag exiting = ATOMIC_FLAG_INIT;
    if (exiting.test_and_set()) {
        std::this_thread::sleep_for(QuitBudget::logDrainLimit + 500ms);
        std::_Exit(status);
    }
    (void)logger->flushFor(QuitBudget::logDrainLimit);
    std::_Exit(status);
}

Awaitable<void> shutDown(std::shared_ptr<DiagnosticsReporter> reporter, std::shared_ptr<VarnelAgent> agent,
                         std::shared_ptr<AgentLogger> logger, int status) {
    reporter->report(AgentEventKind::agentStopped, std::string("Varnel shut down."));
    // The agent's stop begins beside the reporter's last flush, not after it: a write under way
    // then has its whole grace, and its report its limit, within the steps' limit.
    const auto executor = co_await asio::this_coro::executor;
    auto steps = asio::experimental::make_parallel_group(asio::co_spawn(executor, reporter->stop(), asio::deferred),
                                                         asio::co_spawn(executor, agent->stop(), asio::deferred));
    (void)co_await steps.async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
    exitProcess(logger, status);
}

// Makes sure the process ends in time when a step of the shut-down hangs.
void startExitDeadline(const std::shared_ptr<AgentLogger>& logger, int status) {
    static std::once_flag started;
    std::call_once(started, [&logger, status] {
        std::thread([logger, status] {
            std::this_thread::sleep_for(QuitBudget::stepsLimit);
            exitProcess(logger, status);
        }).detach();
    });
}

} // namespace

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// awaited calls are inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<void> run(const Options& /*options: --verbose changes nothing*/, Environment& /*environment*/) {
    // Nothing is created before the session is known to be complete: no log file, no event.
    Session session = loadSession(false);
    // One agent per enrollment: the tray application and every other `run` take the same lock.
    // Held until the process ends, which never returns from here.
    InstanceLock lock(InstanceLock::defaultFile());
    if (!lock.acquire(std::chrono::milliseconds(0)))
        throw CLIError::message(alreadyRunning(lock.file()));
    const auto executor = co_await asio::this_coro::executor;

    std::shared_ptr<LogFile> file;
    try {
        file = std::make_shared<LogFile>(LogFile::Configuration());
    } catch (const Error&) {
        // No home folder: the agent still runs, logging to the journal and standard output.
    }
    const auto logger = std::make_shared<AgentLogger>("com.varnel.agent", "agent", true, file);

    const std::int64_t deviceId = session.settings.deviceId;
    DiagnosticsReporter::DeviceIdProvider provider = [deviceId] { return enrolledDeviceId(deviceId); };
    const auto reporter = DiagnosticsReporter::make(executor, session.api, logger, std::move(provider));
    const std::string version = AgentVersion::current;
    DiagnosticsReporter::Context context{{"agent_version", version}};
    reporter->report(AgentEventKind::agentStarted,
                     "Varnel " + version + " started on " + session.settings.deviceName + ".", std::nullopt,
                     std::move(context));

    VarnelAgent::Options agentOptions;
    agentOptions.runner.writeGrace = QuitBudget::writeGrace;
    agentOptions.runner.shieldedReportLimit = QuitBudget::reportLimit;
    const auto agent =
        VarnelAgent::make(executor, session.settings, session.api, logger, VarnelAgent::Timings::production(),
                          reporter, std::move(agentOptions));
    // Status lines take the echo's own queue: a terminal that is not read never holds up the loop.
    auto statusPrinter =
        std::make_shared<StatusPrinter>([logger](std::string_view line) { logger->print(line); });
    agent->onStatusChange(
        [statusPrinter](const VarnelAgent::Status& status) { statusPrinter->show(status); });
    co_await agent->start();

    // From here on an interrupt or a service manager's stop ends the agent in order; before, the
    // default action ends the process. Every delivery starts the same steps; the first to finish
    // exits. The signals are seen on a thread of their own and the deadline counts from the first
    // one's arrival, so a loop that is busy when it comes delays neither.
    const auto stop = [executor, reporter, agent, logger](int status) {
        startExitDeadline(logger, status);
        asio::post(executor, [executor, reporter, agent, logger, status] {
            asio::co_spawn(executor, shutDown(reporter, agent, logger, status), asio::detached);
        });
    };
    SignalWatcher signals([stop](int /*signal*/) { stop(0); });
    // Where another copy took the lock at its path after this one's was removed or replaced, this
    // one stops, so that one agent runs; that is a failure of this run.
    lock.keep({
        [logger](const std::string& line) { logger->info(line); },
        [logger, stop](const std::string& why) {
            logger->error(why);
            stop(1);
        },
        [logger](const std::string& line) { logger->error(line); },
    });
    logger->print("Agent running. Press Ctrl-C to stop.");
    // The steps end the process; until then the agent runs.
    asio::steady_timer forever(executor, asio::steady_timer::time_point::max());
    for (;;)
        co_await forever.async_wait(asio::use_awaitable);
}
#pragma GCC diagnostic pop

} // namespace varnel::CLI
