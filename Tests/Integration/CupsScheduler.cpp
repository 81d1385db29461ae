#include "CupsScheduler.hpp"

#include "VarnelKit/Transport/LoopbackListener.hpp"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace varnel::integration {

namespace fs = std::filesystem;

pid_t spawnProgram(const std::vector<std::string>& arguments, const std::string& output) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

int waitForProgram(pid_t pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runProgram(const std::vector<std::string>& arguments) {
    return waitForProgram(spawnProgram(arguments, "/dev/null"));
}

CupsScheduler::CupsScheduler() {
    char pattern[] = "/tmp/varnel-cupsd-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("cannot make the scheduler's folder");
    folder_ = pattern;
    socket_ = folder_ + "/cups.sock";
    port_ = testing::closedLoopbackPort();
    for (const char* sub : {"etc/ppd", "spool/tmp", "cache", "state/certs", "log"})
        fs::create_directories(folder_ + "/" + sub);
    writeConfiguration();
    // The backends run as another user and must reach the spool.
    for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
        ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    }
    ::chmod(folder_.c_str(), 0755);

    ::setenv("CUPS_SERVER", socket_.c_str(), 1);
    start();
}

CupsScheduler::~CupsScheduler() {
    stop();
    ::unsetenv("CUPS_SERVER");
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

void CupsScheduler::start() {
    if (pid_ > 0) return;
    pid_ = spawnProgram(
        {"/usr/sbin/cupsd", "-f", "-c", folder_ + "/etc/cupsd.conf", "-s", folder_ + "/etc/cups-files.conf"},
        folder_ + "/log/cupsd.out");
    if (pid_ < 0 || !waitUntilReady()) throw std::runtime_error("the CUPS scheduler did not start:\n" + log());
}

void CupsScheduler::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    waitForProgram(pid_);
    pid_ = -1;
}

void CupsScheduler::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitForProgram(pid_);
    pid_ = -1;
}

void CupsScheduler::reconfigure(std::vector<std::string> extraLines) {
    stop();
    extraLines_ = std::move(extraLines);
    writeConfiguration();
    start();
}

void CupsScheduler::pause() const {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void CupsScheduler::resume() const {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

void CupsScheduler::writeConfiguration() const {
    std::ofstream(folder_ + "/etc/cupsd.conf") << "LogLevel debug\n"
                                                  "MaxLogSize 0\n"
                                                  "Listen 127.0.0.1:"
                                               << port_ << "\nListen " << socket_
                                               << "\n"
                                                  "Browsing Off\n"
                                                  "DefaultAuthType Basic\n"
                                                  "WebInterface No\n"
                                                  "JobRetryInterval 1\n"
                                                  "PreserveJobHistory Yes\n"
                                                  "<Location />\n  Order allow,deny\n  Allow from 127.0.0.1\n"
                                                  "  Allow from @LOCAL\n</Location>\n"
                                                  "<Policy default>\n  <Limit All>\n    Order deny,allow\n"
                                                  "  </Limit>\n</Policy>\n";
    {
        std::ofstream extra(folder_ + "/etc/cupsd.conf", std::ios::app);
        for (const auto& line : extraLines_) extra << line << "\n";
    }
    std::ofstream(folder_ + "/etc/cups-files.conf") << "ServerRoot " << folder_ << "/etc\n"
                                                    << "RequestRoot " << folder_ << "/spool\n"
                                                    << "TempDir " << folder_ << "/spool/tmp\n"
                                                    << "CacheDir " << folder_ << "/cache\n"
                                                    << "StateDir " << folder_ << "/state\n"
                                                    << "AccessLog " << folder_ << "/log/access_log\n"
                                                    << "ErrorLog " << folder_ << "/log/error_log\n"
                                                    << "PageLog " << folder_ << "/log/page_log\n"
                                                    << "SystemGroup root\n"
                                                       "PeerCred on\n"
                                                       "FileDevice Yes\n";
}

bool CupsScheduler::waitUntilReady() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1; // reaped: nothing left to stop
            return false;
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

int CupsScheduler::run(const std::vector<std::string>& arguments) const {
    return waitForProgram(spawnProgram(arguments, folder_ + "/log/tools.out"));
}

std::string CupsScheduler::log() const {
    std::stringstream text;
    for (const char* name : {"/log/cupsd.out", "/log/tools.out", "/log/error_log"}) {
        std::ifstream file(folder_ + name);
        std::string content((std::istreambuf_iterator<char>(file)), {});
        if (content.size() > 4000) content = content.substr(content.size() - 4000);
        text << "== " << name << "\n" << content << "\n";
    }
    return text.str();
}

} // namespace varnel::integration
