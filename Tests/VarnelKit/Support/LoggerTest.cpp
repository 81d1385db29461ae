#include "VarnelKit/Support/AgentLogger.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/ResumeOnce.hpp"

#include "TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace varnel {
namespace {

TEST(RecordingLogger, RecordsLevelAndMessage) {
    RecordingLogger logger;
    EXPECT_FALSE(logger.contains(""));
    logger.info("a");
    logger.error("b");
    EXPECT_EQ(logger.messages(), (std::vector<std::string>{"[INFO] a", "[ERROR] b"}));
    EXPECT_TRUE(logger.contains("] b"));
    EXPECT_FALSE(logger.contains("A"));
}

TEST(RecordingLogger, ManyThreadsLoseAndInterleaveNothing) {
    RecordingLogger logger;
    constexpr int threads = 8, perThread = 400;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&logger, t] {
            for (int i = 0; i < perThread; ++i) logger.debug("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& w : workers) w.join();
    const auto lines = logger.messages();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
    std::set<std::string> unique(lines.begin(), lines.end());
    EXPECT_EQ(unique.size(), lines.size());
    EXPECT_TRUE(unique.count("[DEBUG] thread 7 line 399"));
}

TEST(AgentLogger, WritesEveryLevelToTheFileAndEchoesWholeSeconds) {
    TemporaryDirectory tmp;
    auto file = std::make_shared<LogFile>(LogFile::Configuration(tmp.path(), "varnel.log", 1 << 20, 3));
    AgentLogger logger("com.varnel.agent", "agent", true, file);
    AgentLogger copy = logger; // copies share the file

    testing::internal::CaptureStdout();
    logger.debug("one");
    copy.info("two");
    logger.error("three");
    const std::string text = file->tail(4); // the echo runs on the file's worker, so this waits for it too
    const std::string echoed = testing::internal::GetCapturedStdout();

    EXPECT_NE(text.find(" [DEBUG] one\n"), std::string::npos);
    EXPECT_NE(text.find(" [INFO] two\n"), std::string::npos);
    EXPECT_NE(text.find(" [ERROR] three\n"), std::string::npos);
    // The echoed stamp has whole seconds: "2026-01-31T09:15:02Z [INFO] two".
    const auto at = echoed.find("Z [INFO] two\n");
    ASSERT_NE(at, std::string::npos) << echoed;
    EXPECT_EQ(echoed[at - 3], ':');
}

TEST(AgentLogger, WithoutEchoPrintsNothing) {
    testing::internal::CaptureStdout();
    {
        AgentLogger logger("com.varnel.agent", "agent", false, nullptr);
        logger.info("quiet");
    } // the last copy drains its worker
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Pipe {
public:
    Pipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    ~Pipe() {
        closeReadEnd();
        closeWriteEnd();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void closeReadEnd() { closeEnd(0); }
    void closeWriteEnd() { closeEnd(1); }

private:
    void closeEnd(int which) {
        if (fds_[which] >= 0)
            ::close(fds_[which]);
        fds_[which] = -1;
    }
    int fds_[2] = {-1, -1};
};

// Puts `descriptor` in place of standard output until destroyed; the test checks its results only
// afterwards, since a failure printed meanwhile would go into the pipe.
class StdoutRedirect {
public:
    explicit StdoutRedirect(int descriptor) : saved_(::dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        ::dup2(descriptor, STDOUT_FILENO);
    }
    ~StdoutRedirect() { restore(); }
    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

private:
    int saved_;
};

// A reader that does not read until it is told to, or for at most a second, so a logger that does
// block makes the test fail instead of hanging it. Reads to the end of the pipe.
class PausedReader {
public:
    explicit PausedReader(int descriptor)
        : thread_([this, descriptor] {
              {
                  std::unique_lock lock(mutex_);
                  wake_.wait_for(lock, 1s, [this] { return go_; });
              }
              char buffer[65536];
              for (;;) {
                  const ssize_t n = ::read(descriptor, buffer, sizeof buffer);
                  if (n < 0 && errno == EINTR)
                      continue;
                  if (n <= 0)
                      break;
                  text_.append(buffer, static_cast<std::size_t>(n));
              }
          }) {}
    ~PausedReader() {
        if (thread_.joinable()) {
            start();
            thread_.join();
        }
    }
    PausedReader(const PausedReader&) = delete;
    PausedReader& operator=(const PausedReader&) = delete;

    void start() {
        {
            std::lock_guard lock(mutex_);
            go_ = true;
        }
        wake_.notify_one();
    }
    // Everything read, once every write end of the pipe is closed.
    std::string finish() {
        start();
        thread_.join();
        return text_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool go_ = false;
    std::string text_;
    std::thread thread_; // last: started once the rest is ready
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// What a stream of log lines says about its losses: the lines of the burst that arrived, the
// counts of the notices, and whether each notice stands right before a line that got through.
struct Accounting {
    std::int64_t arrived = 0;
    std::vector<std::int64_t> notices;
    bool noticesPrecedeLines = true;
    std::string lineAfterLastNotice;
};

Accounting account(const std::vector<std::string>& lines) {
    static const std::regex notice(R"(^\S+ \[ERROR\] ([0-9]+) log lines dropped$)");
    Accounting result;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        if (std::regex_match(lines[i], match, notice)) {
            result.notices.push_back(std::stoll(match[1]));
            const bool followed = i + 1 < lines.size() && !std::regex_match(lines[i + 1], notice);
            result.noticesPrecedeLines = result.noticesPrecedeLines && followed;
            if (followed)
                result.lineAfterLastNotice = lines[i + 1];
        } else if (lines[i].find("] Job ") != std::string::npos) {
            ++result.arrived;
        }
    }
    return result;
}

std::int64_t sum(const std::vector<std::int64_t>& values) {
    std::int64_t total = 0;
    for (const auto value : values)
        total += value;
    return total;
}

TEST(AgentLogger, EchoToAPausedReaderDoesNotHoldUpTheCaller) {
    constexpr int lines = 2000;
    Pipe pipe;
    PausedReader reader(pipe.readEnd());
    StdoutRedirect redirect(pipe.writeEnd());
    pipe.closeWriteEnd(); // standard output now holds the only write end
    Clock::duration took{};
    {
        AgentLogger logger("com.varnel.agent", "agent", true, nullptr);
        const auto start = Clock::now();
        for (int i = 0; i < lines; ++i)
            logger.info("Job " + std::to_string(i) + ": a line of about sixty characters of text");
        took = Clock::now() - start;
        reader.start();
    } // the last copy writes every queued line
    redirect.restore();
    const auto echoed = linesOf(reader.finish());

    EXPECT_LT(took, 250ms) << std::chrono::duration<double, std::milli>(took).count() << " ms";
    // Fewer lines than the queue holds: every one arrives, in order, and nothing counts as dropped.
    ASSERT_EQ(echoed.size(), static_cast<std::size_t>(lines));
    EXPECT_NE(echoed.front().find("Z [INFO] Job 0: "), std::string::npos) << echoed.front();
    EXPECT_NE(echoed.back().find("Z [INFO] Job 1999: "), std::string::npos) << echoed.back();
    EXPECT_TRUE(account(echoed).notices.empty());
}

// Fills the pipe's buffer, so that the next write to it waits for the reader.
void fillUp(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
    const std::string filler = std::string(99, '.') + '\n';
    while (::write(descriptor, filler.data(), filler.size()) > 0) {
    }
    // Writes up to the pipe's atomic size go in whole or not at all: top up what is left.
    while (::write(descriptor, "\n", 1) > 0) {
    }
    ::fcntl(descriptor, F_SETFL, flags);
}

TEST(AgentLogger, AFullQueueDropsLinesAndCountsThemInTheFileAndTheEcho) {
    constexpr int lines = 2000;
    constexpr std::size_t capacity = 50;
    TemporaryDirectory tmp;
    Pipe pipe;
    fillUp(pipe.writeEnd());
    PausedReader reader(pipe.readEnd());
    Clock::duration took{};
    std::string written;
    {
        auto file =
            std::make_shared<LogFile>(LogFile::Configuration(tmp.path(), "varnel.log", 1 << 24, 3, capacity));
        AgentLogger logger("com.varnel.agent", "agent", AgentLogger::Echo{pipe.writeEnd()}, file);
        const auto start = Clock::now();
        for (int i = 0; i < lines; ++i)
            logger.info("Job " + std::to_string(i) + ": a line of about sixty characters of text");
        took = Clock::now() - start;
        reader.start();
        file->flush();
        logger.info("after the reader caught up");
        file->flush();
        written = file->tail(lines + 100);
    }
    pipe.closeWriteEnd();
    const auto echoed = account(linesOf(reader.finish()));
    const auto inFile = account(linesOf(written));

    EXPECT_LT(took, 250ms) << std::chrono::duration<double, std::milli>(took).count() << " ms";
    // The worker waits in its first echo, so the queue's fifty and that one line are all that get
    // through; every lost line is counted exactly once, the last ones before the line after.
    ASSERT_FALSE(echoed.notices.empty());
    EXPECT_LE(echoed.arrived, static_cast<std::int64_t>(capacity) + 1);
    EXPECT_EQ(echoed.arrived + sum(echoed.notices), lines);
    EXPECT_TRUE(echoed.noticesPrecedeLines);
    EXPECT_NE(echoed.lineAfterLastNotice.find("Z [INFO] after the reader caught up"), std::string::npos)
        << echoed.lineAfterLastNotice;
    // The file lost the same lines: one queue decides for both.
    EXPECT_EQ(inFile.notices, echoed.notices);
    EXPECT_EQ(inFile.arrived, echoed.arrived);
    EXPECT_TRUE(inFile.noticesPrecedeLines);
}

// Restores the disposition of SIGPIPE that the test changed.
class DefaultSigpipe {
public:
    DefaultSigpipe() : previous_(std::signal(SIGPIPE, SIG_DFL)) {}
    ~DefaultSigpipe() { std::signal(SIGPIPE, previous_); }
    DefaultSigpipe(const DefaultSigpipe&) = delete;
    DefaultSigpipe& operator=(const DefaultSigpipe&) = delete;

private:
    void (*previous_)(int);
};

TEST(AgentLogger, AnEchoWhoseReaderIsGoneNeitherKillsTheProcessNorStopsTheFile) {
    TemporaryDirectory tmp;
    DefaultSigpipe defaultSigpipe; // the logger must not count on the program ignoring it
    Pipe pipe;
    pipe.closeReadEnd();
    std::string written;
    {
        StdoutRedirect redirect(pipe.writeEnd());
        auto file = std::make_shared<LogFile>(LogFile::Configuration(tmp.path()));
        AgentLogger logger("com.varnel.agent", "agent", true, file);
        logger.info("into a pipe nobody reads");
        logger.error("still logging");
        written = file->tail(3);
    }
    EXPECT_NE(written.find("[INFO] into a pipe nobody reads\n"), std::string::npos) << written;
    EXPECT_NE(written.find("[ERROR] still logging\n"), std::string::npos) << written;
}

TEST(ResumeOnce, ExactlyOneOfManyThreadsClaims) {
    for (int round = 0; round < 50; ++round) {
        ResumeOnce gate;
        std::atomic<int> winners{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                if (gate.claim()) winners.fetch_add(1);
            });
        }
        go.store(true);
        for (auto& t : threads) t.join();
        EXPECT_EQ(winners.load(), 1);
        EXPECT_FALSE(gate.claim());
    }
}

TEST(MachineIdentity, OsVersionAlwaysHasThreeNumbers) {
    EXPECT_EQ(MachineIdentity::formatOsVersion("macOS", "14.5"), "macOS 14.5.0");
    EXPECT_EQ(MachineIdentity::formatOsVersion("Debian GNU/Linux", "12"), "Debian GNU/Linux 12.0.0");
    EXPECT_EQ(MachineIdentity::formatOsVersion("Linux", "6.1.0-18-amd64"), "Linux 6.1.0");
    EXPECT_EQ(MachineIdentity::formatOsVersion("Linux", "rolling"), "");
    const std::string live = MachineIdentity::osVersion();
    EXPECT_FALSE(live.empty());
    EXPECT_FALSE(MachineIdentity::hostname().empty());
    if (const auto uuid = MachineIdentity::platformUUID()) {
        EXPECT_EQ(uuid->size(), 36u);
        EXPECT_EQ(*uuid, MachineIdentity::platformUUID().value());
        EXPECT_EQ(uuid->find_first_of("abcdef"), std::string::npos);
    }
}

} // namespace
} // namespace varnel
