#pragma once

#include "support/peers/ChildProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// Root reads and writes whatever the permission bits say, and CI runs as root. Tests about
// unreadable files and read-only folders run their row again as an ordinary user instead.
inline bool IsRoot() {
#ifdef Q_OS_UNIX
    return geteuid() == 0;
#else
    return false;
#endif
}

// Runs the current test function and data row of this executable as the user "nobody" and
// waits for it. Empty when it passed, else what went wrong, with the child's output.
inline QString RunRowAsNobody() {
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        return QStringLiteral("setpriv is missing");
    QString test = QString::fromLatin1(QTest::currentTestFunction());
    if (const char* tag = QTest::currentDataTag(); tag && *tag)
        test += QLatin1Char(':') + QString::fromLatin1(tag);
    // A copy of this executable where "nobody" can run it: the build folder may lie in a home
    // that only root can enter.
    QTemporaryDir bin(QStringLiteral("/tmp/tarnwick-nobody-XXXXXX"));
    const QString self = bin.filePath(QStringLiteral("test"));
    if (!bin.isValid() || !QFile::copy(QCoreApplication::applicationFilePath(), self) ||
        !QFile::setPermissions(bin.path(), QFileDevice::Permissions(0x7755)) ||
        !QFile::setPermissions(self, QFileDevice::Permissions(0x7755)))
        return QStringLiteral("cannot copy the test where nobody can run it");
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp")); // a folder nobody can use
    child.setProcessEnvironment(env);
    // What the row starts as nobody ends with it.
    const auto stop = qScopeGuard([&] { StopGroup(child); });
    StartInOwnGroup(child, setpriv,
                    {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                     QStringLiteral("--clear-groups"), QStringLiteral("--"), self, test});
    if (!child.waitForFinished(4 * PeerStartMs))
        return QStringLiteral("the run as nobody did not end:\n") +
               QString::fromLocal8Bit(child.readAll());
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return QStringLiteral("the run as nobody failed:\n") + output;
    if (output.contains(QStringLiteral("SKIP")))
        return QStringLiteral("the run as nobody skipped:\n") + output;
    return {};
}

// As root, runs the current row as "nobody" and ends the test with its outcome; as an ordinary
// user, goes on.
#define TARNWICK_AS_ORDINARY_USER()                                                                \
    do {                                                                                           \
        if (IsRoot()) {                                                                            \
            const QString failure_ = RunRowAsNobody();                                             \
            if (!failure_.isEmpty())                                                               \
                QFAIL(qPrintable(failure_));                                                       \
            return;                                                                                \
        }                                                                                          \
    } while (false)
