#include "VarnelMenuBar/QtDesktop.hpp"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;

TEST(QtDesktop, AStartedProgramInheritsNoSocketOfThisProcess) {
    // A connection as libraries open theirs, without close-on-exec.
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(socket, 0);
    struct stat info {};
    ASSERT_EQ(::fstat(socket, &info), 0);
    const std::string ours = "socket:[" + std::to_string(info.st_ino) + "]";

    const auto child = QtDesktop().launchDetached("/bin/sleep", {"30"});
    ASSERT_TRUE(child);
    // posix_spawn returns once the program runs, its descriptors settled.
    std::vector<std::string> inherited;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(*child) + "/fd")) {
        std::error_code error;
        const auto target = fs::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:"))
            inherited.push_back(entry.path().filename().string() + " -> " + target);
    }
    EXPECT_EQ(::getsid(*child), *child) << "not in a session of its own";
    ::kill(*child, SIGKILL);
    ::waitpid(*child, nullptr, 0);
    ::close(socket);
    EXPECT_EQ(inherited, std::vector<std::string>()) << "this process's socket is " << ours;
}

} // namespace
} // namespace varnel
