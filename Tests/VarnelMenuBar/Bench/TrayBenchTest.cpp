// The whole tray application against the test bench: a real enrollment through the set-up
// window, the agent it starts printing a pushed job, the window that shows it where there is no
// system tray, the disconnect, the quit with the server up and with it stalled, and a test label
// to a raw printer.
#include "Bench/JobResult.hpp"
#include "Bench/TestBench.hpp"
#include "TraySupport.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Platform/ServiceResolving.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/ConfigurationWindow.hpp"
#include "VarnelMenuBar/QuitBudget.hpp"
#include "VarnelMenuBar/SetupWindow.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTableView>
#include <boost/asio/post.hpp>
#include <future>
#include <gtest/gtest.h>
#include <regex>

namespace varnel::tray {
namespace {

using namespace std::chrono_literals;
using Status = VarnelAgent::Status;
using Operation = testing::ManagementOperation;
using Snapshot = testing::ManagementTestServer::Snapshot;
using testing::RawTestPrinter;
using testing::TestBench;

// No network printers are announced on this machine.
class NoServices final : public ServiceResolving {
public:
    Awaitable<bool> resolve(std::string, std::string, std::chrono::steady_clock::duration) override {
        co_return false;
    }
};

const char* const enrollmentCode = "VRNL-2345-6789";

testing::TestBenchOptions benchOptions() {
    testing::TestBenchOptions options;
    // The bench's own default code is not one the enrollment accepts.
    options.management.enrollmentCode = enrollmentCode;
    return options;
}

std::string label(const std::string& text) {
    return "^XA^FO20,20^A0N,30,30^FD" + text + "^FS^XZ";
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// An update that installs at once; the relaunch that follows is what the tests look at.
Awaitable<AppDelegate::InstalledUpdate> installedAtOnce(VarnelAPIClient::AgentUpdate,
                                                        std::function<void()> beforeSwap) {
    beforeSwap();
    co_return AppDelegate::InstalledUpdate{"/nonexistent/Varnel.app", {}};
}

class TrayBenchTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    void TearDown() override {
        if (delegate)
            delegate->shutDown(5s);
        bench.management().clearFaults();
        bench.management().releaseStalled();
        bench.pusher().setSilent(false);
        // Whatever the scenario, the agent has closed its channel before the loop goes.
        EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 10s));
        delegate.reset();
    }

    void makeDelegate() {
        AppDelegate::Services services{loop, logger, nullptr, alerts,         desktop, [this] { ++quits; },
                                       {},   {},     15s,     installedAtOnce};
        services.agentOptions.bonjour = std::make_shared<NoServices>();
        services.agentOptions.runner.reportWaitScale = 0.02;
        services.reporterTimings = DiagnosticsReporter::Timings{50ms, 1s, 1200ms};
        QuitBudget::apply(services.agentOptions, services.reporterTimings);
        delegate = std::make_unique<AppDelegate>(std::move(services));
    }

    // An enrollment as an earlier run left it.
    void saveEnrollment() {
        bench.agentSettings().save();
        CredentialStore::deviceToken().save(bench.token());
    }

    void launchConnected() {
        saveEnrollment();
        makeDelegate();
        delegate->launch();
        ASSERT_TRUE(waitUntil([&] { return delegate->status() == Status::connected(); }, 20s)) << logText();
    }

    std::string logText() const {
        std::string text;
        for (const auto& line : logger->messages())
            text += line + "\n";
        return text;
    }

