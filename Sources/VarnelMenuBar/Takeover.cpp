#include "VarnelMenuBar/Takeover.hpp"

#include <QLockFile>
#include <QString>
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace varnel::Takeover {
namespace {

bool namesChild(const std::filesystem::path& lockFile, pid_t child) {
    qint64 pid = 0;
    QString host;
    QString application;
    return QLockFile(QString::fromStdString(lockFile.string())).getLockInfo(&pid, &host, &application) &&
           pid == child;
}

bool hasEnded(pid_t child) {
    int status = 0;
    pid_t result;
    while ((result = ::waitpid(child, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    // Not a child of this process (ECHILD): nothing to wait for.
    return result == child || result < 0;
}

void drain(int watch) {
    std::array<char, 4096> events{};
    while (::read(watch, events.data(), events.size()) > 0) {
    }
}

} // namespace

Interruption::Interruption() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Interruption::interrupt() noexcept {
    interrupted_.store(true);
    if (event_.isOpen()) {
        // Never read back: the descriptor stays readable for a wait that has yet to begin.
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(event_.get(), &one, sizeof one);
    }
}

bool waitFor(const std::filesystem::path& lockFile, pid_t child, std::chrono::milliseconds limit,
             const Interruption* interruption) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    // The child's end, and any change in the lock's folder, wake the wait; where either cannot be
    // watched, it looks again every 100 ms.
    const Descriptor process(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    const Descriptor watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const bool watching =
        watch.get() >= 0 && ::inotify_add_watch(watch.get(), lockFile.parent_path().c_str(),
                                                IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO) >= 0;
    for (;;) {
        if (namesChild(lockFile, child))
            return true;
        if (hasEnded(child))
            return namesChild(lockFile, child);
        if (interruption && interruption->interrupted())
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        std::array<pollfd, 3> waits{};
        nfds_t count = 0;
        if (process.get() >= 0)
            waits[count++] = pollfd{process.get(), POLLIN, 0};
        if (watching)
            waits[count++] = pollfd{watch.get(), POLLIN, 0};
        const bool interruptible = interruption && interruption->descriptor() >= 0;
        if (interruptible)
            waits[count++] = pollfd{interruption->descriptor(), POLLIN, 0};
        const bool woken = process.get() >= 0 && watching && (!interruption || interruptible);
        const auto timeout = woken ? left : std::min(left, std::chrono::milliseconds(100));
        ::poll(waits.data(), count, static_cast<int>(timeout.count()));
        if (watching)
            drain(watch.get());
    }
    // Too slow to be told from a program that hangs at its start, or the wait was given up. The
    // child has removed nothing before it names itself in the lock; should it do so between the
    // last look and its end, it still counts as having taken over.
    ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return namesChild(lockFile, child);
}

} // namespace varnel::Takeover
