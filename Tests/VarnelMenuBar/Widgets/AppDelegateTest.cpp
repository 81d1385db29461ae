#include "VarnelMenuBar/AppDelegate.hpp"

#include "TraySupport.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelMenuBar/ConfigurationWindow.hpp"
#include "VarnelMenuBar/MenuModel.hpp"
#include "VarnelMenuBar/QtDesktop.hpp"
#include "VarnelMenuBar/QuitBudget.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <atomic>
#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <sys/wait.h>

namespace varnel::tray {
namespace {

using Status = VarnelAgent::Status;
using namespace std::chrono_literals;

Awaitable<AppDelegate::InstalledUpdate> fakeInstall(std::shared_ptr<std::atomic<int>> calls,
                                                    std::shared_ptr<std::atomic<bool>> fail) {
    ++*calls;
    if (*fail) {
        throw std::filesystem::filesystem_error("cannot create the download file",
                                                "/somewhere/Varnel/updates",
                                                std::make_error_code(std::errc::permission_denied));
    }
    co_return AppDelegate::InstalledUpdate{"/opt/Varnel.app", {}};
}

Awaitable<AppDelegate::InstalledUpdate> installedAs(AppDelegate::InstalledUpdate update) {
    co_return update;
}

void writeProgram(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
    std::filesystem::permissions(path, std::filesystem::perms(0755));
}

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Settings as an enrollment with the real-time channel given leaves them.
void saveSettings(ReverbSettings reverb = ReverbSettings{"key", "varnel.example", 443, "https"}) {
    AgentSettings settings;
    settings.deviceId = 7;
    settings.deviceName = "Front desk";
    settings.serverURL = *parseAbsoluteUrl("https://varnel.example");
    settings.reverb = std::move(reverb);
    settings.save();
}

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    void makeDelegate() {
        AppDelegate::Services services{
            loop,    logger,
            nullptr, alerts,
            desktop, [this] { ++quits; },
            {},      {},
            15s,     [this](VarnelAPIClient::AgentUpdate) { return fakeInstall(installs, failInstall); }};
        delegate = std::make_unique<AppDelegate>(std::move(services));
    }

    // An update that installs into `applications` a new release whose program is `newProgram`, the
    // old one kept beside it; begun by the copy that holds the lock, which starts the new program
    // for real.
    void installRelease(const std::string& newProgram) {
        writeProgram(installed.location / "bin" / "VarnelMenuBar", newProgram);
        writeProgram(installed.previous / "bin" / "VarnelMenuBar", oldProgram);
        instance.emplace(SingleInstance::defaultLockFile());
        ASSERT_TRUE(instance->acquire(0ms));
        AppDelegate::Services services{
            loop,
            std::make_shared<RecordingLogger>(),
            nullptr,
            alerts,
            std::make_shared<QtDesktop>(),
            [this] { ++quits; },
            {},
            {},
            15s,
            [this](VarnelAPIClient::AgentUpdate) { return installedAs(installed); },
            &*instance};
        delegate = std::make_unique<AppDelegate>(std::move(services));
        delegate->setAvailableUpdateForTesting(offer());
        delegate->installUpdate();
    }

    // The old release is in its place again, and nothing else is left beside it.
    void expectTheOldReleaseBack() const {
        EXPECT_EQ(contentsOf(installed.location / "bin" / "VarnelMenuBar"), oldProgram);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(applications.path()), {}), 1);
    }

    void TearDown() override {
        if (delegate) {
            EXPECT_TRUE(delegate->shutDown(2s));
        }
        delegate.reset();
    }

    TestFolders folders;
    AgentLoop loop;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::shared_ptr<RecordingDesktop> desktop = std::make_shared<RecordingDesktop>();
    std::shared_ptr<std::atomic<int>> installs = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<bool>> failInstall = std::make_shared<std::atomic<bool>>(false);
    int quits = 0;
    TemporaryDirectory applications;
    const AppDelegate::InstalledUpdate installed{applications.path() / "Varnel.app",
                                                 applications.path() / ".Varnel.app-kept"};
    const std::string oldProgram = "#!/bin/sh\necho old\n";
    std::optional<SingleInstance> instance; // outlives the delegate, which holds it
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, SettingsWithoutATokenAreNotSetUpAndTheLaunchSaysSo) {
    saveSettings();
    makeDelegate();
    delegate->launch();
    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }));
    EXPECT_EQ(alerts->titles(), std::vector<std::string>{"Varnel needs setting up"});
    ASSERT_TRUE(waitUntil([&] { return !delegate->statusItem()->toolTip().isEmpty(); }));
    EXPECT_EQ(delegate->statusItem()->toolTip(), QString::fromUtf8("Varnel \u2014 not set up"));
    EXPECT_FALSE(delegate->hasAgent());
    EXPECT_FALSE(delegate->settings()) << "settings kept without the token that goes with them";
    // The offscreen platform has no tray: the window opens so that there is something to click.
    ASSERT_TRUE(delegate->configurationWindow());
    EXPECT_TRUE(delegate->configurationWindow()->isVisible());
}

