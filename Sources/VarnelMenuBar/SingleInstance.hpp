#pragma once

#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelMenuBar/LocalAddress.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace varnel {

// One tray application per enrolment: a second one would run a second agent with the same
// credential and print every pushed label twice. What makes two copies one agent is the data
// folder that holds the credential and the settings, so the lock lives there, whatever each start's
// environment says otherwise. It is a kernel lock (flock) on a file that is never removed: the
// kernel frees it when its holder ends, so it is never stale, and at most one process holds it,
// however many starts meet. A second start hands over to the running instance through a local
// socket beside the lock, which asks it to show its window: without a system tray that is the only
// way back to a window once it was closed.
class SingleInstance {
public:
    explicit SingleInstance(const std::filesystem::path& lockFile);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Instance/varnel-menubar.lock in the data folder, the folder made private (0700) and the file
    // made when they are missing. A data folder of another user (root with this user's HOME) gets
    // nothing new: its lock is shared when its owner made it. Throws std::exception when there is
    // no data folder or no lock can be had in it.
    static std::filesystem::path defaultLockFile();
    // Where the instance that holds `lockFile` answers: varnel-menubar.socket beside it, or, where
    // that path is too long for a socket's address, an abstract name made of the folder's identity,
    // which every start that meets the lock finds alike. None without the folder.
    static std::optional<LocalAddress> socketAddress(const std::filesystem::path& lockFile);

    // True once this process holds the lock; waits up to `wait` for an earlier instance to let go
    // (a relaunch after an update overlaps the old instance's quit). The kernel wakes the wait
    // when the holder lets go or ends, and gives the lock to one waiter only; a timer of the calling
    // thread ends it with a real-time signal, which that thread must not block.
    bool acquire(std::chrono::milliseconds wait);
    // With the lock held, on the Qt thread: `showWindow` runs there for each later start, which
    // hands over instead of running. A caller that is the process `prober` (the copy that started
    // this one in its place, which asks only whether it runs) is answered without it; such a copy
    // may be of the release before, so this one answers where that release asks too. False when
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
    class Listener;

    bool listenAt(const LocalAddress& address, bool replace, const std::function<void()>& showWindow,
                  pid_t prober);

    std::filesystem::path lockFile_;
    Descriptor lock_;
    std::vector<std::unique_ptr<Listener>> listeners_;
};

} // namespace varnel
