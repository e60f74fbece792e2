#include "DesktopNotifications.h"

// Outside the freedesktop.org desktops there is no such service: the alert window it is.
std::unique_ptr<DesktopNotifications> ConnectDesktopNotifications(const QImage&) {
    return nullptr;
}

bool RunsAsWaylandClient() {
    return false;
}
