#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

// The desktop's notification service as the alert uses it: a notification shown or replaced,
// closed, and what the user did with it. A service that fails a call counts as gone until it
// is registered on the bus again.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    // Why a notification closed, as the service says.
    enum class Closed : quint32 { Expired = 1, Dismissed = 2, ByCall = 3, Other = 4 };

    using QObject::QObject;

    // Running, or started by the bus when first called.
    virtual bool Available() const = 0;
    // Whether the service shows actions (buttons) on a notification; asking starts a service
    // that the bus starts on demand.
    virtual bool HasActions() = 0;
    // Shows `body` in place of the notification `replaces` (0: a new one); `actions` are pairs
    // of key and caption. The notification's id, 0 when the service failed.
    virtual quint32 Notify(quint32 replaces, const QString& body, const QStringList& actions) = 0;
    virtual void Close(quint32 id) = 0;

signals:
    void ActionInvoked(quint32 id, const QString& action);
    void NotificationClosed(quint32 id, DesktopNotifications::Closed reason);
    // The service came or went.
    void AvailableChanged();
};

// The freedesktop.org notification service on the session bus, whose coming and going it
// watches; `icon` goes with every notification. None where there is no such bus.
std::unique_ptr<DesktopNotifications> ConnectDesktopNotifications(const QImage& icon);

// Whether the program runs as a native Wayland client, where its own alert cannot stay out of
// the keyboard focus.
bool RunsAsWaylandClient();
