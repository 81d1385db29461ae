#include "VarnelMenuBar/SetupWindow.hpp"

#include "TraySupport.hpp"
#include "VarnelKit/Agent/AgentSettings.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <unistd.h>

namespace varnel::tray {
namespace {

// The window with an enrollment that waits until the test answers it.
class SetupWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<SetupWindow>(
            [this](std::string server, std::string code, std::function<void(SetupWindow::Outcome)> done) {
                calls.emplace_back(std::move(server), std::move(code));
                pending = std::move(done);
            },
            [this](const Enrollment::Success& success) { enrolled.push_back(success); });
        code = window->findChild<QLineEdit*>("codeField");
        server = window->findChild<QLineEdit*>("serverField");
        toggle = window->findChild<QCheckBox*>("serverToggle");
        connectButton = window->findChild<QPushButton*>("connectButton");
        message = window->findChild<QLabel*>("messageLabel");
        window->present();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    // On the box itself: the check box is as wide as the window, its hit area is not.
    void clickBox() { QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(6, toggle->height() / 2)); }

    void answer(SetupWindow::Outcome outcome) {
        ASSERT_TRUE(pending);
        auto done = std::exchange(pending, nullptr);
        done(std::move(outcome));
    }

    TestFolders folders;
    std::unique_ptr<SetupWindow> window;
    std::vector<std::pair<std::string, std::string>> calls;
    std::function<void(SetupWindow::Outcome)> pending;
    std::vector<Enrollment::Success> enrolled;
    QLineEdit* code = nullptr;
    QLineEdit* server = nullptr;
    QCheckBox* toggle = nullptr;
    QPushButton* connectButton = nullptr;
    QLabel* message = nullptr;
};

TEST_F(SetupWindowTest, ReturnConnectsOnlyOnceACodeIsTypedAndPassesItUntrimmed) {
    EXPECT_EQ(window->width(), 460);
    EXPECT_EQ(window->windowTitle(), "Set up Varnel");
    EXPECT_FALSE(connectButton->isEnabled());
    QTest::keyClicks(code, "  \t ");
    EXPECT_FALSE(connectButton->isEnabled());
    QTest::keyClick(code, Qt::Key_Return);
    EXPECT_TRUE(calls.empty()) << "Return connected without a code";

    code->setText("  VRNL-2345-6789 ");
    EXPECT_TRUE(connectButton->isEnabled());
    QTest::keyClick(code, Qt::Key_Return);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::pair<std::string, std::string>{"", "  VRNL-2345-6789 "}));
}

TEST_F(SetupWindowTest, WhileEnrollingEverythingWaitsAndARejectedCodeIsSelectedUnderARedMessage) {
    code->setText("VRNL-2345-6789");
    QTest::mouseClick(connectButton, Qt::LeftButton);
    EXPECT_TRUE(window->isWorking());
    EXPECT_FALSE(connectButton->isEnabled());
    EXPECT_EQ(connectButton->text(), QString::fromUtf8("Connecting\u2026"));
    EXPECT_FALSE(code->isEnabled());
    EXPECT_FALSE(toggle->isEnabled());
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_EQ(calls.size(), 1u) << "a second Connect while enrolling";

    answer(std::make_exception_ptr(Enrollment::Failure::codeRejected()));
    EXPECT_FALSE(window->isWorking());
    EXPECT_TRUE(connectButton->isEnabled());
    EXPECT_EQ(connectButton->text(), "Connect");
    EXPECT_EQ(message->text().toStdString(), Enrollment::Failure::codeRejected().description());
    EXPECT_EQ(message->palette().color(QPalette::WindowText), QColor(0xFF, 0x3B, 0x30));
    EXPECT_EQ(code->selectedText(), "VRNL-2345-6789");
    EXPECT_TRUE(window->isVisible());
}

TEST_F(SetupWindowTest, AnUnreachableServerPutsTheCursorInTheServerField) {
    clickBox();
    ASSERT_TRUE(server->isVisible());
    server->setText("varnel.example:8443");
    code->setText("VRNL-2345-6789");
    QTest::mouseClick(connectButton, Qt::LeftButton);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, "varnel.example:8443");
    answer(std::make_exception_ptr(Enrollment::Failure::unreachable("Could not connect to the server.")));
    EXPECT_TRUE(waitUntil([&] { return server->hasFocus(); }));

    // Turning the box off empties the field: the next Connect goes to the default server.
    clickBox();
    EXPECT_TRUE(server->text().isEmpty());
    EXPECT_FALSE(server->isVisible());
    QTest::mouseClick(connectButton, Qt::LeftButton);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].first, "");
}

TEST_F(SetupWindowTest, EscapeClosesAtOnceAndALaterSuccessStillCounts) {
    code->setText("VRNL-2345-6789");
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QSignalSpy finished(window.get(), &QDialog::finished);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(window->isVisible());

    answer(Enrollment::Success{42, "Front desk"});
    ASSERT_EQ(enrolled.size(), 1u);
    EXPECT_EQ(enrolled[0], (Enrollment::Success{42, "Front desk"}));
    EXPECT_FALSE(window->isVisible());
}

void saveSettings(const std::string& server, const std::string& realtimeHost) {
    AgentSettings settings;
    settings.deviceName = "Front desk";
    settings.serverURL = *parseAbsoluteUrl(server);
    settings.reverb = ReverbSettings{"key", realtimeHost, 8080, "https"};
    settings.save();
}

TEST_F(SetupWindowTest, PresentPrefillsTheSavedServerOnlyIntoAnEmptyField) {
    window->close();
    saveSettings("https://[::1]:8443", "::1");
    window->present();
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(server->isVisible());
    EXPECT_EQ(server->text(), "[::1]:8443");

    server->setText("typed.example");
    window->close();
    window->present();
    EXPECT_EQ(server->text(), "typed.example");
}

// Settings that another user put there may name their own server: no address is offered.
TEST_F(SetupWindowTest, PresentOffersNoServerFromSettingsOfAnotherUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a file of another user needs root";
    window->close();
    saveSettings("https://elsewhere.example", "elsewhere.example");
    ASSERT_EQ(::chown(AgentSettings::fileURL().c_str(), 65534, 65534), 0);
    window->present();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(server->text(), "");
}

} // namespace
} // namespace varnel::tray
