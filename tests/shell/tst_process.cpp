// The real program as a process: one instance only, a stale lock taken over, and the orderly
// exit on a signal.
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "support/TestWorld.h"
#include "support/doubles/FixedRandom.h"
#include "support/doubles/RecordingDialogs.h"
#include "support/peers/OrdinaryUser.h"
#include "support/peers/ProgramHome.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <vector>

namespace {
// A home of its own for each program started.
struct Home : ProgramHome {
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
    // `fileLimit`: the most descriptors the program may have open, when not 0.
    std::unique_ptr<QProcess> Start(const QMap<QString, QString>& changes = {},
                                    rlim_t fileLimit = 0,
                                    const QString& binary = TARNWICK_BINARY) const {
        auto process = std::make_unique<QProcess>();
        if (fileLimit)
            process->setChildProcessModifier([fileLimit] {
                const rlimit limit{fileLimit, fileLimit};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        QProcessEnvironment env = Environment(QProcessEnvironment::systemEnvironment());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            if (it.value().isEmpty())
                env.remove(it.key());
            else
                env.insert(it.key(), it.value());
        }
        process->setProcessEnvironment(env);
        process->setProgram(binary);
        process->start();
        return process;
    }
};

void Signal(QProcess& process, int signal) {
    ::kill(pid_t(process.processId()), signal);
}

// The program's resident memory in KiB.
qint64 ResidentKiB(const QProcess& process) {
    QFile status(QString("/proc/%1/status").arg(process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// No core may be written: it would hold the passwords.
bool WritesNoCore(const QProcess& process) {
    QFile limits(QString("/proc/%1/limits").arg(process.processId()));
    return limits.open(QIODevice::ReadOnly) &&
           QString::fromLatin1(limits.readAll())
               .contains(QRegularExpression("Max core file size +0 +0 "));
}

// A client of the program's socket, with the system's calls alone: nothing buffered here.
struct RawClient {
    explicit RawClient(const QString& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        connected =
            fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawClient() { ::close(fd); }
    // Whether the program hung up within `ms`.
    bool HungUp(int ms) const {
        pollfd p{fd, POLLIN, 0};
        char byte = 0;
        return ::poll(&p, 1, ms) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = false;
};
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
        QVERIFY(WritesNoCore(*first));
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
        // Killed before it had written its id: an empty lock, which is stale as well.
        QFile settingsLock(home.SettingsPath() + ".lock");
        QVERIFY(settingsLock.open(QIODevice::ReadWrite | QIODevice::Truncate));
        QVERIFY(settingsLock.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                         QFileDevice::FileModificationTime));
        settingsLock.close();

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
        QVERIFY(WritesNoCore(*first));
        auto second = home.Start();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(second->readAllStandardError().contains("another Tarnwick works on"));
        QCOMPARE(first->state(), QProcess::Running);
        Signal(*first, SIGTERM);
        QVERIFY(first->waitForFinished(5000));
    }

    // The socket stays small and answering: a request without end, a silent client and
    // more clients than the program has descriptors for are hung up on, the socket stays,
    // and a later start still reaches the program.
    void socketUnderAbuse_data() {
        QTest::addColumn<QString>("abuse");
        QTest::newRow("long request") << "long";
        QTest::newRow("silent client") << "silent";
        QTest::newRow("many clients, few descriptors") << "many";
    }
    void socketUnderAbuse() {
        QFETCH(QString, abuse);
        Home home;
        home.WriteSettings();
        // A dozen descriptors are the program's own (more under the sanitizers), and its check
        // takes a log and a connection; a few more are all it gets.
        auto first = home.Start({}, abuse == "many" ? 24 : 0);
        QVERIFY(WaitFor([&] { return QFile::exists(home.SocketPath()); }, 10000));
        const qint64 before = ResidentKiB(*first);
        if (abuse == "long") {
            RawClient client(home.SocketPath());
            QVERIFY(client.connected);
            const QByteArray chunk(1 << 20, 'x');
            qint64 sent = 0;
            while (sent < (256 << 20) &&
                   ::send(client.fd, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL) > 0)
                sent += chunk.size();
            QVERIFY2(sent < (16 << 20), qPrintable(QString::number(sent)));
        } else if (abuse == "silent") {
            RawClient client(home.SocketPath());
            QVERIFY(client.connected);
            QVERIFY(client.HungUp(10000));
        } else {
            std::vector<std::unique_ptr<RawClient>> clients;
            for (int i = 0; i < 200; ++i)
                clients.push_back(std::make_unique<RawClient>(home.SocketPath()));
            for (const auto& client : clients)
                QVERIFY(!client->connected || client->HungUp(10000));
        }
        QVERIFY(ResidentKiB(*first) < before + 16 * 1024);
        QVERIFY(QFile::exists(home.SocketPath()));
        QVERIFY(WritesNoCore(*first));
        auto second = home.Start();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->readAllStandardError(), QByteArray()); // it was answered
        QCOMPARE(first->state(), QProcess::Running);
        Signal(*first, SIGTERM);
        QVERIFY(first->waitForFinished(5000));
        QVERIFY(!QFile::exists(home.SocketPath()));
    }

    // Files another user could have planted beside the settings are refused, each said once,
    // and a FIFO among them does not hang the start.
    void plantedFilesAreRefused() {
        Home home;
        home.WriteSettings();
        const QString config = QFileInfo(home.SettingsPath()).absolutePath();
        QCOMPARE(mkfifo(QFile::encodeName(config + "/Tarnwick.options").constData(), 0600), 0);
        QFile ca(config + "/Tarnwick-ca.pem");
        QVERIFY(ca.open(QIODevice::WriteOnly) && ca.write("-----BEGIN CERTIFICATE-----\n") > 0);
        ca.close();
        QVERIFY(ca.setPermissions(ca.permissions() | QFileDevice::WriteOther));
        QVERIFY(QFile::setPermissions(config, QFileDevice::Permissions(0x7777)));
        auto process = home.Start();
        QVERIFY(WaitFor([&] { return QFile::exists(home.SocketPath()); }, 10000));
        Signal(*process, SIGTERM);
        QVERIFY(process->waitForFinished(5000));
        const QString told = QString::fromLocal8Bit(process->readAllStandardError());
        const QStringList expected = {
            "Tarnwick: the settings folder " + config +
                " is not private: others than its owner may write to it",
            "Tarnwick: " + config + "/Tarnwick.options is not used: it is not a regular file",
            "Tarnwick: " + config +
                "/Tarnwick-ca.pem is not used: others than its owner may write to it"};
        QCOMPARE(told.split('\n', Qt::SkipEmptyParts), expected);
    }

    // A headless run that shows an error alert: no warning of Qt's that it cannot raise it.
    void headlessAlertSaysNothingElse() {
        Home home;
        Settings settings;
        settings.ShowErrors = true;
        AddUser(settings, MakeUser("Home", "alice", "127.0.0.1:1", "secret")); // refused
        WriteSettingsFile(settings, home.SettingsPath());
        const QString binary = home.dir.filePath("bin/tarnwick"); // its logs beside it
        QVERIFY(QFile::copy(QStringLiteral(TARNWICK_BINARY), binary));
        auto process = home.Start({{"QT_LOGGING_RULES", "tarnwick.trace=true"}}, 0, binary);
        QByteArray told;
        QVERIFY(WaitFor(
            [&] {
                told += process->readAllStandardError();
                return told.contains("frmAlert ShowAlert: Error with Home");
            },
            20000));
        QTest::qWait(500); // the slide
        Signal(*process, SIGHUP);
        QVERIFY(process->waitForFinished(5000));
        told += process->readAllStandardError();
        QVERIFY2(!told.contains("does not support"), told.constData());
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
