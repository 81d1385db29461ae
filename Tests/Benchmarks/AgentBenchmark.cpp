// The whole agent against the test bench on loopback, with the figures its users feel:
//
//   AgentBenchmark [--jobs N] [--drain N] [--idle-seconds S]
//
// 1. push-to-printed and push-to-reported latency over N jobs pushed one after another;
// 2. N pending jobs drained after the agent connects, total time;
// 3. CPU time per job of the agent process;
// 4. an idle connected agent's memory and wake-ups over S seconds, at the production intervals;
// 5. the floor: the same steps done back to back by this program with libcurl and a socket.
//
// The agent runs alone in a child process (this program in its "agent" mode) with the production
// pieces: libcurl HTTPS, the channel over wss, raw TCP printing, the AgentLogger writing to a file
// in a temporary data folder, and a CUPS_SERVER on which nothing listens, so that discovery never
// touches the machine's scheduler. This process runs the bench and does all the measuring.
//
// Missed targets do not fail the run; a broken run does (a label lost, printed twice or not at all,
// a result missing or doubled, an agent that crashed or would not stop): exit status 1.
#include "Bench/TestBench.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Protocol/JobResultRequest.hpp"
#include "VarnelKit/Support/AgentLogger.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/LogFile.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/signal_set.hpp>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace varnel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The intervals the programs run the agent with, and the channel's keepalive check.
constexpr auto pollWhenConnected = 60s;
constexpr auto pollWhenDisconnected = 15s;
constexpr auto heartbeatInterval = 60s;
constexpr auto rescanInterval = 300s;
constexpr auto statusCheckInterval = 45s;
constexpr auto keepaliveInterval = 30s;

constexpr double p50Target = 5.0;      // ms
constexpr double p99Target = 20.0;     // ms
constexpr double drainTargetPerJob = 10.0; // ms: 1,000 jobs in 10 s
constexpr double rssTargetMiB = 15.0;

// A job's bytes as the printer receives them: the ZPL driver sends the trimmed text and a newline.
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

// MARK: - The agent process

// The agent, as the programs run it, until SIGTERM.
Awaitable<void> stopThenQuit(std::shared_ptr<VarnelAgent> agent, AgentLoop* loop) {
    co_await agent->stop();
    loop->stop();
}

