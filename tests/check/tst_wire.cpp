// The check session over real loopback sockets against a server that misbehaves on cue, and
// the line framing underneath it.
#include "check/ImapSession.h"
#include "check/LineFramer.h"
#include "check/SocketTransport.h"
#include "support/RunTests.h"
#include "support/ScopedEnv.h"
#include "support/TestWorld.h"
#include "support/peers/RealPeer.h"
#include "support/peers/ScriptedServer.h"
#include "support/peers/TestCertificates.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(ServerScript)

namespace {
using World = CheckWorld<SocketTransport>;

const QList<QByteArray> NormalReplies = {"+OK Ready.\r\n", "+OK\r\n", "+OK Logged in.\r\n",
                                         "+OK 3 1011\r\n", "+OK Logging out.\r\n"};
const QString RemoteClosed = QStringLiteral("The remote host closed the connection");

QList<QByteArray> Commands(const QByteArray& login, const QByteArray& password) {
    return {"USER " + login + "\r\n", "PASS " + password + "\r\n", "STAT\r\n", "QUIT\r\n"};
}

struct ErrRecord {
    int user = -2;
    QString screenName;
    int newNumMails = 0;
    int stage = -1;
    QString message;
};

// The error log's records, one a line.
QList<ErrRecord> ErrRecords(const World& w) {
    const QList<QByteArray> lines = ReadFile(w.logs.ErrLogPath()).split('\n');
    QList<ErrRecord> records;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).chopped(lines.at(i).endsWith('\r') ? 1 : 0);
        const QList<QByteArray> f = line.split('|');
        if (f.size() < 8)
            continue;
        records.append({f.at(2).toInt(), QString::fromLatin1(f.at(3)), f.at(5).toInt(),
                        f.at(6).toInt(), QString::fromLatin1(f.mid(7).join('|'))});
    }
    return records;
}

// Runs the event loop until `done`. Unlike QTest::qWaitFor it does not sleep between rounds,
// so a conversation between two sockets of one thread goes at full speed.
template <typename Predicate> bool WaitUntil(Predicate done, int timeoutMs = 5000) {
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wakeUp; // the loop must come round to look at the deadline
    wakeUp.start(20);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool RunEnds(const World& w) {
    return WaitUntil([&] { return !w.engine.IsChecking(); });
}

// After a failure the next due user follows a second later: waits for a session that ends
// with the reply to QUIT.
bool QuitAnswered(const World& w) {
    return WaitUntil([&] { return w.engine.GetStage() == 6 && !w.engine.IsChecking(); });
}
} // namespace

