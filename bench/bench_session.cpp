// One full check session (connect, USER, PASS, STAT, QUIT) through the check engine and the
// real socket transport, against a POP3 server on loopback that answers at once from a
// thread of its own, in clear and over TLS (pop3s, a certificate from a test CA made by
// openssl): with a full handshake at every check, and with the session resumed. Prints the
// wall and CPU time per session and the resident memory before and after many sessions.
#include "check/CheckEngine.h"
#include "check/Logs.h"
#include "check/MailboxStates.h"
#include "check/SocketTransport.h"
#include "core/Clock.h"
#include "core/Settings.h"
#include "core/UserLists.h"
#include "support/doubles/ManualClock.h"
#include "support/peers/TestCertificates.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

#ifdef TARNWICK_BENCH_OPENSSL
#include <atomic>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#endif

namespace {
constexpr int WarmUpSessions = 200;
constexpr int DefaultSessions = 10000;

// Hands out sockets that begin TLS at once when a configuration is given.
class Pop3Listener final : public QTcpServer {
public:
    explicit Pop3Listener(const QSslConfiguration* tls) : tls_(tls) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
            ssl->setSslConfiguration(*tls_);
            ssl->startServerEncryption();
        }
        addPendingConnection(socket);
    }

private:
    const QSslConfiguration* tls_;
};

// The fastest server there can be: every command answered as soon as its line is in.
class Pop3ServerThread final : public QThread {
public:
    // With a certificate and key (PEM), TLS from the first byte.
    explicit Pop3ServerThread(const QString& certificate = {}, const QString& key = {}) {
        if (certificate.isEmpty())
            return;
        QFile keyFile(key);
        keyFile.open(QIODevice::ReadOnly);
        tls_ = QSslConfiguration::defaultConfiguration();
        tls_.setLocalCertificateChain(QSslCertificate::fromPath(certificate));
        tls_.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
        useTls_ = true;
    }
    quint16 Port() { return port_.get(); }

protected:
    void run() override {
        Pop3Listener server(useTls_ ? &tls_ : nullptr);
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            ready_.set_value(0);
            return;
        }
        connect(&server, &QTcpServer::newConnection, &server, [&server] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(socket, &QTcpSocket::readyRead, socket, [socket] { Answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->write("+OK Ready.\r\n");
            }
        });
        ready_.set_value(server.serverPort());
        exec();
    }

private:
    static void Answer(QTcpSocket* socket) {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine();
            if (line.startsWith("USER")) {
                socket->write("+OK\r\n");
            } else if (line.startsWith("PASS")) {
                socket->write("+OK Logged in.\r\n");
            } else if (line.startsWith("STAT")) {
                socket->write("+OK 3 1011\r\n");
            } else if (line.startsWith("QUIT")) {
                socket->write("+OK Logging out.\r\n");
                socket->disconnectFromHost();
                return;
            } else {
                socket->write("-ERR Unknown command.\r\n");
            }
        }
    }

    QSslConfiguration tls_;
    bool useTls_ = false;
    std::promise<quint16> ready_;
    std::future<quint16> port_ = ready_.get_future();
};

