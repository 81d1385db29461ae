#include "VarnelMenuBar/MessageBoxAlerts.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

namespace varnel {
namespace {

// Clicks the button with this text in the modal alert once it is up.
void clickWhenShown(const QString& text, QString* seenText) {
    QTimer::singleShot(0, [text, seenText] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            clickWhenShown(text, seenText);
            return;
        }
        *seenText = box->text() + "|" + box->informativeText();
        for (auto* button : box->buttons()) {
            if (button->text() == text)
                button->click();
        }
    });
}

TEST(MessageBoxAlertsTest, TheAnswerIsTheButtonChosenWhateverItsPlace) {
    MessageBoxAlerts alerts;
    const Alert question{Alert::Style::warning,
                         "Disconnect this Mac from Varnel?",
                         "It will stop printing.",
                         {"Disconnect", "Cancel"}};
    QString seen;
    clickWhenShown("Cancel", &seen);
    EXPECT_EQ(alerts.run(question), 1);
    EXPECT_EQ(seen, "Disconnect this Mac from Varnel?|It will stop printing.");
    clickWhenShown("Disconnect", &seen);
    EXPECT_EQ(alerts.run(question), 0);

    clickWhenShown("OK", &seen);
    EXPECT_EQ(alerts.run(Alert{Alert::Style::information, "Test label sent", "12 bytes to Zebra.", {}}), 0);
    EXPECT_EQ(seen, "Test label sent|12 bytes to Zebra.");
}

} // namespace
} // namespace varnel
