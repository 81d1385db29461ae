#pragma once

// A desktop's tray as KDE Plasma, GNOME's AppIndicator extension and XFCE's plugin provide it over
// D-Bus: the org.kde.StatusNotifierWatcher with a host registered, so that Qt's tray icon registers
// as a StatusNotifierItem, and the host's side of the menu, which it draws itself from the
// application's com.canonical.dbusmenu.
#include <QDBusConnection>
#include <QString>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

class QThread;

namespace varnel::tray {

// One row of the menu as the host reads it from the layout.
struct DBusMenuRow {
    int id = 0;
    std::string label; // empty for a separator
    bool separator = false;
    bool enabled = true;
};

inline void PrintTo(const DBusMenuRow& row, std::ostream* out) {
    *out << row.id << " " << (row.separator ? "-" : row.label) << (row.enabled ? "" : " (disabled)");
}

class StandInWatcher;
class LayoutUpdates;

class StandInTrayHost {
public:
    // The watcher answers on a thread of its own: Qt asks it with blocking calls from the thread
    // that the application runs on. The host's calls are made from the calling thread and wait on
    // its event loop, so that the application can answer them.
    explicit StandInTrayHost(const QString& busAddress);
    ~StandInTrayHost();
    StandInTrayHost(const StandInTrayHost&) = delete;
    StandInTrayHost& operator=(const StandInTrayHost&) = delete;

    // Whether the watcher's name was taken on the bus.
    bool isWatching() const { return watching_; }
    // The service of the item that registered with the watcher; empty until one has.
    QString item() const;
    // Finds the registered item's menu and follows its LayoutUpdated signal; false when either
    // could not be done.
    bool attachToMenu();

    // What a host does as it opens and closes the menu.
    bool aboutToShow();
    bool sendEvent(const QString& event);
    // The rows under the menu's root; none when the layout could not be read.
    std::optional<std::vector<DBusMenuRow>> layout();
    // LayoutUpdated signals received so far.
    int layoutUpdates() const;

private:
    std::optional<QDBusMessage> call(QDBusMessage message);

    QDBusConnection connection_;
    QThread* thread_ = nullptr;
    StandInWatcher* watcher_ = nullptr;
    std::unique_ptr<LayoutUpdates> updates_;
    QString menuPath_;
    bool watching_ = false;
};

} // namespace varnel::tray