#ifdef TARNWICK_BENCH_OPENSSL
// A POP3S server on OpenSSL itself, with one context for all its connections, so that it can
// resume the sessions it hands out (Qt makes a context for each connection, whose tickets no
// other connection can read). Without tickets, every connection is a full handshake.
class ResumingServer final {
public:
    ResumingServer(const QString& certificate, const QString& key, bool tickets)
        : ctx_(SSL_CTX_new(TLS_server_method())) {
        SSL_CTX_use_certificate_chain_file(ctx_, QFile::encodeName(certificate).constData());
        SSL_CTX_use_PrivateKey_file(ctx_, QFile::encodeName(key).constData(), SSL_FILETYPE_PEM);
        if (!tickets) {
            SSL_CTX_set_num_tickets(ctx_, 0);
            SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET);
            SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
        }
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ResumingServer() {
        shutdown(listener_, SHUT_RDWR); // wakes the accept
        if (thread_.joinable())
            thread_.join();
        close(listener_);
        SSL_CTX_free(ctx_);
    }
    quint16 Port() const { return port_; }
    int Resumed() const { return resumed_; }

private:
    void Run() {
        for (;;) {
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            const int on = 1; // every reply out at once, as the Qt server's
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                resumed_ += SSL_session_reused(ssl);
                Converse(ssl);
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
            close(fd);
        }
    }
    static void Converse(SSL* ssl) {
        const auto say = [ssl](const char* text) { SSL_write(ssl, text, int(strlen(text))); };
        say("+OK Ready.\r\n");
        QByteArray pending;
        char buffer[512];
        for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) {
            pending.append(buffer, n);
            for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
                const QByteArray line = pending.left(end);
                if (line.startsWith("QUIT")) {
                    say("+OK Logging out.\r\n");
                    return;
                }
                say(line.startsWith("STAT") ? "+OK 3 1011\r\n" : "+OK\r\n");
            }
        }
    }

    SSL_CTX* ctx_;
    int listener_ = -1;
    quint16 port_ = 0;
    std::atomic<int> resumed_{0};
    std::thread thread_;
};
#endif

class CountingSink final : public ErrorSink {
public:
    void AddError(const QString& ErrTxt) override {
        if (count++ == 0)
            first = ErrTxt;
    }
    int count = 0;
    QString first;
};

qint64 ResidentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// CPU time of the calling thread (of the process where threads cannot be told apart).
qint64 ThreadCpuNs() {
#ifdef Q_OS_UNIX
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#else
    return qint64(std::clock()) * (1000000000 / CLOCKS_PER_SEC);
#endif
}

// User and system CPU time of the whole process, in seconds.
std::pair<double, double> ProcessCpu() {
#ifdef Q_OS_UNIX
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
#else
    return {double(std::clock()) / CLOCKS_PER_SEC, 0.0};
#endif
}

