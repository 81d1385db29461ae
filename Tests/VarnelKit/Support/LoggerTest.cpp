#include "VarnelKit/Support/AgentLogger.hpp"
#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/ResumeOnce.hpp"

#include "TemporaryDirectory.hpp"
#include "VarnelKit/Support/TestPipes.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
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

using testing::contents;
using testing::fillUp;
using testing::linesOf;
using testing::PausedReader;
using testing::Pipe;
using testing::StdoutRedirect;
using testing::waitUntil;

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

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(AgentLogger, WritesEveryLevelToTheFileAndEchoesWholeSeconds) {
    TemporaryDirectory tmp;
    auto file = std::make_shared<LogFile>(LogFile::Configuration(tmp.path(), "varnel.log", 1 << 20, 3));
    AgentLogger logger("com.varnel.agent", "agent", true, file);
    AgentLogger copy = logger; // copies share the file

    ::testing::internal::CaptureStdout();
    logger.debug("one");
    copy.info("two");
    logger.error("three");
    EXPECT_TRUE(logger.flushFor(5s)); // the file and the echo
    const std::string text = file->tail(4);
    const std::string echoed = ::testing::internal::GetCapturedStdout();

    EXPECT_NE(text.find(" [DEBUG] one\n"), std::string::npos);
    EXPECT_NE(text.find(" [INFO] two\n"), std::string::npos);
    EXPECT_NE(text.find(" [ERROR] three\n"), std::string::npos);
    // The echoed stamp has whole seconds: "2026-01-31T09:15:02Z [INFO] two".
    const auto at = echoed.find("Z [INFO] two\n");
    ASSERT_NE(at, std::string::npos) << echoed;
    EXPECT_EQ(echoed[at - 3], ':');
}

