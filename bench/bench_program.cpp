// The real program on a virtual display with a notification area: the time from process start
// to its icon in the tray, then idle minutes with 0, 1 and 3 users checked against a real POP3
// server (CheckInterval 1: each user once a minute). Beside it, in the same run, on the same
// server and tray, a peer that people use for the same job, Debian's gnubiff, with as many
// mailboxes each polled once a minute. For both: CPU time and wake-ups (voluntary context
// switches of all threads, those that end meanwhile too) per idle minute, and memory.
// `bench_program [seconds] [tls]`: `tls` runs one user on a TLS server (pop3s, its CA in
// Tarnwick-ca.pem) instead, without the peer.
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
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {
struct ProcStats {
    double cpuMs = 0; // user and system time, in clock ticks (10 ms here)
    double runMs = 0; // time on a CPU by the scheduler's account, to the nanosecond
    long rssKb = 0;
    long hwmKb = 0;
    long switches = 0; // voluntary context switches: the process went to sleep and woke up
};

ProcStats Read(qint64 pid) {
    ProcStats s;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        const double tick = double(sysconf(_SC_CLK_TCK));
        s.cpuMs = (f.value(11).toDouble() + f.value(12).toDouble()) * 1000.0 / tick;
    }
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            s.runMs += schedstat.readAll().split(' ').value(0).toDouble() / 1e6;
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& l : status.readAll().split('\n')) {
            const QList<QByteArray> parts = l.simplified().split(' ');
            if (l.startsWith("VmRSS:"))
                s.rssKb = parts.value(1).toLong();
            else if (l.startsWith("VmHWM:"))
                s.hwmKb = parts.value(1).toLong();
            else if (l.startsWith("voluntary_ctxt_switches:"))
                s.switches = parts.value(1).toLong();
        }
    }
    return s;
}

// CPU time and voluntary context switches of every thread of a process over a window. The
// process's own totals leave out threads that ended, so each thread is followed on its own,
// looked at every few milliseconds; one that lives shorter than that may be missed.
class ThreadSampler final {
public:
    explicit ThreadSampler(qint64 pid) : pid_(pid) {
        Sample();
        start_ = last_;
    }
    void Sample() {
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid_));
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            Counts c;
            QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
            if (!schedstat.open(QIODevice::ReadOnly))
                continue;
            c.runMs = schedstat.readAll().split(' ').value(0).toDouble() / 1e6;
            QFile status(tasks.filePath(task + QStringLiteral("/status")));
            if (!status.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& l : status.readAll().split('\n'))
                if (l.startsWith("voluntary_ctxt_switches:"))
                    c.switches = l.simplified().split(' ').value(1).toLong();
            last_[task.toLongLong()] = c;
        }
    }
    double RunMs() const {
        return Sum([](const Counts& c) { return c.runMs; });
    }
    double Switches() const {
        return Sum([](const Counts& c) { return double(c.switches); });
    }
    int Threads() const { return int(last_.size()); }

private:
    struct Counts {
        double runMs = 0;
        long switches = 0;
    };
    template <typename F> double Sum(F field) const {
        double total = 0;
        for (auto it = last_.cbegin(); it != last_.cend(); ++it)
            total += field(it.value()) - (start_.contains(it.key()) ? field(start_[it.key()]) : 0);
        return total;
    }
    qint64 pid_;
    QHash<qint64, Counts> start_;
    QHash<qint64, Counts> last_;
};

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

// The peer's account on the server. The peer keeps passwords enciphered with a key of its
// own; this is "pw" for a mailbox of this login, as the peer wrote it itself.
const QString PeerLogin = QStringLiteral("root");
const QByteArray PeerPasswordAes = "3AA7ED4AA563322DE9282513A2C11397";
const QString PeerBinary = QStringLiteral("/usr/bin/gnubiff");

