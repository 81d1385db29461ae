#include "VarnelMenuBar/SingleInstance.hpp"

#include "TraySupport.hpp"

#include <gtest/gtest.h>

namespace varnel::tray {
namespace {

using namespace std::chrono_literals;

TEST(SingleInstanceTest, ASecondInstanceIsRefusedUntilTheFirstLetsGo) {
    TestFolders folders;
    const auto lockFile = SingleInstance::defaultLockFile();
    EXPECT_EQ(lockFile, folders.path() / "runtime" / "varnel-menubar.lock");
    SingleInstance first(lockFile);
    SingleInstance second(lockFile);
    ASSERT_TRUE(first.acquire(0ms));
    EXPECT_FALSE(second.acquire(0ms));
    // A relaunch waits a little for the old instance's quit.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(second.acquire(300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    first.release();
    EXPECT_TRUE(second.acquire(0ms));
}

} // namespace
} // namespace varnel::tray
