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
// 3. this build only, in this process: the same frame to a ReverbClient over ws from the bench, and
//    the loop's longest block as a timer on the loop sees it (how late a 1 ms tick comes);
// 4. a pending-jobs reply of 48 MiB of empty objects, {"jobs":[{},{},...]}: the program's peak
//    memory and how it ended, as it is and under a 2 GiB limit on its address space (prlimit);
// 5. ten real-time frames of 15 MiB each, job events whose data is empty objects, [{},{},...], and
//    ten whose data is one long string: the program's resident memory before, at its peak and once
//    the frames are dealt with;
// 6. this build only, in a child process of its own: json::parse of 16 MiB and of 128 MiB (the
//    reply cap) of [{},{},...], its peak memory beyond the text and how it ended. Measured first,
//    while this process has a single thread to fork.
//
// PATH is the program measured, by default this build's, so that another build can be measured
// against the same bench. The loop is watched from outside, through the main thread's wait channel
// in /proc, a millisecond apart. A program run by hand, not a test: the numbers depend on the
// machine. Exit status 1 only for a broken run (the program would not start, or did not end).
#include "AgentProcess/AgentProcess.hpp"
#include "Bench/PusherSigningTransport.hpp"
#include "Bench/TestBench.hpp"
#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_future.hpp>
#include <condition_variable>
#include "ProcessStatus.hpp"
#include "TemporaryDirectory.hpp"
#include "WideJson.hpp"
#include "VarnelKit/LoopPause.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// The main thread's time on the CPU and waiting for one, in nanoseconds, from its schedstat.
struct ThreadTimes {
    long long onCpu = 0;
    long long waitingForCpu = 0;
};
ThreadTimes threadTimes(const std::string& schedstat) {
    std::ifstream file(schedstat);
    ThreadTimes times;
    file >> times.onCpu >> times.waitingForCpu;
    return times;
}

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
        longestTimes_ = {};
        blockedAt_.clear();
    }
    Clock::duration longest() const {
        std::lock_guard lock(mutex_);
        return longest_;
    }
    // Of the longest block: the main thread's time on the CPU, and waiting for a CPU, in ms.
    std::pair<double, double> longestSplit() const {
        std::lock_guard lock(mutex_);
        return {longestTimes_.onCpu / 1e6, longestTimes_.waitingForCpu / 1e6};
    }
    long peakKiB() const {
        std::lock_guard lock(mutex_);
        return peakKiB_;
    }
    // Where the main thread was found while the loop was blocked, most often first.
    std::string blockedWhere() const {
        std::lock_guard lock(mutex_);
        std::vector<std::pair<long, std::string>> counts;
        for (const auto& [where, count] : blockedAt_)
            counts.emplace_back(count, where.empty() || where == "0" ? "running" : where);
        std::sort(counts.rbegin(), counts.rend());
        std::string text;
        for (std::size_t i = 0; i < std::min<std::size_t>(counts.size(), 4); ++i)
            text += (i ? ", " : "") + counts[i].second + " " + std::to_string(counts[i].first);
        return text;
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
        const auto status = "/proc/" + std::to_string(pid_) + "/status";
        const auto schedstat = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/schedstat";
        while (!stopping_) {
            std::ifstream file(wchan);
            std::string where;
            if (!std::getline(file, where))
                return; // the program has ended
            // The status line only: reading the whole memory map would take the program's own
            // memory lock a thousand times a second and slow what is measured.
            const long peak = statusKiB(status, "VmHWM:");
            const auto now = Clock::now();
            const bool waiting = where == "do_epoll_wait" || where == "ep_poll";
            const auto times = threadTimes(schedstat);
            {
                std::lock_guard lock(mutex_);
                peakKiB_ = std::max(peakKiB_, peak);
                if (!waiting) {
                    ++blockedAt_[where];
                    if (!blockedSince_) {
                        blockedSince_ = now;
                        timesAtBlock_ = times;
                    }
                    lastBlocked_ = now;
                }
                if (blockedSince_ && now - *blockedSince_ > longest_) {
                    longest_ = now - *blockedSince_;
                    longestTimes_ = {times.onCpu - timesAtBlock_.onCpu,
                                     times.waitingForCpu - timesAtBlock_.waitingForCpu};
                }
                if (waiting)
                    blockedSince_.reset();
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
    ThreadTimes timesAtBlock_;
    ThreadTimes longestTimes_;
    std::map<std::string, long> blockedAt_;
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
    std::pair<double, double> longestSplit; // on the CPU, waiting for one
    std::optional<double> exitMs; // from SIGINT to the reaped exit
    std::string blockedWhere;
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

// The program, started and subscribed to its channel.
std::unique_ptr<AgentProcess> startSubscribed(TestBench& bench, const std::string& program,
                                              const std::vector<std::string>& environment) {
    const auto before = acceptedSubscriptions(bench);
    AgentProcess::Options options{.environment = environment, .mergeErrors = true};
    auto agent = std::make_unique<AgentProcess>(std::vector<std::string>{program, "run"}, std::move(options));
    if (!agent->waitForLine(running, 30s) || !subscribed(bench, before, 30s))
        throw Broken{"the program did not start and subscribe: " + agent->output()};
    return agent;
}

Figures largeFrame(TestBench& bench, const std::string& program, const std::vector<std::string>& environment) {
    const auto started = startSubscribed(bench, program, environment);
    AgentProcess& agent = *started;
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
    figures.blockedWhere = watch.blockedWhere();
    figures.longestSplit = watch.longestSplit();
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
    // The start's own work is not the reply's.
    if (!agent.waitForLine(running, 30s))
        throw Broken{"the program did not start: " + agent.output()};
    watch.resetLongest();
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
    figures.blockedWhere = watch.blockedWhere();
    figures.longestSplit = watch.longestSplit();
    bench.management().clearFaults();
    return figures;
}

struct WideReply {
    double peakMiB = 0;
    std::string ending; // how the program ended, or what it said of the reply while it ran
};

// A pending-jobs reply far wider than any real one, read by the program as it is or under a limit
// on its address space (prlimit's own process becomes the program).
WideReply widePendingList(TestBench& bench, const std::string& program,
                          const std::vector<std::string>& environment,
                          std::optional<unsigned long long> addressSpaceLimit) {
    bench.management().failNext(ManagementOperation::pendingJobs, 200, 1,
                                emptyObjects(R"({"jobs":[)", 48u << 20, "]}"));
    std::vector<std::string> command = {program, "run"};
    if (addressSpaceLimit)
        command.insert(command.begin(),
                       {"/usr/bin/prlimit", "--as=" + std::to_string(*addressSpaceLimit), "--"});
    AgentProcess agent(command, {.environment = environment, .mergeErrors = true});
    LoopWatch watch(agent.pid());
    const std::string failed = "Could not fetch pending jobs";
    // The line, or the output's end when the program ends without it.
    if (!agent.waitForLine(failed, 120s) && !agent.waitForExit(10s))
        throw Broken{"the program neither read the reply nor ended within 120 s: " + agent.output()};
    WideReply reply;
    reply.peakMiB = mebibytes(watch.peakKiB());
    const std::string output = agent.output();
    if (const auto at = output.find(failed); at != std::string::npos) {
        reply.ending = output.substr(at, output.find('\n', at) - at);
        Figures figures;
        interrupt(agent, figures);
        reply.ending += "; then on SIGINT " + figures.ending;
    } else {
        (void)agent.waitForExit(60s);
        // Its last words: the two lines before the end.
        auto from = output.find_last_of('\n', output.size() >= 2 ? output.size() - 2 : 0);
        from = from == std::string::npos || from == 0 ? 0 : output.find_last_of('\n', from - 1);
        reply.ending = agent.ending() + ", its last words: " +
                       output.substr(from == std::string::npos ? 0 : from + 1);
        std::replace(reply.ending.begin(), reply.ending.end(), '\n', ' ');
    }
    bench.management().clearFaults();
    return reply;
}

struct ResidentFigures {
    double beforeMiB = 0;
    double peakMiB = 0;
    double afterMiB = 0;
};

// Ten frames of 15 MiB, each sent once the program has dealt with the one before (its loop waited
// for a second), and what the program holds once the last is dealt with.
ResidentFigures tenLargeFrames(TestBench& bench, const std::string& program,
                               const std::vector<std::string>& environment, const std::string& data) {
    const auto started = startSubscribed(bench, program, environment);
    AgentProcess& agent = *started;
    LoopWatch watch(agent.pid());
    (void)waitUntil(20s, [&] { return watch.idleFor() > 1s; });
    ResidentFigures figures;
    figures.beforeMiB = mebibytes(statusKiB("/proc/" + std::to_string(agent.pid()) + "/status", "VmRSS:"));
    for (int i = 0; i < 10; ++i) {
        const auto sentBefore = bench.pusher().snapshot().eventsSent;
        bench.pusher().trigger(bench.management().channelName(), "job.created", data);
        const auto sent = [sentBefore](const auto& s) { return s.eventsSent > sentBefore; };
        if (!bench.pusher().waitFor(sent, 10000ms))
            throw Broken{"the bench did not send frame " + std::to_string(i + 1)};
        if (!waitUntil(120s, [&] { return watch.idleFor() > 1s; }))
            throw Broken{"the loop did not come back within 120 s of frame " + std::to_string(i + 1)};
    }
    (void)waitUntil(20s, [&] { return watch.idleFor() > 2s; });
    figures.peakMiB = mebibytes(watch.peakKiB());
    figures.afterMiB = mebibytes(statusKiB("/proc/" + std::to_string(agent.pid()) + "/status", "VmRSS:"));
    if (!agent.running())
        throw Broken{"the program ended during the frames: " + agent.ending() + "\n" + agent.output()};
    Figures ended;
    interrupt(agent, ended);
    return figures;
}

// json::parse of wide text in a child, whose peak memory is the parse's alone.
void parsePeak(std::size_t size) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        throw Broken{"fork failed"};
    if (child == 0) {
        const std::string text = emptyObjects("[", size, "]");
        const long before = statusKiB("/proc/self/status", "VmRSS:");
        std::string outcome = "read";
        try {
            (void)json::parse(text);
        } catch (const json::DecodeError& error) {
            outcome = "refused: " + error.description();
        }
        const long peak = statusKiB("/proc/self/status", "VmHWM:");
        std::printf("json::parse of %zu MiB of [{},{},...]: peak RSS %.1f MiB, %.1f MiB of it before the "
                    "parse; %s\n",
                    size >> 20, mebibytes(peak), mebibytes(before), outcome.c_str());
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status))
        std::printf("json::parse of %zu MiB of [{},{},...]: the child was ended by signal %d\n", size >> 20,
                    WTERMSIG(status));
}

// A client of this build on a loop of its own, subscribed over ws; the frame is a job event whose
// data is 16 MB of "[", then a job event the client acts on, which ends the wait.
double inProcessFrame(TestBench& bench) {
    AgentLoop loop;
    loop.startThread();
    std::mutex mutex;
    std::condition_variable changed;
    bool connected = false;
    std::optional<std::int64_t> job;
    auto api = std::make_shared<VarnelAPIClient>(
        VarnelAPIClient::Configuration{*parseAbsoluteUrl("https://varnel.test"), "1.0.4"}, "token",
        std::make_shared<PusherSigningTransport>(bench.pusher()));
    const auto deviceId = bench.management().options().deviceId;
    auto client = ReverbClient::make(
        loop.executor(), ReverbSettings{bench.pusher().options().key, "127.0.0.1", bench.pusher().wsPort(), "http"},
        deviceId, api, std::make_shared<SilentLogger>());
    client->onEvent([&](ReverbClient::Event event) -> Awaitable<void> {
        std::lock_guard lock(mutex);
        if (event.kind == ReverbClient::Event::Kind::connected)
            connected = true;
        else if (event.kind == ReverbClient::Event::Kind::jobCreated)
            job = event.jobId;
        changed.notify_all();
        co_return;
    });
    const auto onLoop = [&loop](auto body) {
        loop.blockOn([](decltype(body) body) -> Awaitable<void> {
            body();
            co_return;
        }(std::move(body)));
    };
    onLoop([&] { client->start(); });
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 10s, [&] { return connected; }))
            throw Broken{"the in-process client did not subscribe"};
    }
    const auto pause = longestLoopPause(loop, [&] {
        const auto channel = "private-device." + std::to_string(deviceId);
        bench.pusher().trigger(channel, "job.created", std::string(16'000'000, '['));
        bench.pusher().trigger(channel, "job.created", R"({"job_id":1})");
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 60s, [&] { return job.has_value(); }))
            throw Broken{"the in-process client did not act on the frame after the large one"};
    });
    onLoop([&] { client->stop(); });
    return milliseconds(pause);
}

