// The log's echo on its own: order and form of its lines, what it drops and how it says so, and
// bounds on waiting for a reader who does not read.
#include "VarnelKit/Support/EchoOutput.hpp"

#include "VarnelKit/Support/TestPipes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::fillUp;
using testing::linesOf;
using testing::PausedReader;
using testing::Pipe;

// 2026-05-28T20:26:40Z, and a little more that the echo leaves out.
const EchoOutput::Clock::time_point at =
    EchoOutput::Clock::time_point(std::chrono::seconds(1'780'000'000)) + 987ms;

TEST(EchoOutput, WritesLogLinesAndPrintedLinesInTheOrderGiven) {
    Pipe pipe;
    PausedReader reader(pipe.readEnd());
    reader.start();
    {
        EchoOutput echo(pipe.writeEnd());
        EXPECT_TRUE(echo.line(at, "INFO", "one"));
        EXPECT_TRUE(echo.print("[status] connected"));
        EXPECT_TRUE(echo.line(at, "ERROR", "two"));
        EXPECT_TRUE(echo.print(""));
        EXPECT_TRUE(echo.flushFor(5s));
    }
    pipe.closeWriteEnd();
    EXPECT_EQ(reader.finish(), "2026-05-28T20:26:40Z [INFO] one\n"
                               "[status] connected\n"
                               "2026-05-28T20:26:40Z [ERROR] two\n"
                               "\n");
}

TEST(EchoOutput, ALineThatFindsTheQueueFullIsCountedBeforeTheNextOneThatGetsThrough) {
    constexpr std::size_t capacity = 3;
    Pipe pipe;
    fillUp(pipe.writeEnd());
    PausedReader reader(pipe.readEnd(), 10s);
    std::vector<std::string> accepted;
    std::uint64_t refused = 0;
    {
        EchoOutput echo(pipe.writeEnd(), capacity);
        // Until the queue is full: its three, and one more when the thread already waits with it.
        for (int i = 0; refused < 5; ++i) {
            const std::string text = "line " + std::to_string(i);
            if (echo.line(at, "INFO", text))
                accepted.push_back("2026-05-28T20:26:40Z [INFO] " + text);
            else
                ++refused;
        }
        // A printed line is refused alike. The thread may have taken one more line from the queue
        // only now (at most one: its write then waits for the reader), and that line's place is
        // then the print's.
        for (int tries = 0; echo.print("[status] refused as well"); ++tries) {
            ASSERT_LT(tries, 1) << "printed lines got through a full queue";
            accepted.push_back("[status] refused as well");
        }
        ++refused;
        reader.start();
        EXPECT_TRUE(echo.flushFor(10s));
        EXPECT_TRUE(echo.print("[status] after"));
        EXPECT_TRUE(echo.line(at, "INFO", "next"));
        EXPECT_TRUE(echo.flushFor(10s));
    }
    pipe.closeWriteEnd();
    auto lines = linesOf(reader.finish());
    // Leave out the filler the pipe was full of.
    std::erase_if(lines, [](const std::string& line) { return line.empty() || line.starts_with("..."); });

    EXPECT_GE(accepted.size(), capacity);
    EXPECT_LE(accepted.size(), capacity + 1);
    // Every dropped line is counted exactly once, in a notice that has the level and form of a log
    // line and stands right before a line that got through; the last one before the printed line
    // that came after the loss (a printed line has no stamp: the notice takes the moment it came).
    static const std::regex notice(R"(^\S+Z \[ERROR\] ([0-9]+) log lines dropped$)");
    std::vector<std::string> through;
    std::uint64_t counted = 0;
    std::string afterLastNotice;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        if (std::regex_match(lines[i], match, notice)) {
            counted += std::stoull(match[1]);
            ASSERT_LT(i + 1, lines.size());
            EXPECT_FALSE(std::regex_match(lines[i + 1], notice));
            afterLastNotice = lines[i + 1];
        } else {
            through.push_back(lines[i]);
        }
    }
    EXPECT_EQ(counted, refused);
    EXPECT_EQ(afterLastNotice, "[status] after");
    accepted.push_back("[status] after");
    accepted.push_back("2026-05-28T20:26:40Z [INFO] next");
    EXPECT_EQ(through, accepted);
}

TEST(EchoOutput, FlushForReturnsAtItsLimitWhileNobodyReads) {
    Pipe pipe;
    fillUp(pipe.writeEnd());
    PausedReader reader(pipe.readEnd(), 10s);
    {
        EchoOutput echo(pipe.writeEnd());
        EXPECT_TRUE(echo.flushFor(0ms)) << "nothing is queued yet";
        echo.print("waits for the reader");
        const auto before = Clock::now();
        EXPECT_FALSE(echo.flushFor(200ms));
        const auto took = Clock::now() - before;
        EXPECT_GE(took, 195ms);
        EXPECT_LT(took, 1s);
        reader.start();
        EXPECT_TRUE(echo.flushFor(10s));
    }
    pipe.closeWriteEnd();
    EXPECT_TRUE(reader.finish().ends_with("\nwaits for the reader\n"));
}

TEST(EchoOutput, ItsEndIsBoundedWhileNobodyReadsAndWritesNothingAfterwards) {
    Pipe pipe;
    fillUp(pipe.writeEnd());
    Clock::duration took{};
    {
        const auto before = Clock::now();
        {
            EchoOutput echo(pipe.writeEnd());
            echo.print("waits for the reader");
            echo.print("never written");
        }
        took = Clock::now() - before;
    }
    EXPECT_GE(took, EchoOutput::closingLimit - 5ms);
    EXPECT_LT(took, EchoOutput::closingLimit + 1s);
    // The reader comes after all: the write that waited goes through, and the line behind it,
    // which belongs to an echo that is gone, does not. The pipe is closed only once that write
    // has landed, since the echo's thread, let go by the destructor, may still be in it.
    PausedReader reader(pipe.readEnd());
    reader.start();
    ASSERT_TRUE(reader.waitForEnding("\nwaits for the reader\n", 10s));
    pipe.closeWriteEnd();
    const std::string text = reader.finish();
    EXPECT_TRUE(text.ends_with("\nwaits for the reader\n")) << text.substr(text.size() > 100 ? text.size() - 100 : 0);
    EXPECT_EQ(text.find("never written"), std::string::npos);
}

} // namespace
} // namespace varnel
