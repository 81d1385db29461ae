// What the heap's policies cost and give back, side by side in one run: the agent's own `run`, in
// a child process per policy against the test bench, each given the same frames and replies.
//
//   HeapPolicyBenchmark [--runs N] [--frames N] [--sizes MIN-MAX]
//                       [--scenarios stream,wide,pending] [--policy NAME=SPEC]...
//
// stream   N real-time frames (1000 by default) of MIN to MAX bytes of data (100 KB to 1 MB by
//          default, each size drawn the same in every run and policy), sent back to back: job events
//          whose data is an object the agent reads and has nothing to do with, every other one
//          wide ({"labels":[{},{},...]}) and the others one long string. The program's CPU time
//          (user and system) from the first frame to the last one dealt with, its minor page
//          faults, and what stays resident once they are dealt with.
// wide     ten frames of 15 MiB whose data is [{},{},...], each sent once the one before is dealt
//          with: the peak resident memory, and what is resident 3 s after the last.
// pending  a pending-jobs reply of 48 MiB of empty objects, {"jobs":[{},{},...]}, as the program
//          starts: the peak resident memory, and what is resident 3 s after it was read.
//
// A policy's SPEC is "none" (no setting, nothing returned), "program" (the programs' own) or
// HeapMemory::Policy's fields, "heaps=N,return-from=BYTES", either one or both, with glibc's other
// settings (mallopt) to try beside them: mmap-threshold=BYTES, trim-threshold=BYTES, top-pad=BYTES.
// By default three: old=none; main=mmap-threshold=131072,return-from=65537, a fixed threshold and
// a return after each text read off the loop; and new=program. Each run goes through every policy, starting one further
// on each time, so that the machine's drift falls on each alike. A frame counts as dealt with once
// the agent asks for the job of the small job event sent after it. A program run by hand, not a
// test: the numbers depend on the machine. Exit status 1 only for a broken run.
#include "AgentProcess/AgentProcess.hpp"
#include "Bench/TestBench.hpp"
#include "CLI.hpp"
#include "ProcessStatistics.hpp"
#include "TemporaryDirectory.hpp"
#include "WideJson.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* enrollmentCode = "VRNL-2345-6789";
const std::string running = "Agent running. Press Ctrl-C to stop.";
const std::string pendingFailed = "Could not fetch pending jobs";

struct Broken {
    std::string what;
};

// MARK: Policies

struct NamedPolicy {
    std::string name;
    std::string spec;
};

// A policy, and glibc's other settings (mallopt) to try beside it.
struct HeapSettings {
    HeapMemory::Policy policy;
    std::vector<std::pair<int, int>> settings;
};

HeapSettings heapSettingsOf(const std::string& spec) {
    if (spec == "none")
        return {};
    if (spec == "program")
        return {HeapMemory::programPolicy, {}};
    static const std::map<std::string, int> settingNames = {
        {"mmap-threshold", M_MMAP_THRESHOLD}, {"trim-threshold", M_TRIM_THRESHOLD}, {"top-pad", M_TOP_PAD}};
    HeapSettings heap;
    std::istringstream fields(spec);
    for (std::string field; std::getline(fields, field, ',');) {
        const auto equals = field.find('=');
        const auto key = field.substr(0, equals);
        const auto value = equals == std::string::npos ? std::string() : field.substr(equals + 1);
        // A number that fits an int, as mallopt takes it.
        if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
            throw Broken{"not a heap policy: " + spec};
        const int number = std::stoi(value);
        if (key == "heaps")
            heap.policy.heaps = number;
        else if (key == "return-from")
            heap.policy.returnAfterTextsFrom = static_cast<std::size_t>(number);
        else if (const auto setting = settingNames.find(key); setting != settingNames.end())
            heap.settings.emplace_back(setting->second, number);
        else
            throw Broken{"not a heap policy: " + spec};
    }
    return heap;
}

// MARK: The program

// Of the running program; a program that ended is a broken run.
ProcessTimes processTimes(pid_t pid) {
    const auto times = ProcessStatistics(pid).times();
    if (times.userSeconds == 0 && times.systemSeconds == 0 && times.minorFaults == 0)
        throw Broken{"the program " + std::to_string(pid) + " is gone"};
    return times;
}

double residentMiB(pid_t pid, bool peak) {
    const auto memory = ProcessStatistics(pid).memory();
    return static_cast<double>(peak ? memory.peakKiB : memory.rssKiB) / 1024.0;
}

class Bench {
public:
    Bench() : environment_(agentEnvironment(folder_.path(), TestBench::caFile())) {}

