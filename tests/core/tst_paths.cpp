// Where an installed program keeps its logs, how a failed log is told, and how the login
// entry names the program.
#include "check/Logs.h"
#include "core/Autostart.h"
#include "core/Clock.h"
#include "core/Options.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "support/TestWorld.h"
#include "support/peers/OrdinaryUser.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QByteArray TestReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestPaths final : public QObject {
    Q_OBJECT
private slots:
    // The choices beside the settings file: kept across a save and a load, the defaults from a
    // missing or foreign file, and a line of a newer version skipped without losing the rest.
    void optionsKeptBesideTheSettings() {
        QTemporaryDir dir;
        const QString file = dir.filePath("Tarnwick.options");
        QCOMPARE(Options::Load(file), Options());
        const Options both{.KeyringPasswords = true, .DesktopNotifications = true};
        QCOMPARE(both.Save(file), QString());
        QCOMPARE(Options::Load(file), both);
        QFile edited(file);
        QVERIFY(edited.open(QIODevice::WriteOnly));
        edited.write("Newer=1\nKeyringPasswords = 1\nDesktopNotifications=yes\n\xff\xfe=1");
        edited.close();
        QCOMPARE(Options::Load(file), Options{.KeyringPasswords = true});

        // Refused, not read, and said so: a file others may change, another user's. (A FIFO,
        // which would block the start, is the process test's plantedFilesAreRefused.)
        const auto refusal = [&file] {
            QString refused;
            return Options::Load(file, &refused) == Options() ? refused : QString("read");
        };
        const QFileDevice::Permissions own = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        QVERIFY(QFile::setPermissions(file, own | QFileDevice::WriteGroup));
        QCOMPARE(refusal(), "others than its owner may write to it");
        QVERIFY(QFile::setPermissions(file, own));
        if (IsRoot()) {
            QCOMPARE(QProcess::execute("chown", {"nobody", file}), 0);
            QCOMPARE(refusal(), "it belongs to another user");
        }
    }
    // Beside a program in a build folder; in the state folder for one that is installed (also
    // when root could write there) or lies where the user may not write.
    // Nor in a folder others may write to, where they could plant a log.
    void logFolder() {
        QTemporaryDir dir;
        const QString state = dir.filePath("state");
        QCOMPARE(LogFolder(dir.path(), state), dir.path());
        for (const char* folder : {"/usr/local/bin", "/nonexistent/bin", "/tmp"})
            QCOMPARE(LogFolder(folder, state), state + "/Tarnwick");
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7770)));
        QCOMPARE(LogFolder(dir.path(), state), state + "/Tarnwick");
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7700)));
        if (IsRoot()) {
            QVERIFY(QProcess::execute("chown", {"nobody", dir.path()}) == 0);
            QCOMPARE(LogFolder(dir.path(), state), state + "/Tarnwick");
            QProcess::execute("chown", {"root", dir.path()});
        }
    }

    // Relative XDG folders are ignored, and without HOME the password database names the home.
    void oddEnvironments() {
        const QByteArray home = qgetenv("HOME"), config = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", "/home/someone");
        qputenv("XDG_CONFIG_HOME", "relative/config");
        QCOMPARE(ConfigHome(), QString("/home/someone/.config"));
        QCOMPARE(DefaultSettingsFile(), QString("/home/someone/.config/Tarnwick.ini"));
        qputenv("XDG_CONFIG_HOME", "/elsewhere/config/");
        QCOMPARE(ConfigHome(), QString("/elsewhere/config"));
        qunsetenv("HOME");
        const passwd* entry = getpwuid(geteuid());
        QVERIFY(entry);
        QCOMPARE(HomeFolder(), QDir::cleanPath(QString::fromLocal8Bit(entry->pw_dir)));
        qputenv("HOME", home);
        config.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", config);
    }

    // A log that someone else put there (a link to a file of the user's, a FIFO, a file of
    // another user's) is never written, nothing waits on it, and it is told once.
    void plantedLogsAreNotWritten_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("why");
        QTest::newRow("symbolic link")
            << "link"
            << "it is a symbolic link, and no log is written through one";
        QTest::newRow("FIFO") << "fifo"
                              << "it is not a regular file";
        QTest::newRow("another user's file") << "other"
                                             << "it belongs to another user";
    }
    void plantedLogsAreNotWritten() {
        QFETCH(QString, kind);
        QFETCH(QString, why);
        if (kind == "other" && !IsRoot())
            QSKIP("only root can give a file to another user");
        QTemporaryDir dir;
        const QString target = dir.filePath("bashrc");
        const QByteArray before = "alias ls='ls -F'\n";
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        file.close();
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", "127.0.0.1", "pw"));
        ManualClock clock;
        MailboxStates states;
        CheckLogs logs(settings, states, clock, dir.path());
        for (const QString& log : {logs.ErrLogPath(), logs.StatLogPath()}) {
            if (kind == "link")
                QVERIFY(QFile::link(target, log));
            else if (kind == "fifo")
                QVERIFY(mkfifo(QFile::encodeName(log).constData(), 0600) == 0);
            else
                QVERIFY(QFile::copy(target, log) &&
                        QProcess::execute("chown", {"nobody", log}) == 0 &&
                        QFile::setPermissions(log, QFileDevice::Permissions(0x6666)));
        }
        QStringList told;
        logs.SetFailureReport([&told](const QString& text) { told << text; });
        for (int i = 0; i < 2; ++i) {
            logs.DoError("-ERR $(rm -rf ~)", 0, 2);
            logs.AppendStat("alice", "+OK 1 1\r\n", "1", 1);
        }
        QCOMPARE(told, QStringList({"Cannot write " + logs.ErrLogPath() + ": " + why,
                                    "Cannot write " + logs.StatLogPath() + ": " + why}));
        QCOMPARE(TestReadAll(target), before);
        if (kind == "other")
            QCOMPARE(TestReadAll(logs.ErrLogPath()), before);
    }

    // Every log that cannot be written is told once a run, with its path and why; the check
    // goes on.
    void unwritableLogToldOnce() {
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", "127.0.0.1", "pw"));
        ManualClock clock;
        MailboxStates states;
        CheckLogs logs(settings, states, clock, "/nonexistent/Tarnwick");
        QStringList told;
        logs.SetFailureReport([&told](const QString& text) { told << text; });
        for (int i = 0; i < 3; ++i) {
            logs.DoError("-ERR no", 0, 2);
            logs.AppendStat("alice", "+OK 1 1\r\n", "1", 1);
        }
        QCOMPARE(told,
                 QStringList(
                     {"Cannot write /nonexistent/Tarnwick/ErrLog.txt: No such file or directory",
                      "Cannot write /nonexistent/Tarnwick/Stat.txt: No such file or directory"}));
    }

    // The login entry starts this very program from any path, as a real launcher reads it.
    // (GLib's launcher, as the desktops' session managers read autostart entries.)
    void autostartStartsTheProgram_data() {
        QTest::addColumn<QString>("name"); // of the program's folder
        const char* names[] = {"plain", "my mail", "a\"b", "back`tick", "$HOME",     "back\\slash",
                               "100%",  "%f %u",   "it's", " lead",     "tab\there", "caf\u00e9"};
        for (const char* name : names)
            QTest::newRow(name) << QString::fromUtf8(name);
    }
    void autostartStartsTheProgram() {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString folder = dir.filePath(name);
        QVERIFY(QDir().mkpath(folder));
        const QString program = folder + "/tarnwick";
        const QString marker = dir.filePath("ran");
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        // Written whole, then put in place: the test must not read it half written.
        script.write(
            "#!/bin/sh\nprintf '%s' \"$0\" > \"$MARKER.new\" && mv \"$MARKER.new\" \"$MARKER\"\n");
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner));
        const Autostart autostart(dir.filePath("autostart/tarnwick.desktop"), program);
        QCOMPARE(autostart.SetEnabled(true), QString());
        QProcess launch;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MARKER", marker);
        launch.setProcessEnvironment(env);
        launch.setProcessChannelMode(QProcess::MergedChannels);
        launch.start("gio", {"launch", autostart.File()});
        QVERIFY(launch.waitForFinished(10000));
        QVERIFY(WaitFor([&] { return QFile::exists(marker); }, 10000));
        QCOMPARE(QString::fromUtf8(TestReadAll(marker)), program);
    }

    // A path that is no valid UTF-8 (decoded with replacements) is refused, not written.
    void autostartRefusesAPathItCannotName() {
        QTemporaryDir dir;
        const Autostart autostart(dir.filePath("tarnwick.desktop"),
                                  QString("/opt/bad") + QChar::ReplacementCharacter + "/tarnwick");
        QVERIFY(autostart.SetEnabled(true).contains("is not valid UTF-8"));
        QVERIFY(!QFile::exists(autostart.File()));
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
