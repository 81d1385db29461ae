// Measures the real-time client on loopback against the bench's Pusher server.
//
//   ReverbClientBenchmark latency [count]   trigger-to-handler latency and CPU per event, with
//                                           pusher-js receiving the same events for comparison
//   ReverbClientBenchmark idle [seconds]    wake-ups and RSS of one connected, idle client at the
//                                           real 30 s keepalive
//
// A program run by hand, not a test: the numbers depend on the machine.
#include "Bench/PusherSigningTransport.hpp"
#include "Bench/PusherTestServer.hpp"
#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::int64_t monotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::int64_t threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5))];
}

// A connected client on its own loop thread; `onJob` runs on that thread.
struct ConnectedClient {
    explicit ConnectedClient(PusherTestServer& server, std::function<void(std::int64_t)> onJob) {
        loop.startThread();
        auto api = std::make_shared<VarnelAPIClient>(
            VarnelAPIClient::Configuration{*parseAbsoluteUrl("https://varnel.test"), "1.0.4"}, "token",
            std::make_shared<PusherSigningTransport>(server));
        client = ReverbClient::make(
            loop.executor(), ReverbSettings{server.options().key, "127.0.0.1", server.wsPort(), "http"}, 7,
            api, std::make_shared<SilentLogger>());
        client->onEvent([this, onJob](ReverbClient::Event event) -> Awaitable<void> {
            if (event.kind == ReverbClient::Event::Kind::connected) {
                std::lock_guard lock(mutex);
                connected = true;
                changed.notify_all();
            } else if (event.kind == ReverbClient::Event::Kind::jobCreated) {
                onJob(event.jobId);
            }
            co_return;
        });
        onLoop([this] { client->start(); });
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 10s, [this] { return connected; }))
            throw std::runtime_error("never connected");
    }
    ~ConnectedClient() {
        onLoop([this] { client->stop(); });
        std::this_thread::sleep_for(100ms);
    }
    template <class F> std::invoke_result_t<F&> onLoop(F body) {
        return loop.blockOn([](F body) -> Awaitable<decltype(body())> { co_return body(); }(std::move(body)));
    }

    AgentLoop loop;
    std::shared_ptr<ReverbClient> client;
    std::mutex mutex;
    std::condition_variable changed;
    bool connected = false;
};