    TestFolders folders;
    ::varnel::testing::ScopedEnvironment authority{"SSL_CERT_FILE", TestBench::caFile().string()};
    TestBench bench{benchOptions()};
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    AgentLoop loop; // after the bench: the agent's sockets end before the servers go
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::shared_ptr<RecordingDesktop> desktop = std::make_shared<RecordingDesktop>();
    int quits = 0;
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(TrayBenchTest, SetUpEnrollsAndStartsTheAgentAndAPushedJobPrintsOnce) {
    auto& printer = bench.addPrinter();
    makeDelegate();
    delegate->launch();
    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }));
    EXPECT_EQ(alerts->titles().front(), "Varnel needs setting up");

    delegate->openSetup();
    auto* window = delegate->setupWindow();
    ASSERT_TRUE(window);
    window->findChild<QCheckBox*>("serverToggle")->setChecked(true);
    const auto port = std::to_string(bench.management().port());
    window->findChild<QLineEdit*>("serverField")->setText(QString::fromStdString("127.0.0.1:" + port));
    window->findChild<QLineEdit*>("codeField")->setText(enrollmentCode);
    QTest::mouseClick(window->findChild<QPushButton*>("connectButton"), Qt::LeftButton);

    ASSERT_TRUE(waitUntil([&] { return contains(alerts->titles(), "Varnel is connected"); }, 20s))
        << logText();
    EXPECT_EQ(alerts->shown.back().body,
              "This Mac is enrolled as \"Bench Device\". Your printers will appear in a moment.");
    EXPECT_FALSE(window->isVisible());
    ASSERT_TRUE(waitUntil([&] { return delegate->status() == Status::connected(); }, 20s)) << logText();
    EXPECT_EQ(CredentialStore::deviceToken().load(), bench.token());
    ASSERT_TRUE(delegate->settings());
    EXPECT_EQ(delegate->settings()->deviceName, "Bench Device");

    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = label("Tray")});
    ASSERT_TRUE(
        bench.management().waitFor([jobId](const Snapshot& s) { return s.resultCount(jobId) > 0; }, 20s))
        << logText();
    EXPECT_EQ(bench.management().snapshot().results.at(jobId).front()["state"], "printed");
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return !s.jobs().empty() && !s.jobs()[0].open; }, 10s));
    const auto jobs = printer.snapshot().jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].bytes, label("Tray") + "\n");
    EXPECT_TRUE(bench.management().waitFor(
        [](const Snapshot& s) { return contains(s.eventKinds(), "agent_started"); }, 10s));
}

TEST_F(TrayBenchTest, EnrollingAgainStopsTheOldAgentBeforeTheNewOneStarts) {
    launchConnected();
    ASSERT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 1; }, 10s));
    delegate->openSetup();
    auto* window = delegate->setupWindow();
    // The saved server is filled in again, port included.
    EXPECT_EQ(window->findChild<QLineEdit*>("serverField")->text().toStdString(),
              "127.0.0.1:" + std::to_string(bench.management().port()));
    window->findChild<QLineEdit*>("codeField")->setText(enrollmentCode);
    QTest::mouseClick(window->findChild<QPushButton*>("connectButton"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return contains(alerts->titles(), "Varnel is connected"); }, 20s))
        << logText();
    EXPECT_TRUE(delegate->hasAgent()) << "the alert came before the new agent was started";
    ASSERT_TRUE(waitUntil([&] { return delegate->status() == Status::connected(); }, 20s)) << logText();
    // One channel: the old agent closed its own; it was not left running beside the new one.
    EXPECT_EQ(bench.pusher().snapshot().openSockets, 1u);
    EXPECT_EQ(bench.management().snapshot().enrollments.size(), 1u);
}

// Qt's offscreen platform has no system tray, as GNOME without an extension has none: the window
// opened at launch is the whole application, and must show what is known as soon as it is.
TEST_F(TrayBenchTest, WithoutATrayTheWindowOpenedAtLaunchShowsTheComputerItsPrintersAndTheConnection) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    bench.assignPrinters({"Packing desk", "Shipping ZT410"});
    saveEnrollment();
    makeDelegate();
    const auto launched = std::chrono::steady_clock::now();
    delegate->launch();
    auto* window = delegate->configurationWindow();
    ASSERT_TRUE(window);
    ASSERT_TRUE(window->isVisible());

    auto* headline = window->findChild<QLabel*>("statusHeadline");
    auto* detail = window->findChild<QLabel*>("statusDetail");
    auto* table = window->findChild<QTableView*>("printerTable");
    const auto cell = [&](int row) { return table->model()->index(row, 0).data().toString().toStdString(); };
    const auto computerName = [&] {
        for (const auto* label : window->findChild<QWidget*>("computer")->findChildren<QLabel*>()) {
            if (label->text() == "Bench Device")
                return true;
        }
        return false;
    };
    const bool shown = waitUntil(
        [&] {
            return headline->text() == QString::fromUtf8("Varnel — connected") &&
                   detail->text() == QString::fromUtf8("Bench Device · 2 printer(s)") &&
                   table->model()->rowCount() == 2 && window->findChild<QWidget*>("computer") &&
                   computerName();
        },
        3s);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - launched);
    EXPECT_TRUE(shown) << headline->text().toStdString() << " / " << detail->text().toStdString() << " / "
                       << table->model()->rowCount() << " row(s), first \"" << cell(0) << "\"";
    std::cout << "the window showed the enrolled computer after " << took.count() << " ms\n";
    const std::vector<std::string> names{cell(0), cell(1)};
    EXPECT_TRUE(contains(names, "Packing desk") && contains(names, "Shipping ZT410"))
        << cell(0) << ", " << cell(1);
    EXPECT_TRUE(window->findChild<QPushButton*>("disconnectButton"));
    EXPECT_FALSE(window->findChild<QPushButton*>("connectButton"))
        << "an enrolled computer is offered set-up";
}