class TestWire final : public QObject {
    Q_OBJECT

private slots:
    void normalSession_data() {
        QTest::addColumn<QList<QByteArrayList>>("replies"); // each reply in its pieces
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("statLog");
        QTest::newRow("whole lines") << QList<QByteArrayList>{{"+OK Ready.\r\n"},
                                                              {"+OK\r\n"},
                                                              {"+OK Logged in.\r\n"},
                                                              {"+OK 3 1011\r\n"},
                                                              {"+OK Logging out.\r\n"}}
                                     << 3 << QByteArray("alice|+OK 3 1011&|3|3\r\n");
        // A reply that comes in pieces is still one reply: the first piece of the STAT
        // reply alone would be malformed, and "30" must not be read as "3".
        QTest::newRow("split mid-line") << QList<QByteArrayList>{{"+O", "K Ready.\r\n"},
                                                                 {"+OK\r", "\n"},
                                                                 {"+OK Logged", " in.\r\n"},
                                                                 {"+OK 3", "0 1011\r\n"},
                                                                 {"+OK Logging out.", "\r\n"}}
                                        << 30 << QByteArray("alice|+OK 30 1011&|30|30\r\n");
        QTest::newRow("STAT byte by byte")
            << QList<QByteArrayList>{{"+OK Ready.\r\n"},
                                     {"+OK\r\n"},
                                     {"+OK\r\n"},
                                     {"+", "O", "K", " ", "1", "2", " ", "5", "\r", "\n"},
                                     {"+OK\r\n"}}
            << 12 << QByteArray("alice|+OK 12 5&|12|12\r\n");
        QTest::newRow("lone LF") << QList<QByteArrayList>{{"+OK Ready.\n"},
                                                          {"+OK\n"},
                                                          {"+OK Logged in.\n"},
                                                          {"+OK 4 200\n"},
                                                          {"+OK Logging out.\n"}}
                                 << 4 << QByteArray("alice|+OK 4 200&|4|4\r\n");
        // A second line in the same write as each reply answers no command: the count
        // comes from the STAT reply, and every command still reaches the server.
        QList<QByteArrayList> chatty;
        for (const QByteArray& reply : NormalReplies)
            chatty.append({reply + "+OK 9 99\r\n"});
        QTest::newRow("extra line after each reply")
            << chatty << 3 << QByteArray("alice|+OK 3 1011&|3|3\r\n");
        QTest::newRow("extra lines after the greeting")
            << QList<QByteArrayList>{{"+OK Ready.\r\n+OK\r\n+OK\r\n+OK 7 1\r\n"},
                                     {"+OK\r\n"},
                                     {"+OK Logged in.\r\n"},
                                     {"+OK 3 1011\r\n"},
                                     {"+OK Logging out.\r\n"}}
            << 3 << QByteArray("alice|+OK 3 1011&|3|3\r\n");
    }
    void normalSession() {
        QFETCH(QList<QByteArrayList>, replies);
        QFETCH(int, count);
        QFETCH(QByteArray, statLog);
        ScriptedServer server;
        QVERIFY(server.IsListening());
        ServerScript script;
        for (qsizetype i = 0; i < replies.size(); ++i) {
            if (i > 0)
                script.Await();
            script.SendInPieces(replies.at(i), 30);
        }
        server.Queue(script);
        World w(server.Port());
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "secret"));
        w.engine.CheckMail(false);
        QVERIFY(RunEnds(w));
        QCOMPARE(w.sink.texts, QStringList());
        QCOMPARE(w.engine.GetStage(), 6);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, count);
        QCOMPARE(ReadFile(w.logs.StatLogPath()), statLog);
        QVERIFY(!QFile::exists(w.logs.ErrLogPath()));
        QCOMPARE(server.Received(0), Commands("alice", "secret"));
        // The client closed after the QUIT reply.
        QVERIFY(WaitUntil([&] { return server.Closed(0); }));
        QCOMPARE(server.Connections(), 1);
    }

    // Home's session fails in many ways; each time the failure is reported against Home with
    // the stage it happened in, and Work, due too, is checked after the pause on a connection
    // of its own with nothing of Home's left over.
    void failedSession_data() {
        QTest::addColumn<ServerScript>("script");
        QTest::addColumn<int>("stage");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("newNumMails"); // Home's afterwards
        const QByteArray greeting = NormalReplies.at(0);
        auto upTo = [](int replies) { return Conversation(NormalReplies.mid(0, replies)); };

        QTest::newRow("no status word")
            << Conversation({"* Welcome\r\n"}) << 1
            << QString("Unexpected reply from server: \"* Welcome\"") << -1;
        QTest::newRow("no status word, lone LF")
            << Conversation({greeting, "what?\n"}) << 2
            << QString("Unexpected reply from server: \"what?\"") << -1;
        QTest::newRow("bare -ERR")
            << Conversation({greeting, "-ERR\r\n"}) << 2 << QString("Unknown!") << -1;
        QTest::newRow("-ERR with reason")
            << Conversation({greeting, "+OK\r\n", "-ERR [AUTH] Authentication failed.\r\n"}) << 3
            << QString("[AUTH] Authentication failed.") << -1;

        const char* malformed[] = {"+OK 3\r\n", "+OK  3 100\r\n", "+OK lots 100\r\n",
                                   "+OK 99999999999999999999 1\r\n", "+OK\r\n"};
        for (const char* stat : malformed) {
            QTest::addRow("STAT %s", QByteArray(stat).trimmed().constData())
                << upTo(3).Await().Send(stat) << 4 << QString("Malformed STAT response!") << -1;
        }

        QTest::newRow("dropped before greeting")
            << ServerScript().Drop() << 1 << RemoteClosed << -1;
        QTest::newRow("dropped after USER") << upTo(1).Await().Drop() << 2 << RemoteClosed << -1;
        QTest::newRow("dropped after PASS") << upTo(2).Await().Drop() << 3 << RemoteClosed << -1;
        QTest::newRow("dropped after STAT") << upTo(3).Await().Drop() << 4 << RemoteClosed << -1;
        // The count was in: it stays.
        QTest::newRow("dropped before QUIT reply")
            << upTo(4).Await().Drop() << 5 << RemoteClosed << 3;

        const QString tooLong = QStringLiteral("Reply too long: no line end within 4096 bytes");
        QTest::newRow("endless greeting") << ServerScript().Flood() << 1 << tooLong << -1;
        // What came before the flood is no STAT reply to evaluate.
        QTest::newRow("endless STAT reply")
            << upTo(3).Await().Send("+OK 1").Flood(64 << 20, "0") << 4 << tooLong << -1;
    }
    void failedSession() {
        QFETCH(ServerScript, script);
        QFETCH(int, stage);
        QFETCH(QString, message);
        QFETCH(int, newNumMails);
        ScriptedServer server;
        server.Queue(script);
        server.Queue(Conversation(NormalReplies));
        World w(server.Port());
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "secret"));
        AddUser(w.settings, MakeUser("Work", "bob", "127.0.0.1", "pw2"));
        w.engine.CheckMail(false);
        QVERIFY(QuitAnswered(w));

        QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\n" + message));
        const QList<ErrRecord> records = ErrRecords(w);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).user, 0);
        QCOMPARE(records.at(0).screenName, QString("Home"));
        QCOMPARE(records.at(0).stage, stage);
        QCOMPARE(records.at(0).message, QString(message).remove("\r\n"));
        QCOMPARE(records.at(0).newNumMails, newNumMails);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, newNumMails);

        QCOMPARE(server.Connections(), 2);
        QCOMPARE(server.Received(1), Commands("bob", "pw2"));
        QCOMPARE(w.states.Of(w.settings.Users[1].Id).NewNumMails, 3);
        QCOMPARE(w.engine.GetStage(), 6);
        // The failed connection is not left open.
        QVERIFY(WaitUntil([&] { return server.Closed(0); }));

        for (const ServerScript::Step& step : script.steps) {
            if (step.kind == ServerScript::Kind::Flood) {
                // The client gave up on the endless reply: the server did not get far.
                QVERIFY(server.FloodCutShort(0));
                QVERIFY2(server.BytesSent(0) < step.amount,
                         qPrintable(QString::number(server.BytesSent(0))));
            }
        }
    }

    void silence_data() {
        QTest::addColumn<int>("replies");
        QTest::addColumn<int>("stage");
        QTest::newRow("no greeting") << 0 << 1;
        QTest::newRow("no reply to PASS") << 2 << 3;
        QTest::newRow("no reply to QUIT") << 4 << 5;
    }
    void silence() {
        QFETCH(int, replies);
        QFETCH(int, stage);
        ScriptedServer server;
        server.Queue(Conversation(NormalReplies.mid(0, replies)));
        World w(server.Port());
        w.engine.SetTimeoutInterval(300);
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "secret"));
        w.engine.CheckMail(false);
        QVERIFY(WaitUntil([&] { return !w.sink.texts.isEmpty(); }));
        QCOMPARE(w.sink.texts.at(0),
                 QString("Error with Home : \r\nTimeout waiting for response from server!"));
        QCOMPARE(ErrRecords(w).value(0).stage, stage);
        QVERIFY(!w.engine.IsChecking());
        QVERIFY(WaitUntil([&] { return server.Closed(0); }));
        // The time-out keeps running between runs; when it expires nobody is blamed.
        QTest::qWait(800);
        QCOMPARE(w.sink.texts.size(), 1);
        QCOMPARE(ErrRecords(w).size(), 1);
        QCOMPARE(server.Connections(), 1);
    }

    // A server that goes on talking after its session failed: its later lines, in the same
    // packet as the "-ERR" or after it, reach neither the next user's session nor its log.
    void chatterAfterFailureIsNotTheNextUsersReply() {
        ScriptedServer server;
        ServerScript chatty;
        chatty.Send(NormalReplies.at(0))
            .Await()
            .Send("-ERR No such user.\r\n+OK\r\n+OK 7 7\r\n-ERR late\r\n");
        for (int i = 0; i < 10; ++i)
            chatty.Pause(20).Send("+OK 8 8\r\n-ERR later\r\n");
        server.Queue(chatty);
        // Work's server greets only after a while: a leftover "+OK" taken as its greeting
        // would show as commands sent ahead of the replies.
        server.Queue(ServerScript()
                         .Pause(150)
                         .Send("+OK Ready.\r\n")
                         .Await()
                         .Send("+OK\r\n")
                         .Await()
                         .Send("+OK\r\n")
                         .Await()
                         .Send("+OK 2 20\r\n")
                         .Await()
                         .Send("+OK bye\r\n"));
        World w(server.Port());
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "secret"));
        AddUser(w.settings, MakeUser("Work", "bob", "127.0.0.1", "pw2"));
        w.engine.CheckMail(false);
        QVERIFY(QuitAnswered(w));
        QVERIFY(WaitUntil([&] { return server.Closed(0); }));

        QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\nNo such user."));
        const QList<ErrRecord> records = ErrRecords(w);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).stage, 2);
        QCOMPARE(server.Received(0), QList<QByteArray>{"USER alice\r\n"});
        QCOMPARE(server.Received(1), Commands("bob", "pw2"));
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QCOMPARE(w.states.Of(w.settings.Users[1].Id).NewNumMails, 2);
        QCOMPARE(ReadFile(w.logs.StatLogPath()), QByteArray("bob|+OK 2 20&|2|2\r\n"));
    }

    void connectionRefused() {
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        World w(closedPort);
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "secret"));
        AddUser(w.settings, MakeUser("Work", "bob", "127.0.0.1", "pw2"));
        w.engine.CheckMail(false);
        QVERIFY(WaitUntil([&] { return w.sink.texts.size() == 2 && !w.engine.IsChecking(); }));
        const QString refused = QStringLiteral("Connection refused by 127.0.0.1 port %1: is the "
                                               "server running, and is that its port?")
                                    .arg(closedPort);
        QCOMPARE(w.sink.texts, QStringList({"Error with Home : \r\n" + refused,
                                            "Error with Work : \r\n" + refused}));
        // Through a name: the family that answered is kept when the port is refused later,
        // so that each check makes one attempt, not one per address.
        auto pop3 = std::make_unique<ScriptedServer>();
        pop3->Queue(Conversation(NormalReplies));
        World named(pop3->Port());
        AddUser(named.settings, MakeUser("Home", "alice", "localhost", "secret"));
        named.engine.CheckMail(false);
        QVERIFY(RunEnds(named));
        QCOMPARE(named.states.Of(named.settings.Users[0].Id).NewNumMails, 3);
        pop3.reset();
        named.engine.CheckMail(true);
        QVERIFY(RunEnds(named));
        QVERIFY(ReadFile(named.logs.ErrLogPath()).contains("Connection refused by localhost"));
        QCOMPARE(named.transport.Trust()->Family("localhost"), int(QAbstractSocket::IPv4Protocol));
        // A name that does not resolve is named; a failure of a standing connection keeps the
        // system's words.
        QCOMPARE(SocketFailureText(QAbstractSocket::HostNotFoundError, "Host not found",
                                   "pop.example", 110),
                 QString("Host pop.example not found: is the mail server's name right, and is "
                         "this computer online?"));
        QCOMPARE(
            SocketFailureText(QAbstractSocket::NetworkError, "Network unreachable", "::1", 995),
            QString("Network unreachable (::1 port 995)"));
        QCOMPARE(SocketFailureText(QAbstractSocket::RemoteHostClosedError, RemoteClosed,
                                   "pop.example", 110),
                 RemoteClosed);
        const QList<ErrRecord> records = ErrRecords(w);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records.at(0).user, 0);
        QCOMPARE(records.at(1).user, 1);
        QCOMPARE(records.at(1).stage, 1);
        // Nobody is due any more: no pause, the next look when the first is due again.
        QCOMPARE(w.engine.tmrCheckMail.interval(), Settings::DefaultCheckInterval * 60000 + 1);
    }

    // Servers that fail or stay silent, users due again at once (`CheckInterval` 0) and a
    // clock that runs: no user is checked more than once a second, and a user that is due
    // again waits until the others that are due had their turn.
    void schedulingUnderMisbehavingServers_data() {
        QTest::addColumn<QList<ServerScript>>("scripts"); // one per connection, in order
        QTest::addColumn<QStringList>("logins");
        QTest::addColumn<int>("maxConnections");              // within the run time
        QTest::addColumn<QList<QByteArray>>("firstCommands"); // of the first connections

        ServerScript refuse = Conversation({"+OK Ready.\r\n", "+OK\r\n", "-ERR [AUTH] No.\r\n"});
        QTest::newRow("failing server")
            << QList<ServerScript>(20, refuse) << QStringList{"first"} << 3
            << QList<QByteArray>{"USER first\r\n", "USER first\r\n"};
        const ServerScript answer = Conversation(NormalReplies);
        QTest::newRow("silent server")
            << QList<ServerScript>{answer, ServerScript(), answer}
            << QStringList{"first", "hang", "third"} << 6
            << QList<QByteArray>{"USER first\r\n", QByteArray(), "USER third\r\n"};
    }
    void schedulingUnderMisbehavingServers() {
        QFETCH(QList<ServerScript>, scripts);
        QFETCH(QStringList, logins);
        QFETCH(int, maxConnections);
        QFETCH(QList<QByteArray>, firstCommands);
        ScriptedServer server;
        for (const ServerScript& script : scripts)
            server.Queue(script);
        World w(server.Port());
        w.engine.SetTimeoutInterval(300);
        w.settings.CheckInterval = 0;
        for (const QString& login : logins)
            AddUser(w.settings, MakeUser(login, login, "127.0.0.1", "pw"));
        w.clock.Run();
        w.engine.Start();
        QTest::qWait(2600);
        QVERIFY2(server.Connections() <= maxConnections,
                 qPrintable(QString::number(server.Connections())));
        QVERIFY(server.Connections() >= firstCommands.size());
        for (int i = 0; i < firstCommands.size(); ++i)
            QCOMPARE(server.Received(i).value(0), firstCommands.at(i));
    }

    void lineBreakInUserNameSendsNothing() {
        ScriptedServer server;
        server.Queue(Conversation(NormalReplies));
        World w(server.Port());
        AddUser(w.settings, MakeUser("Home", "bob\r\nDELE 1", "127.0.0.1", "secret"));
        w.engine.CheckMail(false);
        QVERIFY(RunEnds(w));
        QVERIFY(WaitUntil([&] { return server.Closed(0); }));
        QCOMPARE(server.Received(0), QList<QByteArray>());
        QCOMPARE(w.sink.texts,
                 QStringList("Error with Home : \r\nThe user name holds a line break or NUL "
                             "character; nothing was sent."));
        QCOMPARE(ErrRecords(w).value(0).stage, 1);
    }
};

