// Installing an offered update and starting the new copy in place of this one.
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/Desktop.hpp"
#include "VarnelMenuBar/UpdateFailureText.hpp"

namespace varnel {
namespace {

Awaitable<std::filesystem::path> installWithUpdater(std::shared_ptr<AgentLogging> logger,
                                                    VarnelAPIClient::AgentUpdate offer) {
    // The updater's work keeps a pointer to it, so it lives in this frame until install ends.
    AgentUpdater updater(std::move(logger), std::make_shared<CurlHttpTransport>());
    co_return co_await updater.install(std::move(offer), AgentUpdater::Progress());
}

} // namespace

void AppDelegate::installUpdate() {
    if (!availableUpdate_ || isUpdating_)
        return;
    isUpdating_ = true;
    rebuildMenu();
    spawn(runUpdate(*availableUpdate_));
}

Awaitable<void> AppDelegate::runUpdate(VarnelAPIClient::AgentUpdate offer) {
    const auto version = offer.version;
    std::filesystem::path installed;
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
    relaunch(installed, version);
}

void AppDelegate::relaunch(const std::filesystem::path& installed, const std::string& version) {
    services_.logger->info("Restarting into Varnel " + version);
    // The new copy waits for this one's single-instance lock, which the quit gives up.
    const auto program = installed / "bin" / "VarnelMenuBar";
    if (!services_.desktop->launchDetached(program, {"--relaunched"})) {
        notify("Varnel " + version + " is installed",
               "It could not be restarted automatically. Open Varnel to finish.");
    }
    quit();
}

} // namespace varnel
