#include "VarnelMenuBar/SingleInstance.hpp"

#include "TraySupport.hpp"

#include <QLockFile>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

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

// A start killed between making the lock file and writing its name in it leaves an empty file.
// While its maker lives it holds the file's native lock, and the file is its lock; once no one
// holds it, it is stale.
TEST(SingleInstanceTest, ALockFileThatNamesNoOneIsTakenOnceNoProcessHoldsIt) {
    TestFolders folders;
    const auto lockFile = SingleInstance::defaultLockFile();
    std::ofstream(lockFile).close();
    ASSERT_TRUE(std::filesystem::exists(lockFile));
    ASSERT_EQ(std::filesystem::file_size(lockFile), 0u);

    // The maker, caught just after it made the file.
    int maker = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(maker, 0);
    ASSERT_EQ(::flock(maker, LOCK_EX | LOCK_NB), 0);
    SingleInstance next(lockFile);
    EXPECT_FALSE(next.acquire(0ms));
    EXPECT_TRUE(std::filesystem::exists(lockFile));

    // The maker is killed.
    ::close(maker);
    ASSERT_TRUE(next.acquire(0ms));
    qint64 pid = 0;
    QString host;
    QString application;
    ASSERT_TRUE(QLockFile(QString::fromStdString(lockFile.string())).getLockInfo(&pid, &host, &application));
    EXPECT_EQ(pid, ::getpid());
    EXPECT_FALSE(SingleInstance(lockFile).acquire(0ms));
}

} // namespace
} // namespace varnel::tray
