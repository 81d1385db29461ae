#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Agent/InstanceLock.hpp"
#include "VarnelKit/Support/AgentLogger.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/HeapMemory.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/MessageBoxAlerts.hpp"
#include "VarnelMenuBar/QtDesktop.hpp"
#include "VarnelMenuBar/QuitBudget.hpp"
#include "VarnelMenuBar/QuitSignals.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"

#include <QApplication>
#include <QMetaObject>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

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

bool hasArgument(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    varnel::HeapMemory::adopt(varnel::HeapMemory::programPolicy);
    // Settled before Qt meets the display: a second start only hands over to the running copy,
    // which shows its window, and ends at once, also where there is no display or no one to click.
    // Only a start that finds that copy in its quit waits, for the lock, and then runs.
    std::optional<varnel::InstanceLock> lock;
    // A relaunch after an update overlaps the old instance's quit, which takes at most 2 s.
    const bool relaunched = hasArgument(argc, argv, "--relaunched");
    // The copy that started this one in its place after an update: it asks on the socket whether
    // this one runs, and may put back the tree it replaced until it has ended.
    const pid_t relauncher = relaunched ? ::getppid() : 0;
    try {
        lock.emplace(varnel::InstanceLock::defaultFile());
        if (!lock->acquire(relaunched ? 5000ms : 0ms)) {
            // A copy that does not answer is quitting (it stops answering as its quit begins) and
            // lets go of the lock within its quit; this start then runs in its place, as it was
            // asked to. The rest of the wait covers the signal's way to that copy and the end of
            // its process. A copy that holds the lock beyond that (one still setting up its socket,
            // one that hangs, or `varnel-agent run`, which has no socket) is left to run.
            constexpr auto quittingCopy = varnel::QuitBudget::total + 1000ms;
            if (varnel::SingleInstance::handOver(lock->file(), 1000ms) || !lock->acquire(quittingCopy)) {
                std::fputs("Varnel is already running.\n", stderr);
                return 0;
            }
        }
    } catch (const varnel::InstanceLock::Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.description().c_str());
        return 1;
    } catch (const std::exception& failure) {
        // No home folder: nowhere for the lock, nor for anything else.
        std::fprintf(stderr, "Varnel cannot start: %s\n", failure.what());
        return 1;
    }
    varnel::SingleInstance instance(lock->file());

    QApplication app(argc, argv);
    // Closing the set-up window or an alert must not end a tray application.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setOrganizationName(QStringLiteral("Varnel"));
    QApplication::setApplicationName(QStringLiteral("VarnelMenuBar"));

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
    // quit's 2 s.
    varnel::QuitBudget::apply(services.agentOptions, services.reporterTimings);
    services.instance = &instance;
    services.lock = &*lock;
    auto* delegate = new varnel::AppDelegate(std::move(services));

    varnel::QuitSignals signals(*loop, [&app] {
        QMetaObject::invokeMethod(
            &app, [] { QApplication::quit(); }, Qt::QueuedConnection);
    });

    // On the Qt thread; again where the lock was taken anew, beside which later starts look.
    const auto listen = [delegate, &instance, logger, relauncher] {
        instance.stopListening();
        if (!instance.listen([delegate] { delegate->showWindow(); }, relauncher))
            logger->error("A second start of Varnel cannot reach this one: its socket could not be set up.");
    };
    QTimer::singleShot(0, delegate, [delegate, listen, relauncher] {
        delegate->launch();
        // After the launch has begun loading the settings, so that a second start finds them.
        listen();
        // Only once this copy answers: a relaunching copy that hears nothing puts its tree back.
        delegate->removeUpdateLeftovers(relauncher);
    });
    // The lock stays with this copy when its folder is removed or replaced; where another copy took
    // it first, this one quits, so that one agent runs.
    lock->keep({
        [logger, &app, listen](const std::string& line) {
            logger->info(line);
            QMetaObject::invokeMethod(&app, listen, Qt::QueuedConnection);
        },
        [logger, &app](const std::string& why) {
            logger->error(why);
            QMetaObject::invokeMethod(
                &app, [] { QApplication::exit(1); }, Qt::QueuedConnection);
        },
        [logger](const std::string& line) { logger->error(line); },
    });
    const int status = app.exec();

    const auto quitStarted = std::chrono::steady_clock::now();
    instance.stopListening();
    delegate->shutDown(varnel::QuitBudget::agentStop);
    lock->release();
    flushWithin(logFile, quitStarted + varnel::QuitBudget::total - varnel::QuitBudget::exit -
                             std::chrono::steady_clock::now());
    std::fflush(stdout);
    std::fflush(stderr);
    // Never between an update's two moves: the install folder would be left empty.
    const auto moves =
        varnel::AgentUpdater::holdMoves(quitStarted + varnel::QuitBudget::total - std::chrono::steady_clock::now());
    std::quick_exit(status);
}
