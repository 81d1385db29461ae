// The VarnelMenuBar program in a child process against the in-process bench: SIGTERM (a session's
// log-out) ends it within 2 s, reporting the shut-down when the server answers and in time when
// the server hangs, and reporting a label that the quit cut short. A start during that quit runs
// in the quitting copy's place, and names that another user took first in the shared temporary
// folder keep no start from running.
#include "Bench/JobResult.hpp"
#include "Bench/TestBench.hpp"
#include "TraySupport.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Platform/PrivateFolder.hpp"
#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelMenuBar/QuitBudget.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"
#include "VarnelKit/Agent/InstanceLock.hpp"

#include <QLockFile>
#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

std::size_t starts(const Snapshot& snapshot) {
    const auto kinds = snapshot.eventKinds();
    return static_cast<std::size_t>(std::count(kinds.begin(), kinds.end(), "agent_started"));
}

// Another start of the program, as a person or a script starts it.
pid_t spawnProgram() {
    char program[] = VARNEL_MENUBAR_PROGRAM;
    char* arguments[] = {program, nullptr};
    pid_t child = -1;
    return ::posix_spawn(&child, program, nullptr, nullptr, arguments, environ) == 0 ? child : -1;
}

class TrayProgramTest : public ::testing::Test {
protected:
    void TearDown() override {
        others.push_back(pid);
        for (const pid_t child : others) {
            // Those already reaped are gone: waitpid says so.
            if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == 0) {
                ::kill(child, SIGKILL);
                ::waitpid(child, nullptr, 0);
            }
        }
        bench.management().clearFaults();
        bench.management().releaseStalled();
        bench.pusher().setSilent(false);
    }

    // Started enrolled, with its channel up and its start-up report sent.
    void startProgram() {
        bench.agentSettings().save();
        CredentialStore::deviceToken().save(bench.token());
        pid = spawnProgram();
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 1; }, 20s));
        ASSERT_TRUE(bench.management().waitFor(
            [](const Snapshot& s) { return contains(s.eventKinds(), "agent_started"); }, 10s));
    }

    // A start while a copy runs: it hands over to that copy and ends with status 0, and no second
    // agent starts.
    void expectAStartOnlyHandsOver(std::chrono::milliseconds limit) {
        const pid_t start = spawnProgram();
        ASSERT_GT(start, 0);
        others.push_back(start);
        const auto ended = endOf(start, limit);
        ASSERT_TRUE(ended) << "a start while the copy runs did not end";
        ASSERT_TRUE(WIFEXITED(*ended));
        EXPECT_EQ(WEXITSTATUS(*ended), 0);
        EXPECT_EQ(starts(bench.management().snapshot()), 1u);
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
    // Further starts of the program; any still running at the end is ended.
    std::vector<pid_t> others;
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

// A script's restart: SIGTERM, then a new start 200 ms later, while the old copy is still in its
// quit (its shut-down report held by a slow server) and no longer answers. The new start waits for
// the lock and runs; a start while the copy runs still only hands over.
TEST_F(TrayProgramTest, AStartDuringTheQuitOfTheRunningCopyRunsInItsPlace) {
    startProgram();
    const auto lockFile = InstanceLock::defaultFile();

    expectAStartOnlyHandsOver(5s);

    bench.management().stallNext(Operation::events);
    const pid_t quitting = std::exchange(pid, -1);
    others.push_back(quitting);
    const auto signalled = std::chrono::steady_clock::now();
    ::kill(quitting, SIGTERM);
    std::this_thread::sleep_for(200ms);
    pid = spawnProgram();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return s.stalled > 0; }, 5s))
        << "the quit sent no shut-down report";
    const auto quit = endOf(quitting, 10s);
    ASSERT_TRUE(quit) << "the copy told to quit still runs";
    std::cout << "the quitting copy ended "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled)
                     .count()
              << " ms after SIGTERM\n";
    ASSERT_TRUE(WIFEXITED(*quit));
    EXPECT_EQ(WEXITSTATUS(*quit), 0);
    bench.management().releaseStalled();

    // The new start runs: its agent reports its start and holds the channel.
    ASSERT_TRUE(bench.management().waitFor([](const Snapshot& s) { return starts(s) == 2; }, 15s))
        << "nothing runs after the quit";
    EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 1; }, 10s));
    EXPECT_FALSE(endOf(pid, 0ms)) << "the new start ended";
    EXPECT_FALSE(InstanceLock(lockFile).acquire(0ms));
    EXPECT_TRUE(SingleInstance::handOver(lockFile, 5s));
}

