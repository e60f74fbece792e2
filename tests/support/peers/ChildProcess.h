#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

// How long a test waits for a peer it started (a display, a window manager, a panel, a server,
// the program's first window) before it gives up: room for a machine with a load of 8 on two
// cores, where a start that takes 0.1 s alone takes seconds. Only a failure waits this long.
constexpr int PeerStartMs = 60000;

// Starts `process` in a process group of its own, which StopGroup() ends with whatever the
// process started in turn, even after the process itself has ended. Should the test process
// die without its destructors, the process follows it.
inline void StartInOwnGroup(QProcess& process, const QString& program, const QStringList& args) {
#ifdef Q_OS_LINUX
    process.setChildProcessModifier([] {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
#endif
    process.start(program, args);
    process.setProperty("group", process.processId());
}

// Ends the group started by StartInOwnGroup(): a request to end first, then a kill for
// whatever is left. Nothing happens when it never started.
inline void StopGroup(QProcess& process, int graceMs = 5000) {
#ifdef Q_OS_LINUX
    const pid_t group = pid_t(process.property("group").toLongLong());
    if (group > 0) {
        ::kill(-group, SIGTERM);
        process.waitForFinished(graceMs);
        ::kill(-group, SIGKILL);
    }
#endif
    process.kill();
    process.waitForFinished(graceMs);
}

// How a peer that should be running has ended, for a failure message: "exited with 1:
// <the end of its error output>", or "still runs".
inline QString HowItEnded(const QProcess& process, const QString& errorFile = {}) {
    QString how = process.exitStatus() == QProcess::CrashExit
                      ? QStringLiteral("was killed")
                      : QStringLiteral("exited with %1").arg(process.exitCode());
    if (process.state() != QProcess::NotRunning)
        how = QStringLiteral("still runs");
    else if (process.error() == QProcess::FailedToStart)
        how = QStringLiteral("did not start (%1)").arg(process.errorString());
    QFile file(errorFile);
    if (!errorFile.isEmpty() && file.open(QIODevice::ReadOnly))
        how += QStringLiteral(": ") + QString::fromLocal8Bit(file.readAll().right(800)).trimmed();
    return how;
}
