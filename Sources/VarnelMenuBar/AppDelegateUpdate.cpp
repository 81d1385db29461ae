// Installing an offered update and starting the new copy in place of this one.
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/Desktop.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"
#include "VarnelMenuBar/Takeover.hpp"
#include "VarnelMenuBar/UpdateFailureText.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <future>

namespace varnel {

// Shared by the Qt thread, which starts the new program and may quit meanwhile, and the blocking
// pool, which waits for that program.
struct AppDelegate::PendingTakeover {
    PendingTakeover(InstalledUpdate update, std::string newVersion)
        : installed(std::move(update)), version(std::move(newVersion)) {}

    const InstalledUpdate installed;
    const std::string version;
    Takeover::Interruption interruption;
    // Whether the new program took over, once the wait has ended.
    std::promise<bool> outcome;
    std::future<bool> tookOver = outcome.get_future();
    // Qt thread only: the new program was started and is waited for; the quit has settled the
    // update, and the relaunch leaves it as it is.
    bool waiting = false;
    bool endedByQuit = false;
};

namespace {

using namespace std::chrono_literals;

// How long the new program has to take the lock. It does so as soon as it runs, since the lock is
// free by then; what takes longer is taken for a program that cannot start.
constexpr auto takeoverLimit = 15s;

Awaitable<AppDelegate::InstalledUpdate> installWithUpdater(std::shared_ptr<AgentLogging> logger,
                                                           VarnelAPIClient::AgentUpdate offer) {
    // The updater's work keeps a pointer to it, so it lives in this frame until install ends.
    AgentUpdater updater(std::move(logger), std::make_shared<CurlHttpTransport>());
    const auto location = co_await updater.install(std::move(offer), AgentUpdater::Progress());
    co_return AppDelegate::InstalledUpdate{location, updater.previousTree()};
}

Awaitable<void> putBack(AppDelegate::InstalledUpdate installed) {
    auto work = [installed] { AgentUpdater::putBack(installed.location, installed.previous); };
    co_await runBlocking(std::move(work));
}

Awaitable<void> removeLeftovers() {
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

void AppDelegate::removeUpdateLeftovers() {
    spawn(onLoop(removeLeftovers()));
}

Awaitable<void> AppDelegate::runUpdate(VarnelAPIClient::AgentUpdate offer) {
    const auto version = offer.version;
    InstalledUpdate installed;
    std::exception_ptr failure;
    try {
        auto install = services_.installer ? services_.installer(std::move(offer))
                                           : installWithUpdater(services_.logger, std::move(offer));
        installed = co_await onLoop(std::move(install));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        isUpdating_ = false;
        rebuildMenu();
        services_.alerts->run(Alert{Alert::Style::warning,
                                    "Varnel could not be updated",
                                    UpdateFailureText::describe(failure),
                                    {"OK"}});
        co_return;
    }
    co_await relaunch(std::move(installed), version);
}

Awaitable<void> AppDelegate::relaunch(InstalledUpdate installed, std::string version) {
    services_.logger->info("Restarting into Varnel " + version);
    // Until the new program holds the lock, a quit must not leave it installed untried.
    const auto pending = std::make_shared<PendingTakeover>(installed, version);
    takeover_ = pending;
    // One agent per user: this one stops before the new copy can take the lock and start its own.
    co_await stopHosted(true);
    if (pending->endedByQuit)
        co_return;
    if (services_.instance)
        services_.instance->release();
    const auto program = installed.location / "bin" / "VarnelMenuBar";
    const auto child = services_.desktop->launchDetached(program, {"--relaunched"});
    bool tookOver = child.has_value();
    if (child && services_.instance) {
        auto wait = [lockFile = services_.instance->lockFile(), child = *child, pending] {
            try {
                const bool result = Takeover::waitFor(lockFile, child, takeoverLimit, &pending->interruption);
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
    if (services_.instance && !services_.instance->acquire(0ms)) {
        quit();
        co_return;
    }
    // The one instance again: a later start hands over to this one.
    if (services_.instance && !services_.instance->listen([this] { showWindow(); }))
        services_.logger->error("A second start of Varnel cannot reach this one: its socket could not be set up.");
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
    const auto& installed = pending->installed;
    const std::string quit = "Quit before Varnel " + pending->version + " had started";
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
        if (services_.instance && !services_.instance->acquire(std::chrono::milliseconds(0))) {
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