// The session over TLS, against a scripted server with certificates of the test's own.
class TestTls final : public QObject {
    Q_OBJECT

    TestCertificates certs_;
    const QString OldTls = QStringLiteral("openssl s_server, TLS 1.1 only");

    // The script of a good session after the greeting's TLS step.
    static ServerScript Secured(ServerScript script) {
        for (qsizetype i = 1; i < NormalReplies.size(); ++i)
            script.Await().Send(NormalReplies.at(i));
        return script;
    }
    static ServerScript Tls() { return Secured(ServerScript().StartTls().Send("+OK Ready.\r\n")); }
    static ServerScript StartTls(const QByteArray& stlsReply = "+OK Begin TLS.\r\n") {
        return Secured(ServerScript().Send("+OK Ready.\r\n").Await().Send(stlsReply).StartTls());
    }
    static bool HasIpv6Loopback() {
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            if (a == QHostAddress(QHostAddress::LocalHostIPv6))
                return true;
        return false;
    }
    // A world whose TLS trusts the file beside the settings, which holds `content`: "ca" the
    // test CA, "none" no file, or a file the program cannot use.
    void TrustFile(World& w, const QString& content) {
        const QString caFile = w.dir.filePath("Tarnwick-ca.pem");
        w.transport.SetCaFile(caFile);
        const QSslCertificate ca = QSslCertificate::fromPath(certs_.Ca()).value(0);
        const QHash<QString, QByteArray> bytes = {
            {"ca", ca.toPem()},
            {"der", ca.toDer()},
            {"garbage", "-----BEGIN CERT-----\nnot base64\n"},
            {"large", ca.toPem() + QByteArray(16 << 20, '\n')},
            {"group-writable", ca.toPem()},
            {"another owner", ca.toPem()}};
        QFile file(caFile);
        if (content == "folder")
            QVERIFY(QDir(w.dir.path()).mkdir("Tarnwick-ca.pem"));
        else if (content == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(caFile).constData(), 0600), 0);
        else if (content != "none")
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes.value(content)) >= 0);
        file.close();
        // Planted: the test CA in a file that others may change, or of another user.
        if (content == "group-writable")
            QVERIFY(file.setPermissions(file.permissions() | QFileDevice::WriteGroup));
        if (content == "another owner")
            QCOMPARE(QProcess::execute("chown", {"nobody", caFile}), 0);
    }

