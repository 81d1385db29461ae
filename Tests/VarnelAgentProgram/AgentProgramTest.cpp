// The shipped program against the test bench: enrolled, run, printing and stopped as an
// administrator or a service manager does it, each run in a data folder of its own.
#include "AgentProcess/AgentProcess.hpp"
#include "TemporaryDirectory.hpp"
#include "Bench/JobResult.hpp"
#include "Bench/TestBench.hpp"
#include "VarnelAgent/QuitBudget.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Agent/TemporaryDataHome.hpp"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using CLI::QuitBudget;
using testing::AgentProcess;
using testing::ManagementOperation;
using testing::RawTestPrinter;
using testing::TestBench;
using Snapshot = testing::ManagementTestServer::Snapshot;
namespace fs = std::filesystem;

const std::string running = "Agent running. Press Ctrl-C to stop.";

std::string label(const std::string& text) {
    return "^XA^FO20,20^A0N,30,30^FD" + text + "^FS^XZ";
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

TestBench::Options benchOptions() {
    TestBench::Options options;
    options.management.enrollmentCode = "VRNL-2345-6789";
    return options;
}

class AgentProgramTest : public ::testing::Test {
protected:
    // What enrollment leaves behind, written directly.
    void enrollInPlace() const {
        bench.agentSettings().save();
        CredentialStore::deviceToken().save(bench.token());
    }

    std::unique_ptr<AgentProcess> startRun(AgentProcess::Options options = {}) {
        return std::make_unique<AgentProcess>(std::vector<std::string>{testing::agentProgram(), "run"},
                                              options);
    }

    // The program running, in the middle of writing about 4 MiB of labels to a printer that has
    // stopped reading after its first 4 KiB.
    struct StalledWrite {
        RawTestPrinter* printer = nullptr;
        std::unique_ptr<AgentProcess> agent;
        std::string payload;
        std::int64_t jobId = 0;
    };
    void runUntilAWriteStalls(StalledWrite& write) {
        enrollInPlace();
        write.printer = &bench.addPrinter(RawTestPrinter::Mode::stall, 4096);
        write.agent = startRun();
        ASSERT_TRUE(write.agent->waitForLine(running, 20s)) << write.agent->output() << write.agent->errors();
        ASSERT_TRUE(subscribed(10s));
        write.payload = testing::labelsOfAtLeast(4 * 1024 * 1024);
        write.jobId = bench.management().createJob({.printerKey = write.printer->key(), .payload = write.payload});
        ASSERT_TRUE(write.printer->waitForTheFirstJobToStall(10s));
    }

    // Running with its channel subscribed, so a pushed job reaches it.
    bool subscribed(std::chrono::milliseconds limit) {
        return bench.pusher().waitFor(
            [](const auto& s) {
                for (const auto& subscription : s.subscriptions) {
                    if (subscription.accepted)
                        return true;
                }
                return false;
            },
            limit);
    }

    std::string logText() const {
        std::ifstream stream(home.varnel() / "Logs" / "varnel.log");
        std::stringstream text;
        text << stream.rdbuf();
        return text.str();
    }

    // The events the server received, as "kind: message".
    std::vector<std::string> events() {
        std::vector<std::string> list;
        for (const auto& event : bench.management().snapshot().events)
            list.push_back(event.value("kind", "") + ": " + event.value("message", ""));
        return list;
    }

    bool eventArrived(const std::string& kind, std::chrono::milliseconds limit) {
        return bench.management().waitFor(
            [&kind](const Snapshot& s) {
                for (const auto& event : s.events) {
                    if (event.value("kind", "") == kind)
                        return true;
                }
                return false;
            },
            limit);
    }

    // The job was printed exactly once with these bytes and reported once as printed.
    void expectPrintedOnce(std::int64_t jobId, const RawTestPrinter& printer, const std::string& bytes) {
        ASSERT_TRUE(
            bench.management().waitFor([jobId](const Snapshot& s) { return s.resultCount(jobId) > 0; }, 20s))
            << logText();
        const auto result = bench.management().snapshot().results.at(jobId).front();
        EXPECT_EQ(result["state"], "printed") << result.dump();
        EXPECT_EQ(result.value("bytes_written", std::int64_t{-1}), static_cast<std::int64_t>(bytes.size()));
        ASSERT_TRUE(printer.waitFor(
            [&bytes](const RawTestPrinter::Snapshot& s) {
                for (const auto& connection : s.connections) {
                    if (connection.bytes == bytes && !connection.open)
                        return true;
                }
                return false;
            },
            10s));
        std::size_t copies = 0;
        for (const auto& job : printer.snapshot().jobs())
            copies += job.bytes == bytes ? 1 : 0;
        EXPECT_EQ(copies, 1u);
        EXPECT_EQ(printer.snapshot().jobs().size(), 1u);
        EXPECT_EQ(bench.management().snapshot().resultCount(jobId), 1u);
    }

    testing::TemporaryDataHome home;
    ::varnel::testing::ScopedEnvironment authority{"SSL_CERT_FILE", TestBench::caFile().string()};
    // No print scheduler: the agent finds no queues, whatever this machine has.
    ::varnel::testing::ScopedEnvironment scheduler{"CUPS_SERVER", "/nonexistent/varnel-tests/cups.sock"};
    TestBench bench{benchOptions()};
};

TEST_F(AgentProgramTest, EnrollThenStatusShowWhatTheServerGave) {
    AgentProcess enroll({testing::agentProgram(), "enroll", "--server", bench.management().baseUrl(),
                         "--code", "vrnl 2345 6789"});
    ASSERT_EQ(enroll.waitForExit(30s), 0) << enroll.errors();
    EXPECT_EQ(enroll.output(), "Enrolled as \"Bench Device\" (device 1).\n"
                               "Token stored in the Keychain. Start the agent with: varnel-agent run\n");
    EXPECT_EQ(enroll.errors(), "");
    const auto enrollments = bench.management().snapshot().enrollments;
    ASSERT_EQ(enrollments.size(), 1u);
    EXPECT_EQ(enrollments[0]["enrollment_code"], "VRNL-2345-6789");

    AgentProcess status({testing::agentProgram(), "status"});
    ASSERT_EQ(status.waitForExit(10s), 0);
    const std::string port = std::to_string(bench.pusher().wssPort());
    EXPECT_EQ(status.output().substr(0, status.output().find("Machine:")),
              "Device:   Bench Device (id 1)\n"
              "Server:   " +
                  bench.management().baseUrl() +
                  "\n"
                  "Reverb:   wss://127.0.0.1:" +
                  port +
                  "\n"
                  "Token:    present in Keychain\n");
    // status asks the server nothing.
    EXPECT_EQ(bench.management().snapshot().requests.size(), 1u);
}

TEST_F(AgentProgramTest, RunPrintsAPushedJobOnceAndShowsEachStatusOnce) {
    enrollInPlace();
    auto& printer = bench.addPrinter();
    auto agent = startRun();
    ASSERT_TRUE(agent->waitForLine(running, 20s)) << agent->output() << agent->errors();
    ASSERT_TRUE(agent->waitForLine("[status] connected", 20s)) << agent->output();
    ASSERT_TRUE(subscribed(10s));

    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = label("Hello")});
    expectPrintedOnce(jobId, printer, label("Hello") + "\n");
    const std::string printed = "Job " + std::to_string(jobId) + ": printed";
    EXPECT_TRUE(agent->waitForOutput(
        [&](const std::string& text) { return text.find(printed) != std::string::npos; }, 5s));

    agent->signal(SIGINT);
    ASSERT_EQ(agent->waitForExit(10s), 0);
    EXPECT_EQ(occurrences(agent->output(), "[status] "), 1u) << agent->output();
    EXPECT_EQ(occurrences(agent->output(), running + "\n"), 1u);
    EXPECT_EQ(agent->errors(), "");
}

