// The real program on a virtual display with a notification area: the time from process start
// to its icon in the tray, then idle windows from a table of cases: 0, 1 and 3 users checked
// against a real POP3 server (CheckInterval 1: each user once a minute), and 3 users over TLS
// (pop3s, the test CA in Tarnwick-ca.pem: every certificate verified). Beside it, in the same
// run, on the same server and tray, a peer that people use for the same job, Debian's gnubiff,
// with as many mailboxes each polled once a minute. Both are started together and left to
// settle (first checks done, one window's length passed) before counting; then each window
// counts both whole processes at once (WholeProcess.h), repeated, and prints the mean and the
// range of each, of the ratio too, and memory (RSS and USS) at the end.
// `bench_program [seconds [rounds]] [plain|tls|idle]`: window length (60 s) and repeats (2);
// only the plain or only the TLS cases; or instead the watch cases: 3 and 20 mailboxes in IMAP
// IDLE (check interval 5 minutes) beside both gnubiff and Mailnag, no start-to-icon; a bare Qt
// tray program runs beside them, as Mailnag beside gnubiff, so that both toolkits are shared;
// then a frozen link under 3 mailboxes checked each minute (TimeFrozenLink).
#include "Peers.h"
#include "WholeProcess.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "support/doubles/FixedRandom.h"
#include "support/doubles/RecordingDialogs.h"
#include "support/peers/Dovecot.h"
#include "support/peers/TestCertificates.h"
#include "support/peers/XSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {
// From process start to an icon in the notification area, polled as below; the program is
// left running.
double StartToIcon(const XSession& x, QProcess& program, const QString& binary) {
    QElapsedTimer clock;
    clock.start();
    program.start(binary, {});
    while (x.TrayIcons().isEmpty() && clock.elapsed() < 60000)
        QThread::msleep(2);
    return clock.nsecsElapsed() / 1e6;
}

