#include "VarnelMenuBar/Takeover.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace varnel::Takeover {
namespace {

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

// One connection at a time to the new program's socket, never blocking. The program binds the
// socket a moment before it listens, and may close a connection without a word while it quits: a
// refusal or such an end is tried again.
class Probe {
public:
    explicit Probe(std::optional<LocalAddress> socket) : address_(std::move(socket)) {}

    // Connects unless connected. False when the socket is not there to be tried.
    bool connect() {
        if (socket_.isOpen())
            return true;
        if (!address_)
            return false;
        socket_.reset(address_->connect());
        if (socket_.isOpen())
            return true;
        // Bound but not listening yet, a full backlog, or out of descriptors: there, and tried
        // again.
        return errno != ENOENT && errno != ENOTDIR;
    }

    // Reads what has come. True once a whole line has: the instance's answer.
    bool answered() {
        while (socket_.isOpen()) {
            char buffer[64];
            const ssize_t got = ::read(socket_.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EAGAIN)
                return false;
            if (got <= 0 || answer_.size() + static_cast<std::size_t>(got) > sizeof buffer) {
                socket_.reset();
                answer_.clear();
                return false;
            }
            answer_.append(buffer, static_cast<std::size_t>(got));
            if (answer_.find('\n') != std::string::npos)
                return true;
        }
        return false;
    }

    // -1 while not connected.
    int descriptor() const noexcept { return socket_.get(); }

private:
    std::optional<LocalAddress> address_;
    Descriptor socket_;
    std::string answer_;
};

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

bool waitFor(const std::optional<LocalAddress>& socket, pid_t child, std::chrono::milliseconds limit,
             const Interruption* interruption) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    // The child's end, the socket's appearance and the answer wake the wait; where one of them
    // cannot be watched, or the socket is there but refuses, it looks again every 100 ms.
    const Descriptor process(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    const Descriptor watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const bool watching = watch.get() >= 0 && socket && socket->path() &&
                          ::inotify_add_watch(watch.get(), socket->path()->parent_path().c_str(),
                                              IN_CREATE | IN_MOVED_TO | IN_ATTRIB) >= 0;
    Probe probe(socket);
    for (;;) {
        const bool there = probe.connect();
        if (probe.answered())
            return true;
        if (hasEnded(child))
            return false;
        if (interruption && interruption->interrupted())
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        std::array<pollfd, 4> waits{};
        nfds_t count = 0;
        if (process.get() >= 0)
            waits[count++] = pollfd{process.get(), POLLIN, 0};
        if (watching)
            waits[count++] = pollfd{watch.get(), POLLIN, 0};
        const bool interruptible = interruption && interruption->descriptor() >= 0;
        if (interruptible)
            waits[count++] = pollfd{interruption->descriptor(), POLLIN, 0};
        const bool connected = probe.descriptor() >= 0;
        if (connected)
            waits[count++] = pollfd{probe.descriptor(), POLLIN, 0};
        const bool woken =
            process.get() >= 0 && watching && (!interruption || interruptible) && (connected || !there);
        const auto timeout = woken ? left : std::min(left, std::chrono::milliseconds(100));
        ::poll(waits.data(), count, static_cast<int>(timeout.count()));
        if (watching)
            drain(watch.get());
    }
    // Too slow to be told from a program that hangs at its start, or the wait was given up. An
    // answer that came with the last moment still counts: that program runs.
    if (probe.answered())
        return true;
    ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
}

} // namespace varnel::Takeover
