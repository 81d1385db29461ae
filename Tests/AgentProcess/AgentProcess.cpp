#include "AgentProcess/AgentProcess.hpp"

#include "VarnelKit/Support/TestPipes.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace varnel::testing {

namespace {

using namespace std::chrono_literals;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::system_error(errno, std::generic_category(), what);
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (auto& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> ownEnvironment() {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
        environment.emplace_back(*entry);
    return environment;
}

std::string exitText(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
               ")";
    return "ended";
}

// What a command run as a whole may take before it counts as hung.
constexpr auto commandLimit = 60s;

} // namespace

AgentProcess::AgentProcess(std::vector<std::string> arguments, Options options) {
    if (arguments.empty())
        throw std::invalid_argument("AgentProcess: no program");
    auto environment = options.environment ? std::move(*options.environment) : ownEnvironment();
    const auto argv = pointersTo(arguments);
    const auto envp = pointersTo(environment);
    const auto& closed = options.closedDescriptors;
    const auto closes = [&closed](int descriptor) {
        return std::find(closed.begin(), closed.end(), descriptor) != closed.end();
    };
    const bool closeInput = closes(STDIN_FILENO);
    const bool closeOutput = closes(STDOUT_FILENO);
    const bool closeErrors = closes(STDERR_FILENO);

    int output[2];
    int errors[2] = {-1, -1};
    check(::pipe2(output, O_CLOEXEC) == 0, "pipe2");
    if (!options.mergeErrors && ::pipe2(errors, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(output[0]);
        ::close(output[1]);
        throw std::system_error(error, std::generic_category(), "pipe2");
    }
    if (options.fullOutput) {
        // The smallest buffer the system allows, filled; the program gets it back blocking.
        (void)::fcntl(output[1], F_SETPIPE_SZ, 4096);
        fillUp(output[1]);
    }
    const int errorsTo = options.mergeErrors ? output[1] : errors[1];

    const pid_t parent = ::getpid();
    launchedAt_ = Clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec: this process has other threads.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (input < 0 || ::dup2(input, STDIN_FILENO) < 0 || ::dup2(output[1], STDOUT_FILENO) < 0 ||
            ::dup2(errorsTo, STDERR_FILENO) < 0)
            ::_exit(127);
        if (closeInput)
            ::close(STDIN_FILENO);
        if (closeOutput)
            ::close(STDOUT_FILENO);
        if (closeErrors)
            ::close(STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(output[1]);
    if (errors[1] >= 0)
        ::close(errors[1]);
    if (pid_ < 0) {
        ::close(output[0]);
        if (errors[0] >= 0)
            ::close(errors[0]);
        throw std::system_error(forkError, std::generic_category(), "fork " + arguments.front());
    }
    outputDescriptor_ = output[0];
    errorDescriptor_ = errors[0];
    if (errorDescriptor_ >= 0)
        errorReader_ = std::thread([this] { readInto(errorDescriptor_, errors_, false); });
    if (options.readOutput)
        startReading();
    waiter_ = std::thread([this] {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        const auto now = Clock::now();
        std::lock_guard guard(lock_);
        waitStatus_ = status;
        endedAt_ = now;
        changed_.notify_all();
    });
}

AgentProcess::~AgentProcess() {
    {
        std::lock_guard guard(lock_);
        if (!waitStatus_)
            ::kill(pid_, SIGKILL);
    }
    waiter_.join();
    // The program is gone, and with it the pipes' write ends: the readers reach the end.
    if (!outputReader_.joinable())
        startReading();
    outputReader_.join();
    if (errorReader_.joinable())
        errorReader_.join();
    ::close(outputDescriptor_);
    if (errorDescriptor_ >= 0)
        ::close(errorDescriptor_);
}

void AgentProcess::startReading() {
    outputReader_ = std::thread([this] { readInto(outputDescriptor_, output_, true); });
}

void AgentProcess::signal(int number) const {
    std::lock_guard guard(lock_);
    // Once reaped, the process id may belong to another process.
    if (!waitStatus_)
        ::kill(pid_, number);
}

void AgentProcess::readInto(int descriptor, std::string& text, bool lines) {
    readToTheEnd(descriptor, [&](std::string_view piece) {
        const auto now = Clock::now();
        std::lock_guard guard(lock_);
        text.append(piece);
        if (lines) {
            partialLine_.append(piece);
            std::size_t start = 0;
            for (auto end = partialLine_.find('\n'); end != std::string::npos;
                 end = partialLine_.find('\n', start)) {
                lines_.emplace_back(now, partialLine_.substr(start, end - start));
                start = end + 1;
            }
            partialLine_.erase(0, start);
        }
        changed_.notify_all();
    });
    std::lock_guard guard(lock_);
    if (lines) {
        if (!partialLine_.empty())
            lines_.emplace_back(Clock::now(), std::exchange(partialLine_, {}));
        outputEnded_ = true;
    } else {
        errorsEnded_ = true;
    }
    changed_.notify_all();
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

std::optional<AgentProcess::Clock::time_point> AgentProcess::waitForLine(const std::string& text,
                                                                         Clock::duration limit) {
    std::unique_lock guard(lock_);
    std::optional<Clock::time_point> found;
    changed_.wait_for(guard, limit, [&] {
        for (const auto& [at, line] : lines_) {
            if (line.find(text) != std::string::npos) {
                found = at;
                return true;
            }
        }
        return outputEnded_;
    });
    return found;
}

std::size_t AgentProcess::lineCount() const {
    std::lock_guard guard(lock_);
    return lines_.size();
}

std::optional<int> AgentProcess::waitForExit(Clock::duration limit) {
    std::unique_lock guard(lock_);
    // Until the readers have what the program wrote last too, unless something it started holds
    // its pipes open past the limit.
    const bool readingOutput = outputReader_.joinable();
    const bool readingErrors = errorDescriptor_ >= 0;
    changed_.wait_for(guard, limit, [&] {
        return waitStatus_ && (outputEnded_ || !readingOutput) && (errorsEnded_ || !readingErrors);
    });
    if (!waitStatus_)
        return std::nullopt;
    return WIFEXITED(*waitStatus_) ? WEXITSTATUS(*waitStatus_) : -1;
}

bool AgentProcess::running() const {
    std::lock_guard guard(lock_);
    return !waitStatus_;
}

std::optional<AgentProcess::Clock::time_point> AgentProcess::endedAt() const {
    std::lock_guard guard(lock_);
    if (!waitStatus_)
        return std::nullopt;
    return endedAt_;
}

std::string AgentProcess::ending() const {
    std::lock_guard guard(lock_);
    return waitStatus_ ? exitText(*waitStatus_) : "is still running";
}

std::string agentProgram() {
    return VARNEL_AGENT_PROGRAM;
}

std::vector<std::string> agentEnvironment(const std::filesystem::path& home,
                                          const std::filesystem::path& caFile) {
    std::vector<std::string> environment;
    for (const auto& entry : ownEnvironment()) {
        if (!entry.starts_with("SSL_CERT_FILE=") && !entry.starts_with("SSL_CERT_DIR=") &&
            !entry.starts_with("CUPS_SERVER=") && !entry.starts_with("XDG_DATA_HOME="))
            environment.push_back(entry);
    }
    environment.push_back("SSL_CERT_FILE=" + caFile.string());
    environment.push_back("CUPS_SERVER=" + (home / "no-scheduler.sock").string());
    environment.push_back("XDG_DATA_HOME=" + (home / "data").string());
    return environment;
}

CommandRun runCommand(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment) {
    AgentProcess::Options options;
    options.environment = environment;
    options.mergeErrors = true;
    AgentProcess process(arguments, options);
    CommandRun run;
    run.status = process.waitForExit(commandLimit).value_or(-1);
    run.output = process.output();
    const auto end = process.endedAt().value_or(AgentProcess::Clock::now());
    run.milliseconds = std::chrono::duration<double, std::milli>(end - process.launchedAt()).count();
    return run;
}

} // namespace varnel::testing
