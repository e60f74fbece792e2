#include "OnTop.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdio>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN

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

#else

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

#endif

} // namespace

void SetTopMost(QWidget* window) {
#ifdef Q_OS_WIN
    PutInBand(window, HWND_TOPMOST);
#else
    PutInBand(window, true);
#endif
}

void ClearTopMost(QWidget* window) {
#ifdef Q_OS_WIN
    PutInBand(window, HWND_NOTOPMOST);
#else
    PutInBand(window, false);
#endif
}

void BringToFront(QWidget* window) {
    if (!window || !window->isVisible())
        return;
#ifdef Q_OS_WIN
    PutInBand(window, HWND_TOPMOST, RaiseFlags);
    PutInBand(window, HWND_NOTOPMOST, RaiseFlags);
#else
    // Here the flag switch would hide and re-show the window, and hiding a dialog ends its
    // modal loop; a plain raise with activation gives the same one-time raise.
    RaiseWindow(window);
    window->activateWindow();
#endif
}

void RaiseWindow(QWidget* window) {
    const QString platform = QGuiApplication::platformName();
    if (window && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        window->raise();
}

void KeepOutOfFocus(QWidget* window) {
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    Qt::WindowFlags flags = window->windowFlags() | Qt::WindowDoesNotAcceptFocus;
#ifndef Q_OS_WIN
    flags |= Qt::BypassWindowManagerHint;
    // A Wayland compositor places every window itself (the program runs on Xwayland whenever
    // an X display is there): say so once, as the window is made.
    // With DISPLAY set, Xwayland is there: only the chosen platform keeps the program off it.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        std::fputs(qEnvironmentVariableIsEmpty("DISPLAY")
                       ? "Tarnwick: a Wayland window cannot place itself, so the alert appears "
                         "where the compositor puts it rather than at the top-left corner (on "
                         "Xwayland, with DISPLAY set, it can).\n"
                       : "Tarnwick: a Wayland window cannot place itself, so the alert appears "
                         "where the compositor puts it rather than at the top-left corner (unset "
                         "QT_QPA_PLATFORM to run on Xwayland, where it can).\n",
                   stderr);
#endif
    window->setWindowFlags(flags);
}