int latency(int count) {
    PusherTestServer server;

    // pusher-js, from the interoperability tests' packages, on a public channel of the same server.
    const std::string interop = std::string(VARNEL_TESTS_DIR) + "/Interop";
    const std::string script = std::string(VARNEL_TESTS_DIR) + "/Benchmarks/pusher-js-receiver.mjs";
    std::ostringstream config;
    config << R"({"key":")" << server.options().key << R"(","wsPort":)" << server.wsPort()
           << R"(,"channel":"bench","count":)" << count << "}";
    ::setenv("VARNEL_INTEROP", interop.c_str(), 1);
    ::setenv("VARNEL_BENCHMARK", config.str().c_str(), 1);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t node = 0;
    const char* argv[] = {"node", script.c_str(), nullptr};
    const bool haveNode =
        posix_spawnp(&node, "node", &actions, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    FILE* fromNode = fdopen(pipeFds[0], "r");
    char* line = nullptr;
    std::size_t lineSize = 0;
    bool nodeReady = haveNode && getline(&line, &lineSize, fromNode) > 0 && std::string(line) == "ready\n";
    if (!nodeReady)
        std::cerr << "pusher-js is not available (run scripts/bootstrap); measuring our client only\n";

    std::vector<std::int64_t> triggeredAt(count, 0);
    std::vector<double> latencies;
    latencies.reserve(count);
    std::mutex mutex;
    std::condition_variable done;
    ConnectedClient ours(server, [&](std::int64_t id) {
        const auto now = monotonicNanoseconds();
        std::lock_guard lock(mutex);
        latencies.push_back(double(now - triggeredAt[static_cast<std::size_t>(id)]));
        if (latencies.size() == static_cast<std::size_t>(count))
            done.notify_all();
    });
    const auto cpuBefore = ours.onLoop([] { return threadCpuNanoseconds(); });

    // Paced, so the figures are per-event latency rather than the depth of a queue.
    auto next = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto t0 = monotonicNanoseconds();
        {
            std::lock_guard lock(mutex);
            triggeredAt[static_cast<std::size_t>(i)] = t0;
        }
        server.trigger("private-device.7", "job.created", R"({"job_id":)" + std::to_string(i) + "}");
        if (nodeReady) {
            server.trigger("bench", "job.created",
                           R"({"job_id":)" + std::to_string(i) + R"(,"t0":")" + std::to_string(t0) + R"("})");
        }
        next += 300us;
        std::this_thread::sleep_until(next);
    }
    {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, 30s, [&] { return latencies.size() == static_cast<std::size_t>(count); })) {
            std::cerr << "only " << latencies.size() << " of " << count << " events arrived\n";
            return 1;
        }
    }
    const auto cpuAfter = ours.onLoop([] { return threadCpuNanoseconds(); });
    const double ourP50 = percentile(latencies, 0.5) / 1000.0;
    const double ourP99 = percentile(latencies, 0.99) / 1000.0;
    const double ourCpu = double(cpuAfter - cpuBefore) / count / 1000.0;
    std::printf("events: %d, paced one per 300 us, loopback\n", count);
    std::printf("ReverbClient  p50 %8.1f us  p99 %8.1f us  CPU %6.2f us/event (loop thread)\n", ourP50,
                ourP99, ourCpu);

    if (nodeReady && getline(&line, &lineSize, fromNode) > 0) {
        const auto result = json::parse(line);
        std::vector<double> theirs;
        for (const auto& value : result.at("latencies"))
            theirs.push_back(value.get<double>());
        const double p50 = percentile(theirs, 0.5) / 1000.0;
        const double p99 = percentile(theirs, 0.99) / 1000.0;
        const double cpu = result.at("cpuMicroseconds").get<double>() / count;
        std::printf("pusher-js     p50 %8.1f us  p99 %8.1f us  CPU %6.2f us/event (whole node process)\n",
                    p50, p99, cpu);
        std::printf("ratio ours/pusher-js: p50 %.2f  p99 %.2f  CPU %.2f\n", ourP50 / p50, ourP99 / p99,
                    ourCpu / cpu);
    }
    free(line);
    fclose(fromNode);
    if (haveNode) {
        int status = 0;
        waitpid(node, &status, 0);
    }
    return 0;
}

// Voluntary plus involuntary context switches of one thread: each wake-up from a wait is one.
long switchesOf(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:"))
            total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

std::string rss() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:"))
            return line.substr(6);
    }
    return "?";
}

int idle(int seconds) {
    PusherTestServer server;
    ConnectedClient ours(server, [](std::int64_t) {});
    const pid_t loopThread = ours.onLoop([] { return static_cast<pid_t>(gettid()); });
    const auto pingsBefore = server.snapshot().pingsReceived;
    const long before = switchesOf(loopThread);
    std::printf("idle for %d s at the 30 s keepalive; RSS at start %s\n", seconds, rss().c_str());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long after = switchesOf(loopThread);
    std::printf("loop thread wake-ups: %ld (%.2f per minute); keepalive pings sent: %zu; RSS at end %s\n",
                after - before, double(after - before) * 60.0 / seconds,
                server.snapshot().pingsReceived - pingsBefore, rss().c_str());
    return 0;
}

} // namespace
} // namespace varnel::testing

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "latency";
    if (mode == "latency")
        return varnel::testing::latency(argc > 2 ? std::atoi(argv[2]) : 10000);
    if (mode == "idle")
        return varnel::testing::idle(argc > 2 ? std::atoi(argv[2]) : 300);
    std::fprintf(stderr, "usage: %s latency [count] | idle [seconds]\n", argv[0]);
    return 2;
}
