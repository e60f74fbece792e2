// The real program driven as a person drives it: on a virtual display with a real
// notification area, the mouse and keyboard through xdotool, and a real POP3 server.
#include "core/Settings.h"
#include "core/SideFile.h"
#include "support/TestWorld.h"
#include "support/peers/Dovecot.h"
#include "support/peers/ProgramUnderTest.h"
#include "support/peers/RealPeer.h"
#include "support/peers/ScriptedServer.h"
#include "support/peers/TestCertificates.h"
#include "support/peers/TokenServer.h"
#include "support/peers/XSession.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

class TestEndToEnd final : public QObject {
    Q_OBJECT
private slots:
    void newMailAlertHidePermanentlyAndExit() {
        Dovecot server;
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        QVERIFY(server.DeliverMail("alice", 3));

        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "secret", 0));
        settings.CheckInterval = 0; // due at once, whatever the time of day
        const qulonglong icon = program.StartWith(settings);
        QVERIFY2(icon != 0, qPrintable(program.Output()));

        // The alert slides down to the top-left corner.
        const qulonglong alert = x.WaitForWindow("^Alert!$", PeerStartMs);
        QVERIFY2(alert != 0, qPrintable(program.Output() + ReadFile(program.ErrLog())));
        // Grown below the top-left corner for the messages' lines.
        QVERIFY(WaitFor(
            [&] {
                const QRect g = x.Geometry(alert);
                return g.topLeft() == QPoint(0, 0) && g.width() == 385 && g.height() > 161;
            },
            5000));
        QVERIFY(WaitFor(
            [&] { return program.Output().contains("frmAlert ShowAlert: Home has 3 new emails."); },
            5000));
        QVERIFY(ReadFile(program.StatLog()).startsWith("alice|+OK 3 "));
        x.Screenshot(ShotPath("e2e-alert.png"));

        // "Hide Permanently" accepts the count and saves it, backup included.
        QVERIFY(x.Press("Alert!", "Hide Permanently"));
        QVERIFY(WaitFor(
            [&] {
                const auto saved = program.ReadSettings();
                return saved && saved->Users[0].NumMails == 3;
            },
            10000));
        QCOMPARE(ReadFile(program.SettingsPath() + ".bak"), ReadFile(program.SettingsPath()));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Alert!$", 100) == 0; }, 5000));

        // Right-click on the icon, "Exit", "Yes".
        const qulonglong question = program.ChooseExit(icon, ShotPath("e2e-menu.png"));
        QVERIFY2(question != 0, qPrintable(program.Output()));
        program.Answer(question);
        QVERIFY2(program.WaitForExit(10000), qPrintable(program.Output()));
        QVERIFY(program.Output().contains("SaveFile"));
        const auto saved = program.ReadSettings();
        QVERIFY(saved);
        QCOMPARE(saved->LastUser, qint16(0));
        QCOMPARE(saved->Users[0].NumMails, 3);
    }

    // IMAP with IDLE: after the first check the mailbox is watched, and a delivery alerts,
    // naming its sender and subject, as the server tells of it: within 2 s, though the alert
    // before it was answered with "Hide Permanently" only a minute before and the show
    // interval is five minutes (it spaces the return of hidden news, not news). "Mark as Read"
    // then flags it seen on the server.
    void imapPushAlertsAtOnce() {
        Dovecot server;
        server.EnableImap();
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        QVERIFY(server.DeliverMail("alice", 1));

        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        Settings settings;
        AddUser(settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.ImapPort()),
                         "secret", 0));
        settings.CheckInterval = 5;
        settings.ShowInterval = 5;
        QVERIFY2(program.StartWith(settings) != 0, qPrintable(program.Output()));
        const QString alert = "frmAlert ShowAlert: Home has 1 new emails.";
        QVERIFY2(WaitFor([&] { return program.Output().contains(alert); }, 30000),
                 qPrintable(program.Output()));
        QVERIFY(program.Output().contains("sender@tarnwick.test: Test message 1"));
        QVERIFY(x.Press("Alert!", "Hide Permanently"));
        QElapsedTimer answered;
        answered.start();
        // The watching connection has counted once of its own: it idles now.
        QVERIFY2(WaitFor([&] { return ReadFile(program.StatLog()).count('\n') >= 2; }, 30000),
                 ReadFile(program.StatLog()).constData());
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Alert!$", 100) == 0; }, 5000));
        QTest::qWait(int(std::max<qint64>(0, 60000 - answered.elapsed())));

        QVERIFY(server.DeliverMessage("alice", "From: =?UTF-8?Q?Ann_M=C3=BCller?= "
                                               "<ann@tarnwick.test>\nSubject: =?ISO-8859-1?Q?"
                                               "Caf=E9_at_noon?=\n\nSee you.\n"));
        const QString news = "Ann M\u00fcller: Caf\u00e9 at noon";
        QVERIFY2(WaitFor([&] { return program.Output().count(alert) == 2; }, 2000),
                 qPrintable(program.Output() + ReadFile(program.ErrLog()) +
                            ReadFile(program.StatLog())));
        QVERIFY2(program.Output().contains(news), qPrintable(program.Output()));
        QVERIFY(x.WaitForWindow("^Alert!$", 5000) != 0);

        // "Mark as Read": the server flags what the alert stands for as seen (the first
        // message, accepted with "Hide Permanently", stays unseen), and the alert goes.
        QCOMPARE(server.UnseenCount("alice"), 2);
        QVERIFY(x.Press("Alert!", "Mark as Read"));
        QVERIFY2(WaitFor([&] { return server.UnseenCount("alice") == 1; }, 10000),
                 qPrintable(program.Output() + ReadFile(program.ErrLog())));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Alert!$", 100) == 0; }, 10000));
        QCOMPARE(server.MailCount("alice"), 2); // read, not removed
        QCOMPARE(ReadFile(program.ErrLog()), QByteArray());
    }

    // Work's quiet time began a minute before and ends a minute or two in: its mail is
    // counted and logged but shows nothing while Home alerts as always; its end shows one
    // summary of what came.
    void quietHoursKeepAMailboxStill() {
        Dovecot server;
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        QVERIFY(server.AddUser("bob", "secret"));

        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "secret", 0));
        AddUser(settings, MakeUser("Work", "bob", Local(server.Port()), "secret", 0));
        settings.CheckInterval = 0;
        const QTime now = QTime::currentTime();
        const QTime minute(now.hour(), now.minute());
        QByteArray side;
        const SideFile::Key work = SideFile::KeyOf(settings.Users[1]);
        side += SideFile::Line(work, "QuietHours", "on");
        side += SideFile::Line(work, "QuietFrom", minute.addSecs(-60).toString("HH:mm"));
        side += SideFile::Line(work, "QuietTo", minute.addSecs(120).toString("HH:mm"));
        QFile file(QFileInfo(program.SettingsPath()).dir().filePath("Tarnwick.accounts"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(side) == side.size());
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(program.StartWith(settings) != 0);

        QVERIFY(server.DeliverMail("bob", 2));
        QVERIFY(server.DeliverMail("alice", 1));
        QVERIFY2(
            WaitFor([&] { return program.Output().contains("ShowAlert: Home has 1 new emails."); },
                    30000),
            qPrintable(program.Output()));
        QVERIFY(x.Press("Alert!", "Hide Permanently"));
        QVERIFY(WaitFor([&] { return ReadFile(program.StatLog()).contains("bob|+OK 2 "); }, 30000));
        QVERIFY(!program.Output().contains("ShowAlert: Work"));

        const QString summary = "frmAlert ShowAlert: Work: 2 new emails while quiet";
        QVERIFY2(WaitFor([&] { return program.Output().contains(summary); }, 200000),
                 qPrintable(program.Output()));
        QVERIFY(QTime::currentTime() >= minute.addSecs(120) || QTime::currentTime() < minute);
        QVERIFY(x.WaitForWindow("^Alert!$", 5000) != 0);
        QTest::qWait(2000);
        QCOMPARE(program.Output().count("ShowAlert: Work"), 1);
    }

    // The alert follows the STAT reply, even when the server never answers QUIT and the
    // session waits out its time-out.
    void alertBeforeTheServerAnswersQuit() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        // A slow greeting: by the time the new count comes in, the alert timer has found
        // nothing to show and gone to sleep.
        server.Queue(ServerScript()
                         .Pause(2500)
                         .Send("+OK Ready.\r\n")
                         .Await()
                         .Send("+OK\r\n")
                         .Await()
                         .Send("+OK Logged in.\r\n")
                         .Await()
                         .Send("+OK 2 200\r\n")
                         .Await()
                         .Send("-ERR no UIDL\r\n")
                         .Await()); // QUIT: no answer

        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "secret", 0));
        QVERIFY2(program.StartWith(settings) != 0, qPrintable(program.Output()));

        QVERIFY2(WaitFor([&] { return server.Received(0).contains("QUIT\r\n"); }, PeerStartMs),
                 qPrintable(program.Output()));
        // Well within the session's time-out (a minute), which the closed check below proves.
        const qulonglong alert = x.WaitForWindow("^Alert!$", PeerStartMs / 2);
        QVERIFY2(alert != 0, qPrintable(program.Output() + ReadFile(program.ErrLog())));
        QVERIFY(WaitFor(
            [&] { return program.Output().contains("frmAlert ShowAlert: Home has 2 new emails."); },
            2000));
        QVERIFY(!server.Closed(0)); // the session still waits for the QUIT reply
    }

    // A user adds a mailbox on a server that speaks POP3 only over TLS, with a certificate
    // from a private CA in Tarnwick-ca.pem beside the settings.
    void firstRunAddUserThroughSetup() {
        TestCertificates certs;
        TARNWICK_START_PEER(certs);
        Dovecot server;
        server.EnableTls(certs.Server(), TestCertificates::KeyOf(certs.Server()));
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("bob", "pw2"));
        QVERIFY(server.DeliverMail("bob", 2));

        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        QVERIFY(QFile::copy(certs.Ca(),
                            QFileInfo(program.SettingsPath()).dir().filePath("Tarnwick-ca.pem")));
        QVERIFY(program.Start());

        // The first-run message comes before the icon.
        const qulonglong first = program.WaitForMessageBox(0, PeerStartMs);
        QVERIFY2(first != 0, qPrintable(program.Output()));
        program.Answer(first);
        const qulonglong icon = program.WaitForTrayIcon(PeerStartMs);
        QVERIFY(icon != 0);

        // Setup opens by itself once the message is answered: "Add".
        const qulonglong setup = x.WaitForWindow("^Tarnwick Setup$", 5000);
        QVERIFY(setup != 0);

        // The check interval: 0, so that the new user is due at once.
        QVERIFY(x.Press("Tarnwick Setup", "Set Check Interval"));
        const qulonglong input = program.WaitForMessageBox(icon, 5000);
        QVERIFY(input != 0);
        x.XDoTool({"mousemove", "--window", QString::number(input), "20", "20"});
        QTest::qWait(200);
        x.Key("ctrl+a");
        x.Type("0");
        x.Key("Return");
        QTest::qWait(500);

        QVERIFY(x.Press("Tarnwick Setup", "Add"));
        QVERIFY(x.Press("Add User", "@Screen Display Name :"));
        x.Type("Office");
        QVERIFY(x.Press("Add User", "@Mail Server :"));
        x.Type(Local(server.TlsPort())); // the Security drop-down below says "TLS"
        QVERIFY(x.Press("Add User", "@Username :"));
        x.Type("bob");
        QVERIFY(x.Press("Add User", "@Password :")); // its button
        QVERIFY(x.Press("Set Password", "@Password :"));
        x.Type("pw2");
        QVERIFY(x.Press("Set Password", "Ok"));
        QTest::qWait(300);
        x.Screenshot(ShotPath("e2e-editor.png"));
        QVERIFY(x.Press("Add User", "Ok"));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Add User$", 100) == 0; }, 5000));
        x.Screenshot(ShotPath("e2e-setup.png"));
        QVERIFY(x.Press("Tarnwick Setup", "Ok")); // saves
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Tarnwick Setup$", 100) == 0; }, 5000));

        // The new user is checked against the server: the two messages it already held are
        // old mail, counted but not announced; one delivered after that is.
        QVERIFY2(WaitFor([&] { return ReadFile(program.StatLog()).startsWith("bob|+OK 2 "); },
                         PeerStartMs),
                 qPrintable(program.Output() + ReadFile(program.ErrLog())));
        QVERIFY(server.DeliverMail("bob", 1));
        const qulonglong alert = x.WaitForWindow("^Alert!$", PeerStartMs);
        QVERIFY2(alert != 0, qPrintable(program.Output() + ReadFile(program.ErrLog())));
        QVERIFY(WaitFor(
            [&] {
                return program.Output().contains("frmAlert ShowAlert: Office has 1 new emails.");
            },
            5000));
        QVERIFY(!program.Output().contains("ShowAlert: Office has 2 new emails."));

        // "Exit" in the control centre, "Yes".
        x.DoubleClick(icon, 11, 13);
        QVERIFY(x.WaitForWindow(
                    "^Tarnwick$",
                    [](qulonglong, const QRect& g) { return g.size() == QSize(185, 353); },
                    5000) != 0);
        QVERIFY(x.Press("Tarnwick", "Exit"));
        const qulonglong question = program.WaitForMessageBox(icon, 10000);
        QVERIFY2(question != 0, qPrintable(program.Output()));
        program.Answer(question);
        QVERIFY2(program.WaitForExit(10000), qPrintable(program.Output()));
        const auto saved = program.ReadSettings();
        QVERIFY(saved);
        QCOMPARE(saved->LastUser, qint16(0));
        QCOMPARE(saved->CheckInterval, qint16(0));
        QCOMPARE(saved->Users[0].ScreenName, QString("Office"));
        QCOMPARE(saved->Users[0].MailServer, "pop3s://" + Local(server.TlsPort()));
        QCOMPARE(saved->Users[0].Username, QString("bob"));
        QCOMPARE(saved->Users[0].Password, QString("pw2"));
    }

    // A mailbox whose server takes OAuth 2.0 tokens alone, added with the editor and the
    // browser: a stand-in browser ($BROWSER) approves at once, and the mailbox is checked.
    // Then the provider revokes the sign-in: one error alert says so, and a click on it leads
    // to the editor at "Sign In\u2026", where the browser signs in again.
    void signInWithTheBrowserAlone() {
        TokenServer authority;
        authority.introspectedUser = "dave";
        QSet<QString>& active = authority.active;
        int issued = 0;
        bool revoked = false;
        authority.handler = [&](const QByteArray& /*path*/, const QUrlQuery& form) {
            const QByteArray verifier = form.queryItemValue("code_verifier").toLatin1();
            const bool code =
                form.queryItemValue("code") == "C0DE" &&
                QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) ==
                    authority.challenge;
            if (!code && (revoked || form.queryItemValue("refresh_token") != "R1"))
                return std::pair{400, QByteArray("{\"error\":\"invalid_grant\"}")};
            revoked = revoked && !code;
            const QByteArray token = "T" + QByteArray::number(++issued);
            active.insert(QString::fromLatin1(token));
            return std::pair{200, "{\"access_token\":\"" + token +
                                      "\",\"expires_in\":3600,\"refresh_token\":\"R1\"}"};
        };
        const QString base = authority.Url().chopped(QString("/token").size());
        Dovecot server;
        server.EnableImap();
        server.EnableOAuth2(authority.IntrospectionUrl());
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("dave", "unused"));
        QVERIFY(server.DeliverMail("dave", 2));

        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        const QDir config = QFileInfo(program.SettingsPath()).dir();
        QFile conf(config.filePath("Tarnwick-oauth2.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(("[Company]\nAuthorizationUrl = " + base + "/auth\nTokenUrl = " + base +
                    "/token\nClientId = tarnwick\nScopes = mail\nHosts = 127.0.0.1\n")
                       .toUtf8());
        conf.close();
        QVERIFY(conf.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        const QString browser = config.filePath("browser");
        QFile script(browser);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/usr/bin/python3\nimport sys, urllib.request\n"
                     "urllib.request.build_opener(urllib.request.ProxyHandler({}))"
                     ".open(sys.argv[1]).read()\n");
        script.close();
        QVERIFY(script.setPermissions(OwnerOnly));
        program.SetEnv("BROWSER", browser);
        Settings settings;
        settings.CheckInterval = 0;
        const qulonglong icon = program.StartWith(settings);
        QVERIFY2(icon != 0, qPrintable(program.Output()));

        x.DoubleClick(icon, 11, 13);
        QVERIFY(program.WaitForControlCentre(5000) != 0);
        QVERIFY(x.Press("Tarnwick", "Setup"));
        QVERIFY(x.WaitForWindow("^Tarnwick Setup$", 5000) != 0);
        QVERIFY(x.Press("Tarnwick Setup", "Add"));
        QVERIFY(x.WaitForWindow("^Add User$", 5000) != 0);
        QVERIFY(x.Press("Add User", "@Screen Display Name :"));
        x.Type("Work");
        QVERIFY(x.Press("Add User", "@Mail Server :"));
        x.Type("imap://" + Local(server.ImapPort())); // the provider serves this host
        QVERIFY(x.Press("Add User", "@Username :"));
        x.Type("dave");
        QVERIFY(x.Press("Add User", "Sign In\u2026"));
        QVERIFY2(WaitFor([&] { return issued == 1; }, 15000), qPrintable(program.Output()));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Sign In$", 100) == 0; }, 5000));
        QTest::qWait(300);
        x.Screenshot(ShotPath("e2e-signed-in.png"));
        QVERIFY(x.Press("Add User", "Ok"));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Add User$", 100) == 0; }, 5000));
        QVERIFY(x.Press("Tarnwick Setup", "Ok")); // saves

        QVERIFY2(
            WaitFor([&] { return ReadFile(program.StatLog()).startsWith("dave|"); }, PeerStartMs),
            qPrintable(program.Output() + ReadFile(program.ErrLog()) + server.Log()));
        QCOMPARE(issued, 1); // the sign-in's own access token served the check
        const auto saved = program.ReadSettings();
        QVERIFY(saved);
        QCOMPARE(saved->Users[0].Password, QString("R1"));
        QVERIFY(ReadFile(config.filePath("Tarnwick.accounts")).contains("signin=Company"));

        // Revoked: the access token is refused, and the refresh token too.
        const auto atRest = [&x](qulonglong window) {
            return WaitFor([&] { return x.Geometry(window).topLeft() == QPoint(0, 0); }, 5000);
        };
        QVERIFY(atRest(x.WaitForWindow("^Alert!$", 5000)));
        QVERIFY(x.Press("Alert!", "Hide Permanently"));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Alert!$", 100) == 0; }, 5000));
        revoked = true;
        active.clear();
        QVERIFY(x.ChooseFromMenu(icon, "Check Mail"));
        const QString lost = "frmAlert ShowAlert: Error with Work : \r\nSign in again: the "
                             "provider no longer accepts this sign-in (invalid_grant";
        QVERIFY2(WaitFor([&] { return program.Output().contains(lost); }, PeerStartMs),
                 qPrintable(program.Output() + ReadFile(program.ErrLog())));
        const qulonglong alert = x.WaitForWindow("^Alert!$", 5000);
        QVERIFY(alert != 0 && atRest(alert));
        x.Click(alert, 40, 20); // its text
        QVERIFY2(x.WaitForWindow("^Edit User$", 5000) != 0, qPrintable(program.Output()));
        QVERIFY(x.Press("Edit User", "Sign In\u2026"));
        QVERIFY2(WaitFor([&] { return issued == 2; }, 15000), qPrintable(program.Output()));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Sign In$", 100) == 0; }, 5000));
        QVERIFY(x.Press("Edit User", "Ok"));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Edit User$", 100) == 0; }, 5000));
        QVERIFY(x.Press("Tarnwick Setup", "Ok"));
        QVERIFY(x.ChooseFromMenu(icon, "Check Mail"));
        QVERIFY2(
            WaitFor([&] { return ReadFile(program.StatLog()).count("dave|") == 2; }, PeerStartMs),
            qPrintable(program.Output() + ReadFile(program.ErrLog()) + server.Log()));
        QCOMPARE(ReadFile(program.ErrLog()).count("Sign in again"), 1);
        const QByteArray said = program.Output().toUtf8() + ReadFile(program.ErrLog());
        for (const char* secret : {"C0DE", "T1", "R1", "code_verifier"})
            QVERIFY2(!said.contains(secret), secret);
    }

    // Exit, "Yes", and the save fails: its message box is up and the icon gone. A signal
    // then ends the program at once, the failure in the trace.
    void signalWhileTheExitWaitsOnAMessageBox() {
        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", "127.0.0.1", "secret", 0));
        settings.ShowErrors = false;
        const qulonglong icon = program.StartWith(settings);
        QVERIFY2(icon != 0, qPrintable(program.Output()));
        // A folder where the settings file was: no save can write it.
        QVERIFY(QFile::remove(program.SettingsPath()));
        QVERIFY(QDir().mkdir(program.SettingsPath()));

        const qulonglong question = program.ChooseExit(icon);
        QVERIFY2(question != 0, qPrintable(program.Output()));
        program.Answer(question);
        QVERIFY2(WaitFor([&] { return program.Output().contains("Could not save the settings"); },
                         10000),
                 qPrintable(program.Output()));
        const qulonglong failure = x.WaitForWindow(
            "^Tarnwick$",
            [&](qulonglong w, const QRect& g) {
                return w != icon && w != question && g.width() > 100;
            },
            10000);
        QVERIFY2(failure != 0, qPrintable(program.Output()));
        x.Screenshot(ShotPath("e2e-exit-failed-save.png"));
        QVERIFY(program.Running());

        program.Signal(SIGTERM);
        QVERIFY2(program.WaitForExit(3000), qPrintable(program.Output()));
        QVERIFY(program.Output().trimmed().endsWith("End"));
    }

    void trayAnswersWhileDialogsAreOpen() {
        Dovecot server;
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("carol", "pw3"));
        QVERIFY(server.DeliverMail("carol", 1));

        XSession x;
        TARNWICK_START_PEER(x);
        Program program(x);
        Settings settings;
        AddUser(settings, MakeUser("Home", "carol", Local(server.Port()), "pw3", 1)); // nothing new
        // After the first check at start, the next falls due a minute later: any login before
        // that is the tray's doing.
        settings.CheckInterval = 1;
        const qulonglong icon = program.StartWith(settings);
        QVERIFY2(icon != 0, qPrintable(program.Output()));

        // Control centre, "Setup", "Add": three windows, each blocking the one before.
        x.DoubleClick(icon, 11, 13);
        const qulonglong control = program.WaitForControlCentre(5000);
        QVERIFY(control != 0);
        QVERIFY(x.Press("Tarnwick", "Setup"));
        const qulonglong setup = x.WaitForWindow("^Tarnwick Setup$", 5000);
        QVERIFY(setup != 0);
        QVERIFY(x.Press("Tarnwick Setup", "Add"));
        const qulonglong editor = x.WaitForWindow("^Add User$", 5000);
        QVERIFY(editor != 0);

        // The tray's menu opens over the dialogs, and its "Check Mail" reaches the server.
        const auto logins = [&] { return server.Log().count("Login: user=<carol>"); };
        QVERIFY2(WaitFor([&] { return logins() == 1; }, 10000), qPrintable(server.Log()));
        const qsizetype before = logins();
        QVERIFY(x.ChooseFromMenu(icon, "Check Mail", ShotPath("e2e-menu-over-dialogs.png")));
        QVERIFY2(WaitFor([&] { return logins() > before; }, 10000),
                 qPrintable(program.Output() + ReadFile(program.ErrLog()) + server.Log()));

        // A double-click shows the control centre behind setup, and the editor in front.
        const auto stackedInOrder = [&] {
            const QList<qulonglong> order = x.StackingOrder();
            return order.indexOf(control) < order.indexOf(setup) &&
                   order.indexOf(setup) < order.indexOf(editor);
        };
        x.XDoTool({"windowraise", QString::number(control)});
        QVERIFY(WaitFor([&] { return !stackedInOrder(); }, 5000));
        x.DoubleClick(icon, 11, 13);
        QVERIFY(WaitFor(stackedInOrder, 5000));
        x.Screenshot(ShotPath("e2e-dialogs-in-front.png"));

        // Close the dialogs ("Cancel" in each), then "Exit" in the control centre, "Yes".
        QVERIFY(x.Press("Add User", "Cancel"));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Add User$", 100) == 0; }, 5000));
        QVERIFY(x.Press("Tarnwick Setup", "Cancel"));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Tarnwick Setup$", 100) == 0; }, 5000));
        QVERIFY(x.Press("Tarnwick", "Exit"));
        const qulonglong question = program.WaitForMessageBox(icon, 10000);
        QVERIFY2(question != 0, qPrintable(program.Output()));
        program.Answer(question);
        QVERIFY2(program.WaitForExit(10000), qPrintable(program.Output()));
        QVERIFY2(program.Untraced().isEmpty(), qPrintable(program.Untraced().join('\n')));
    }

    void iconAppearsWhenTheNotificationAreaStartsLate() {
        XSession x;
        x.WithoutTray(); // as at login, when the program starts before the panel
        TARNWICK_START_PEER(x);
        Program program(x);
        program.WriteSettings(Settings()); // no first-run message
        QVERIFY(program.Start());

        // No icon yet: the control centre is the way in, and it stays on screen.
        const qulonglong control = program.WaitForControlCentre(PeerStartMs);
        QVERIFY2(control != 0, qPrintable(program.Output()));
        QVERIFY(x.Press("Tarnwick", "Done"));
        const qulonglong why = program.WaitForMessageBox(control, 5000);
        QVERIFY2(why != 0, qPrintable(program.Output()));
        x.Screenshot(ShotPath("e2e-no-tray.png"));
        program.Answer(why);
        QTest::qWait(300);
        QCOMPARE(x.WaitForWindow("^Tarnwick$", 100), control);

        // The notification area starts: the icon moves in, and "Done" hides the window.
        QString error;
        QVERIFY2(x.StartTray(&error), qPrintable(error));
        const qulonglong icon = program.WaitForTrayIcon(PeerStartMs);
        QVERIFY2(icon != 0, qPrintable(program.Output()));
        QVERIFY(x.Press("Tarnwick", "Done"));
        QVERIFY(WaitFor([&] { return program.WaitForControlCentre(100) == 0; }, 5000));

        // Exit from the tray's menu, "Yes".
        const qulonglong question = program.ChooseExit(icon);
        QVERIFY2(question != 0, qPrintable(program.Output()));
        program.Answer(question);
        QVERIFY2(program.WaitForExit(10000), qPrintable(program.Output()));
        QVERIFY2(program.Untraced().isEmpty(), qPrintable(program.Untraced().join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
