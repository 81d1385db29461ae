// The real VarnelMenuBar under Xvfb with no tray host, as on GNOME without an extension: its window
// opens at launch and shows the enrolled computer as soon as it is connected; once the window is
// closed, starting the program again brings it back, and the second copy ends at once.
#include "Bench/TestBench.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "XDesktop.hpp"

#include <cstdint>

namespace varnel {
namespace {

using namespace varnel::desktop;

// The configuration window is 720 × 520 the first time; the launch alert, also titled "Varnel", is
// smaller.
const QSize windowSize(720, 520);

std::vector<std::string> visibleVarnelWindows() {
    std::vector<std::string> windows;
    std::istringstream found(output("xdotool search --onlyvisible --name '^Varnel$' 2>/dev/null"));
    for (std::string window; std::getline(found, window);)
        windows.push_back(window);
    return windows;
}

// The visible window titled "Varnel" of the given size (or of any other size), empty when none.
std::string varnelWindow(bool configuration) {
    for (const auto& window : visibleVarnelWindows()) {
        if ((geometryOf(window).size() == windowSize) == configuration)
            return window;
    }
    return {};
}

// The header's status dot in the connected colour.
bool showsConnected(const QImage& image) {
    for (int y = 0; y < std::min(image.height(), 80); ++y) {
        for (int x = 0; x < std::min(image.width(), 80); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - 127) <= 2 && std::abs(c.green() - 168) <= 2 &&
                std::abs(c.blue() - 10) <= 2)
                return true;
        }
    }
    return false;
}

TEST(TrayWithoutTray, TheWindowShowsTheConnectedComputerAndASecondStartBringsItBack) {
    ASSERT_FALSE(programPath.empty()) << "usage: TrayDesktopTests <VarnelMenuBar> <picture folder>";
    std::filesystem::create_directories(pictureFolder);
    TemporaryDirectory root;
    useFolders(root.path(), testing::TestBench::caFile());

    testing::TestBench bench;
    bench.assignPrinters({"Packing desk", "Shipping ZT410"});
    bench.agentSettings().save();
    CredentialStore::deviceToken().save(bench.token());

    const auto launched = std::chrono::steady_clock::now();
    Process first({programPath});
    ASSERT_TRUE(first.started());
    std::string window;
    QImage picture;
    const bool connected = waitUntil(
        [&] {
            window = varnelWindow(true);
            return !window.empty() && showsConnected(picture = grab(geometryOf(window)));
        },
        3s);
    const auto shownAfter =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - launched);
    ASSERT_TRUE(connected) << (window.empty() ? "no window at launch"
                                              : "the window does not show the connection");
    std::cout << "the window showed the connected computer " << shownAfter.count()
              << " ms after the launch\n";
    EXPECT_TRUE(
        picture.save(QString::fromStdString((pictureFolder / "tray-without-tray.png").string()), "PNG"));

    // The launch alert, then the window closed as a window manager's close button closes it.
    const std::string alert = varnelWindow(false);
    ASSERT_FALSE(alert.empty()) << "no launch alert";
    output("xdotool windowfocus " + alert);
    pressKeys("Return");
    ASSERT_TRUE(waitUntil([] { return varnelWindow(false).empty(); }, 10s));
    ASSERT_TRUE(closeWindow(window));
    ASSERT_TRUE(waitUntil([] { return visibleVarnelWindows().empty(); }, 10s)) << "the window did not close";

    const auto started = std::chrono::steady_clock::now();
    Process second({programPath});
    ASSERT_TRUE(second.started());
    const bool ended = waitUntil([&] { return second.exited(); }, 2s);
    const auto secondTook =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    ASSERT_TRUE(ended) << "the second start did not end by itself";
    std::cout << "the second start ended after " << secondTook.count() << " ms\n";
    EXPECT_EQ(second.stop(), 0);
    EXPECT_TRUE(waitUntil([] { return !varnelWindow(true).empty(); }, 5s))
        << "the running copy showed no window";
    EXPECT_FALSE(first.exited()) << "the running copy ended";
    EXPECT_EQ(first.stop(), 0);
}

} // namespace
} // namespace varnel
