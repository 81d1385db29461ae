#include "VarnelMenuBar/AppDelegate.hpp"

#include "TraySupport.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Agent/UpdateFiles.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelMenuBar/ConfigurationWindow.hpp"
#include "VarnelMenuBar/MenuModel.hpp"
#include "VarnelMenuBar/QtDesktop.hpp"
#include "VarnelMenuBar/QuitBudget.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"
#include "VarnelKit/Agent/InstanceLock.hpp"

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
#include <unistd.h>

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

// An install whose swap was done already, as the updater does it: with its last word first.
Awaitable<AppDelegate::InstalledUpdate> installedAs(AppDelegate::InstalledUpdate update,
                                                    std::function<void()> beforeSwap) {
    beforeSwap();
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

// The process that the single-instance lock names, as QLockFile writes it: its id first.
pid_t lockHolder() {
    std::ifstream lock(InstanceLock::defaultFile());
    long pid = 0;
    lock >> pid;
    return static_cast<pid_t>(pid);
}

// A child of this process asked to quit as a session's end asks it, then ended if it will not.
void endProgram(pid_t child) {
    ::kill(child, SIGTERM);
    auto ended = std::async(std::launch::async, [child] { return ::waitpid(child, nullptr, 0); });
    if (ended.wait_for(10s) != std::future_status::ready)
        ::kill(child, SIGKILL);
    EXPECT_EQ(ended.get(), child);
}

// An install held at a gate the test opens, then swapping the folders as the updater does: with the
// delegate's last word first, which may refuse it.
struct GatedInstall {
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<bool> called{false};
    std::atomic<bool> refused{false};
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
};

Awaitable<AppDelegate::InstalledUpdate> gatedInstall(std::shared_ptr<GatedInstall> install,
                                                     AppDelegate::InstalledUpdate update,
                                                     std::string newProgram,
                                                     std::function<void()> beforeSwap) {
    // Named, not a temporary of the co_await: g++ 12 destroys such a temporary's captures twice.
    auto wait = [opened = install->opened] { opened.wait(); };
    co_await runBlocking(std::move(wait));
    try {
        beforeSwap();
    } catch (const OperationCancelled&) {
        install->refused = true;
        install->finished.set_value();
        throw;
    }
    std::filesystem::rename(update.location, update.previous);
    writeProgram(update.location / "bin" / "VarnelMenuBar", newProgram);
    install->finished.set_value();
    co_return update;
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

    void makeDelegate(AppDelegate::Installer installer = {}) {
        if (!installer) {
            installer = [this](VarnelAPIClient::AgentUpdate, std::function<void()>) {
                return fakeInstall(installs, failInstall);
            };
        }
        AppDelegate::Services services{
            loop, logger, nullptr, alerts, desktop, [this] { ++quits; }, {}, {}, 15s, std::move(installer)};
        delegate = std::make_unique<AppDelegate>(std::move(services));
    }

    // An update that installs into `applications` a new release whose program is `newProgram`, the
    // old one kept beside it; begun by the copy that holds the lock, which starts the new program
    // for real and gives it `takeoverLimit` to answer.
    // An empty `newProgram` is one the test has put there itself.
    void installRelease(const std::string& newProgram, std::chrono::milliseconds takeoverLimit = 15s) {
        if (!newProgram.empty())
            writeProgram(installed.location / "bin" / "VarnelMenuBar", newProgram);
        writeProgram(installed.previous / "bin" / "VarnelMenuBar", oldProgram);
        lock.emplace(InstanceLock::defaultFile());
        ASSERT_TRUE(lock->acquire(0ms));
        instance.emplace(lock->file());
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
            [this](VarnelAPIClient::AgentUpdate, std::function<void()> beforeSwap) {
                return installedAs(installed, std::move(beforeSwap));
            },
            &*instance,
            &*lock,
            takeoverLimit};
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
    AppDelegate::InstalledUpdate installed{applications.path() / "Varnel.app",
                                           applications.path() / ".Varnel.app-kept"};
    const std::string oldProgram = "#!/bin/sh\necho old\n";
    std::optional<InstanceLock> lock;       // both outlive the delegate, which holds them
    std::optional<SingleInstance> instance;
    std::unique_ptr<AppDelegate> delegate;
};

// The installed release, and an update of it whose install waits at the gate.
class AppDelegateQuitDuringInstallTest : public AppDelegateTest {
protected:
    void SetUp() override {
        AppDelegateTest::SetUp();
        writeProgram(installed.location / "bin" / "VarnelMenuBar", oldProgram);
        makeDelegate([this](VarnelAPIClient::AgentUpdate, std::function<void()> beforeSwap) {
            install->called = true;
            return gatedInstall(install, installed, "#!/bin/sh\necho new\n", std::move(beforeSwap));
        });
        delegate->setAvailableUpdateForTesting(offer());
        delegate->installUpdate();
        ASSERT_TRUE(waitUntil([&] { return install->called.load(); }));
    }

    std::shared_ptr<GatedInstall> install = std::make_shared<GatedInstall>();
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
    EXPECT_EQ(alerts->shown[0].body,
              "Varnel will not use the settings in " + AgentSettings::fileURL().string() +
                  ": they ask for an unencrypted realtime connection to \"realtime.example\". "
                  "Enroll again to replace them.");
    ASSERT_TRUE(waitUntil([&] { return !delegate->statusItem()->toolTip().isEmpty(); }));
    EXPECT_EQ(delegate->status(), Status::notEnrolled());
    EXPECT_FALSE(delegate->hasAgent());
    EXPECT_FALSE(delegate->settings());
}

// A credential that someone else owns may not be this computer's: the user reads why, and nothing
// is sent with it.
TEST_F(AppDelegateTest, ALaunchOnACredentialOfAnotherUserSaysWhyAndStartsNothing) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a file of another user needs root";
    saveSettings();
    CredentialStore::deviceToken().save("secret");
    const auto item = CredentialStore::deviceToken().file();
    ASSERT_EQ(::chown(item.c_str(), 65534, 65534), 0);
    makeDelegate();
    delegate->launch();
    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }));
    EXPECT_EQ(alerts->shown[0].title, "Varnel needs setting up");
    EXPECT_EQ(alerts->shown[0].body, "Varnel will not use the credential in " + item.string() +
                                         ": it belongs to nobody, not to root, who owns the Varnel folder. "
                                         "Enroll again to replace it.");
    ASSERT_TRUE(waitUntil([&] { return !delegate->statusItem()->toolTip().isEmpty(); }));
    EXPECT_EQ(delegate->status(), Status::notEnrolled());
    EXPECT_FALSE(delegate->hasAgent());
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
    EXPECT_FALSE(InstanceLock(InstanceLock::defaultFile()).acquire(0ms));
    // And a later start reaches it again.
    auto handedOver = std::async(
        std::launch::async, [] { return SingleInstance::handOver(InstanceLock::defaultFile(), 2s); });
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

