#include "OnTop.h"

#include "shell/platform/Platform.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdio>

void RaiseWindow(QWidget* window) {
    const QString platform = QGuiApplication::platformName();
    if (window && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        window->raise();
}

void KeepOutOfFocus(QWidget* window) {
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    Qt::WindowFlags flags = window->windowFlags() | OutOfFocusFlags();
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
