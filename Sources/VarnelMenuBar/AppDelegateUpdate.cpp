// Installing an offered update and starting the new copy in place of this one.
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Agent/InstanceLock.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/Desktop.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"
#include "VarnelMenuBar/Takeover.hpp"
#include "VarnelMenuBar/UpdateFailureText.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <future>
#include <mutex>
#include <optional>
#include <sys/syscall.h>
#include <unistd.h>

namespace varnel {

namespace {

// The lock again after the new program did not take over; false when another copy holds it, or it
// cannot be taken (said in the log).
bool retake(InstanceLock& lock, AgentLogging& logger) {
    try {
        return lock.acquire(std::chrono::milliseconds(0));
    } catch (const InstanceLock::Failure& failure) {
        logger.error(failure.description());
        return false;
    }
}

} // namespace

// Shared by the Qt thread, which installs and starts the new program and may quit meanwhile, the
// loop, which installs, and the blocking pool, which swaps the folders and waits for that program.
struct AppDelegate::PendingTakeover {
    explicit PendingTakeover(std::string newVersion) : version(std::move(newVersion)) {}

    // From the install, just before its swap: refused once the quit has settled the update.
    void beginSwap() {
        const std::lock_guard guard(lock);
        if (quitting)
            throw OperationCancelled();
        swapBegun = true;
    }
    // From the quit: no swap begins from now on. True when one has begun.
    bool stopSwaps() {
        const std::lock_guard guard(lock);
        quitting = true;
        return swapBegun;
    }
    // The install, its result handed on as soon as the loop has it: the quit may need it while the
    // Qt thread, which awaits it too, is busy quitting.
    static Awaitable<InstalledUpdate> reporting(std::shared_ptr<PendingTakeover> pending,
                                                Awaitable<InstalledUpdate> install) {
        InstalledUpdate result;
        try {
            result = co_await std::move(install);
        } catch (...) {
            pending->installing.set_exception(std::current_exception());
            throw;
        }
        pending->installing.set_value(result);
        co_return result;
    }

    const std::string version;
    std::mutex lock;
    bool quitting = false;  // guarded by lock
    bool swapBegun = false; // guarded by lock
    std::promise<InstalledUpdate> installing;
    std::future<InstalledUpdate> installed = installing.get_future();
    Takeover::Interruption interruption;
    // Whether the new program took over, once the wait has ended.
    std::promise<bool> outcome;
    std::future<bool> tookOver = outcome.get_future();
    // Qt thread only: the install's result has reached it; the new program was started and is
    // waited for; the quit has settled the update, and the update leaves it as it is.
    std::optional<InstalledUpdate> received;
    bool waiting = false;
    bool endedByQuit = false;
};

namespace {

using namespace std::chrono_literals;

Awaitable<AppDelegate::InstalledUpdate> installWithUpdater(std::shared_ptr<AgentLogging> logger,
                                                           VarnelAPIClient::AgentUpdate offer,
                                                           std::function<void()> beforeSwap) {
    AgentUpdater::Places places;
    places.beforeStep = [beforeSwap = std::move(beforeSwap)](AgentUpdater::Step step) {
        if (step == AgentUpdater::Step::swap)
            beforeSwap();
    };
    // The updater's work keeps a pointer to it, so it lives in this frame until install ends.
    AgentUpdater updater(std::move(logger), std::make_shared<CurlHttpTransport>(), std::move(places));
    const auto location = co_await updater.install(std::move(offer), AgentUpdater::Progress());
    co_return AppDelegate::InstalledUpdate{location, updater.previousTree()};
}

Awaitable<void> putBack(AppDelegate::InstalledUpdate installed) {
    auto work = [installed] { AgentUpdater::putBack(installed.location, installed.previous); };
    co_await runBlocking(std::move(work));
}

// The program's end, as a pidfd tells it without a thread; at once when it has ended already or
// cannot be watched.
Awaitable<void> endOf(pid_t program) {
    const int ended = static_cast<int>(::syscall(SYS_pidfd_open, program, 0));
    if (ended < 0)
        co_return;
    boost::asio::posix::stream_descriptor descriptor(co_await boost::asio::this_coro::executor, ended);
    co_await descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                                   boost::asio::use_awaitable);
}

Awaitable<void> removeLeftovers(pid_t relauncher) {
    if (relauncher > 0)
        co_await endOf(relauncher);
    auto work = [] { AgentUpdater::removeLeftovers(); };
    co_await runBlocking(std::move(work));
}

} // namespace

