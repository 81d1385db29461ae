#include "VarnelKit/Support/LogFile.hpp"

#include "TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace varnel {
namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

LogFile::Configuration config(const std::filesystem::path& dir, std::int64_t maxBytes = 1 << 20,
                              std::int64_t generations = 3) {
    return LogFile::Configuration(dir, "varnel.log", maxBytes, generations);
}

TEST(LogFile, CreatesFolderAndEmptyFileBeforeTheFirstLine) {
    TemporaryDirectory tmp;
    LogFile log(config(tmp.path() / "a" / "b"));
    EXPECT_EQ(log.tail(10), "");
    EXPECT_TRUE(std::filesystem::exists(tmp.path() / "a" / "b" / "varnel.log"));
    EXPECT_EQ(log.fileURL(), tmp.path() / "a" / "b" / "varnel.log");
}

// The file is reached one name at a time: a link in its place is neither written through nor
// read, and a folder of another user (root given a user's HOME) gets no file; its lines go to the
// journal alone.
TEST(LogFile, FollowsNoLinkAndMakesNothingInAnotherUsersFolder) {
    TemporaryDirectory tmp;
    const auto secret = tmp.path() / "secret";
    writeFile(secret, "not for the log\n");
    std::filesystem::create_directory(tmp.path() / "logs");
    std::filesystem::create_symlink(secret, tmp.path() / "logs" / "varnel.log");
    {
        LogFile log(config(tmp.path() / "logs"));
        log.write("INFO", "a line");
        EXPECT_EQ(log.tail(5), "");
    }
    EXPECT_EQ(contents(secret), "not for the log\n");

    if (::geteuid() != 0)
        return;
    const auto theirs = tmp.path() / "theirs";
    std::filesystem::create_directory(theirs);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    {
        LogFile log(config(theirs / "Logs"));
        log.write("INFO", "a line");
        log.flush();
    }
    EXPECT_TRUE(std::filesystem::is_empty(theirs));
}

TEST(LogFile, WritesStampedLinesAndTails) {
    TemporaryDirectory tmp;
    LogFile log(config(tmp.path()));
    log.write("INFO", "a");
    log.write("ERROR", "b \xFF");
    const std::string text = log.tail(3);
    ASSERT_EQ(text.size(), 2 * 24 + std::string(" [INFO] a\n").size() + std::string(" [ERROR] b \xEF\xBF\xBD\n").size());
    EXPECT_EQ(text.substr(10, 1), "T");
    EXPECT_EQ(text.substr(23, 10), "Z [INFO] a");
    EXPECT_NE(text.find(" [ERROR] b \xEF\xBF\xBD\n"), std::string::npos);
}

TEST(LogFile, TailCountsPiecesBetweenLineFeeds) {
    TemporaryDirectory tmp;
    writeFile(tmp.path() / "varnel.log", "a\nb\n");
    LogFile log(config(tmp.path()));
    EXPECT_EQ(log.tail(0), "");
    EXPECT_EQ(log.tail(-4), "");
    EXPECT_EQ(log.tail(1), "");
    EXPECT_EQ(log.tail(2), "b\n");
    EXPECT_EQ(log.tail(3), "a\nb\n");
    EXPECT_EQ(log.tail(30), "a\nb\n");
}

TEST(LogFile, TailOfInvalidUtf8IsEmpty) {
    TemporaryDirectory tmp;
    writeFile(tmp.path() / "varnel.log", "fine\n\xC3\x28\n");
    LogFile log(config(tmp.path()));
    EXPECT_EQ(log.tail(5), "");
}

TEST(LogFile, RotatesWhenTheSizeFoundAtOpenPlusOwnLinesReachesTheLimit) {
    TemporaryDirectory tmp;
    const std::string existing(90, 'x');
    writeFile(tmp.path() / "varnel.log", existing);
    LogFile log(config(tmp.path(), 100));
    log.write("INFO", "first line");  // pushes the count past 100: written, then rotated
    log.write("INFO", "second line");
    log.flush();
    const std::string rotated = contents(tmp.path() / "varnel.log.1");
    EXPECT_EQ(rotated.substr(0, 90), existing);
    EXPECT_NE(rotated.find("[INFO] first line\n"), std::string::npos);
    const std::string current = contents(tmp.path() / "varnel.log");
    EXPECT_EQ(current.find("first line"), std::string::npos);
    EXPECT_NE(current.find("[INFO] second line\n"), std::string::npos);
}

