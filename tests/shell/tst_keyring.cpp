// "Keep Passwords in the Keyring" against a real keyring (gnome-keyring-daemon on a private
// bus) and a scripted POP3 server; the failures of storing against a keyring in memory.
#include "check/KeptPasswords.h"
#include "core/Files.h"
#include "core/Options.h"
#include "core/SettingsFile.h"
#include "shell/App.h"
#include "shell/KeychainStore.h"
#include "shell/TrayIcon.h"
#include "support/TestWorld.h"
#include "support/doubles/FakeSecretStore.h"
#include "support/doubles/FixedRandom.h"
#include "support/doubles/RecordingDialogs.h"
#include "support/peers/Keyring.h"
#include "support/peers/ProgramHome.h"
#include "support/peers/ScriptedServer.h"
#include "ui/EditUserWindow.h"
#include "ui/ModalScript.h"
#include "ui/SetupWindow.h"

#include <QCheckBox>
#include <QDir>
#include <QListWidget>
#include <QPushButton>

namespace {
const QString Secret = QStringLiteral("s3cret pass");

// A home as the program lays it out, for the program in-process too.
struct Home : ProgramHome {
    Paths Places() const { return {SettingsPath(), ProgramFolder()}; }
    void WriteUser(const QString& server, const QString& password) const {
        Settings settings;
        AddUser(settings, MakeUser("Alice", "alice", server, password));
        WriteSettingsFile(settings, Places().SettingsFile);
    }
    QString FilePassword() const {
        const std::optional<Settings> settings = ReadSettingsFile(Places().SettingsFile);
        return settings && settings->UserCount() == 1 ? settings->Users[0].Password : "(no user)";
    }
    bool KeyringChosen() const { return Options::Load(Places().OptionsFile()).KeyringPasswords; }
    QByteArray ErrLog() const { return ReadFile(dir.filePath("bin/ErrLog.txt")); }
};

// The program in-process, started in `home` with `store` as its keyring.
struct Run {
    Run(const Home& home, SecretStore& store)
        : app(Environment{home.Places(), clock, dialogs, random, tray, 1, nullptr, false, &store}) {
        app.EndProcess = [] {};
        app.Main();
    }
    // Ticks or unticks the box and presses "Ok"; whether setup closed without a message.
    bool SetKeyring(bool on) {
        WhenModal("frmSetup", [on](QWidget& setup) {
            Control<QCheckBox>(setup, "chkKeyring")->setChecked(on);
            Press(setup, "cmdOk");
            if (setup.isVisible())
                Press(setup, "cmdCancel");
        });
        app.Setup()->ShowForm();
        return dialogs.messages.isEmpty();
    }
    ManualClock clock;
    RecordingDialogs dialogs;
    FixedRandom random;
    NoTrayShell tray;
    App app;
};

ServerScript Login() {
    return Conversation({"+OK hi\r\n", "+OK\r\n", "+OK\r\n", "+OK 0 0\r\n", "+OK bye\r\n"});
}
} // namespace

class TestKeyring final : public QObject {
    Q_OBJECT
    PrivateKeyring keyring_;

    // The real program on `home` with the test's keyring, ended with its group by the row.
    using Running = std::unique_ptr<QProcess, void (*)(QProcess*)>;
    Running StartProgram(Home& home) {
        QFile::copy(TARNWICK_BINARY, home.dir.filePath("bin/tarnwick"));
        Running program(new QProcess, [](QProcess* p) {
            StopGroup(*p);
            delete p;
        });
        program->setProcessEnvironment(home.Environment(keyring_.Environment()));
        StartInOwnGroup(*program, home.dir.filePath("bin/tarnwick"), {});
        return program;
    }

private slots:
    void initTestCase() {
        QVERIFY2(!keyring_.Address().isEmpty(), "dbus-daemon gave no address");
        // The keyring's client and Qt find the private bus, not the desktop's.
        qputenv("DBUS_SESSION_BUS_ADDRESS", keyring_.Address().toLatin1());
        QVERIFY(keyring_.Start());
    }

