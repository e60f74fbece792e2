#pragma once

// What the GUI asks of the platform, besides ExitSignals.h, TrayArea.h, PlatformChoice.h and
// the topmost band of alerts/OnTop.h. How: Unix.cpp and X11.cpp, or Win.cpp, as CMake picks.

#include <QString>
#include <functional>
#include <memory>
#include <qnamespace.h>

class ClockJumps;
class QLocalSocket;
class QObject;

// The kernel's own report of a resume and of the wall clock being set, where it has one;
// else null.
std::unique_ptr<ClockJumps> MakeKernelClockJumps();

// Listens on the local socket at `path`, which only this user may reach, and hands every
// connection to `serve`; at most `maxPending` wait to be taken. The listener, whose end
// removes the socket file; null, with `error` set, when it cannot listen.
std::unique_ptr<QObject> ListenLocally(const QString& path, int maxPending,
                                       std::function<void(QLocalSocket*)> serve, QString& error);

// Whether `runtime` ($XDG_RUNTIME_DIR) may hold the locks and the socket.
bool IsOwnRuntimeFolder(const QString& runtime);
// The name of this user's private folder in the temporary folder, where the runtime folder
// is not to be used.
QString PrivateTempFolderName();

// The window flags that keep a window out of the keyboard focus for good.
Qt::WindowFlags OutOfFocusFlags();