// The peer's configuration: `count` POP3 mailboxes on the benchmark's server, each checked
// once a minute (as the program checks each user), no sound and no pop-up.
QByteArray PeerConfig(quint16 port, int count) {
    QByteArray mailboxes;
    for (int i = 1; i <= count; ++i) {
        mailboxes += "  <mailbox>\n"
                     "    <parameter name=\"address\" value=\"127.0.0.1\"/>\n"
                     "    <parameter name=\"authentication\" value=\"user_pass\"/>\n"
                     "    <parameter name=\"delay\" value=\"60\"/>\n"
                     "    <parameter name=\"name\" value=\"mailbox " +
                     QByteArray::number(i) +
                     "\"/>\n"
                     "    <parameter name=\"other_port\" value=\"" +
                     QByteArray::number(port) +
                     "\"/>\n"
                     "    <parameter name=\"password_aes\" value=\"" +
                     PeerPasswordAes +
                     "\"/>\n"
                     "    <parameter name=\"protocol\" value=\"pop3\"/>\n"
                     "    <parameter name=\"use_other_port\" value=\"true\"/>\n"
                     "    <parameter name=\"username\" value=\"" +
                     PeerLogin.toUtf8() + "\"/>\n  </mailbox>\n";
    }
    return "<?xml version=\"1.0\"?>\n<configuration-file>\n" + mailboxes +
           "  <general>\n"
           "    <parameter name=\"startup_preferences\" value=\"false\"/>\n"
           "    <parameter name=\"use_newmail_command\" value=\"false\"/>\n"
           "    <parameter name=\"use_double_command\" value=\"false\"/>\n"
           "  </general>\n"
           "  <information>\n"
           "    <parameter name=\"version\" value=\"2.2.17\"/>\n"
           "  </information>\n"
           "  <popup>\n"
           "    <parameter name=\"use_popup\" value=\"false\"/>\n"
           "  </popup>\n"
           "</configuration-file>\n";
}

// Starts `program` and waits until the tray holds `icons` icons; false after 30 s.
bool StartWithIcon(const XSession& x, QProcess& program, const QString& binary,
                   const QStringList& args, qsizetype icons) {
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(QProcess::nullDevice());
    program.start(binary, args);
    QElapsedTimer clock;
    clock.start();
    while (x.TrayIcons().size() < icons && clock.elapsed() < 30000)
        QThread::msleep(20);
    return x.TrayIcons().size() >= icons;
}

