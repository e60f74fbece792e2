#pragma once

// Which notification areas run on the desktop now, asked of the desktop itself: Qt asks once per
// process, when the first tray icon is made, and keeps that answer for good.

// A D-Bus session bus is there (without one only an XEmbed tray can hold the icon).
bool HasSessionBus();
// A StatusNotifierItem host is registered with the watcher on the session bus.
bool StatusNotifierHostRuns();
// An XEmbed notification area owns the system tray selection of the X display.
bool XEmbedTrayRuns();

// Without a session bus address, libdbus would launch a bus of its own (dbus-launch) the
// first time anything asks for the session bus, and that bus outlives the program. Called
// before the application object exists: where no address is set, it names one that can only
// fail, so that nothing connects to or starts a bus.
void NeverLaunchSessionBus();
