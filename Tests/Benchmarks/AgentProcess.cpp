#include "AgentProcess.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace varnel::testing {

namespace {

using namespace std::chrono_literals;

std::vector<char*> pointersTo(const std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (const auto& word : words)
        pointers.push_back(const_cast<char*>(word.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

std::string exitText(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "ended";
}

} // namespace

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long procField(const std::string& text, std::string_view name) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
            auto rest = line.substr(name.size() + 1);
            while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
                rest.remove_prefix(1);
            long value = -1;
            std::from_chars(rest.data(), rest.data() + rest.size(), value);
            return value;
        }
        at = end + 1;
    }
    return -1;
}

std::vector<std::string> agentEnvironment(const std::filesystem::path& home, const std::filesystem::path& caFile) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("SSL_CERT_FILE=") && !text.starts_with("SSL_CERT_DIR=") &&
            !text.starts_with("CUPS_SERVER=") && !text.starts_with("XDG_DATA_HOME="))
            environment.emplace_back(text);
    }
    environment.push_back("SSL_CERT_FILE=" + caFile.string());
    environment.push_back("CUPS_SERVER=" + (home / "no-scheduler.sock").string());
    environment.push_back("XDG_DATA_HOME=" + (home / "data").string());
    return environment;
}

CommandRun runCommand(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    auto argv = pointersTo(arguments);
    auto envp = pointersTo(environment);
    CommandRun run;
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (failed) {
        ::close(output[0]);
        throw std::runtime_error("could not start " + arguments[0] + ": " + std::strerror(failed));
    }
    char buffer[4096];
    for (;;) {
        const auto n = ::read(output[0], buffer, sizeof buffer);
        if (n > 0) {
            run.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(output[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

AgentProcess::AgentProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    auto argv = pointersTo(arguments);
    auto envp = pointersTo(environment);
    const pid_t parent = ::getpid();
    launchedAt_ = Clock::now();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec: this process has other threads.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup2(input, STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(output[1]);
    reader_ = std::thread([this, fd = output[0]] { readOutput(fd); });
}

AgentProcess::~AgentProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (reader_.joinable())
        reader_.join();
}

void AgentProcess::readOutput(int fd) {
    std::string pending;
    char buffer[8192];
    for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const auto now = Clock::now();
        pending.append(buffer, static_cast<std::size_t>(n));
        std::lock_guard lock(outputLock_);
        std::size_t start = 0;
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
            lines_.emplace_back(now, pending.substr(start, end - start));
            start = end + 1;
        }
        pending.erase(0, start);
        outputChanged_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(outputLock_);
    if (!pending.empty())
        lines_.emplace_back(Clock::now(), pending);
    outputEnded_ = true;
    outputChanged_.notify_all();
}

std::optional<AgentProcess::Clock::time_point> AgentProcess::waitForLine(const std::string& text,
                                                                       Clock::duration limit) {
    std::unique_lock lock(outputLock_);
    std::optional<Clock::time_point> found;
    outputChanged_.wait_for(lock, limit, [&] {
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
    std::lock_guard lock(outputLock_);
    return lines_.size();
}

std::vector<std::string> AgentProcess::lastLines(std::size_t count) const {
    std::lock_guard lock(outputLock_);
    std::vector<std::string> last;
    for (std::size_t i = lines_.size() > count ? lines_.size() - count : 0; i < lines_.size(); ++i)
        last.push_back(lines_[i].second);
    return last;
}

bool AgentProcess::running() {
    if (ended_)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        ended_ = true;
        status_ = status;
    }
    return !ended_;
}

std::string AgentProcess::ending() const {
    return ended_ ? exitText(status_) : "is still running";
}

bool AgentProcess::stop(int signal, Clock::duration limit, double& tookMs) {
    const auto asked = Clock::now();
    if (!running())
        return false;
    ::kill(pid_, signal);
    // The reaped exit is what counts; the reader sees the output end a moment earlier.
    while (running() && Clock::now() - asked < limit)
        std::this_thread::sleep_for(5ms);
    tookMs = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
    if (running())
        return false;
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

std::filesystem::path AgentProcess::proc() const {
    return "/proc/" + std::to_string(pid_);
}

double AgentProcess::cpuSeconds() const {
    clockid_t clock{};
    timespec used{};
    if (::clock_getcpuclockid(pid_, &clock) != 0 || ::clock_gettime(clock, &used) != 0)
        return 0;
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

std::map<pid_t, long long> AgentProcess::threadCpuNanoseconds() const {
    std::map<pid_t, long long> threads;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc() / "task", error)) {
        // schedstat: time on the CPU (ns), time waiting to run (ns), slices.
        const auto text = readWholeFile(task.path() / "schedstat");
        long long onCpu = -1;
        std::from_chars(text.data(), text.data() + text.size(), onCpu);
        if (onCpu >= 0)
            threads[std::stoi(task.path().filename().string())] = onCpu;
    }
    return threads;
}

std::map<pid_t, std::string> AgentProcess::threadWaits() const {
    std::map<pid_t, std::string> waits;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc() / "task", error))
        waits[std::stoi(task.path().filename().string())] = readWholeFile(task.path() / "wchan");
    return waits;
}

ProcessMemory AgentProcess::memory() const {
    const auto status = readWholeFile(proc() / "status");
    const auto rollup = readWholeFile(proc() / "smaps_rollup");
    return {procField(status, "VmRSS"),
            procField(status, "VmHWM"),
            procField(status, "RssAnon"),
            procField(status, "RssFile"),
            procField(rollup, "Pss"),
            procField(rollup, "Private_Clean") + procField(rollup, "Private_Dirty")};
}

std::vector<std::pair<long, std::string>> AgentProcess::residentFiles() const {
    std::map<std::string, long> byFile;
    std::ifstream smaps(proc() / "smaps");
    std::string file;
    for (std::string line; std::getline(smaps, line);) {
        const bool mapping = !line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
                             line.find('-') < line.find(' ');
        if (mapping) {
            // "start-end perms offset dev inode   path"
            std::size_t field = 0, at = 0;
            while (field < 5 && at != std::string::npos) {
                at = line.find_first_not_of(' ', line.find(' ', at));
                ++field;
            }
            file = at == std::string::npos ? std::string() : line.substr(at);
        } else if (line.starts_with("Rss:") && file.starts_with("/")) {
            byFile[file] += procField(line, "Rss");
        }
    }
    std::vector<std::pair<long, std::string>> files;
    for (const auto& [path, kib] : byFile)
        files.emplace_back(kib, std::filesystem::path(path).filename().string());
    std::sort(files.rbegin(), files.rend());
    return files;
}

long AgentProcess::switches() {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc() / "task", error)) {
        const auto status = readWholeFile(task.path() / "status");
        const long voluntary = procField(status, "voluntary_ctxt_switches");
        const long involuntary = procField(status, "nonvoluntary_ctxt_switches");
        if (voluntary < 0 || involuntary < 0)
            continue;
        const pid_t tid = std::stoi(task.path().filename().string());
        auto [entry, added] = threads_.try_emplace(tid);
        if (added)
            entry->second.first = switchesCounted_ ? 0 : voluntary + involuntary;
        entry->second.last = voluntary + involuntary;
    }
    switchesCounted_ = true;
    long total = 0;
    for (const auto& [tid, thread] : threads_)
        total += thread.last - thread.first;
    return total;
}

void AgentProcess::resetSwitches() {
    threads_.clear();
    switchesCounted_ = false;
    switches();
}

std::vector<long> AgentProcess::switchesByThread() const {
    std::vector<long> counts;
    for (const auto& [tid, thread] : threads_)
        counts.push_back(thread.last - thread.first);
    return counts;
}

} // namespace varnel::testing