// A terminal's Ctrl-C and a service manager's stop end the agent the same way: the shut-down
// reaches the server, the last log line reaches the file, and the exit status is 0.
TEST_F(AgentProgramTest, InterruptAndTerminateBothStopInOrder) {
    for (const int signal : {SIGINT, SIGTERM}) {
        testing::TemporaryDataHome runHome;
        enrollInPlace();
        const auto eventsBefore = events().size();
        auto agent = startRun();
        ASSERT_TRUE(agent->waitForLine(running, 20s)) << agent->output() << agent->errors();
        agent->signal(signal);
        ASSERT_EQ(agent->waitForExit(10s), 0) << signal;

        // The channel's own events depend on whether it connected before the signal and on
        // whether its loss on stop came before the reporter's last flush; the program's two do not.
        const auto all = events();
        std::vector<std::string> mine;
        for (auto event = all.begin() + static_cast<std::ptrdiff_t>(eventsBefore); event != all.end(); ++event) {
            if (event->rfind("connection_", 0) != 0)
                mine.push_back(*event);
        }
        EXPECT_EQ(mine, (std::vector<std::string>{"agent_started: Varnel 1.0.4 started on Bench Device.",
                                                  "agent_stopped: Varnel shut down."}))
            << signal;
        const auto started = bench.management().snapshot().events.at(eventsBefore);
        EXPECT_EQ(started["context"], nlohmann::json({{"agent_version", "1.0.4"}}));

        std::ifstream stream(runHome.varnel() / "Logs" / "varnel.log");
        std::stringstream log;
        log << stream.rdbuf();
        EXPECT_NE(log.str().find("Varnel agent stopping"), std::string::npos) << signal << "\n" << log.str();
    }
}