double Percentile(std::vector<qint64> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size())));
    return double(values[index]) / 1000.0; // ns to µs
}
// Runs `sessions` sessions of one user against `server` (a mail-server text) and prints the
// figures under `title`; non-zero when a session failed.
int Measure(const char* title, const QString& server, const QString& caFile, int sessions) {
    QTemporaryDir folder; // the logs go here
    Settings settings;
    settings.CheckInterval = 0; // due again as soon as the clock moves
    settings.GrowFor(0);
    settings.LastUser = 0;
    settings.Users[0].ScreenName = QStringLiteral("Home");
    settings.Users[0].Username = QStringLiteral("alice");
    settings.Users[0].MailServer = server;
    settings.Users[0].Password = QStringLiteral("secret");
    settings.AssignId(0);
    MailboxStates states;
    ManualClock clock;
    CheckLogs logs(settings, states, clock, folder.path());
    CountingSink sink;
    logs.SetErrorSink(&sink);
    UserLists lists(settings);
    SocketTransport transport;
    transport.SetCaFile(caFile);
    CheckEngine engine(settings, states, clock, transport, logs);
    lists.SetCheckStatus(&engine);
    QObject::connect(&engine, &CheckEngine::StatusChanged, &engine,
                     [&lists] { lists.RefreshUserLists(); });

    auto runSession = [&] {
        states.Set(settings.Users[0].Id, MailboxState{});
        clock.Advance(1000);
        engine.CheckMail(false);
        while (engine.IsChecking())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // What the event loop of the program would do between two events: closed sockets
        // are deleted; the scheduler's re-armed tick is not wanted here.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        engine.tmrCheckMail.stop();
        return engine.GetStage() == 6 && states.Of(settings.Users[0].Id).NewNumMails == 3;
    };

    const int warmUp = qMin(WarmUpSessions, sessions);
    for (int i = 0; i < warmUp; ++i) {
        if (!runSession()) {
            std::fprintf(stderr, "%s: session failed: %s\n", title, qPrintable(sink.first));
            return 1;
        }
    }

    // The figures' own storage is in place (and touched) before memory is first measured.
    std::vector<qint64> wallNs(size_t(sessions), 0);
    std::vector<qint64> cpuNs(size_t(sessions), 0);
    const qint64 rssBefore = ResidentKb();
    const auto cpuBefore = ProcessCpu();
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < sessions; ++i) {
        QElapsedTimer wall;
        const qint64 cpu0 = ThreadCpuNs();
        wall.start();
        const bool ok = runSession();
        wallNs[size_t(i)] = wall.nsecsElapsed();
        cpuNs[size_t(i)] = ThreadCpuNs() - cpu0;
        if (!ok) {
            std::fprintf(stderr, "%s: session %d failed: %s\n", title, i, qPrintable(sink.first));
            return 1;
        }
    }
    const qint64 totalMs = total.elapsed();
    const auto cpuAfter = ProcessCpu();
    const qint64 rssAfter = ResidentKb();

    std::printf("%s\n", title);
    std::printf("  sessions:               %d (after %d to warm up), %lld ms in all, %d errors\n",
                sessions, warmUp, static_cast<long long>(totalMs), sink.count);
    std::printf("  wall time per session:  median %.1f us, p90 %.1f us, p99 %.1f us\n",
                Percentile(wallNs, 0.5), Percentile(wallNs, 0.9), Percentile(wallNs, 0.99));
    std::printf("  CPU time per session:   median %.1f us, p90 %.1f us (the engine's thread)\n",
                Percentile(cpuNs, 0.5), Percentile(cpuNs, 0.9));
    std::printf("  process CPU in all:     user %.2f s, system %.2f s (engine and server)\n",
                cpuAfter.first - cpuBefore.first, cpuAfter.second - cpuBefore.second);
    std::printf("  resident memory:        %lld kB before, %lld kB after, %+lld kB\n",
                static_cast<long long>(rssBefore), static_cast<long long>(rssAfter),
                static_cast<long long>(rssAfter - rssBefore));
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // bench_session [sessions [tls sessions]]
    const int Sessions = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : DefaultSessions;
    const int TlsSessions = argc > 2 ? qMax(1, QByteArray(argv[2]).toInt()) : Sessions / 10;

    Pop3ServerThread plain;
    plain.start();
    const quint16 plainPort = plain.Port();
    if (plainPort == 0) {
        std::fprintf(stderr, "Cannot listen on 127.0.0.1\n");
        return 1;
    }
    int status = Measure("Check sessions in clear against a loopback server (connect, USER, "
                         "PASS, STAT, QUIT)",
                         QStringLiteral("127.0.0.1:%1").arg(plainPort), QString(), Sessions);
    plain.quit();
    plain.wait();

    TestCertificates certs;
    QString error;
    if (const QString no = TestCertificates::Unavailable(); !no.isEmpty() || !certs.Start(&error)) {
        std::fprintf(stderr, "No TLS case: %s\n", qPrintable(no.isEmpty() ? error : no));
        return 1;
    }
    Pop3ServerThread tls(certs.Server(), TestCertificates::KeyOf(certs.Server()));
    tls.start();
    const quint16 tlsPort = tls.Port();
    status |= Measure("The same over TLS (pop3s, ECDSA P-256 certificate from a test CA in the "
                      "CA file)",
                      QStringLiteral("pop3s://127.0.0.1:%1").arg(tlsPort), certs.Ca(), TlsSessions);
    tls.quit();
    tls.wait();
#ifdef TARNWICK_BENCH_OPENSSL
    for (const bool tickets : {false, true}) {
        ResumingServer server(certs.Server(), TestCertificates::KeyOf(certs.Server()), tickets);
        status |= Measure(tickets ? "Over TLS against a server that resumes sessions (OpenSSL, "
                                    "one context)"
                                  : "Over TLS against the same server without session tickets "
                                    "(a full handshake at every check)",
                          QStringLiteral("pop3s://127.0.0.1:%1").arg(server.Port()), certs.Ca(),
                          TlsSessions);
        std::printf("  resumed by the server:  %d\n", server.Resumed());
    }
#endif
    return status;
}
