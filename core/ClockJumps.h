#pragma once

#include <QObject>

// Tells when the wall clock moved in a way the event loop's timers did not follow: the
// system woke from suspend (the timers stood still while it slept) or the time was set.
// Whoever waits for a moment of the wall clock looks again then. The program hands in the
// platform's source; tests emit `Jumped` themselves.
class ClockJumps : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void Jumped();
};