TEST_F(AgentProgramTest, AStopWhileAJobIsWrittenLetsItFinishAndReportsItOnce) {
    StalledWrite write;
    ASSERT_NO_FATAL_FAILURE(runUntilAWriteStalls(write));
    auto& agent = write.agent;
    auto& printer = *write.printer;

    agent->signal(SIGINT);
    // The shut-down event leaves before the agent is stopped; the write is then under way.
    ASSERT_TRUE(eventArrived("agent_stopped", 5s)) << agent->output();
    printer.resume();
    ASSERT_EQ(agent->waitForExit(10s), 0) << agent->output();
    expectPrintedOnce(write.jobId, printer, write.payload + "\n");
}

// Standard output is a full pipe that nobody reads for 20 s: the agent still prints and reports a
// job pushed meanwhile, its log file still gets every line, and it still stops in time.
TEST_F(AgentProgramTest, AnUnreadStandardOutputHoldsNothingUp) {
    enrollInPlace();
    auto& printer = bench.addPrinter();
    const auto start = std::chrono::steady_clock::now();
    auto agent = startRun({.readOutput = false, .fullOutput = true});
    ASSERT_TRUE(subscribed(20s)) << agent->errors();

    const auto jobId =
        bench.management().createJob({.printerKey = printer.key(), .payload = label("Unread")});
    expectPrintedOnce(jobId, printer, label("Unread") + "\n");
    const std::string printed = "Job " + std::to_string(jobId) + ": printed";
    // The log file's line is written right after the result; nothing else tells when.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (logText().find(printed) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(logText().find(printed), std::string::npos) << logText();

    std::this_thread::sleep_until(start + 20s);
    EXPECT_FALSE(agent->waitForExit(0ms)) << "the agent ended while its output was not read";
    agent->signal(SIGINT);
    ASSERT_EQ(agent->waitForExit(10s), 0);
    EXPECT_TRUE(eventArrived("agent_stopped", 1s));
}