// The real program on a window system it cannot load: it takes the lock, then aborts in
// QApplication, before it can answer.
TEST_F(AppDelegateTest, ANewReleaseThatAbortsBeforeItAnswersIsSwappedBackAndThisCopyGoesOn) {
    ASSERT_NO_FATAL_FAILURE(
        installRelease("#!/bin/sh\nQT_QPA_PLATFORM=nonexistent exec '" VARNEL_MENUBAR_PROGRAM "' \"$@\"\n"));

    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty() || quits > 0; }, 20s));
    EXPECT_EQ(quits, 0) << "this copy quit for a release that never ran";
    ASSERT_EQ(alerts->titles(), std::vector<std::string>{"Varnel could not be updated"});
    EXPECT_EQ(alerts->shown[0].body,
              "Varnel 1.2.3 could not be started, so the version you had was put back.");
    expectTheOldReleaseBack();
    EXPECT_FALSE(delegate->isUpdating());
    EXPECT_FALSE(InstanceLock(InstanceLock::defaultFile()).acquire(0ms));
}

// As with a display that never answers: the lock taken, the socket never set up.
TEST_F(AppDelegateTest, ANewReleaseThatHoldsTheLockButNeverAnswersIsEndedAtTheLimitAndSwappedBack) {
    const auto started = folders.path() / "started";
    ASSERT_NO_FATAL_FAILURE(installRelease("#!/bin/sh\necho $$ > '" +
                                               InstanceLock::defaultFile().string() + "'\necho $$ > '" +
                                               started.string() + ".new'\nmv '" + started.string() +
                                               ".new' '" + started.string() + "'\nexec sleep 30\n",
                                           1s));

    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty() || quits > 0; }, 20s));
    EXPECT_EQ(quits, 0) << "this copy quit for a release that hangs";
    ASSERT_EQ(alerts->titles(), std::vector<std::string>{"Varnel could not be updated"});
    EXPECT_EQ(alerts->shown[0].body,
              "Varnel 1.2.3 could not be started, so the version you had was put back.");
    const pid_t child = std::stoi(contentsOf(started));
    const bool reaped = wasReaped(child);
    EXPECT_TRUE(reaped) << "the hanging program was left running";
    if (!reaped)
        ::kill(child, SIGKILL);
    expectTheOldReleaseBack();
    // The lock it held is this copy's again, and a later start reaches this copy.
    EXPECT_FALSE(InstanceLock(InstanceLock::defaultFile()).acquire(0ms));
    auto handedOver = std::async(
        std::launch::async, [] { return SingleInstance::handOver(InstanceLock::defaultFile(), 2s); });
    ASSERT_TRUE(waitUntil([&] { return handedOver.wait_for(0ms) == std::future_status::ready; }, 5s));
    EXPECT_TRUE(handedOver.get());
}

