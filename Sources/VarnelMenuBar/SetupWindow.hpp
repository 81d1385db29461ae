#pragma once

#include "VarnelKit/Agent/Enrollment.hpp"

#include <QDialog>
#include <exception>
#include <functional>
#include <string>
#include <variant>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace varnel {

// The window in which a person enrolls this computer: the code from the dashboard, optionally
// another server, and Connect. Failures show in red under the fields; success is handed to the
// owner and closes the window. Kept for the life of the program and shown again by present().
class SetupWindow final : public QDialog {
    Q_OBJECT

public:
    using Outcome = std::variant<Enrollment::Success, std::exception_ptr>;
    // Runs one enrollment with the texts as typed and calls `done` once, on the Qt thread.
    using Enroller =
        std::function<void(std::string server, std::string code, std::function<void(Outcome)> done)>;
    using EnrolledCallback = std::function<void(const Enrollment::Success&)>;

    SetupWindow(Enroller enroller, EnrolledCallback onEnrolled, QWidget* parent = nullptr);

    // Pre-fills the server from the saved settings when its field is empty, clears the message and
    // brings the window forward with the code field focused.
    void present();
    bool isWorking() const noexcept { return isWorking_; }

private:
    void toggleServerField();
    void connectClicked();
    void setWorking(bool working);
    void applyEnablingRule();
    void finish(const Outcome& outcome);

    Enroller enroller_;
    EnrolledCallback onEnrolled_;
    QCheckBox* serverToggle_;
    QLineEdit* serverField_;
    QLineEdit* codeField_;
    QPushButton* connectButton_;
    QPushButton* cancelButton_;
    QProgressBar* spinner_;
    QLabel* messageLabel_;
    bool isWorking_ = false;
};

} // namespace varnel
