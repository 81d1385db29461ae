#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace varnel::testing {

struct ProcessMemory {
    long rssKiB = -1, peakKiB = -1, anonKiB = -1, fileKiB = -1;
    long pssKiB = -1;     // shared pages divided among the processes that map them
    long privateKiB = -1; // pages no other process maps
};

// User and system time of every thread, those that ended included, and the minor page faults.
struct ProcessTimes {
    double userSeconds = 0;
    double systemSeconds = 0;
    long minorFaults = 0;
};

// A running process seen from outside, through /proc: its memory, CPU time and wake-ups, each
// thread's too. Readings of a process that has ended are empty or zero.
class ProcessStatistics {
public:
    explicit ProcessStatistics(pid_t pid) : pid_(pid) {}

    // User plus system time of every thread, those that ended included, in seconds.
    double cpuSeconds() const;
    // The same in clock ticks' precision, split, with the page faults; zero once the process ended.
    ProcessTimes times() const;
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

    pid_t pid_ = -1;

    struct ThreadSwitches {
        long first = 0;
        long last = 0;
    };
    std::map<pid_t, ThreadSwitches> threads_;
    bool switchesCounted_ = false;
};

} // namespace varnel::testing
