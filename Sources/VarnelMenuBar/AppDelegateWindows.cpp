// The set-up and configuration windows as the application opens them, and the log-out.
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/ConfigurationWindow.hpp"
#include "VarnelMenuBar/Desktop.hpp"
#include "VarnelMenuBar/LogTail.hpp"
#include "VarnelMenuBar/SetupWindow.hpp"

#include <QPointer>

namespace varnel {
namespace {

Awaitable<Enrollment::Success> enrollOnLoop(std::string server, std::string code) {
    const Enrollment enrollment;
    co_return co_await enrollment.enroll(std::move(server), std::move(code), AgentVersion::display(),
                                         CredentialStore::deviceToken());
}

} // namespace

void AppDelegate::enroll(std::string server, std::string code,
                         std::function<void(std::variant<Enrollment::Success, std::exception_ptr>)> done) {
    spawn([](AppDelegate* self, std::string server, std::string code,
             std::function<void(std::variant<Enrollment::Success, std::exception_ptr>)> done)
              -> Awaitable<void> {
        std::variant<Enrollment::Success, std::exception_ptr> outcome;
        try {
            outcome = co_await self->onLoop(enrollOnLoop(std::move(server), std::move(code)));
        } catch (...) {
            outcome = std::current_exception();
        }
        done(outcome);
    }(this, std::move(server), std::move(code), std::move(done)));
}

void AppDelegate::showWindow() {
    if (settings_)
        openConfiguration();
    else
        openSetup();
}

void AppDelegate::openSetup() {
    if (!setupWindow_) {
        setupWindow_ = new SetupWindow(
            [this](std::string server, std::string code, std::function<void(SetupWindow::Outcome)> done) {
                enroll(std::move(server), std::move(code), std::move(done));
            },
            [this](const Enrollment::Success& success) { spawn(didEnroll(success)); });
    }
    setupWindow_->present();
}

void AppDelegate::openConfiguration() {
    if (!configurationWindow_) {
        ConfigurationWindow::Providers providers{
            [this] { return status_; },
            [this] { return printers_; },
            [this] { return settings_; },
            [this] { return logLines(); },
        };
        ConfigurationWindow::Callbacks callbacks{
            [this] { openSetup(); },
            // The window already deleted the token and the settings; the agent must stop too.
            [this] { spawn(disconnect()); },
        };
        configurationWindow_ = new ConfigurationWindow(std::move(providers), std::move(callbacks),
                                                       *services_.alerts, *services_.desktop);
    }
    configurationWindow_->show();
    configurationWindow_->raise();
    configurationWindow_->activateWindow();
    configurationWindow_->reload(true);
}

std::vector<std::string> AppDelegate::logLines() {
    return logTail_->lines();
}

void AppDelegate::logOut() {
    Alert confirm{
        Alert::Style::warning,
        "Disconnect this Mac from Varnel?",
        "Its printers will stop accepting jobs. Reconnecting needs a new enrollment code from the Varnel "
        "dashboard.",
        {"Disconnect", "Cancel"}};
    if (services_.alerts->run(confirm) != 0)
        return;
    spawn(disconnect());
}

} // namespace varnel
