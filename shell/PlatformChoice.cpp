#include "PlatformChoice.h"

#include <QByteArray>

void PreferX11Display() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM",
                QByteArrayLiteral("xcb;wayland")); // Wayland only when Xwayland fails
#endif
}
