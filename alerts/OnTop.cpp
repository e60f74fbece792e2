#include "OnTop.h"

#include <QWidget>

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

// SWP_NOSIZE | SWP_NOMOVE | SWP_NOOWNERZORDER. SWP_NOACTIVATE is left out on purpose: the call
// also activates the window and brings it to the top of its band.
constexpr UINT TopMostFlags = 0x0203;

void PutInBand(QWidget* window, HWND insertAfter) {
    if (!window)
        return;
    // The result is not looked at: a window that cannot be moved stays where it is.
    SetWindowPos(reinterpret_cast<HWND>(window->winId()), insertAfter, 0, 0, 0, 0, TopMostFlags);
}

#else

void PutInBand(QWidget* window, bool onTop) {
    if (!window)
        return;
    const bool visible = window->isVisible();
    if (window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) != onTop) {
        // Changing a window flag hides the window: show it again where it was.
        const QPoint pos = window->pos();
        window->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        if (visible) {
            window->move(pos);
            window->show();
        }
    }
    if (visible) {
        window->raise();
        window->activateWindow();
    }
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
    SetTopMost(window);
    ClearTopMost(window);
#else
    // Here the flag switch would hide and re-show the window, and hiding a dialog ends its
    // modal loop; a plain raise with activation gives the same one-time raise.
    window->raise();
    window->activateWindow();
#endif
}