// The user reads why settings that break the enrollment's rules are not used; nothing runs on them.
TEST_F(AppDelegateTest, ALaunchOnSettingsThatBreakTheRulesSaysWhyAndStartsNothing) {
    saveSettings(ReverbSettings{"key", "realtime.example", 80, "ws"});
    CredentialStore::deviceToken().save("secret");
    makeDelegate();
    delegate->launch();
    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }));
    EXPECT_EQ(alerts->shown[0].title, "Varnel needs setting up");
    EXPECT_EQ(alerts->shown[0].body, "Varnel will not use the settings in " + AgentSettings::fileURL().string() +
                                         ": they ask for an unencrypted realtime connection to \"realtime.example\". "
                                         "Enroll again to replace them.");
    ASSERT_TRUE(waitUntil([&] { return !delegate->statusItem()->toolTip().isEmpty(); }));
    EXPECT_EQ(delegate->status(), Status::notEnrolled());
    EXPECT_FALSE(delegate->hasAgent());
    EXPECT_FALSE(delegate->settings());
}

TEST_F(AppDelegateTest, LogOutChangesNothingUnlessConfirmed) {
    saveSettings();
    CredentialStore::deviceToken().save("secret");
    makeDelegate();
    alerts->answers = {1}; // Cancel
    delegate->logOut();
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown[0].style, Alert::Style::warning);
    EXPECT_EQ(alerts->shown[0].buttons, (std::vector<std::string>{"Disconnect", "Cancel"}));
    QCoreApplication::processEvents();
    EXPECT_TRUE(AgentSettings::load());
    EXPECT_TRUE(CredentialStore::deviceToken().load());

    delegate->setAvailableUpdateForTesting(offer());
    delegate->logOut();
    ASSERT_TRUE(waitUntil([&] { return !CredentialStore::deviceToken().load(); }));
    EXPECT_FALSE(AgentSettings::load());
    EXPECT_EQ(delegate->status(), Status::notEnrolled());
    EXPECT_TRUE(delegate->availableUpdate()) << "the offer is not the enrollment's";
}

TEST_F(AppDelegateTest, TheMenuShowsTheModelsRows) {
    makeDelegate();
    delegate->launch();
    ASSERT_TRUE(waitUntil([&] { return !delegate->statusItem()->toolTip().isEmpty(); }));
    delegate->setAvailableUpdateForTesting(offer());
    Q_EMIT delegate->menu()->aboutToShow();
    const auto entries = MenuModel::build({Status::notEnrolled(), std::nullopt, {}, offer(), false});
    const auto actions = delegate->menu()->actions();
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto* action = actions[static_cast<qsizetype>(i)];
        EXPECT_EQ(action->isSeparator(), entries[i].separator);
        if (entries[i].separator)
            continue;
        EXPECT_EQ(action->text().toStdString(), entries[i].title);
        EXPECT_EQ(action->isEnabled(), entries[i].enabled) << entries[i].title;
        EXPECT_EQ(action->font().bold(), entries[i].bold) << entries[i].title;
    }
}

std::vector<std::string> titles(const QMenu& menu) {
    std::vector<std::string> result;
    for (const auto* action : menu.actions())
        result.push_back(action->text().toStdString());
    return result;
}

// Rows that move under the pointer send a click to the wrong one: an open menu keeps its rows, and
// a change shows the next time it opens.
TEST_F(AppDelegateTest, TheMenuIsRebuiltWhenItOpensAndNeverWhileItIsOpen) {
    makeDelegate();
    delegate->launch();
    ASSERT_TRUE(waitUntil([&] { return !delegate->statusItem()->toolTip().isEmpty(); }));
    auto* menu = delegate->menu();
    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(waitUntil([&] { return menu->isVisible(); }));
    const auto shown = menu->actions();
    const auto shownTitles = titles(*menu);

    delegate->setAvailableUpdateForTesting(offer()); // as the 15 s refresh copies it
    QCoreApplication::processEvents();
    EXPECT_EQ(menu->actions(), shown);
    EXPECT_EQ(titles(*menu), shownTitles);

    menu->hide();
    menu->popup(QPoint(10, 10));
    ASSERT_TRUE(waitUntil([&] { return menu->isVisible(); }));
    const auto reopened = titles(*menu);
    EXPECT_NE(std::find(reopened.begin(), reopened.end(), "Update to 1.2.3 now"), reopened.end());
    menu->hide();
}

