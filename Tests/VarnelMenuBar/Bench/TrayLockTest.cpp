// One agent per data folder with the real programs: the tray application beside `varnel-agent run`
// in either order, against the in-process bench; a lock that cannot be taken, as opposed to one
// that another copy holds; and a start that inherits a blocked SIGRTMIN, whose wait for the lock
// still ends.
#include "AgentProcess/AgentProcess.hpp"
#include "Bench/TestBench.hpp"
#include "TraySupport.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Agent/InstanceLock.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"
#include "VarnelMenuBar/Takeover.hpp"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace varnel::tray {
namespace {

using namespace std::chrono_literals;
using Snapshot = testing::ManagementTestServer::Snapshot;
using testing::AgentProcess;
using testing::RawTestPrinter;
using testing::TestBench;
namespace fs = std::filesystem;

constexpr uid_t user = 65534; // nobody
const std::string running = "Agent running. Press Ctrl-C to stop.";

std::size_t starts(const Snapshot& snapshot) {
    const auto kinds = snapshot.eventKinds();
    return static_cast<std::size_t>(std::count(kinds.begin(), kinds.end(), "agent_started"));
}

// A start of the tray program as a script makes it, its standard error kept in a pipe: as another
// user (through setpriv) or with SIGRTMIN blocked, as a parent may leave the mask (it survives
// exec). A start still running at the end is killed.
class Start {
public:
    struct Options {
        std::optional<uid_t> as;
        bool realtimeSignalBlocked = false;
        std::vector<std::string> environment;
    };

