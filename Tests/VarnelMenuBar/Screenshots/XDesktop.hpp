#pragma once

// Driving the real VarnelMenuBar on an X display (Xvfb, with trayer as the tray host) as a user
// does: xdotool's pointer and keys, and screen grabs through Qt on the same display.
#include "TemporaryDirectory.hpp"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <QThread>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

extern char** environ;

namespace varnel::desktop {

using namespace std::chrono_literals;

// Set by main from the arguments: the program to drive and the folder for pictures.
inline std::string programPath;
inline std::filesystem::path pictureFolder;

// A program the test starts and stops by its process id.
class Process {
public:
    explicit Process(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    Process() = default;
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }

    // True once the program has ended by itself; its status is then kept.
    bool exited() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == 0)
            return pid_ <= 0;
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    // Stops a program this process did not start but reaps as its subreaper.
    static int stopOther(pid_t pid) {
        Process other;
        other.pid_ = pid;
        return other.stop();
    }

    // SIGTERM, then the exit status; SIGKILL after `limit`.
    int stop(std::chrono::milliseconds limit = 5s) {
        if (pid_ <= 0)
            return status_;
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            QThread::msleep(20);
        }
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a command line and gives its standard output, trimmed of the last line break.
inline std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        ::pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QGuiApplication::processEvents();
        QThread::msleep(50);
    }
    return true;
}

// The first window xdotool finds for a search, waiting up to 15 s; empty when none came.
inline std::string findWindow(const std::string& search) {
    const std::string found = output("timeout 15 xdotool search --sync " + search + " 2>/dev/null");
    return found.substr(0, found.find('\n'));
}

inline QRect geometryOf(const std::string& window) {
    // --shell prints WINDOW=, X=, Y=, WIDTH=, HEIGHT=, SCREEN= lines.
    std::istringstream lines(output("xdotool getwindowgeometry --shell " + window));
    int x = 0, y = 0, width = 0, height = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string name = line.substr(0, equals);
        const int value = std::atoi(line.c_str() + equals + 1);
        if (name == "X") x = value;
        if (name == "Y") y = value;
        if (name == "WIDTH") width = value;
        if (name == "HEIGHT") height = value;
    }
    return QRect(x, y, width, height);
}

// The application's visible window that is neither the icon nor a window already known: the menu.
inline std::optional<QRect> visibleMenu() {
    std::istringstream windows(output("xdotool search --onlyvisible --class VarnelMenuBar 2>/dev/null"));
    for (std::string window; std::getline(windows, window);) {
        const QRect geometry = geometryOf(window);
        if (geometry.height() > 60 && geometry.width() > 60)
            return geometry;
    }
    return std::nullopt;
}

inline QImage grab(const QRect& area) {
    return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

inline void pressKeys(const std::string& keys) {
    output("xdotool key --clearmodifiers " + keys);
}

// Asks a window to close, as a window manager's close button does (WM_DELETE_WINDOW): Xvfb has no
// window manager, and xdotool of this release only destroys windows.
inline bool closeWindow(const std::string& window) {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const auto atom = [connection](const char* name) {
        const auto cookie =
            xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
        const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return found;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = static_cast<xcb_window_t>(std::stoul(window));
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    // A request whose answer comes only once the server has handled every request before it: an X
    // server that finds a client gone when it wakes drops what that client sent last, unread, and
    // on a busy machine it wakes late. xcb_disconnect waits for nothing.
    xcb_generic_error_t* error = nullptr;
    xcb_get_input_focus_reply_t* handled =
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), &error);
    const bool sent = handled != nullptr;
    std::free(handled);
    std::free(error);
    xcb_disconnect(connection);
    return sent;
}

// The launch alert comes first and holds every other window until it is answered.
inline void answerLaunchAlert() {
    const std::string alert = findWindow("--onlyvisible --name '^Varnel$'");
    ASSERT_FALSE(alert.empty()) << "no launch alert";
    output("xdotool windowfocus " + alert);
    pressKeys("Return");
    ASSERT_TRUE(waitUntil([&] { return output("xdotool search --onlyvisible --name '^Varnel$'").empty(); }, 10s));
}

// Clicks the icon in the tray and waits for the menu; gives its place on the screen, none when
// it did not open.
inline std::optional<QRect> openMenu(const std::string& tray) {
    const QRect slot = geometryOf(tray);
    // At the icon's lower edge, so that the menu opens below the icon rather than over it.
    output("xdotool mousemove " + std::to_string(slot.center().x()) + " " + std::to_string(slot.bottom() - 2) +
           " click 1");
    std::optional<QRect> menu;
    waitUntil([&] { return bool(menu = visibleMenu()); }, 10s);
    return menu;
}

// Fresh data, configuration and runtime folders for the programs this process starts, TLS
// against the test authority, and no session bus: Qt then embeds the icon in the XEmbed tray
// instead of looking for a watcher.
inline void useFolders(const std::filesystem::path& root, const std::filesystem::path& authority) {
    namespace fs = std::filesystem;
    fs::create_directories(root / "run");
    fs::permissions(root / "run", fs::perms::owner_all);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    ::setenv("SSL_CERT_FILE", authority.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
}

// trayer as the tray host along the top edge; gives its visible window, empty when it did not come.
inline std::string startTray(std::optional<Process>& trayer) {
    trayer.emplace(std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                            "--height", "24", "--transparent", "false", "--tint", "0xd8d8d8",
                                            "--SetDockType", "true"});
    if (!trayer->started())
        return {};
    return findWindow("--onlyvisible --class trayer");
}

} // namespace varnel::desktop
