#include "DBusTray/StandInTrayHost.hpp"

#include "TraySupport.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>
#include <mutex>

namespace varnel::tray {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

// An item of the layout, (ia{sv}av): its id, its properties and its children, each a variant
// holding an item again. Only the root's children are rows; the menu has no submenus.
DBusMenuRow readItem(const QDBusArgument& argument, std::vector<DBusMenuRow>* children) {
    DBusMenuRow row;
    QVariantMap properties;
    argument.beginStructure();
    argument >> row.id >> properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        const auto childRow = readItem(qvariant_cast<QDBusArgument>(child.variant()), nullptr);
        if (children)
            children->push_back(childRow);
    }
    argument.endArray();
    argument.endStructure();
    row.label = properties.value(QStringLiteral("label")).toString().toStdString();
    row.separator = properties.value(QStringLiteral("type")).toString() == QStringLiteral("separator");
    row.enabled = properties.value(QStringLiteral("enabled"), true).toBool();
    return row;
}

} // namespace

// Only what Qt's tray asks of a watcher: whether a host is there, and the item's registration.
class StandInWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)

public:
    bool isStatusNotifierHostRegistered() const { return true; }
    QString item() const {
        const std::lock_guard lock(mutex_);
        return item_;
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) {
        const std::lock_guard lock(mutex_);
        item_ = service;
    }

private:
    mutable std::mutex mutex_;
    QString item_;
};

class LayoutUpdates : public QObject {
    Q_OBJECT

public:
    int count = 0;

public Q_SLOTS:
    void layoutUpdated(uint, int) { ++count; }
};

StandInTrayHost::StandInTrayHost(const QString& busAddress)
    : connection_(QDBusConnection::connectToBus(busAddress, QStringLiteral("varnel-stand-in-tray"))),
      updates_(std::make_unique<LayoutUpdates>()) {
    thread_ = new QThread;
    watcher_ = new StandInWatcher;
    watcher_->moveToThread(thread_);
    thread_->start();
    // Registered from the watcher's own thread, where Qt gives the object its adaptor.
    QMetaObject::invokeMethod(
        watcher_,
        [this] {
            watching_ = connection_.isConnected() &&
                        connection_.registerObject(QStringLiteral("/StatusNotifierWatcher"), watcher_,
                                                   QDBusConnection::ExportAllSlots |
                                                       QDBusConnection::ExportAllProperties) &&
                        connection_.registerService(watcherService);
        },
        Qt::BlockingQueuedConnection);
}

StandInTrayHost::~StandInTrayHost() {
    // Back to this thread once it answers no more, to be deleted here.
    QMetaObject::invokeMethod(
        watcher_,
        [this, here = QThread::currentThread()] {
            connection_.unregisterService(watcherService);
            connection_.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
            watcher_->moveToThread(here);
        },
        Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    delete watcher_;
    delete thread_;
    QDBusConnection::disconnectFromBus(QStringLiteral("varnel-stand-in-tray"));
}

QString StandInTrayHost::item() const {
    return watcher_->item();
}

std::optional<QDBusMessage> StandInTrayHost::call(QDBusMessage message) {
    const QDBusPendingCall pending = connection_.asyncCall(message);
    if (!waitUntil([&] { return pending.isFinished(); }))
        return std::nullopt;
    const QDBusMessage reply = pending.reply();
    if (reply.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return reply;
}

bool StandInTrayHost::attachToMenu() {
    auto get = QDBusMessage::createMethodCall(item(), QStringLiteral("/StatusNotifierItem"),
                                              QStringLiteral("org.freedesktop.DBus.Properties"),
                                              QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
    const auto reply = call(get);
    if (!reply || reply->arguments().isEmpty())
        return false;
    const auto path =
        qvariant_cast<QDBusObjectPath>(qvariant_cast<QDBusVariant>(reply->arguments().front()).variant());
    menuPath_ = path.path();
    if (menuPath_.isEmpty())
        return false;
    return connection_.connect(item(), menuPath_, menuInterface, QStringLiteral("LayoutUpdated"),
                               updates_.get(), SLOT(layoutUpdated(uint, int)));
}

bool StandInTrayHost::aboutToShow() {
    auto message =
        QDBusMessage::createMethodCall(item(), menuPath_, menuInterface, QStringLiteral("AboutToShow"));
    message << 0;
    return call(message).has_value();
}

bool StandInTrayHost::sendEvent(const QString& event) {
    auto message = QDBusMessage::createMethodCall(item(), menuPath_, menuInterface, QStringLiteral("Event"));
    message << 0 << event << QVariant::fromValue(QDBusVariant(QVariant(0))) << 0u;
    return call(message).has_value();
}

std::optional<std::vector<DBusMenuRow>> StandInTrayHost::layout() {
    auto message =
        QDBusMessage::createMethodCall(item(), menuPath_, menuInterface, QStringLiteral("GetLayout"));
    message << 0 << -1 << QStringList();
    const auto reply = call(message);
    if (!reply || reply->arguments().size() < 2)
        return std::nullopt;
    std::vector<DBusMenuRow> rows;
    readItem(qvariant_cast<QDBusArgument>(reply->arguments().at(1)), &rows);
    return rows;
}

int StandInTrayHost::layoutUpdates() const {
    return updates_->count;
}

} // namespace varnel::tray

#include "StandInTrayHost.moc"
