#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"

#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QTabWidget;
class QTableView;
class QTimer;

namespace varnel {

class Alerts;
class Desktop;
class PrinterTableModel;

// The window that shows what the agent does: a header with the status, the printers, the recent
// log lines and this computer's enrollment. Everything it shows comes from the providers; it
// reloads itself every 2 s from its creation until it is first closed.
class ConfigurationWindow final : public QWidget {
    Q_OBJECT

public:
    struct Providers {
        std::function<VarnelAgent::Status()> status;
        std::function<std::vector<ReportedPrinter>()> printers;
        std::function<std::optional<AgentSettings>()> settings;
        std::function<std::vector<std::string>()> log;
    };

    struct Callbacks {
        std::function<void()> setupRequested;
        // After the token and the settings file were deleted: the owner stops the running agent.
        std::function<void()> disconnected;
    };

    ConfigurationWindow(Providers providers, Callbacks callbacks, Alerts& alerts, Desktop& desktop,
                        QWidget* parent = nullptr);
    ~ConfigurationWindow() override;

    void reload(bool full);
    // The whole window as the providers give it now, the summary's count included; a table that
    // already shows the providers' printers is left alone, so that its selection stays.
    void showCurrent();
    // The actions of the window's buttons.
    void recheck();
    void openDashboard();
    void openLogFolder();
    void connectComputer();
    void disconnectComputer();

    bool isRefreshing() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* makePrintersTab();
    QWidget* makeActivityTab();
    QWidget* makeComputerTab(const std::optional<AgentSettings>& settings);
    void showComputerTab(const std::optional<AgentSettings>& settings);
    void keepGeometry();

    Providers providers_;
    Callbacks callbacks_;
    Alerts& alerts_;
    Desktop& desktop_;
    QWidget* statusDot_;
    QLabel* statusHeadline_;
    QLabel* statusDetail_;
    QTabWidget* tabs_;
    QTableView* tableView_;
    PrinterTableModel* model_;
    QPlainTextEdit* activityView_;
    QTimer* refreshTimer_;
    // Saves the size and place a moment after the last move, so that a quit with the window open
    // keeps them too.
    QTimer* geometrySaver_;
    // The settings the "This Mac" tab was built from.
    std::optional<AgentSettings> computerTabSettings_;
};

} // namespace varnel
