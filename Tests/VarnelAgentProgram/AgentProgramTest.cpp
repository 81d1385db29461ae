// The shipped program against the test bench: enrolled, run, printing and stopped as an
// administrator or a service manager does it, each run in a data folder of its own.
#include "AgentProcess.hpp"
#include "Bench/TestBench.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Agent/TemporaryDataHome.hpp"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using testing::AgentProcess;
using testing::RawTestPrinter;
using testing::TestBench;
using Snapshot = testing::ManagementTestServer::Snapshot;
namespace fs = std::filesystem;

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

} // namespace
} // namespace varnel