private slots:
    void initTestCase() { TARNWICK_START_PEER(certs_); }

    void secureSession_data() {
        QTest::addColumn<QString>("server"); // %1: the port
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<ServerScript>("script");
        QTest::addColumn<QList<QByteArray>>("clear"); // what the server receives in clear
        QTest::newRow("pop3s") << "pop3s://127.0.0.1:%1" << false << Tls() << QList<QByteArray>{};
        QTest::newRow("STLS, name") << "POP3+StartTLS://localhost:%1" << false << StartTls()
                                    << QList<QByteArray>{"STLS\r\n"};
        // Clear text after the go-ahead is nobody's reply: taken as the greeting's answer
        // it would put USER ahead of the server's real replies.
        QTest::newRow("STLS, clear text after the go-ahead")
            << "pop3+starttls://127.0.0.1:%1" << false
            << StartTls("+OK Begin TLS.\r\n+OK injected\r\n") << QList<QByteArray>{"STLS\r\n"};
        QTest::newRow("pop3s over [::1]")
            << "pop3s://[::1]:%1" << true << Tls() << QList<QByteArray>{};
    }
    void secureSession() {
        QFETCH(QString, server);
        QFETCH(bool, ipv6);
        QFETCH(ServerScript, script);
        QFETCH(QList<QByteArray>, clear);
        if (ipv6 && !HasIpv6Loopback())
            QSKIP("This machine has no IPv6 on loopback.");
        ScriptedServer pop3(nullptr, ipv6 ? QHostAddress(QHostAddress::LocalHostIPv6)
                                          : QHostAddress(QHostAddress::LocalHost));
        QVERIFY(pop3.IsListening());
        QVERIFY(pop3.SetCertificate(certs_.Server(), TestCertificates::KeyOf(certs_.Server())));
        pop3.Queue(script);
        World w(1); // the text names the port
        TrustFile(w, "ca");
        AddUser(w.settings, MakeUser("Home", "alice", server.arg(pop3.Port()), "secret"));
        w.engine.CheckMail(false);
        QVERIFY(RunEnds(w));
        QCOMPARE(w.sink.texts, QStringList());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 3);
        QCOMPARE(pop3.Received(0), clear + Commands("alice", "secret"));
        // The family that answered is kept: the next check makes one attempt through it.
        const QString host = QUrl(server.arg(pop3.Port())).host();
        QCOMPARE(w.transport.Trust()->Family(host),
                 int(ipv6 ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol));
    }

    // Every failure to secure the connection ends the user's check at stage 1, with its
    // reason, and before a user name or password has gone out. A certificate's failure names
    // the certificate, its issuer and fingerprint, and what to do (%F: the CA file's path).
    void secureFailure_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("certificate"); // OldTls: an OpenSSL server of TLS 1.1
        QTest::addColumn<QString>("caFile");      // see TrustFile
        QTest::addColumn<ServerScript>("script");
        QTest::addColumn<QString>("message"); // a pattern
        const QString pop3s = QStringLiteral("pop3s://127.0.0.1:%1");
        const QString stls = QStringLiteral("pop3+starttls://127.0.0.1:%1");
        const auto row = [&](const char* name, const QString& server, const QString& certificate,
                             const char* caFile, const ServerScript& script, const char* message) {
            QTest::newRow(name) << server << certificate << caFile << script << message;
        };
        const QString ownCa = "its issuer \"Tarnwick Test CA\" is not known, and the server sent "
                              "no other certificate\\..* If \"Tarnwick Test CA\" is your own CA, "
                              "add its certificate \\(PEM\\) to %F\\.";
        row("untrusted", pop3s, certs_.SelfSigned(), "ca", Tls(),
            "^TLS certificate not accepted: it is self-signed and not trusted\\..* If you trust "
            "it, add it \\(PEM\\) to %F\\.$");
        row("wrong name", pop3s, certs_.WrongName(), "ca", Tls(),
            "it is for \"mail.elsewhere.test\", not for \"127.0.0.1\".* Use one of the");
        row("expired", pop3s, certs_.Expired(), "ca", Tls(),
            "it expired on 20\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d UTC \\(valid from 20");
        row("private CA, no file", pop3s, certs_.Server(), "none", Tls(), qPrintable(ownCa));
        row("intermediate not sent", pop3s, certs_.BehindIntermediate(), "ca", Tls(),
            "its issuer \"intermediate\" is not known.* did not send it along: that is the "
            "server's fault");
        const std::pair<const char*, QString> files[] = {
            {"folder", "%F is a folder, not a file of certificates\\."},
            {"empty", "%F is empty\\."},
            {"der", "%F holds a certificate in binary \\(DER\\) form, not PEM: convert it with "
                    "\"openssl x509 -inform DER"},
            {"garbage", "%F holds no certificate"},
            {"large", "%F is larger than 16 MiB: too large for a file of certificates\\."},
            {"fifo", "Cannot read %F: not a regular file\\."},
            {"group-writable", "%F is not trusted: others than its owner may write to it\\."},
            {"another owner", "%F is not trusted: it belongs to another user\\."}};
        for (const auto& [file, problem] : files)
            if (QByteArray(file) != "another owner" || ::geteuid() == 0) // chown needs root
                row(file, pop3s, certs_.Server(), file, Tls(),
                    qPrintable("is not known, .*" + problem +
                               ".* If \"Tarnwick Test CA\" is your own CA"));
        row("untrusted after STLS", stls, certs_.SelfSigned(), "ca", StartTls(),
            "^TLS certificate not accepted: it is self-signed");
        row("clear text on the TLS port", pop3s, certs_.Server(), "ca", Conversation(NormalReplies),
            "^TLS handshake failed: the server answered in plain text: use STARTTLS, or port "
            "995 for TLS$");
        row("TLS 1.1 only", pop3s, OldTls, "ca", ServerScript(),
            "^TLS handshake failed: the server offers only TLS versions older than 1.2, which "
            "Tarnwick refuses$");
        row("closed during the handshake", pop3s, certs_.Server(), "ca",
            ServerScript().Pause(100).Drop(),
            "^TLS handshake failed: The remote host closed the connection$");
        row("STLS refused", stls, certs_.Server(), "ca",
            Conversation({"+OK Ready.\r\n", "-ERR Not now.\r\n"}),
            "^STLS refused by the server: \"-ERR Not now\\.\"$");
        // It offers STLS, takes the go-ahead back and talks on in clear.
        row("STLS accepted, then clear text", stls, certs_.Server(), "ca",
            Conversation({"+OK Ready.\r\n", "+OK Begin TLS.\r\n", "+OK\r\n", "+OK\r\n"}),
            "^TLS handshake failed: the server went on in plain text after accepting STLS$");
        row("STLS accepted, then silence", stls, certs_.Server(), "ca",
            Conversation({"+OK Ready.\r\n", "+OK Begin TLS.\r\n"}),
            "^Timeout waiting for response from server!$");
    }
    void secureFailure() {
        QFETCH(QString, server);
        QFETCH(QString, certificate);
        QFETCH(QString, caFile);
        QFETCH(ServerScript, script);
        QFETCH(QString, message);
        ScriptedServer pop3;
        QProcess oldTls;
        quint16 port = pop3.Port();
        if (certificate == OldTls)
            QVERIFY(certs_.ServeOldTls(oldTls, port));
        else
            QVERIFY(pop3.SetCertificate(certificate, TestCertificates::KeyOf(certificate)));
        pop3.Queue(script);
        World w(1);
        TrustFile(w, caFile);
        w.engine.SetTimeoutInterval(1500);
        AddUser(w.settings, MakeUser("Home", "alice", server.arg(port), "secret"));
        w.engine.CheckMail(false);
        QVERIFY(WaitUntil([&] { return !w.sink.texts.isEmpty(); }));
        QVERIFY(RunEnds(w));

        const QString prefix = QStringLiteral("Error with Home : \r\n");
        QVERIFY(w.sink.texts.at(0).startsWith(prefix));
        const QString reported = w.sink.texts.at(0).mid(prefix.size());
        message.replace("%F", QRegularExpression::escape(w.dir.filePath("Tarnwick-ca.pem")));
        QVERIFY2(QRegularExpression(message).match(reported).hasMatch(), qPrintable(reported));
        if (reported.startsWith("TLS certificate")) {
            const QSslCertificate sent = QSslCertificate::fromPath(certificate).value(0);
            const QString named = "Server certificate \"%1\", issued by \"%2\", SHA-256 %3.";
            QVERIFY2(reported.contains(
                         named.arg(sent.subjectInfo(QSslCertificate::CommonName).value(0),
                                   sent.issuerInfo(QSslCertificate::CommonName).value(0),
                                   sent.digest(QCryptographicHash::Sha256).toHex(':').toUpper())),
                     qPrintable(reported));
        }
        QCOMPARE(w.sink.texts.size(), 1);
        const QList<ErrRecord> records = ErrRecords(w);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).stage, 1);
        QCOMPARE(records.at(0).message, reported);
        if (certificate == OldTls) {
            oldTls.kill();
            QVERIFY(oldTls.waitForFinished());
            return;
        }
        QVERIFY(WaitUntil([&] { return pop3.Closed(0); }));
        // A certificate that fails is refused in the handshake, with a TLS alert: the server
        // never sees it finished.
        if (reported.startsWith("TLS certificate")) {
            QVERIFY(!pop3.Encrypted(0));
            QVERIFY2(pop3.SocketError(0).contains("alert"), qPrintable(pop3.SocketError(0)));
        }
        const QByteArray received = pop3.Received(0).join();
        QVERIFY2(!received.contains("USER") && !received.contains("PASS") &&
                     !received.contains("secret"),
                 received.constData());
    }

    // The system's certificates are trusted: its folder of hashed links (SSL_CERT_DIR here),
    // looked up as the chain needs them, and a bundle that SSL_CERT_FILE names.
    void systemCertificates_data() {
        QTest::addColumn<bool>("folder");
        QTest::newRow("folder") << true;
        QTest::newRow("bundle") << false;
    }
    void systemCertificates() {
        QFETCH(bool, folder);
        QTemporaryDir system;
        QProcess hash;
        hash.start("openssl", {"x509", "-hash", "-noout", "-in", certs_.Ca()});
        QVERIFY(hash.waitForFinished() && hash.exitCode() == 0);
        const QString name = folder ? QString(hash.readAll().trimmed()) + ".0" : "bundle.pem";
        QVERIFY(QFile::copy(certs_.Ca(), system.filePath(name)));
        const ScopedEnv env{
            {"SSL_CERT_DIR", QFile::encodeName(system.filePath(folder ? "" : "none"))},
            {"SSL_CERT_FILE", folder ? QByteArray("") : QFile::encodeName(system.filePath(name))}};
        ScriptedServer pop3;
        QVERIFY(pop3.SetCertificate(certs_.Server(), TestCertificates::KeyOf(certs_.Server())));
        pop3.Queue(Tls());
        World w(1);
        TrustFile(w, "none");
        AddUser(w.settings,
                MakeUser("Home", "alice", "pop3s://127.0.0.1:" + QString::number(pop3.Port()),
                         "secret"));
        w.engine.CheckMail(false);
        QVERIFY(RunEnds(w));
        QCOMPARE(w.sink.texts, QStringList());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 3);
    }

    // The transport's socket serves the next user too: a failure is told by what this
    // connection's handshake found, not by what the last one did.
    void nextUsersFailureIsItsOwn() {
        ScriptedServer untrusted;
        QVERIFY(untrusted.SetCertificate(certs_.SelfSigned(),
                                         TestCertificates::KeyOf(certs_.SelfSigned())));
        untrusted.Queue(Tls());
        ScriptedServer closing;
        closing.Queue(ServerScript().Pause(100).Drop());
        World w(1);
        TrustFile(w, "ca");
        for (const ScriptedServer* server : {&untrusted, &closing})
            AddUser(w.settings,
                    MakeUser("Home", "alice",
                             "pop3s://127.0.0.1:" + QString::number(server->Port()), "secret"));
        w.engine.CheckMail(false);
        QVERIFY(WaitUntil([&] { return w.sink.texts.size() == 2; }));
        QVERIFY2(w.sink.texts.at(0).contains("it is self-signed"), qPrintable(w.sink.texts.at(0)));
        QCOMPARE(w.sink.texts.at(1),
                 "Error with Home : \r\nTLS handshake failed: The remote host closed the "
                 "connection");
    }

    // The session of a verified check is offered at the server's next check, which resumes
    // it; a changed CA file, or a certificate changed under the kept session, is verified
    // afresh. The server refuses each secured session with "-ERR Not now.".
    void resumption_data() {
        QTest::addColumn<QString>("caFile");      // at the second check, see TrustFile
        QTest::addColumn<QString>("certificate"); // the server's from the second check on
        QTest::addColumn<QString>("second");      // the report of the next two, a pattern
        QTest::addColumn<int>("resumed");
        QTest::newRow("resumed") << "ca" << certs_.Server() << "^Not now\\.$" << 2;
        QTest::newRow("CA file changed")
            << "none" << certs_.Server() << "its issuer .* is not known" << 0;
        QTest::newRow("certificate changed")
            << "ca" << certs_.SelfSigned() << "it is self-signed and not trusted" << 0;
    }
    void resumption() {
        QFETCH(QString, caFile);
        QFETCH(QString, certificate);
        QFETCH(QString, second);
        QFETCH(int, resumed);
        QProcess server;
        quint16 port = 0;
        QVERIFY(certs_.Serve(server, port, certs_.Server()));
        World w(1);
        TrustFile(w, "ca");
        AddUser(w.settings,
                MakeUser("Home", "alice", "pop3s://127.0.0.1:" + QString::number(port), "secret"));
        QByteArray output;
        const auto check = [&](const QString& pattern) {
            const qsizetype handshakes = output.count("CIPHER is");
            w.sink.texts.clear();
            w.clock.Advance(24 * 3600 * 1000);
            w.engine.CheckMail(false);
            // Said once the handshake is through: s_server reads its input only then.
            if (WaitUntil([&] {
                    output += server.readAll();
                    return output.count("CIPHER is") > handshakes || !w.sink.texts.isEmpty();
                }) &&
                w.sink.texts.isEmpty())
                server.write("-ERR Not now.\n");
            return RunEnds(w) && QRegularExpression(pattern)
                                     .match(w.sink.texts.value(0).section("\r\n", 1))
                                     .hasMatch();
        };
        QVERIFY2(check("^Not now\\.$"), qPrintable(w.sink.texts.join('|')));
        if (certificate != certs_.Server()) {
            server.kill();
            QVERIFY(server.waitForFinished());
            QVERIFY(certs_.Serve(server, port, certificate));
        }
        if (caFile != "ca") {
            QVERIFY(QFile::remove(w.dir.filePath("Tarnwick-ca.pem")));
            TrustFile(w, caFile);
        }
        for (int again = 0; again < 2; ++again) // a resumed session gives the next one
            QVERIFY2(check(second), qPrintable(w.sink.texts.join('|')));
        output += server.readAll();
        QCOMPARE(output.count("Reused session-id"), resumed);
        server.kill();
        QVERIFY(server.waitForFinished());
    }
};

