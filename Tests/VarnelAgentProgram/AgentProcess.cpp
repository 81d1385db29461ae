#include "AgentProcess.hpp"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace varnel::testing {

namespace {

void check(bool ok, const char* what) {
    if (!ok)
        throw std::system_error(errno, std::generic_category(), what);
}

// A pipe whose write end takes nothing more: the smallest buffer the system allows, filled.
void fill(int writeEnd) {
    (void)::fcntl(writeEnd, F_SETPIPE_SZ, 4096);
    const int flags = ::fcntl(writeEnd, F_GETFL);
    check(::fcntl(writeEnd, F_SETFL, flags | O_NONBLOCK) == 0, "fcntl");
    const std::string filler(512, '.');
    while (::write(writeEnd, filler.data(), filler.size()) > 0) {
    }
    // The program gets an ordinary blocking pipe: the flag belongs to the shared open file.
    check(::fcntl(writeEnd, F_SETFL, flags) == 0, "fcntl");
}

} // namespace

std::string agentProgram() {
    return VARNEL_AGENT_PROGRAM;
}

AgentProcess::AgentProcess(std::vector<std::string> arguments, Options options) {
    int output[2];
    int errors[2];
    check(::pipe2(output, O_CLOEXEC) == 0, "pipe2");
    check(::pipe2(errors, O_CLOEXEC) == 0, "pipe2");
    if (options.fullOutput)
        fill(output[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    ::close(errors[1]);
    if (failed != 0) {
        ::close(output[0]);
        ::close(errors[0]);
        throw std::system_error(failed, std::generic_category(), "posix_spawn " + arguments.front());
    }
    outputDescriptor_ = output[0];
    errorDescriptor_ = errors[0];
    errorReader_ = std::thread([this] { readInto(errorDescriptor_, errors_); });
    if (options.readOutput)
        startReading();
    waiter_ = std::thread([this] {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        std::lock_guard guard(lock_);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        changed_.notify_all();
    });
}

AgentProcess::~AgentProcess() {
    {
        std::unique_lock guard(lock_);
        if (!status_)
            ::kill(pid_, SIGKILL);
    }
    waiter_.join();
    // The program is gone, and with it the pipes' write ends: the readers reach the end.
    if (!outputReader_.joinable())
        startReading();
    outputReader_.join();
    errorReader_.join();
    ::close(outputDescriptor_);
    ::close(errorDescriptor_);
}

void AgentProcess::startReading() {
    outputReader_ = std::thread([this] { readInto(outputDescriptor_, output_); });
}

void AgentProcess::signal(int number) const {
    ::kill(pid_, number);
}

void AgentProcess::readInto(int descriptor, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(descriptor, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        std::lock_guard guard(lock_);
        text.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
}

std::string AgentProcess::output() const {
    std::lock_guard guard(lock_);
    return output_;
}

std::string AgentProcess::errors() const {
    std::lock_guard guard(lock_);
    return errors_;
}

bool AgentProcess::waitForOutput(const std::function<bool(const std::string&)>& condition,
                                 std::chrono::milliseconds limit) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return condition(output_); });
}

bool AgentProcess::waitForLine(const std::string& line, std::chrono::milliseconds limit) {
    return waitForOutput(
        [&line](const std::string& text) { return text.find(line + "\n") != std::string::npos; }, limit);
}

std::optional<int> AgentProcess::waitForExit(std::chrono::milliseconds limit) {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, limit, [this] { return status_.has_value(); });
    return status_;
}

} // namespace varnel::testing
