// Screenshots a person can look at: the real VarnelMenuBar under Xvfb, with trayer as the system
// tray, against the test bench: the set-up window after a mistyped code, the menu while connected,
// and the configuration window's printers and activity.
#include "Bench/TestBench.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "XDesktop.hpp"

namespace varnel {
namespace {

using namespace varnel::desktop;
namespace fs = std::filesystem;

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

TEST(TrayScreenshots, TheTrayMenuTheSetUpWindowAndTheConfigurationWindow) {
    ASSERT_FALSE(programPath.empty()) << "usage: TrayDesktopTests <VarnelMenuBar> <picture folder>";
    fs::create_directories(pictureFolder);
    TemporaryDirectory root;
    useFolders(root.path(), testing::TestBench::caFile());
    std::optional<Process> trayer;
    const std::string tray = startTray(trayer);
    ASSERT_FALSE(tray.empty()) << "trayer did not come up";

    testing::TestBenchOptions options;
    options.management.enrollmentCode = "VRNL-2345-6789";
    testing::TestBench bench(options);
    bench.assignPrinters({"Packing desk", "Shipping ZT410"});

    // Not set up yet: the set-up window, with the error a mistyped code gives.
    {
        Process app({programPath});
        ASSERT_TRUE(app.started());
        answerLaunchAlert();
        ASSERT_TRUE(waitUntil([&] { return geometryOf(tray).width() >= 16; }, 10s)) << "no icon in the tray";
        ASSERT_TRUE(openMenu(tray)) << "the menu did not open";
        pressKeys("Down Return"); // Set up Varnel…
        const std::string setup = findWindow("--onlyvisible --name '^Set up Varnel$'");
        ASSERT_FALSE(setup.empty());
        output("xdotool windowfocus " + setup);
        output("xdotool type --delay 20 'VRNL-12'");
        pressKeys("Return");
        QImage picture;
        EXPECT_TRUE(waitUntil([&] { return hasRedText(picture = grab(geometryOf(setup))); }, 10s))
            << "no error shown";
        // 460 wide; its height follows the content.
        save(picture, "tray-setup-error.png", QSize(460, geometryOf(setup).height()));
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

    const std::optional<QRect> opened = openMenu(tray);
    ASSERT_TRUE(opened) << "the menu did not open";
    const QRect menu = *opened;
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
}

} // namespace
} // namespace varnel