// The worst case of a stop: the write under way uses its whole grace and is cut off, then the
// server holds the job's report. The report is given up at its limit and the log says so, and the
// process ends by itself within the time its stop promises.
TEST_F(AgentProgramTest, AStopThatUsesTheWholeGraceAndReportLimitStillEndsInTime) {
    StalledWrite write;
    ASSERT_NO_FATAL_FAILURE(runUntilAWriteStalls(write));
    auto& agent = write.agent;
    const auto jobId = write.jobId;
    bench.management().stallNext(ManagementOperation::result);

    const auto signalled = AgentProcess::Clock::now();
    agent->signal(SIGTERM);
    ASSERT_EQ(agent->waitForExit(QuitBudget::quitLimit + 5s), 0) << agent->output();
    const auto took = *agent->endedAt() - signalled;
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    std::cout << "quit with a write cut at its grace and a held report: " << tookMs << " ms\n";
    // The write had its grace; the agent's stop, not the program's deadline, ended the process.
    EXPECT_GE(took, QuitBudget::writeGrace);
    EXPECT_LT(took, QuitBudget::stepsLimit) << tookMs << " ms";

    const std::string id = std::to_string(jobId);
    EXPECT_NE(logText().find("Job " + id + ": the result could not be reported in time"), std::string::npos)
        << logText();
    // And what became of the label, though the server did not hear of it.
    EXPECT_TRUE(std::regex_search(logText(), std::regex("Job " + id + ": FAILED printer_error on .* the printer took ")))
        << logText();
    // The report that was held says the job failed and what the printer took of it.
    const auto snapshot = bench.management().snapshot();
    std::vector<std::string> reports;
    for (const auto& request : snapshot.requests) {
        if (request.operation == ManagementOperation::result)
            reports.push_back(request.body);
    }
    ASSERT_EQ(reports.size(), 1u);
    const auto report = nlohmann::json::parse(reports.front());
    EXPECT_EQ(report["state"], "failed") << report.dump();
    EXPECT_EQ(testing::errorCode(report), "printer_error") << report.dump();
    EXPECT_TRUE(testing::bytesTaken(report)) << report.dump();
    EXPECT_EQ(snapshot.resultCount(jobId), 0u);
    const auto jobs = write.printer->snapshot().jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_LT(jobs.front().bytes.size(), write.payload.size());
}

// The doctor's server check answered with an error page of megabytes that carries a terminal's
// controls (a new title, a cleared screen, a carriage return and a line feed to pass text off as
// the doctor's own, a C1 CSI): the report quotes the page cut on its one line, and no byte of the
// output but its line feeds is a control.
TEST_F(AgentProgramTest, DoctorQuotesAServersErrorPageCutAndWithoutItsControls) {
    enrollInPlace();
    const std::string page = "\x1B]0;owned\x07\x1B[2J\x1B[H\r  [ok] fake\n\xC2\x9B" "31m" +
                             std::string(2 * 1024 * 1024, 'x');
    bench.management().failNext(ManagementOperation::heartbeat, 500, 1, page);
    AgentProcess doctor({testing::agentProgram(), "doctor"});
    ASSERT_EQ(doctor.waitForExit(30s), 0) << doctor.errors();
    const std::string out = doctor.output();
    EXPECT_EQ(doctor.errors(), "");

    std::size_t controls = 0;
    for (const char c : out) {
        const auto byte = static_cast<unsigned char>(c);
        controls += (byte < 0x20 && c != '\n') || byte == 0x7F;
    }
    EXPECT_EQ(controls, 0u);
    EXPECT_LT(out.size(), 16u * 1024) << "bytes of doctor output";
    EXPECT_EQ(out.find("\n  [ok] fake"), std::string::npos) << out.substr(0, 400);

    const std::string fffd = "\xEF\xBF\xBD";
    const std::string quoted = "\n      HTTP 500: " + fffd + "]0;owned" + fffd + fffd + "[2J" + fffd + "[H" +
                               fffd + "  [ok] fake" + fffd + fffd + "31mxxx";
    const auto at = out.find(quoted);
    ASSERT_NE(at, std::string::npos) << out.substr(0, 400);
    const auto end = out.find('\n', at + 1);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(out.substr(0, end).ends_with("xxx\xE2\x80\xA6")) << out.substr(at, 80);
}

