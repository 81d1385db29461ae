#include "FolderOpener.hpp"

#include "TemporaryDirectory.hpp"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace varnel {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& file) {
    std::ifstream stream(file);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
}

// The opener is started with the folder, detached from the terminal: a session of its own and
// its standard streams on /dev/null.
TEST(FolderOpenerTest, TheOpenerGetsTheFolderInASessionOfItsOwnWithoutTheTerminal) {
    TemporaryDirectory directory;
    const fs::path opener = directory.path() / "opener";
    const fs::path report = directory.path() / "report";
    std::ofstream(opener)
        << "#!/bin/sh\n"
           "streams=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
           "session=$(cut -d' ' -f6 /proc/$$/stat)\n"
           "printf '%s\\n%s\\n%s\\n' \"$1\" \"$streams\" \"$((session - $$))\" > \"$0.part\"\n"
           "mv \"$0.part\" "
        << report.string() << "\n";
    fs::permissions(opener, fs::perms::owner_all);

    ASSERT_TRUE(CLI::openFolder("/var/log/some folder", opener));
    // The opener reports once; nothing else tells when it ran.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(report) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(read(report), "/var/log/some folder\n/dev/null\n/dev/null\n/dev/null\n0\n");

    EXPECT_FALSE(CLI::openFolder("/tmp", directory.path() / "no-such-opener"));
}

} // namespace
} // namespace varnel
