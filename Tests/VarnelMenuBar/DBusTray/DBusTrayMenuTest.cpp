// The tray on a desktop whose tray host speaks D-Bus (KDE Plasma, GNOME's AppIndicator extension,
// XFCE's plugin): the host draws the menu from the rows the application exports, so the QMenu is
// never visible while the menu is open, and every rebuild gives the rows new ids under the pointer.
#include "DBusTray/StandInTrayHost.hpp"
#include "TraySupport.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"

#include <QSystemTrayIcon>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>

namespace varnel::tray {
namespace {

using namespace std::chrono_literals;

bool hasRow(const std::vector<DBusMenuRow>& rows, const std::string& label) {
    return std::any_of(rows.begin(), rows.end(), [&](const DBusMenuRow& row) { return row.label == label; });
}

// "6 rows, ids 1-6", for the run's output.
std::string summary(const std::vector<DBusMenuRow>& rows) {
    if (rows.empty())
        return "no rows";
    return std::to_string(rows.size()) + " rows, ids " + std::to_string(rows.front().id) + "-" +
           std::to_string(rows.back().id);
}

std::string describe(const std::vector<DBusMenuRow>& rows) {
    std::ostringstream text;
    for (const auto& row : rows) {
        PrintTo(row, &text);
        text << "\n";
    }
    return text.str();
}

TEST(DBusTrayMenu, AnOpenMenuKeepsItsRowsAndAnUnchangedViewRebuildsNothing) {
    // Never the desktop's own bus: only the one that the test's command line starts for it.
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!std::getenv("VARNEL_TEST_SESSION_BUS") || !bus)
        GTEST_SKIP()
            << "no private session bus for a stand-in tray host: ctest starts one with dbus-run-session, "
               "where Debian's dbus is installed";
    TestFolders folders;
    StandInTrayHost host(QString::fromUtf8(bus));
    ASSERT_TRUE(host.isWatching());

    AgentLoop loop;
    loop.startThread();
    AppDelegate::Services services{loop,
                                   std::make_shared<RecordingLogger>(),
                                   nullptr,
                                   std::make_shared<RecordingAlerts>(),
                                   std::make_shared<RecordingDesktop>(),
                                   [] {},
                                   {},
                                   {},
                                   15s,
                                   {}};
    AppDelegate delegate(std::move(services));
    delegate.launch();
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable()) << "Qt did not take the stand-in host for a tray";
    ASSERT_TRUE(waitUntil([&] { return !host.item().isEmpty(); })) << "the icon did not register as an item";
    ASSERT_TRUE(host.attachToMenu());

    // The host opens the menu.
    ASSERT_TRUE(host.aboutToShow());
    ASSERT_TRUE(host.sendEvent(QStringLiteral("opened")));
    const auto opened = host.layout();
    ASSERT_TRUE(opened);
    ASSERT_FALSE(hasRow(*opened, "Update to 1.2.3 now")) << describe(*opened);
    const int updatesWhenOpened = host.layoutUpdates();

    // A new view while it is open: an offer, as a refresh copies it.
    auto update = offer();
    update.notesURL = parseAbsoluteUrl("https://varnel.example/notes/1.2.3");
    delegate.setAvailableUpdateForTesting(update);
    const auto whileOpen = host.layout();
    ASSERT_TRUE(whileOpen);
    std::cout << "open menu: " << summary(*opened) << "; after a view change: " << summary(*whileOpen) << ", "
              << host.layoutUpdates() - updatesWhenOpened << " LayoutUpdated\n";
    EXPECT_EQ(describe(*whileOpen), describe(*opened)) << "rows moved under the pointer";
    EXPECT_EQ(host.layoutUpdates(), updatesWhenOpened);

    // Once it has closed, the menu shows the new view.
    ASSERT_TRUE(host.sendEvent(QStringLiteral("closed")));
    ASSERT_TRUE(waitUntil([&] { return host.layoutUpdates() > updatesWhenOpened; }))
        << "the change that came while the menu was open was never shown";
    const auto closed = host.layout();
    ASSERT_TRUE(closed);
    EXPECT_TRUE(hasRow(*closed, "Update to 1.2.3 now")) << describe(*closed);
    EXPECT_TRUE(hasRow(*closed, "What's new\u2026")) << describe(*closed);

    // A refresh that finds the same view changes nothing the host sees: no new ids and no update.
    const int updatesWhenClosed = host.layoutUpdates();
    delegate.setAvailableUpdateForTesting(update);
    const auto refreshed = host.layout();
    ASSERT_TRUE(refreshed);
    std::cout << "closed menu: " << summary(*closed)
              << "; after a refresh without change: " << summary(*refreshed) << ", "
              << host.layoutUpdates() - updatesWhenClosed << " LayoutUpdated\n";
    EXPECT_EQ(describe(*refreshed), describe(*closed));
    EXPECT_EQ(host.layoutUpdates(), updatesWhenClosed);

    delegate.shutDown(2s);
}

} // namespace
} // namespace varnel::tray