TEST_F(AppDelegateTest, ANewReleaseCountsAsStartedOnceItAnswersAndItsOldTreeStaysUntilThisCopyHasEnded) {
    // A tree its start would remove as an update's leftover; the real program, copied into the new
    // tree, takes that tree for the installed one.
    installed.previous = applications.path() / (".Varnel.app-" + UpdateFiles::makeUuid());
    const auto program = installed.location / "bin" / "VarnelMenuBar";
    std::filesystem::create_directories(program.parent_path());
    std::filesystem::copy_file(VARNEL_MENUBAR_PROGRAM, program);
    ASSERT_NO_FATAL_FAILURE(installRelease(""));

    ASSERT_TRUE(waitUntil([&] { return quits > 0 || !alerts->shown.empty(); }, 20s));
    const pid_t child = lockHolder();
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(alerts->shown.empty()) << alerts->shown[0].body;
    // The moment after it was counted as started: it answers, and the tree it replaced is kept
    // until this copy, which could still put it back, has ended.
    auto answered = std::async(
        std::launch::async, [] { return SingleInstance::handOver(InstanceLock::defaultFile(), 5s); });
    ASSERT_TRUE(waitUntil([&] { return answered.wait_for(0ms) == std::future_status::ready; }, 5s));
    EXPECT_TRUE(answered.get()) << "counted as started before it answered";
    EXPECT_TRUE(std::filesystem::exists(installed.previous));
    EXPECT_EQ(std::filesystem::file_size(program), std::filesystem::file_size(VARNEL_MENUBAR_PROGRAM));
    ASSERT_GT(child, 0);
    endProgram(child);
}

// The install's result is on its way to the Qt thread, which the quit keeps busy: the new release
// is in place and has never run.
TEST_F(AppDelegateQuitDuringInstallTest, AQuitBetweenTheSwapAndTheTraysReceiptPutsTheOldReleaseBack) {
    install->gate.set_value();
    install->done.wait();
    EXPECT_TRUE(delegate->shutDown(QuitBudget::agentStop));
    EXPECT_FALSE(install->refused);
    expectTheOldReleaseBack();
    EXPECT_TRUE(desktop->launches.empty());
}

TEST_F(AppDelegateQuitDuringInstallTest, AQuitBeforeTheSwapKeepsTheInstallFromSwapping) {
    EXPECT_TRUE(delegate->shutDown(QuitBudget::agentStop));
    install->gate.set_value();
    install->done.wait();
    EXPECT_TRUE(install->refused);
    expectTheOldReleaseBack();
}

} // namespace
} // namespace varnel::tray