int runAgent(int argc, char** argv) {
    // agent <parent pid> <server url> <wss port> <key> <token> <device id> <device name>
    if (argc != 9)
        return 2;
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (std::to_string(::getppid()) != argv[2])
        return 3; // the parent went before the death signal was armed

    AgentSettings settings;
    settings.deviceId = std::stoll(argv[7]);
    settings.deviceName = argv[8];
    const auto server = parseAbsoluteUrl(argv[3]);
    if (!server)
        return 2;
    settings.serverURL = *server;
    settings.reverb = ReverbSettings{argv[5], "127.0.0.1", std::stoll(argv[4]), "wss"};

    AgentLoop loop;
    auto api = std::make_shared<VarnelAPIClient>(
        VarnelAPIClient::Configuration{settings.serverURL, AgentVersion::current}, std::string(argv[6]));
    auto logger = std::make_shared<AgentLogger>("com.varnel.agent", "agent", false, std::make_shared<LogFile>());
    const VarnelAgent::Timings timings{pollWhenConnected, pollWhenDisconnected, heartbeatInterval, rescanInterval,
                                       statusCheckInterval};
    auto agent = VarnelAgent::make(loop.executor(), settings, api, logger, timings);

    boost::asio::signal_set signals(loop.context(), SIGTERM, SIGINT);
    signals.async_wait([&loop, agent](const boost::system::error_code& error, int) {
        if (!error)
            boost::asio::co_spawn(loop.context(), stopThenQuit(agent, &loop), boost::asio::detached);
    });
    boost::asio::co_spawn(loop.context(), agent->start(), boost::asio::detached);
    loop.run();
    return 0;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The value of a "Name:   value kB" line of a /proc status file, or -1.
long statusField(const std::string& status, std::string_view name) {
    std::size_t at = 0;
    while (at < status.size()) {
        const auto end = std::min(status.find('\n', at), status.size());
        const std::string_view line(status.data() + at, end - at);
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

struct Memory {
    long rssKiB = -1, peakKiB = -1, anonKiB = -1, fileKiB = -1;
    long pssKiB = -1;     // shared pages divided among the processes that map them
    long privateKiB = -1; // pages no other process maps
};

struct ThreadSwitches {
    std::string name;
    long first = 0;
    long last = 0;
};

// The agent in a child process, seen from outside through /proc.
class AgentProcess {
public:
    AgentProcess(TestBench& bench, const std::filesystem::path& home) {
        const auto settings = bench.agentSettings();
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        const std::vector<std::string> arguments = {self,
                                                    "agent",
                                                    std::to_string(::getpid()),
                                                    bench.management().baseUrl(),
                                                    std::to_string(settings.reverb.port),
                                                    settings.reverb.key,
                                                    bench.token(),
                                                    std::to_string(settings.deviceId),
                                                    settings.deviceName};
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view text(*entry);
            if (!text.starts_with("SSL_CERT_FILE=") && !text.starts_with("CUPS_SERVER=") &&
                !text.starts_with("XDG_DATA_HOME="))
                environment.emplace_back(text);
        }
        environment.push_back("SSL_CERT_FILE=" + TestBench::caFile().string());
        // A socket nobody listens on: discovery finds no scheduler instead of the machine's.
        environment.push_back("CUPS_SERVER=" + (home / "no-scheduler.sock").string());
        environment.push_back("XDG_DATA_HOME=" + (home / "data").string());

        std::vector<char*> argv, envp;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (const auto& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        launchedAt_ = Clock::now();
        if (const int error = ::posix_spawn(&pid_, self.c_str(), nullptr, nullptr, argv.data(), envp.data()))
            throw Broken{"could not start the agent process: " + std::string(std::strerror(error))};
    }

    ~AgentProcess() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    pid_t pid() const { return pid_; }
    Clock::time_point launchedAt() const { return launchedAt_; }

    bool running() {
        if (ended_)
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            ended_ = true;
            status_ = status;
        }
        return !ended_;
    }

    // What ended the process, for a report.
    std::string ending() const {
        if (WIFEXITED(status_))
            return "exited with status " + std::to_string(WEXITSTATUS(status_));
        if (WIFSIGNALED(status_))
            return "killed by signal " + std::to_string(WTERMSIG(status_)) + " (" + strsignal(WTERMSIG(status_)) + ")";
        return "ended";
    }

    // SIGTERM, as a service manager stops it; true when it stopped cleanly within `limit`.
    bool stop(Clock::duration limit, double& tookMs) {
        const auto asked = Clock::now();
        if (!running())
            return false;
        ::kill(pid_, SIGTERM);
        while (running() && Clock::now() - asked < limit)
            std::this_thread::sleep_for(10ms);
        tookMs = milliseconds(Clock::now() - asked);
        if (running())
            return false;
        return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    }

    // User plus system time of every thread, those that ended included, in seconds.
    double cpuSeconds() const {
        clockid_t clock{};
        timespec used{};
        if (::clock_getcpuclockid(pid_, &clock) != 0 || ::clock_gettime(clock, &used) != 0)
            return 0;
        return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
    }

    Memory memory() const {
        const auto status = readFile(proc() / "status");
        const auto rollup = readFile(proc() / "smaps_rollup");
        return {statusField(status, "VmRSS"),
                statusField(status, "VmHWM"),
                statusField(status, "RssAnon"),
                statusField(status, "RssFile"),
                statusField(rollup, "Pss"),
                statusField(rollup, "Private_Clean") + statusField(rollup, "Private_Dirty")};
    }

    // The resident kilobytes of each mapped file, largest first.
    std::vector<std::pair<long, std::string>> residentFiles() const {
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
                byFile[file] += statusField(line, "Rss");
            }
        }
        std::vector<std::pair<long, std::string>> files;
        for (const auto& [path, kib] : byFile)
            files.emplace_back(kib, std::filesystem::path(path).filename().string());
        std::sort(files.rbegin(), files.rend());
        return files;
    }

    // Voluntary plus involuntary context switches of every thread since the first call: each
    // wake-up from a wait is one. Threads that come later count from zero, and threads that went
    // keep what they had.
    long switches() {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(proc() / "task", error)) {
            const auto status = readFile(task.path() / "status");
            const long voluntary = statusField(status, "voluntary_ctxt_switches");
            const long involuntary = statusField(status, "nonvoluntary_ctxt_switches");
            if (voluntary < 0 || involuntary < 0)
                continue;
            const pid_t tid = std::stoi(task.path().filename().string());
            auto [entry, added] = threads_.try_emplace(tid);
            if (added) {
                auto name = readFile(task.path() / "comm");
                while (!name.empty() && name.back() == '\n')
                    name.pop_back();
                entry->second.name = name;
                entry->second.first = switchesCounted_ ? 0 : voluntary + involuntary;
            }
            entry->second.last = voluntary + involuntary;
        }
        switchesCounted_ = true;
        long total = 0;
        for (const auto& [tid, thread] : threads_)
            total += thread.last - thread.first;
        return total;
    }
    // Restarts the count.
    void resetSwitches() {
        threads_.clear();
        switchesCounted_ = false;
        switches();
    }
    const std::map<pid_t, ThreadSwitches>& threads() const { return threads_; }

