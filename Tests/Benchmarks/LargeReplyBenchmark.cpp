// What huge JSON from the server costs the shipped program, `varnel-agent run` in a child process
// against the test bench:
//
//   LargeReplyBenchmark [--agent PATH]
//
// 1. one real-time frame of 16 MB of "[" (a job event whose data is that text): the program's peak
//    memory, and the longest stretch its agent loop (the main thread) spent away from its wait;
// 2. a pending-jobs reply of 32 MiB of "[": the same two, and how long the program takes to end
//    after a SIGINT sent while it reads the reply.
//
// PATH is the program measured, by default this build's, so that another build can be measured
// against the same bench. The loop is watched from outside, through the main thread's wait channel
// in /proc, a millisecond apart. A program run by hand, not a test: the numbers depend on the
// machine. Exit status 1 only for a broken run (the program would not start, or did not end).
#include "AgentProcess/AgentProcess.hpp"
#include "Bench/TestBench.hpp"
#include "ProcessStatistics.hpp"
#include "TemporaryDirectory.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* enrollmentCode = "VRNL-2345-6789";
const std::string running = "Agent running. Press Ctrl-C to stop.";

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double mebibytes(long kibibytes) {
    return static_cast<double>(kibibytes) / 1024.0;
}

struct Broken {
    std::string what;
};

// Samples a running program's main thread and memory on a thread of its own until the program ends
// or the watch is destroyed. The loop counts as blocked from the first sample that finds the main
// thread anywhere but in its event wait to the first that finds it back there.
class LoopWatch {
public:
    explicit LoopWatch(pid_t pid) : pid_(pid), thread_([this] { sample(); }) {}
    ~LoopWatch() {
        stopping_ = true;
        thread_.join();
    }
    LoopWatch(const LoopWatch&) = delete;
    LoopWatch& operator=(const LoopWatch&) = delete;

