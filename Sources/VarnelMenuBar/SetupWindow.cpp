#include "VarnelMenuBar/SetupWindow.hpp"

#include "VarnelKit/Support/Error.hpp"
#include "VarnelMenuBar/SetupForm.hpp"

#include <QCheckBox>
#include <QFont>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace varnel {
namespace {

const QColor systemRed(0xFF, 0x3B, 0x30);

QFont sized(int points, QFont::Weight weight = QFont::Normal) {
    QFont font;
    font.setPointSize(points);
    font.setWeight(weight);
    return font;
}

void colourText(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

QColor secondaryColour(const QWidget* widget) {
    return widget->palette().color(QPalette::PlaceholderText);
}

} // namespace

SetupWindow::SetupWindow(Enroller enroller, EnrolledCallback onEnrolled, QWidget* parent)
    : QDialog(parent), enroller_(std::move(enroller)), onEnrolled_(std::move(onEnrolled)) {
    setWindowTitle(QStringLiteral("Set up Varnel"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* heading = new QLabel(QStringLiteral("Connect this Mac to Varnel"), this);
    heading->setFont(sized(15, QFont::DemiBold));
    auto* instructions =
        new QLabel(QStringLiteral("Open Varnel in your browser, go to Computers \u2192 Add a "
                                  "computer, and copy the code it shows you. Codes last a few "
                                  "minutes."),
                   this);
    instructions->setFont(sized(12));
    instructions->setWordWrap(true);
    colourText(instructions, secondaryColour(instructions));
    auto* codeLabel = new QLabel(QStringLiteral("Code"), this);
    codeLabel->setFont(sized(12));

    codeField_ = new QLineEdit(this);
    codeField_->setObjectName(QStringLiteral("codeField"));
    codeField_->setPlaceholderText(QStringLiteral("VRNL-7K3D-2QX8"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSize(13);
    codeField_->setFont(mono);

    serverToggle_ = new QCheckBox(QStringLiteral("Use a different server"), this);
    serverToggle_->setObjectName(QStringLiteral("serverToggle"));
    serverToggle_->setFont(sized(12));

    serverField_ = new QLineEdit(this);
    serverField_->setObjectName(QStringLiteral("serverField"));
    serverField_->setPlaceholderText(QString::fromUtf8(
        Enrollment::defaultServerHost.data(), static_cast<int>(Enrollment::defaultServerHost.size())));
    serverField_->setToolTip(QStringLiteral("The address of your Varnel server. https is required."));
    serverField_->setVisible(false);

    messageLabel_ = new QLabel(this);
    messageLabel_->setObjectName(QStringLiteral("messageLabel"));
    messageLabel_->setFont(sized(12));
    messageLabel_->setWordWrap(true);
    messageLabel_->setMaximumHeight(4 * messageLabel_->fontMetrics().lineSpacing());
    colourText(messageLabel_, secondaryColour(messageLabel_));

    // Qt has no spinning indicator; a busy bar says the same.
    spinner_ = new QProgressBar(this);
    spinner_->setObjectName(QStringLiteral("spinner"));
    spinner_->setRange(0, 0);
    spinner_->setTextVisible(false);
    spinner_->setFixedSize(60, 12);
    spinner_->setVisible(false);

    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setObjectName(QStringLiteral("cancelButton"));
    cancelButton_->setAutoDefault(false);
    connectButton_ = new QPushButton(QStringLiteral("Connect"), this);
    connectButton_->setObjectName(QStringLiteral("connectButton"));
    connectButton_->setDefault(true);
    connectButton_->setMinimumWidth(100);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(spinner_);
    buttons->addStretch(1);
    buttons->addWidget(cancelButton_);
    buttons->addSpacing(10);
    buttons->addWidget(connectButton_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(0);
    layout->addWidget(heading);
    layout->addSpacing(6);
    layout->addWidget(instructions);
    layout->addSpacing(18);
    layout->addWidget(codeLabel);
    layout->addSpacing(4);
    layout->addWidget(codeField_);
    layout->addSpacing(14);
    layout->addWidget(serverToggle_);
    layout->addSpacing(8);
    layout->addWidget(serverField_);
    layout->addSpacing(12);
    layout->addWidget(messageLabel_);
    layout->addSpacing(12);
    layout->addStretch(1);
    layout->addLayout(buttons);
    // 460 wide; the height follows the content: a four-line error with the server field shown
    // needs more than a fixed height would give.
    layout->addStrut(460 - 2 * 20);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(codeField_, &QLineEdit::textChanged, this, [this] { applyEnablingRule(); });
    connect(serverField_, &QLineEdit::textChanged, this, [this] { applyEnablingRule(); });
    connect(serverToggle_, &QCheckBox::toggled, this, [this] { toggleServerField(); });
    connect(connectButton_, &QPushButton::clicked, this, [this] { connectClicked(); });
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
    applyEnablingRule();
}

void SetupWindow::present() {
    if (serverField_->text().isEmpty()) {
        std::optional<AgentSettings> stored;
        try {
            stored = AgentSettings::load();
        } catch (const RefusedFile&) {
            // Settings that break the rules, or that someone else could have written, may name
            // someone else's server: no address is offered.
        }
        if (const auto host = SetupForm::prefillHost(stored)) {
            serverToggle_->setChecked(true);
            serverField_->setVisible(true);
            serverField_->setText(QString::fromStdString(*host));
        }
    }
    messageLabel_->clear();
    colourText(messageLabel_, secondaryColour(messageLabel_));
    show();
    raise();
    activateWindow();
    QTimer::singleShot(0, this, [this] {
        activateWindow();
        codeField_->setFocus();
    });
}

void SetupWindow::toggleServerField() {
    const bool on = serverToggle_->isChecked();
    serverField_->setVisible(on);
    if (on) {
        serverField_->setFocus();
    } else {
        serverField_->clear();
        codeField_->setFocus();
    }
    applyEnablingRule();
}

void SetupWindow::applyEnablingRule() {
    connectButton_->setEnabled(SetupForm::connectEnabled(isWorking_, codeField_->text().toStdString()));
}

void SetupWindow::setWorking(bool working) {
    isWorking_ = working;
    spinner_->setVisible(working);
    connectButton_->setText(working ? QStringLiteral("Connecting\u2026") : QStringLiteral("Connect"));
    serverField_->setEnabled(!working);
    serverToggle_->setEnabled(!working);
    codeField_->setEnabled(!working);
    applyEnablingRule();
}

void SetupWindow::connectClicked() {
    if (isWorking_)
        return;
    setWorking(true);
    messageLabel_->clear();
    colourText(messageLabel_, secondaryColour(messageLabel_));
    QPointer<SetupWindow> self(this);
    enroller_(serverField_->text().toStdString(), codeField_->text().toStdString(), [self](Outcome outcome) {
        if (self)
            self->finish(outcome);
    });
}

void SetupWindow::finish(const Outcome& outcome) {
    setWorking(false);
    if (const auto* success = std::get_if<Enrollment::Success>(&outcome)) {
        // Also after Cancel: the enrollment went on, and its result counts.
        if (onEnrolled_)
            onEnrolled_(*success);
        close();
        return;
    }
    const auto& error = std::get<std::exception_ptr>(outcome);
    messageLabel_->setText(QString::fromStdString(describeException(error)));
    colourText(messageLabel_, systemRed);
    bool codeFailure = false;
    try {
        std::rethrow_exception(error);
    } catch (const Enrollment::Failure& failure) {
        codeFailure = SetupForm::isCodeFailure(failure.kind());
    } catch (...) {
    }
    if (codeFailure) {
        codeField_->selectAll();
        codeField_->setFocus();
    } else if (serverToggle_->isChecked()) {
        serverField_->setFocus();
    } else {
        codeField_->setFocus();
    }
}

} // namespace varnel
