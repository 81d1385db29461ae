// The shipped program against the test bench on loopback, with the figures its users feel:
//
//   AgentBenchmark [--jobs N] [--drain N] [--idle-seconds S]
//
// 1. push-to-printed and push-to-reported latency over N jobs pushed one after another, and where
//    one job's time goes, step by step, against the floor's same steps;
// 2. N pending jobs drained after the channel comes back, total time;
// 3. CPU time per job of the agent process, by thread;
// 4. memory after the start, after the N pushed jobs and after the drain; an idle connected
//    agent's wake-ups over S seconds, at the production intervals; the time from launch to
//    "Agent running";
// 5. the floor: the same steps done back to back by this program with libcurl and a socket;
// 6. `status` and `printers` (no queues) as whole processes.
//
// The agent is `varnel-agent run` itself in a child process, enrolled beforehand with
// `varnel-agent enroll` against the bench: libcurl HTTPS, the channel over wss with the bench's
// authority, raw TCP printing, its log file in a temporary data folder and every line echoed to
// its standard output (read here), and a CUPS_SERVER on which nothing listens, so that discovery
// never touches the machine's scheduler. This process runs the bench and does all the measuring.
//
// Missed targets do not fail the run; a broken run does (a label lost, printed twice or not at all,
// a result missing or doubled, a command that failed, an agent that crashed or would not stop, or
// whose stop did not reach the server): exit status 1.
#include "AgentProcess/AgentProcess.hpp"
#include "Bench/TestBench.hpp"
#include "ProcessStatistics.hpp"
#include "VarnelKit/Protocol/JobResultRequest.hpp"

#include <algorithm>
#include <array>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The intervals `run` gives the agent, and the channel's keepalive check.
constexpr auto pollWhenConnected = 60s;
constexpr auto heartbeatInterval = 60s;
constexpr auto rescanInterval = 300s;
constexpr auto statusCheckInterval = 45s;
constexpr auto keepaliveInterval = 30s;

constexpr double p50Target = 5.0;      // ms
constexpr double p99Target = 20.0;     // ms
constexpr double drainTargetPerJob = 10.0; // ms: 1,000 jobs in 10 s
constexpr double rssTargetMiB = 20.0;
constexpr double privateTargetMiB = 5.0;
constexpr double growthTargetKiB = 512.0;
constexpr double statusTargetMs = 20.0;

// The bench's code in the form the enrollment accepts.
constexpr const char* enrollmentCode = "VRNL-2345-6789";
// Runs of each whole-process command.
constexpr int commandRuns = 20;

std::string labelFor(std::size_t serial) {
    char text[96];
    std::snprintf(text, sizeof text, "^XA^FO40,40^A0N,40,40^FDBench label %06zu^FS^XZ", serial);
    return text;
}

std::string printedBytes(const std::string& payload) {
    return payload + "\n";
}

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// Nearest rank, on a sorted copy.
double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

struct Spread {
    double p50 = 0, p99 = 0, max = 0;
    static Spread of(const std::vector<double>& values) {
        return {percentile(values, 0.50), percentile(values, 0.99),
                values.empty() ? 0 : *std::max_element(values.begin(), values.end())};
    }
};

const char* verdict(bool met) {
    return met ? "met" : "missed";
}

// A fault of the run itself (not a missed target): reported, and the run fails.
struct Broken {
    std::string what;
};

// Reads the recorded state without copying it: the condition runs under the server's lock.
template <class Server, class Read> void peek(const Server& server, Read read) {
    server.waitFor([&](const auto& snapshot) {
        read(snapshot);
        return true;
    }, 0ms);
}

template <class Wait> bool waitWhileAlive(AgentProcess* agent, Clock::duration limit, Wait wait) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (wait(std::chrono::milliseconds(200)))
            return true;
        if (agent && !agent->running())
            throw Broken{"the agent process " + agent->ending()};
        if (Clock::now() >= deadline)
            return false;
    }
}

// MARK: - What the bench recorded

// The first job connection at or after `from` once it has ended (its index moves `from` past it).
RawTestPrinter::Connection awaitPrinted(RawTestPrinter& printer, std::size_t& from, AgentProcess* agent,
                                        const std::string& what) {
    std::optional<RawTestPrinter::Connection> found;
    std::size_t index = 0;
    const bool ended = waitWhileAlive(agent, 30s, [&](std::chrono::milliseconds slice) {
        return printer.waitFor([&](const RawTestPrinter::Snapshot& s) {
            for (std::size_t i = from; i < s.connections.size(); ++i) {
                const auto& connection = s.connections[i];
                if (!connection.bytes.empty() && !connection.open) {
                    found = connection;
                    index = i;
                    return true;
                }
            }
            return false;
        }, slice);
    });
    if (!ended)
        throw Broken{what + " was not printed within 30 s"};
    from = index + 1;
    return *found;
}

// When the job's accepted result arrived at the server.
Clock::time_point awaitReported(ManagementTestServer& server, std::int64_t jobId, AgentProcess* agent,
                                const std::string& what) {
    const std::string target = "/jobs/" + std::to_string(jobId) + "/result";
    Clock::time_point at{};
    const bool reported = waitWhileAlive(agent, 30s, [&](std::chrono::milliseconds slice) {
        return server.waitFor([&](const ManagementTestServer::Snapshot& s) {
            if (s.resultCount(jobId) == 0)
                return false;
            for (auto request = s.requests.rbegin(); request != s.requests.rend(); ++request) {
                if (request->operation == ManagementOperation::result && request->target.ends_with(target)) {
                    at = request->at;
                    return true;
                }
            }
            return false;
        }, slice);
    });
    if (!reported)
        throw Broken{what + ": no result within 30 s"};
    return at;
}