    // One user's way: tick, restart, untick, an item deleted; then the real program with a
    // keyring that starts after it. (The keyring's client library of one process does not
    // survive the keyring's restart, so that row comes last, in a process of its own.)
    void passwordsMoveToTheKeyringAndBack() {
        Home home;
        ScriptedServer server;
        const QByteArray pass = "PASS " + Secret.toUtf8() + "\r\n";
        const QString label = "Tarnwick: alice on " + Local(server.Port());
        home.WriteUser(Local(server.Port()), Secret);
        KeychainStore store;
        {
            server.Queue(Login());
            Run run(home, store);
            QVERIFY(WaitFor([&] { return server.Finished(0); }, PeerStartMs));
            QVERIFY(run.SetKeyring(true));
            QCOMPARE(home.FilePassword(), QString());
            QCOMPARE(keyring_.Lookup(label), std::optional<QString>(Secret));
            QVERIFY(home.KeyringChosen());
        }
        { // restart: the password comes from the keyring; untick: back in the file
            server.Queue(Login());
            Run run(home, store);
            QVERIFY(WaitFor([&] { return server.Finished(1); }, PeerStartMs));
            QVERIFY(server.Received(1).contains(pass));
            QVERIFY(run.SetKeyring(false));
            QCOMPARE(home.FilePassword(), Secret);
            QCOMPARE(keyring_.Lookup(label), std::nullopt);
            QVERIFY(!home.KeyringChosen());
            QVERIFY(run.SetKeyring(true));
            QVERIFY(keyring_.Clear(label));
        }
        { // the item deleted: not checked, said once, the editor asks for a password
            Run run(home, store);
            QVERIFY(WaitFor([&] { return home.ErrLog().contains("No password in the keyring"); },
                            PeerStartMs));
            QTest::qWait(1500); // the scheduler's first look has come and gone
            QCOMPARE(server.Connections(), 2);
            QString caption;
            WhenModal("frmSetup", [&](QWidget& setup) {
                WhenModal("frmEditAdd", [&](QWidget& editor) {
                    caption = Control<QPushButton>(editor, "cmdEditPassword")->text();
                    Press(editor, "cmdCancel");
                });
                Control<QListWidget>(setup, "lstUsers")->setCurrentRow(0);
                Press(setup, "cmdEdit");
                Press(setup, "cmdCancel");
            });
            run.app.Setup()->ShowForm();
            QCOMPARE(caption, QString("Set Password"));
        }
        QCOMPARE(home.ErrLog().count("No password in the keyring"), 1);
        home.WriteUser(Local(server.Port()), Secret);
        QVERIFY(Run(home, store).SetKeyring(true)); // its check stays unanswered

        // No keyring at the program's start: one line, no login; the keyring starts: a login.
        keyring_.Stop();
        server.Queue(Login());
        const Running program = StartProgram(home);
        QVERIFY(WaitFor([&] { return home.ErrLog().contains("Waiting for the keyring"); },
                        PeerStartMs));
        QTest::qWait(1500);
        QCOMPARE(server.Connections(), 3);
        QVERIFY(keyring_.Start());
        QVERIFY(WaitFor([&] { return server.Finished(3); }, PeerStartMs));
        QVERIFY(server.Received(3).contains(pass));
        QCOMPARE(home.ErrLog().count("Waiting for the keyring"), 1);
    }

