#include "VarnelMenuBar/ConfigurationWindow.hpp"

#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/ConfigurationText.hpp"
#include "VarnelMenuBar/Desktop.hpp"
#include "VarnelMenuBar/PrinterTable.hpp"
#include "VarnelMenuBar/PrinterTableModel.hpp"
#include "VarnelMenuBar/StatusIcon.hpp"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace varnel {
namespace {

const char* const geometryKey = "VarnelConfiguration";

// The header's round status dot; its colour is kept as the "colour" property.
class StatusDot final : public QWidget {
public:
    explicit StatusDot(QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("statusDot"));
        setFixedSize(12, 12);
    }

    void setColour(const QColor& colour) {
        if (property("colour").value<QColor>() == colour)
            return;
        setProperty("colour", colour);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(property("colour").value<QColor>());
        painter.drawEllipse(rect());
    }
};

QFont sized(int points, QFont::Weight weight = QFont::Normal) {
    QFont font;
    font.setPointSize(points);
    font.setWeight(weight);
    return font;
}

QLabel* secondaryLabel(const QString& text, int points, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(sized(points));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

// Set only on a change, so that the 2 s reload keeps a selection and the scroll position.
void setIfChanged(QLabel* label, const QString& value) {
    if (label->text() != value)
        label->setText(value);
}

} // namespace

ConfigurationWindow::ConfigurationWindow(Providers providers, Callbacks callbacks, Alerts& alerts,
                                         Desktop& desktop, QWidget* parent)
    : QWidget(parent, Qt::Window), providers_(std::move(providers)), callbacks_(std::move(callbacks)),
      alerts_(alerts), desktop_(desktop) {
    setWindowTitle(QStringLiteral("Varnel"));
    setMinimumSize(560, 420);
    resize(720, 520);

    statusDot_ = new StatusDot(this);
    statusHeadline_ = new QLabel(this);
    statusHeadline_->setObjectName(QStringLiteral("statusHeadline"));
    statusHeadline_->setFont(sized(15, QFont::DemiBold));
    statusDetail_ = secondaryLabel(QString(), 12, this);
    statusDetail_->setObjectName(QStringLiteral("statusDetail"));

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(statusHeadline_);
    texts->addWidget(statusDetail_);
    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(statusDot_, 0, Qt::AlignTop);
    header->addLayout(texts);
    header->addStretch(1);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("tabs"));
    tabs_->addTab(makePrintersTab(), QStringLiteral("Printers"));
    tabs_->addTab(makeActivityTab(), QStringLiteral("Activity"));
    computerTabSettings_ = providers_.settings ? providers_.settings() : std::nullopt;
    tabs_->addTab(makeComputerTab(computerTabSettings_), QStringLiteral("This Mac"));

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(16, 16, 16, 16);
    root->addLayout(header);
    root->addSpacing(14);
    root->addWidget(tabs_, 1);

    // Where the person left it; the first time, centred on the screen.
    const QSettings saved;
    if (!restoreGeometry(saved.value(geometryKey).toByteArray())) {
        if (const QScreen* shown = screen())
            setGeometry(
                QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), shown->availableGeometry()));
    }
    geometrySaver_ = new QTimer(this);
    geometrySaver_->setSingleShot(true);
    geometrySaver_->setInterval(500);
    connect(geometrySaver_, &QTimer::timeout, this, [this] { keepGeometry(); });

    reload(true);
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setObjectName(QStringLiteral("refreshTimer"));
    refreshTimer_->setInterval(2000);
    connect(refreshTimer_, &QTimer::timeout, this, [this] { reload(false); });
    refreshTimer_->start();
}

ConfigurationWindow::~ConfigurationWindow() = default;

