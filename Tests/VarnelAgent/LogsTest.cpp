#include "CliFixture.hpp"

#include <fstream>
#include <pwd.h>
#include <unistd.h>

namespace varnel {
namespace {

using testing::CliFixture;
namespace fs = std::filesystem;

class LogsTest : public CliFixture {
protected:
    fs::path logFile() const { return home.varnel() / "Logs" / "varnel.log"; }

    void writeLog(const std::string& text) const {
        fs::create_directories(logFile().parent_path());
        std::ofstream(logFile(), std::ios::trunc) << text;
    }

    std::string noLogs() const {
        return "No logs yet at " + logFile().string() + "\nRun the agent, then check again.\n";
    }
};

// The count is of pieces after the last line feed too: n shows n - 1 lines and a blank line.
TEST_F(LogsTest, TheLineCountIsReadLeniently) {
    writeLog("one\ntwo\nthree\n");
    const std::string all = "one\ntwo\nthree\n\n";
    struct Case {
        std::vector<std::string> words;
        std::string out;
    };
    const std::vector<Case> cases{
        {{"logs"}, all},
        {{"logs", "--lines", "0"}, noLogs()},
        {{"logs", "--lines", "1"}, noLogs()},
        {{"logs", "--lines", "2"}, "three\n\n"},
        {{"logs", "--lines", "+3"}, "two\nthree\n\n"},
        {{"logs", "--lines", "-5"}, noLogs()},
        {{"logs", "--lines", "abc"}, all},
        {{"logs", "--lines", "2x"}, all},
        {{"logs", "--lines"}, all},
        {{"logs", "--lines", "50", "--lines", "2"}, "three\n\n"},
        {{"logs", "--path", "somewhere"}, all},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.words), 0) << ::testing::PrintToString(c.words);
        EXPECT_EQ(out.str(), c.out) << ::testing::PrintToString(c.words);
        EXPECT_EQ(err.str(), "");
    }
}

TEST_F(LogsTest, AMissingOrBlankLogSaysThereAreNoLogsYet) {
    EXPECT_EQ(run({"logs"}), 0);
    EXPECT_EQ(out.str(), noLogs());
    writeLog(" \n\t\n\n");
    EXPECT_EQ(run({"logs"}), 0);
    EXPECT_EQ(out.str(), noLogs());
}

TEST_F(LogsTest, PathComesBeforeRevealAndRevealOpensTheFolder) {
    EXPECT_EQ(run({"logs", "--reveal", "--path"}), 0);
    EXPECT_EQ(out.str(), logFile().string() + "\n");
    EXPECT_TRUE(openedFolders.empty());

    EXPECT_EQ(run({"logs", "--reveal"}), 0);
    EXPECT_EQ(out.str(), "Opened " + logFile().parent_path().string() + "\n");
    EXPECT_EQ(openedFolders, std::vector<fs::path>{logFile().parent_path()});
}

std::optional<uid_t> uidWithoutEntry() {
    for (uid_t uid = 60000; uid < 61000; ++uid) {
        if (!::getpwuid(uid))
            return uid;
    }
    return std::nullopt;
}

// Without a home folder there is no log to show: one clear error line, not a crash.
TEST_F(LogsTest, WithoutAHomeFolderTheCommandFailsWithTheReason) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "becoming a user without an entry needs root";
    const auto uid = uidWithoutEntry();
    if (!uid)
        GTEST_SKIP() << "no free uid";
    EXPECT_EXIT(
        {
            ::unsetenv("XDG_DATA_HOME");
            ::setenv("HOME", "relative/home", 1);
            if (::setuid(*uid) != 0)
                std::_Exit(99);
            const int status = run({"logs"});
            std::fputs(err.str().c_str(), stderr);
            std::_Exit(out.str().empty() ? status : 98);
        },
        ::testing::ExitedWithCode(1),
        "^Error: No home folder is set for this user, so Varnel has nowhere to keep its files.\n$");
}

} // namespace
} // namespace varnel