    // A keyring that does not keep the password: nothing blanked, setup says why, stays open.
    void storingFails_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("says");
        QTest::newRow("refused") << int(FakeSecretStore::Fault::RefuseWrites) << "locked";
        QTest::newRow("read back wrong")
            << int(FakeSecretStore::Fault::ReadBackOther) << "another password";
    }
    void storingFails() {
        QFETCH(int, fault);
        QFETCH(QString, says);
        Home home;
        home.WriteUser("127.0.0.1:1", Secret);
        FakeSecretStore store;
        store.fault = FakeSecretStore::Fault(fault);
        Run run(home, store);
        QVERIFY(!run.SetKeyring(true));
        QVERIFY(run.dialogs.messages.value(0).contains(says));
        QVERIFY(run.dialogs.messages.value(0).contains("stay in the settings file"));
        QCOMPARE(home.FilePassword(), Secret);
        QVERIFY(!home.KeyringChosen() && !run.app.Kept()->On());
    }

    // What a kill during a switch may leave is whole: either way, every password is where
    // the choice says, and the ".bak" holds no password that the file went without.
    void killDuringTheSwitch_data() {
        QTest::addColumn<int>("at"); // where the switch was cut short
        QTest::newRow("to the keyring: file written, .bak not yet") << 0;
        QTest::newRow("back to the file: items gone, the choice not yet saved") << 1;
        QTest::newRow("back to the file: file written, items left") << 2;
    }
    void killDuringTheSwitch() {
        QFETCH(int, at);
        Home home;
        FakeSecretStore store;
        const QString label = KeptPasswords::Label(MakeUser("Alice", "alice", Local(1), Secret));
        home.WriteUser(Local(1), Secret);
        if (at == 2) { // finished at start-up once the real keyring answers, not before
            QVERIFY(keyring_.Keep(label, Secret));
            QCOMPARE(Options{.KeyringPasswords = true}.Save(home.Places().OptionsFile()),
                     QString());
            store.available = false;
            { Run unanswered(home, store); } // no keyring: everything stays as it is
            QVERIFY(home.KeyringChosen());
            QCOMPARE(keyring_.Lookup(label), std::optional<QString>(Secret));
            QCOMPARE(home.FilePassword(), Secret);
            const Running program = StartProgram(home);
            QVERIFY(WaitFor([&] { return !home.KeyringChosen(); }, PeerStartMs));
            QCOMPARE(keyring_.Lookup(label), std::nullopt); // gone before the choice said so
            QCOMPARE(home.FilePassword(), Secret);
            return;
        }
        if (at == 0) {
            const QByteArray withPasswords = ReadFile(home.SettingsPath());
            home.WriteUser(Local(1), "");
            QVERIFY(WriteFileWhole(home.SettingsPath() + ".bak", withPasswords) == std::nullopt);
            store.items.insert(label, Secret);
            QCOMPARE(Options{.KeyringPasswords = true}.Save(home.Places().OptionsFile()),
                     QString());
            Run run(home, store); // tidied once the keyring has answered
            QVERIFY(WaitFor([&] { return run.app.Kept()->AllArrived(); }, 5000));
            QCOMPARE(ReadFile(home.SettingsPath() + ".bak"), ReadFile(home.SettingsPath()));
            QCOMPARE(home.FilePassword(), QString());
            QCOMPARE(store.items.value(label), Secret);
            return;
        }
        { // kept in the keyring; then the switch back, whose choice cannot be saved
            Run run(home, store);
            QVERIFY(run.SetKeyring(true));
            QVERIFY(QFile::remove(home.Places().OptionsFile()));
            QVERIFY(QDir().mkdir(home.Places().OptionsFile()));
            QVERIFY(!run.SetKeyring(false));
        }
        QVERIFY(store.items.isEmpty()); // gone before the choice says so
        QCOMPARE(home.FilePassword(), Secret);
    }

    // A Tarnwick.options that others may change is not read; a mailbox whose password it
    // would say is in the keyring is held back and said, not signed in to with none.
    void refusedOptionsHoldBack() {
        Home home;
        ScriptedServer server;
        home.WriteUser(Local(server.Port()), "");
        const QString options = home.Places().OptionsFile();
        QCOMPARE(Options{.KeyringPasswords = true}.Save(options), QString());
        QVERIFY(QFile::setPermissions(options, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::WriteOther));
        FakeSecretStore store;
        Run run(home, store);
        for (int i = 0; i < 10; ++i) // the scheduler's first look, at once
            QCoreApplication::processEvents();
        QCOMPARE(home.ErrLog().count("is not used (others than its owner may write to it)"), 1);
        QCOMPARE(server.Connections(), 0);
    }

    void greyedWithoutAKeyring() {
        Home home;
        FakeSecretStore store;
        store.available = false;
        Run run(home, store);
        auto* box = Control<QCheckBox>(*run.app.Setup(), "chkKeyring");
        QVERIFY(!box->isEnabled());
        QVERIFY(box->toolTip().contains("No keyring service"));
        store.available = true;
        emit store.Changed();
        QVERIFY(box->isEnabled());
    }
};

QTEST_MAIN(TestKeyring)
#include "tst_keyring.moc"
