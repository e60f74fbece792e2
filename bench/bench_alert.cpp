// From a delivery to its alert, through the real program: one mailbox watched in IMAP IDLE on
// a Dovecot server on loopback, the alerts shown as the desktop's notifications by a real
// notification service on the display's private session bus. Each delivery raises the count,
// and the program replaces its notification at once; the time of that Notify call is read off
// the bus (dbus-monitor stamps every message) and set against the time of the delivery.
// `bench_alert [deliveries]` (20). Needs root, like the Dovecot tests.
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
    if (!server.Start(&error) || !server.AddUser("alice", "secret") ||
        !server.DeliverMail("alice", 1))
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
                     "secret", 0));
    settings.CheckInterval = 5;
    settings.ShowInterval = 0;
    if (program.StartWith(settings) == 0)
        return Fail("no tray icon: " + program.Output());
    // The first count, then a moment for the watch to begin its IDLE.
    if (!WaitFor([&] { return notified(1) != 0; }, PeerStartMs))
        return Fail("no notification: " + program.Output());
    QTest::qWait(2000);

    std::vector<double> latencies;
    for (int n = 0; n < deliveries; ++n) {
        const int count = n + 2;
        const double delivered = double(QDateTime::currentMSecsSinceEpoch());
        if (!server.DeliverMail("alice", 1))
            return Fail("delivery failed");
        if (!WaitFor([&] { return notified(count) != 0; }, 30000))
            return Fail("no notification for delivery " + QString::number(n + 1));
        latencies.push_back(notified(count) - delivered);
        QTest::qWait(700); // off any grid of the server's or the program's
    }
    StopGroup(monitor);
    std::sort(latencies.begin(), latencies.end());
    std::printf("delivery to alert (IDLE, notification)  median %.0f ms, fastest %.0f ms, "
                "slowest %.0f ms (%d deliveries)\n",
                latencies[latencies.size() / 2], latencies.front(), latencies.back(), deliveries);
    return 0;
}