private:
    std::filesystem::path proc() const { return "/proc/" + std::to_string(pid_); }

    pid_t pid_ = 0;
    Clock::time_point launchedAt_;
    bool ended_ = false;
    int status_ = 0;
    std::map<pid_t, ThreadSwitches> threads_;
    bool switchesCounted_ = false;
};

// Waits on the bench in short slices, so that an agent that died ends the wait at once.
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

struct Latencies {
    std::vector<double> printed; // ms
    std::vector<double> reported;
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

int run(const Options& options) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    char folder[] = "/tmp/varnel-agent-benchmark-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path home = folder;
    std::filesystem::create_directories(home / "data");

    int status = 0;
    try {
        TestBench bench;
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
        std::printf("agent process: libcurl HTTPS and the channel over wss with the bench's authority, raw TCP "
                    "printing, the AgentLogger writing to a file, CUPS_SERVER where nothing listens; intervals "
                    "60/15/60/300/45 s, keepalive check 30 s\n\n");

        std::size_t serial = 0;
        std::map<std::int64_t, std::string> floorPayloads, drainPayloads, pushedPayloads;

        // 5, first: no agent is connected yet, so the floor's jobs are announced to nobody.
        long floorConnections = 0;
        const auto floor = measureFloor(bench, floorPrinter, options.jobs, serial, floorPayloads, floorConnections);

        // 2: the pending jobs wait for the agent, which drains them once its channel is up.
        for (std::size_t i = 0; i < options.drain; ++i) {
            const auto payload = labelFor(serial++);
            const auto id = bench.management().createJob(
                BenchJob{.printerKey = agentPrinter.key(), .payload = payload, .delivery = JobDelivery::pending});
            drainPayloads.emplace(id, payload);
        }
        AgentProcess agent(bench, home);
        if (!waitWhileAlive(&agent, 60s, [&](std::chrono::milliseconds slice) {
                return bench.management().waitFor([](const auto& s) { return s.pendingFetches > 0; }, slice);
            }))
            throw Broken{"the agent never asked for its pending jobs"};
        const double cpuAtDrain = agent.cpuSeconds();
        const std::size_t settled = floorPayloads.size() + drainPayloads.size();
        const auto drainLimit = 60s + std::chrono::milliseconds(100 * options.drain);
        if (!waitWhileAlive(&agent, drainLimit, [&](std::chrono::milliseconds slice) {
                return bench.management().waitFor([&](const auto& s) { return s.results.size() >= settled; },
                                                  slice);
            }))
            throw Broken{"the pending jobs were not all reported"};
        const double cpuAfterDrain = agent.cpuSeconds();
        Clock::time_point drainStart{}, drainEnd{};
        {
            const auto snapshot = bench.management().snapshot();
            for (const auto& request : snapshot.requests) {
                if (request.operation == ManagementOperation::pendingJobs && drainStart == Clock::time_point{})
                    drainStart = request.at;
                if (request.operation == ManagementOperation::result && request.at > drainEnd)
                    drainEnd = request.at;
            }
        }
        // The pushed jobs come later: now the printer holds the drained ones only.
        if (const auto problems = audit(drainPayloads, agentPrinter, bench.management().snapshot(), "drain");
            !problems.empty())
            throw Broken{problems.front()};

        // 1: one job at a time, the next once the previous one's result is in.
        Latencies pushed;
        std::size_t from = 0;
        peek(agentPrinter, [&](const RawTestPrinter::Snapshot& s) { from = s.connections.size(); });
        const double cpuBeforePushes = agent.cpuSeconds();
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
        }
        const double cpuAfterPushes = agent.cpuSeconds();

        // 4: nothing to do for a while, at the production intervals.
        std::this_thread::sleep_for(1s);
        const auto memoryAtIdle = agent.memory();
        const double cpuBeforeIdle = agent.cpuSeconds();
        agent.resetSwitches();
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
            const long switches = agent.switches();
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
        const long idleSwitches = agent.switches();
        const double cpuAfterIdle = agent.cpuSeconds();
        const auto memoryAfterIdle = agent.memory();
        const auto residentFiles = agent.residentFiles();
        const auto idleActivity = activityOf(bench, agentPrinter).minus(activityBefore);

        // Nothing printed or reported twice meanwhile, and nothing lost.
        const auto finalServer = bench.management().snapshot();
        std::vector<std::string> problems = audit(floorPayloads, floorPrinter, finalServer, "floor");
        std::map<std::int64_t, std::string> agentPayloads = drainPayloads;
        agentPayloads.insert(pushedPayloads.begin(), pushedPayloads.end());
        for (auto& problem : audit(agentPayloads, agentPrinter, finalServer, "agent"))
            problems.push_back(std::move(problem));

