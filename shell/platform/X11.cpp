// The desktop on X11 and its freedesktop.org neighbours: the notification areas (a
// StatusNotifierItem host on the session bus, an XEmbed tray on the X display), Xwayland
// before native Wayland, and the alert as a window the window manager does not manage.

#include "Platform.h"

#include "alerts/OnTop.h"
#include "shell/PlatformChoice.h"
#include "shell/TrayArea.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <xcb/xcb.h>

void PreferX11Display() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM",
                QByteArrayLiteral("xcb;wayland")); // Wayland only when Xwayland fails
}

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

namespace {
// The topmost band is a window flag here, and changing it hides and re-shows the window.
void PutInBand(QWidget* window, bool onTop) {
    if (!window)
        return;
    const bool visible = window->isVisible();
    // A window the window manager does not manage has no band to move between: raised, it
    // is above every managed window.
    const bool unmanaged = window->windowFlags().testFlag(Qt::BypassWindowManagerHint);
    if (!unmanaged && window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) != onTop) {
        // Changing a window flag hides the window: show it again where it was.
        const QPoint pos = window->pos();
        window->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        if (visible) {
            window->move(pos);
            window->show();
        }
    }
    if (visible)
        RaiseWindow(window);
}
} // namespace

void SetTopMost(QWidget* window) {
    PutInBand(window, true);
}

void ClearTopMost(QWidget* window) {
    PutInBand(window, false);
}

void BringToFront(QWidget* window) {
    if (!window || !window->isVisible())
        return;
    // Here the flag switch would hide and re-show the window, and hiding a dialog ends its
    // modal loop; a plain raise with activation gives the same one-time raise.
    RaiseWindow(window);
    window->activateWindow();
}

Qt::WindowFlags OutOfFocusFlags() {
    // Override-redirect: the window stays where the program puts it, above the managed ones.
    return Qt::WindowDoesNotAcceptFocus | Qt::BypassWindowManagerHint;
}