    // The agent's `run` under `policy`, started and subscribed to its channel, its start's own
    // work done (its CPU time has stood still for half a second).
    std::unique_ptr<AgentProcess> start(const NamedPolicy& policy, bool waitForChannel = true) {
        if (!enrolled_) {
            const auto enrolled = runCommand(agent(policy, {"enroll", "--server", bench_.management().baseUrl(),
                                                            "--code", enrollmentCode}),
                                             environment_);
            if (enrolled.status != 0)
                throw Broken{"enroll failed: " + enrolled.output};
            enrolled_ = true;
        }
        const auto subscriptionsBefore = acceptedSubscriptions();
        auto program = std::make_unique<AgentProcess>(agent(policy, {"run"}),
                                                      AgentProcess::Options{.environment = environment_, .mergeErrors = true});
        if (!program->waitForLine(running, 30s))
            throw Broken{"the program did not start: " + program->output()};
        if (!waitForChannel)
            return program;
        const bool subscribed = bench_.pusher().waitFor(
            [&](const PusherTestServer::Snapshot& s) { return accepted(s) > subscriptionsBefore; }, 30000ms);
        if (!subscribed)
            throw Broken{"the program did not subscribe: " + program->output()};
        double before = -1;
        for (auto deadline = Clock::now() + 20s; Clock::now() < deadline;) {
            const auto times = processTimes(program->pid());
            const double now = times.userSeconds + times.systemSeconds;
            if (now == before)
                break;
            before = now;
            std::this_thread::sleep_for(500ms);
        }
        return program;
    }

    // Sends `frames` as job events, at most `window` of them ahead of the socket, then a small job
    // event for a job the bench does not have, and waits until the program asks for that job.
    template <class Frames> void send(std::size_t count, Frames frames, std::size_t window = 4) {
        const auto channel = bench_.management().channelName();
        const auto sentBefore = bench_.pusher().snapshot().eventsSent;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t ahead = i >= window ? i - window : 0;
            const bool sent = bench_.pusher().waitFor(
                [&](const PusherTestServer::Snapshot& s) { return s.eventsSent >= sentBefore + ahead; }, 120000ms);
            if (!sent)
                throw Broken{"the bench sent no frame for 120 s"};
            bench_.pusher().trigger(channel, "job.created", frames(i));
        }
        const std::int64_t marker = ++markers_;
        bench_.pusher().trigger(channel, "job.created", R"({"job_id":)" + std::to_string(marker) + "}");
        const auto target = "/jobs/" + std::to_string(marker);
        const bool dealtWith = bench_.management().waitFor(
            [&target](const ManagementTestServer::Snapshot& s) {
                return std::any_of(s.requests.rbegin(), s.requests.rend(), [&target](const auto& request) {
                    return request.operation == ManagementOperation::job && request.target.ends_with(target);
                });
            },
            300000ms);
        if (!dealtWith)
            throw Broken{"the program did not deal with the frames within 300 s"};
    }

    ManagementTestServer& management() { return bench_.management(); }

private:
    static std::size_t accepted(const PusherTestServer::Snapshot& snapshot) {
        return static_cast<std::size_t>(std::count_if(snapshot.subscriptions.begin(), snapshot.subscriptions.end(),
                                                      [](const auto& s) { return s.accepted; }));
    }
    std::size_t acceptedSubscriptions() { return accepted(bench_.pusher().snapshot()); }

    static std::vector<std::string> agent(const NamedPolicy& policy, std::vector<std::string> words) {
        std::vector<std::string> command = {std::filesystem::read_symlink("/proc/self/exe").string(), "--run-agent",
                                            policy.spec};
        command.insert(command.end(), words.begin(), words.end());
        return command;
    }

    static TestBenchOptions options() {
        TestBenchOptions options;
        options.management.enrollmentCode = enrollmentCode;
        return options;
    }

    TemporaryDirectory folder_;
    TestBench bench_{options()};
    std::vector<std::string> environment_;
    bool enrolled_ = false;
    std::int64_t markers_ = 1'000'000;
};

void interrupt(AgentProcess& program) {
    program.signal(SIGINT);
    if (!program.waitForExit(60s))
        throw Broken{"the program did not end within 60 s of SIGINT"};
}

// MARK: Scenarios

struct Figures {
    std::map<std::string, double> values; // by what was measured
};

