#include "VarnelMenuBar/SingleInstance.hpp"

#include "VarnelKit/Agent/InstanceLock.hpp"

#include "TraySupport.hpp"
#include "VarnelKit/Support/Descriptor.hpp"

#include <QSysInfo>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace varnel::tray {
namespace {

using namespace std::chrono_literals;

TEST(SingleInstanceTest, ASecondInstanceIsRefusedUntilTheFirstLetsGo) {
    TestFolders folders;
    const auto lockFile = InstanceLock::defaultFile();
    // In the data folder, whatever the runtime folder.
    EXPECT_EQ(lockFile, folders.path() / "data" / "Varnel" / "Instance" / "varnel-menubar.lock");
    InstanceLock first(lockFile);
    InstanceLock second(lockFile);
    ASSERT_TRUE(first.acquire(0ms));
    EXPECT_FALSE(second.acquire(0ms));
    // A relaunch waits a little for the old instance's quit.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(second.acquire(300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    first.release();
    EXPECT_TRUE(second.acquire(0ms));
}

// Whoever else holds the file's kernel lock holds the lock, whatever the file says; once that one
// lets go, the lock is free, and the file, which names its holder only for a person who looks, is
// never removed.
TEST(SingleInstanceTest, TheLockIsTheFilesKernelLockAndTheFileStays) {
    TestFolders folders;
    const auto lockFile = InstanceLock::defaultFile();
    {
        InstanceLock maker(lockFile);
        ASSERT_TRUE(maker.acquire(0ms));
    }
    ASSERT_TRUE(std::filesystem::exists(lockFile));

    const Descriptor other(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(other.isOpen());
    ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    InstanceLock next(lockFile);
    EXPECT_FALSE(next.acquire(0ms));

    ASSERT_EQ(::flock(other.get(), LOCK_UN), 0);
    ASSERT_TRUE(next.acquire(0ms));
    std::ifstream named(lockFile);
    long pid = 0;
    named >> pid;
    EXPECT_EQ(pid, ::getpid());
    EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    next.release();
    EXPECT_TRUE(std::filesystem::exists(lockFile));
    EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
}

// Starts of the program reduced to the lock (SingleInstanceProbe), as many processes at once, each
// counting itself in a tally they share while it holds the lock.
class LockStarts {
public:
    LockStarts() : tally_(folder_.path() / "tally") {
        std::ofstream(tally_).put('\0');
        std::filesystem::resize_file(tally_, 4096);
        const int file = ::open(tally_.c_str(), O_RDWR | O_CLOEXEC);
        void* shared = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
        ::close(file);
        counts_ = shared == MAP_FAILED ? nullptr : static_cast<const int*>(shared);
        // Every start waits for the gate's closing, so that they all go at one moment.
        int gate[2];
        if (::pipe2(gate, O_CLOEXEC) == 0) {
            gate_[0].reset(gate[0]);
            gate_[1].reset(gate[1]);
        }
    }
    ~LockStarts() {
        for (const pid_t start : starts_) {
            ::kill(start, SIGKILL);
            ::waitpid(start, nullptr, 0);
        }
        if (counts_)
            ::munmap(const_cast<int*>(counts_), 4096);
    }

    bool ready() const { return counts_ && gate_[1].isOpen(); }

    // A start that holds the lock for `hold` once it has it ("until-killed": until it is killed),
    // counted in the tally when `counted`. Its output, one line once it holds the lock and one
    // before it waits for it, comes on the descriptor it gives.
    int start(const std::filesystem::path& lockFile, const std::string& hold, bool counted) {
        int output[2];
        if (::pipe2(output, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, gate_[0].get(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        std::string program = VARNEL_SINGLE_INSTANCE_PROBE;
        std::string lock = lockFile.string();
        std::string tally = counted ? tally_.string() : "-";
        std::string holding = hold;
        char* arguments[] = {program.data(), lock.data(), tally.data(), holding.data(), nullptr};
        pid_t child = -1;
        const bool spawned =
            ::posix_spawn(&child, program.c_str(), &actions, nullptr, arguments, environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(output[1]);
        if (!spawned) {
            ::close(output[0]);
            return -1;
        }
        starts_.push_back(child);
        outputs_.push_back(std::make_unique<Descriptor>(output[0]));
        return output[0];
    }

    // Lets every start go.
    void open() { gate_[1].reset(); }

    // Waits for the next line of a start's output; false when none came in `limit`.
    static bool lineFrom(int output, const std::string& expected, std::chrono::milliseconds limit) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char c = 0;
        while (line.find('\n') == std::string::npos) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{output, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1 ||
                ::read(output, &c, 1) != 1)
                return false;
            line += c;
        }
        return line == expected + "\n";
    }

    // Kills a start, and waits until it has ended.
    void kill(std::size_t index) {
        ::kill(starts_.at(index), SIGKILL);
        ::waitpid(starts_.at(index), nullptr, 0);
        starts_.erase(starts_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    // Waits for every start to end; false when one still runs after `limit`.
    bool waitForAll(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!starts_.empty()) {
            const Descriptor process(static_cast<int>(::syscall(SYS_pidfd_open, starts_.back(), 0)));
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ended{process.get(), POLLIN, 0};
            if (!process.isOpen() || left.count() <= 0 ||
                ::poll(&ended, 1, static_cast<int>(left.count())) != 1)
                return false;
            ::waitpid(starts_.back(), nullptr, 0);
            starts_.pop_back();
        }
        return true;
    }

    // The tally: the most holders at one moment, and the starts that held the lock.
    int most() const { return counts_[1]; }
    int held() const { return counts_[2]; }

private:
    TemporaryDirectory folder_;
    std::filesystem::path tally_;
    const int* counts_ = nullptr;
    Descriptor gate_[2];
    std::vector<pid_t> starts_;
    std::vector<std::unique_ptr<Descriptor>> outputs_;
};

// A lock file as the starts before may have left it: none, an empty one (a maker that ended before
// it wrote), and one naming a process that has ended.
void leaveLockFile(const std::filesystem::path& lockFile, int kind) {
    std::filesystem::remove(lockFile);
    if (kind == 1) {
        std::ofstream(lockFile).close();
    } else if (kind == 2) {
        pid_t ended = -1;
        char program[] = "/bin/true";
        char* arguments[] = {program, nullptr};
        ASSERT_EQ(::posix_spawn(&ended, program, nullptr, nullptr, arguments, environ), 0);
        ::waitpid(ended, nullptr, 0);
        std::ofstream(lockFile) << ended << "\nVarnelMenuBar\n"
                                << QSysInfo::machineHostName().toStdString() << "\n";
    }
}

// Eight starts that meet at the lock, whatever it looked like before: at no moment do two hold it,
// and each one's wait ends once the one before has let go, so all of them hold it in turn.
TEST(SingleInstanceTest, ManyStartsAtOnceHoldTheLockOneAtATime) {
    TestFolders folders;
    const auto lockFile = InstanceLock::defaultFile();
    for (int kind = 0; kind < 3; ++kind) {
        for (int round = 0; round < 12; ++round) {
            ASSERT_NO_FATAL_FAILURE(leaveLockFile(lockFile, kind));
            LockStarts starts;
            ASSERT_TRUE(starts.ready());
            for (int i = 0; i < 8; ++i)
                ASSERT_GE(starts.start(lockFile, "20", true), 0);
            starts.open();
            ASSERT_TRUE(starts.waitForAll(30s)) << "a start still runs";
            ASSERT_EQ(starts.most(), 1)
                << "two starts held the lock at once (lock file " << kind << ", round " << round << ")";
            ASSERT_EQ(starts.held(), 8) << "a start gave up while the lock was let go";
        }
    }
}

// The holder of the lock ends (is killed) while four starts wait for it: the kernel wakes them at
// one moment, and still only one holds the lock at a time.
TEST(SingleInstanceTest, StartsWokenTogetherByTheHoldersEndHoldTheLockOneAtATime) {
    TestFolders folders;
    const auto lockFile = InstanceLock::defaultFile();
    for (int round = 0; round < 20; ++round) {
        LockStarts starts;
        ASSERT_TRUE(starts.ready());
        starts.open();
        const int holder = starts.start(lockFile, "until-killed", false);
        ASSERT_GE(holder, 0);
        ASSERT_TRUE(LockStarts::lineFrom(holder, "holding", 10s));
        std::vector<int> waiting;
        for (int i = 0; i < 4; ++i)
            waiting.push_back(starts.start(lockFile, "20", true));
        for (const int start : waiting)
            ASSERT_TRUE(LockStarts::lineFrom(start, "waiting", 10s)) << "a start did not wait for the holder";
        starts.kill(0);
        ASSERT_TRUE(starts.waitForAll(30s)) << "a start still runs";
        ASSERT_EQ(starts.most(), 1) << "two starts held the lock at once (round " << round << ")";
        ASSERT_EQ(starts.held(), 4);
    }
}
// A data folder whose path is too long for a socket's file: the copy answers on an abstract name
// taken from the folder's identity, which a later start finds the same way.
TEST(SingleInstanceTest, AStartHandsOverWhereTheLocksFolderIsTooDeepForASocketFile) {
    TestFolders folders;
    const auto deep = folders.path() / std::string(60, 'd') / std::string(60, 'e');
    std::filesystem::create_directories(deep);
    ::varnel::testing::ScopedEnvironment data{"XDG_DATA_HOME", deep.string()};
    const auto lockFile = InstanceLock::defaultFile();
    InstanceLock lock(lockFile);
    ASSERT_TRUE(lock.acquire(0ms));
    const auto address = SingleInstance::socketAddress(lockFile);
    ASSERT_TRUE(address);
    EXPECT_FALSE(address->path());

    SingleInstance running(lockFile);
    int shown = 0;
    ASSERT_TRUE(running.listen([&] { ++shown; }));
    auto handedOver = std::async(std::launch::async, [&] { return SingleInstance::handOver(lockFile, 5s); });
    ASSERT_TRUE(waitUntil([&] { return handedOver.wait_for(0ms) == std::future_status::ready; }));
    EXPECT_TRUE(handedOver.get());
    EXPECT_EQ(shown, 1);
    running.stopListening();
    lock.release();
    EXPECT_FALSE(SingleInstance::handOver(lockFile, 1s));
}

} // namespace
} // namespace varnel::tray
