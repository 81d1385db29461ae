#pragma once

#include <QLockFile>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <sys/types.h>

class QLocalServer;

namespace varnel {

// One tray application per user: a second one would run a second agent with the same credential
// and print every pushed label twice. The lock is a file that the system frees when its owner
// dies, so a crashed instance never blocks the next. A second start hands over to the running
// instance through a local socket beside the lock, which asks it to show its window: without a
// system tray that is the only way back to a window once it was closed.
class SingleInstance {
public:
    explicit SingleInstance(const std::filesystem::path& lockFile);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // varnel-menubar.lock in a folder that only this user can have made: $XDG_RUNTIME_DIR when it
    // is such a folder, else varnel-menubar-<uid> in the shared temporary folder, made here when
    // it is missing and used only when it is this user's own and private; else a folder in the
    // data folder; else a fresh one in the temporary folder. Throws
    // std::filesystem::filesystem_error when not even that can be made.
    static std::filesystem::path defaultLockFile();
    // The socket beside a lock file: its name with ".socket" in place of ".lock".
    static std::filesystem::path socketFile(const std::filesystem::path& lockFile);

    // True once this process holds the lock; waits up to `wait` for an earlier instance to let go
    // (a relaunch after an update overlaps the old instance's quit). A lock file that names no
    // process and that no process holds is stale, as is one that names a process that has ended.
    // Woken by the lock's removal and its holder's end, so a wait costs nothing while it lasts.
    bool acquire(std::chrono::milliseconds wait);
    // With the lock held, on the Qt thread: `showWindow` runs there for each later start, which
    // hands over instead of running. A caller that is the process `prober` (the copy that started
    // this one in its place, which asks only whether it runs) is answered without it. False when
    // the socket could not be set up; the program then runs without it.
    bool listen(std::function<void()> showWindow, pid_t prober = 0);
    // No later start is answered from here on, so one that comes during the quit waits for the
    // lock instead of for an answer that never comes. The lock is kept.
    void stopListening();
    // Stops listening, then lets go of the lock.
    void release();
    std::filesystem::path lockFile() const;

    // A second start: asks the instance that holds the lock to show its window, and waits at most
    // `limit` for it to say it did. False when no instance answered (one that is quitting, or
    // that has no socket). Needs no QApplication and no display.
    static bool handOver(const std::filesystem::path& lockFile, std::chrono::milliseconds limit);

private:
    std::filesystem::path lockFile_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};

} // namespace varnel
