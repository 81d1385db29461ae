#include "VarnelMenuBar/ConfigurationWindow.hpp"

#include "TraySupport.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTableView>
#include <gtest/gtest.h>

namespace varnel::tray {
namespace {

using Status = VarnelAgent::Status;

ReportedPrinter printer(std::string name, std::string status) {
    return ReportedPrinter{"net:" + name, std::move(name), PrinterTransport::network, PrinterLanguage::zpl,
                           std::nullopt,  std::nullopt,    std::move(status),         std::nullopt,
                           std::nullopt,  std::nullopt};
}

AgentSettings benchSettings() {
    AgentSettings settings;
    settings.deviceId = 7;
    settings.deviceName = "Front desk";
    settings.serverURL = *parseAbsoluteUrl("https://varnel.example");
    settings.reverb = ReverbSettings{"key", "varnel.example", 443, "https"};
    return settings;
}

class ConfigurationWindowTest : public ::testing::Test {
protected:
    std::unique_ptr<ConfigurationWindow> makeWindow() {
        ConfigurationWindow::Providers providers{
            [this] { return status; },
            [this] { return printers; },
            [this] { return settings; },
            [this] { return log; },
        };
        ConfigurationWindow::Callbacks callbacks{[this] { ++setupRequests; }, [this] { ++disconnects; }};
        auto window = std::make_unique<ConfigurationWindow>(std::move(providers), std::move(callbacks),
                                                            alerts, desktop);
        window->show();
        return window;
    }

    QString cellText(ConfigurationWindow& window, int row, int column) {
        auto* table = window.findChild<QTableView*>("printerTable");
        return table->model()->index(row, column).data().toString();
    }

    TestFolders folders;
    RecordingAlerts alerts;
    RecordingDesktop desktop;
    Status status = Status::connected();
    std::vector<ReportedPrinter> printers;
    std::optional<AgentSettings> settings = benchSettings();
    std::vector<std::string> log;
    int setupRequests = 0;
    int disconnects = 0;
};

TEST_F(ConfigurationWindowTest, TheTableTheHeaderAndTheLogPaneFollowTheProviders) {
    auto window = makeWindow();
    auto* table = window->findChild<QTableView*>("printerTable");
    ASSERT_EQ(table->model()->rowCount(), 1);
    EXPECT_EQ(cellText(*window, 0, 0), "No printers found");
    EXPECT_EQ(window->findChild<QLabel*>("statusHeadline")->text(),
              QString::fromUtf8("Varnel \u2014 connected"));
    auto* activity = window->findChild<QPlainTextEdit*>("activityView");
    EXPECT_EQ(activity->toPlainText(), "Nothing logged yet.");

    printers = {printer("Zebra", "online"), printer("Back", "offline")};
    log = {"first line", "second line"};
    window->recheck();
    ASSERT_EQ(table->model()->rowCount(), 2);
    EXPECT_EQ(cellText(*window, 0, 0), "Zebra");
    EXPECT_EQ(cellText(*window, 1, 2), "Not ready");
    EXPECT_EQ(activity->toPlainText(), "first line\nsecond line");
    // The summary counts the rows shown before this reload; the next reload has the new count.
    auto* detail = window->findChild<QLabel*>("statusDetail");
    EXPECT_EQ(detail->text(), QString::fromUtf8("Front desk \u00B7 0 printer(s)"));
    window->reload(false);
    EXPECT_EQ(detail->text(), QString::fromUtf8("Front desk \u00B7 2 printer(s)"));
}

TEST_F(ConfigurationWindowTest, DisconnectAsksFirstThenDeletesTheCredentialAndStopsTheAgent) {
    settings->save();
    CredentialStore::deviceToken().save("secret");
    auto window = makeWindow();
    auto* disconnect = window->findChild<QPushButton*>("disconnectButton");
    ASSERT_TRUE(disconnect);

    alerts.answers = {1}; // Cancel
    QTest::mouseClick(disconnect, Qt::LeftButton);
    EXPECT_EQ(alerts.titles(), std::vector<std::string>{"Disconnect this Mac from Varnel?"});
    EXPECT_TRUE(AgentSettings::load());
    EXPECT_TRUE(CredentialStore::deviceToken().load());
    EXPECT_EQ(disconnects, 0);
    EXPECT_TRUE(window->isVisible());

    QTest::mouseClick(disconnect, Qt::LeftButton);
    EXPECT_FALSE(AgentSettings::load());
    EXPECT_FALSE(CredentialStore::deviceToken().load());
    EXPECT_EQ(disconnects, 1) << "the running agent was not told";
    EXPECT_EQ(alerts.titles().back(), "Disconnected");
    // The program is already back to not set up: the alert says where set-up is, not to restart.
    EXPECT_EQ(
        alerts.shown.back().body,
        "To set this Mac up again, choose \"Set up Varnel\u2026\" in the Varnel menu, or \"Connect this "
        "Mac\u2026\" in the Varnel window.");
    EXPECT_FALSE(window->isVisible());
}

TEST_F(ConfigurationWindowTest, OpensCentredOnTheScreenTheFirstTime) {
    QSettings().remove("VarnelConfiguration");
    auto window = makeWindow();
    const QRect screen = window->screen()->availableGeometry();
    EXPECT_EQ(window->size(), QSize(720, 520));
    EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 2)
        << window->geometry().x() << "," << window->geometry().y() << " on " << screen.width() << "x"
        << screen.height();
}

// A quit (from the menu, or the session's end) comes with the window open, and never closes it.
TEST_F(ConfigurationWindowTest, KeepsTheSizeAndPlaceItHadWhenTheProgramEnded) {
    QSettings().remove("VarnelConfiguration");
    const QRect chosen(30, 50, 640, 460);
    {
        auto window = makeWindow();
        window->setGeometry(chosen);
        ASSERT_TRUE(
            waitUntil([] { return QSettings().contains("VarnelConfiguration"); }, std::chrono::seconds(5)));
    }
    auto window = makeWindow();
    EXPECT_EQ(window->geometry(), chosen);
}

TEST_F(ConfigurationWindowTest, RefreshesByItselfOnlyUntilFirstClosed) {
    auto window = makeWindow();
    EXPECT_TRUE(window->isRefreshing());
    window->close();
    EXPECT_FALSE(window->isRefreshing());
    window->show();
    EXPECT_FALSE(window->isRefreshing());
}

TEST_F(ConfigurationWindowTest, WithoutSettingsItOffersSetUpUntilAnEnrollmentShowsUp) {
    settings.reset();
    auto window = makeWindow();
    EXPECT_EQ(window->findChild<QLabel*>("statusDetail")->text(), "Not connected to Varnel");
    EXPECT_FALSE(window->findChild<QPushButton*>("disconnectButton"));
    auto* connect = window->findChild<QPushButton*>("connectButton");
    ASSERT_TRUE(connect);
    QTest::mouseClick(connect, Qt::LeftButton);
    EXPECT_EQ(setupRequests, 1);
    EXPECT_FALSE(window->isVisible());

    // Enrolled meanwhile: the window, kept for the life of the program, offers the disconnect.
    settings = benchSettings();
    window->show();
    window->reload(true);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window->findChild<QPushButton*>("disconnectButton"));
    EXPECT_FALSE(window->findChild<QPushButton*>("connectButton"));
}

} // namespace
} // namespace varnel::tray