// A connection that waits for news dozes on the dozer's thread: the server's keep-alives are
// taken there and counted, never reaching the session; any other line, a silence or a
// command of the session's own gives the connection back, and what came follows in order.
class TestDozer final : public QObject {
    Q_OBJECT

    TestCertificates certs_;

private slots:
    void initTestCase() { TARNWICK_START_PEER(certs_); }

    void dozing_data() {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QList<QByteArray>>("pieces"); // sent once it dozes, 50 ms apart
        QTest::addColumn<bool>("command");             // the session sends while it dozes
        QTest::addColumn<int>("taken");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QList<QByteArray>>("lines"); // handed on after it
        const QByteArray still = "* OK Still here\r\n";
        QTest::newRow("keep-alives, then silence") << false << QList<QByteArray>{still, still}
                                                   << false << 2 << true << QList<QByteArray>{};
        for (const bool tls : {false, true}) {
            const QByteArray suffix = tls ? ", TLS" : "";
            QTest::newRow("keep-alives, then news" + suffix)
                << tls << QList<QByteArray>{still, "* OK Sti", "ll here\r\n* 4 EXISTS\r\n* 5"}
                << false << 2 << false << QList<QByteArray>{"* 4 EXISTS\r\n"};
        }
        // After the third the thread waits for a fourth, due by their spacing: news in its place
        // is read when that wait ends.
        QTest::newRow("news where a keep-alive was due")
            << false << QList<QByteArray>{still, still, still, "* 4 EXISTS\r\n"} << false << 3
            << false << QList<QByteArray>{"* 4 EXISTS\r\n"};
        QTest::newRow("a response code is news")
            << false << QList<QByteArray>{"* OK [UIDVALIDITY 7] x\r\n"} << false << 0 << false
            << QList<QByteArray>{"* OK [UIDVALIDITY 7] x\r\n"};
        QTest::newRow("a literal to follow is news")
            << false << QList<QByteArray>{"* OK x {5}\r\n* OK\r\n"} << false << 0 << false
            << QList<QByteArray>{"* OK x {5}\r\n", "* OK\r\n"};
        QTest::newRow("a flood goes to the session")
            << false << QList<QByteArray>{still.repeated(Dozer::TakeLimit + 500)} << false
            << Dozer::TakeLimit << false << QList<QByteArray>(500, still);
        QTest::newRow("the session sends")
            << true << QList<QByteArray>{still} << true << 1 << false << QList<QByteArray>{};
    }
    void dozing() {
        QFETCH(bool, tls);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(bool, command);
        QFETCH(int, taken);
        QFETCH(bool, silent);
        QFETCH(QList<QByteArray>, lines);
        ScriptedServer server;
        QVERIFY(server.SetCertificate(certs_.Server(), TestCertificates::KeyOf(certs_.Server())));
        ServerScript script;
        if (tls)
            script.StartTls();
        server.Queue(script.Send("* OK ready\r\n").WaitForCue().SendInPieces(pieces).Await());
        SocketTransport transport;
        transport.ShareDozer(std::make_shared<Dozer>());
        transport.SetCaFile(certs_.Ca());
        QList<QByteArray> received;
        QList<DozeReport> reports;
        connect(&transport, &Transport::LineReceived, this,
                [&](const QByteArray& line) { received << line; });
        connect(&transport, &Transport::Woke, this,
                [&](const DozeReport& report) { reports << report; });
        if (tls)
            transport.ConnectSecure("localhost", server.Port(), Security::Tls);
        else
            transport.Connect("127.0.0.1", server.Port());
        QTRY_COMPARE(received, QList<QByteArray>{"* OK ready\r\n"});
        received.clear();

        QVERIFY(transport.Doze(command ? 60000 : 1000, &ImapSession::ChangesNothing));
        server.Cue(0);
        if (command) {
            QTest::qWait(500); // the keep-alive is taken meanwhile
            QVERIFY(reports.isEmpty());
            transport.Send("DONE\r\n"); // goes out at once; what came follows from the loop
        }
        QTRY_COMPARE(reports.size(), 1);
        QCOMPARE(reports[0].taken, taken);
        QCOMPARE(reports[0].silent, silent);
        QCOMPARE(reports[0].lastAgoMs >= 0, taken > 0);
        QTRY_COMPARE(received, lines);
        // Read by the socket again: the connection carries commands, and stays open.
        if (!command)
            transport.Send("a1 NOOP\r\n");
        QTRY_COMPARE(server.Received(0).size(), 1);
        QVERIFY(transport.IsOpen());
        QCOMPARE(reports.size(), 1);
    }
};

