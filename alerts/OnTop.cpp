#include "OnTop.h"

#include "shell/platform/Platform.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdio>

bool HasStackingOrder() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void RaiseWindow(QWidget* window) {
    if (window && HasStackingOrder())
        window->raise();
}

void KeepOutOfFocus(QWidget* window) {
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    Qt::WindowFlags flags = window->windowFlags() | OutOfFocusFlags();
    // Qt raises a tool window whenever it shows one, and a platform without a stacking order
    // warns each time: there, with no taskbar to keep it off, it is a plain window.
    if (!HasStackingOrder() && (flags & Qt::WindowType_Mask) == Qt::Tool)
        flags = (flags & ~Qt::WindowType_Mask) | Qt::Window;
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
    window->setWindowFlags(flags);
}
