// New mail and errors as the desktop's notifications: a real notification service (dunst) on
// the display's private session bus, the program's calls to it read off the bus with
// dbus-monitor, the user's answers given as the service gives them.
#include "core/Options.h"
#include "support/peers/ProgramUnderTest.h"
#include "support/peers/RealPeer.h"
#include "support/peers/ScriptedServer.h"

#include <QRegularExpression>

namespace {
bool WriteWhole(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A check whose STAT (or, for "-ERR", PASS) gets `reply`. The server has no UIDL: the
// mailbox's `first` check with mail asks for it once.
ServerScript Check(const QByteArray& reply, bool first) {
    if (reply.startsWith("-ERR"))
        return Conversation({"+OK Ready.\r\n", "+OK\r\n", reply});
    if (first && !reply.startsWith("+OK 0 "))
        return Conversation({"+OK Ready.\r\n", "+OK\r\n", "+OK Logged in.\r\n", reply,
                             "-ERR unknown command\r\n", "+OK Bye.\r\n"});
    return Conversation({"+OK Ready.\r\n", "+OK\r\n", "+OK Logged in.\r\n", reply, "+OK Bye.\r\n"});
}

// One Notify or CloseNotification the program sent: its text as dbus-monitor prints it, the
// id it names (replaces_id, or the one to close) and the id the service answered with.
struct Call {
    QString member, text;
    quint32 named = 0, answered = 0;
};

QList<Call> Calls(const QString& monitored) {
    const auto field = [](const QString& head, const QString& name) {
        return QRegularExpression(name + "=([^ ;]+)").match(head).captured(1);
    };
    const QRegularExpression uint(QStringLiteral("^   uint32 (\\d+)"),
                                  QRegularExpression::MultilineOption);
    // A message starts with its kind; a string argument may span lines.
    const QStringList messages =
        monitored.split(QRegularExpression("\n(?=(method call|method return|signal|error) time=)"));
    QList<Call> calls;
    for (const QString& message : messages) {
        const QString head = message.section('\n', 0, 0);
        const QString member = field(head, "member");
        if (member == "Notify" || member == "CloseNotification") {
            Call call{member, message, uint.match(message).captured(1).toUInt()};
            for (const QString& reply : messages) // the service's answer to this call
                if (reply.startsWith("method return") &&
                    field(reply.section('\n', 0, 0), "reply_serial") == field(head, "serial"))
                    call.answered = uint.match(reply).captured(1).toUInt();
            calls << call;
        }
    }
    return calls;
}
// The notification service's calls and answers on the display's bus, as dbus-monitor sees
// them; calls() parses what has come so far.
struct NotifyMonitor {
    explicit NotifyMonitor(const XSession& x) {
        monitor.setProcessEnvironment(x.Environment());
        StartInOwnGroup(
            monitor, "dbus-monitor",
            {"--session", "interface='org.freedesktop.Notifications'", "type='method_return'"});
    }
    ~NotifyMonitor() { StopGroup(monitor); }
    bool Started() { return monitor.waitForStarted(PeerStartMs); }
    QList<Call> operator()() { return Calls(seen += monitor.readAllStandardOutput()); }
    QProcess monitor;
    QString seen;
};
} // namespace

class TestNotifications final : public QObject {
    Q_OBJECT
private slots:
    void notifications_data() {
        QTest::addColumn<int>("service"); // 1: running; 2: started by the bus; 0: fails to start
        QTest::addColumn<QByteArrayList>("replies"); // one check each: at start, then "Check Mail"
        QTest::addColumn<QString>("action");         // given to the first notification
        QTest::newRow("new mail, replaced, closed when read")
            << 1 << QByteArrayList{"+OK 3 300\r\n", "+OK 4 400\r\n", "+OK 0 0\r\n"} << "";
        QTest::newRow("Hide Permanently")
            << 1 << QByteArrayList{"+OK 3 300\r\n"} << "hide-permanently";
        QTest::newRow("errors") << 1 << QByteArrayList{"-ERR Locked.\r\n", "-ERR Locked again.\r\n"}
                                << "";
        QTest::newRow("started by the bus") << 2 << QByteArrayList{"+OK 3 300\r\n"} << "";
        QTest::newRow("no service") << 0 << QByteArrayList{"+OK 3 300\r\n"} << "";
    }

    void notifications() {
        QFETCH(int, service);
        QFETCH(QByteArrayList, replies);
        QFETCH(QString, action);
        ScriptedServer server;
        QVERIFY(server.IsListening());
        for (const QByteArray& reply : replies)
            server.Queue(Check(reply, &reply == &replies.first()));
        XSession x;
        TARNWICK_START_PEER(x);
        QString error;
        QVERIFY2(service != 1 || x.StartNotificationService(&error), qPrintable(error));
        QVERIFY2(service != 0 || x.BreakNotificationService(&error), qPrintable(error));
        NotifyMonitor calls(x);
        QVERIFY(calls.Started());
        const QString& monitored = calls.seen;

        Program program(x);
        Options options;
        options.DesktopNotifications = true;
        QVERIFY(options.Save(program.OptionsPath()).isEmpty());
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "secret", 0));
        settings.CheckInterval = 60; // the checks after the first come from "Check Mail"
        settings.ShowErrors = true;
        const qulonglong icon = program.StartWith(settings);
        QVERIFY2(icon != 0, qPrintable(program.Output()));
        if (service == 0) { // the alert window, and why, once
            // (the server answers in this event loop meanwhile)
            QVERIFY2(WaitFor([&] { return x.WaitForWindow("^Alert!$", 100) != 0; }, PeerStartMs),
                     qPrintable(program.Output() + ReadFile(program.ErrLog())));
            const auto noted = [&] {
                return program.Untraced().filter("no desktop notification service").size();
            };
            QVERIFY2(WaitFor([&] { return noted() > 0; }, 5000), qPrintable(program.Output()));
            QCOMPARE(noted(), 1);
            return;
        }
        const bool errors = replies[0].startsWith("-ERR");
        const QString first = errors ? "Error with Home" : "Home has 3 new emails.";
        QVERIFY2(WaitFor([&] { return calls().size() == 1 && calls()[0].answered; }, PeerStartMs),
                 qPrintable(monitored + program.Output()));
        const Call shown = calls()[0];
        QVERIFY2(shown.text.contains(first) && shown.named == 0, qPrintable(shown.text));
        QCOMPARE(shown.text.contains("Hide Permanently"), !errors);
        QVERIFY(x.WaitForWindow("^Alert!$", 100) == 0);
        if (service == 2)
            return; // the rest as with a service that runs

