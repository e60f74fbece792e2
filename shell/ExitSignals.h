#pragma once

#include <functional>

class QObject;

// Runs `onSignal` from the event loop when the process receives SIGTERM, SIGINT or SIGHUP,
// so that the program can end in order. Delivered inside nested event loops too (message
// boxes, modal windows). Does nothing where the platform has no such signals.
void InstallExitSignals(QObject* context, std::function<void()> onSignal);