int run(std::string program) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        parsePeak(16u << 20);
        parsePeak(128u << 20);
    } catch (const Broken& broken) {
        std::fprintf(stderr, "broken run: %s\n", broken.what.c_str());
        return 1;
    }
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
                    "block %.1f ms; SIGINT to exit afterwards %.0f ms (%s)\n  main thread in that block %.1f ms on the CPU, %.1f ms waiting for one; samples while blocked: %s\n",
                    frame.peakMiB, frame.peakBeforeMiB, frame.longestBlockMs, *frame.exitMs, frame.ending.c_str(),
                    frame.longestSplit.first, frame.longestSplit.second, frame.blockedWhere.c_str());
        const auto reply = largeReply(bench, program, environment);
        std::printf("a 32 MiB pending-jobs reply of \"[\": peak RSS %.1f MiB, loop's longest block %.1f ms, "
                    "SIGINT to exit during it %.0f ms (%s)\n  main thread in that block %.1f ms on the CPU, %.1f ms waiting for one; samples while blocked: %s\n",
                    reply.peakMiB, reply.longestBlockMs, *reply.exitMs, reply.ending.c_str(),
                    reply.longestSplit.first, reply.longestSplit.second, reply.blockedWhere.c_str());
        std::printf("this build in-process, the same frame over ws: the loop's longest pause between 1 ms ticks "
                    "%.1f ms\n",
                    inProcessFrame(bench));
        for (const auto limit : {std::optional<unsigned long long>(), std::optional(2ULL << 30)}) {
            const auto wide = widePendingList(bench, program, environment, limit);
            std::printf("a 48 MiB pending-jobs reply of {} (%s): peak RSS %.1f MiB; %s\n",
                        limit ? "address space limited to 2 GiB" : "no limit", wide.peakMiB,
                        wide.ending.c_str());
        }
        const std::pair<const char*, std::string> frames[] = {
            {"[{},{},...]", emptyObjects("[", 15u << 20, "]")},
            {"one long string", R"({"job_id":1,"note":")" + std::string((15u << 20) - 40, 'A') + R"("})"},
        };
        for (const auto& [what, data] : frames) {
            const auto resident = tenLargeFrames(bench, program, environment, data);
            std::printf("ten 15 MiB frames whose data is %s: resident %.1f MiB before, peak %.1f MiB, %.1f MiB "
                        "once dealt with\n",
                        what, resident.beforeMiB, resident.peakMiB, resident.afterMiB);
        }
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