        double stopMs = 0;
        const bool stoppedCleanly = agent.stop(15s, stopMs);

        // MARK: figures
        const auto agentPrinted = Spread::of(pushed.printed);
        const auto agentReported = Spread::of(pushed.reported);
        const auto floorPrinted = Spread::of(floor.printed);
        const auto floorReported = Spread::of(floor.reported);
        std::printf("1. push-to-printed, %zu jobs: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", options.jobs,
                    agentPrinted.p50, agentPrinted.p99, agentPrinted.max);
        std::printf("   target p50 <= %.0f ms: %s; target p99 <= %.0f ms: %s\n", p50Target,
                    verdict(agentPrinted.p50 <= p50Target), p99Target, verdict(agentPrinted.p99 <= p99Target));
        std::printf("   push-to-reported: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", agentReported.p50,
                    agentReported.p99, agentReported.max);
        std::printf("   (from just before the bench announces the job to the printer's end of the job connection, "
                    "and to the result's arrival at the server)\n");
        if (agentPrinted.p50 > p50Target || agentPrinted.p99 > p99Target) {
            std::printf("   bounded by: a push is the channel frame, the job fetch (1 HTTPS round trip), the probe "
                        "(a TCP connect) and the write (a connect); the floor's same steps take p50 %.2f ms, p99 "
                        "%.2f ms\n",
                        floorPrinted.p50, floorPrinted.p99);
        }

        const double drainSeconds = Seconds(drainEnd - drainStart).count();
        const double drainTarget = drainTargetPerJob * double(options.drain) / 1000.0;
        std::printf("\n2. %zu pending jobs drained: %.3f s from the pending-list request to the last result "
                    "(%.3f s from the agent's launch); each printed once\n",
                    options.drain, drainSeconds, Seconds(drainEnd - agent.launchedAt()).count());
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
                    1000.0 * (cpuAfterPushes - cpuBeforePushes) / double(options.jobs),
                    1000.0 * (cpuAfterDrain - cpuAtDrain) / double(options.drain), 1000.0 * cpuAtDrain);

        const double perMinute = 60.0 / idleSeconds;
        std::printf("\n4. idle, connected, %.0f s:\n", idleSeconds);
        std::printf("   RSS %.1f MiB at the start, %.1f MiB at the end (anonymous %.1f MiB, file-mapped %.1f MiB); "
                    "peak over the whole run %.1f MiB\n",
                    mib(memoryAtIdle.rssKiB), mib(memoryAfterIdle.rssKiB), mib(memoryAfterIdle.anonKiB),
                    mib(memoryAfterIdle.fileKiB), mib(memoryAfterIdle.peakKiB));
        std::printf("   PSS %.1f MiB, private %.1f MiB\n", mib(memoryAfterIdle.pssKiB),
                    mib(memoryAfterIdle.privateKiB));
        const bool rssMet = mib(memoryAfterIdle.rssKiB) <= rssTargetMiB;
        std::printf("   target idle RSS <= %.0f MiB: %s\n", rssTargetMiB, verdict(rssMet));
        if (!rssMet) {
            std::printf("   bounded by: %.1f MiB of it are pages of the program and its shared libraries, mapped "
                        "from files and shared with every process that maps them; the largest:",
                        mib(memoryAfterIdle.fileKiB));
            const auto files = residentFiles;
            for (std::size_t i = 0; i < std::min<std::size_t>(files.size(), 6); ++i)
                std::printf("%s %s %.1f", i == 0 ? "" : ",", files[i].second.c_str(), mib(files[i].first));
            std::printf(" MiB\n");
        }
        std::printf("   CPU %.0f ms over the idle period\n", 1000.0 * (cpuAfterIdle - cpuBeforeIdle));
        std::printf("   wake-ups (voluntary + involuntary context switches, all threads): %ld, %.1f per minute\n",
                    idleSwitches, double(idleSwitches) * perMinute);
        // The agent names no thread: the main one runs the agent loop, the others are the blocking
        // pool, libcurl's worker and the log file's writer, in the order they were started.
        std::printf("   by thread (the agent loop first, then in order of start):");
        for (const auto& [tid, thread] : agent.threads())
            std::printf(" %ld", thread.last - thread.first);
        std::printf(" (%zu threads)\n", agent.threads().size());

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
        std::printf("   target no wake-ups beyond the specified intervals: %s\n", verdict(wakeupsMet));

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

        std::printf("\nagent stopped by SIGTERM in %.0f ms: %s\n", stopMs,
                    stoppedCleanly ? "cleanly" : agent.ending().c_str());
        if (!stoppedCleanly)
            problems.push_back("the agent did not stop cleanly: " + agent.ending());
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
    if (argc > 1 && std::string_view(argv[1]) == "agent")
        return varnel::testing::runAgent(argc, argv);
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