void AppDelegate::installUpdate() {
    if (!availableUpdate_ || isUpdating_)
        return;
    isUpdating_ = true;
    rebuildMenu();
    spawn(runUpdate(*availableUpdate_));
}

void AppDelegate::removeUpdateLeftovers(pid_t relauncher) {
    spawn(onLoop(removeLeftovers(relauncher)));
}

Awaitable<void> AppDelegate::runUpdate(VarnelAPIClient::AgentUpdate offer) {
    const auto version = offer.version;
    // From here a quit settles what is installed: a swap the install has not begun yet does not
    // happen, and one that has is undone unless the new program has answered.
    const auto pending = std::make_shared<PendingTakeover>(version);
    takeover_ = pending;
    auto beforeSwap = [pending] { pending->beginSwap(); };
    InstalledUpdate installed;
    std::exception_ptr failure;
    try {
        auto install = services_.installer
                           ? services_.installer(std::move(offer), std::move(beforeSwap))
                           : installWithUpdater(services_.logger, std::move(offer), std::move(beforeSwap));
        installed = co_await onLoop(PendingTakeover::reporting(pending, std::move(install)));
    } catch (...) {
        failure = std::current_exception();
    }
    if (pending->endedByQuit)
        co_return;
    if (failure) {
        takeover_.reset();
        isUpdating_ = false;
        rebuildMenu();
        services_.alerts->run(Alert{Alert::Style::warning,
                                    "Varnel could not be updated",
                                    UpdateFailureText::describe(failure),
                                    {"OK"}});
        co_return;
    }
    pending->received = installed;
    co_await relaunch(pending);
}

Awaitable<void> AppDelegate::relaunch(std::shared_ptr<PendingTakeover> pending) {
    const InstalledUpdate installed = *pending->received;
    const std::string version = pending->version;
    services_.logger->info("Restarting into Varnel " + version);
    // One agent per user: this one stops before the new copy can take the lock and start its own.
    co_await stopHosted(true);
    if (pending->endedByQuit)
        co_return;
    if (services_.instance)
        services_.instance->stopListening();
    if (services_.lock)
        services_.lock->release();
    const auto program = installed.location / "bin" / "VarnelMenuBar";
    const auto child = services_.desktop->launchDetached(program, {"--relaunched"});
    bool tookOver = child.has_value();
    if (child && services_.instance) {
        auto wait = [socket = SingleInstance::socketAddress(services_.instance->lockFile()), child = *child,
                     limit = services_.takeoverLimit, pending] {
            try {
                const bool result = Takeover::waitFor(socket, child, limit, &pending->interruption);
                pending->outcome.set_value(result);
                return result;
            } catch (...) {
                pending->outcome.set_exception(std::current_exception());
                throw;
            }
        };
        pending->waiting = true;
        auto waiting = runBlocking(std::move(wait));
        tookOver = co_await onLoop(std::move(waiting));
        if (pending->endedByQuit)
            co_return;
    }
    takeover_.reset();
    if (tookOver) {
        quit();
        co_return;
    }

    // The new copy did not start. Should another instance have come up meanwhile, it runs.
    if (services_.lock && !retake(*services_.lock, *services_.logger)) {
        quit();
        co_return;
    }
    // The one instance again: a later start hands over to this one.
    if (services_.instance && !services_.instance->listen([this] { showWindow(); }))
        services_.logger->error(
            "A second start of Varnel cannot reach this one: its socket could not be set up.");
    if (installed.previous.empty()) {
        notify("Varnel " + version + " is installed",
               "It could not be restarted automatically. Open Varnel to finish.");
        quit();
        co_return;
    }
    std::string body = "Varnel " + version + " could not be started, so the version you had was put back.";
    try {
        co_await onLoop(putBack(installed));
    } catch (const AgentUpdater::Failure& failure) {
        body = "Varnel " + version + " could not be started. " + failure.detail();
    } catch (const std::exception&) {
        body = "Varnel " + version + " could not be started. " +
               UpdateFailureText::describe(std::current_exception());
    }
    services_.logger->error(body);
    isUpdating_ = false;
    rebuildMenu();
    spawn(startIfEnrolled());
    services_.alerts->run(Alert{Alert::Style::warning, "Varnel could not be updated", body, {"OK"}});
}

