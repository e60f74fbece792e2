// From a delivery to its alert, through the real program: one mailbox watched in IMAP IDLE on
// a Dovecot server on loopback, the alerts shown as the desktop's notifications by a real
// notification service on the display's private session bus. Each delivery raises the count,
// and the program replaces its notification at once; the time of that Notify call is read off
// the bus (dbus-monitor stamps every message) and set against the time of the delivery.
// Beside it, on the same mailbox and for the same deliveries, the peers where installed:
// gnubiff and Mailnag, each watching in IDLE, each timed to the command it runs at new mail.
// `bench_alert [deliveries]` (20). Needs root, like the Dovecot tests.
#include "Peers.h"
#include "core/Options.h"
#include "support/peers/Dovecot.h"
#include "support/peers/ProgramUnderTest.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
int Fail(const QString& why) {
    std::fprintf(stderr, "%s\n", qPrintable(why));
    return 1;
}

// The bus time (seconds since the epoch, in ms) of the first Notify call monitored so far
// whose text tells of `count` new emails; 0 for none yet.
double NotifyTime(const QString& monitored, int count) {
    static const QRegularExpression call(
        QStringLiteral("^method call time=([0-9.]+) [^\n]*member=Notify"),
        QRegularExpression::MultilineOption);
    const QString text = QStringLiteral("has %1 new emails.").arg(count);
    for (auto it = call.globalMatch(monitored); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        // The call's arguments run up to the next message.
        const qsizetype next = monitored.indexOf(QStringLiteral("\nmethod "), match.capturedEnd());
        if (monitored.mid(match.capturedEnd(), next < 0 ? -1 : next - match.capturedEnd())
                .contains(text))
            return match.captured(1).toDouble() * 1000;
    }
    return 0;
}

// A peer timed by the command it runs at new mail: a script that appends the time (seconds
// since the epoch) to a file of its own.
struct TimedPeer {
    explicit TimedPeer(const char* peer) : name(peer) {
        QFile file(Script());
        if (file.open(QIODevice::WriteOnly))
            file.write("#!/bin/sh\ndate +%s.%N >> " + Times().toUtf8() + "\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString Script() const { return home.filePath("new-mail.sh"); }
    QString Times() const { return home.filePath("times"); }
    // The times the command ran so far, in ms.
    QList<double> Runs() const {
        QFile file(Times());
        QList<double> runs;
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n'))
                if (!line.isEmpty())
                    runs.append(line.toDouble() * 1000);
        return runs;
    }
    const char* name;
    QTemporaryDir home;
    QProcess process;
    bool running = false;
    qsizetype seen = 0; // runs before the delivery
    std::vector<double> latencies;
};

void PrintLatencies(const char* who, std::vector<double> latencies) {
    if (latencies.empty()) {
        std::printf("delivery to alert, %s: none\n", who);
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("delivery to alert, %-36s median %.0f ms, fastest %.0f ms, slowest %.0f ms (%zu "
                "deliveries)\n",
                who, latencies[latencies.size() / 2], latencies.front(), latencies.back(),
                latencies.size());
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int deliveries = argc > 1 ? std::max(3, atoi(argv[1])) : 20;
    for (const QString& why : {Dovecot::Unavailable(), XSession::Unavailable()})
        if (!why.isEmpty())
            return Fail(why);
    Dovecot server;
    server.EnableImap();
    QString error;
    if (!server.Start(&error) || !server.AddUser("alice", "pw") || !server.DeliverMail("alice", 1))
        return Fail("Dovecot: " + error);
    XSession x;
    if (!x.Start(&error) || !x.StartNotificationService(&error))
        return Fail("display: " + error);

    QProcess monitor;
    monitor.setProcessEnvironment(x.Environment());
    StartInOwnGroup(monitor, "dbus-monitor",
                    {"--session", "interface='org.freedesktop.Notifications'"});
    if (!monitor.waitForStarted(PeerStartMs))
        return Fail("dbus-monitor did not start");
    QString monitored;
    const auto notified = [&](int count) {
        return NotifyTime(monitored += monitor.readAllStandardOutput(), count);
    };

    Program program(x);
    Options options;
    options.DesktopNotifications = true;
    if (const QString why = options.Save(program.OptionsPath()); !why.isEmpty())
        return Fail(why);
    Settings settings;
    AddUser(settings,
            MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.ImapPort()),
                     "pw", 0)); // the password the peers know
    settings.CheckInterval = 5;
    settings.ShowInterval = 0;
    if (program.StartWith(settings) == 0)
        return Fail("no tray icon: " + program.Output());
    // The first count, then a moment for the watch to begin its IDLE.
    if (!WaitFor([&] { return notified(1) != 0; }, PeerStartMs))
        return Fail("no notification: " + program.Output());

    // The peers, each watching the same mailbox with the same check interval.
    TimedPeer peers[2] = {TimedPeer("gnubiff (its new-mail command)"),
                          TimedPeer("Mailnag (its user script)")};
    PrivateKeyring keyring;
    if (QFile::exists(PeerBinary))
        peers[0].running =
            StartPeer(x,
                      PeerConfig({{"imap4", "user_pass", server.ImapPort(), "alice", 300}},
                                 peers[0].Script().toUtf8()),
                      peers[0].home, peers[0].process);
    if (QFile::exists(MailnagBinary) && keyring.Start())
        peers[1].running = StartMailnag(keyring, {"alice"}, server.ImapPort(), 5, peers[1].home,
                                        peers[1].process, peers[1].Script());
    for (TimedPeer& peer : peers)
        if (peer.running &&
            !WaitFor([&] { return Connections(peer.process.processId(), server.ImapPort()) > 0; },
                     PeerStartMs))
            peer.running = false;
    QTest::qWait(2000);

    std::vector<double> latencies;
    for (int n = 0; n < deliveries; ++n) {
        const int count = n + 2;
        for (TimedPeer& peer : peers)
            peer.seen = peer.Runs().size();
        const double delivered = double(QDateTime::currentMSecsSinceEpoch());
        if (!server.DeliverMail("alice", 1))
            return Fail("delivery failed");
        if (!WaitFor([&] { return notified(count) != 0; }, 30000))
            return Fail("no notification for delivery " + QString::number(n + 1));
        latencies.push_back(notified(count) - delivered);
        for (TimedPeer& peer : peers) {
            if (peer.running && WaitFor([&] { return peer.Runs().size() > peer.seen; }, 30000))
                peer.latencies.push_back(peer.Runs().value(peer.seen) - delivered);
            else
                peer.running = false; // it missed one: not asked again
        }
        QTest::qWait(700); // off any grid of the server's or the program's
    }
    StopGroup(monitor);
    PrintLatencies("Tarnwick (its notification)", latencies);
    for (TimedPeer& peer : peers) {
        PrintLatencies(peer.name, peer.latencies);
        Stop(peer.process);
    }
    return 0;
}
