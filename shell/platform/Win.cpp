// The desktop on Windows: the window stacking of the Win32 API, and Qt's local server (a named
// pipe) for a later start. There are no POSIX signals to catch, and the notification area is
// always there.

#include "Platform.h"

#include "alerts/OnTop.h"
#include "core/ClockJumps.h"
#include "shell/ExitSignals.h"
#include "shell/MailOpener.h"
#include "shell/PlatformChoice.h"
#include "shell/TrayArea.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QWidget>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

void PreferX11Display() {}

void NeverLaunchSessionBus() {}

bool HasSessionBus() {
    return false;
}

bool StatusNotifierHostRuns() {
    return false;
}

bool XEmbedTrayRuns() {
    return false;
}

void InstallExitSignals(QObject*, std::function<void()>) {}

std::unique_ptr<ClockJumps> MakeKernelClockJumps() {
    return nullptr;
}

std::unique_ptr<QObject> ListenLocally(const QString& path, int maxPending,
                                       std::function<void(QLocalSocket*)> serve, QString& error) {
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->setMaxPendingConnections(maxPending);
    if (!server->listen(path)) {
        error = server->errorString();
        return nullptr;
    }
    QLocalServer* listening = server.get();
    QObject::connect(listening, &QLocalServer::newConnection, listening,
                     [listening, serve = std::move(serve)] {
                         while (QLocalSocket* client = listening->nextPendingConnection())
                             serve(client);
                     });
    return server;
}

bool IsOwnRuntimeFolder(const QString& runtime) {
    return !runtime.isEmpty();
}

QString PrivateTempFolderName() {
    return QStringLiteral("tarnwick");
}

namespace {
// SWP_NOSIZE | SWP_NOMOVE | SWP_NOOWNERZORDER: the call also activates the window and brings it
// to the top of its band.
constexpr UINT RaiseFlags = 0x0203;
// The same without activation (SWP_NOACTIVATE): the topmost switch must not take the focus
// from the window the user is typing in.
constexpr UINT TopMostFlags = RaiseFlags | 0x0010;

void PutInBand(QWidget* window, HWND insertAfter, UINT flags = TopMostFlags) {
    if (!window)
        return;
    // The result is not looked at: a window that cannot be moved stays where it is.
    SetWindowPos(reinterpret_cast<HWND>(window->winId()), insertAfter, 0, 0, 0, 0, flags);
}
} // namespace

void SetTopMost(QWidget* window) {
    PutInBand(window, HWND_TOPMOST);
}

void ClearTopMost(QWidget* window) {
    PutInBand(window, HWND_NOTOPMOST);
}

void BringToFront(QWidget* window) {
    if (!window || !window->isVisible())
        return;
    PutInBand(window, HWND_TOPMOST, RaiseFlags);
    PutInBand(window, HWND_NOTOPMOST, RaiseFlags);
}

Qt::WindowFlags OutOfFocusFlags() {
    return Qt::WindowDoesNotAcceptFocus;
}

// The desktop's mail client: the one the user (else the machine) chose under Clients\Mail,
// started by its open command without a link.
std::optional<MailClientCommand> FindMailClient() {
    for (const char* root : {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"}) {
        const QString clients =
            QString::fromLatin1(root) + QStringLiteral("\\Software\\Clients\\Mail");
        const QString name = QSettings(clients, QSettings::NativeFormat).value(".").toString();
        if (name.isEmpty())
            continue;
        const QString command =
            QSettings(QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Clients\\Mail\\") + name +
                          QStringLiteral("\\shell\\open\\command"),
                      QSettings::NativeFormat)
                .value(".")
                .toString();
        QStringList words = QProcess::splitCommand(command);
        if (words.isEmpty())
            continue;
        const QString program = words.takeFirst();
        words.removeAll(QStringLiteral("%1"));
        return MailClientCommand{name, program, words};
    }
    return std::nullopt;
}