    // Forgets the longest block seen so far.
    void resetLongest() {
        std::lock_guard lock(mutex_);
        longest_ = {};
    }
    Clock::duration longest() const {
        std::lock_guard lock(mutex_);
        return longest_;
    }
    long peakKiB() const {
        std::lock_guard lock(mutex_);
        return peakKiB_;
    }
    // How long the loop has been blocked now; zero while it waits.
    Clock::duration blockedFor() const {
        std::lock_guard lock(mutex_);
        return blockedSince_ ? Clock::now() - *blockedSince_ : Clock::duration{};
    }
    // How long the loop has been waiting without a block.
    Clock::duration idleFor() const {
        std::lock_guard lock(mutex_);
        return blockedSince_ ? Clock::duration{} : Clock::now() - lastBlocked_;
    }

private:
    void sample() {
        const auto wchan = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/wchan";
        ProcessStatistics statistics(pid_);
        while (!stopping_) {
            std::ifstream file(wchan);
            std::string where;
            if (!std::getline(file, where))
                return; // the program has ended
            const long peak = statistics.memory().peakKiB;
            const auto now = Clock::now();
            const bool waiting = where == "do_epoll_wait" || where == "ep_poll";
            {
                std::lock_guard lock(mutex_);
                peakKiB_ = std::max(peakKiB_, peak);
                if (!waiting) {
                    if (!blockedSince_)
                        blockedSince_ = now;
                    lastBlocked_ = now;
                } else if (blockedSince_) {
                    longest_ = std::max(longest_, now - *blockedSince_);
                    blockedSince_.reset();
                }
                if (blockedSince_)
                    longest_ = std::max(longest_, now - *blockedSince_);
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    const pid_t pid_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    Clock::duration longest_{};
    std::optional<Clock::time_point> blockedSince_;
    Clock::time_point lastBlocked_ = Clock::now();
    long peakKiB_ = 0;
    std::thread thread_; // last: started once everything above is ready
};

template <class Condition> bool waitUntil(Clock::duration limit, Condition condition) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool subscribed(TestBench& bench, std::size_t before, Clock::duration limit) {
    return bench.pusher().waitFor(
        [before](const PusherTestServer::Snapshot& s) {
            std::size_t accepted = 0;
            for (const auto& subscription : s.subscriptions)
                accepted += subscription.accepted ? 1 : 0;
            return accepted > before;
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(limit));
}

std::size_t acceptedSubscriptions(TestBench& bench) {
    std::size_t accepted = 0;
    for (const auto& subscription : bench.pusher().snapshot().subscriptions)
        accepted += subscription.accepted ? 1 : 0;
    return accepted;
}

struct Figures {
    double peakBeforeMiB = 0;
    double peakMiB = 0;
    double longestBlockMs = 0;
    std::optional<double> exitMs; // from SIGINT to the reaped exit
    std::string ending;
};

// Sends SIGINT and waits for the end: the time from the signal to the reaped exit.
void interrupt(AgentProcess& agent, Figures& figures) {
    const auto signalled = Clock::now();
    agent.signal(SIGINT);
    if (!agent.waitForExit(60s))
        throw Broken{"the program did not end within 60 s of SIGINT"};
    figures.exitMs = milliseconds(*agent.endedAt() - signalled);
    figures.ending = agent.ending();
}

Figures largeFrame(TestBench& bench, const std::string& program, const std::vector<std::string>& environment) {
    const auto before = acceptedSubscriptions(bench);
    AgentProcess agent({program, "run"}, {.environment = environment, .mergeErrors = true});
    if (!agent.waitForLine(running, 30s) || !subscribed(bench, before, 30s))
        throw Broken{"the program did not start and subscribe: " + agent.output()};
    LoopWatch watch(agent.pid());
    // The start's own work done: the loop has waited for a second without a break.
    (void)waitUntil(20s, [&] { return watch.idleFor() > 1s; });
    Figures figures;
    figures.peakBeforeMiB = mebibytes(watch.peakKiB());
    watch.resetLongest();

    const auto sentBefore = bench.pusher().snapshot().eventsSent;
    bench.pusher().trigger(bench.management().channelName(), "job.created", std::string(16'000'000, '['));
    if (!bench.pusher().waitFor([sentBefore](const auto& s) { return s.eventsSent > sentBefore; }, 10000ms))
        throw Broken{"the bench did not send the frame"};
    // Read and dealt with: the loop has waited for two seconds without a break.
    if (!waitUntil(120s, [&] { return watch.idleFor() > 2s; }))
        throw Broken{"the loop did not come back within 120 s of the frame"};
    figures.peakMiB = mebibytes(watch.peakKiB());
    figures.longestBlockMs = milliseconds(watch.longest());
    interrupt(agent, figures);
    return figures;
}

Figures largeReply(TestBench& bench, const std::string& program, const std::vector<std::string>& environment) {
    bench.management().failNext(ManagementOperation::pendingJobs, 200, 1000,
                                R"({"jobs":)" + std::string(32u << 20, '['));
    const auto requestsBefore = bench.management().snapshot().requests.size();
    AgentProcess agent({program, "run"}, {.environment = environment, .mergeErrors = true});
    LoopWatch watch(agent.pid());
    Figures figures;
    const bool written = bench.management().waitFor(
        [requestsBefore](const ManagementTestServer::Snapshot& s) {
            for (std::size_t i = requestsBefore; i < s.requests.size(); ++i) {
                if (s.requests[i].operation == ManagementOperation::pendingJobs && s.requests[i].written)
                    return true;
            }
            return false;
        },
        60000ms);
    if (!written)
        throw Broken{"the program did not fetch its pending jobs: " + agent.output()};
    // While it reads the reply: the loop held up for a while, or the poll already given up.
    (void)waitUntil(30s, [&] {
        return watch.blockedFor() > 100ms || agent.output().find("Could not fetch pending jobs") != std::string::npos;
    });
    interrupt(agent, figures);
    figures.peakMiB = mebibytes(watch.peakKiB());
    figures.longestBlockMs = milliseconds(watch.longest());
    bench.management().clearFaults();
    return figures;
}

int run(std::string program) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TemporaryDirectory folder;
    TestBenchOptions benchOptions;
    benchOptions.management.enrollmentCode = enrollmentCode;
    TestBench bench(benchOptions);
    const auto environment = agentEnvironment(folder.path(), TestBench::caFile());
    const auto enrolled = runCommand(
        {program, "enroll", "--server", bench.management().baseUrl(), "--code", enrollmentCode}, environment);
    if (enrolled.status != 0) {
        std::fprintf(stderr, "enroll failed (%d): %s\n", enrolled.status, enrolled.output.c_str());
        return 1;
    }
    std::printf("Huge JSON from the server, program %s\n\n", program.c_str());
    try {
        const auto frame = largeFrame(bench, program, environment);
        std::printf("one 16 MB frame of \"[\": peak RSS %.1f MiB (%.1f MiB before the frame), loop's longest "
                    "block %.1f ms; SIGINT to exit afterwards %.0f ms (%s)\n",
                    frame.peakMiB, frame.peakBeforeMiB, frame.longestBlockMs, *frame.exitMs, frame.ending.c_str());
        const auto reply = largeReply(bench, program, environment);
        std::printf("a 32 MiB pending-jobs reply of \"[\": peak RSS %.1f MiB, loop's longest block %.1f ms, "
                    "SIGINT to exit during it %.0f ms (%s)\n",
                    reply.peakMiB, reply.longestBlockMs, *reply.exitMs, reply.ending.c_str());
    } catch (const Broken& broken) {
        std::fprintf(stderr, "broken run: %s\n", broken.what.c_str());
        return 1;
    }
    return 0;
}

} // namespace
} // namespace varnel::testing

int main(int argc, char** argv) {
    std::string program = varnel::testing::agentProgram();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--agent") == 0 && i + 1 < argc) {
            program = argv[++i];
        } else {
            std::fprintf(stderr, "usage: LargeReplyBenchmark [--agent PATH]\n");
            return 2;
        }
    }
    return varnel::testing::run(program);
}