QWidget* ConfigurationWindow::makePrintersTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("printers"));
    model_ = new PrinterTableModel(this);
    tableView_ = new QTableView(tab);
    tableView_->setObjectName(QStringLiteral("printerTable"));
    tableView_->setModel(model_);
    tableView_->setAlternatingRowColors(true);
    tableView_->setSelectionMode(QAbstractItemView::SingleSelection);
    tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView_->setTextElideMode(Qt::ElideRight);
    tableView_->verticalHeader()->hide();
    for (std::size_t i = 0; i < PrinterTable::columns.size(); ++i)
        tableView_->horizontalHeader()->resizeSection(static_cast<int>(i), PrinterTable::columns[i].width);

    auto* recheck = new QPushButton(QStringLiteral("Check again"), tab);
    connect(recheck, &QPushButton::clicked, this, [this] { this->recheck(); });
    auto* dashboard = new QPushButton(QStringLiteral("Open Varnel in browser"), tab);
    connect(dashboard, &QPushButton::clicked, this, [this] { openDashboard(); });
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(recheck);
    buttons->addWidget(dashboard);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(10);
    layout->addWidget(tableView_, 1);
    layout->addLayout(buttons);
    return tab;
}

QWidget* ConfigurationWindow::makeActivityTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("activity"));
    activityView_ = new QPlainTextEdit(tab);
    activityView_->setObjectName(QStringLiteral("activityView"));
    activityView_->setReadOnly(true);
    activityView_->setLineWrapMode(QPlainTextEdit::NoWrap);
    activityView_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSize(11);
    activityView_->setFont(mono);

    auto* folder = new QPushButton(QStringLiteral("Open log folder"), tab);
    connect(folder, &QPushButton::clicked, this, [this] { openLogFolder(); });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(folder);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(10);
    layout->addWidget(activityView_, 1);
    layout->addLayout(buttons);
    return tab;
}

QWidget* ConfigurationWindow::makeComputerTab(const std::optional<AgentSettings>& settings) {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("computer"));
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(10);
    if (settings) {
        const auto field = [&](const QString& caption, const QString& value) {
            auto* column = new QVBoxLayout;
            column->setSpacing(1);
            column->addWidget(secondaryLabel(caption, 11, tab));
            auto* label = new QLabel(value, tab);
            label->setTextInteractionFlags(Qt::TextSelectableByMouse);
            column->addWidget(label);
            layout->addLayout(column);
        };
        field(QStringLiteral("Name"), text(settings->deviceName));
        field(QStringLiteral("Server"), text(std::string(settings->serverURL.buffer())));
        field(QStringLiteral("Version"), text(AgentVersion::display()));
        layout->addSpacing(20);
        auto* disconnect = new QPushButton(QStringLiteral("Disconnect this Mac\u2026"), tab);
        disconnect->setObjectName(QStringLiteral("disconnectButton"));
        connect(disconnect, &QPushButton::clicked, this, [this] { disconnectComputer(); });
        layout->addWidget(disconnect, 0, Qt::AlignLeft);
    } else {
        layout->addWidget(new QLabel(QStringLiteral("This Mac isn't connected to Varnel yet."), tab));
        auto* connectButton = new QPushButton(QStringLiteral("Connect this Mac\u2026"), tab);
        connectButton->setObjectName(QStringLiteral("connectButton"));
        connect(connectButton, &QPushButton::clicked, this, [this] { connectComputer(); });
        layout->addWidget(connectButton, 0, Qt::AlignLeft);
    }
    layout->addStretch(1);
    return tab;
}

// The window opens at launch where there is no tray, before the agent has loaded the settings, and
// stays for the life of the program: a tab built only once would offer "Connect" to an enrolled
// computer, or "Disconnect" to one that was just disconnected.
void ConfigurationWindow::showComputerTab(const std::optional<AgentSettings>& settings) {
    if (settings == computerTabSettings_)
        return;
    computerTabSettings_ = settings;
    const int index = tabs_->count() - 1;
    const bool current = tabs_->currentIndex() == index;
    QWidget* old = tabs_->widget(index);
    tabs_->removeTab(index);
    old->deleteLater();
    tabs_->addTab(makeComputerTab(settings), QStringLiteral("This Mac"));
    if (current)
        tabs_->setCurrentIndex(index);
}