// The peer with `count` mailboxes, in a home of its own, beside the program in the tray.
bool StartPeer(const XSession& x, const Dovecot& server, int count, const QTemporaryDir& home,
               QProcess& peer) {
    QDir(home.path()).mkpath("run");
    QFile::setPermissions(home.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        QFile rc(home.filePath(".gnubiffrc"));
        if (!rc.open(QIODevice::WriteOnly) || rc.write(PeerConfig(server.Port(), count)) < 0)
            return false;
    }
    QProcessEnvironment env = x.Environment();
    env.insert("HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    env.remove("USER"); // the peer's password key depends on it
    peer.setProcessEnvironment(env);
    return StartWithIcon(x, peer, PeerBinary, {"--noconfigure", "--systemtray"},
                         x.TrayIcons().size() + 1);
}

void Stop(QProcess& program) {
    if (program.state() == QProcess::NotRunning)
        return;
    program.terminate();
    program.waitForFinished(5000);
}

void WriteSettings(const QString& path, const QStringList& logins, const QString& serverText) {
    Settings settings;
    for (const QString& login : logins) {
        ++settings.LastUser;
        UserRecord& u = settings.Users[settings.LastUser];
        u.ScreenName = login.toUpper();
        u.Username = login;
        u.MailServer = serverText;
        u.Password = QStringLiteral("pw");
        u.NumMails = 2; // nothing new: no alert, just the checks
    }
    settings.CheckInterval = 1; // each user once a minute
    RecordingDialogs dialogs;
    FixedRandom random;
    SettingsFile(settings, dialogs, random, path).SaveFile();
}

void PrintIdle(const char* who, const ThreadSampler& s, double minutes, long rssKb,
               const QString& checks) {
    std::printf("  %-8s CPU %6.1f ms/min   wake-ups %6.1f /min   VmRSS %5.1f MB   %d threads"
                "   %s\n",
                who, s.RunMs() / minutes, s.Switches() / minutes, rssKb / 1024.0, s.Threads(),
                qPrintable(checks));
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int idleSeconds = argc > 1 ? std::max(5, atoi(argv[1])) : 60;
    const bool tls = argc > 2 && QByteArray(argv[2]) == "tls";
    // BENCH_WRAPPER runs the program under a tool, e.g. "valgrind --tool=callgrind".
    const QStringList wrapper =
        qEnvironmentVariable("BENCH_WRAPPER").split(QLatin1Char(' '), Qt::SkipEmptyParts);

    if (const QString missing = XSession::Unavailable(); !missing.isEmpty())
        return Fail(missing);
    if (const QString no = Dovecot::Unavailable(); !no.isEmpty())
        return Fail(no);

    QString error;
    TestCertificates certs;
    if (tls && !certs.Start(&error))
        return Fail(error);
    Dovecot server;
    if (tls)
        server.EnableTls(certs.Server(), TestCertificates::KeyOf(certs.Server()));
    if (!server.Start(&error))
        return Fail(error);
    const QStringList allLogins{"ann", "ben", "cat"};
    for (const QString& login : allLogins + QStringList{PeerLogin}) {
        server.AddUser(login, "pw");
        server.DeliverMail(login, 2);
    }
    const bool comparePeer = !tls && wrapper.isEmpty() && QFile::exists(PeerBinary);
    if (!tls && !QFile::exists(PeerBinary))
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
    if (tls && !QFile::copy(certs.Ca(), dir.filePath("config/Tarnwick-ca.pem")))
        return Fail(QStringLiteral("Cannot copy the CA file"));
    QProcessEnvironment env = x.Environment();
    env.insert("HOME", dir.path());
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));

    if (wrapper.isEmpty()) {
        WriteSettings(settingsPath, allLogins, QStringLiteral("127.0.0.1:%1").arg(server.Port()));
        CompareStartToIcon(x, env, binary, 21);
    }

    const auto statRecords = [&] {
        QFile f(dir.filePath("bin/Stat.txt"));
        return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
    };
    const auto peerLogins = [&] {
        return int(server.Log().count(QStringLiteral("Login: user=<") + PeerLogin));
    };
    const double minutes = idleSeconds / 60.0;
    const QList<int> userCounts = tls ? QList<int>{1} : QList<int>{0, 1, 3};
    for (const int users : userCounts) {
        const QString serverText =
            tls ? QStringLiteral("pop3s://127.0.0.1:%1").arg(server.TlsPort())
                : QStringLiteral("127.0.0.1:%1").arg(server.Port());
        WriteSettings(settingsPath, allLogins.mid(0, users), serverText);
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
        const bool withPeer = comparePeer && StartPeer(x, server, users, peerHome, peer);
        if (comparePeer && !withPeer)
            std::printf("peer: gnubiff put no icon in the tray within 30 s: no comparison\n");

        // Let start-up settle (the first checks), then measure both over the same window.
        QThread::sleep(5);
        const int statsBefore = statRecords();
        const int loginsBefore = peerLogins();
        ThreadSampler ours(program.processId());
        std::unique_ptr<ThreadSampler> theirs;
        if (withPeer)
            theirs = std::make_unique<ThreadSampler>(peer.processId());
        QElapsedTimer window;
        window.start();
        while (window.elapsed() < idleSeconds * 1000LL) {
            QThread::msleep(25);
            ours.Sample();
            if (theirs)
                theirs->Sample();
        }
        const long ourRss = Read(program.processId()).rssKb;
        const long peerRss = withPeer ? Read(peer.processId()).rssKb : 0;
        std::printf("idle %d s with %d user(s)%s, each checked once a minute:\n", idleSeconds,
                    users, tls ? " over TLS" : "");
        PrintIdle("Tarnwick", ours, minutes, ourRss,
                  QStringLiteral("%1 checks").arg(statRecords() - statsBefore));
        if (theirs) {
            PrintIdle("gnubiff", *theirs, minutes, peerRss,
                      QStringLiteral("%1 logins").arg(peerLogins() - loginsBefore));
            const bool cpu = ours.RunMs() <= theirs->RunMs();
            const bool wakes = ours.Switches() <= theirs->Switches();
            std::printf("  Tarnwick/gnubiff: CPU %.2fx, wake-ups %.2fx (%s)\n",
                        ours.RunMs() / std::max(theirs->RunMs(), 1e-9),
                        ours.Switches() / std::max(theirs->Switches(), 1e-9),
                        cpu && wakes ? "at or below the peer in both" : "above the peer");
        }
        Stop(peer);
        Stop(program);
        while (!x.TrayIcons().isEmpty())
            QThread::msleep(20);
    }
    return 0;
}