void expectClean(const RawTestPrinter::Connection& connection, const std::string& payload, const std::string& what) {
    if (!connection.endedCleanly)
        throw Broken{what + ": the printer's connection did not end cleanly"};
    if (connection.bytes != printedBytes(payload))
        throw Broken{what + ": the printer received other bytes than the job's (" +
                     std::to_string(connection.bytes.size()) + " bytes)"};
}

// Every job printed exactly once on `printer` and reported exactly once, "printed" with the
// bytes the printer got. Returns the problems found.
std::vector<std::string> audit(const std::map<std::int64_t, std::string>& payloads, const RawTestPrinter& printer,
                               const ManagementTestServer::Snapshot& server, const std::string& what) {
    std::vector<std::string> problems;
    std::map<std::string, std::int64_t> jobOfBytes;
    for (const auto& [id, payload] : payloads)
        jobOfBytes.emplace(printedBytes(payload), id);
    std::map<std::int64_t, int> prints;
    for (const auto& connection : printer.snapshot().jobs()) {
        const auto job = jobOfBytes.find(connection.bytes);
        if (job == jobOfBytes.end())
            problems.push_back(what + ": the printer got " + std::to_string(connection.bytes.size()) +
                               " bytes that are no job's");
        else
            ++prints[job->second];
    }
    for (const auto& [id, payload] : payloads) {
        const int printed = prints[id];
        if (printed != 1)
            problems.push_back(what + ": job " + std::to_string(id) + " printed " + std::to_string(printed) + " times");
        const auto results = server.resultCount(id);
        if (results != 1) {
            problems.push_back(what + ": job " + std::to_string(id) + " has " + std::to_string(results) + " results");
            continue;
        }
        const auto& result = *server.lastResult(id);
        if (result.value("state", "") != "printed" ||
            result.value("bytes_written", std::int64_t(-1)) != std::int64_t(printedBytes(payload).size()))
            problems.push_back(what + ": job " + std::to_string(id) + " reported " + result.dump());
    }
    return problems;
}

// MARK: - The floor

// A socket to 127.0.0.1:port; closes on destruction.
class Socket {
public:
    explicit Socket(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw Broken{"floor: could not connect to the printer: " + std::string(std::strerror(errno))};
    }
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void sendAll(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const auto n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n < 0)
                throw Broken{"floor: could not write to the printer: " + std::string(std::strerror(errno))};
            sent += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_;
};

// One kept-alive HTTPS connection, as plain as libcurl makes it.
class FloorClient {
public:
    FloorClient(std::string baseUrl, const std::string& token) : base_(std::move(baseUrl)), easy_(curl_easy_init()) {
        headers_ = curl_slist_append(headers_, ("Authorization: Bearer " + token).c_str());
        headers_ = curl_slist_append(headers_, "Accept: application/json");
        headers_ = curl_slist_append(headers_, "Content-Type: application/json");
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(easy_, CURLOPT_CAINFO, TestBench::caFile().c_str());
        curl_easy_setopt(easy_, CURLOPT_TCP_NODELAY, 1L);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &FloorClient::collect);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &body_);
    }
    ~FloorClient() {
        curl_easy_cleanup(easy_);
        curl_slist_free_all(headers_);
    }
    FloorClient(const FloorClient&) = delete;
    FloorClient& operator=(const FloorClient&) = delete;

    nlohmann::json get(const std::string& path) {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
        return perform(path);
    }
    void post(const std::string& path, const std::string& body) {
        curl_easy_setopt(easy_, CURLOPT_POST, 1L);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE, long(body.size()));
        perform(path);
    }

private:
    static std::size_t collect(char* data, std::size_t size, std::size_t count, void* body) {
        static_cast<std::string*>(body)->append(data, size * count);
        return size * count;
    }
    nlohmann::json perform(const std::string& path) {
        body_.clear();
        curl_easy_setopt(easy_, CURLOPT_URL, (base_ + path).c_str());
        const auto code = curl_easy_perform(easy_);
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (code != CURLE_OK || status < 200 || status > 299)
            throw Broken{"floor: " + path + " failed: " + curl_easy_strerror(code) + ", status " +
                         std::to_string(status)};
        return nlohmann::json::parse(body_, nullptr, false);
    }

    std::string base_;
    CURL* easy_;
    curl_slist* headers_ = nullptr;
    std::string body_;
};

// One job's way through, as the bench saw it: which job, when its push (or fetch) began, and
// which of the printer's connections carried it.
struct JobTrace {
    std::int64_t id = 0;
    Clock::time_point started;
    std::size_t connection = 0;
};

struct Latencies {
    std::vector<double> printed; // ms
    std::vector<double> reported;
    std::vector<JobTrace> traces;
};

