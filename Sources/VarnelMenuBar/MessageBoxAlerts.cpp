#include "VarnelMenuBar/MessageBoxAlerts.hpp"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

namespace varnel {

int MessageBoxAlerts::run(const Alert& alert) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Varnel"));
    box.setText(QString::fromStdString(alert.title));
    box.setInformativeText(QString::fromStdString(alert.body));
    box.setIcon(alert.style == Alert::Style::warning ? QMessageBox::Warning : QMessageBox::Information);
    std::vector<QAbstractButton*> buttons;
    if (alert.buttons.empty()) {
        buttons.push_back(box.addButton(QMessageBox::Ok));
    } else {
        for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
            const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
            buttons.push_back(box.addButton(QString::fromStdString(alert.buttons[i]), role));
        }
    }
    box.setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    box.exec();
    // Qt lays buttons out by the platform's order, so the answer is the button, not its place.
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i])
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace varnel