class TestLineFramer final : public QObject {
    Q_OBJECT

private slots:
    void linesInPiecesAndTogether() {
        LineFramer framer;
        QList<QByteArray> lines;
        QVERIFY(framer.Feed("+O", lines));
        QVERIFY(framer.Feed("K hi\r", lines));
        QVERIFY(lines.isEmpty());
        QCOMPARE(framer.Pending(), 7);
        QVERIFY(framer.Feed("\n+OK 3", lines));
        QCOMPARE(lines, QList<QByteArray>{"+OK hi\r\n"});
        lines.clear();
        QVERIFY(framer.Feed(" 9\n-ERR x\r\n\n+OK", lines));
        QCOMPARE(lines, QList<QByteArray>({"+OK 3 9\n", "-ERR x\r\n", "\n"}));
        QCOMPARE(framer.Pending(), 3);
        framer.Reset();
        QCOMPARE(framer.Pending(), 0);
        lines.clear();
        QVERIFY(framer.Feed("\r\n", lines));
        QCOMPARE(lines, QList<QByteArray>{"\r\n"}); // nothing of before the reset
    }

    void limit() {
        const int limit = LineFramer::Limit;
        LineFramer framer;
        QList<QByteArray> lines;
        // A line of exactly the limit, line end included, passes.
        QVERIFY(framer.Feed(QByteArray(limit - 1, 'x') + '\n', lines));
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.at(0).size(), limit);
        // One byte more does not, even when it is the line end; nothing is kept.
        lines.clear();
        QVERIFY(framer.Feed(QByteArray(limit, 'x'), lines));
        QCOMPARE(framer.Pending(), limit);
        QVERIFY(!framer.Feed("\n", lines));
        QVERIFY(lines.isEmpty());
        QCOMPARE(framer.Pending(), 0);
        // Lines finished before the overflow in the same chunk are delivered.
        QVERIFY(!framer.Feed("+OK a\r\n" + QByteArray(3 * limit, 'y'), lines));
        QCOMPARE(lines, QList<QByteArray>{"+OK a\r\n"});
        QCOMPARE(framer.Pending(), 0);
        // A fresh start after a reset.
        framer.Reset();
        lines.clear();
        QVERIFY(framer.Feed("+OK\r\n", lines));
        QCOMPARE(lines, QList<QByteArray>{"+OK\r\n"});
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return RunTests<TestWire, TestTls, TestDozer, TestLineFramer>(argc, argv);
}

#include "tst_wire.moc"