// Fetch, probe, write, post, back to back, for each job; the same points on the bench's side
// as for the agent: the printer's end of the job connection, the result's arrival.
Latencies measureFloor(TestBench& bench, RawTestPrinter& printer, std::size_t count, std::size_t& serial,
                       std::map<std::int64_t, std::string>& payloads, long& connections) {
    FloorClient client(bench.management().baseUrl(), bench.token());
    peek(bench.management(),
         [&](const ManagementTestServer::Snapshot& s) { connections = long(s.connectionsAccepted); });
    Latencies latencies;
    std::size_t from = 0;
    // One more job first, unmeasured: the agent's connection is warm too when its pushes begin.
    for (std::size_t i = 0; i <= count; ++i) {
        const auto payload = labelFor(serial++);
        const auto id = bench.management().createJob(
            BenchJob{.printerKey = printer.key(), .payload = payload, .delivery = JobDelivery::pushed});
        payloads.emplace(id, payload);
        const auto started = Clock::now();
        const auto startedAt = std::chrono::system_clock::now();
        const auto job = client.get("/api/v1/jobs/" + std::to_string(id));
        if (!job.is_object() || job.value("payload", "") != payload)
            throw Broken{"floor: job " + std::to_string(id) + " came back otherwise"};
        const auto bytes = printedBytes(job["payload"].get<std::string>());
        { Socket probe(printer.port()); }
        {
            Socket write(printer.port());
            write.sendAll(bytes);
        }
        const auto result =
            JobResultRequest::printed(startedAt, std::chrono::system_clock::now(), std::int64_t(bytes.size()));
        client.post("/api/v1/jobs/" + std::to_string(id) + "/result", json::dump(result.toJson()));

        const auto what = "floor job " + std::to_string(id);
        const auto connection = awaitPrinted(printer, from, nullptr, what);
        expectClean(connection, payload, what);
        const auto reportedAt = awaitReported(bench.management(), id, nullptr, what);
        if (i == 0)
            continue;
        latencies.printed.push_back(milliseconds(*connection.closedAt - started));
        latencies.reported.push_back(milliseconds(reportedAt - started));
        latencies.traces.push_back({id, started, from - 1});
    }
    peek(bench.management(), [&](const ManagementTestServer::Snapshot& s) {
        connections = long(s.connectionsAccepted) - connections;
    });
    return latencies;
}

// MARK: - The idle agent

struct Activity {
    std::size_t heartbeats = 0, polls = 0, rescans = 0, syncs = 0, probes = 0, pings = 0, requests = 0;

    Activity minus(const Activity& earlier) const {
        return {heartbeats - earlier.heartbeats, polls - earlier.polls, rescans - earlier.rescans,
                syncs - earlier.syncs, probes - earlier.probes, pings - earlier.pings, requests - earlier.requests};
    }
    std::string label() const {
        std::string text;
        const auto add = [&](std::size_t count, const char* name) {
            if (count == 0)
                return;
            text += text.empty() ? "" : " + ";
            text += name;
        };
        add(polls, "poll");
        add(heartbeats, "heartbeat");
        add(rescans, "rescan");
        add(probes, "printer probe");
        add(pings, "keepalive ping");
        const auto others = requests - polls - heartbeats - rescans - syncs;
        add(others, "other request");
        return text.empty() ? "timer only (keepalive check)" : text;
    }
};

Activity activityOf(TestBench& bench, RawTestPrinter& printer) {
    Activity activity;
    peek(bench.management(), [&](const ManagementTestServer::Snapshot& s) {
        activity.heartbeats = s.requestCount(ManagementOperation::heartbeat);
        activity.polls = s.requestCount(ManagementOperation::pendingJobs);
        activity.rescans = s.requestCount(ManagementOperation::assignedPrinters);
        activity.syncs = s.requestCount(ManagementOperation::syncPrinters);
        activity.requests = s.requests.size();
    });
    peek(bench.pusher(), [&](const PusherTestServer::Snapshot& s) { activity.pings = s.pingsReceived; });
    peek(printer, [&](const RawTestPrinter::Snapshot& s) {
        activity.probes = 0;
        for (const auto& connection : s.connections)
            activity.probes += connection.isProbe() ? 1 : 0;
    });
    return activity;
}

struct Burst {
    double at = 0; // seconds into the idle period
    long switches = 0;
    Activity activity;
};

std::size_t firingsWithin(double seconds, std::chrono::seconds interval) {
    return static_cast<std::size_t>(std::ceil(seconds / double(interval.count())));
}

// The agent's own log: its size, and its errors, which a sound run has none of.
void summariseLog(const std::filesystem::path& data) {
    std::size_t lines = 0;
    std::vector<std::string> errors;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data, error)) {
        if (!entry.is_regular_file() || entry.path().filename().string().find(".log") == std::string::npos)
            continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            ++lines;
            if (line.find(" [ERROR] ") != std::string::npos)
                errors.push_back(line);
        }
    }
    std::printf("agent log (AgentLogger to a file): %zu lines, %zu errors\n", lines, errors.size());
    for (std::size_t i = 0; i < std::min<std::size_t>(errors.size(), 5); ++i)
        std::printf("   %s\n", errors[i].c_str());
}

// MARK: - The run

struct Options {
    std::size_t jobs = 1000;
    std::size_t drain = 1000;
    int idleSeconds = 300;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string_view value = argv[++i];
        long number = -1;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (error != std::errc() || end != value.data() + value.size() || number < 1)
            return std::nullopt;
        if (flag == "--jobs")
            options.jobs = static_cast<std::size_t>(number);
        else if (flag == "--drain")
            options.drain = static_cast<std::size_t>(number);
        else if (flag == "--idle-seconds")
            options.idleSeconds = static_cast<int>(number);
        else
            return std::nullopt;
    }
    return options;
}

double mib(long kib) {
    return double(kib) / 1024.0;
}

// MARK: - Where one job's time goes

// The steps of one job between the points the bench records: the push (or, for the floor, the
// start of its fetch) to the fetch's arrival; the fetch's arrival to the probe's connection; the
// probe's connection to the job's; the job's connection to its end; its end to the result's arrival.
struct Steps {
    std::vector<double> toFetch, toProbe, toWrite, write, toReport; // ms
};

