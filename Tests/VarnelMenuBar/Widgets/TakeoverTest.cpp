#include "VarnelMenuBar/Takeover.hpp"

#include "TraySupport.hpp"
#include "VarnelMenuBar/QtDesktop.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using tray::wasReaped;

class TakeoverTest : public ::testing::Test {
protected:
    pid_t start(const std::string& script) {
        const auto child = QtDesktop().launchDetached("/bin/sh", {"-c", script, "sh", lockFile.string()});
        EXPECT_TRUE(child);
        return child.value_or(-1);
    }

    TemporaryDirectory folder;
    std::filesystem::path lockFile = folder.path() / "varnel-menubar.lock";
};

TEST_F(TakeoverTest, ANewProgramHasTakenOverOnceItHoldsTheLock) {
    // The lock as QLockFile writes it: the holder's process id on the first line.
    const pid_t child = start("sleep 0.2; echo $$ > \"$1\"; exec sleep 30");
    EXPECT_TRUE(Takeover::waitFor(lockFile, child, 10s));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST_F(TakeoverTest, ANewProgramThatEndsWithoutTheLockHasNot) {
    const pid_t child = start("exit 127");
    EXPECT_FALSE(Takeover::waitFor(lockFile, child, 10s));
    EXPECT_TRUE(wasReaped(child));
}

TEST_F(TakeoverTest, ANewProgramThatHangsBeforeTakingTheLockIsEndedAtTheLimit) {
    const pid_t child = start("exec sleep 30");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Takeover::waitFor(lockFile, child, 300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_TRUE(wasReaped(child));
}

} // namespace
} // namespace varnel
