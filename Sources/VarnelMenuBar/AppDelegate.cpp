#include "VarnelMenuBar/AppDelegate.hpp"

#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/ConfigurationWindow.hpp"
#include "VarnelMenuBar/Desktop.hpp"
#include "VarnelMenuBar/LogTail.hpp"
#include "VarnelMenuBar/MenuModel.hpp"
#include "VarnelMenuBar/SetupWindow.hpp"
#include "VarnelMenuBar/StatusIcon.hpp"
#include "VarnelMenuBar/StatusIconRenderer.hpp"

#include <QAction>
#include <QCursor>
#include <QFont>
#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <boost/asio/co_spawn.hpp>

namespace varnel {

AppDelegate::AppDelegate(Services services)
    : services_(std::move(services)), poster_(std::make_shared<QtPoster>(this)),
      deviceId_(std::make_shared<std::atomic<std::int64_t>>(noDeviceId)) {
    // New log lines reach an open window as soon as they are read, not at its next reload.
    logTail_ = std::make_unique<LogTail>(services_.logFile, [poster = poster_, this] {
        poster->post([this] {
            if (configurationWindow_ && configurationWindow_->isVisible())
                configurationWindow_->reload(false);
        });
    });
}

AppDelegate::~AppDelegate() {
    // Work that the loop still hands back has nowhere to go.
    poster_->detach();
    logTail_.reset();
    abandonHosted();
    delete setupWindow_;
    delete configurationWindow_;
    delete statusItem_;
    delete menu_;
}

void AppDelegate::spawn(Awaitable<void> work) {
    auto logger = services_.logger;
    boost::asio::co_spawn(executor(), std::move(work), [logger](std::exception_ptr error) {
        if (error)
            logger->error("The tray application's task failed: " + describeException(error));
    });
}

void AppDelegate::launch() {
    installStatusItem();
    spawn(announceLaunch());
    spawn(startIfEnrolled());
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setInterval(services_.refreshInterval);
    connect(refreshTimer_, &QTimer::timeout, this, [this] { spawn(refresh()); });
    refreshTimer_->start();
    // A desktop without a tray (GNOME without an extension, some Wayland sessions) would leave
    // nothing to click; the icon object stays, for a tray that appears later.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        openConfiguration();
}

void AppDelegate::installStatusItem() {
    statusItem_ = new QSystemTrayIcon;
    statusItem_->setIcon(StatusIconRenderer::icon(status_));
    menu_ = new QMenu;
    menu_->setToolTipsVisible(true);
    menu_->setSeparatorsCollapsible(false);
    connect(menu_, &QMenu::aboutToShow, this, [this] {
        fillMenu();
        menuOpen_ = true;
    });
    // Queued: a click hides the menu before it triggers its row, which must still be there then.
    connect(menu_, &QMenu::aboutToHide, this, [this] {
        menuOpen_ = false;
        QTimer::singleShot(0, this, [this] { rebuildMenu(); });
    });
    statusItem_->setContextMenu(menu_);
    // A left click shows no menu on its own in most trays.
    connect(statusItem_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            menu_->popup(QCursor::pos());
    });
    fillMenu();
    statusItem_->show();
}

void AppDelegate::updateIcon() {
    if (!statusItem_)
        return;
    statusItem_->setIcon(StatusIconRenderer::icon(status_));
    statusItem_->setToolTip(QString::fromStdString(StatusIcon::tooltip(status_)));
}

void AppDelegate::viewChanged() {
    updateIcon();
    rebuildMenu();
    // Without a system tray the window is the whole application: while it is open it shows the
    // view as it is now, not as it was when it opened.
    if (configurationWindow_ && configurationWindow_->isVisible())
        configurationWindow_->showCurrent();
}

void AppDelegate::rebuildMenu() {
    if (!menuOpen_)
        fillMenu();
}

void AppDelegate::fillMenu() {
    if (!menu_)
        return;
    MenuModel::State state{status_, settings_, printers_, availableUpdate_, isUpdating_};
    auto rows = MenuModel::build(state);
    // Each rebuild gives the rows new ids and tells a D-Bus tray host that the layout changed, which
    // a refresh that finds nothing new must not do every 15 s.
    if (rows == menuRows_)
        return;
    // An action may be rebuilt away from inside its own triggered signal (the update's row), so
    // the old ones go later, not now.
    for (auto* old : menu_->actions()) {
        menu_->removeAction(old);
        old->deleteLater();
    }
    menuRows_ = std::move(rows);
    for (const auto& entry : menuRows_) {
        if (entry.separator) {
            menu_->addSeparator();
            continue;
        }
        auto* action = menu_->addAction(QString::fromStdString(entry.title));
        action->setEnabled(entry.enabled);
        if (!entry.tooltip.empty())
            action->setToolTip(QString::fromStdString(entry.tooltip));
        if (entry.key)
            action->setShortcut(QKeySequence(QStringLiteral("Ctrl+") + QChar(entry.key).toUpper()));
        if (entry.bold) {
            QFont font = action->font();
            font.setBold(true);
            action->setFont(font);
        }
        if (entry.action == MenuModel::Action::none)
            continue;
        connect(action, &QAction::triggered, this, [this, kind = entry.action, printer = entry.printer] {
            switch (kind) {
            case MenuModel::Action::openSetup:
                openSetup();
                break;
            case MenuModel::Action::openConfiguration:
                openConfiguration();
                break;
            case MenuModel::Action::installUpdate:
                installUpdate();
                break;
            case MenuModel::Action::testPrint:
                if (printer)
                    testPrint(*printer);
                break;
            case MenuModel::Action::openReleaseNotes:
                openReleaseNotes();
                break;
            case MenuModel::Action::openWebApp:
                openWebApp();
                break;
            case MenuModel::Action::quit:
                quit();
                break;
            case MenuModel::Action::none:
                break;
            }
        });
    }
}

Awaitable<void> AppDelegate::announceLaunch() {
    bool enrolled = false;
    try {
        // "Running" only when the agent is started, which takes the token as well as the settings.
        const auto stored = StoredEnrollment::load(CredentialStore::deviceToken());
        enrolled = stored.settings && stored.token;
    } catch (const RefusedFile& refused) {
        notify("Varnel needs setting up", refused.description());
        co_return;
    }
    if (enrolled)
        notify("Varnel is running", "It sits in the menu bar. Click the icon to see your printers.");
    else
        notify("Varnel needs setting up", "Click the Varnel icon in the menu bar to connect this Mac.");
    co_return;
}

void AppDelegate::notify(const std::string& title, const std::string& body) {
    services_.alerts->run(Alert{Alert::Style::information, title, body, {}});
}

void AppDelegate::setStatus(Status status) {
    status_ = std::move(status);
    viewChanged();
}

void AppDelegate::setSettings(std::optional<AgentSettings> settings) {
    deviceId_->store(settings ? settings->deviceId : noDeviceId);
    settings_ = std::move(settings);
}

} // namespace varnel
