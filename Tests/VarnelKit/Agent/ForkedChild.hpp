#pragma once

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>
#include <functional>
#include <sys/types.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace varnel::testing {

// Runs `body` in a forked copy of this process and gives how the copy ended (waitpid's status).
// The copy never returns into the test: it exits with the body's result, or 99 after an escaping
// exception, whose text goes to standard error. For what a test must see a process do to itself:
// end part-way through an operation, or give up its privileges. The copy has only the calling
// thread, so the body makes its own loop; and the caller must have no other thread at the fork,
// since a lock another thread holds then (the sanitizers' allocator's among them) stays held in
// the copy for good.
inline int runInChild(const std::function<int()>& body) {
    const auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                       std::filesystem::directory_iterator());
    if (threads != 1)
        throw std::logic_error("runInChild: " + std::to_string(threads) + " threads run at the fork, not 1");
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        int code = 99;
        try {
            code = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace varnel::testing