Steps stepsOf(const std::vector<JobTrace>& traces, const ManagementTestServer::Snapshot& server,
              const RawTestPrinter::Snapshot& printer) {
    std::map<std::string, Clock::time_point> fetched, reported;
    for (const auto& request : server.requests) {
        if (request.operation == ManagementOperation::job)
            fetched.try_emplace(request.target, request.at);
        else if (request.operation == ManagementOperation::result)
            reported.try_emplace(request.target, request.at);
    }
    const auto at = [](const std::map<std::string, Clock::time_point>& records, const std::string& suffix)
        -> std::optional<Clock::time_point> {
        for (const auto& [target, time] : records) {
            if (target.ends_with(suffix))
                return time;
        }
        return std::nullopt;
    };
    Steps steps;
    for (const auto& trace : traces) {
        const auto jobPath = "/jobs/" + std::to_string(trace.id);
        const auto fetch = at(fetched, jobPath);
        const auto result = at(reported, jobPath + "/result");
        if (!fetch || !result || trace.connection >= printer.connections.size())
            continue;
        const auto& job = printer.connections[trace.connection];
        // The probe: the last reachability check that began after the fetch and before the job.
        std::optional<Clock::time_point> probe;
        for (std::size_t i = trace.connection; i-- > 0;) {
            const auto& connection = printer.connections[i];
            if (connection.acceptedAt < *fetch)
                break;
            if (connection.isProbe()) {
                probe = connection.acceptedAt;
                break;
            }
        }
        if (!probe || !job.closedAt)
            continue;
        steps.toFetch.push_back(milliseconds(*fetch - trace.started));
        steps.toProbe.push_back(milliseconds(*probe - *fetch));
        steps.toWrite.push_back(milliseconds(job.acceptedAt - *probe));
        steps.write.push_back(milliseconds(*job.closedAt - job.acceptedAt));
        steps.toReport.push_back(milliseconds(*result - *job.closedAt));
    }
    return steps;
}

void printSteps(const Steps& agent, const Steps& floor) {
    struct Row {
        const char* name;
        const std::vector<double>& agent;
        const std::vector<double>& floor;
    };
    const Row rows[] = {
        {"push to fetch (channel delivery, dispatch, request sent)", agent.toFetch, floor.toFetch},
        {"fetch to probe (reply, parse, log, hop to the pool, resolve)", agent.toProbe, floor.toProbe},
        {"probe to write (probe ends, write connects)", agent.toWrite, floor.toWrite},
        {"write (connection open to last byte in)", agent.write, floor.write},
        {"written to result (report sent)", agent.toReport, floor.toReport},
    };
    std::printf("   where one pushed job's time goes (p50 of each step; %zu agent jobs, %zu floor jobs):\n",
                agent.write.size(), floor.write.size());
    std::printf("     %-62s %8s %8s %8s\n", "step", "agent", "floor", "above");
    const Row* largest = nullptr;
    double largestAbove = 0;
    double agentSum = 0, floorSum = 0;
    for (const auto& row : rows) {
        const double a = percentile(row.agent, 0.5), f = percentile(row.floor, 0.5);
        agentSum += a;
        floorSum += f;
        std::printf("     %-62s %5.3f ms %5.3f ms %+5.3f ms\n", row.name, a, f, a - f);
        if (!largest || a - f > largestAbove) {
            largest = &row;
            largestAbove = a - f;
        }
    }
    std::printf("     %-62s %5.3f ms %5.3f ms %+5.3f ms\n", "sum of the medians", agentSum, floorSum,
                agentSum - floorSum);
    if (largest)
        std::printf("   largest part above the floor: %s, %.3f ms of %.3f ms\n", largest->name, largestAbove,
                    agentSum - floorSum);
}

// CPU time each thread of the agent spent between two readings, per job, in microseconds.
void printThreadCpu(const std::map<pid_t, long long>& before, const std::map<pid_t, long long>& after,
                    const std::map<pid_t, std::string>& waits, pid_t main, std::size_t jobs) {
    std::printf("   CPU per pushed job by thread, in order of start (where each waits when idle):");
    for (const auto& [tid, total] : after) {
        const auto earlier = before.find(tid);
        const long long used = total - (earlier == before.end() ? 0 : earlier->second);
        const auto wait = waits.find(tid);
        std::printf(" %s%.1f us (%s)", tid == main ? "the agent loop " : "", double(used) / 1000.0 / double(jobs),
                    wait == waits.end() ? "gone" : wait->second.c_str());
    }
    std::printf("\n");
}

// MARK: - The commands as whole processes

struct CommandTimes {
    std::vector<double> ms;
    std::string output;
};

CommandTimes timeCommand(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         const std::string& expected) {
    CommandTimes times;
    for (int i = 0; i < commandRuns; ++i) {
        const auto run = runCommand(arguments, environment);
        if (run.status != 0 || run.output.find(expected) == std::string::npos)
            throw Broken{arguments.back() + " exited with status " + std::to_string(run.status) + ": " + run.output};
        times.ms.push_back(run.milliseconds);
        times.output = run.output;
    }
    return times;
}

// MARK: - The run

