#pragma once

#include "TemporaryDirectory.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/TestSupport.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/Desktop.hpp"

#include <QApplication>
#include <QTest>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace varnel::tray {

// The folders a test's application reads and writes: its own data and runtime folders, so that
// settings, the token and the lock of one test never meet another's or the user's.
class TestFolders {
public:
    TestFolders()
        : data_("XDG_DATA_HOME", (folder_.path() / "data").string()),
          runtime_("XDG_RUNTIME_DIR", (folder_.path() / "runtime").string()) {
        std::filesystem::create_directories(folder_.path() / "data");
        std::filesystem::create_directories(folder_.path() / "runtime");
        std::filesystem::permissions(folder_.path() / "runtime", std::filesystem::perms::owner_all);
    }
    const std::filesystem::path& path() const { return folder_.path(); }

private:
    TemporaryDirectory folder_;
    testing::ScopedEnvironment data_;
    testing::ScopedEnvironment runtime_;
};

// An offer of version 1.2.3, as a heartbeat's reply brings it.
inline VarnelAPIClient::AgentUpdate offer() {
    VarnelAPIClient::AgentUpdate update;
    update.version = "1.2.3";
    update.downloadURL = *parseAbsoluteUrl("https://varnel.example/Varnel-1.2.3.dmg");
    update.sha256 = std::string(64, 'a');
    return update;
}

// Alerts answered from a script (the default button when the script is empty), all recorded.
class RecordingAlerts final : public Alerts {
public:
    int run(const Alert& alert) override {
        shown.push_back(alert);
        if (answers.empty())
            return 0;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<std::string> titles() const {
        std::vector<std::string> result;
        for (const auto& alert : shown)
            result.push_back(alert.title);
        return result;
    }

    std::deque<int> answers;
    std::vector<Alert> shown;
};

class RecordingDesktop final : public Desktop {
public:
    void openUrl(const std::string& url) override { urls.push_back(url); }
    void openPath(const std::filesystem::path& path) override { paths.push_back(path); }
    void setClipboard(const std::string& text) override { clipboard = text; }
    std::optional<pid_t> launchDetached(const std::filesystem::path& program,
                                        const std::vector<std::string>& arguments) override {
        launches.emplace_back(program, arguments);
        return launchSucceeds ? std::optional<pid_t>(1) : std::nullopt;
    }

    std::vector<std::string> urls;
    std::vector<std::filesystem::path> paths;
    std::string clipboard;
    std::vector<std::pair<std::filesystem::path, std::vector<std::string>>> launches;
    bool launchSucceeds = true;
};

// Whether a child of this process has ended and been reaped, by whoever waited for it.
inline bool wasReaped(pid_t child) {
    return ::waitpid(child, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// The wait status of `child` once it has ended, or none when it still runs after `limit`. Woken
// by the end itself (a pidfd).
inline std::optional<int> endOf(pid_t child, std::chrono::milliseconds limit) {
    const Descriptor process(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    if (!process.isOpen())
        return std::nullopt;
    pollfd ended{process.get(), POLLIN, 0};
    if (::poll(&ended, 1, static_cast<int>(limit.count())) != 1)
        return std::nullopt;
    int status = 0;
    if (::waitpid(child, &status, 0) != child)
        return std::nullopt;
    return status;
}

// Runs the Qt event loop until `condition` holds or the time is up.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    return QTest::qWaitFor(condition, static_cast<int>(limit.count()));
}

} // namespace varnel::tray