// What a run measures.
struct Plan {
    int runs = 3;
    std::size_t frames = 1000;
    std::size_t smallest = 100'000, largest = 1'000'000; // bytes of a frame's data
    std::vector<std::string> scenarios = {"stream", "wide", "pending"};
    std::vector<NamedPolicy> policies;
};

Figures stream(Bench& bench, const NamedPolicy& policy, const Plan& plan) {
    const auto program = bench.start(policy);
    std::mt19937 sizes(34);
    std::uniform_int_distribution<std::size_t> size(plan.smallest, plan.largest);
    std::vector<std::size_t> frameSizes(plan.frames);
    for (auto& frameSize : frameSizes)
        frameSize = size(sizes);
    const auto before = processTimes(program->pid());
    bench.send(plan.frames, [&](std::size_t i) {
        if (i % 2 == 0)
            return emptyObjects(R"({"labels":[)", frameSizes[i], "]}");
        return R"({"note":")" + std::string(frameSizes[i] - 12, 'A') + R"("})";
    });
    const auto after = processTimes(program->pid());
    Figures figures;
    figures.values["CPU s"] = after.userSeconds + after.systemSeconds - before.userSeconds - before.systemSeconds;
    figures.values["user s"] = after.userSeconds - before.userSeconds;
    figures.values["system s"] = after.systemSeconds - before.systemSeconds;
    figures.values["minor faults"] = static_cast<double>(after.minorFaults - before.minorFaults);
    figures.values["peak MiB"] = residentMiB(program->pid(), true);
    figures.values["resident after MiB"] = residentMiB(program->pid(), false);
    interrupt(*program);
    return figures;
}

Figures wideFrames(Bench& bench, const NamedPolicy& policy) {
    const auto program = bench.start(policy);
    const std::string data = emptyObjects("[", 15u << 20, "]");
    Figures figures;
    figures.values["resident before MiB"] = residentMiB(program->pid(), false);
    const auto before = processTimes(program->pid());
    for (int i = 0; i < 10; ++i)
        bench.send(1, [&](std::size_t) { return data; });
    const auto after = processTimes(program->pid());
    figures.values["CPU s"] = after.userSeconds + after.systemSeconds - before.userSeconds - before.systemSeconds;
    std::this_thread::sleep_for(3s);
    figures.values["peak MiB"] = residentMiB(program->pid(), true);
    figures.values["resident 3 s later MiB"] = residentMiB(program->pid(), false);
    if (!program->running())
        throw Broken{"the program ended during the frames: " + program->ending() + "\n" + program->output()};
    interrupt(*program);
    return figures;
}

Figures widePendingList(Bench& bench, const NamedPolicy& policy) {
    bench.management().failNext(ManagementOperation::pendingJobs, 200, 1,
                                emptyObjects(R"({"jobs":[)", 48u << 20, "]}"));
    const auto program = bench.start(policy, false);
    if (!program->waitForLine(pendingFailed, 120s))
        throw Broken{"the program did not read the pending list within 120 s: " + program->output()};
    Figures figures;
    std::this_thread::sleep_for(3s);
    figures.values["peak MiB"] = residentMiB(program->pid(), true);
    figures.values["resident 3 s later MiB"] = residentMiB(program->pid(), false);
    interrupt(*program);
    bench.management().clearFaults();
    return figures;
}

// MARK: Report

// By scenario, then policy: each run's figures.
using Results = std::map<std::string, std::map<std::string, std::vector<Figures>>>;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string spread(const std::vector<double>& values) {
    char text[96];
    std::snprintf(text, sizeof text, "%.2f-%.2f, median %.2f", *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()), median(values));
    return text;
}

void print(const std::string& scenario, const std::string& policy, int run, const Figures& figures) {
    std::string line;
    for (const auto& [what, value] : figures.values) {
        char item[64];
        std::snprintf(item, sizeof item, "%s%s %.2f", line.empty() ? "" : ", ", what.c_str(), value);
        line += item;
    }
    std::printf("run %d, %s, %s: %s\n", run, scenario.c_str(), policy.c_str(), line.c_str());
}

std::vector<double> valuesOf(const std::vector<Figures>& runs, const std::string& what) {
    std::vector<double> values;
    for (const auto& figures : runs)
        values.push_back(figures.values.at(what));
    return values;
}

