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

namespace varnel {
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

Awaitable<bool> waitForTakeover(std::filesystem::path lockFile, pid_t child) {
    auto wait = [lockFile, child] { return Takeover::waitFor(lockFile, child, takeoverLimit); };
    co_return co_await runBlocking(std::move(wait));
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
    // One agent per user: this one stops before the new copy can take the lock and start its own.
    co_await stopHosted(true);
    if (services_.instance)
        services_.instance->release();
    const auto program = installed.location / "bin" / "VarnelMenuBar";
    const auto child = services_.desktop->launchDetached(program, {"--relaunched"});
    bool tookOver = child.has_value();
    if (child && services_.instance)
        tookOver = co_await onLoop(waitForTakeover(services_.instance->lockFile(), *child));
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

} // namespace varnel
