// The program as a user gets it: installed, started from the menu while it runs, set to start
// at login, asked for its version.
#include "support/OrdinaryUser.h"
#include "support/ProgramUnderTest.h"
#include "support/RealPeer.h"
#include "support/ScriptedServer.h"

#include <QtEndian>

namespace {
struct Ran {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Ran Run(const QString& program, const QStringList& args,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    Ran ran;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        ran.code = process.exitCode();
    ran.out = process.readAllStandardOutput();
    ran.err = process.readAllStandardError();
    return ran;
}

constexpr auto OwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr auto ForAll =
    OwnerOnly | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
} // namespace

class TestInstall final : public QObject {
    Q_OBJECT
private slots:
    void installedProgram_data() {
        QTest::addColumn<QString>("capability");
        QTest::newRow("installed tree, ordinary user") << "installed";
        QTest::newRow("start at login on, then off") << "autostart";
        QTest::newRow("second start") << "second start";
        QTest::newRow("command line") << "command line";
    }
    void installedProgram() {
        QFETCH(QString, capability);
        if (capability == "installed")
            InstalledTree();
        else if (capability == "command line")
            CommandLine();
        else
            OnTheDesktop(capability == "autostart");
    }

private:
    // Installed into a folder the user may not write: validated files, logs in the state folder.
    void InstalledTree() {
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), ForAll)); // "nobody" passes through
        QProcessEnvironment install = QProcessEnvironment::systemEnvironment();
        install.insert("DESTDIR", dir.filePath("root"));
        const Ran installed =
            Run(TARNWICK_CMAKE, {"--install", TARNWICK_BUILD_DIR, "--prefix", "/usr", "--strip"},
                install);
        QVERIFY2(installed.code == 0, installed.out + installed.err);
        const QDir usr(dir.filePath("root/usr"));
        const Ran desktop =
            Run("desktop-file-validate", {usr.filePath("share/applications/tarnwick.desktop")});
        QVERIFY2(desktop.code == 0 && desktop.out.isEmpty(), desktop.out + desktop.err);
        const Ran metainfo =
            Run("appstreamcli",
                {"validate", "--no-net",
                 usr.filePath("share/metainfo/io.github.tarnwick.Tarnwick.metainfo.xml")});
        QVERIFY2(metainfo.code == 0, metainfo.out + metainfo.err);
        QVERIFY(QFile::exists(usr.filePath("share/icons/hicolor/scalable/apps/tarnwick.svg")));
        QVERIFY(QFile::exists(usr.filePath("share/doc/tarnwick/LICENSE")));
        for (quint32 size : {16, 48, 256}) { // the PNG header's width and height
            const QByteArray png = ReadFile(usr.filePath(
                QStringLiteral("share/icons/hicolor/%1x%1/apps/tarnwick.png").arg(size)));
            QVERIFY(png.startsWith("\x89PNG") && png.size() > 24);
            QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), size);
            QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), size);
        }

        // A server that refuses the password: the failure must reach the error log.
        ScriptedServer server;
        server.Queue(ServerScript()
                         .Send("+OK Ready.\r\n")
                         .Await()
                         .Send("+OK\r\n")
                         .Await()
                         .Send("-ERR [AUTH] Authentication failed.\r\n"));
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "wrong"));
        settings.CheckInterval = 0;
        settings.ShowErrors = false;
        const QDir home(dir.filePath("home"));
        QVERIFY(home.mkpath("config") && home.mkpath("run"));
        QVERIFY(QFile::setPermissions(home.filePath("run"), OwnerOnly));
        RecordingDialogs dialogs;
        FixedRandom random;
        QVERIFY(SettingsFile(settings, dialogs, random, home.filePath("config/Tarnwick.ini"))
                    .SaveFile());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("XDG_STATE_HOME");
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::MergedChannels);
        const QString binary = usr.filePath("bin/tarnwick");
        if (IsRoot()) { // root writes anywhere: the user must be an ordinary one
            QCOMPARE(Run("chown", {"-R", "nobody:nogroup", home.path()}).code, 0);
            program.start("setpriv",
                          {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", binary});
        } else {
            QVERIFY(QFile::setPermissions(usr.filePath("bin"), ForAll & ~QFile::WriteOwner));
            program.start(binary, {});
        }
        const QString state = home.filePath(".local/state/Tarnwick");
        const bool logged = WaitFor(
            [&] { return ReadFile(state + "/ErrLog.txt").contains("Authentication failed"); },
            20000);
        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(5000));
        QVERIFY2(logged, program.readAll());
        QCOMPARE(QFile::permissions(state) & 0x7077, OwnerOnly);
        QVERIFY(!QFile::exists(usr.filePath("bin/ErrLog.txt")));
    }

    void CommandLine() {
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name); // none of it may need a display
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"})
            env.insert(name, home.path());
        const Ran version = Run(TARNWICK_BINARY, {"--version"}, env);
        QCOMPARE(version.code, 0);
        QCOMPARE(version.out, QByteArray("Tarnwick 25.07.05\n"));
        const Ran unknown = Run(TARNWICK_BINARY, {"--frobnicate"}, env);
        QCOMPARE(unknown.code, 2);
        QCOMPARE(unknown.err.count('\n'), 1);
        QVERIFY(unknown.err.contains("frobnicate"));
        QVERIFY(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    // The running program on a display: a second start shows its control centre; or "Start at
    // Login" is ticked and "Cancel" leaves no entry, ticked and "Ok" writes one, unticked and
    // "Ok" removes it.
    void OnTheDesktop(bool autostart) {
        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        const qulonglong icon = program.StartWith(Settings());
        QVERIFY2(icon != 0, qPrintable(program.Output()));
        if (!autostart) {
            QCOMPARE(program.WaitForControlCentre(500), 0ULL);
            QProcess second;
            second.setProcessEnvironment(program.Environment());
            second.start(program.Binary(), {});
            QVERIFY(second.waitForFinished(10000));
            QCOMPARE(second.exitCode(), 0);
            QVERIFY2(program.WaitForControlCentre(5000) != 0, qPrintable(program.Output()));
            QVERIFY(program.Running());
            return;
        }
        const QString entry =
            QFileInfo(program.SettingsPath()).dir().filePath("autostart/tarnwick.desktop");
        x.DoubleClick(icon, 11, 13);
        const qulonglong control = program.WaitForControlCentre(5000);
        QVERIFY(control != 0);
        const struct {
            bool tick;
            int buttonX; // "Ok" or "Cancel"
            bool entryAfter;
        } steps[] = {{true, 136, false}, {true, 48, true}, {true, 48, false}};
        for (const auto& step : steps) {
            x.Click(control, 84, 248); // Setup
            const qulonglong setup = x.WaitForWindow("^Tarnwick Setup$", 5000);
            QVERIFY(setup != 0);
            if (step.tick)
                x.Click(setup, 16, 288); // "Start at Login"
            x.Screenshot(ShotPath("e2e-setup-start-at-login.png"));
            x.Click(setup, step.buttonX, 320);
            QVERIFY(WaitFor([&] { return x.WaitForWindow("^Tarnwick Setup$", 100) == 0; }, 5000));
            QCOMPARE(QFile::exists(entry), step.entryAfter);
            if (step.entryAfter) {
                const Ran valid = Run("desktop-file-validate", {entry});
                QVERIFY2(valid.code == 0 && valid.out.isEmpty(), valid.out);
                QVERIFY(ReadFile(entry).contains("\nExec=\"" + program.Binary().toUtf8() + "\"\n"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
