#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Agent/Enrollment.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelMenuBar/MenuModel.hpp"
#include "VarnelMenuBar/QtExecutor.hpp"

#include <QObject>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <variant>
#include <vector>

class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace varnel {

class Alerts;
class ConfigurationWindow;
class Desktop;
class LogTail;
class SetupWindow;
class InstanceLock;
class SingleInstance;

// The heart of the tray application: owns the tray icon and its menu, the agent running in this
// process, the windows, and the last view of the agent (status, printers, update offer) that the
// icon and the menu are drawn from. Lives on the Qt thread; the agent lives on the loop, reached
// only through onLoop() and the status observer.
class AppDelegate final : public QObject {
    Q_OBJECT

public:
    using Status = VarnelAgent::Status;
    // An installed update: the new Varnel.app folder, and the tree it replaced, kept beside it
    // until the new program runs (empty when there was none).
    struct InstalledUpdate {
        std::filesystem::path location;
        std::filesystem::path previous;
    };
    // Installs an offered update on the loop. `beforeSwap` is called, on any thread, just before
    // the installed folder is replaced, with nothing between it and the swap; what it throws
    // leaves that folder as it is.
    using Installer = std::function<Awaitable<InstalledUpdate>(VarnelAPIClient::AgentUpdate,
                                                               std::function<void()> beforeSwap)>;

    struct Services {
        AgentLoop& loop;
        std::shared_ptr<AgentLogging> logger;
        std::shared_ptr<LogFile> logFile; // none without a home folder
        std::shared_ptr<Alerts> alerts;
        std::shared_ptr<Desktop> desktop;
        // Ends the application: production quits the Qt event loop, which leads to shutDown().
        std::function<void()> requestQuit;
        // What the agents built here are reached through; tests point it at their own machine.
        VarnelAgent::Options agentOptions;
        DiagnosticsReporter::Timings reporterTimings;
        std::chrono::milliseconds refreshInterval = std::chrono::seconds(15);
        Installer installer; // none: AgentUpdater over the real network
        // This instance's hand-over socket and its lock, let go of for the new program of an
        // update; none: nothing to hand over.
        SingleInstance* instance = nullptr;
        InstanceLock* lock = nullptr;
        // How long the new program of an update has to answer on the hand-over socket.
        std::chrono::milliseconds takeoverLimit = std::chrono::seconds(15);
    };

    explicit AppDelegate(Services services);
    ~AppDelegate() override;

    // Tray icon, launch alert, agent start and the refresh timer; with no system tray the
    // configuration window opens, so there is something to click.
    void launch();
    // Reports the shut-down, stops the reporter and the agent, and waits for that at most
    // `limit`. During an update, first settles it: a swap not begun yet does not happen, and once
    // the folders were swapped, a new program that has not answered on the hand-over socket yet is
    // ended and the tree it replaced put back. True when everything ended in time.
    // Never touches the Qt thread's event loop.
    bool shutDown(std::chrono::steady_clock::duration limit);
    // Removes, on the loop's blocking pool, what earlier updates left. For the program's start,
    // once it holds the single-instance lock and answers on its socket. A program started in place
    // of the copy `relauncher` waits for that copy's end: until then it may still put back the
    // tree that its update replaced.
    void removeUpdateLeftovers(pid_t relauncher = 0);

    Awaitable<void> startIfEnrolled();
    Awaitable<void> refresh();
    Awaitable<void> didEnroll(Enrollment::Success success);
    // Stops the agent and the reporter, forgets the enrollment and deletes the token and the
    // settings file. The log-out's steps after its confirmation.
    Awaitable<void> disconnect();

    // A second start of the program: the set-up window while this computer is not set up, else the
    // configuration window, in front.
    void showWindow();

    // Menu actions.
    void openSetup();
    void openConfiguration();
    void installUpdate();
    void testPrint(ReportedPrinter printer);
    void openReleaseNotes();
    void openWebApp();
    void quit();
    void rescan();
    void showLogs();
    void copyLogPath();
    void logOut();

    // The menu rebuilt from the fields, as it is each time it is about to show; also on every
    // change, for trays that do not ask, but never while it is open: rows must not move under the
    // pointer. A change that comes while it is open shows once it has closed.
    void rebuildMenu();
    void updateIcon();