// A start from su, cron, a remote session or a launcher that clears the environment, while the
// desktop's copy runs: the same user, home and data folder, hence the same credential, but other
// XDG_RUNTIME_DIR and TMPDIR. Each finds the running copy, hands over to it and ends; no second
// agent starts.
TEST_F(TrayProgramTest, AStartWithAnotherRuntimeOrTemporaryFolderHandsOverToTheRunningCopy) {
    const auto runtime = folders.path() / "other-runtime";
    const auto temporary = folders.path() / "tmp";
    const auto otherTemporary = folders.path() / "other-tmp";
    for (const auto& folder : {runtime, temporary, otherTemporary}) {
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    }
    // The running copy has no runtime folder, so it would choose the temporary folder.
    ::varnel::testing::ScopedEnvironment noRuntime{"XDG_RUNTIME_DIR"};
    ::varnel::testing::ScopedEnvironment temporaryFolder{"TMPDIR", temporary.string()};
    startProgram();
    const std::vector<std::vector<std::pair<const char*, std::string>>> environments{
        {{"TMPDIR", otherTemporary.string()}},
        {{"XDG_RUNTIME_DIR", runtime.string()}},
    };
    for (const auto& environment : environments) {
        std::vector<std::unique_ptr<::varnel::testing::ScopedEnvironment>> set;
        for (const auto& [name, value] : environment)
            set.push_back(std::make_unique<::varnel::testing::ScopedEnvironment>(name, value));
        expectAStartOnlyHandsOver(5s);
        // What such a start does first: it finds the running copy's lock and its socket.
        EXPECT_FALSE(InstanceLock(InstanceLock::defaultFile()).acquire(0ms)) << environment[0].first;
        auto answered = std::async(std::launch::async, [] {
            return SingleInstance::handOver(InstanceLock::defaultFile(), 5s);
        });
        EXPECT_TRUE(answered.get()) << "no answer with another " << environment[0].first;
    }
    EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 1; }, 5s));
}

// Without a runtime folder, the temporary folder, which every user shares, is where the release
// before kept its lock, and where a relaunch still answers it. Another user who took every name
// there first neither turns the program away nor answers it.
TEST_F(TrayProgramTest, NamesAnotherUserTookFirstInTheTemporaryFolderKeepNoStartFromRunning) {
    const auto shared = folders.path() / "shared";
    std::filesystem::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ::varnel::testing::ScopedEnvironment temporary{"TMPDIR", shared.string()};
    ::varnel::testing::ScopedEnvironment noRuntime{"XDG_RUNTIME_DIR"};

    // What the other user left: a folder, a lock that a live process holds and a socket that
    // takes calls, under each name this user's programs could look for.
    const auto owned = [](const std::filesystem::path& path) {
        // As root the test hands them to another user; otherwise a folder anyone may write in is
        // just as much not this user's own.
        return ::geteuid() == 0 ? ::lchown(path.c_str(), 4242, 4242) == 0 : ::chmod(path.c_str(), 0777) == 0;
    };
    const std::string user = "varnel-menubar-" + std::to_string(::getuid());
    const auto takenFolder = shared / user;
    std::filesystem::create_directory(takenFolder);
    ASSERT_EQ(::chmod(takenFolder.c_str(), 0755), 0);
    std::vector<std::unique_ptr<QLockFile>> takenLocks;
    std::vector<std::unique_ptr<Descriptor>> takenSockets;
    for (const auto& lock : {shared / (user + ".lock"), takenFolder / "varnel-menubar.lock"}) {
        takenLocks.push_back(std::make_unique<QLockFile>(QString::fromStdString(lock.string())));
        ASSERT_TRUE(takenLocks.back()->tryLock(0));
        auto socket = lock;
        socket.replace_extension(".socket");
        auto listening =
            std::make_unique<Descriptor>(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(listening->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listening->get(), 8), 0);
        takenSockets.push_back(std::move(listening));
        if (::geteuid() == 0) {
            ASSERT_TRUE(owned(lock));
            ASSERT_TRUE(owned(socket));
        }
    }
    ASSERT_TRUE(owned(takenFolder));

    startProgram();
    const auto lockFile = InstanceLock::defaultFile();
    EXPECT_NE(lockFile.parent_path(), takenFolder);
    EXPECT_NE(lockFile.parent_path(), shared);
    EXPECT_TRUE(PrivateFolder::isPrivate(lockFile.parent_path())) << lockFile;
    EXPECT_FALSE(InstanceLock(lockFile).acquire(0ms)) << "the program holds no lock at " << lockFile;
    EXPECT_TRUE(SingleInstance::handOver(lockFile, 5s));

    // A later start finds it there, hands over and ends; no second agent runs.
    expectAStartOnlyHandsOver(10s);

    // Nothing of the other user's was used: no call reached their sockets.
    for (const auto& socket : takenSockets) {
        EXPECT_LT(::accept4(socket->get(), nullptr, nullptr, SOCK_CLOEXEC), 0);
        EXPECT_EQ(errno, EAGAIN);
    }
}

} // namespace
} // namespace varnel::tray
