// The real program on a virtual display with a notification area: the time from process start
// to its icon in the tray, then a minute of idle running with three users checked against a
// real POP3 server (one check every 20 s): CPU time, resident memory and wake-ups. Then the
// same idle minute for a peer that people use for the same job, Debian's gnubiff, polling
// the same server at the same cadence in the same tray, for comparison.
// `bench_program [seconds] [tls|none]` runs the minute with one user on a TLS server (pop3s,
// its CA in Tarnwick-ca.pem), or with no user, instead (and without the comparison).
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "support/Dovecot.h"
#include "support/FixedRandom.h"
#include "support/RecordingDialogs.h"
#include "support/TestCertificates.h"
#include "support/XSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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

// The peer's configuration: three POP3 mailboxes on the benchmark's server, each checked
// once a minute (a check every 20 s in all, as for the program), no sound and no pop-up.
QByteArray PeerConfig(quint16 port) {
    QByteArray mailboxes;
    for (int i = 1; i <= 3; ++i) {
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

// The peer's idle run under `x`, measured as the program's; false with a line saying why
// when it cannot run here.
bool MeasurePeer(const XSession& x, const Dovecot& server, int idleSeconds, ProcStats& before,
                 ProcStats& after, int& logins) {
    if (!QFile::exists(PeerBinary)) {
        std::printf("peer: gnubiff is not installed (apt-get install gnubiff): no comparison\n");
        return false;
    }
    QTemporaryDir home;
    QDir(home.path()).mkpath("run");
    QFile::setPermissions(home.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        QFile rc(home.filePath(".gnubiffrc"));
        if (!rc.open(QIODevice::WriteOnly) || rc.write(PeerConfig(server.Port())) < 0)
            return false;
    }
    QProcessEnvironment env = x.Environment();
    env.insert("HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    env.remove("USER"); // the peer's password key depends on it
    QProcess peer;
    peer.setProcessEnvironment(env);
    peer.setStandardOutputFile(QProcess::nullDevice());
    peer.setStandardErrorFile(QProcess::nullDevice());
    while (!x.TrayIcons().isEmpty()) // the program's icon is leaving
        QThread::msleep(20);
    peer.start(PeerBinary, {"--noconfigure", "--systemtray"});
    QElapsedTimer clock;
    clock.start();
    while (x.TrayIcons().isEmpty() && clock.elapsed() < 30000)
        QThread::msleep(20);
    if (x.TrayIcons().isEmpty()) {
        std::printf("peer: gnubiff put no icon in the tray within 30 s: no comparison\n");
        return false;
    }
    const auto countLogins = [&] {
        return int(server.Log().count(QStringLiteral("Login: user=<") + PeerLogin));
    };
    QThread::sleep(5);
    const int loginsBefore = countLogins();
    before = Read(peer.processId());
    QThread::sleep(unsigned(idleSeconds));
    after = Read(peer.processId());
    logins = countLogins() - loginsBefore;
    peer.terminate();
    peer.waitForFinished(5000);
    return true;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int idleSeconds = argc > 1 ? std::max(5, atoi(argv[1])) : 60;
    const QByteArray mode = argc > 2 ? QByteArray(argv[2]) : QByteArray("three");
    const bool tls = mode == "tls";
    // BENCH_WRAPPER runs the program under a tool, e.g. "valgrind --tool=callgrind": then it
    // is started once.
    const QStringList wrapper =
        qEnvironmentVariable("BENCH_WRAPPER").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const int starts = wrapper.isEmpty() ? 5 : 1;

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
    const QStringList logins = mode == "none" ? QStringList()
                               : tls          ? QStringList{"ann"}
                                              : QStringList{"ann", "ben", "cat"};
    for (const QString& login : logins) {
        server.AddUser(login, "pw");
        server.DeliverMail(login, 2);
    }
    const bool comparePeer = mode == "three";
    if (comparePeer) {
        server.AddUser(PeerLogin, "pw");
        server.DeliverMail(PeerLogin, 2);
    }

    XSession x;
    if (!x.Start(&error))
        return Fail(error);

    QTemporaryDir dir;
    QDir(dir.path()).mkpath("config");
    QDir(dir.path()).mkpath("run");
    QDir(dir.path()).mkpath("bin");
    const QString binary = dir.filePath("bin/tarnwick");
    QFile::copy(QStringLiteral(TARNWICK_BINARY), binary);
    QFile::setPermissions(binary, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        Settings settings;
        for (const QString& login : logins) {
            ++settings.LastUser;
            UserRecord& u = settings.Users[settings.LastUser];
            u.ScreenName = login.toUpper();
            u.Username = login;
            u.MailServer = tls ? QStringLiteral("pop3s://127.0.0.1:%1").arg(server.TlsPort())
                               : QStringLiteral("127.0.0.1:%1").arg(server.Port());
            u.Password = QStringLiteral("pw");
            u.NumMails = 2; // nothing new: no alert, just the checks
        }
        settings.CheckInterval = 1; // three users, each once a minute: a check every 20 s
        RecordingDialogs dialogs;
        FixedRandom random;
        SettingsFile(settings, dialogs, random, dir.filePath("config/Tarnwick.ini")).SaveFile();
        if (tls && !QFile::copy(certs.Ca(), dir.filePath("config/Tarnwick-ca.pem")))
            return Fail(QStringLiteral("Cannot copy the CA file"));
    }
    QProcessEnvironment env = x.Environment();
    env.insert("HOME", dir.path());
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));

    if (wrapper.isEmpty())
        CompareStartToIcon(x, env, binary, 21);

    // Start to icon, several times; the last start stays for the idle minute.
    std::vector<double> toIcon;
    std::unique_ptr<QProcess> program;
    for (int i = 0; i < starts; ++i) {
        program = std::make_unique<QProcess>();
        program->setProcessEnvironment(env);
        program->setStandardOutputFile(QProcess::nullDevice());
        program->setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        if (wrapper.isEmpty())
            program->start(binary, {});
        else
            program->start(wrapper.first(), wrapper.mid(1) + QStringList{binary});
        while (x.TrayIcons().isEmpty() && clock.elapsed() < 60000)
            QThread::msleep(2);
        toIcon.push_back(clock.nsecsElapsed() / 1e6);
        if (i + 1 < starts) {
            program->terminate();
            program->waitForFinished(5000);
            while (!x.TrayIcons().isEmpty())
                QThread::msleep(5);
        }
    }
    std::sort(toIcon.begin(), toIcon.end());

    // Let start-up settle (the first checks of all three users), then measure.
    QThread::sleep(5);
    const qint64 pid = program->processId();
    const ProcStats before = Read(pid);
    QThread::sleep(unsigned(idleSeconds));
    const ProcStats after = Read(pid);
    const QByteArray stats = [&] {
        QFile f(dir.filePath("bin/Stat.txt"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    program->terminate();
    program->waitForFinished(5000);

    const double minutes = idleSeconds / 60.0;
    std::printf("start to icon in the tray: median %.0f ms (min %.0f, max %.0f, %d starts; "
                "polled with xwininfo, so a few ms high)\n",
                toIcon[toIcon.size() / 2], toIcon.front(), toIcon.back(), starts);
    std::printf("idle %d s with %lld user(s)%s, CheckInterval 1: %lld STAT records in all\n",
                idleSeconds, static_cast<long long>(logins.size()), tls ? " over TLS" : "",
                static_cast<long long>(stats.count('\n')));
    std::printf("  CPU: %.1f ms in %d s = %.1f ms per idle minute (user+system ticks: %.0f ms)\n",
                after.runMs - before.runMs, idleSeconds, (after.runMs - before.runMs) / minutes,
                after.cpuMs - before.cpuMs);
    std::printf("  resident: VmRSS %.1f MB, VmHWM %.1f MB\n", after.rssKb / 1024.0,
                after.hwmKb / 1024.0);
    std::printf("  wake-ups: %.2f per second (voluntary context switches)\n",
                double(after.switches - before.switches) / idleSeconds);

    ProcStats peerBefore;
    ProcStats peerAfter;
    int peerLogins = 0;
    if (comparePeer && MeasurePeer(x, server, idleSeconds, peerBefore, peerAfter, peerLogins)) {
        const double mine = (after.runMs - before.runMs) / minutes;
        const double peer = (peerAfter.runMs - peerBefore.runMs) / minutes;
        std::printf("peer gnubiff, 3 mailboxes each polled once a minute: %d logins in %d s\n",
                    peerLogins, idleSeconds);
        std::printf("  CPU: %.1f ms per idle minute (Tarnwick %.1f: %s)\n", peer, mine,
                    mine <= peer ? "at or below the peer" : "above the peer");
        std::printf("  resident: VmRSS %.1f MB; wake-ups: %.2f per second\n",
                    peerAfter.rssKb / 1024.0,
                    double(peerAfter.switches - peerBefore.switches) / idleSeconds);
    }
    return 0;
}