TEST(LogFile, RotationShiftsGenerationsAndDropsTheOldest) {
    TemporaryDirectory tmp;
    const auto dir = tmp.path();
    writeFile(dir / "varnel.log", "current\n");
    writeFile(dir / "varnel.log.1", "one\n");
    writeFile(dir / "varnel.log.2", "two\n");
    writeFile(dir / "varnel.log.3", "three\n");
    {
        LogFile log(config(dir, 10));
        log.write("INFO", "go");
    }
    EXPECT_EQ(contents(dir / "varnel.log.3"), "two\n");
    EXPECT_EQ(contents(dir / "varnel.log.2"), "one\n");
    EXPECT_EQ(contents(dir / "varnel.log.1").substr(0, 8), "current\n");
    EXPECT_EQ(contents(dir / "varnel.log"), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "varnel.log.4"));
}

TEST(LogFile, OneGenerationStillKeepsDotOne) {
    TemporaryDirectory tmp;
    {
        LogFile log(config(tmp.path(), 10, 1));
        log.write("INFO", "first");
        log.write("INFO", "second");
    }
    EXPECT_NE(contents(tmp.path() / "varnel.log.1").find("second"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(tmp.path() / "varnel.log.2"));
}

TEST(LogFile, AllFilesListsOldestFirstAndSkipsGaps) {
    TemporaryDirectory tmp;
    writeFile(tmp.path() / "varnel.log.2", "old\n");
    LogFile log(config(tmp.path()));
    log.flush();
    const auto files = log.allFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], tmp.path() / "varnel.log.2");
    EXPECT_EQ(files[1], tmp.path() / "varnel.log");
}

TEST(LogFile, TwoWritersOnOneFileLoseNoLines) {
    TemporaryDirectory tmp;
    constexpr int perWriter = 500;
    {
        LogFile first(config(tmp.path()));
        LogFile second(config(tmp.path()));
        std::thread a([&] {
            for (int i = 0; i < perWriter; ++i) first.write("INFO", "first " + std::to_string(i));
        });
        std::thread b([&] {
            for (int i = 0; i < perWriter; ++i) second.write("INFO", "second " + std::to_string(i));
        });
        a.join();
        b.join();
    } // destruction writes every queued line
    std::istringstream in(contents(tmp.path() / "varnel.log"));
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_EQ(line.substr(24, 8), " [INFO] ") << line;
    }
    EXPECT_EQ(lines, 2 * perWriter);
}

TEST(LogFile, LinesThatFindTheQueueFullAreCountedBeforeTheNextOne) {
    TemporaryDirectory tmp;
    std::promise<void> started, release;
    auto running = started.get_future();
    auto held = release.get_future().share();
    LogFile log(LogFile::Configuration(tmp.path(), "varnel.log", 1 << 20, 3, 2));
    const auto at = LogFile::Clock::now();
    // The first line's companion holds the worker, so the queue behind it fills up.
    ASSERT_TRUE(log.write(at, "INFO", "first", [&started, held](std::uint64_t dropped) {
        EXPECT_EQ(dropped, 0u);
        started.set_value();
        held.wait();
    }));
    running.wait();
    EXPECT_TRUE(log.write(at, "INFO", "a", nullptr));
    EXPECT_TRUE(log.write(at, "INFO", "b", nullptr));
    EXPECT_FALSE(log.write(at, "INFO", "c", nullptr));
    log.write("INFO", "d");
    EXPECT_FALSE(log.write(at, "INFO", "e", nullptr));
    release.set_value();
    log.flush();
    std::uint64_t toldCompanion = 0;
    EXPECT_TRUE(log.write(at, "INFO", "f", [&](std::uint64_t dropped) { toldCompanion = dropped; }));
    EXPECT_TRUE(log.write(at, "INFO", "g", nullptr));
    log.flush();

    const std::string stamp = contents(log.fileURL()).substr(0, 24);
    EXPECT_EQ(contents(log.fileURL()), stamp + " [INFO] first\n" + stamp + " [INFO] a\n" + stamp +
                                           " [INFO] b\n" + stamp + " [ERROR] 3 log lines dropped\n" + stamp +
                                           " [INFO] f\n" + stamp + " [INFO] g\n");
    EXPECT_EQ(toldCompanion, 3u);
}

TEST(LogFile, FlushForReturnsAfterItsLimitWhileTheWorkerIsStuck) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    TemporaryDirectory tmp;
    std::promise<void> started, release;
    auto running = started.get_future();
    auto held = release.get_future().share();
    LogFile log(config(tmp.path()));
    const auto at = LogFile::Clock::now();
    ASSERT_TRUE(log.write(at, "INFO", "first", [&started, held](std::uint64_t) {
        started.set_value();
        held.wait();
    }));
    running.wait();
    log.write("INFO", "second");
    const auto before = Clock::now();
    EXPECT_FALSE(log.flushFor(150ms));
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 145ms);
    EXPECT_LT(took, 1s);
    release.set_value();
    EXPECT_TRUE(log.flushFor(5s));
    EXPECT_NE(contents(log.fileURL()).find("[INFO] second\n"), std::string::npos)
        << "true means every line queued before the call is in the file";
}

} // namespace
} // namespace varnel
