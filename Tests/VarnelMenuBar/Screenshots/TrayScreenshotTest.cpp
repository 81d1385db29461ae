// Screenshots a person can look at: the real VarnelMenuBar under Xvfb, with trayer as the system
// tray, against the test bench. Run through xvfb-run; takes the program's path and the folder for
// the pictures as its arguments. Drives the program as a user does, with xdotool's pointer and
// keys, and grabs the screen through Qt on the same display.
#include "Bench/TestBench.hpp"
#include "TemporaryDirectory.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <QThread>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace varnel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string programPath;
fs::path pictureFolder;

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
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }

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
std::string output(const std::string& command) {
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

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
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
std::string findWindow(const std::string& search) {
    const std::string found = output("timeout 15 xdotool search --sync " + search + " 2>/dev/null");
    return found.substr(0, found.find('\n'));
}

QRect geometryOf(const std::string& window) {
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
std::optional<QRect> visibleMenu() {
    std::istringstream windows(output("xdotool search --onlyvisible --class VarnelMenuBar 2>/dev/null"));
    for (std::string window; std::getline(windows, window);) {
        const QRect geometry = geometryOf(window);
        if (geometry.height() > 60 && geometry.width() > 60)
            return geometry;
    }
    return std::nullopt;
}

QImage grab(const QRect& area) {
    return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

// Not blank: the grey levels vary, as text and borders make them.
double variance(const QImage& image) {
    double sum = 0, squares = 0;
    const double count = double(image.width()) * image.height();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const double grey = qGray(image.pixel(x, y));
            sum += grey;
            squares += grey * grey;
        }
    }
    const double mean = sum / count;
    return squares / count - mean * mean;
}

bool hasRedText(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 110 && c.blue() < 110)
                return true;
        }
    }
    return false;
}

void save(const QImage& image, const std::string& name, QSize expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(image.size(), expected);
    EXPECT_GT(variance(image), 100.0) << "the picture is blank";
    EXPECT_TRUE(image.save(QString::fromStdString((pictureFolder / name).string()), "PNG"));
}

void pressKeys(const std::string& keys) {
    output("xdotool key --clearmodifiers " + keys);
}

// The launch alert comes first and holds every other window until it is answered.
void answerLaunchAlert() {
    const std::string alert = findWindow("--onlyvisible --name '^Varnel$'");
    ASSERT_FALSE(alert.empty()) << "no launch alert";
    output("xdotool windowfocus " + alert);
    pressKeys("Return");
    ASSERT_TRUE(waitUntil([&] { return output("xdotool search --onlyvisible --name '^Varnel$'").empty(); }, 10s));
}

// Clicks the icon in the tray and waits for the menu; gives its place on the screen.
QRect openMenu(const std::string& tray) {
    const QRect slot = geometryOf(tray);
    // At the icon's lower edge, so that the menu opens below the icon rather than over it.
    output("xdotool mousemove " + std::to_string(slot.center().x()) + " " + std::to_string(slot.bottom() - 2) +
           " click 1");
    std::optional<QRect> menu;
    EXPECT_TRUE(waitUntil([&] { return bool(menu = visibleMenu()); }, 10s)) << "the menu did not open";
    return menu.value_or(QRect());
}

