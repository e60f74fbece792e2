// The real program as a process: one instance only, a stale lock taken over, and the orderly
// exit on a signal.
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "support/FixedRandom.h"
#include "support/RecordingDialogs.h"
#include "support/TestWorld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {
// A home of its own for each program started: configuration and runtime folders.
struct Home {
    Home() {
        QDir(dir.path()).mkpath("config");
        QDir(dir.path()).mkpath("run");
        QFile::setPermissions(dir.filePath("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString SettingsPath() const { return dir.filePath("config/Tarnwick.ini"); }
    QString LockPath() const { return dir.filePath("run/Tarnwick.lock"); }

    void WriteSettings() const {
        Settings settings;
        RecordingDialogs dialogs;
        FixedRandom random;
        SettingsFile(settings, dialogs, random, SettingsPath()).SaveFile();
        QFile::remove(SettingsPath() + ".bak");
    }

    std::unique_ptr<QProcess> Start() const {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        process->setProcessEnvironment(env);
        process->setProgram(QStringLiteral(TARNWICK_BINARY));
        process->start();
        return process;
    }

    QTemporaryDir dir;
};

void Signal(QProcess& process, int signal) {
    ::kill(pid_t(process.processId()), signal);
}
} // namespace

class TestProcess final : public QObject {
    Q_OBJECT
private slots:
    void secondStartEndsAtOnce() {
        Home home;
        home.WriteSettings();
        auto first = home.Start();
        QVERIFY(first->waitForStarted());
        QVERIFY(WaitFor([&] { return QFile::exists(home.LockPath()); }, 10000));
        auto second = home.Start();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);

        // SIGTERM: an orderly exit that saves the settings (and writes the backup).
        Signal(*first, SIGTERM);
        QVERIFY(first->waitForFinished(5000));
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QVERIFY(QFile::exists(home.SettingsPath() + ".bak"));
    }

    void staleLockIsTakenOver() {
        Home home;
        home.WriteSettings();
        auto first = home.Start();
        QVERIFY(WaitFor([&] { return QFile::exists(home.LockPath()); }, 10000));
        Signal(*first, SIGKILL);
        QVERIFY(first->waitForFinished(5000));
        QVERIFY(QFile::exists(home.LockPath())); // left behind by the killed process

        auto next = home.Start();
        QVERIFY(next->waitForStarted());
        QTest::qWait(1000);
        QCOMPARE(next->state(), QProcess::Running);
        Signal(*next, SIGINT);
        QVERIFY(next->waitForFinished(5000));
    }

    void headlessFirstRunTellsStandardError() {
        Home home; // no settings file: the first-run message, where nobody can see a box
        auto process = home.Start();
        QByteArray told;
        QVERIFY(WaitFor(
            [&] {
                told += process->readAllStandardError();
                return told.contains("Have fun!\n");
            },
            10000));
        QTest::qWait(500); // answered at once, the program goes on running
        QCOMPARE(process->state(), QProcess::Running);
        Signal(*process, SIGHUP);
        QVERIFY(process->waitForFinished(5000));
        // The message, and nothing else: no warnings of Qt's.
        told += process->readAllStandardError();
        QCOMPARE(QString::fromLocal8Bit(told),
                 QStringLiteral("Tarnwick: This appears to be the first time you have used this "
                                "program!\nYou can access the setup screen by right-clicking\non "
                                "the icon in the system tray. Have fun!\n"));
        QFile file(home.SettingsPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), 17); // the defaults: the next start shows no first-run message
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
