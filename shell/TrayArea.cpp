#include "TrayArea.h"

#include <QtGlobal>

#ifdef TARNWICK_FREEDESKTOP_TRAY

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <cstdlib>
#include <xcb/xcb.h>

namespace {
// An address of no transport: a connection to it fails at once, without a launch.
constexpr char NoBusAddress[] = "disabled:";
} // namespace

void NeverLaunchSessionBus() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", NoBusAddress);
}

bool HasSessionBus() {
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    return !address.isEmpty() && address != NoBusAddress &&
           QDBusConnection::sessionBus().isConnected();
}

bool StatusNotifierHostRuns() {
    if (!HasSessionBus())
        return false;
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    get.setAutoStartService(false); // only a running panel counts
    const QDBusReply<QDBusVariant> reply =
        QDBusConnection::sessionBus().call(get, QDBus::Block, 1000);
    return reply.isValid() && reply.value().variant().toBool();
}

bool XEmbedTrayRuns() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11)
        return false;
    xcb_connection_t* connection = x11->connection();
    // The selection of the display's default screen: "_NET_SYSTEM_TRAY_S0" for ":1" or ":1.0".
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    const QByteArray screen = dot > display.lastIndexOf(':') ? display.mid(dot + 1) : "0";
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + screen;
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, quint16(name.size()), name.constData()),
        nullptr);
    if (!atom)
        return false;
    const xcb_atom_t selection = atom->atom;
    std::free(atom);
    if (selection == XCB_ATOM_NONE)
        return false; // nobody has ever named it on this display
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owned = owner && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    return owned;
}

#else

void NeverLaunchSessionBus() {}

// Elsewhere the desktop's notification area is always there.
bool HasSessionBus() {
    return false;
}

bool StatusNotifierHostRuns() {
    return false;
}

bool XEmbedTrayRuns() {
    return false;
}

#endif