TEST(TrayScreenshots, TheTrayMenuTheSetUpWindowAndTheConfigurationWindow) {
    ASSERT_FALSE(programPath.empty()) << "usage: TrayScreenshotTest <VarnelMenuBar> <picture folder>";
    fs::create_directories(pictureFolder);
    TemporaryDirectory root;
    fs::create_directories(root.path() / "run");
    fs::permissions(root.path() / "run", fs::perms::owner_all);
    ::setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root.path() / "config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root.path() / "run").c_str(), 1);
    ::setenv("SSL_CERT_FILE", testing::TestBench::caFile().c_str(), 1);
    // No session bus: Qt then embeds the icon in the XEmbed tray instead of looking for a watcher.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);

    Process trayer({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                    "--transparent", "false", "--tint", "0xd8d8d8", "--SetDockType", "true"});
    ASSERT_TRUE(trayer.started());
    const std::string tray = findWindow("--onlyvisible --class trayer");
    ASSERT_FALSE(tray.empty()) << "trayer did not come up";

    testing::TestBenchOptions options;
    options.management.enrollmentCode = "VRNL-2345-6789";
    testing::TestBench bench(options);
    nlohmann::json assigned = nlohmann::json::array();
    for (const char* name : {"Packing desk", "Shipping ZT410"}) {
        const auto& printer = bench.addPrinter();
        assigned.push_back({{"key", printer.key()},
                            {"name", name},
                            {"transport", "network"},
                            {"language", "zpl"},
                            {"address", "127.0.0.1:" + std::to_string(printer.port())}});
    }
    bench.management().setAssignedPrinters(assigned);

    // Not set up yet: the set-up window, with the error a mistyped code gives.
    {
        Process app({programPath});
        ASSERT_TRUE(app.started());
        answerLaunchAlert();
        ASSERT_TRUE(waitUntil([&] { return geometryOf(tray).width() >= 16; }, 10s)) << "no icon in the tray";
        openMenu(tray);
        pressKeys("Down Return"); // Set up Varnel…
        const std::string setup = findWindow("--onlyvisible --name '^Set up Varnel$'");
        ASSERT_FALSE(setup.empty());
        output("xdotool windowfocus " + setup);
        output("xdotool type --delay 20 'VRNL-12'");
        pressKeys("Return");
        QImage picture;
        EXPECT_TRUE(waitUntil([&] { return hasRedText(picture = grab(geometryOf(setup))); }, 10s))
            << "no error shown";
        // The whole window, nothing of it cut off.
        save(picture, "tray-setup-error.png", geometryOf(setup).size());
        EXPECT_EQ(app.stop(), 0);
    }

    // Set up and connected, with two printers.
    bench.agentSettings().save();
    CredentialStore::deviceToken().save(bench.token());
    Process app({programPath});
    ASSERT_TRUE(app.started());
    answerLaunchAlert();
    ASSERT_TRUE(bench.management().waitFor(
        [](const auto& s) { return !s.printerSyncs.empty() && s.printerSyncs.back()["printers"].size() == 2; },
        20000ms));
    ASSERT_TRUE(bench.pusher().waitFor([](const auto& s) { return !s.subscriptions.empty(); }, 20000ms));

    const QRect menu = openMenu(tray);
    const QRect shown = menu.united(geometryOf(tray)).adjusted(-12, -4, 12, 12) & QRect(0, 0, 1024, 768);
    save(grab(shown), "tray-menu.png", shown.size());

    pressKeys("Up Up Up Return"); // Open Varnel…, above the dashboard and Quit
    const std::string window = findWindow("--onlyvisible --name '^Varnel$'");
    ASSERT_FALSE(window.empty()) << "the configuration window did not open";
    const QRect frame = geometryOf(window);
    QImage printers;
    // A window just mapped is blank until it has painted.
    EXPECT_TRUE(waitUntil([&] { return variance(printers = grab(frame)) > 100.0; }, 10s));
    save(printers, "tray-configuration-printers.png", QSize(720, 520));

    output("xdotool windowfocus " + window);
    pressKeys("ctrl+Tab"); // Activity
    QImage activity;
    EXPECT_TRUE(waitUntil([&] { return (activity = grab(frame)) != printers; }, 10s)) << "the tab did not change";
    save(activity, "tray-configuration-activity.png", QSize(720, 520));

    EXPECT_EQ(app.stop(), 0);
    trayer.stop();
}

} // namespace
} // namespace varnel

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication application(argc, argv);
    if (argc >= 3) {
        varnel::programPath = argv[1];
        varnel::pictureFolder = argv[2];
    }
    return RUN_ALL_TESTS();
}
