// The program as a user gets it: installed, started from the menu while it runs, set to start
// at login, asked for its version.
#include "support/peers/OrdinaryUser.h"
#include "support/peers/ProgramUnderTest.h"
#include "support/peers/RealPeer.h"
#include "support/peers/ScriptedServer.h"

#include <QRegularExpression>
#include <QScopeGuard>

namespace {
// Runs `program` to its end: its exit code (-1 for a crash) and what it printed.
std::pair<int, QByteArray> Run(const QString& program, const QStringList& args,
                               const QProcessEnvironment& env = {}) {
    QProcess process;
    if (!env.isEmpty())
        process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    const bool ended = process.waitForFinished(60000) && process.exitStatus() == 0;
    return {ended ? process.exitCode() : -1, process.readAll()};
}

constexpr auto ForAll =
    OwnerOnly | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
} // namespace

class TestInstall final : public QObject {
    Q_OBJECT
private slots:
    void installedProgram_data() {
        QTest::addColumn<QString>("capability");
        for (const char* row :
             {"installed", "package", "start at login", "second start", "command line"})
            QTest::newRow(row) << QString(row);
    }
    void installedProgram() {
        QFETCH(QString, capability);
        if (capability == "installed")
            InstalledTree();
        else if (capability == "package")
            Package();
        else if (capability == "command line")
            CommandLine();
        else
            OnTheDesktop(capability == "start at login");
    }

private:
    // Installed where the user may not write: valid files, and the logs in the state folder.
    void InstalledTree() {
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), ForAll)); // "nobody" passes through
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", dir.filePath("root"));
        const auto installed = Run(
            TARNWICK_CMAKE, {"--install", TARNWICK_BUILD_DIR, "--prefix", "/usr", "--strip"}, env);
        QVERIFY2(installed.first == 0, installed.second);
        const QDir usr(dir.filePath("root/usr"));
        const auto desktop = Run("desktop-file-validate", {usr.filePath("share/applications/"
                                                                        "tarnwick.desktop")});
        QVERIFY2(desktop == std::make_pair(0, QByteArray()), desktop.second);
        const auto metainfo = Run("appstreamcli", {"validate", "--no-net",
                                                   usr.filePath("share/metainfo/io.github."
                                                                "tarnwick.Tarnwick.metainfo.xml")});
        QVERIFY2(metainfo.first == 0, metainfo.second);
        for (const char* file :
             {"icons/hicolor/scalable/apps/tarnwick.svg", "icons/hicolor/16x16/apps/tarnwick.png",
              "icons/hicolor/256x256/apps/tarnwick.png", "doc/tarnwick/README.md",
              "doc/tarnwick/copyright", "doc/tarnwick/changelog.gz"})
            QVERIFY2(QFile::exists(usr.filePath("share/") + file), file);

        // A server that refuses the password: the failure must reach the error log.
        ScriptedServer server;
        server.Queue(
            Conversation({"+OK Ready.\r\n", "+OK\r\n", "-ERR [AUTH] Authentication failed.\r\n"}));
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "wrong"));
        settings.CheckInterval = 0;
        const QDir home(dir.filePath("home"));
        QVERIFY(home.mkpath("config") && home.mkpath("run"));
        QVERIFY(QFile::setPermissions(home.filePath("run"), OwnerOnly));
        WriteSettingsFile(settings, home.filePath("config/Tarnwick.ini"));

        for (const auto& [name, value] :
             {std::pair{"HOME", ""}, {"XDG_CONFIG_HOME", "config"}, {"XDG_RUNTIME_DIR", "run"}})
            env.insert(name, home.filePath(value));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("XDG_STATE_HOME");
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::MergedChannels);
        const QString binary = usr.filePath("bin/tarnwick");
        // Root writes anywhere: the user must be an ordinary one.
        const QStringList asUser = {
            "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", binary};
        if (IsRoot()) {
            QCOMPARE(Run("chown", {"-R", "nobody:nogroup", home.path()}).first, 0);
            StartInOwnGroup(program, asUser[0], asUser.mid(1));
        } else {
            QVERIFY(QFile::setPermissions(usr.filePath("bin"), ForAll & ~QFile::WriteOwner));
            StartInOwnGroup(program, binary, {});
        }
        const auto stop = qScopeGuard([&] { StopGroup(program); });
        const QString state = home.filePath(".local/state/Tarnwick");
        const bool logged = WaitFor(
            [&] { return ReadFile(state + "/ErrLog.txt").contains("Authentication failed"); },
            PeerStartMs);
        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(5000));
        QVERIFY2(logged, program.readAll());
        QCOMPARE(QFile::permissions(state) & 0x7077, OwnerOnly);
        QVERIFY(!QFile::exists(usr.filePath("bin/ErrLog.txt")));

        // The manual page names every file of the README's table (lintian checks how it
        // renders), and --help this user's.
        const auto page = Run("gzip", {"-dc", usr.filePath("share/man/man1/tarnwick.1.gz")});
        QVERIFY2(page.first == 0, page.second);
        for (const char* name :
             {"Tarnwick.ini.bak", "Tarnwick-ca.pem", "ErrLog.old.txt", "Stat.old.txt",
              "Tarnwick.socket", "autostart/tarnwick.desktop", "XDG_STATE_HOME",
              "DBUS_SESSION_BUS_ADDRESS", "IMAP", "IDLE", "keyring", "Use Desktop Notifications"})
            QVERIFY2(page.second.contains(name), name);
        const auto help = IsRoot() ? Run(asUser[0], asUser.mid(1) + QStringList("--help"), env)
                                   : Run(binary, {"--help"}, env);
        QVERIFY2(help.first == 0 && help.second.contains("POP3 and IMAP") &&
                     help.second.endsWith(
                         "settings  " + home.filePath("config/Tarnwick.ini").toUtf8() +
                         "\n  logs      " + state.toUtf8() + "/ (ErrLog.txt, Stat.txt)\n"),
                 help.second);
    }

    // The Debian package of this build: lintian finds nothing, pedantic notes included.
    void Package() {
        QTemporaryDir dir;
        const auto packed = Run("cpack", {"-G", "DEB", "-B", dir.path(), "--config",
                                          TARNWICK_BUILD_DIR "/CPackConfig.cmake"});
        QVERIFY2(packed.first == 0, packed.second);
        const QStringList debs = QDir(dir.path()).entryList({"tarnwick_*.deb"});
        QCOMPARE(debs.size(), 1);
        const auto lint =
            Run("lintian", {"--pedantic", "--info", "--fail-on", "error,warning,info,pedantic",
                            QDir(dir.path()).filePath(debs[0])});
        QVERIFY2(lint.first == 0 && !QString(lint.second)
                                         .contains(QRegularExpression(
                                             "^[EWIP]: ", QRegularExpression::MultilineOption)),
                 lint.second);
        const auto contents = Run("dpkg-deb", {"--contents", QDir(dir.path()).filePath(debs[0])});
        QVERIFY(contents.second.contains("./usr/share/man/man1/tarnwick.1.gz"));
    }

    // No display, and no file touched.
    void CommandLine() {
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"})
            env.insert(name, home.path());
        QCOMPARE(Run(TARNWICK_BINARY, {"--version"}, env),
                 std::make_pair(0, QByteArray("Tarnwick 25.07.05\n")));
        const auto unknown = Run(TARNWICK_BINARY, {"--frobnicate"}, env);
        QCOMPARE(unknown.first, 2);
        QVERIFY(unknown.second.count('\n') == 1 && unknown.second.contains("frobnicate"));
        QVERIFY(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    // The running program on a display: a second start shows its control centre; or "Start at
    // Login" ticked with "Cancel" leaves no entry, with "Ok" writes one, unticked removes it.
    void OnTheDesktop(bool startAtLogin) {
        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        const qulonglong icon = program.StartWith(Settings());
        QVERIFY2(icon != 0, qPrintable(program.Output()));
        if (!startAtLogin) {
            QCOMPARE(program.WaitForControlCentre(500), 0ULL);
            QCOMPARE(Run(program.Binary(), {}, program.Environment()).first, 0);
            QVERIFY2(program.WaitForControlCentre(5000) != 0, qPrintable(program.Output()));
            return;
        }
        const QString entry =
            QFileInfo(program.SettingsPath()).dir().filePath("autostart/tarnwick.desktop");
        x.DoubleClick(icon, 11, 13);
        const qulonglong control = program.WaitForControlCentre(5000);
        QVERIFY(control != 0);
        // The button that closes setup, and whether the entry is there afterwards.
        for (const auto& [button, entryAfter] :
             {std::pair{"Cancel", false}, {"Ok", true}, {"Ok", false}}) {
            QVERIFY(x.Press("Tarnwick", "Setup"));
            QVERIFY(x.Press("Tarnwick Setup", "Start at Login"));
            QTest::qWait(200);
            x.Screenshot(ShotPath("e2e-setup-start-at-login.png"));
            QVERIFY(x.Press("Tarnwick Setup", button));
            QVERIFY(WaitFor([&] { return x.WaitForWindow("^Tarnwick Setup$", 100) == 0; }, 5000));
            QCOMPARE(QFile::exists(entry), entryAfter);
            if (entryAfter) {
                QCOMPARE(Run("desktop-file-validate", {entry}), std::make_pair(0, QByteArray()));
                QVERIFY(ReadFile(entry).contains("\nExec=\"" + program.Binary().toUtf8() + "\"\n"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
