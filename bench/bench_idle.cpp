// Three mailboxes watched in IMAP IDLE against three POP3 mailboxes polled each minute, then
// twenty watched, in the same run against one Dovecot server on loopback (needs root, like
// the Dovecot tests): the process's CPU time and wake-ups (voluntary context switches of all
// its threads) per idle minute, and the time from a delivery to its count on the IDLE
// connection. (The delivery to the alert, through the whole program: bench_alert.)
#include "check/CheckEngine.h"
#include "check/Logs.h"
#include "check/MailboxStates.h"
#include "check/SocketTransport.h"
#include "core/Clock.h"
#include "core/Settings.h"
#include "support/peers/Dovecot.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

namespace {
// The first `count` of twenty logins.
QStringList Logins(int count = 3) {
    QStringList logins = {"alice", "bob", "carol"};
    for (int i = 4; i <= count; ++i)
        logins << QStringLiteral("user%1").arg(i);
    return logins.mid(0, count);
}

struct Usage {
    double cpuSeconds = 0;
    long wakeUps = 0;
};

Usage Now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
            usage.ru_nvcsw};
}

// A check engine with `count` users on `server` (a text with "%1" for the login's host).
struct Checker {
    explicit Checker(const QString& prefix, quint16 port, int count = 3)
        : logs(settings, states, clock, dir.path()) {
        settings.CheckInterval = 1;
        settings.ShowErrors = false;
        engine.SetTransportFactory([] { return std::make_unique<SocketTransport>(); });
        for (const QString& login : Logins(count)) {
            settings.GrowFor(settings.LastUser + 1);
            UserRecord& user = settings.Users[++settings.LastUser];
            user.ScreenName = login;
            user.Username = login;
            user.Password = QStringLiteral("secret");
            user.MailServer = prefix + QStringLiteral("127.0.0.1:") + QString::number(port);
            settings.AssignId(settings.LastUser);
        }
    }
    QTemporaryDir dir;
    SystemClock clock;
    Settings settings;
    MailboxStates states;
    CheckLogs logs;
    SocketTransport transport;
    CheckEngine engine{settings, states, clock, transport, logs};
};

void Idle(const char* who, int seconds) {
    // An event loop that sleeps until something happens: QTest::qWait would wake it itself.
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const Usage before = Now();
    loop.exec();
    const Usage after = Now();
    const double minutes = seconds / 60.0;
    std::printf("%-28s CPU %7.1f ms/min   wake-ups %7.1f /min\n", who,
                (after.cpuSeconds - before.cpuSeconds) * 1000 / minutes,
                double(after.wakeUps - before.wakeUps) / minutes);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(10, atoi(argv[1])) : 60;
    if (const QString why = Dovecot::Unavailable(); !why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }
    Dovecot server;
    server.EnableImap();
    QString error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    for (const QString& login : Logins(20))
        if (!server.AddUser(login, QStringLiteral("secret")) || !server.DeliverMail(login, 1))
            return 1;

    {
        Checker pop3(QString(), server.Port());
        pop3.engine.Start();
        QTest::qWait(3000); // the first checks
        Idle("3 POP3, polled each minute", seconds);
    }

    const auto watched = [](Checker& imap) {
        for (int i = 0; i < imap.settings.UserCount(); ++i)
            if (!imap.engine.Idle().IsWatched(imap.settings.Users[i].Id))
                return false;
        return true;
    };
    {
        Checker many(QStringLiteral("imap://"), server.ImapPort(), 20);
        many.settings.CheckInterval = 5;
        many.engine.Start();
        if (!QTest::qWaitFor([&] { return watched(many); }, 60000))
            return 1;
        QTest::qWait(2000);
        Idle("20 IMAP, in IDLE, 5 minutes", seconds);
    }

    Checker imap(QStringLiteral("imap://"), server.ImapPort());
    imap.settings.CheckInterval = 5;
    imap.engine.Start();
    if (!QTest::qWaitFor([&] { return watched(imap); }, 30000))
        return 1;
    QTest::qWait(2000); // each has counted and idles
    Idle("3 IMAP, in IDLE, 5 minutes", seconds);

    std::vector<double> latencies;
    for (int n = 0; n < 5; ++n) {
        const quint64 user = imap.settings.Users[0].Id;
        const qint32 before = imap.states.Of(user).NewNumMails;
        QElapsedTimer timer;
        timer.start();
        server.DeliverMail(QStringLiteral("alice"), 1);
        if (!QTest::qWaitFor([&] { return imap.states.Of(user).NewNumMails != before; }, 30000))
            return 1;
        latencies.push_back(double(timer.elapsed()));
        QTest::qWait(500);
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("delivery to count (IDLE)     median %.0f ms, slowest %.0f ms (5 deliveries)\n",
                latencies[2], latencies.back());
    return 0;
}