    explicit Start(const Options& options) {
        std::vector<std::string> words;
        if (options.as) {
            const std::string id = std::to_string(*options.as);
            words = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
        }
        words.push_back(VARNEL_MENUBAR_PROGRAM);
        std::vector<char*> arguments;
        for (auto& word : words)
            arguments.push_back(word.data());
        arguments.push_back(nullptr);
        std::vector<std::string> variables = options.environment;
        for (char** variable = environ; *variable; ++variable)
            variables.push_back(*variable);
        std::vector<char*> environment;
        for (auto& variable : variables)
            environment.push_back(variable.data());
        environment.push_back(nullptr);

        int errors[2];
        if (::pipe2(errors, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t mask;
        sigemptyset(&mask);
        if (options.realtimeSignalBlocked)
            sigaddset(&mask, SIGRTMIN);
        posix_spawnattr_setsigmask(&attributes, &mask);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        if (::posix_spawn(&pid_, arguments[0], &actions, &attributes, arguments.data(), environment.data()) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        ::close(errors[1]);
        errors_.reset(errors[0]);
    }
    ~Start() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Start(const Start&) = delete;
    Start& operator=(const Start&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once it has ended within `limit`; none while it runs, or when a signal ended it.
    std::optional<int> exitWithin(std::chrono::milliseconds limit) {
        if (!status_)
            status_ = endOf(pid_, limit);
        if (!status_ || !WIFEXITED(*status_))
            return std::nullopt;
        return WEXITSTATUS(*status_);
    }
    // What it wrote to standard error, once it has ended.
    std::string errors() {
        std::string text;
        char buffer[4096];
        for (ssize_t got; errors_.isOpen() && (got = ::read(errors_.get(), buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(got));
        return text;
    }
    // Ends it (for a start that runs) and reaps it.
    void stop() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            status_ = endOf(pid_, 10s);
        }
    }

private:
    pid_t pid_ = -1;
    Descriptor errors_;
    std::optional<int> status_;
};

// The process that holds the kernel lock (flock) on what `path` names now, from /proc/locks; none
// while no one holds it.
std::optional<pid_t> lockHolder(const fs::path& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0)
        return std::nullopt;
    std::ifstream locks("/proc/locks");
    // "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234567 0 EOF"
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, advisory, access, device;
        pid_t holder = 0;
        fields >> number >> kind >> advisory >> access >> holder >> device;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (kind == "FLOCK" && std::sscanf(device.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3 &&
            major == ::major(file.st_dev) && minor == ::minor(file.st_dev) && inode == file.st_ino)
            return holder;
    }
    return std::nullopt;
}

// A copy of a folder, as a profile sync makes it: everything in it, sockets and modes included.
void copyTree(const fs::path& from, const fs::path& to) {
    std::string program = "/bin/cp", all = "-a", source = from.string(), target = to.string();
    char* arguments[] = {program.data(), all.data(), source.data(), target.data(), nullptr};
    pid_t copying = -1;
    ASSERT_EQ(::posix_spawn(&copying, program.c_str(), nullptr, nullptr, arguments, environ), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(copying, &status, 0), copying);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

class TrayLockTest : public ::testing::Test {
protected:
    void TearDown() override { bench.management().clearFaults(); }

    void enroll() {
        bench.agentSettings().save();
        CredentialStore::deviceToken().save(bench.token());
    }

    std::unique_ptr<AgentProcess> startTray() {
        return std::make_unique<AgentProcess>(std::vector<std::string>{VARNEL_MENUBAR_PROGRAM});
    }
    std::unique_ptr<AgentProcess> startRun() {
        return std::make_unique<AgentProcess>(std::vector<std::string>{testing::agentProgram(), "run"});
    }

    bool agentConnected(std::size_t agents, std::chrono::milliseconds limit) {
        return bench.pusher().waitFor([agents](const auto& s) { return s.openSockets == agents; }, limit) &&
               bench.management().waitFor([agents](const Snapshot& s) { return starts(s) == agents; }, limit);
    }

    // A job pushed to the one printer: how many copies of its label the printer took once the
    // job was reported.
    std::size_t labelsOfAPushedJob(const std::string& text) {
        const std::string bytes = "^XA^FO20,20^A0N,30,30^FD" + text + "^FS^XZ";
        const auto jobId = bench.management().createJob({.printerKey = printer.key(), .payload = bytes});
        EXPECT_TRUE(
            bench.management().waitFor([jobId](const Snapshot& s) { return s.resultCount(jobId) > 0; }, 20s));
        EXPECT_TRUE(printer.waitFor(
            [&](const RawTestPrinter::Snapshot& s) {
                for (const auto& connection : s.connections) {
                    if (connection.bytes == bytes + "\n" && !connection.open)
                        return true;
                }
                return false;
            },
            10s));
        std::size_t copies = 0;
        for (const auto& job : printer.snapshot().jobs())
            copies += job.bytes == bytes + "\n" ? 1 : 0;
        return copies;
    }

    TestFolders folders;
    ::varnel::testing::ScopedEnvironment authority{"SSL_CERT_FILE", TestBench::caFile().string()};
    ::varnel::testing::ScopedEnvironment scheduler{"CUPS_SERVER", "/nonexistent/varnel-tests/cups.sock"};
    TestBench bench;
    RawTestPrinter& printer = bench.addPrinter();
};

// The tray runs the agent: `run` says so and ends at once with status 1, and a pushed job prints
// once.
TEST_F(TrayLockTest, RunBesideTheTrayEndsAtOnceAndAJobPrintsOnce) {
    enroll();
    const auto tray = startTray();
    ASSERT_TRUE(agentConnected(1, 20s)) << "the tray's agent did not connect";
    const auto run = startRun();
    ASSERT_EQ(run->waitForExit(15s), 1) << run->output() << run->errors();
    EXPECT_EQ(run->errors(), "Error: Varnel is already running: the tray application or another varnel-agent run "
                             "holds " +
                                 InstanceLock::defaultFile().string() + ". Quit it first.\n");
    EXPECT_EQ(run->output(), "");
    EXPECT_EQ(labelsOfAPushedJob("tray first"), 1u);
    EXPECT_EQ(starts(bench.management().snapshot()), 1u);
    tray->signal(SIGTERM);
    EXPECT_EQ(tray->waitForExit(10s), 0);
}

// `run` runs the agent: the tray says so and runs none, and a pushed job prints once.
TEST_F(TrayLockTest, TheTrayBesideRunSaysSoAndRunsNoAgent) {
    enroll();
    const auto run = startRun();
    ASSERT_TRUE(run->waitForLine(running, 20s)) << run->output() << run->errors();
    ASSERT_TRUE(agentConnected(1, 20s)) << "run's agent did not connect";
    const auto tray = startTray();
    ASSERT_EQ(tray->waitForExit(15s), 0) << tray->errors();
    EXPECT_EQ(tray->errors(), "Varnel is already running.\n");
    EXPECT_EQ(labelsOfAPushedJob("run first"), 1u);
    EXPECT_EQ(starts(bench.management().snapshot()), 1u);
    run->signal(SIGINT);
    EXPECT_EQ(run->waitForExit(10s), 0);
}

// A lock that cannot be taken is not one that another copy holds: a lock file the user may not
// open ends the start with the file and the reason, and status 1; one the user may only read
// locks as well, since flock needs no write access.
TEST_F(TrayLockTest, ALockFileThatCannotBeOpenedIsAnErrorAndOneThatCanOnlyBeReadLocks) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a file root cannot open needs another user";
    fs::permissions(folders.path(), fs::perms(0755));
    const fs::path data = folders.path() / "user-data";
    const fs::path lockFile = data / "Varnel" / "Instance" / "varnel-menubar.lock";
    fs::create_directories(lockFile.parent_path());
    std::ofstream(lockFile).close();
    for (const auto& path : {data, data / "Varnel", lockFile.parent_path(), lockFile})
        ASSERT_EQ(::chown(path.c_str(), user, user), 0);
    ASSERT_EQ(::chmod(lockFile.parent_path().c_str(), 0700), 0);
    const Start::Options asTheUser{user, false, {"XDG_DATA_HOME=" + data.string()}};

    ASSERT_EQ(::chmod(lockFile.c_str(), 0000), 0);
    Start closed(asTheUser);
    ASSERT_EQ(closed.exitWithin(15s), 1) << closed.errors();
    EXPECT_EQ(closed.errors(), "Varnel cannot start: it cannot lock " + lockFile.string() +
                                   " (Permission denied).\n");

    ASSERT_EQ(::chmod(lockFile.c_str(), 0400), 0);
    Start readable(asTheUser);
    // It runs, and answers a later start on its socket.
    EXPECT_TRUE(Takeover::waitFor(SingleInstance::socketAddress(lockFile), readable.pid(), 20s))
        << readable.errors();
    EXPECT_FALSE(InstanceLock(lockFile).acquire(0ms)) << "the start runs without the lock";
    readable.stop();
}

// A start whose parent left SIGRTMIN blocked, beside a copy that holds the lock and does not
// answer: its wait for that copy ends as any start's does, and it says that Varnel runs.
TEST_F(TrayLockTest, AStartWithTheRealTimeSignalBlockedStillEndsItsWait) {
    InstanceLock holder(InstanceLock::defaultFile());
    ASSERT_TRUE(holder.acquire(0ms));
    const auto began = std::chrono::steady_clock::now();
    Start start({std::nullopt, true, {}});
    ASSERT_EQ(start.exitWithin(20s), 0) << "the start still waits";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    std::cout << "a start with SIGRTMIN blocked ended after " << took.count() << " ms\n";
    EXPECT_EQ(start.errors(), "Varnel is already running.\n");
}

// The data folder replaced by a copy of itself while the tray runs: the running copy takes the lock
// on the copy's file before any later start can, so a later start hands over to it, and a pushed
// job prints once.
TEST_F(TrayLockTest, TheRunningCopyTakesTheLockOfTheCopyThatReplacedItsFolder) {
    enroll();
    const auto tray = startTray();
    ASSERT_TRUE(agentConnected(1, 20s)) << "the tray's agent did not connect";
    const auto lockFile = InstanceLock::defaultFile();
    const fs::path data = lockFile.parent_path().parent_path();
    const fs::path copy = data.parent_path() / "Varnel.copy";
    ASSERT_NO_FATAL_FAILURE(copyTree(data, copy));
    fs::remove_all(data);
    fs::rename(copy, data);
    ASSERT_TRUE(::varnel::testing::eventually([&] { return lockHolder(lockFile) == tray->pid(); }, 10s))
        << "the running copy does not hold the lock of the folder that took its folder's place";

    const auto later = startTray();
    ASSERT_EQ(later->waitForExit(15s), 0) << later->errors();
    EXPECT_EQ(later->errors(), "Varnel is already running.\n");
    EXPECT_EQ(labelsOfAPushedJob("a copy in its place"), 1u);
    EXPECT_EQ(starts(bench.management().snapshot()), 1u);
    EXPECT_TRUE(tray->running());
}

// The lock's folder removed, or moved aside, while the tray runs: whichever takes the lock on what
// the path names then is the one agent. A later start that makes the lock anew and takes it first
// runs, and the copy that ran before stops its agent and ends with status 1; one that finds it
// taken hands over. Either way one agent runs, and a pushed job prints once.
TEST_F(TrayLockTest, OneAgentRunsAfterTheLocksFolderIsRemovedOrMovedAside) {
    enroll();
    const auto lockFile = InstanceLock::defaultFile();
    const fs::path instance = lockFile.parent_path();
    const std::vector<std::pair<std::string, std::function<void()>>> changes{
        {"removed", [&] { fs::remove_all(instance); }},
        {"moved aside", [&] { fs::rename(instance, instance.parent_path() / "Instance.old"); }},
    };
    auto running = startTray();
    ASSERT_TRUE(agentConnected(1, 20s)) << "the tray's agent did not connect";
    for (const auto& [name, change] : changes) {
        const std::size_t startsBefore = starts(bench.management().snapshot());
        // Stopped while the folder changes and a later start takes the lock: the kernel keeps what
        // the running copy is told until it goes on, and it cannot be first.
        ASSERT_EQ(::kill(running->pid(), SIGSTOP), 0);
        change();
        auto later = startTray();
        ASSERT_TRUE(bench.management().waitFor(
            [startsBefore](const Snapshot& s) { return starts(s) == startsBefore + 1; }, 20s))
            << name << ": the later start runs no agent";
        ASSERT_EQ(::kill(running->pid(), SIGCONT), 0);
        ASSERT_EQ(running->waitForExit(10s), 1) << name << ": the copy that lost the lock still runs";
        EXPECT_TRUE(bench.pusher().waitFor([](const auto& s) { return s.openSockets == 1; }, 10s)) << name;
        EXPECT_TRUE(later->running()) << name;
        EXPECT_EQ(lockHolder(lockFile), later->pid()) << name;
        EXPECT_EQ(labelsOfAPushedJob(name), 1u) << name;
        running = std::move(later);
        if (name == "moved aside")
            fs::remove_all(instance.parent_path() / "Instance.old");
    }
}

} // namespace
} // namespace varnel::tray
