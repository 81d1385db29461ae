#pragma once

#include "VarnelMenuBar/LocalAddress.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace varnel {

// One tray application per enrolment, held by the library's InstanceLock, which `varnel-agent
// run` takes too. A second start of the tray hands over to the running instance through a local
// socket beside the lock, which asks it to show its window: without a system tray that is the only
// way back to a window once it was closed. This is that socket: the instance's side, which answers,
// and a later start's, which asks.
class SingleInstance {
public:
    // The socket that goes with the lock on `lockFile` (InstanceLock::file()).
    explicit SingleInstance(const std::filesystem::path& lockFile);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Where the instance that holds `lockFile` answers: varnel-menubar.socket beside it, or, where
    // that path is too long for a socket's address, an abstract name made of the folder's identity,
    // which every start that meets the lock finds alike. None without the folder.
    static std::optional<LocalAddress> socketAddress(const std::filesystem::path& lockFile);

    // With the lock held, on the Qt thread: `showWindow` runs there for each later start, which
    // hands over instead of running. A caller that is the process `prober` (the copy that started
    // this one in its place, which asks only whether it runs) is answered without it; such a copy
    // may be of the release before, so this one answers where that release asks too. False when
    // the socket could not be set up; the program then runs without it.
    bool listen(std::function<void()> showWindow, pid_t prober = 0);
    // No later start is answered from here on, so one that comes during the quit waits for the
    // lock instead of for an answer that never comes.
    void stopListening();
    std::filesystem::path lockFile() const;

    // A second start: asks the instance that holds the lock to show its window, and waits at most
    // `limit` for it to say it did. False when no instance answered (one that is quitting, or
    // that has no socket, such as `varnel-agent run`). Needs no QApplication and no display.
    static bool handOver(const std::filesystem::path& lockFile, std::chrono::milliseconds limit);

private:
    class Listener;

    bool listenAt(const LocalAddress& address, bool replace, const std::function<void()>& showWindow,
                  pid_t prober);

    std::filesystem::path lockFile_;
    std::vector<std::unique_ptr<Listener>> listeners_;
};

} // namespace varnel
