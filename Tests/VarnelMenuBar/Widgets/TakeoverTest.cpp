#include "VarnelMenuBar/Takeover.hpp"

#include "TraySupport.hpp"
#include "VarnelMenuBar/QtDesktop.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"
#include "VarnelKit/Agent/InstanceLock.hpp"

#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using tray::waitUntil;
using tray::wasReaped;

class TakeoverTest : public ::testing::Test {
protected:
    pid_t start(const std::string& script) {
        const auto child = QtDesktop().launchDetached("/bin/sh", {"-c", script, "sh", lockFile.string()});
        EXPECT_TRUE(child);
        return child.value_or(-1);
    }

    TemporaryDirectory folder;
    std::filesystem::path lockFile = folder.path() / "Varnel" / "Instance" / "varnel-menubar.lock";
    // The lock's folder is there before its socket's address is worked out from it.
    bool made = std::filesystem::create_directories(lockFile.parent_path());
    std::optional<LocalAddress> socket = SingleInstance::socketAddress(lockFile);
};

// The instance that answers is this process, standing in for the new program's event loop; being
// the one that waits, it is also the prober, whose question opens no window.
TEST_F(TakeoverTest, ANewProgramHasTakenOverOnceItAnswersOnTheSocket) {
    const pid_t child = start("exec sleep 30");
    auto tookOver = std::async(std::launch::async, [&] { return Takeover::waitFor(socket, child, 10s); });
    InstanceLock lock(lockFile);
    ASSERT_TRUE(lock.acquire(0ms));
    SingleInstance instance(lockFile);
    int shown = 0;
    ASSERT_TRUE(instance.listen([&] { ++shown; }, ::getpid()));
    ASSERT_TRUE(waitUntil([&] { return tookOver.wait_for(0ms) == std::future_status::ready; }));
    EXPECT_TRUE(tookOver.get());
    EXPECT_EQ(shown, 0) << "the question whether it runs opened its window";
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0) << "a program that answered was ended";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

// It takes the lock before its window system is up, and may abort or hang there holding it.
TEST_F(TakeoverTest, ANewProgramThatHoldsTheLockButNeverAnswersIsEndedAtTheLimit) {
    // The lock as QLockFile writes it: the holder's process id on the first line.
    const pid_t child = start("echo $$ > \"$1\"; exec sleep 30");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Takeover::waitFor(socket, child, 500ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 500ms);
    EXPECT_TRUE(wasReaped(child));
}

TEST_F(TakeoverTest, ANewProgramThatEndsWithoutAnsweringHasNot) {
    const pid_t child = start("exit 127");
    EXPECT_FALSE(Takeover::waitFor(socket, child, 10s));
    EXPECT_TRUE(wasReaped(child));
}

TEST_F(TakeoverTest, ANewProgramThatHangsBeforeTakingTheLockIsEndedAtTheLimit) {
    const pid_t child = start("exec sleep 30");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Takeover::waitFor(socket, child, 300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_TRUE(wasReaped(child));
}

// An update from the release before this one: that release waits for the answer beside the lock it
// chose from its environment, in the runtime folder. The program it relaunched answers there too.
TEST_F(TakeoverTest, AProgramRelaunchedByTheReleaseBeforeAnswersWhereThatReleaseAsks) {
    tray::TestFolders folders;
    const auto earlier = LocalAddress::file(folders.path() / "runtime" / "varnel-menubar.socket", ::getuid());
    ASSERT_TRUE(earlier);
    const auto child = QtDesktop().launchDetached(VARNEL_MENUBAR_PROGRAM, {"--relaunched"});
    ASSERT_TRUE(child);
    auto tookOver = std::async(std::launch::async, [&] { return Takeover::waitFor(earlier, *child, 15s); });
    ASSERT_TRUE(waitUntil([&] { return tookOver.wait_for(0ms) == std::future_status::ready; }, 20s));
    EXPECT_TRUE(tookOver.get()) << "the relaunched program did not answer where the release before asks";
    // And where this release asks.
    EXPECT_TRUE(SingleInstance::handOver(InstanceLock::defaultFile(), 5s));
    ::kill(*child, SIGTERM);
    ::waitpid(*child, nullptr, 0);
}

} // namespace
} // namespace varnel