void StopAndWaitForNoIcon(const XSession& x, QProcess& program) {
    program.terminate();
    program.waitForFinished(5000);
    while (!x.TrayIcons().isEmpty())
        QThread::msleep(5);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Tarnwick against a bare Qt program that shows one tray icon, started in turn under the same
// display and notification area, with the same polling.
void CompareStartToIcon(const XSession& x, const QProcessEnvironment& env, const QString& tarnwick,
                        int rounds) {
    std::vector<double> ours;
    std::vector<double> bare;
    for (int i = 0; i < rounds; ++i) {
        for (const bool isOurs : {true, false}) {
            QProcess program;
            program.setProcessEnvironment(env);
            program.setStandardOutputFile(QProcess::nullDevice());
            program.setStandardErrorFile(QProcess::nullDevice());
            const double ms =
                StartToIcon(x, program, isOurs ? tarnwick : QStringLiteral(BARE_TRAY_BINARY));
            (isOurs ? ours : bare).push_back(ms);
            StopAndWaitForNoIcon(x, program);
        }
    }
    std::printf("start to icon, in turn with a bare Qt tray program (%d starts each): "
                "Tarnwick median %.0f ms, bare %.0f ms (%.2fx)\n",
                rounds, Median(ours), Median(bare), Median(ours) / Median(bare));
}

int Fail(const QString& why) {
    std::fprintf(stderr, "bench_program: %s\n", qPrintable(why));
    return 1;
}

// One idle window of the table: so many users (the peer: as many mailboxes), in clear or over
// TLS (pop3s; the peer with "ssl").
struct Case {
    const char* title;
    int users;
    bool tls;
};
const Case Cases[] = {
    {"0 users (gnubiff: one mailbox, checked at start, then once a day)", 0, false},
    {"1 user, checked once a minute", 1, false},
    {"3 users, each checked once a minute", 3, false},
    {"3 users over TLS (pop3s), each checked once a minute", 3, true},
};

// For case `c`: a POP3 mailbox for each user on the benchmark's server, each checked once a
// minute (as the program checks each user). Without a mailbox the peer tries an empty default
// one every 3 s: for no users it gets one it checks at start and then once a day.
QByteArray PeerConfig(const Dovecot& server, const Case& c) {
    QList<PeerMailbox> boxes;
    for (int i = 1; i <= std::max(c.users, 1); ++i)
        boxes.append({"pop3", c.tls ? "ssl" : "user_pass", c.tls ? server.TlsPort() : server.Port(),
                      PeerLogin.toUtf8(), c.users == 0 ? 86400 : 60});
    return PeerConfig(boxes);
}

void WriteSettings(const QString& path, const QStringList& logins, const QString& serverText,
                   int checkInterval = 1) {
    Settings settings;
    for (const QString& login : logins) {
        settings.GrowFor(++settings.LastUser);
        UserRecord& u = settings.Users[settings.LastUser];
        u.ScreenName = login.toUpper();
        u.Username = login;
        u.MailServer = serverText;
        u.Password = QStringLiteral("pw");
        u.NumMails = 2; // nothing new: no alert, just the checks
    }
    settings.CheckInterval = checkInterval; // in minutes: 1, each user once a minute
    RecordingDialogs dialogs;
    FixedRandom random;
    SettingsFile(settings, dialogs, random, path).SaveFile();
}

// The figures of one program over the windows of a case.
struct Figures {
    std::vector<double> cpu; // per minute, each window
    std::vector<double> wakeUps;
    double statCpu = 0; // all windows, by /proc/PID/stat
    double perfCpu = 0;
    int checks = 0;
    void Add(const Usage& u, double minutes, int windowChecks) {
        cpu.push_back(u.cpuMs / minutes);
        wakeUps.push_back(u.wakeUps / minutes);
        statCpu += u.statCpuMs;
        perfCpu += u.cpuMs;
        checks += windowChecks;
    }
    void Print(const char* who, const Memory& m) const {
        std::printf("  %-9s CPU %s ms/min   wake-ups %s /min   RSS %.1f MB   USS %.1f MB (dirty "
                    "%.1f)",
                    who, qPrintable(Spread(cpu).Text()), qPrintable(Spread(wakeUps).Text()),
                    m.rssMb, m.ussMb, m.dirtyMb);
        // Idle time between checks costs next to nothing (the 0-user case): this is the check.
        if (checks > 0)
            std::printf("   %.2f ms a check", perfCpu / checks);
        std::printf("\n");
    }
};

// Ours against theirs, window by window (a window where the peer counted nothing has none).
QString Ratio(const std::vector<double>& ours, const std::vector<double>& theirs) {
    std::vector<double> r;
    for (size_t i = 0; i < ours.size(); ++i)
        if (theirs[i] > 0)
            r.push_back(ours[i] / theirs[i]);
    if (r.empty())
        return QStringLiteral("- (the peer counted nothing)");
    const Spread s(r);
    return s.Text(2) + (s.max <= 1  ? "x, at or below the peer in every window"
                        : s.min > 1 ? "x, ABOVE the peer in every window"
                                    : "x, above the peer in some windows");
}

int LineCount(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}

// The watch cases: so many mailboxes, each watched in IMAP IDLE with a check interval of 5
// minutes, by Tarnwick and, on the same mailboxes of their own server, by both peers.
const int WatchCases[] = {3, 20};
constexpr int WatchInterval = 5;

QStringList WatchLogins(int count) {
    QStringList logins;
    for (int i = 1; i <= count; ++i)
        logins << QStringLiteral("user%1").arg(i, 2, 10, QLatin1Char('0'));
    return logins;
}

// One program of a watch case and its figures.
struct Watcher {
    explicit Watcher(const char* program) : name(program) {}
    const char* name;
    QProcess process;
    Figures figures;
    bool running = false;
};

// The lines of `ss` for the established connections to `port` (the clients' ends) or, with
// `serverSide`, from it (the server's ends).
QList<QByteArray> Established(quint16 port, bool serverSide) {
    QProcess ss;
    ss.start("ss", {"-Htnp", "state", "established", serverSide ? "sport" : "dport", "=",
                    ":" + QString::number(port)});
    ss.waitForFinished(10000);
    return ss.readAllStandardOutput().split('\n');
}

// The local ends ("address:port") of process `pid`'s connections to `port`.
QSet<QByteArray> LocalEnds(qint64 pid, quint16 port) {
    QSet<QByteArray> ends;
    for (const QByteArray& line : Established(port, false))
        if (line.contains("pid=" + QByteArray::number(pid) + ","))
            ends.insert(line.simplified().split(' ').value(2));
    return ends;
}

// The processes that serve the connections on `port`.
QSet<qint64> ServerProcesses(quint16 port) {
    QSet<qint64> pids;
    for (const QByteArray& line : Established(port, true))
        for (qsizetype at = line.indexOf("pid="); at >= 0; at = line.indexOf("pid=", at + 1))
            pids.insert(line.mid(at + 4, line.indexOf(',', at) - at - 4).toLongLong());
    pids.remove(0);
    return pids;
}

// A link that freezes: the server's side of every watching connection stops (SIGSTOP), so
// that nothing arrives and nothing is refused, as behind a dead router. Times, for each
// program, how long until it gives up a frozen connection of its own, up to `limitS` seconds;
// then lets the server go on.
void TimeFrozenLink(Watcher* watchers, qsizetype count, quint16 port, int interval, int limitS) {
    QList<QSet<QByteArray>> before;
    for (qsizetype i = 0; i < count; ++i)
        before.append(watchers[i].running ? LocalEnds(watchers[i].process.processId(), port)
                                          : QSet<QByteArray>());
    const QSet<qint64> server = ServerProcesses(port);
    for (const qint64 pid : server)
        ::kill(pid_t(pid), SIGSTOP);
    QElapsedTimer clock;
    clock.start();
    QList<double> noticed(count, -1);
    for (bool waiting = true; waiting && clock.elapsed() < limitS * 1000LL;) {
        QThread::msleep(500);
        waiting = false;
        for (qsizetype i = 0; i < count; ++i) {
            if (!watchers[i].running || before[i].isEmpty() || noticed[i] >= 0)
                continue;
            const QSet<QByteArray> now = LocalEnds(watchers[i].process.processId(), port);
            if (!now.contains(before[i]))
                noticed[i] = clock.elapsed() / 1000.0;
            else
                waiting = true;
        }
    }
    for (const qint64 pid : server)
        ::kill(pid_t(pid), SIGCONT);
    std::printf("frozen link (the server's %lld processes stopped), check interval %d minute; "
                "a frozen connection given up after:",
                static_cast<long long>(server.size()), interval);
    for (qsizetype i = 0; i < count; ++i) {
        if (!watchers[i].running)
            continue;
        if (noticed[i] >= 0)
            std::printf("  %s %.0f s", watchers[i].name, noticed[i]);
        else
            std::printf("  %s not within %d s", watchers[i].name, limitS);
    }
    std::printf("\n");
}

// The watch cases, after the display and the counter are ready; prints the README's rows.
int RunWatchCases(const XSession& x, const WholeProcessCounter& counter,
                  const QProcessEnvironment& env, const QString& binary,
                  const QString& settingsPath, int idleSeconds, int rounds) {
    QString error;
    Dovecot server;
    server.EnableImap();
    if (!server.Start(&error))
        return Fail(error);
    for (const QString& login : WatchLogins(WatchCases[std::size(WatchCases) - 1]))
        if (!server.AddUser(login, "pw") || !server.DeliverMail(login, 1))
            return Fail(QStringLiteral("Cannot add ") + login);
    PrivateKeyring keyring;
    const bool withMailnag = QFile::exists(MailnagBinary) && keyring.Start();
    if (!withMailnag)
        std::printf("peer: Mailnag not installed (apt-get install mailnag) or no keyring: "
                    "no comparison with it\n");
    const bool withGnubiff = QFile::exists(PeerBinary);
    const quint16 port = server.ImapPort();
    const double minutes = idleSeconds / 60.0;
    QStringList rows{"| | Tarnwick | Mailnag 2.2 | gnubiff 2.2.17 |", "|---|---|---|---|"};
    // The counted cases, then a link that freezes under 3 mailboxes checked each minute.
    for (qsizetype pass = 0; pass <= qsizetype(std::size(WatchCases)); ++pass) {
        const bool freeze = pass == qsizetype(std::size(WatchCases));
        const int count = freeze ? 3 : WatchCases[pass];
        const int interval = freeze ? 1 : WatchInterval;
        const QStringList logins = WatchLogins(count);
        WriteSettings(settingsPath, logins, QStringLiteral("imap://127.0.0.1:%1").arg(port),
                      interval);
        Watcher watchers[3] = {Watcher("Tarnwick"), Watcher("Mailnag"), Watcher("gnubiff")};
        watchers[0].process.setProcessEnvironment(env);
        watchers[0].running = StartWithIcon(x, watchers[0].process, binary, {}, 1);
        if (!watchers[0].running)
            return Fail(QStringLiteral("Tarnwick put no icon in the tray"));
        // Another Qt program on the desktop, as Mailnag is another GTK program beside gnubiff:
        // each toolkit's library pages are shared, and USS counts what each program adds.
        QProcess otherQt;
        otherQt.setProcessEnvironment(env);
        if (!StartWithIcon(x, otherQt, QStringLiteral(BARE_TRAY_BINARY), {},
                           x.TrayIcons().size() + 1))
            std::printf("bench_bare_tray put no icon in the tray: Qt's pages are not shared\n");
        QTemporaryDir mailnagHome;
        watchers[1].running = withMailnag && StartMailnag(keyring, logins, port, interval,
                                                          mailnagHome, watchers[1].process);
        QTemporaryDir gnubiffHome;
        QList<PeerMailbox> boxes;
        for (const QString& login : logins)
            boxes.append({"imap4", "user_pass", port, login.toUtf8(), interval * 60});
        watchers[2].running =
            withGnubiff && StartPeer(x, PeerConfig(boxes), gnubiffHome, watchers[2].process);

        // Counted once every running program watches every mailbox and a window, and at least
        // 130 s, have passed.
        QElapsedTimer settle;
        settle.start();
        const auto allWatch = [&] {
            for (const Watcher& w : watchers)
                if (w.running && Connections(w.process.processId(), port) < count)
                    return false;
            return true;
        };
        while (!allWatch() && settle.elapsed() < 180000)
            QThread::msleep(500);
        if (freeze) {
            QThread::msleep(5000); // each in IDLE, not still counting
            TimeFrozenLink(watchers, std::size(watchers), port, interval, 300);
            Stop(otherQt);
            for (Watcher& w : watchers)
                Stop(w.process);
            while (!x.TrayIcons().isEmpty())
                QThread::msleep(20);
            continue;
        }
        // Past every connection's first keep-alive (Dovecot's come every 2 minutes): what is
        // counted is the watch as it goes on, not its start.
        const qint64 settleMs = std::max(idleSeconds, 130) * 1000LL;
        QThread::msleep(quint64(std::max(0LL, settleMs - settle.elapsed())));
        std::printf("%d mailboxes in IDLE, check interval %d minutes; connections open:", count,
                    WatchInterval);
        QList<qint64> pids;
        QList<Watcher*> counted;
        for (Watcher& w : watchers) {
            if (!w.running)
                continue;
            std::printf(" %s %d", w.name, Connections(w.process.processId(), port));
            pids.append(w.process.processId());
            counted.append(&w);
        }
        std::printf("\n");
        for (int round = 1; round <= rounds; ++round) {
            const QList<Usage> u = counter.Window(pids, idleSeconds);
            std::printf("  window %d:", round);
            for (qsizetype i = 0; i < counted.size(); ++i) {
                counted[i]->figures.Add(u[i], minutes, 0);
                std::printf("  %s %.2f ms, %.1f wake-ups", counted[i]->name,
                            counted[i]->figures.cpu.back(), counted[i]->figures.wakeUps.back());
            }
            std::printf(" (per minute)\n");
        }
        QString cpu = QStringLiteral("| idle CPU, %1 mailboxes on IDLE, interval %2 min |")
                          .arg(count)
                          .arg(WatchInterval);
        QString switches = QStringLiteral("| context switches, the same |");
        QString memory = QStringLiteral("| RSS / USS after the windows, the same |");
        for (Watcher& w : watchers) {
            if (!w.running) {
                for (QString* row : {&cpu, &switches, &memory})
                    *row += QStringLiteral(" - |");
                continue;
            }
            const Memory m = MemoryOf(w.process.processId());
            w.figures.Print(w.name, m);
            cpu += ' ' + Spread(w.figures.cpu).Text(2) + (&w == watchers ? " ms/min |" : " |");
            switches +=
                ' ' + Spread(w.figures.wakeUps).Text() + (&w == watchers ? " /min |" : " |");
            memory +=
                QStringLiteral(" %1 / %2 MB |").arg(m.rssMb, 0, 'f', 1).arg(m.ussMb, 0, 'f', 1);
        }
        rows << cpu << switches << memory;
        Stop(otherQt);
        QThread::msleep(500);
        const Memory alone = MemoryOf(watchers[0].process.processId());
        std::printf("  Tarnwick with no other Qt program running: RSS %.1f MB   USS %.1f MB\n",
                    alone.rssMb, alone.ussMb);
        for (Watcher& w : watchers)
            Stop(w.process);
        while (!x.TrayIcons().isEmpty())
            QThread::msleep(20);
    }
    std::printf("README rows (mean, range over the windows in brackets):\n%s\n",
                qPrintable(rows.join('\n')));
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each window as it ends, into a pipe too
    QList<int> numbers;
    QByteArray only;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        (arg == "tls" || arg == "plain" || arg == "idle") ? void(only = arg)
                                                          : numbers.append(arg.toInt());
    }
    const int idleSeconds = std::max(5, numbers.value(0, 60));
    const int rounds = std::max(1, numbers.value(1, 2));
    // BENCH_WRAPPER runs the program under a tool, e.g. "valgrind --tool=callgrind".
    const QStringList wrapper =
        qEnvironmentVariable("BENCH_WRAPPER").split(QLatin1Char(' '), Qt::SkipEmptyParts);

    if (const QString missing = XSession::Unavailable(); !missing.isEmpty())
        return Fail(missing);
    if (const QString no = Dovecot::Unavailable(); !no.isEmpty())
        return Fail(no);

    QString error;
    TestCertificates certs;
    if (!certs.Start(&error))
        return Fail(error);
    Dovecot server;
    server.EnableTls(certs.Server(), TestCertificates::KeyOf(certs.Server()));
    if (!server.Start(&error))
        return Fail(error);
    const QStringList allLogins{"ann", "ben", "cat"};
    for (const QString& login : allLogins + QStringList{PeerLogin}) {
        server.AddUser(login, "pw");
        server.DeliverMail(login, 2);
    }
    const bool comparePeer = wrapper.isEmpty() && QFile::exists(PeerBinary);
    if (!QFile::exists(PeerBinary))
        std::printf("peer: gnubiff is not installed (apt-get install gnubiff): no comparison\n");

    XSession x;
    if (!x.Start(&error))
        return Fail(error);

    QTemporaryDir dir;
    QDir(dir.path()).mkpath("config");
    QDir(dir.path()).mkpath("run");
    QDir(dir.path()).mkpath("bin");
    const QString binary = dir.filePath("bin/tarnwick");
    // BENCH_TARNWICK measures another build of the program, an older one say.
    QFile::copy(qEnvironmentVariable("BENCH_TARNWICK", QStringLiteral(TARNWICK_BINARY)), binary);
    QFile::setPermissions(binary, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString settingsPath = dir.filePath("config/Tarnwick.ini");
    if (!QFile::copy(certs.Ca(), dir.filePath("config/Tarnwick-ca.pem")))
        return Fail(QStringLiteral("Cannot copy the CA file"));
    QProcessEnvironment env = x.Environment();
    env.insert("HOME", dir.path());
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));

    if (comparePeer) {
        // The first GTK program on a display loads Mesa to choose its visuals and keeps the
        // choice on the root window; every later one reads it there. One start of the peer
        // does that before anything is measured.
        QTemporaryDir home;
        QProcess peer;
        StartPeer(x, PeerConfig(server, Cases[0]), home, peer);
        Stop(peer);
        while (!x.TrayIcons().isEmpty())
            QThread::msleep(20);
        std::printf("display: warmed by one start of gnubiff before measuring (its GTK keeps "
                    "the GL visuals it chose on the root window)\n");
    }
    const WholeProcessCounter counter;
    if (only == "idle") {
        std::printf("counted by: %s\nwindows: %d of %d s for each case, all programs counted over "
                    "the same windows, after all settled\n",
                    qPrintable(counter.Name()), rounds, idleSeconds);
        return RunWatchCases(x, counter, env, binary, settingsPath, idleSeconds, rounds);
    }
    if (wrapper.isEmpty()) {
        WriteSettings(settingsPath, allLogins, QStringLiteral("127.0.0.1:%1").arg(server.Port()));
        CompareStartToIcon(x, env, binary, 21);
    }

    std::printf("counted by: %s\nwindows: %d of %d s for each case, both programs counted over "
                "the same windows, after both settled\n",
                qPrintable(counter.Name()), rounds, idleSeconds);
    const QString statLog = dir.filePath("bin/Stat.txt");
    const QString errorLog = dir.filePath("bin/ErrLog.txt");
    const auto peerLogins = [&] {
        return int(server.Log().count(QStringLiteral("Login: user=<") + PeerLogin + '>'));
    };
    const double minutes = idleSeconds / 60.0;
    for (const Case& c : Cases) {
        if (!only.isEmpty() && c.tls != (only == "tls"))
            continue;
        WriteSettings(settingsPath, allLogins.mid(0, c.users),
                      c.tls ? QStringLiteral("pop3s://127.0.0.1:%1").arg(server.TlsPort())
                            : QStringLiteral("127.0.0.1:%1").arg(server.Port()));
        const int checks0 = LineCount(statLog);
        const int logins0 = peerLogins();
        QProcess program;
        program.setProcessEnvironment(env);
        const bool started = wrapper.isEmpty()
                                 ? StartWithIcon(x, program, binary, {}, 1)
                                 : StartWithIcon(x, program, wrapper.first(),
                                                 wrapper.mid(1) + QStringList{binary}, 1);
        if (!started)
            return Fail(QStringLiteral("Tarnwick put no icon in the tray"));
        QTemporaryDir peerHome;
        QProcess peer;
        const bool withPeer = comparePeer && StartPeer(x, PeerConfig(server, c), peerHome, peer);
        if (comparePeer && !withPeer)
            std::printf("peer: gnubiff put no icon in the tray within a minute: no comparison\n");

        // Neither start-up nor the first checks are counted.
        QElapsedTimer settle;
        settle.start();
        while ((LineCount(statLog) - checks0 < c.users ||
                (withPeer && peerLogins() - logins0 < std::max(c.users, 1))) &&
               settle.elapsed() < 180000)
            QThread::msleep(200);
        QThread::msleep(quint64(std::max(0LL, idleSeconds * 1000LL - settle.elapsed())));

        std::printf("%s:\n", c.title);
        Figures ours;
        Figures theirs;
        for (int round = 1; round <= rounds; ++round) {
            const int checks = LineCount(statLog);
            const int errors = LineCount(errorLog);
            const int logins = peerLogins();
            QList<qint64> pids{program.processId()};
            if (withPeer)
                pids.append(peer.processId());
            const QList<Usage> u = counter.Window(pids, idleSeconds);
            const int ourChecks = LineCount(statLog) - checks;
            ours.Add(u[0], minutes, ourChecks);
            std::printf("  window %d: Tarnwick %.1f ms, %.0f wake-ups, %d checks, %d failed", round,
                        ours.cpu.back(), ours.wakeUps.back(), ourChecks,
                        LineCount(errorLog) - errors);
            if (withPeer) {
                const int peerChecks = peerLogins() - logins;
                theirs.Add(u[1], minutes, peerChecks);
                std::printf(" | gnubiff %.1f ms, %.0f wake-ups, %d logins", theirs.cpu.back(),
                            theirs.wakeUps.back(), peerChecks);
            }
            std::printf(" (per minute)\n");
        }
        ours.Print("Tarnwick", MemoryOf(program.processId()));
        if (withPeer) {
            theirs.Print("gnubiff", MemoryOf(peer.processId()));
            std::printf("  Tarnwick/gnubiff: CPU %s\n  Tarnwick/gnubiff: wake-ups %s\n",
                        qPrintable(Ratio(ours.cpu, theirs.cpu)),
                        qPrintable(Ratio(ours.wakeUps, theirs.wakeUps)));
            std::printf("  all windows by /proc/PID/stat (10 ms ticks): Tarnwick %.0f ms, "
                        "gnubiff %.0f ms, %.2fx; by the counter %.1f and %.1f ms\n",
                        ours.statCpu, theirs.statCpu, ours.statCpu / std::max(theirs.statCpu, 1.0),
                        ours.perfCpu, theirs.perfCpu);
        }
        Stop(peer);
        Stop(program);
        while (!x.TrayIcons().isEmpty())
            QThread::msleep(20);
    }
    return 0;
}
