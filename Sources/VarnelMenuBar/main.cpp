#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Support/AgentLogger.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/MessageBoxAlerts.hpp"
#include "VarnelMenuBar/QtDesktop.hpp"
#include "VarnelMenuBar/QuitSignals.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"

#include <QApplication>
#include <QMetaObject>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The whole quit, from the menu or a signal to the end of the process.
constexpr auto quitLimit = 2000ms;
// What the quit leaves for the log's last lines once the agent has stopped or the wait gave up.
constexpr auto logFlushLimit = 200ms;

// The log's writer may wait behind a slow disk; the quit does not wait for it beyond the limit.
void flushWithin(const std::shared_ptr<varnel::LogFile>& file, std::chrono::steady_clock::duration limit) {
    if (!file || limit <= std::chrono::steady_clock::duration::zero())
        return;
    auto flushed = std::make_shared<std::promise<void>>();
    auto done = flushed->get_future();
    std::thread([file, flushed] {
        file->flush();
        flushed->set_value();
    }).detach();
    done.wait_for(limit);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Closing the set-up window or an alert must not end a tray application.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setOrganizationName(QStringLiteral("Varnel"));
    QApplication::setApplicationName(QStringLiteral("VarnelMenuBar"));

    varnel::SingleInstance instance(varnel::SingleInstance::defaultLockFile());
    // A relaunch after an update overlaps the old instance's quit, which takes at most 2 s.
    const bool relaunched = QApplication::arguments().contains(QStringLiteral("--relaunched"));
    if (!instance.acquire(relaunched ? 5000ms : 0ms)) {
        std::fputs("Varnel is already running.\n", stderr);
        varnel::MessageBoxAlerts().run(
            varnel::Alert{varnel::Alert::Style::information, "Varnel is already running", "", {}});
        return 0;
    }

    std::shared_ptr<varnel::LogFile> logFile;
    try {
        logFile = std::make_shared<varnel::LogFile>(varnel::LogFile::Configuration());
    } catch (const std::exception&) {
        // No home folder: the journal still gets every line.
    }
    auto logger = std::make_shared<varnel::AgentLogger>("com.varnel.agent", "agent", false, logFile);

    // Never destroyed: the process ends by quick_exit, so nothing waits for a blocking call that
    // hangs in the loop's pool.
    auto* loop = new varnel::AgentLoop();
    loop->startThread();

    varnel::AppDelegate::Services services{*loop,
                                           logger,
                                           logFile,
                                           std::make_shared<varnel::MessageBoxAlerts>(),
                                           std::make_shared<varnel::QtDesktop>(),
                                           [] { QApplication::quit(); },
                                           {},
                                           {},
                                           15s,
                                           {}};
    // A label being written when the quit comes is let finish, and its report sent, within the
    // quit's bound.
    services.agentOptions.runner.writeGrace = 1s;
    services.agentOptions.runner.shieldedReportLimit = 1s;
    // The final flush leaves room for the agent's stop and the log within the 2 s.
    services.reporterTimings.finalFlushLimit = 1200ms;
    services.instance = &instance;
    auto* delegate = new varnel::AppDelegate(std::move(services));
    delegate->removeUpdateLeftovers();

    varnel::QuitSignals signals(*loop, [&app] {
        QMetaObject::invokeMethod(
            &app, [] { QApplication::quit(); }, Qt::QueuedConnection);
    });

    QTimer::singleShot(0, delegate, [delegate] { delegate->launch(); });
    const int status = app.exec();

    const auto quitStarted = std::chrono::steady_clock::now();
    delegate->shutDown(quitLimit - logFlushLimit - 100ms);
    instance.release();
    flushWithin(logFile, quitStarted + quitLimit - 50ms - std::chrono::steady_clock::now());
    std::fflush(stdout);
    std::fflush(stderr);
    // Never between an update's two moves: the install folder would be left empty.
    const auto moves =
        varnel::AgentUpdater::holdMoves(quitStarted + quitLimit - std::chrono::steady_clock::now());
    std::quick_exit(status);
}