    // What tests look at.
    const Status& status() const noexcept { return status_; }
    const std::vector<ReportedPrinter>& printers() const noexcept { return printers_; }
    const std::optional<AgentSettings>& settings() const noexcept { return settings_; }
    const std::optional<VarnelAPIClient::AgentUpdate>& availableUpdate() const noexcept {
        return availableUpdate_;
    }
    bool hasAgent() const noexcept { return agent_ != nullptr; }
    // The agent, its reporter and its client, none of them kept alive by the caller.
    std::vector<std::weak_ptr<const void>> hostedForTesting() const { return {agent_, diagnostics_, api_}; }
    bool isUpdating() const noexcept { return isUpdating_; }
    QSystemTrayIcon* statusItem() const noexcept { return statusItem_; }
    QMenu* menu() const noexcept { return menu_; }
    SetupWindow* setupWindow() const noexcept { return setupWindow_; }
    ConfigurationWindow* configurationWindow() const noexcept { return configurationWindow_; }
    QtExecutor executor() const { return QtExecutor(poster_); }
    // Test hook: an offer as a refresh would have copied it.
    void setAvailableUpdateForTesting(std::optional<VarnelAPIClient::AgentUpdate> offer) {
        availableUpdate_ = std::move(offer);
        viewChanged();
    }
    // Runs a coroutine on the Qt thread; an escaping error is logged.
    void spawn(Awaitable<void> work);

private:
    void installStatusItem();
    void fillMenu();
    // After each change of the view: the icon, the menu unless it is open, the window if it is.
    void viewChanged();
    // True when `agent` is the agent held now; never takes a reference, which could become the
    // last one here.
    bool isCurrentAgent(const std::weak_ptr<VarnelAgent>& agent) const;
    Awaitable<void> announceLaunch();
    void notify(const std::string& title, const std::string& body);
    void setStatus(Status status);
    void setSettings(std::optional<AgentSettings> settings);
    std::vector<std::string> logLines();
    Awaitable<void> runTestPrint(ReportedPrinter printer);
    Awaitable<void> runUpdate(VarnelAPIClient::AgentUpdate offer);
    // An update from its install until its new program has answered, as the quit finds it.
    struct PendingTakeover;
    Awaitable<void> relaunch(std::shared_ptr<PendingTakeover> pending);
    // The quit's part in a relaunch under way: what stays installed is settled by `deadline`.
    bool endTakeover(std::chrono::steady_clock::time_point deadline);
    // Stops the agent and its reporter and forgets both; their credential sends nothing more. Ends
    // once every stop under way has ended, also one that another step began.
    Awaitable<void> stopHosted(bool reportShutDown = false);
    // Takes what the delegate hosts and starts its stop on the loop, as the one stop under way;
    // nothing when it hosts nothing.
    void beginStop(bool reportShutDown);
    // For a delegate that goes without shutDown(): what it still hosts stops on the loop, and is
    // released there.
    void abandonHosted();
    void enroll(std::string server, std::string code,
                std::function<void(std::variant<Enrollment::Success, std::exception_ptr>)> done);

    // Runs agent work on the loop and resumes on the Qt thread.
    template <class T> Awaitable<T> onLoop(Awaitable<T> work) {
        auto operation =
            boost::asio::co_spawn(services_.loop.executor(), std::move(work), boost::asio::use_awaitable);
        co_return co_await std::move(operation);
    }

    Services services_;
    std::shared_ptr<QtPoster> poster_;
    // The enrolled device's id for the reporter, readable from the loop without the Qt thread,
    // which may be waiting in shutDown(); noDeviceId while there is none.
    static constexpr std::int64_t noDeviceId = INT64_MIN;
    std::shared_ptr<std::atomic<std::int64_t>> deviceId_;
    std::unique_ptr<LogTail> logTail_;

    QSystemTrayIcon* statusItem_ = nullptr;
    QMenu* menu_ = nullptr;
    // Between the menu's aboutToShow and aboutToHide. A D-Bus tray host draws the menu itself, so
    // the QMenu is never visible there; both signals come in either case.
    bool menuOpen_ = false;
    // The rows the menu holds now.
    std::vector<MenuModel::Entry> menuRows_;
    std::shared_ptr<VarnelAgent> agent_;
    std::shared_ptr<VarnelAPIClient> api_;
    std::optional<AgentSettings> settings_;
    std::shared_ptr<DiagnosticsReporter> diagnostics_;
    Status status_ = Status::notEnrolled();
    std::vector<ReportedPrinter> printers_;
    std::optional<VarnelAPIClient::AgentUpdate> availableUpdate_;
    QTimer* refreshTimer_ = nullptr;
    SetupWindow* setupWindow_ = nullptr;
    ConfigurationWindow* configurationWindow_ = nullptr;
    bool isUpdating_ = false;
    std::shared_ptr<PendingTakeover> takeover_;
    // The latest stop of a hosted agent, which ends only after every earlier one: the quit waits
    // for it whoever began it, since a label cut by it is reported only at its end.
    struct StopUnderWay;
    std::shared_ptr<StopUnderWay> stopping_;
};

} // namespace varnel