void summarise(const Results& results, const std::vector<NamedPolicy>& policies) {
    std::printf("\nOver all runs (lowest-highest, median):\n");
    for (const auto& [scenario, byPolicy] : results) {
        std::printf("%s\n", scenario.c_str());
        for (const auto& policy : policies) {
            const auto found = byPolicy.find(policy.name);
            if (found == byPolicy.end())
                continue;
            for (const auto& [what, value] : found->second.front().values) {
                std::printf("  %-6s %-24s %s\n", policy.name.c_str(), what.c_str(),
                            spread(valuesOf(found->second, what)).c_str());
            }
        }
    }
    // The CPU of the stream against the first policy's.
    const auto stream = results.find("stream");
    if (stream == results.end() || !stream->second.count(policies.front().name))
        return;
    const double first = median(valuesOf(stream->second.at(policies.front().name), "CPU s"));
    for (const auto& policy : policies) {
        if (const auto found = stream->second.find(policy.name); found != stream->second.end() && first > 0)
            std::printf("stream CPU, median, %s against %s: %+.1f %%\n", policy.name.c_str(),
                        policies.front().name.c_str(), (median(valuesOf(found->second, "CPU s")) / first - 1) * 100);
    }
}

int benchmark(const Plan& plan) {
    const auto& policies = plan.policies;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("Heap policies side by side, %d runs, %zu frames of %zu-%zu bytes:", plan.runs, plan.frames,
                plan.smallest, plan.largest);
    for (const auto& policy : policies)
        std::printf(" %s=%s", policy.name.c_str(), policy.spec.c_str());
    std::printf("\n\n");
    Results results;
    try {
        Bench bench;
        for (int run = 1; run <= plan.runs; ++run) {
            for (std::size_t turn = 0; turn < policies.size(); ++turn) {
                const auto& policy = policies[(turn + static_cast<std::size_t>(run) - 1) % policies.size()];
                for (const auto& scenario : plan.scenarios) {
                    Figures figures;
                    if (scenario == "stream")
                        figures = stream(bench, policy, plan);
                    else if (scenario == "wide")
                        figures = wideFrames(bench, policy);
                    else
                        figures = widePendingList(bench, policy);
                    print(scenario, policy.name, run, figures);
                    results[scenario][policy.name].push_back(figures);
                }
            }
        }
    } catch (const Broken& broken) {
        std::fprintf(stderr, "broken run: %s\n", broken.what.c_str());
        return 1;
    }
    summarise(results, policies);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: HeapPolicyBenchmark [--runs N] [--frames N] [--sizes MIN-MAX] "
                         "[--scenarios stream,wide,pending] [--policy NAME=SPEC]...\n");
    return 2;
}

} // namespace
} // namespace varnel::testing

int main(int argc, char** argv) {
    using namespace varnel::testing;
    // The child: the agent's own entry, the policy set as it starts.
    if (argc >= 3 && std::strcmp(argv[1], "--run-agent") == 0) {
        try {
            const auto heap = heapSettingsOf(argv[2]);
            for (const auto& [setting, value] : heap.settings)
                (void)::mallopt(setting, value);
            argv[2] = argv[0];
            return varnel::CLI::main(argc - 2, argv + 2, heap.policy);
        } catch (const Broken& broken) {
            std::fprintf(stderr, "%s\n", broken.what.c_str());
            return 2;
        }
    }
    Plan plan;
    auto& policies = plan.policies;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        if (option == "--runs") {
            plan.runs = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--frames") {
            plan.frames = static_cast<std::size_t>(std::max(1, std::atoi(value.c_str())));
        } else if (option == "--sizes") {
            const auto dash = value.find('-');
            plan.smallest = std::strtoull(value.c_str(), nullptr, 10);
            plan.largest = dash == std::string::npos ? 0 : std::strtoull(value.c_str() + dash + 1, nullptr, 10);
            if (plan.smallest < 16 || plan.largest < plan.smallest)
                return usage();
        } else if (option == "--scenarios") {
            plan.scenarios.clear();
            std::istringstream names(value);
            for (std::string name; std::getline(names, name, ',');) {
                if (name != "stream" && name != "wide" && name != "pending")
                    return usage();
                plan.scenarios.push_back(name);
            }
        } else if (option == "--policy") {
            const auto equals = value.find('=');
            if (equals == std::string::npos || equals == 0)
                return usage();
            policies.push_back({value.substr(0, equals), value.substr(equals + 1)});
            try {
                (void)heapSettingsOf(policies.back().spec);
            } catch (const Broken& broken) {
                std::fprintf(stderr, "%s\n", broken.what.c_str());
                return 2;
            }
        } else {
            return usage();
        }
    }
    if (policies.empty())
        policies = {{"old", "none"}, {"main", "mmap-threshold=131072,return-from=65537"}, {"new", "program"}};
    return benchmark(plan);
}
