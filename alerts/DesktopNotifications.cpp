#include "DesktopNotifications.h"

#include "AlertQueue.h"

#include "core/Trace.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QVariantMap>

namespace {
const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString ObjectPath = QStringLiteral("/org/freedesktop/Notifications");
// A service that hangs must not freeze the program for D-Bus's 25 s.
constexpr int CallMs = 3000;
constexpr int StartMs = 10000; // a service the bus starts first

class BusNotifications final : public DesktopNotifications {
    Q_OBJECT

public:
    BusNotifications(const QDBusConnection& bus, const QImage& icon)
        : bus_(bus), watcher_(Service, bus_, QDBusServiceWatcher::WatchForOwnerChange) {
        hints_.insert(QStringLiteral("desktop-entry"), QStringLiteral("tarnwick"));
        hints_.insert(QStringLiteral("image-data"), ImageData(icon));
        connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
            ReadCapabilities();
            emit AvailableChanged();
        });
        connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
            available_ = false;
            emit AvailableChanged();
        });
        // From any sender: ids are the service's own, and only those we were given count.
        // QtDBus takes its slots by name only.
        bus_.connect(QString(), ObjectPath, Service, QStringLiteral("ActionInvoked"), this,
                     SLOT(OnActionInvoked(uint, QString)));
        bus_.connect(QString(), ObjectPath, Service, QStringLiteral("NotificationClosed"), this,
                     SLOT(OnClosed(uint, uint)));
        // Many desktops start their service only when a first notification asks for it.
        if (QDBusConnectionInterface* names = bus_.interface(); !names)
            return;
        else if (names->isServiceRegistered(Service))
            ReadCapabilities();
        else
            startable_ = names->activatableServiceNames().value().contains(Service);
    }

    bool Available() const override { return available_ || startable_; }
    bool HasActions() override {
        Start();
        return capabilities_.contains(QStringLiteral("actions"));
    }

    quint32 Notify(quint32 replaces, const QString& body, const QStringList& actions) override {
        const QString text =
            NotificationBody(body, capabilities_.contains(QStringLiteral("body-markup")));
        Start();
        QDBusMessage call = Call(QStringLiteral("Notify"));
        call << QStringLiteral("Tarnwick") << replaces << QStringLiteral("tarnwick")
             << QStringLiteral("Tarnwick") << text << actions << hints_ << qint32(-1);
        const QDBusReply<uint> reply = bus_.call(call, QDBus::Block, CallMs);
        if (reply.isValid() && reply.value() != 0)
            return reply.value();
        Trace(QStringLiteral("Notify failed: ") + reply.error().message());
        available_ = startable_ = false;
        emit AvailableChanged();
        return 0;
    }

    void Close(quint32 id) override {
        QDBusMessage call = Call(QStringLiteral("CloseNotification"));
        call << id;
        // Waited for: at exit the process ends right after, and a queued call would be lost.
        bus_.call(call, QDBus::Block, CallMs);
    }

private slots:
    void OnActionInvoked(uint id, const QString& action) { emit ActionInvoked(id, action); }
    void OnClosed(uint id, uint reason) {
        emit NotificationClosed(id, reason >= 1 && reason <= 3 ? Closed(reason) : Closed::Other);
    }

private:
    // Only the first call may start the service; once it has gone, it stays gone until it is
    // registered again, instead of being started behind the user's back at every alert.
    QDBusMessage Call(const QString& method, bool start = false) const {
        QDBusMessage call = QDBusMessage::createMethodCall(Service, ObjectPath, Service, method);
        call.setAutoStartService(start);
        return call;
    }

    void Start() {
        if (available_ || !startable_)
            return;
        startable_ = false;
        ReadCapabilities(true);
        if (!available_)
            emit AvailableChanged();
    }

    void ReadCapabilities(bool start = false) {
        const QDBusReply<QStringList> reply = bus_.call(
            Call(QStringLiteral("GetCapabilities"), start), QDBus::Block, start ? StartMs : CallMs);
        available_ = reply.isValid();
        capabilities_ = reply.isValid() ? reply.value() : QStringList();
    }

    // The icon as the "image-data" hint that notification services read: (iiibiiay), RGBA rows.
    static QVariant ImageData(const QImage& icon) {
        const QImage rgba = icon.convertToFormat(QImage::Format_RGBA8888);
        QDBusArgument image;
        image.beginStructure();
        image << rgba.width() << rgba.height() << int(rgba.bytesPerLine()) << true << 8 << 4
              << QByteArray(reinterpret_cast<const char*>(rgba.constBits()), rgba.sizeInBytes());
        image.endStructure();
        return QVariant::fromValue(image);
    }

    QDBusConnection bus_;
    QDBusServiceWatcher watcher_;
    QVariantMap hints_;
    QStringList capabilities_;
    bool available_ = false;
    bool startable_ = false; // not running, but the bus starts it when called
};
} // namespace

std::unique_ptr<DesktopNotifications> ConnectDesktopNotifications(const QImage& icon) {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return nullptr;
    return std::make_unique<BusNotifications>(bus, icon);
}

bool RunsAsWaylandClient() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

#include "DesktopNotifications.moc"