bool AppDelegate::endTakeover(std::chrono::steady_clock::time_point deadline) {
    const auto pending = std::exchange(takeover_, nullptr);
    if (!pending)
        return true;
    pending->endedByQuit = true;
    const std::string quit = "Quit before Varnel " + pending->version + " had started";
    InstalledUpdate installed;
    if (pending->received) {
        installed = *pending->received;
    } else if (!pending->stopSwaps()) {
        // Still downloading or unpacking: the install goes on until the process ends, but can no
        // longer swap the folders.
        services_.logger->info("Quit while Varnel " + pending->version +
                               " was being installed: the version you had stays in place.");
        return true;
    } else {
        // The folders are swapped, or being swapped, and the new tree is no more tried than if the
        // install had been whole when the quit came.
        try {
            if (pending->installed.wait_until(deadline) != std::future_status::ready) {
                services_.logger->error("Quit while Varnel " + pending->version +
                                        " was being put in place: it may stay installed untried.");
                return false;
            }
            installed = pending->installed.get();
        } catch (const std::exception&) {
            // The install's own failure, which leaves the installed folder as it was.
            services_.logger->info("Quit while Varnel " + pending->version +
                                   " was being installed, which failed (" +
                                   describeException(std::current_exception()) + ").");
            return true;
        }
    }
    const std::string kept =
        installed.previous.empty() ? "." : "; the version you had is at " + installed.previous.string() + ".";
    if (pending->waiting) {
        pending->interruption.interrupt();
        bool tookOver = false;
        try {
            if (pending->tookOver.wait_until(deadline) != std::future_status::ready) {
                services_.logger->error("Quit before it was known whether Varnel " + pending->version +
                                        " had started" + kept);
                return false;
            }
            tookOver = pending->tookOver.get();
        } catch (const std::exception&) {
            services_.logger->error("Quit before it was known whether Varnel " + pending->version +
                                    " had started (" + describeException(std::current_exception()) + ")" +
                                    kept);
            return true;
        }
        if (tookOver) {
            services_.logger->info("Quit after Varnel " + pending->version + " had taken over; it runs.");
            return true;
        }
        // This copy let go of the lock for the new one: whoever holds it now runs, and may itself
        // be updating.
        if (services_.lock && !retake(*services_.lock, *services_.logger)) {
            services_.logger->info(quit + ", and another Varnel holds the lock: the update is left as it is" +
                                   kept);
            return true;
        }
    }
    if (installed.previous.empty()) {
        services_.logger->info(quit + ": it stays installed.");
        return true;
    }
    // Two renames and the removal of the new tree: within the quit.
    auto putting =
        boost::asio::co_spawn(services_.loop.executor(), putBack(installed), boost::asio::use_future);
    if (putting.wait_until(deadline) != std::future_status::ready) {
        services_.logger->error(quit + ", and the version you had was still being put back" + kept);
        return false;
    }
    try {
        putting.get();
    } catch (const AgentUpdater::Failure& failure) {
        services_.logger->error(quit + ". " + failure.detail());
        return true;
    } catch (const std::exception&) {
        services_.logger->error(quit + ", and the version you had could not be put back (" +
                                describeException(std::current_exception()) + ")" + kept);
        return true;
    }
    services_.logger->info(quit + (pending->waiting ? ": it was ended and" : ":") +
                           " the version you had was put back.");
    return true;
}

} // namespace varnel
