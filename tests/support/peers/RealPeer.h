#pragma once

#include <QString>
#include <QTest>
#include <type_traits>

// On CI the real peers (a POP3 server, a display with a notification area) must run: a test
// that cannot start one fails there instead of skipping.
inline bool RealPeersMustRun() {
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

// Starts `peer` (anything with a static Unavailable() and a Start(QString*)) or ends the
// test: skipped where it cannot run on this machine, failed where it must run (CI) or where
// it should have started and did not.
#define TARNWICK_START_PEER(peer)                                                                  \
    do {                                                                                           \
        const QString unavailable_ = std::remove_reference_t<decltype(peer)>::Unavailable();       \
        if (!unavailable_.isEmpty()) {                                                             \
            if (RealPeersMustRun())                                                                \
                QFAIL(qPrintable(QStringLiteral("CI must run this test: ") + unavailable_));       \
            QSKIP(qPrintable(unavailable_));                                                       \
        }                                                                                          \
        QString startError_;                                                                       \
        if (!(peer).Start(&startError_))                                                           \
            QFAIL(qPrintable(startError_));                                                        \
    } while (false)