        if (!action.isEmpty()) { // the user's choice, as the service announces it
            x.Run("gdbus", {"emit", "--session", "--object-path", "/org/freedesktop/Notifications",
                            "--signal", "org.freedesktop.Notifications.ActionInvoked",
                            QString("uint32 %1").arg(shown.answered), action});
            QVERIFY(WaitFor(
                [&] {
                    const auto saved = program.ReadSettings();
                    return saved && saved->Users[0].NumMails == 3;
                },
                10000));
        }
        // Each later check through the control centre's "Check Mail": the notification is
        // replaced with the new count (or the error with its count of failures), then closed
        // once the mail is read elsewhere; an action closes it at once.
        x.DoubleClick(icon, 11, 13);
        QVERIFY(program.WaitForControlCentre(PeerStartMs) != 0);
        const QStringList expected = {"Home has 4 new emails.", "(failed 2 times since"};
        for (qsizetype i = 1; i < replies.size(); ++i) {
            QVERIFY(x.Press("Tarnwick", "Check Mail"));
            QVERIFY2(WaitFor([&] { return calls().size() == i + 1; }, PeerStartMs),
                     qPrintable(monitored));
            const Call next = calls().last();
            QCOMPARE(next.named, shown.answered);
            QCOMPARE(next.member, QString(i == 2 ? "CloseNotification" : "Notify"));
            QVERIFY2(i == 2 || next.text.contains(expected[errors]), qPrintable(next.text));
        }
        if (replies.size() == 1)
            QVERIFY2(WaitFor([&] { return calls().size() == 2; }, 10000), qPrintable(monitored));
        QVERIFY2(replies.size() > 1 || calls().last().member == "CloseNotification",
                 qPrintable(monitored));
        x.Screenshot(ShotPath(QString("e2e-notification-%1.png").arg(QTest::currentDataTag())));
    }

    // The notification's default action opens the mail: the mail client that the desktop's
    // default applications name for mailto: links (a stand-in script here), started without
    // a compose address. The notification stays: opening is no answer.
    void defaultActionStartsTheMailClient() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.Queue(Check("+OK 2 200\r\n", true));
        XSession x;
        TARNWICK_START_PEER(x);
        QString error;
        QVERIFY2(x.StartNotificationService(&error), qPrintable(error));
        NotifyMonitor calls(x);
        QVERIFY(calls.Started());
        const QString& monitored = calls.seen;

        Program program(x);
        // The test world's default applications: a stand-in mail client for mailto: links.
        const QDir config = QFileInfo(program.SettingsPath()).dir();
        const QString applications = config.filePath("../.local/share/applications");
        const QString started = config.filePath("../mail-client-started");
        const QString script = config.filePath("../standin-mail");
        QVERIFY(QDir().mkpath(applications));
        QVERIFY(WriteWhole(script, "#!/bin/sh\necho \"$# $*\" > '" + started.toUtf8() + "'\n"));
        QVERIFY(
            QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(WriteWhole(applications + "/standin-mail.desktop",
                           "[Desktop Entry]\nType=Application\nName=Stand-in Mail\nExec=" +
                               script.toUtf8() + " %u\nMimeType=x-scheme-handler/mailto;\n"));
        QVERIFY(
            WriteWhole(config.filePath("mimeapps.list"),
                       "[Default Applications]\nx-scheme-handler/mailto=standin-mail.desktop\n"));
        Options options;
        options.DesktopNotifications = true;
        QVERIFY(options.Save(program.OptionsPath()).isEmpty());
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "secret", 0));
        settings.CheckInterval = 60;
        QVERIFY2(program.StartWith(settings) != 0, qPrintable(program.Output()));
        QVERIFY2(WaitFor([&] { return calls().size() == 1 && calls()[0].answered; }, PeerStartMs),
                 qPrintable(monitored + program.Output()));
        const Call shown = calls()[0];
        QVERIFY2(shown.text.contains("Home has 2 new emails.") && shown.text.contains("Open"),
                 qPrintable(shown.text));
        x.Run("gdbus", {"emit", "--session", "--object-path", "/org/freedesktop/Notifications",
                        "--signal", "org.freedesktop.Notifications.ActionInvoked",
                        QString("uint32 %1").arg(shown.answered), "default"});
        QVERIFY2(WaitFor([&] { return QFile::exists(started); }, 10000),
                 qPrintable(program.Output()));
        QVERIFY(WaitFor([&] { return ReadFile(started) == "0 \n"; }, 2000)); // no address
        QVERIFY(calls().last().member != "CloseNotification");
    }
};

QTEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