// An interrupt while a huge reply to the pending-jobs poll is being read ends the program within
// moments, in order: the reply neither holds up the loop nor takes the memory that would.
TEST_F(AgentProgramTest, AnInterruptDuringAHugeReplyEndsTheProgramInOrderAndAtOnce) {
    enrollInPlace();
    bench.management().failNext(ManagementOperation::pendingJobs, 200, 100,
                                R"({"jobs":)" + std::string(32u << 20, '['));
    auto agent = startRun();
    ASSERT_TRUE(agent->waitForLine(running, 20s)) << agent->output() << agent->errors();
    ASSERT_TRUE(bench.management().waitFor(
        [](const Snapshot& s) {
            for (const auto& request : s.requests) {
                if (request.operation == ManagementOperation::pendingJobs && request.written)
                    return true;
            }
            return false;
        },
        20s));
    // The interrupt comes while the reply is dealt with: once the agent loop has been away from its
    // wait for a while, or once the poll has already been given up.
    const auto wchan = "/proc/" + std::to_string(agent->pid()) + "/task/" + std::to_string(agent->pid()) + "/wchan";
    const auto givenUp = [&agent] { return agent->output().find("Could not fetch pending jobs") != std::string::npos; };
    auto waitingSince = std::chrono::steady_clock::now();
    for (const auto deadline = waitingSince + 20s; std::chrono::steady_clock::now() < deadline && !givenUp();) {
        std::ifstream file(wchan);
        std::string where;
        std::getline(file, where);
        const auto now = std::chrono::steady_clock::now();
        if (where == "do_epoll_wait")
            waitingSince = now;
        else if (now - waitingSince > 200ms)
            break;
        std::this_thread::sleep_for(1ms);
    }

    const auto signalled = AgentProcess::Clock::now();
    agent->signal(SIGINT);
    ASSERT_EQ(agent->waitForExit(QuitBudget::quitLimit + 5s), 0) << agent->output();
    const auto took = *agent->endedAt() - signalled;
    EXPECT_LT(took, 3s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_TRUE(eventArrived("agent_stopped", 1s));
}

// Started with standard input and output closed, the program opens /dev/null on them before
// anything else takes those numbers, so its echo writes into none of its own descriptors; and it
// works as usual.
TEST_F(AgentProgramTest, ClosedStandardDescriptorsAreNotTakenByAnythingElse) {
    enrollInPlace();
    auto& printer = bench.addPrinter();
    auto agent = startRun({.closedDescriptors = {STDIN_FILENO, STDOUT_FILENO}});
    ASSERT_TRUE(subscribed(20s)) << agent->errors();

    const auto descriptors = fs::path("/proc") / std::to_string(agent->pid()) / "fd";
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO}) {
        std::error_code error;
        const auto target = fs::read_symlink(descriptors / std::to_string(descriptor), error);
        EXPECT_EQ(target.string(), "/dev/null") << "descriptor " << descriptor << " " << error.message();
    }

    const auto jobId =
        bench.management().createJob({.printerKey = printer.key(), .payload = label("Closed")});
    expectPrintedOnce(jobId, printer, label("Closed") + "\n");
    agent->signal(SIGINT);
    ASSERT_EQ(agent->waitForExit(10s), 0);
    EXPECT_TRUE(eventArrived("agent_stopped", 1s));
    EXPECT_NE(logText().find("Job " + std::to_string(jobId) + ": printed"), std::string::npos) << logText();
    EXPECT_EQ(agent->errors(), "");
}

// One agent per data folder: a second `run` says so and ends at once with status 1, without an
// event or a log line of its own, and the first runs on alone.
TEST_F(AgentProgramTest, ASecondRunBesideTheFirstEndsAtOnce) {
    enrollInPlace();
    auto first = startRun();
    ASSERT_TRUE(first->waitForLine(running, 20s)) << first->output() << first->errors();
    auto second = startRun();
    ASSERT_EQ(second->waitForExit(10s), 1) << second->output();
    EXPECT_EQ(second->errors(), "Error: Varnel is already running: the tray application or another varnel-agent "
                                "run holds " +
                                    (home.varnel() / "Instance" / "varnel-menubar.lock").string() +
                                    ". Quit it first.\n");
    EXPECT_EQ(second->output(), "");
    EXPECT_TRUE(first->running());
    first->signal(SIGINT);
    ASSERT_EQ(first->waitForExit(10s), 0);
    const auto all = events();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string& e) { return e.rfind("agent_started", 0) == 0; }),
              1);
}