void ConfigurationWindow::reload(bool full) {
    const auto status = providers_.status ? providers_.status() : VarnelAgent::Status::notEnrolled();
    const auto dot = ConfigurationText::dotColour(status);
    static_cast<StatusDot*>(statusDot_)->setColour(QColor(dot.red, dot.green, dot.blue));
    setIfChanged(statusHeadline_, text(StatusIcon::tooltip(status)));
    const auto settings = providers_.settings ? providers_.settings() : std::nullopt;
    // The count of the rows shown so far: a full reload's new rows show at the next reload.
    setIfChanged(statusDetail_, text(ConfigurationText::detail(settings, model_->rows().size())));
    const auto activity =
        text(ConfigurationText::activity(providers_.log ? providers_.log() : std::vector<std::string>{}));
    if (activityView_->toPlainText() != activity)
        activityView_->setPlainText(activity);
    if (full) {
        model_->setRows(providers_.printers ? providers_.printers() : std::vector<ReportedPrinter>{});
        showComputerTab(settings);
    }
}

void ConfigurationWindow::showCurrent() {
    auto printers = providers_.printers ? providers_.printers() : std::vector<ReportedPrinter>{};
    if (printers != model_->rows())
        model_->setRows(std::move(printers));
    showComputerTab(providers_.settings ? providers_.settings() : std::nullopt);
    reload(false);
}

void ConfigurationWindow::recheck() {
    reload(true);
}

void ConfigurationWindow::openDashboard() {
    if (const auto settings = providers_.settings ? providers_.settings() : std::nullopt)
        desktop_.openUrl(std::string(settings->serverURL.buffer()));
}

void ConfigurationWindow::openLogFolder() {
    try {
        desktop_.openPath(LogFile::Configuration::defaultDirectory());
    } catch (const std::exception&) {
        // No home folder: there is no log folder to show.
    }
}

void ConfigurationWindow::connectComputer() {
    close();
    if (callbacks_.setupRequested)
        callbacks_.setupRequested();
}

void ConfigurationWindow::disconnectComputer() {
    Alert confirm{Alert::Style::warning,
                  "Disconnect this Mac from Varnel?",
                  "It will stop printing until it is set up again with a new code.",
                  {"Disconnect", "Cancel"}};
    if (alerts_.run(confirm) != 0)
        return;
    try {
        StoredEnrollment::clear(CredentialStore::deviceToken());
    } catch (...) {
        alerts_.run(Alert{Alert::Style::warning,
                          "Varnel could not disconnect this Mac",
                          describeException(std::current_exception()),
                          {"OK"}});
        return;
    }
    // The running agent still holds the token in memory: without this it would go on printing.
    if (callbacks_.disconnected)
        callbacks_.disconnected();
    Alert done{
        Alert::Style::information,
        "Disconnected",
        "To set this Mac up again, choose \"Set up Varnel\u2026\" in the Varnel menu, or \"Connect this "
        "Mac\u2026\" in the Varnel window.",
        {}};
    alerts_.run(done);
    close();
}

bool ConfigurationWindow::isRefreshing() const {
    return refreshTimer_->isActive();
}

void ConfigurationWindow::closeEvent(QCloseEvent* event) {
    refreshTimer_->stop();
    keepGeometry();
    QWidget::closeEvent(event);
}

void ConfigurationWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (isVisible())
        geometrySaver_->start();
}

void ConfigurationWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (isVisible())
        geometrySaver_->start();
}

void ConfigurationWindow::keepGeometry() {
    geometrySaver_->stop();
    QSettings saved;
    saved.setValue(geometryKey, QWidget::saveGeometry());
}

} // namespace varnel
