#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace varnel::testing {

// The environment the shipped program runs in for a benchmark: this process's own, with a data
// folder of its own (XDG_DATA_HOME), the bench's certificate authority (SSL_CERT_FILE) and a
// CUPS_SERVER on which nothing listens, so that discovery never touches the machine's scheduler.
std::vector<std::string> agentEnvironment(const std::filesystem::path& home, const std::filesystem::path& caFile);

// One whole run of a program: its output and exit status, and how long it took from the spawn to
// the reaped exit.
struct CommandRun {
    int status = -1; // the exit status, or -1 when it did not exit normally
    std::string output; // standard output and standard error together
    double milliseconds = 0;
};
CommandRun runCommand(const std::vector<std::string>& arguments, const std::vector<std::string>& environment);

struct ProcessMemory {
    long rssKiB = -1, peakKiB = -1, anonKiB = -1, fileKiB = -1;
    long pssKiB = -1;     // shared pages divided among the processes that map them
    long privateKiB = -1; // pages no other process maps
};

// `varnel-agent run` as a child process, seen from outside: its output lines with the time each
// arrived, and through /proc its memory, CPU time and wake-ups. The child gets SIGKILL when this
// process dies, so a crashed benchmark leaves no agent behind.
class AgentProcess {
public:
    using Clock = std::chrono::steady_clock;

    AgentProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    pid_t pid() const { return pid_; }
    Clock::time_point launchedAt() const { return launchedAt_; }

    // When a line containing `text` arrived on the program's output; none within `limit`, or once
    // the output ended.
    std::optional<Clock::time_point> waitForLine(const std::string& text, Clock::duration limit);
    std::size_t lineCount() const;
    // The last `count` lines of output.
    std::vector<std::string> lastLines(std::size_t count) const;

    bool running();
    // What ended the process, for a report.
    std::string ending() const;
    // Sends `signal`; true when the process then exited with status 0 within `limit`.
    bool stop(int signal, Clock::duration limit, double& tookMs);

    // User plus system time of every thread, those that ended included, in seconds.
    double cpuSeconds() const;
    // Time on the CPU of each running thread in nanoseconds, by thread id (the main thread, which
    // runs the agent loop, has the process's id; the others come in the order they started).
    std::map<pid_t, long long> threadCpuNanoseconds() const;
    // Where each running thread waits now (its wait channel: "do_epoll_wait" for an event loop,
    // "do_sys_poll" for a poll loop, "futex_wait_queue" for a worker on a condition), by thread id.
    std::map<pid_t, std::string> threadWaits() const;
    ProcessMemory memory() const;
    // The resident kilobytes of each mapped file, largest first.
    std::vector<std::pair<long, std::string>> residentFiles() const;

    // Voluntary plus involuntary context switches of every thread since the last reset: each
    // wake-up from a wait is one. Threads that come later count from zero, and threads that went
    // keep what they had.
    long switches();
    void resetSwitches();
    // Switches of each thread counted since the last reset, in thread id order.
    std::vector<long> switchesByThread() const;

private:
    std::filesystem::path proc() const;
    void readOutput(int fd);

    pid_t pid_ = -1;
    Clock::time_point launchedAt_;
    bool ended_ = false;
    int status_ = 0;

    struct ThreadSwitches {
        long first = 0;
        long last = 0;
    };
    std::map<pid_t, ThreadSwitches> threads_;
    bool switchesCounted_ = false;

    mutable std::mutex outputLock_;
    std::condition_variable outputChanged_;
    std::vector<std::pair<Clock::time_point, std::string>> lines_;
    bool outputEnded_ = false;
    std::thread reader_;
};

// The value of a "Name:   value kB" line of a /proc status file, or -1.
long procField(const std::string& text, std::string_view name);
std::string readWholeFile(const std::filesystem::path& path);

} // namespace varnel::testing
