// The real program as a process: one instance only, a stale lock taken over, and the orderly
// exit on a signal.
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "support/FixedRandom.h"
#include "support/OrdinaryUser.h"
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
    QString SocketPath() const { return dir.filePath("run/Tarnwick.socket"); }

    void WriteSettings() const {
        Settings settings;
        RecordingDialogs dialogs;
        FixedRandom random;
        SettingsFile(settings, dialogs, random, SettingsPath()).SaveFile();
        QFile::remove(SettingsPath() + ".bak");
    }

    // `changes` replace variables of the usual environment; an empty value removes one.
    std::unique_ptr<QProcess> Start(const QMap<QString, QString>& changes = {}) const {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            if (it.value().isEmpty())
                env.remove(it.key());
            else
                env.insert(it.key(), it.value());
        }
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
        // Listening: from here on a signal ends it in order.
        QVERIFY(WaitFor([&] { return QFile::exists(home.SocketPath()); }, 10000));
        auto second = home.Start();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(second->readAllStandardError(), QByteArray()); // it was answered
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
        QVERIFY(WaitFor([&] { return QFile::exists(home.SocketPath()); }, 10000));
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

    // One program per settings file, whatever runtime folder each start has (another session,
    // su, cron). A runtime folder that is not this user's private one is not used; where no
    // lock can be had at all, the program says so and does not start.
    void oneProgramPerSettingsFile_data() {
        QTest::addColumn<QString>("runtime"); // the first start's runtime folder, below its home
        QTest::addColumn<int>("mode");        // as QFile permissions; -1: missing
        QTest::addColumn<bool>("noLock");     // that folder and the settings folder refuse
        QTest::newRow("another session's runtime folder") << "run2" << 0x7700 << false;
        QTest::newRow("runtime folder others may enter") << "open" << 0x7755 << false;
        QTest::newRow("runtime folder missing") << "missing" << -1 << false;
        QTest::newRow("no lock at all") << "run2" << 0x5500 << true;
    }
    void oneProgramPerSettingsFile() {
        QFETCH(QString, runtime);
        QFETCH(int, mode);
        QFETCH(bool, noLock);
        if (noLock)
            TARNWICK_AS_ORDINARY_USER(); // root would create the locks anyway
        Home home;
        home.WriteSettings();
        const QString folder = home.dir.filePath(runtime);
        if (mode >= 0) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(mode)));
        }
        if (noLock)
            QVERIFY(QFile::setPermissions(home.dir.filePath("config"),
                                          QFile::ReadOwner | QFile::ExeOwner));
        // The fall-back runtime folder lies in this test's own temporary folder.
        auto first = home.Start({{"XDG_RUNTIME_DIR", folder}, {"TMPDIR", home.dir.path()}});
        if (noLock) {
            QVERIFY(first->waitForFinished(10000));
            QCOMPARE(first->exitCode(), 1);
            QVERIFY(first->readAllStandardError().contains("no lock can be taken"));
            return;
        }
        const QString used =
            mode == 0x7700 ? folder : home.dir.filePath(QString("tarnwick-%1").arg(geteuid()));
        QVERIFY(WaitFor([&] { return QFile::exists(used + "/Tarnwick.socket"); }, 10000));
        QVERIFY(QFile::exists(used + "/Tarnwick.lock"));
        QVERIFY(QFile::exists(home.SettingsPath() + ".lock"));
        auto second = home.Start();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(second->readAllStandardError().contains("another Tarnwick works on"));
        QCOMPARE(first->state(), QProcess::Running);
        Signal(*first, SIGTERM);
        QVERIFY(first->waitForFinished(5000));
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