// The agent, its reporter and its client run on the loop, and must end there: a destructor run on
// the Qt thread touches the loop's timers and sockets from a second thread.
TEST_F(TrayBenchTest, AnAgentStoppedWhileARefreshAndARescanWaitIsReleasedOnTheLoop) {
    launchConnected();
    const auto hosted = delegate->hostedForTesting();
    // The loop is held, so that the refresh, the rescan and the disconnect have all begun before
    // any of them is answered.
    std::promise<void> holding;
    std::promise<void> release;
    auto released = release.get_future().share();
    boost::asio::post(loop.executor(), [&holding, released] {
        holding.set_value();
        released.wait();
    });
    holding.get_future().wait();
    delegate->spawn(delegate->refresh());
    delegate->rescan();
    delegate->spawn(delegate->disconnect());
    ASSERT_TRUE(waitUntil([&] { return !delegate->hasAgent(); }));
    release.set_value();

    // This thread is the Qt thread, and runs none of its work now: whatever still holds the agent
    // once the loop has stopped it is on the Qt side, and would destroy it there.
    testing::eventually(
        [&] {
            return std::all_of(hosted.begin(), hosted.end(), [](const auto& weak) { return weak.expired(); });
        },
        10s);
    EXPECT_TRUE(hosted[0].expired()) << "the agent";
    EXPECT_TRUE(hosted[1].expired()) << "its reporter";
    EXPECT_TRUE(hosted[2].expired()) << "its client";
    EXPECT_TRUE(waitUntil([&] { return delegate->status() == Status::notEnrolled(); }));
}

TEST_F(TrayBenchTest, DisconnectStopsTheAgentAndDeletesTheTokenAndSettings) {
    launchConnected();
    // Settings and token: the launch tells that Varnel runs.
    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }));
    EXPECT_EQ(alerts->titles().front(), "Varnel is running");

    delegate->openConfiguration();
    auto* disconnect = delegate->configurationWindow()->findChild<QPushButton*>("disconnectButton");
    ASSERT_TRUE(disconnect);
    QTest::mouseClick(disconnect, Qt::LeftButton); // the scripted alerts choose "Disconnect"
    ASSERT_TRUE(
        waitUntil([&] { return delegate->status() == Status::notEnrolled() && !delegate->hasAgent(); }));
    EXPECT_TRUE(contains(alerts->titles(), "Disconnected"));
    EXPECT_FALSE(CredentialStore::deviceToken().load());
    EXPECT_FALSE(AgentSettings::load());
    EXPECT_FALSE(delegate->settings());
    EXPECT_TRUE(delegate->printers().empty());
    // The stopped agent has closed its channel: the old credential hears no job any more.
    EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 10s));
}

TEST_F(TrayBenchTest, QuitWithTheServerUpReportsTheShutDownAndStops) {
    launchConnected();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(delegate->shutDown(QuitBudget::agentStop)) << logText();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, 2s);
    std::cout << "quit with the server up: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
    EXPECT_TRUE(contains(bench.management().snapshot().eventKinds(), "agent_stopped"));
    EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 10s));
}

