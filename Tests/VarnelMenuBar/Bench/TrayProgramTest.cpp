// The VarnelMenuBar program in a child process against the in-process bench: SIGTERM (a session's
// log-out) ends it within 2 s, reporting the shut-down when the server answers and in time when
// the server hangs, and reporting a label that the quit cut short.
#include "Bench/JobResult.hpp"
#include "Bench/TestBench.hpp"
#include "TraySupport.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelMenuBar/QuitBudget.hpp"

#include <chrono>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace varnel::tray {
namespace {

using namespace std::chrono_literals;
using Operation = testing::ManagementOperation;
using testing::RawTestPrinter;
using Snapshot = testing::ManagementTestServer::Snapshot;
using testing::TestBench;

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

class TrayProgramTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        bench.management().clearFaults();
        bench.management().releaseStalled();
        bench.pusher().setSilent(false);
    }

    // Started enrolled, with its channel up and its start-up report sent.
    void startProgram() {
        bench.agentSettings().save();
        CredentialStore::deviceToken().save(bench.token());
        char program[] = VARNEL_MENUBAR_PROGRAM;
        char* arguments[] = {program, nullptr};
        ASSERT_EQ(::posix_spawn(&pid, program, nullptr, nullptr, arguments, environ), 0);
        ASSERT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 1; }, 20s));
        ASSERT_TRUE(bench.management().waitFor(
            [](const Snapshot& s) { return contains(s.eventKinds(), "agent_started"); }, 10s));
    }

    // SIGTERM, then the time until the process has ended; its exit status in `status`.
    std::chrono::milliseconds terminate(int& status) {
        const auto started = std::chrono::steady_clock::now();
        auto ended = std::async(std::launch::async, [this] {
            int result = 0;
            ::waitpid(pid, &result, 0);
            return result;
        });
        ::kill(pid, SIGTERM);
        if (ended.wait_for(10s) != std::future_status::ready) {
            ::kill(pid, SIGKILL);
            ended.wait();
            pid = -1;
            return 10s;
        }
        status = ended.get();
        pid = -1;
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     started);
    }

    TestFolders folders;
    ::varnel::testing::ScopedEnvironment authority{"SSL_CERT_FILE", TestBench::caFile().string()};
    TestBench bench;
    pid_t pid = -1;
};

TEST_F(TrayProgramTest, SigtermReportsTheShutDownAndEndsTheProgram) {
    startProgram();
    int status = -1;
    const auto took = terminate(status);
    std::cout << "program quit with the server up: " << took.count() << " ms\n";
    EXPECT_LT(took, 2s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(contains(bench.management().snapshot().eventKinds(), "agent_stopped"));
    EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 0; }, 10s));
}

TEST_F(TrayProgramTest, SigtermEndsTheProgramWithinTwoSecondsWhileTheServerHangs) {
    startProgram();
    const auto reportsBefore = bench.management().snapshot().requestCount(Operation::events);
    bench.management().stallNext(Operation::events, 100);
    bench.management().stallNext(Operation::heartbeat, 100);
    bench.pusher().setSilent(true);
    int status = -1;
    const auto took = terminate(status);
    std::cout << "program quit with the server stalled: " << took.count() << " ms\n";
    EXPECT_LT(took, 2s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The final report was sent and held; the program did not wait for it beyond its limit.
    EXPECT_EQ(bench.management().snapshot().requestCount(Operation::events), reportsBefore + 1);
}

// The quit's worst case: a label that uses the whole write grace because the printer stopped
// reading, then its report, which the server answers only late in the report's limit. The label
// is cut and reported failed with what the printer took, and the program is gone within 2 s.
TEST_F(TrayProgramTest, AQuitDuringAStalledWriteReportsTheCutLabelAndEndsWithinTwoSeconds) {
    auto& printer = bench.addPrinter(RawTestPrinter::Mode::stall, 4096);
    startProgram();
    const auto payload = testing::labelsOfAtLeast(4 * 1024 * 1024);
    bench.management().stallNext(Operation::result);
    const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = payload});
    ASSERT_TRUE(printer.waitForTheFirstJobToStall(20s));

    // The server holds the report, then answers it with a quarter of a second of its limit left.
    const auto lateAnswer = QuitBudget::reportLimit - 250ms;
    auto answered = std::async(std::launch::async, [this, lateAnswer] {
        if (!bench.management().waitFor([](const Snapshot& s) { return s.stalled > 0; }, 10s))
            return false;
        const auto requests = bench.management().snapshot().requests;
        const auto report = std::find_if(requests.rbegin(), requests.rend(),
                                         [](const auto& r) { return r.operation == Operation::result; });
        std::this_thread::sleep_until(report->at + lateAnswer);
        bench.management().releaseStalled();
        return true;
    });
    int status = -1;
    const auto took = terminate(status);
    ASSERT_TRUE(answered.get()) << "no report came";
    std::cout << "program quit during a stalled write with a late report: " << took.count() << " ms\n";
    EXPECT_LT(took, QuitBudget::total);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const auto snapshot = bench.management().snapshot();
    ASSERT_EQ(snapshot.resultCount(jobId), 1u)
        << "the report was cut by the quit: the next start prints it again";
    const auto& result = *snapshot.lastResult(jobId);
    EXPECT_EQ(result["state"], "failed") << result.dump();
    const auto taken = testing::bytesTaken(result);
    ASSERT_TRUE(taken) << result.dump();
    EXPECT_GE(taken->first, 4096u);
    EXPECT_EQ(taken->second, payload.size() + 1);
    EXPECT_TRUE(bench.management().pendingJobIds().empty());
}

} // namespace
} // namespace varnel::tray
