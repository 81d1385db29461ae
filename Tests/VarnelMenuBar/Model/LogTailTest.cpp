#include "VarnelMenuBar/LogTail.hpp"

#include "TemporaryDirectory.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

namespace varnel {
namespace {

using namespace std::chrono_literals;

// Counts the tail's reports of new lines, so that a test waits for a read instead of sleeping.
class Reads {
public:
    std::function<void()> callback() {
        return [this] {
            std::lock_guard lock(mutex_);
            ++count_;
            changed_.notify_all();
        };
    }

    // Asks the tail until its lines satisfy `wanted`, waiting for each read's report in between.
    bool waitFor(LogTail& tail, const std::function<bool(const std::vector<std::string>&)>& wanted,
                 std::vector<std::string>& lines) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            std::unique_lock lock(mutex_);
            const auto before = count_;
            lock.unlock();
            lines = tail.lines();
            if (wanted(lines))
                return true;
            lock.lock();
            if (!changed_.wait_until(lock, deadline, [&] { return count_ != before; }))
                return false;
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

bool ends(const std::vector<std::string>& lines, const std::string& text) {
    return !lines.empty() && lines.back().find(text) != std::string::npos;
}

bool holds(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

TEST(LogTailTest, GivesTheLastLinesWithoutEmptyOnesAndSeesNewLines) {
    TemporaryDirectory folder;
    auto file = std::make_shared<LogFile>(LogFile::Configuration(folder.path()));
    Reads reads;
    LogTail tail(file, reads.callback(), 0ms);
    EXPECT_TRUE(tail.lines().empty());
    file->write("INFO", "first");
    file->write("INFO", "");
    file->write("ERROR", "second");
    file->flush();
    std::vector<std::string> lines;
    ASSERT_TRUE(reads.waitFor(
        tail, [](const auto& l) { return ends(l, "second"); }, lines));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("[INFO] first"), std::string::npos);
    EXPECT_NE(lines[2].find("[ERROR] second"), std::string::npos);

    for (int i = 0; i < 400; ++i)
        file->write("INFO", "line " + std::to_string(i));
    file->flush();
    ASSERT_TRUE(reads.waitFor(
        tail, [](const auto& l) { return ends(l, "line 399"); }, lines));
    // The last 300 pieces, of which the one after the final line feed is empty.
    ASSERT_EQ(lines.size(), 299u);
    EXPECT_NE(lines.front().find("line 101"), std::string::npos);
    EXPECT_TRUE(LogTail(nullptr).lines().empty());
}

// The window asks on the Qt thread every 2 s; the log's writer may be stuck behind a journal that
// does not answer. The window must neither wait for it nor miss the lines already in the file.
TEST(LogTailTest, AWriterHeldUpBehindTheJournalHoldsUpNeitherTheCallerNorTheLinesInTheFile) {
    TemporaryDirectory folder;
    auto file = std::make_shared<LogFile>(LogFile::Configuration(folder.path()));
    file->write("INFO", "written before the journal stalled");
    file->flush();
    std::promise<void> stalled;
    std::promise<void> answered;
    auto answer = answered.get_future().share();
    file->write(LogFile::Clock::now(), "INFO", "held", [&stalled, answer](std::uint64_t) {
        stalled.set_value();
        answer.wait();
    });
    stalled.get_future().wait();

    Reads reads;
    LogTail tail(file, reads.callback(), 0ms);
    auto asked = std::async(std::launch::async, [&] {
        std::vector<std::string> lines;
        reads.waitFor(
            tail, [](const auto& l) { return holds(l, "journal stalled"); }, lines);
        return lines;
    });
    const bool returned = asked.wait_for(5s) == std::future_status::ready;
    answered.set_value();
    ASSERT_TRUE(returned) << "the tail waited for the log's writer";
    const auto lines = asked.get();
    EXPECT_TRUE(holds(lines, "written before the journal stalled"));
}

} // namespace
} // namespace varnel