// The link comes from the server, and the desktop opens whatever it has a handler for: a local
// file, a custom protocol. Only a web page is opened.
TEST_F(AppDelegateTest, TheReleaseNotesOpenOnlyWhenTheirLinkIsAWebAddress) {
    makeDelegate();
    const struct {
        const char* link;
        bool opened;
    } cases[] = {
        {"https://varnel.example/notes/1.2.3", true},
        {"HTTP://varnel.example/notes", true},
        {"file:///etc/passwd", false},
        {"x-varnel-handler://install?now", false},
        {"notes/1.2.3", false},
        {"//varnel.example/notes", false},
        {"https:notes", false},
        {"https:///notes", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        auto update = offer();
        update.notesURL = parseUrlReference(c.link);
        ASSERT_TRUE(update.notesURL);
        delegate->setAvailableUpdateForTesting(update);
        desktop->urls.clear();
        const auto linesBefore = logger->messages().size();
        delegate->openReleaseNotes();
        if (c.opened) {
            EXPECT_EQ(desktop->urls, std::vector<std::string>{c.link});
            EXPECT_EQ(logger->messages().size(), linesBefore);
        } else {
            EXPECT_TRUE(desktop->urls.empty());
            ASSERT_EQ(logger->messages().size(), linesBefore + 1);
            EXPECT_NE(logger->messages().back().find("not a web address"), std::string::npos);
        }
    }
}

TEST_F(AppDelegateTest, OneInstallAtATimeAndAFailureLetsTheUserTryAgain) {
    makeDelegate();
    delegate->setAvailableUpdateForTesting(offer());
    failInstall->store(true);
    delegate->installUpdate();
    delegate->installUpdate();
    EXPECT_TRUE(delegate->isUpdating());
    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }));
    EXPECT_EQ(installs->load(), 1);
    EXPECT_EQ(alerts->shown[0].style, Alert::Style::warning);
    EXPECT_EQ(alerts->shown[0].title, "Varnel could not be updated");
    EXPECT_EQ(alerts->shown[0].body, "The update could not be installed. Permission denied");
    EXPECT_FALSE(delegate->isUpdating());
    EXPECT_TRUE(delegate->availableUpdate()) << "the offer is kept for another try";
    EXPECT_EQ(quits, 0);

    failInstall->store(false);
    delegate->installUpdate();
    ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
    EXPECT_EQ(installs->load(), 2);
    ASSERT_EQ(desktop->launches.size(), 1u);
    EXPECT_EQ(desktop->launches[0].first, std::filesystem::path("/opt/Varnel.app/bin/VarnelMenuBar"));
    EXPECT_EQ(desktop->launches[0].second, std::vector<std::string>{"--relaunched"});
    EXPECT_EQ(alerts->shown.size(), 1u) << "a relaunch that worked needs no alert";
    EXPECT_TRUE(delegate->isUpdating()) << "nothing more is installed while the old copy quits";
}

TEST_F(AppDelegateTest, ARelaunchThatFailsSaysTheUpdateIsInstalledThenQuits) {
    makeDelegate();
    delegate->setAvailableUpdateForTesting(offer());
    desktop->launchSucceeds = false;
    delegate->installUpdate();
    ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown[0].title, "Varnel 1.2.3 is installed");
    EXPECT_EQ(alerts->shown[0].body, "It could not be restarted automatically. Open Varnel to finish.");
}

TEST_F(AppDelegateTest, ANewReleaseThatCannotStartIsSwappedBackForTheOldOneAndTheAlertSaysSo) {
    // A release built for another system: it installs, and its program ends at once.
    ASSERT_NO_FATAL_FAILURE(installRelease("#!/bin/sh\nexit 127\n"));

    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }, 20s));
    EXPECT_EQ(alerts->shown[0].title, "Varnel could not be updated");
    EXPECT_EQ(alerts->shown[0].body,
              "Varnel 1.2.3 could not be started, so the version you had was put back.");
    expectTheOldReleaseBack();
    // This copy goes on, holding the lock again, and may be updated again.
    EXPECT_EQ(quits, 0);
    EXPECT_FALSE(delegate->isUpdating());
    EXPECT_FALSE(SingleInstance(SingleInstance::defaultLockFile()).acquire(0ms));
    // And a later start reaches it again.
    auto handedOver =
        std::async(std::launch::async, [] { return SingleInstance::handOver(SingleInstance::defaultLockFile(), 2s); });
    ASSERT_TRUE(waitUntil([&] { return handedOver.wait_for(0ms) == std::future_status::ready; }, 5s));
    EXPECT_TRUE(handedOver.get()) << "a later start cannot hand over to the copy that went on";
}

TEST_F(AppDelegateTest, AQuitWhileTheNewReleaseHasNotTakenTheLockEndsItAndPutsTheOldOneBack) {
    // A release whose program hangs before it takes the lock; the quit comes during the wait for it.
    const auto started = folders.path() / "started";
    ASSERT_NO_FATAL_FAILURE(installRelease("#!/bin/sh\necho $$ > '" + started.string() + ".new'\nmv '" +
                                           started.string() + ".new' '" + started.string() +
                                           "'\nexec sleep 30\n"));
    // The new program runs: the relaunch waits for it to take the lock.
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(started); }));
    const pid_t child = std::stoi(contentsOf(started));

    const auto quitStarted = std::chrono::steady_clock::now();
    EXPECT_TRUE(delegate->shutDown(QuitBudget::agentStop));
    EXPECT_LE(std::chrono::steady_clock::now() - quitStarted, QuitBudget::agentStop);
    const bool reaped = wasReaped(child);
    EXPECT_TRUE(reaped) << "the new program outlives the quit";
    if (!reaped)
        ::kill(child, SIGKILL);
    expectTheOldReleaseBack();
}

} // namespace
} // namespace varnel::tray