int run(const Options& options) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    char folder[] = "/tmp/varnel-agent-benchmark-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path home = folder;
    std::filesystem::create_directories(home / "data");
    const std::string agentProgram = testing::agentProgram();

    int status = 0;
    try {
        TestBenchOptions benchOptions;
        benchOptions.management.enrollmentCode = enrollmentCode;
        TestBench bench(benchOptions);
        RawTestPrinter& agentPrinter = bench.addPrinter();
        RawTestPrinter& floorPrinter = bench.addPrinter();
        // Assigned by the server, as a network printer is: the agent's status check probes it.
        nlohmann::json assigned = nlohmann::json::array();
        assigned.push_back({{"key", agentPrinter.key()}, {"name", "Bench printer"}, {"transport", "network"},
                            {"language", "zpl"}, {"address", agentPrinter.address()}, {"status", "online"}});
        bench.management().setAssignedPrinters(assigned);

        std::printf("Agent benchmark on loopback: %zu jobs pushed one after another, %zu pending jobs drained, "
                    "%d s idle\n",
                    options.jobs, options.drain, options.idleSeconds);
        std::printf("agent process: %s run, enrolled with its enroll command; libcurl HTTPS and the channel over "
                    "wss with the bench's authority, raw TCP printing, its log file and its echo (read by this "
                    "process), CUPS_SERVER where nothing listens; the production intervals 60/15/60/300/45 s, "
                    "keepalive check 30 s\n\n",
                    agentProgram.c_str());

        std::size_t serial = 0;
        std::map<std::int64_t, std::string> floorPayloads, drainPayloads, pushedPayloads;

        // 5, first: no agent is connected yet, so the floor's jobs are announced to nobody.
        long floorConnections = 0;
        const auto floor = measureFloor(bench, floorPrinter, options.jobs, serial, floorPayloads, floorConnections);

        // 6: enrolled as an administrator does it, then the commands that only read what it stored.
        const auto environment = agentEnvironment(home, TestBench::caFile());
        const auto enrolled = runCommand(
            {agentProgram, "enroll", "--server", bench.management().baseUrl(), "--code", enrollmentCode}, environment);
        if (enrolled.status != 0)
            throw Broken{"varnel-agent enroll exited with status " + std::to_string(enrolled.status) + ": " +
                         enrolled.output};
        const auto processFloor = timeCommand({"/bin/true"}, environment, "");
        const auto help = timeCommand({agentProgram, "help"}, environment, "Usage:");
        const auto statusRuns = timeCommand({agentProgram, "status"}, environment, "present in Keychain");
        const auto printersRuns = timeCommand({agentProgram, "printers"}, environment, "No CUPS printers found.");

        // 4, the start: launched, running, connected and through its first round of requests.
        AgentProcess agent({agentProgram, "run"}, {.environment = environment, .mergeErrors = true});
        ProcessStatistics statistics(agent.pid());
        const auto runningAt = agent.waitForLine("Agent running", 60s);
        if (!runningAt)
            throw Broken{"varnel-agent run printed no \"Agent running\" within 60 s; it " + agent.ending()};
        const std::string channel = bench.management().channelName();
        if (!waitWhileAlive(&agent, 30s, [&](std::chrono::milliseconds slice) {
                return bench.pusher().waitFor(
                    [&](const PusherTestServer::Snapshot& s) {
                        return std::any_of(s.subscriptions.begin(), s.subscriptions.end(),
                                           [&](const auto& sub) { return sub.channel == channel && sub.accepted; });
                    },
                    slice);
            }))
            throw Broken{"the agent never subscribed to " + channel};
        Clock::time_point connectedAt{};
        if (!waitWhileAlive(&agent, 30s, [&](std::chrono::milliseconds slice) {
                return bench.management().waitFor(
                    [&](const ManagementTestServer::Snapshot& s) {
                        for (const auto& request : s.requests) {
                            if (request.operation == ManagementOperation::pendingJobs) {
                                connectedAt = request.at;
                                return true;
                            }
                        }
                        return false;
                    },
                    slice);
            }))
            throw Broken{"the agent never asked for its pending jobs"};
        std::this_thread::sleep_for(1s);
        const auto memoryAfterStart = statistics.memory();
        const double cpuAtStart = statistics.cpuSeconds();

        // 1: one job at a time, the next once the previous one's result is in.
        Latencies pushed;
        std::size_t from = 0;
        peek(agentPrinter, [&](const RawTestPrinter::Snapshot& s) { from = s.connections.size(); });
        const auto threadsBeforePushes = statistics.threadCpuNanoseconds();
        const std::size_t linesBeforePushes = agent.lineCount();
        for (std::size_t i = 0; i < options.jobs; ++i) {
            const auto payload = labelFor(serial++);
            const auto started = Clock::now();
            const auto id = bench.management().createJob(
                BenchJob{.printerKey = agentPrinter.key(), .payload = payload, .delivery = JobDelivery::pushed});
            pushedPayloads.emplace(id, payload);
            const auto what = "pushed job " + std::to_string(id);
            const auto connection = awaitPrinted(agentPrinter, from, &agent, what);
            expectClean(connection, payload, what);
            const auto reportedAt = awaitReported(bench.management(), id, &agent, what);
            pushed.printed.push_back(milliseconds(*connection.closedAt - started));
            pushed.reported.push_back(milliseconds(reportedAt - started));
            pushed.traces.push_back({id, started, from - 1});
        }
        const double cpuAfterPushes = statistics.cpuSeconds();
        const auto threadsAfterPushes = statistics.threadCpuNanoseconds();
        const std::size_t linesPerJob = (agent.lineCount() - linesBeforePushes) / std::max<std::size_t>(options.jobs, 1);
        std::this_thread::sleep_for(1s);
        const auto memoryAfterPushes = statistics.memory();

        // 2: pending jobs, drained when the channel comes back (the agent drains on every connect).
        for (std::size_t i = 0; i < options.drain; ++i) {
            const auto payload = labelFor(serial++);
            const auto id = bench.management().createJob(
                BenchJob{.printerKey = agentPrinter.key(), .payload = payload, .delivery = JobDelivery::pending});
            drainPayloads.emplace(id, payload);
        }
        const auto droppedAt = Clock::now();
        bench.pusher().dropAll();
        const double cpuAtDrain = statistics.cpuSeconds();
        const std::size_t settled = floorPayloads.size() + pushedPayloads.size() + drainPayloads.size();
        const auto drainLimit = 60s + std::chrono::milliseconds(100 * options.drain);
        if (!waitWhileAlive(&agent, drainLimit, [&](std::chrono::milliseconds slice) {
                return bench.management().waitFor([&](const auto& s) { return s.results.size() >= settled; },
                                                  slice);
            }))
            throw Broken{"the pending jobs were not all reported"};
        const double cpuAfterDrain = statistics.cpuSeconds();
        Clock::time_point drainStart{}, drainEnd{};
        {
            const auto snapshot = bench.management().snapshot();
            for (const auto& request : snapshot.requests) {
                if (request.at < droppedAt)
                    continue;
                if (request.operation == ManagementOperation::pendingJobs && drainStart == Clock::time_point{})
                    drainStart = request.at;
                if (request.operation == ManagementOperation::result && request.at > drainEnd)
                    drainEnd = request.at;
            }
        }
        std::this_thread::sleep_for(1s);
        const auto memoryAfterDrain = statistics.memory();

        // 4: nothing to do for a while, at the production intervals.
        const double cpuBeforeIdle = statistics.cpuSeconds();
        statistics.resetSwitches();
        auto previous = activityOf(bench, agentPrinter);
        const auto activityBefore = previous;
        long switchesBefore = 0;
        std::vector<Burst> bursts;
        std::optional<Burst> open;
        Activity openedFrom;
        const auto idleStart = Clock::now();
        auto next = idleStart;
        while (Clock::now() - idleStart < std::chrono::seconds(options.idleSeconds)) {
            next += 100ms;
            std::this_thread::sleep_until(next);
            if (!agent.running())
                throw Broken{"the agent process " + agent.ending() + " while idle"};
            const long switches = statistics.switches();
            const auto activity = activityOf(bench, agentPrinter);
            if (switches != switchesBefore) {
                if (!open) {
                    open = Burst{};
                    open->at = Seconds(Clock::now() - idleStart).count();
                    openedFrom = previous;
                }
                open->switches += switches - switchesBefore;
            } else if (open) {
                open->activity = activity.minus(openedFrom);
                bursts.push_back(*open);
                open.reset();
            }
            switchesBefore = switches;
            previous = activity;
        }
        const double idleSeconds = Seconds(Clock::now() - idleStart).count();
        if (open) {
            open->activity = previous.minus(openedFrom);
            bursts.push_back(*open);
        }
        const long idleSwitches = statistics.switches();
        const auto idleSwitchesByThread = statistics.switchesByThread();
        const auto idleWaits = statistics.threadWaits();
        const double cpuAfterIdle = statistics.cpuSeconds();
        const auto memoryAfterIdle = statistics.memory();
        const auto residentFiles = statistics.residentFiles();
        const auto idleActivity = activityOf(bench, agentPrinter).minus(activityBefore);

        // Nothing printed or reported twice meanwhile, and nothing lost.
        const auto finalServer = bench.management().snapshot();
        std::vector<std::string> problems = audit(floorPayloads, floorPrinter, finalServer, "floor");
        std::map<std::int64_t, std::string> agentPayloads = drainPayloads;
        agentPayloads.insert(pushedPayloads.begin(), pushedPayloads.end());
        for (auto& problem : audit(agentPayloads, agentPrinter, finalServer, "agent"))
            problems.push_back(std::move(problem));

        // Ctrl-C, as an administrator stops it: exit status 0, and the server told.
        const auto interrupted = Clock::now();
        agent.signal(SIGINT);
        const bool stoppedCleanly = agent.waitForExit(15s) == 0;
        const double stopMs = milliseconds(agent.endedAt().value_or(Clock::now()) - interrupted);
        const auto stoppedKinds = bench.management().snapshot().eventKinds();
        const bool stopReported =
            std::find(stoppedKinds.begin(), stoppedKinds.end(), "agent_stopped") != stoppedKinds.end();

        // MARK: figures
        const auto agentPrinted = Spread::of(pushed.printed);
        const auto agentReported = Spread::of(pushed.reported);
        const auto floorPrinted = Spread::of(floor.printed);
        const auto floorReported = Spread::of(floor.reported);
        std::printf("1. push-to-printed, %zu jobs: p50 %.2f ms, p99 %.2f ms, max %.2f ms; floor p50 %.2f ms: "
                    "%.2fx the floor\n",
                    options.jobs, agentPrinted.p50, agentPrinted.p99, agentPrinted.max, floorPrinted.p50,
                    agentPrinted.p50 / floorPrinted.p50);
        std::printf("   target p50 <= %.0f ms: %s; target p99 <= %.0f ms: %s\n", p50Target,
                    verdict(agentPrinted.p50 <= p50Target), p99Target, verdict(agentPrinted.p99 <= p99Target));
        std::printf("   push-to-reported: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", agentReported.p50,
                    agentReported.p99, agentReported.max);
        std::printf("   (from just before the bench announces the job to the printer's end of the job connection, "
                    "and to the result's arrival at the server)\n");
        {
            const auto server = bench.management().snapshot();
            printSteps(stepsOf(pushed.traces, server, agentPrinter.snapshot()),
                       stepsOf(floor.traces, server, floorPrinter.snapshot()));
        }
        std::printf("   log lines per pushed job (file and echo): %zu\n", linesPerJob);

        const double drainSeconds = Seconds(drainEnd - drainStart).count();
        const double drainTarget = drainTargetPerJob * double(options.drain) / 1000.0;
        std::printf("\n2. %zu pending jobs drained: %.3f s from the pending-list request after the channel came back "
                    "to the last result (%.3f s from the drop of the channel, which the agent logs as one error); each "
                    "printed once\n",
                    options.drain, drainSeconds, Seconds(drainEnd - droppedAt).count());
        std::printf("   target <= %.1f s (1,000 in <= 10 s): %s; %.2f ms per job\n", drainTarget,
                    verdict(drainSeconds <= drainTarget), 1000.0 * drainSeconds / double(options.drain));
        if (drainSeconds > drainTarget) {
            std::printf("   bounded by: the jobs run one after another, each a fetch, a probe, a write and a result "
                        "report (3 HTTPS round trips and 2 connects); the floor's same steps take %.2f ms per job "
                        "(p50 to reported)\n",
                        floorReported.p50);
        }

        std::printf("\n3. CPU time of the agent process (user+system): %.3f ms per pushed job, %.3f ms per drained "
                    "job; %.0f ms to start and connect\n",
                    1000.0 * (cpuAfterPushes - cpuAtStart) / double(options.jobs),
                    1000.0 * (cpuAfterDrain - cpuAtDrain) / double(options.drain), 1000.0 * cpuAtStart);
        printThreadCpu(threadsBeforePushes, threadsAfterPushes, idleWaits, agent.pid(), options.jobs);

        std::printf("\n4. start: \"Agent running\" %.0f ms after the launch; the first pending-list request (the "
                    "channel connected) %.0f ms after it\n",
                    milliseconds(*runningAt - agent.launchedAt()), milliseconds(connectedAt - agent.launchedAt()));
        const auto memoryLine = [](const char* when, const ProcessMemory& memory) {
            std::printf("   %-38s RSS %6.2f MiB, PSS %6.2f MiB, private %6.2f MiB (anonymous %.2f MiB, "
                        "file-mapped %.2f MiB)\n",
                        when, mib(memory.rssKiB), mib(memory.pssKiB), mib(memory.privateKiB), mib(memory.anonKiB),
                        mib(memory.fileKiB));
        };
        memoryLine("memory after the start, idle:", memoryAfterStart);
        memoryLine("after the pushed jobs:", memoryAfterPushes);
        memoryLine("after the drain:", memoryAfterDrain);
        memoryLine("after the idle period:", memoryAfterIdle);
        std::printf("   peak RSS over the whole run %.2f MiB\n", mib(memoryAfterIdle.peakKiB));
        const bool privateMet = mib(memoryAfterStart.privateKiB) <= privateTargetMiB;
        const bool rssMet = mib(memoryAfterStart.rssKiB) <= rssTargetMiB;
        std::printf("   target idle private <= %.0f MiB: %s; target idle RSS <= %.0f MiB: %s\n", privateTargetMiB,
                    verdict(privateMet), rssTargetMiB, verdict(rssMet));
        const auto growth = [](const ProcessMemory& later, const ProcessMemory& earlier) {
            return std::array<long, 3>{later.rssKiB - earlier.rssKiB, later.pssKiB - earlier.pssKiB,
                                       later.privateKiB - earlier.privateKiB};
        };
        const auto pushGrowth = growth(memoryAfterPushes, memoryAfterStart);
        const auto drainGrowth = growth(memoryAfterDrain, memoryAfterStart);
        std::printf("   growth over the %zu pushed jobs: RSS %+ld KiB, PSS %+ld KiB, private %+ld KiB; after the drain "
                    "too (%zu jobs in all): RSS %+ld KiB, PSS %+ld KiB, private %+ld KiB\n",
                    options.jobs, pushGrowth[0], pushGrowth[1], pushGrowth[2], options.jobs + options.drain,
                    drainGrowth[0], drainGrowth[1], drainGrowth[2]);
        const bool growthMet = double(pushGrowth[2]) <= growthTargetKiB;
        std::printf("   target growth of private memory over the pushed jobs <= %.0f KiB: %s%s\n", growthTargetKiB,
                    verdict(growthMet), options.jobs < 1000 ? " (with fewer than 1,000 jobs)" : "");
        if (!rssMet || !privateMet) {
            std::printf("   bounded by: of the RSS, %.1f MiB are pages of the program and its shared libraries, "
                        "mapped from files; the largest:",
                        mib(memoryAfterStart.fileKiB));
            for (std::size_t i = 0; i < std::min<std::size_t>(residentFiles.size(), 6); ++i)
                std::printf("%s %s %.1f", i == 0 ? "" : ",", residentFiles[i].second.c_str(),
                            mib(residentFiles[i].first));
            std::printf(" MiB\n");
        }

        const double perMinute = 60.0 / idleSeconds;
        std::printf("   idle, connected, %.0f s: CPU %.0f ms; wake-ups (voluntary + involuntary context switches, all "
                    "threads): %ld, %.1f per minute\n",
                    idleSeconds, 1000.0 * (cpuAfterIdle - cpuBeforeIdle), idleSwitches,
                    double(idleSwitches) * perMinute);
        std::printf("   by thread (the agent loop first, then in order of start):");
        for (const auto count : idleSwitchesByThread)
            std::printf(" %ld", count);
        std::printf(" (%zu threads)\n", idleSwitchesByThread.size());

        const std::size_t pollBound = firingsWithin(idleSeconds, pollWhenConnected);
        const std::size_t heartbeatBound = firingsWithin(idleSeconds, heartbeatInterval);
        const std::size_t rescanBound = firingsWithin(idleSeconds, rescanInterval);
        const std::size_t statusBound = firingsWithin(idleSeconds, statusCheckInterval);
        const std::size_t keepaliveBound = firingsWithin(idleSeconds, keepaliveInterval);
        // A rescan probes the printer too.
        const std::size_t probeBound = statusBound + rescanBound;
        const std::size_t burstBound = pollBound + heartbeatBound + rescanBound + statusBound + keepaliveBound;
        const double impliedPerMinute = 60.0 / 60 + 60.0 / 60 + 60.0 / 300 + 60.0 / 45 + 60.0 / 30;
        std::printf("   activity seen by the bench: %zu polls (at most %zu at 60 s), %zu heartbeats (%zu at 60 s), "
                    "%zu rescans (%zu at 300 s), %zu printer probes (%zu at 45 s + rescans), %zu keepalive pings "
                    "(%zu at 30 s), %zu other requests\n",
                    idleActivity.polls, pollBound, idleActivity.heartbeats, heartbeatBound, idleActivity.rescans,
                    rescanBound, idleActivity.probes, probeBound, idleActivity.pings, keepaliveBound,
                    idleActivity.requests - idleActivity.polls - idleActivity.heartbeats - idleActivity.rescans -
                        idleActivity.syncs);
        std::printf("   wake-up bursts (100 ms samples with switches, runs merged): %zu, %.2f per minute; the "
                    "intervals imply at most %zu (%.2f per minute: poll, heartbeat, rescan, status check, keepalive "
                    "check)\n",
                    bursts.size(), double(bursts.size()) * perMinute, burstBound, impliedPerMinute);
        std::printf("   bursts at (s):");
        for (const auto& burst : bursts)
            std::printf(" %.1f", burst.at);
        std::printf("\n");
        std::map<std::string, std::vector<long>> byKind;
        for (const auto& burst : bursts)
            byKind[burst.activity.label()].push_back(burst.switches);
        std::printf("   switches one periodic activity costs:\n");
        for (const auto& [kind, counts] : byKind) {
            long total = 0;
            for (const auto count : counts)
                total += count;
            std::printf("     %-40s x%-3zu %.1f switches each (min %ld, max %ld)\n", kind.c_str(), counts.size(),
                        double(total) / double(counts.size()), *std::min_element(counts.begin(), counts.end()),
                        *std::max_element(counts.begin(), counts.end()));
        }
        const bool wakeupsMet = bursts.size() <= burstBound && idleActivity.polls <= pollBound &&
                                idleActivity.heartbeats <= heartbeatBound && idleActivity.rescans <= rescanBound &&
                                idleActivity.probes <= probeBound && idleActivity.pings <= keepaliveBound;
        std::printf("   target no wake-ups beyond the production intervals: %s\n", verdict(wakeupsMet));

        std::printf("\n5. the floor (this program, one kept-alive libcurl HTTPS connection and plain sockets: fetch, "
                    "probe, write, post), %zu jobs over %ld HTTPS connection(s):\n",
                    options.jobs, floorConnections);
        std::printf("   fetch-to-printed p50 %.2f ms, p99 %.2f ms, max %.2f ms; fetch-to-reported p50 %.2f ms, p99 "
                    "%.2f ms\n",
                    floorPrinted.p50, floorPrinted.p99, floorPrinted.max, floorReported.p50, floorReported.p99);
        std::printf("   agent / floor: printed p50 %.2fx, p99 %.2fx; reported p50 %.2fx, p99 %.2fx (the agent's "
                    "figures include the channel push, which the floor has not)\n",
                    agentPrinted.p50 / floorPrinted.p50, agentPrinted.p99 / floorPrinted.p99,
                    agentReported.p50 / floorReported.p50, agentReported.p99 / floorReported.p99);

        const auto statusTimes = Spread::of(statusRuns.ms);
        std::printf("\n6. whole processes, %d runs each: status p50 %.1f ms (max %.1f ms), printers with no queues p50 "
                    "%.1f ms (max %.1f ms), help p50 %.1f ms, /bin/true p50 %.1f ms; enroll %.1f ms once\n",
                    commandRuns, statusTimes.p50, statusTimes.max, percentile(printersRuns.ms, 0.5),
                    Spread::of(printersRuns.ms).max, percentile(help.ms, 0.5), percentile(processFloor.ms, 0.5),
                    enrolled.milliseconds);
        std::printf("   target status <= %.0f ms: %s (p50)\n", statusTargetMs, verdict(statusTimes.p50 <= statusTargetMs));
        if (statusTimes.p50 > statusTargetMs)
            std::printf("   bounded by: starting the program (help, which reads nothing, takes p50 %.1f ms)\n",
                        percentile(help.ms, 0.5));

        std::printf("\nagent stopped by SIGINT in %.0f ms: %s; agent_stopped %s the server\n", stopMs,
                    stoppedCleanly ? "exit status 0" : agent.ending().c_str(),
                    stopReported ? "reached" : "did not reach");
        if (!stoppedCleanly)
            problems.push_back("the agent did not stop cleanly: it " + agent.ending());
        if (!stopReported)
            problems.push_back("agent_stopped did not reach the server");
        summariseLog(home / "data");
        for (const auto& problem : problems)
            std::printf("BROKEN: %s\n", problem.c_str());
        status = problems.empty() ? 0 : 1;
        std::printf("%s\n", problems.empty() ? "run complete: every label printed once and reported once"
                                             : "run broken");
    } catch (const Broken& broken) {
        std::printf("BROKEN: %s\n", broken.what.c_str());
        status = 1;
    } catch (const std::exception& error) {
        std::printf("BROKEN: %s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}

} // namespace
} // namespace varnel::testing

int main(int argc, char** argv) {
    const auto options = varnel::testing::parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: %s [--jobs N] [--drain N] [--idle-seconds S]\n", argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = varnel::testing::run(*options);
    curl_global_cleanup();
    return status;
}