TEST(AgentLogger, WithoutEchoPrintsNothing) {
    ::testing::internal::CaptureStdout();
    {
        AgentLogger logger("com.varnel.agent", "agent", false, nullptr);
        logger.info("quiet");
    } // the last copy drains its worker
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
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

std::string jobLine(int i) {
    return "Job " + std::to_string(i) + ": a line of about sixty characters of text";
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
            logger.info(jobLine(i));
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

TEST(AgentLogger, AFullEchoQueueDropsAndCountsEchoedLinesOnly) {
    constexpr int lines = 2000;
    constexpr std::size_t capacity = 50;
    TemporaryDirectory tmp;
    Pipe pipe;
    fillUp(pipe.writeEnd());
    PausedReader reader(pipe.readEnd(), 10s);
    Clock::duration took{};
    std::string written;
    {
        auto file = std::make_shared<LogFile>(
            LogFile::Configuration(tmp.path(), "varnel.log", 1 << 24, 3, 4 * lines));
        AgentLogger logger("com.varnel.agent", "agent", AgentLogger::Echo{pipe.writeEnd(), capacity}, file);
        const auto start = Clock::now();
        for (int i = 0; i < lines; ++i)
            logger.info(jobLine(i));
        took = Clock::now() - start;
        reader.start();
        EXPECT_TRUE(logger.flushFor(10s));
        logger.info("after the reader caught up");
        EXPECT_TRUE(logger.flushFor(10s));
        written = contents(file->fileURL());
    }
    pipe.closeWriteEnd();
    const auto echoed = account(linesOf(reader.finish()));
    const auto inFile = account(linesOf(written));

    EXPECT_LT(took, 250ms) << std::chrono::duration<double, std::milli>(took).count() << " ms";
    // The echo waits in its first write, so its queue's fifty and that one line are all that get
    // through; every lost line is counted exactly once, the last ones before the line after.
    ASSERT_FALSE(echoed.notices.empty());
    EXPECT_LE(echoed.arrived, static_cast<std::int64_t>(capacity) + 1);
    EXPECT_EQ(echoed.arrived + sum(echoed.notices), lines);
    EXPECT_TRUE(echoed.noticesPrecedeLines);
    EXPECT_NE(echoed.lineAfterLastNotice.find("Z [INFO] after the reader caught up"), std::string::npos)
        << echoed.lineAfterLastNotice;
    // The file has a queue of its own: it lost nothing.
    EXPECT_TRUE(inFile.notices.empty());
    EXPECT_EQ(inFile.arrived, lines);
}

// Standard output as a paused pager leaves it: a full pipe that nobody reads. The file's queue holds
// the whole burst, so that nothing but standard output could cost the file a line.
TEST(AgentLogger, AStandardOutputNobodyReadsCostsTheFileNoLine) {
    constexpr int lines = 20'000;
    TemporaryDirectory tmp;
    Pipe pipe;
    fillUp(pipe.writeEnd());
    PausedReader reader(pipe.readEnd(), 60s);
    Clock::duration took{}, flushTook{};
    bool fileCompleteWhileStuck = false, flushedWhileStuck = true, fileFlushedWhileStuck = false;
    std::string written;
    {
        auto file = std::make_shared<LogFile>(
            LogFile::Configuration(tmp.path(), "varnel.log", 1 << 26, 3, 4 * lines));
        AgentLogger logger("com.varnel.agent", "agent", AgentLogger::Echo{pipe.writeEnd()}, file);
        const auto start = Clock::now();
        for (int i = 0; i < lines; ++i)
            logger.info(jobLine(i));
        took = Clock::now() - start;

        // Read past the file's worker, which a logger that waits for standard output holds up.
        // Counted without account(), whose expressions are slow in a sanitizer build.
        const auto jobLinesInFile = [&] {
            const std::string text = contents(file->fileURL());
            int count = 0;
            for (auto at = text.find("] Job "); at != std::string::npos; at = text.find("] Job ", at + 1))
                ++count;
            return count;
        };
        fileCompleteWhileStuck = waitUntil(20s, [&] { return jobLinesInFile() == lines; });
        fileFlushedWhileStuck = file->flushFor(2s);
        const auto before = Clock::now();
        flushedWhileStuck = logger.flushFor(300ms);
        flushTook = Clock::now() - before;

        reader.start();
        EXPECT_TRUE(logger.flushFor(20s));
        logger.info("after the reader caught up");
        EXPECT_TRUE(logger.flushFor(10s));
        written = contents(file->fileURL());
    }
    pipe.closeWriteEnd();
    const auto echoed = account(linesOf(reader.finish()));
    const auto inFile = account(linesOf(written));

    // Generous for a loaded sanitizer build; a logger that waited for the reader would take the
    // reader's patience (60 s).
    EXPECT_LT(took, 15s) << std::chrono::duration<double, std::milli>(took).count() << " ms";
    EXPECT_TRUE(fileCompleteWhileStuck) << "the file waited for standard output";
    EXPECT_TRUE(fileFlushedWhileStuck);
    EXPECT_TRUE(inFile.notices.empty());
    EXPECT_EQ(inFile.arrived, lines);
    EXPECT_NE(written.find("Z [INFO] after the reader caught up\n"), std::string::npos);
    // The bounded flush said the echo had not got there, and said so on time.
    EXPECT_FALSE(flushedWhileStuck);
    EXPECT_GE(flushTook, 290ms);
    EXPECT_LT(flushTook, 2s) << std::chrono::duration<double, std::milli>(flushTook).count() << " ms";
    // The echo kept what its queue holds (and the line its write waited with), dropped the rest,
    // and counted every dropped line before the line after.
    ASSERT_FALSE(echoed.notices.empty());
    EXPECT_LE(echoed.arrived, static_cast<std::int64_t>(EchoOutput::defaultCapacity) + 1);
    EXPECT_EQ(echoed.arrived + sum(echoed.notices), lines);
    EXPECT_TRUE(echoed.noticesPrecedeLines);
    EXPECT_NE(echoed.lineAfterLastNotice.find("Z [INFO] after the reader caught up"), std::string::npos)
        << echoed.lineAfterLastNotice;
}

TEST(AgentLogger, PrintedLinesGoToTheEchoOnlyInOrderWithTheLogLines) {
    TemporaryDirectory tmp;
    Pipe pipe;
    PausedReader reader(pipe.readEnd());
    reader.start();
    std::string written;
    {
        auto file = std::make_shared<LogFile>(LogFile::Configuration(tmp.path()));
        AgentLogger logger("com.varnel.agent", "agent", AgentLogger::Echo{pipe.writeEnd()}, file);
        logger.info("one");
        logger.print("[status] connected");
        logger.error("two");
        logger.print("Agent running. Press Ctrl-C to stop.");
        EXPECT_TRUE(logger.flushFor(5s));
        written = contents(file->fileURL());
    }
    pipe.closeWriteEnd();
    const std::string text = reader.finish();
    const auto echoed = linesOf(text);

    ASSERT_EQ(echoed.size(), 4u) << text;
    EXPECT_TRUE(echoed[0].ends_with("Z [INFO] one")) << echoed[0];
    EXPECT_EQ(echoed[1], "[status] connected");
    EXPECT_TRUE(echoed[2].ends_with("Z [ERROR] two")) << echoed[2];
    EXPECT_EQ(echoed[3], "Agent running. Press Ctrl-C to stop.");
    // The program's lines are not log lines.
    EXPECT_EQ(linesOf(written).size(), 2u) << written;
    EXPECT_EQ(written.find("[status]"), std::string::npos);
}

TEST(AgentLogger, WithoutEchoAPrintedLineGoesNowhere) {
    TemporaryDirectory tmp;
    std::string written;
    ::testing::internal::CaptureStdout();
    {
        auto file = std::make_shared<LogFile>(LogFile::Configuration(tmp.path()));
        AgentLogger logger("com.varnel.agent", "agent", false, file);
        logger.print("[status] connected");
        logger.info("logged");
        EXPECT_TRUE(logger.flushFor(5s));
        written = contents(file->fileURL());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(written.find("[status]"), std::string::npos);
    EXPECT_NE(written.find("[INFO] logged"), std::string::npos);
}

// A server's error page of megabytes, with escape sequences in it, reaches the logger in one
// message: the file, the echo and a printed line each get one bounded line without controls, and
// the lines logged before it are still in the current file, not rotated away.
TEST(AgentLogger, AHugeMessageWithControlsIsOneBoundedCleanLineEverywhere) {
    TemporaryDirectory tmp;
    Pipe pipe;
    PausedReader reader(pipe.readEnd());
    reader.start();
    const std::string page = "<h1>\x1B]0;owned\x07\x1B[2J" + std::string(3 * 1024 * 1024, 'x') + "\r\n</h1>";
    std::string written;
    std::size_t files = 0;
    {
        auto file = std::make_shared<LogFile>(LogFile::Configuration(tmp.path(), "varnel.log", 1 << 20, 3));
        AgentLogger logger("com.varnel.agent", "agent", AgentLogger::Echo{pipe.writeEnd()}, file);
        logger.info("earlier history");
        logger.error("Heartbeat failed: HTTP 500: " + page);
        logger.print("[status] " + page);
        logger.info("later");
        EXPECT_TRUE(logger.flushFor(5s));
        written = contents(file->fileURL());
        files = file->allFiles().size();
    }
    pipe.closeWriteEnd();
    const std::string echoedText = reader.finish();

    EXPECT_EQ(files, 1u) << "the log was rotated";
    const auto logged = linesOf(written);
    ASSERT_EQ(logged.size(), 3u) << written.size() << " bytes";
    EXPECT_TRUE(logged[0].ends_with("[INFO] earlier history")) << logged[0];
    EXPECT_TRUE(logged[2].ends_with("[INFO] later")) << logged[2];
    const auto echoed = linesOf(echoedText);
    ASSERT_EQ(echoed.size(), 4u) << echoedText.size() << " bytes";

    const std::string cleanStart = "<h1>\xEF\xBF\xBD]0;owned\xEF\xBF\xBD\xEF\xBF\xBD[2Jxxx";
    for (const std::string& line : {logged[1], echoed[1], echoed[2]}) {
        EXPECT_LE(line.size(), 4u * AgentLogger::lineLimit + 64);
        EXPECT_LE(Characters::count(line), AgentLogger::lineLimit + 40);
        EXPECT_NE(line.find(cleanStart), std::string::npos) << line.substr(0, 80);
        EXPECT_TRUE(line.ends_with("xxx\xE2\x80\xA6")) << line.substr(line.size() - std::min<std::size_t>(line.size(), 20));
        const auto controls = std::count_if(line.begin(), line.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
        EXPECT_EQ(controls, 0);
    }
    EXPECT_TRUE(echoed[2].starts_with("[status] <h1>")) << echoed[2].substr(0, 40);
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