// The lock's folder removed while `run` is stopped, and a later `run` that makes the lock anew and
// takes it: the first, going on, finds the lock another's, stops its agent in order and ends with
// status 1, and the later one runs on as the one agent.
TEST_F(AgentProgramTest, ARunWhoseLockAnotherTookAfterItsFolderWasRemovedStops) {
    enrollInPlace();
    auto first = startRun();
    ASSERT_TRUE(first->waitForLine(running, 20s)) << first->output() << first->errors();
    ASSERT_EQ(::kill(first->pid(), SIGSTOP), 0);
    fs::remove_all(home.varnel() / "Instance");
    auto later = startRun();
    ASSERT_TRUE(later->waitForLine(running, 20s)) << later->output() << later->errors();
    ASSERT_EQ(::kill(first->pid(), SIGCONT), 0);
    ASSERT_EQ(first->waitForExit(10s), 1) << first->output();
    EXPECT_NE(first->output().find("Varnel stops its agent, so that no label prints twice: its lock " +
                                   (home.varnel() / "Instance" / "varnel-menubar.lock").string() +
                                   " was removed or replaced, and another copy of Varnel holds it now."),
              std::string::npos)
        << first->output();
    EXPECT_TRUE(eventArrived("agent_stopped", 5s));
    EXPECT_TRUE(later->running());
    later->signal(SIGINT);
    EXPECT_EQ(later->waitForExit(10s), 0);
}

// Root given the HOME of a user who has no ~/.local yet, as sudo keeps it: none of root's commands
// makes anything there (no folder, no log, no token), enroll says to run it as that user, and the
// user's own status and enrollment then work as if root had never been there.
TEST_F(AgentProgramTest, RootGivenAUsersFreshHomeMakesNothingThere) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's home needs root";
    constexpr uid_t user = 65534; // nobody
    TemporaryDirectory folder;
    fs::permissions(folder.path(), fs::perms(0755));
    const fs::path userHome = folder.path() / "home";
    fs::create_directory(userHome);
    ASSERT_EQ(::chown(userHome.c_str(), user, user), 0);
    // The authority's file where the user may read it.
    const fs::path authorityFile = folder.path() / "authority.pem";
    fs::copy_file(TestBench::caFile(), authorityFile);
    fs::permissions(authorityFile, fs::perms(0644));
    AgentProcess::Options options;
    options.environment = std::vector<std::string>{"HOME=" + userHome.string(), "PATH=/usr/bin:/bin",
                                                   "SSL_CERT_FILE=" + authorityFile.string(),
                                                   "CUPS_SERVER=/nonexistent/varnel-tests/cups.sock"};
    const std::vector<std::string> enrollment{"enroll", "--server", bench.management().baseUrl(), "--code",
                                              "VRNL-2345-6789"};
    const auto asRoot = [&](std::vector<std::string> words) {
        words.insert(words.begin(), testing::agentProgram());
        return std::make_unique<AgentProcess>(words, options);
    };
    const auto asUser = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     testing::agentProgram()});
        return std::make_unique<AgentProcess>(words, options);
    };

    const auto enroll = asRoot(enrollment);
    EXPECT_EQ(enroll->waitForExit(30s), 1) << enroll->output();
    EXPECT_EQ(enroll->errors(), "Error: Varnel will not make or change anything in " + userHome.string() +
                                    ": it belongs to nobody, not to root. Run it as nobody.\n");
    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{"status"}, {"logs"}, {"run"}, {"doctor"}, {"logout"}}) {
        const auto command = asRoot(words);
        EXPECT_TRUE(command->waitForExit(30s)) << words[0];
    }
    EXPECT_TRUE(fs::is_empty(userHome)) << "root made " << fs::directory_iterator(userHome)->path();

    const std::string notEnrolled = "Not enrolled. Run: varnel-agent enroll --server <url> --code <code>\n";
    const auto status = asUser({"status"});
    ASSERT_EQ(status->waitForExit(10s), 0) << status->errors();
    EXPECT_EQ(status->output(), notEnrolled);
    const auto enrolled = asUser(enrollment);
    ASSERT_EQ(enrolled->waitForExit(30s), 0) << enrolled->errors();
    EXPECT_EQ(enrolled->output(), "Enrolled as \"Bench Device\" (device 1).\n"
                                  "Token stored in the Keychain. Start the agent with: varnel-agent run\n");
    const auto after = asUser({"status"});
    ASSERT_EQ(after->waitForExit(10s), 0);
    EXPECT_NE(after->output().find("Token:    present in Keychain\n"), std::string::npos) << after->output();
}

} // namespace
} // namespace varnel
