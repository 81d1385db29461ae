#include "CliFixture.hpp"
#include "VarnelKit/Agent/TemporaryTmpfs.hpp"

#include <stdexcept>
#include <sys/mount.h>
#include <unistd.h>

namespace varnel {
namespace {

using testing::CliFixture;
namespace fs = std::filesystem;

TEST(OptionsTest, AWordDecidesWhetherTheOptionBeforeItIsAFlagOrAValue) {
    struct Case {
        std::vector<std::string> words;
        std::map<std::string, std::string> values;
        std::set<std::string> flags;
    };
    const std::vector<Case> cases{
        {{"--server", "--code", "X"}, {{"code", "X"}}, {"server"}},
        {{"--code"}, {}, {"code"}},
        {{"--lines", "50", "--lines", "20"}, {{"lines", "20"}}, {}},
        {{"extra", "--printer", "cups:A", "more"}, {{"printer", "cups:A"}}, {}},
        {{"--", "x"}, {{"", "x"}}, {}},
        {{"--", "--path"}, {}, {"", "path"}},
        {{"--lines", "-5"}, {{"lines", "-5"}}, {}},
        {{"--path", "--path", "somewhere"}, {{"path", "somewhere"}}, {"path"}},
        {{"--a=b"}, {}, {"a=b"}},
        {{"-h", "x"}, {}, {}},
    };
    for (const auto& c : cases) {
        const CLI::Options options(c.words);
        EXPECT_EQ(options.values, c.values) << ::testing::PrintToString(c.words);
        EXPECT_EQ(options.flags, c.flags) << ::testing::PrintToString(c.words);
    }
}

const std::string usageText = "varnel-agent 1.0.4\n"
                              "\n"
                              "Usage:\n"
                              "  varnel-agent enroll --server <url> --code <VRNL-XXXX-XXXX>\n"
                              "  varnel-agent run [--verbose]\n"
                              "  varnel-agent printers\n"
                              "  varnel-agent test --printer <key> [--language zpl|tspl2]\n"
                              "  varnel-agent status\n"
                              "  varnel-agent doctor\n"
                              "  varnel-agent logout\n"
                              "  varnel-agent logs [--lines 200] [--path] [--reveal]\n"
                              "  varnel-agent selftest\n"
                              "\n"
                              "One agent runs per data folder: while the tray application or another run\n"
                              "runs it, run says so and ends at once with status 1. The other commands\n"
                              "work beside a running agent.\n";

class DispatchTest : public CliFixture {};

TEST_F(DispatchTest, TheCommandWordDecidesUsageUnknownAndFailureWithTheirExitStatus) {
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases{
        {{}, 0, usageText, ""},
        {{"help"}, 0, usageText, ""},
        {{"--help"}, 0, usageText, ""},
        {{"-h", "help", "x"}, 0, usageText, ""},
        {{"Help"}, 2, usageText, "Unknown command: Help\n\n"},
        {{"HELP", "--verbose"}, 2, usageText, "Unknown command: HELP\n\n"},
        {{"--verbose"}, 2, usageText, "Unknown command: --verbose\n\n"},
        {{"enroll", "--code"}, 1, "", "Error: --code VRNL-XXXX-XXXX is required\n"},
        {{"test", "extra"}, 1, "", "Error: --printer <key> is required (see: varnel-agent printers)\n"},
        {{"run", "--verbose"},
         1,
         "",
         "Error: Not enrolled. Run: varnel-agent enroll --server <url> --code <code>\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.words), c.status) << ::testing::PrintToString(c.words);
        EXPECT_EQ(out.str(), c.out) << ::testing::PrintToString(c.words);
        EXPECT_EQ(err.str(), c.err) << ::testing::PrintToString(c.words);
    }
}

TEST_F(DispatchTest, AFailureIsOneErrorLineWithTheSentenceOfWhateverWasThrown) {
    const std::vector<std::pair<std::exception_ptr, std::string>> cases{
        {std::make_exception_ptr(Enrollment::Failure::codeRejected()),
         "Error: " + Enrollment::Failure::codeRejected().description() + "\n"},
        {std::make_exception_ptr(std::runtime_error("disk on fire")), "Error: disk on fire\n"},
        {std::make_exception_ptr(42), "Error: unknown error\n"},
    };
    for (const auto& [failure, line] : cases) {
        enrollmentFailure = failure;
        EXPECT_EQ(run({"enroll", "--code", "VRNL-2345-6789"}), 1);
        EXPECT_EQ(err.str(), line);
        EXPECT_EQ(out.str(), "");
    }
}

// `--help` after a command word is only a flag that nothing reads: `run --help` runs the agent,
// which here stops at the missing token.
TEST_F(DispatchTest, RunWithoutACompleteEnrollmentCreatesNothing) {
    EXPECT_EQ(run({"run"}), 1);
    EXPECT_FALSE(fs::exists(home.varnel() / "Logs")) << "run made a log folder without settings";

    enrollLocally(/*withToken=*/false);
    EXPECT_EQ(run({"run", "--help"}), 1);
    EXPECT_EQ(err.str(), "Error: No token in the Keychain. Re-enroll this Mac.\n");
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(fs::exists(home.varnel() / "Logs"));
}

TEST_F(DispatchTest, LogoutClearsTokenAndSettingsAndCanBeRepeated) {
    enrollLocally();
    for (int time = 0; time < 2; ++time) {
        EXPECT_EQ(run({"logout"}), 0);
        EXPECT_EQ(out.str(), "Credentials cleared. This Mac will need a new enrollment code.\n");
        EXPECT_EQ(err.str(), "");
        EXPECT_FALSE(AgentSettings::load());
        EXPECT_FALSE(CredentialStore::deviceToken().load());
    }
}

// A log-out that could not clear the credential says why and fails: the folder of another user,
// which root reads but changes nothing in, and a file system that no longer takes a change.
TEST_F(DispatchTest, ALogoutThatClearsNothingSaysWhyAndFails) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's folder and a read-only mount need root";
    enrollLocally();
    for (const auto& entry : fs::recursive_directory_iterator(home.root()))
        ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(home.root().c_str(), 65534, 65534), 0);
    EXPECT_EQ(run({"logout"}), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "Error: Varnel will not make or change anything in " + home.varnel().string() +
                             ": it belongs to nobody, not to root. Run it as nobody.\n");
    EXPECT_TRUE(fs::exists(CredentialStore::deviceToken().file()));

    testing::TemporaryTmpfs disk("1m");
    ASSERT_TRUE(disk.mounted());
    testing::ScopedEnvironment onDisk("XDG_DATA_HOME", disk.path().string());
    enrollLocally();
    ASSERT_EQ(::mount("tmpfs", disk.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(run({"logout"}), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "Error: Could not delete " + CredentialStore::deviceToken().file().string() +
                             ": Read-only file system.\n");
    EXPECT_EQ(CredentialStore::deviceToken().load(), "device-token-1");
    ASSERT_EQ(::mount("tmpfs", disk.path().c_str(), nullptr, MS_REMOUNT, nullptr), 0);
}

} // namespace
} // namespace varnel