TEST_F(TrayBenchTest, QuitEndsWithinTwoSecondsWhileTheServerStalls) {
    launchConnected();
    bench.management().stallNext(Operation::events, 100);
    bench.management().stallNext(Operation::heartbeat, 100);
    bench.pusher().setSilent(true);
    const auto started = std::chrono::steady_clock::now();
    delegate->shutDown(QuitBudget::agentStop);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, 2s);
    std::cout << "quit with the server stalled: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
    EXPECT_FALSE(delegate->hasAgent());
}

// The relaunch after an update and the log-out stop the agent themselves, and take it out of the
// delegate as their stop begins. A quit in that time must still wait for that stop: the label it
// cuts is reported only at its end, and a process gone before leaves the label to print again at
// the next start.
TEST_F(TrayBenchTest, AQuitDuringAStopAlreadyUnderWayWaitsForTheCutLabelsReport) {
    const struct {
        const char* stop;
        std::function<void(AppDelegate&)> begin;
    } cases[] = {
        {"the relaunch after an update",
         [](AppDelegate& tray) {
             tray.setAvailableUpdateForTesting(offer());
             tray.installUpdate();
         }},
        {"the log-out", [](AppDelegate& tray) { tray.spawn(tray.disconnect()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stop);
        auto& printer = bench.addPrinter(RawTestPrinter::Mode::stall, 4096);
        ASSERT_NO_FATAL_FAILURE(launchConnected());
        const auto payload = testing::labelsOfAtLeast(4 * 1024 * 1024);
        const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = payload});
        ASSERT_TRUE(printer.waitForTheFirstJobToStall(20s)) << logText();

        c.begin(*delegate);
        ASSERT_TRUE(waitUntil([&] { return !delegate->hasAgent(); })) << "the stop did not begin";
        const auto started = std::chrono::steady_clock::now();
        const bool ended = delegate->shutDown(QuitBudget::agentStop);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        // What the server holds the moment the quit lets the process end.
        const auto snapshot = bench.management().snapshot();
        std::cout << "quit during " << c.stop << ": " << took.count() << " ms, "
                  << snapshot.resultCount(jobId) << " report(s) of the cut label\n";
        EXPECT_TRUE(ended) << logText();
        EXPECT_LE(took, QuitBudget::agentStop + 100ms);
        EXPECT_EQ(snapshot.resultCount(jobId), 1u) << "the quit ended before the stop had reported the label";
        if (const auto* result = snapshot.lastResult(jobId)) {
            EXPECT_EQ((*result)["state"], "failed") << result->dump();
            const auto taken = testing::bytesTaken(*result);
            EXPECT_TRUE(taken && taken->second == payload.size() + 1) << result->dump();
        }

        delegate.reset();
        EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 10s));
    }
}

TEST_F(TrayBenchTest, ATestLabelReachesARawPrinterAndTheAlertCountsItsBytes) {
    auto& printer = bench.addPrinter();
    makeDelegate();
    const ReportedPrinter zebra{printer.key(),
                                "Bench Zebra",
                                PrinterTransport::network,
                                PrinterLanguage::zpl,
                                std::nullopt,
                                std::nullopt,
                                "online",
                                std::nullopt,
                                std::nullopt,
                                std::nullopt};
    delegate->testPrint(zebra);
    ASSERT_TRUE(waitUntil([&] { return !alerts->shown.empty(); }, 15s)) << logText();
    EXPECT_EQ(alerts->shown[0].title, "Test label sent");
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return !s.jobs().empty() && !s.jobs()[0].open; }, 10s));
    const auto bytes = printer.snapshot().jobs()[0].bytes;
    EXPECT_EQ(alerts->shown[0].body, std::to_string(bytes.size()) + " bytes to Bench Zebra.");
    EXPECT_NE(bytes.find("Bench Zebra"), std::string::npos);
    EXPECT_TRUE(std::regex_search(bytes, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));

    auto usb = zebra;
    usb.key = "usb:nowhere";
    delegate->testPrint(usb);
    ASSERT_TRUE(waitUntil([&] { return alerts->shown.size() == 2; }, 15s));
    EXPECT_EQ(alerts->shown[1].title, "Couldn't print");
    EXPECT_EQ(alerts->shown[1].body, "No way to reach Bench Zebra.");
}

} // namespace
} // namespace varnel::tray
