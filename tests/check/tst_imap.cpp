// The IMAP check session over real loopback sockets, against a scripted server for what a
// real one will not do (Dovecot's rows are with the POP3 ones).
#include "check/CheckText.h"
#include "check/ImapSession.h"
#include "check/Pop3Session.h"
#include "check/Sasl.h"
#include "check/SeenMessages.h"
#include "check/SocketTransport.h"
#include "core/ClockJumps.h"
#include "support/RunTests.h"
#include "support/TestWorld.h"
#include "support/doubles/FixedRandom.h"
#include "support/peers/ScriptedServer.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <sys/resource.h>
#include <unistd.h>

Q_DECLARE_METATYPE(ServerScript)

namespace {
using World = CheckWorld<SocketTransport>;

constexpr qint64 PastInterval = (Settings::DefaultCheckInterval * 60 + 1) * 1000;

// The stage and the message of the error log's last record, "5|BAD no".
QString LastError(const World& w) {
    QList<QByteArray> lines = ReadFile(w.logs.ErrLogPath()).split('\n');
    lines.removeIf([](const QByteArray& line) { return line.trimmed().isEmpty(); });
    if (lines.size() < 2)
        return QString();
    const QList<QByteArray> f = lines.last().trimmed().split('|');
    return QString::fromUtf8(f.value(6) + '|' + f.mid(7).join('|'));
}

// The greeting and the CAPABILITY reply, then each of `replies` after a command line.
ServerScript Imap(const QByteArray& capabilities, const QList<QByteArray>& replies) {
    QList<QByteArray> all{"* OK ready\r\n", "* CAPABILITY " + capabilities + "\r\na1 OK\r\n"};
    return Conversation(all + replies);
}
const QList<QByteArray> StatusAndLogout = {"* STATUS INBOX (MESSAGES 9 UNSEEN 4)\r\na3 OK\r\n",
                                           "* BYE\r\na4 OK\r\n"};
const QByteArray Plain = QByteArray("\0alice\0secret", 13).toBase64();

// The resident size of this process in bytes and its CPU time in milliseconds.
qint64 ResidentBytes() {
    const QList<QByteArray> fields = ReadFile("/proc/self/statm").split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}
qint64 CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// An IMAP server that answers every check, offering IDLE, and resets every connection that
// goes on to watch (at its EXAMINE): a server that fails its watchers all together.
class ResettingImap final : public QTcpServer {
public:
    ResettingImap() {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                ++connections;
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(socket, &QTcpSocket::disconnected, this,
                        [this, socket] { users_.remove(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Answer(*socket); });
                socket->write("* OK ready\r\n");
            }
        });
    }
    int connections = 0;
    int resets = 0;
    int overlaps = 0; // a login while another connection of that user was logged in

private:
    QHash<QTcpSocket*, QByteArray> users_; // logged in, neither reset nor logged out

    void Answer(QTcpSocket& socket) {
        while (socket.canReadLine()) {
            const QList<QByteArray> words = socket.readLine().trimmed().split(' ');
            const QByteArray tag = words.value(0), command = words.value(1).toUpper();
            const QByteArray ok = tag + " OK\r\n";
            if (command == "LOGIN") {
                overlaps += int(users_.values().contains(words.value(2)));
                users_.insert(&socket, words.value(2));
            }
            if (command == "EXAMINE" || command == "LOGOUT")
                users_.remove(&socket);
            if (command == "EXAMINE") {
                ++resets;
                socket.abort();
                return;
            }
            socket.write(command == "CAPABILITY" ? "* CAPABILITY IMAP4rev1 IDLE\r\n" + ok
                         : command == "STATUS"   ? "* STATUS INBOX (UNSEEN 4)\r\n" + ok
                         : command == "LOGOUT"   ? "* BYE\r\n" + ok
                                                 : ok);
        }
    }
};
} // namespace

class TestImapWire final : public QObject {
    Q_OBJECT

private slots:
    void session_data() {
        QTest::addColumn<QString>("scheme"); // host and port follow; then `path`
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("password");
        QTest::addColumn<ServerScript>("script");
        QTest::addColumn<QByteArrayList>("sent"); // the command lines, without line ends
        QTest::addColumn<int>("count");           // -1: the check fails
        QTest::addColumn<QString>("error");       // "stage|message"
        // A row of the usual account, "imap://" with "secret", unless told otherwise.
        const auto row = [](const char* name, const QString& password = "secret",
                            const QString& scheme = "imap",
                            const QString& path = "") -> QTestData& {
            return QTest::newRow(name) << scheme << path << password;
        };
        const QByteArrayList loggedIn = {"a3 STATUS \"INBOX\" (UNSEEN)", "a4 LOGOUT"};
        row("LOGIN, quoted", "p\"w\\")
            << Imap("IMAP4rev1", QList<QByteArray>{"a2 OK\r\n"} + StatusAndLogout)
            << QByteArrayList{"a1 CAPABILITY", "a2 LOGIN \"alice\" \"p\\\"w\\\\\""} + loggedIn << 4
            << "";
        row("LOGIN, literal for UTF-8 and blanks", "pässwört ok")
            << Imap("IMAP4rev1", QList<QByteArray>{"+ go\r\n", "a2 OK\r\n"} + StatusAndLogout)
            << QByteArrayList{"a1 CAPABILITY", "a2 LOGIN \"alice\" {13}", "pässwört ok"} + loggedIn
            << 4 << "";
        row("AUTHENTICATE PLAIN, SASL-IR")
            << Imap("IMAP4rev1 AUTH=PLAIN SASL-IR",
                    QList<QByteArray>{"a2 OK\r\n"} + StatusAndLogout)
            << QByteArrayList{"a1 CAPABILITY", "a2 AUTHENTICATE PLAIN " + Plain} + loggedIn << 4
            << "";
        row("AUTHENTICATE PLAIN, continuation")
            << Imap("IMAP4rev1 AUTH=PLAIN",
                    QList<QByteArray>{"+ \r\n", "a2 OK\r\n"} + StatusAndLogout)
            << QByteArrayList{"a1 CAPABILITY", "a2 AUTHENTICATE PLAIN", Plain} + loggedIn << 4
            << "";
        row("folder in modified UTF-7, chatter, name as literal", "secret", "imap",
            "/Entw%C3%BCrfe")
            << Imap("IMAP4rev1", {"a2 OK\r\n",
                                  "* 3 EXISTS\r\n* FOO (bar\r\n* STATUS {12}\r\nEntw&APw-rfe "
                                  "(UNSEEN 2)\r\na3 OK\r\n",
                                  "a4 OK\r\n"})
            << QByteArrayList{"a1 CAPABILITY", "a2 LOGIN \"alice\" \"secret\"",
                              "a3 STATUS \"Entw&APw-rfe\" (UNSEEN)", "a4 LOGOUT"}
            << 2 << "";
        const QByteArrayList toLogin = {"a1 CAPABILITY", "a2 LOGIN \"alice\" \"secret\""};
        row("LOGINDISABLED")
            << Imap("IMAP4rev1 LOGINDISABLED AUTH=PLAIN", {}) << QByteArrayList{"a1 CAPABILITY"}
            << -1
            << "3|The server accepts a login only over TLS: choose STARTTLS or TLS under "
               "Security. Nothing was sent.";
        row("login refused") << Imap("IMAP4rev1",
                                     {"a2 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"})
                             << toLogin << -1
                             << "4|NO [AUTHENTICATIONFAILED] Authentication failed.";
        row("STATUS BAD") << Imap("IMAP4rev1", {"a2 OK\r\n", "a3 BAD No such folder\r\n"})
                          << toLogin + QByteArrayList{"a3 STATUS \"INBOX\" (UNSEEN)"} << -1
                          << "5|BAD No such folder";
        row("no UNSEEN") << Imap("IMAP4rev1",
                                 {"a2 OK\r\n", "* STATUS INBOX (MESSAGES 3)\r\na3 OK\r\n"})
                         << toLogin + QByteArrayList{"a3 STATUS \"INBOX\" (UNSEEN)"} << -1
                         << "5|Malformed STATUS response!";
        row("literal over 1 MiB")
            << Imap("IMAP4rev1", {"a2 OK\r\n", "* STATUS {1048577}\r\n"})
            << toLogin + QByteArrayList{"a3 STATUS \"INBOX\" (UNSEEN)"} << -1
            << "5|Reply too long: the server announced 1048577 bytes, more than the 1048576 "
               "allowed";
        row("line over 64 KiB")
            << ServerScript(Conversation({"* OK ready\r\n"})).Await().Flood(1 << 20)
            << QByteArrayList{"a1 CAPABILITY"} << -1
            << "3|Reply too long: no line end within 65536 bytes";
        row("flood of lines")
            << ServerScript(Conversation({"* OK ready\r\n"})).Await().Flood(4 << 20, "* OK x\r\n")
            << QByteArrayList{"a1 CAPABILITY"} << -1
            << "3|Hostile reply: more than 10000 lines that change nothing within a minute";
        row("capability over 64 bytes")
            << Conversation({"* OK ready\r\n",
                             "* CAPABILITY IMAP4rev1 " + QByteArray(65, 'X') + "\r\na1 OK\r\n"})
            << QByteArrayList{"a1 CAPABILITY"} << -1
            << "3|Hostile reply: a capability of more than 64 bytes";
        // Logged in at once: the capabilities are still asked, and the count follows.
        row("PREAUTH") << Conversation({"* PREAUTH welcome\r\n",
                                        "* CAPABILITY IMAP4rev1\r\na1 OK\r\n",
                                        "* STATUS INBOX (UNSEEN 2)\r\na2 OK\r\n", "a3 OK\r\n"})
                       << QByteArrayList{"a1 CAPABILITY", "a2 STATUS \"INBOX\" (UNSEEN)",
                                         "a3 LOGOUT"}
                       << 2 << "";
        row("greeting BYE") << Conversation({"* BYE Too many connections\r\n"}) << QByteArrayList{}
                            << -1 << "1|BYE Too many connections";
        row("garbage greeting") << Conversation({"HELLO\r\n"}) << QByteArrayList{} << -1
                                << "1|Unexpected greeting from server: \"HELLO\"";
        row("silence") << ServerScript() << QByteArrayList{} << -1
                       << "1|Timeout waiting for response from server!";
        // A line in clear after the go-ahead could be an attacker's: nothing more is sent.
        row("injection after STARTTLS", "secret", "imap+starttls")
            << Conversation({"* OK ready\r\n", "a1 OK Begin TLS\r\n* OK [CAPABILITY IMAP4rev1] "
                                               "injected\r\n"})
            << QByteArrayList{"a1 STARTTLS"} << -1
            << "2|TLS handshake failed: the server went on in plain text after accepting "
               "STARTTLS: \"* OK [CAPABILITY IMAP4rev1] injected\"";
    }
    void session() {
        QFETCH(QString, scheme);
        QFETCH(QString, path);
        QFETCH(QString, password);
        QFETCH(ServerScript, script);
        QFETCH(QByteArrayList, sent);
        QFETCH(int, count);
        QFETCH(QString, error);
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.Queue(script);
        World w;
        w.engine.SetTimeoutInterval(1000);
        AddUser(w.settings,
                MakeUser("Home", "alice",
                         scheme + "://127.0.0.1:" + QString::number(server.Port()) + path,
                         password));
        QVERIFY(w.CheckAndWait());
        QCOMPARE(LastError(w), error);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, count);
        QByteArrayList received = server.Received(0);
        for (QByteArray& line : received)
            line = line.trimmed();
        QCOMPARE(received, sent);
        if (count >= 0)
            QVERIFY(
                ReadFile(w.logs.StatLogPath())
                    .endsWith(QByteArray("&|%1|%1\r\n").replace("%1", QByteArray::number(count))));
        QVERIFY(QTest::qWaitFor([&] { return server.Closed(0); }, 5000));
    }
};

// Listing: the unseen messages by UID, and the headers of the new ones, from servers that
// answer well, hugely, wrongly; then "Mark as Read" on what the alert stands for.
class TestImapListing final : public QObject {
    Q_OBJECT

    static QByteArray Fetched(int seq, int uid, const QByteArray& header) {
        return "* " + QByteArray::number(seq) + " FETCH (UID " + QByteArray::number(uid) +
               " BODY[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] {" +
               QByteArray::number(header.size()) + "}\r\n" + header + ")\r\n";
    }

private slots:
    void listing_data() {
        QTest::addColumn<QByteArray>("capabilities");
        QTest::addColumn<QByteArray>("search");   // the reply to the search, tagged a4
        QTest::addColumn<QByteArray>("fetch");    // the reply to UID FETCH, tagged a5; none: none
        QTest::addColumn<QByteArrayList>("sent"); // from the search on
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("listed"); // "from: subject", newest first
        const QByteArray fields = " (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)])";
        QTest::newRow("SEARCH")
            << QByteArray("IMAP4rev1") << QByteArray("* SEARCH 5 9\r\n")
            << Fetched(1, 5, "From: Ann <a@x>\r\nSubject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n\r\n") +
                   "* 2 FETCH (BODY[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)] NIL UID 9)\r\n"
            << QByteArrayList{"a4 UID SEARCH UNSEEN", "a5 UID FETCH 5,9" + fields, "a6 LOGOUT"} << 2
            << QStringList{": ", "Ann: Grüße"};
        QTest::newRow("ESEARCH ranges")
            << QByteArray("IMAP4rev1 ESEARCH")
            << QByteArray("* ESEARCH (TAG \"a4\") UID COUNT 3 ALL 3:4,7\r\n")
            << Fetched(3, 7, "Subject: x\r\n")
            << QByteArrayList{"a4 UID SEARCH RETURN (ALL COUNT) UNSEEN",
                              "a5 UID FETCH 3:4,7" + fields, "a6 LOGOUT"}
            << 3 << QStringList{": x", ": ", ": "};
        // Four billion UIDs are not walked: counted, not listed, nothing fetched.
        QTest::newRow("huge ESEARCH")
            << QByteArray("IMAP4rev1 ESEARCH")
            << QByteArray("* ESEARCH (TAG \"a4\") UID COUNT 2000000000 ALL 1:4000000000\r\n")
            << QByteArray()
            << QByteArrayList{"a4 UID SEARCH RETURN (ALL COUNT) UNSEEN", "a5 LOGOUT"} << 2000000000
            << QStringList{};
        QTest::newRow("malformed SEARCH")
            << QByteArray("IMAP4rev1") << QByteArray("* SEARCH 5 x\r\n") << QByteArray()
            << QByteArrayList{"a4 UID SEARCH UNSEEN"} << -1 << QStringList{};
        // Headers a server should not send: bad charsets, NUL and escapes, a UID not asked
        // for, one answered twice.
        QTest::newRow("hostile headers")
            << QByteArray("IMAP4rev1") << QByteArray("* SEARCH 2\r\n")
            << Fetched(9, 99, "Subject: not asked\r\n") +
                   Fetched(1, 2,
                           QByteArray("From: =?no-such?B?AAAA?= <\x1b[2J>\r\nSubject: a\0b\x07\r\n",
                                      48)) +
                   Fetched(1, 2, "Subject: again\r\n")
            << QByteArrayList{"a4 UID SEARCH UNSEEN", "a5 UID FETCH 2" + fields, "a6 LOGOUT"} << 1
            << QStringList{"=?no-such?B?AAAA?=: a\\x00b\\x07"};
    }
    void listing() {
        QFETCH(QByteArray, capabilities);
        QFETCH(QByteArray, search);
        QFETCH(QByteArray, fetch);
        QFETCH(QByteArrayList, sent);
        QFETCH(int, count);
        QFETCH(QStringList, listed);
        QList<QByteArray> replies{"a2 OK\r\n", "* 3 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\na3 OK\r\n",
                                  search + "a4 OK\r\n"};
        if (!fetch.isEmpty())
            replies << fetch + "a5 OK\r\n";
        replies << "* BYE\r\na" + QByteArray::number(replies.size() + 3) + " OK\r\n";
        ScriptedServer server;
        server.Queue(Imap(capabilities, replies));
        World w;
        SeenMessages seen;
        w.engine.SetSeen(&seen);
        w.engine.SetTimeoutInterval(1000);
        AddUser(w.settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.Port()),
                         "secret"));
        QVERIFY(w.CheckAndWait());
        QByteArrayList received = server.Received(0);
        for (QByteArray& line : received)
            line = line.trimmed();
        QCOMPARE(received.mid(2, 1), QByteArrayList{"a3 EXAMINE \"INBOX\""});
        QCOMPARE(received.mid(3), sent);
        const MailboxState state = w.states.Of(w.settings.Users[0].Id);
        QCOMPARE(state.NewNumMails, count);
        QStringList lines;
        for (const MessageSummary& message : state.Messages)
            lines << message.from + ": " + message.subject;
        QCOMPARE(lines, listed);
        QVERIFY(!ReadFile(w.logs.StatLogPath()).contains("Gr"));
    }

    // Watched, a folder made anew under the same name (a new UIDVALIDITY while idling) is
    // counted again at once: its messages are news, counted, not fetched.
    void uidValidityChangesWhileIdling() {
        ScriptedServer server;
        const QByteArray examined = "* OK [UIDVALIDITY 7] ok\r\na3 OK\r\n";
        server.Queue(
            Imap("IMAP4rev1 IDLE", {"a2 OK\r\n", examined, "* SEARCH 3\r\na4 OK\r\n",
                                    Fetched(1, 3, "Subject: old\r\n") + "a5 OK\r\n", "a6 OK\r\n"}));
        server.Queue(
            Imap("IMAP4rev1 IDLE", {"a2 OK\r\n", examined, "* SEARCH 3\r\na4 OK\r\n",
                                    "+ idling\r\n* OK [UIDVALIDITY 8] renewed\r\n", "a5 OK\r\n",
                                    "* SEARCH 1 2\r\na6 OK\r\n", "+ idling\r\n"}));
        World w;
        SeenMessages seen;
        w.engine.SetSeen(&seen);
        AddUser(w.settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.Port()),
                         "secret"));
        QVERIFY(w.CheckAndWait());
        const quint64 id = w.settings.Users[0].Id;
        QCOMPARE(w.states.Of(id).Messages.size(), 1);
        const qint64 news = w.states.Of(id).LastNews;
        w.clock.Advance(1000);
        QTRY_COMPARE(w.states.Of(id).NewNumMails, 2);
        QVERIFY(w.states.Of(id).Messages.isEmpty());
        QVERIFY(w.states.Of(id).LastNews > news);
        QTRY_COMPARE(server.Received(1).size(), 8);
        QByteArrayList received = server.Received(1);
        for (QByteArray& line : received)
            line = line.trimmed();
        QCOMPARE(received.mid(3), QByteArrayList({"a4 UID SEARCH UNSEEN", "a5 IDLE", "DONE",
                                                  "a6 UID SEARCH UNSEEN", "a7 IDLE"}));
    }

    // "Mark as Read": the folder SELECTed, every message the alert stands for flagged, the
    // mailbox counted again; refused, one error and nothing else.
    void markRead_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("error");
        QTest::newRow("done") << QByteArray("a4 OK\r\n") << "";
        QTest::newRow("refused") << QByteArray("a4 NO [READ-ONLY] no\r\n")
                                 << "Error with Home : \r\nNO [READ-ONLY] no";
    }
    void markRead() {
        QFETCH(QByteArray, stored);
        QFETCH(QString, error);
        ScriptedServer server;
        server.Queue(
            Imap("IMAP4rev1",
                 {"a2 OK\r\n", "* OK [UIDVALIDITY 7] ok\r\na3 OK\r\n", "* SEARCH 4 6\r\na4 OK\r\n",
                  Fetched(1, 4, "Subject: s\r\n") + "a5 OK\r\n", "a6 OK\r\n"}));
        server.Queue(Imap("IMAP4rev1", {"a2 OK\r\n", "a3 OK\r\n", stored, "a5 OK\r\n"}));
        // The check after it goes on with the tags of the checks before.
        server.Queue(
            Conversation({"* OK ready\r\n", "* CAPABILITY IMAP4rev1\r\na7 OK\r\n", "a8 OK\r\n",
                          "a9 OK\r\n", "* SEARCH\r\na10 OK\r\n", "a11 OK\r\n"}));
        World w;
        SeenMessages seen;
        w.engine.SetSeen(&seen);
        w.engine.SetTimeoutInterval(1000);
        w.settings.ShowErrors = true;
        AddUser(w.settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.Port()),
                         "secret"));
        QVERIFY(w.CheckAndWait());
        const quint64 id = w.settings.Users[0].Id;
        QCOMPARE(w.states.Of(id).NewNumMails, 2);
        w.engine.MarkRead(id);
        QVERIFY(QTest::qWaitFor([&] { return server.Closed(1); }, 5000));
        QByteArrayList received = server.Received(1);
        for (QByteArray& line : received)
            line = line.trimmed();
        // A refusal ends the connection as any failed check does.
        QByteArrayList sent{"a3 SELECT \"INBOX\"", "a4 UID STORE 4,6 +FLAGS.SILENT (\\Seen)"};
        if (error.isEmpty())
            sent << "a5 LOGOUT";
        QCOMPARE(received.mid(2), sent);
        QTRY_COMPARE(w.sink.texts, error.isEmpty() ? QStringList() : QStringList(error));
        // Done, the mailbox is counted again at once; refused, it waits its interval.
        if (error.isEmpty()) {
            QTRY_COMPARE(w.states.Of(id).NewNumMails, -1);
        } else {
            QTest::qWait(100);
            QCOMPARE(server.Connections(), 2);
            QCOMPARE(w.states.Of(id).NewNumMails, 2);
        }
    }
};

// What a server that offers IDLE sees: the polled check, then the watching connection, which
// counts again on news, fails a refresh that gets no answer, is replaced after a clock jump and
// left when setup changes the user.
class TestImapIdle final : public QObject {
    Q_OBJECT

    // Logs in, examines, counts `unseen` and idles, with `news` in the same write; then `more`.
    static ServerScript Watching(const QByteArray& unseen, const QByteArray& news = {},
                                 const QList<QByteArray>& more = {}) {
        return Imap("IMAP4rev1 IDLE",
                    QList<QByteArray>{"a2 OK\r\n", "a3 OK\r\n",
                                      Search(unseen.toInt()) + "a4 OK\r\n", "+ idling\r\n" + news} +
                        more);
    }
    // The answer to SEARCH UNSEEN in a folder with `unseen` unseen messages.
    static QByteArray Search(int unseen) {
        QByteArray line = "* SEARCH";
        for (int i = 1; i <= unseen; ++i)
            line += ' ' + QByteArray::number(i * 2);
        return line + "\r\n";
    }

private slots:
    // A server that floods: the check ends with the failure, and what the flood cost this
    // process (the server's side included) stays small: it is cut off, not read to its end.
    void floods_data() {
        QTest::addColumn<ServerScript>("watching"); // the second connection's script
        QTest::addColumn<QByteArray>("capabilities");
        QTest::addColumn<QString>("error");
        QTest::newRow("capabilities that all differ")
            << ServerScript() << QByteArray("A%1 B%1 C%1 D%1")
            << "3|Hostile reply: more than 256 capabilities";
        QTest::newRow("keep-alives in IDLE")
            << ServerScript(Watching("4")).Flood(256 << 20, "* OK Still here\r\n")
            << QByteArray("IDLE")
            << "9|Hostile reply: more than 10000 lines that change nothing within a minute";
    }
    void floods() {
        QFETCH(ServerScript, watching);
        QFETCH(QByteArray, capabilities);
        QFETCH(QString, error);
        ScriptedServer server;
        QVERIFY(server.IsListening());
        const bool idle = capabilities == "IDLE";
        server.Queue(idle ? Imap("IMAP4rev1 IDLE", QList<QByteArray>{"a2 OK\r\n"} + StatusAndLogout)
                          : ServerScript(Conversation({"* OK ready\r\n"}))
                                .Await()
                                .FloodNumbered(256 << 20, "* CAPABILITY " + capabilities + "\r\n"));
        server.Queue(watching);
        World w;
        AddUser(w.settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.Port()),
                         "secret"));
        const qint64 rss = ResidentBytes();
        const qint64 cpu = CpuMs();
        QVERIFY(w.CheckAndWait());
        const int flooded = idle ? 1 : 0;
        QTRY_VERIFY(ReadFile(w.logs.ErrLogPath()).contains(error.toUtf8()));
        QTRY_VERIFY(server.Closed(flooded));
        QVERIFY(server.FloodCutShort(flooded));
        QCOMPARE(ReadFile(w.logs.ErrLogPath()).count("Hostile reply"), 1); // logged once
        const qint64 grownMb = (ResidentBytes() - rss) >> 20;
        const qint64 cpuMs = CpuMs() - cpu;
        qInfo("flood of %lld MB cut short; grew %lld MB, %lld ms CPU",
              server.BytesSent(flooded) >> 20, grownMb, cpuMs);
        QVERIFY2(grownMb < 64, qPrintable(QString::number(grownMb)));
        QVERIFY2(cpuMs < 3000, qPrintable(QString::number(cpuMs)));
    }

    // 300 watched mailboxes of a server that resets them all: each is counted soon after
    // the start, and they connect again no more often than the back-off allows.
    void calmReconnects() {
        ResettingImap server;
        QVERIFY(server.isListening());
        World w;
        FixedRandom spread({0.0f, 0.5f, 0.99f});
        w.engine.Idle().SetRandom(&spread);
        const QString url = "imap://127.0.0.1:" + QString::number(server.serverPort());
        constexpr int Boxes = 300;
        for (int i = 0; i < Boxes; ++i)
            AddUser(w.settings,
                    MakeUser(QString("Box %1").arg(i), QString("box%1").arg(i), url, "secret"));
        QElapsedTimer elapsed;
        elapsed.start();
        // In an event loop of its own, as the program runs: qWaitFor would sleep between
        // rounds, which the many round trips would add up.
        QEventLoop loop;
        connect(&w.engine, &CheckEngine::CheckingChanged, &loop, [&loop](bool checking) {
            if (!checking)
                loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        w.engine.CheckMail(false);
        loop.exec();
        QVERIFY(!w.engine.IsChecking());
        for (int i = 0; i < Boxes; ++i)
            QCOMPARE(w.states.Of(w.settings.Users[i].Id).NewNumMails, 4);
        qInfo("%d mailboxes counted in %lld ms", Boxes, elapsed.elapsed());
        QVERIFY(elapsed.elapsed() < 30000);
        QTRY_COMPARE(server.resets, Boxes);
        // Each mailbox: its check, its watch, and the retries whose pauses (a fifth shorter at
        // the most, doubling from the first) have passed by now.
        const qint64 seconds = elapsed.elapsed() / 1000 + 1;
        int retries = 0;
        for (qint64 pause = IdleUsers::FirstRetryMs * 4 / 5, at = pause; at / 1000 <= seconds;
             pause *= 2, at += pause)
            ++retries;
        qInfo("%d connections in %lld s, at most %d allowed", server.connections, seconds,
              Boxes * (2 + retries));
        QVERIFY(server.connections <= Boxes * (2 + retries));
        QCOMPARE(server.overlaps, 0); // never two connections of one mailbox at a time
    }

    void watched() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.Queue(Imap("IMAP4rev1 IDLE", QList<QByteArray>{"a2 OK\r\n"} + StatusAndLogout));
        // News during IDLE: DONE, a count, IDLE again; then the refresh goes unanswered.
        server.Queue(Watching("4", "* 5 EXISTS\r\n",
                              {"a5 OK\r\n", Search(5) + "a6 OK\r\n", "+ idling\r\n"}));
        // Replaced before it has read that the server idles: DONE is owed all the same.
        server.Queue(Imap("IMAP4rev1 IDLE", {"a2 OK\r\n", "a3 OK\r\n", Search(5) + "a4 OK\r\n", "",
                                             "", "* BYE\r\na6 OK\r\n"}));
        server.Queue(Watching("5", {}, {"a5 OK\r\n", "* BYE\r\na6 OK\r\n"})); // leaves in order
        World w;
        w.engine.SetTimeoutInterval(500);
        ClockJumps jumps;
        w.engine.WatchClock(jumps);
        AddUser(w.settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.Port()),
                         "secret"));
        QVERIFY(w.CheckAndWait());
        QVERIFY(w.engine.Idle().IsWatched(w.settings.Users[0].Id));
        QTRY_COMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 5);
        const QByteArrayList sent = {"a1 CAPABILITY",
                                     "a2 LOGIN \"alice\" \"secret\"",
                                     "a3 EXAMINE \"INBOX\"",
                                     "a4 SEARCH UNSEEN",
                                     "a5 IDLE",
                                     "DONE",
                                     "a6 SEARCH UNSEEN",
                                     "a7 IDLE"};
        QTRY_COMPARE(server.Received(1).size(), sent.size());
        QByteArrayList received = server.Received(1);
        for (QByteArray& line : received)
            line = line.trimmed();
        QCOMPARE(received, sent);

        w.engine.CheckMail(true); // "Check Mail Now": DONE, which this server leaves unanswered
        QTRY_VERIFY(
            ReadFile(w.logs.ErrLogPath()).contains("|9|Timeout waiting for response from server!"));
        w.engine.SetTimeoutInterval(5000); // the next one waits for the jump, not a time-out
        QTRY_COMPARE_WITH_TIMEOUT(server.Connections(), 3, 15000); // made again after a pause
        QTRY_COMPARE(server.Received(2).size(), 5);

        emit jumps.Jumped(); // after a suspend: replaced at once
        QTRY_COMPARE(server.Connections(), 4);
        QVERIFY(QTest::qWaitFor([&] { return server.Closed(2); }, 5000));
        QCOMPARE(server.Received(2).mid(5), QByteArrayList({"DONE\r\n", "a6 LOGOUT\r\n"}));
        QTRY_COMPARE(server.Received(3).size(), 5);

        w.settings.Users[0].Password = "changed"; // in setup
        w.engine.AccountsChanged({w.settings.Users[0].Id}, {});
        QVERIFY(!w.engine.Idle().IsWatched(w.settings.Users[0].Id));
        QVERIFY(QTest::qWaitFor([&] { return server.Closed(3); }, 5000));
        QCOMPARE(server.Received(3).mid(5), QByteArrayList({"DONE\r\n", "a6 LOGOUT\r\n"}));
    }

    // A server's keep-alives in IDLE prove the link: however far the clock runs, no refresh
    // while they come; once they stop, a refresh tests the link after twice their spacing, and
    // its reply time-out finds it dead. In the selected folder the count is a search.
    void keepAlivesSpareTheRefresh() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        ServerScript script = Imap("IMAP4rev1 IDLE ESEARCH",
                                   {"a2 OK\r\n", "a3 OK\r\n",
                                    "* ESEARCH (TAG \"a4\") COUNT 3\r\na4 OK\r\n", "+ idling\r\n"});
        constexpr int KeepAlives = 5;
        for (int i = 0; i < KeepAlives; ++i)
            script.WaitForCue().Send("* OK Still here\r\n");
        server.Queue(script);
        ManualClock clock;
        const TransportFactory factory = [] {
            return std::unique_ptr<Transport>(std::make_unique<SocketTransport>());
        };
        ImapSession session(factory);
        session.SetWatching(true);
        session.SetClock(&clock);
        session.SetCheckInterval(5 * 60 * 1000);
        session.SetTimeoutInterval(500);
        qint32 counted = -1;
        std::optional<CheckResult> ended;
        connect(&session, &CheckSession::Counted, this,
                [&](const ServerCount& count) { counted = count.count; });
        connect(&session, &CheckSession::Finished, this,
                [&](const CheckResult& result) { ended = result; });
        session.Begin(
            {ParseServerAddress("imap://127.0.0.1:" + QString::number(server.Port())).address,
             "alice",
             "secret",
             {}});
        QTRY_VERIFY(session.Idling());
        QCOMPARE(counted, 3);
        QCOMPARE(server.Received(0).value(3).trimmed(),
                 QByteArray("a4 SEARCH RETURN (COUNT) UNSEEN"));

        constexpr qint64 Spacing = 2 * 60 * 1000;
        for (int i = 1; i <= KeepAlives; ++i) {
            // The server's first comes on its own schedule, seconds after the IDLE: no spacing.
            clock.Advance(i == 1 ? 6000 : Spacing);
            server.Cue(0);
            QTRY_COMPARE(session.KeepAlives(), i);
            if (i == 1) {
                clock.Advance(Spacing - 6000); // past twice those seconds and a minute
                QCOMPARE(session.WatchDueInMs(), 5 * 60 * 1000);
            }
            session.OnWatchDue(); // whenever the timer fires: the link has proved itself
            QVERIFY(session.Idling());
            QCOMPARE(session.RunningTimers(), 1); // nothing else wakes the program
        }
        clock.Advance(2 * Spacing - 1); // silent, but not for long enough
        session.OnWatchDue();
        QVERIFY(session.Idling());
        // Fired early by its coarse timer: waits on at least the timer's second, never at once.
        QCOMPARE(session.WatchDueInMs(), 1000);
        clock.Advance(1);
        session.OnWatchDue();
        QVERIFY(!session.Idling());
        QTRY_VERIFY(ended.has_value());
        QCOMPARE(server.Received(0).mid(4), QByteArrayList({"a5 IDLE\r\n", "DONE\r\n"}));
        QCOMPARE(ended->failure.value_or(QString()),
                 QString("Timeout waiting for response from server!"));
        QCOMPARE(ended->failedStage, 9);
    }

    // As in the program, the watch dozes: once the server idles, no timer of the session's
    // runs; its keep-alives are counted when news gives the connection back, and the news is
    // counted at once.
    void watchDozesBetweenEvents() {
        ScriptedServer server;
        QVERIFY(server.IsListening());
        ServerScript script = Watching("3");
        script.WaitForCue()
            .Send("* OK Still here\r\n* OK Still here\r\n")
            .Pause(100)
            .Send("* 4 EXISTS\r\n")
            .Await()
            .Send("a5 OK\r\n")
            .Await()
            .Send(Search(4) + "a6 OK\r\n")
            .Await()
            .Send("+ idling\r\n");
        server.Queue(script);
        ManualClock clock;
        const auto dozer = std::make_shared<Dozer>();
        const TransportFactory factory = [&dozer] {
            auto socket = std::make_unique<SocketTransport>();
            socket->ShareDozer(dozer);
            return std::unique_ptr<Transport>(std::move(socket));
        };
        ImapSession session(factory);
        session.SetWatching(true);
        session.SetClock(&clock);
        session.SetCheckInterval(5 * 60 * 1000);
        QList<qint32> counts;
        connect(&session, &CheckSession::Counted, this,
                [&](const ServerCount& count) { counts << count.count; });
        session.Begin(
            {ParseServerAddress("imap://127.0.0.1:" + QString::number(server.Port())).address,
             "alice",
             "secret",
             {}});
        QTRY_VERIFY(session.Idling());
        QCOMPARE(session.RunningTimers(), 0); // the dozer times the silence
        server.Cue(0);
        QTRY_COMPARE(counts, QList<qint32>({3, 4}));
        QCOMPARE(session.KeepAlives(), 2);
        QTRY_VERIFY(session.Idling());
        QCOMPARE(session.RunningTimers(), 0);
        QCOMPARE(
            server.Received(0).mid(4),
            QByteArrayList({"a5 IDLE\r\n", "DONE\r\n", "a6 SEARCH UNSEEN\r\n", "a7 IDLE\r\n"}));
    }

    // A server restart closes the watch with BYE: the user hears of it only when the first
    // reconnect fails.
    void serverRestart_data() {
        QTest::addColumn<ServerScript>("reconnect");
        QTest::addColumn<QString>("error");
        QTest::newRow("back at once") << Watching("4") << "";
        QTest::newRow("still down")
            << Conversation({"* BYE Too many connections\r\n"}) << "1|BYE Too many connections";
    }
    void serverRestart() {
        QFETCH(ServerScript, reconnect);
        QFETCH(QString, error);
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.Queue(Imap("IMAP4rev1 IDLE", QList<QByteArray>{"a2 OK\r\n"} + StatusAndLogout));
        server.Queue(Watching("4", "* BYE Server shutting down.\r\n"));
        server.Queue(reconnect);
        World w;
        w.engine.SetTimeoutInterval(5000);
        AddUser(w.settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.Port()),
                         "secret"));
        QVERIFY(w.CheckAndWait());
        QTRY_COMPARE_WITH_TIMEOUT(server.Connections(), 3, 15000);
        QTRY_VERIFY(error.isEmpty() ? server.Received(2).size() == 5 : !LastError(w).isEmpty());
        QCOMPARE(LastError(w), error);
        QVERIFY(w.engine.Idle().IsWatched(w.settings.Users[0].Id));
    }
};

// Signing in with an OAuth 2.0 access token, on both protocols, against a scripted server:
// which mechanism goes out, with or without its initial response, how a refusal's challenge
// is answered, and what the failure then says.
class TestBearerSasl final : public QObject {
    Q_OBJECT

    // The client's first message for "alice" with the token "tok", base64; "%p" the port.
    static QByteArray Message(BearerMechanism mechanism, quint16 port, const QByteArray& token) {
        const QByteArray raw =
            mechanism == BearerMechanism::XOAuth2
                ? "user=alice\x01"
                  "auth=Bearer " +
                      token + "\x01\x01"
                : "n,a=alice,\x01host=127.0.0.1\x01port=" + QByteArray::number(port) +
                      "\x01"
                      "auth=Bearer " +
                      token + "\x01\x01";
        return raw.toBase64();
    }

private slots:
    void exchange_data() {
        QTest::addColumn<bool>("imap");
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<ServerScript>("script");
        QTest::addColumn<QByteArrayList>("sent"); // "$OB", "$XO": the first messages
        QTest::addColumn<int>("count");           // -1: the check fails
        QTest::addColumn<QString>("error");
        const QByteArray ok = "* STATUS INBOX (UNSEEN 4)\r\na3 OK\r\n";
        const QByteArrayList counted = {"a3 STATUS \"INBOX\" (UNSEEN)", "a4 LOGOUT"};
        const QByteArray refusal = QByteArray(R"({"status":"invalid_token","scope":"mail"})");
        const QByteArray challenge = "+ " + refusal.toBase64() + "\r\n";
        const QString refused =
            "NO [AUTHENTICATIONFAILED] Authentication failed. (the provider's answer: status "
            "invalid_token, scope mail)";
        QTest::newRow("IMAP OAUTHBEARER, SASL-IR")
            << true << QByteArray("tok")
            << Imap("IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER",
                    {"a2 OK\r\n", ok, "a4 OK\r\n"})
            << QByteArrayList{"a1 CAPABILITY", "a2 AUTHENTICATE OAUTHBEARER $OB"} + counted << 4
            << "";
        QTest::newRow("IMAP XOAUTH2, continuation")
            << true << QByteArray("tok")
            << Imap("IMAP4rev1 AUTH=PLAIN AUTH=XOAUTH2", {"+ \r\n", "a2 OK\r\n", ok, "a4 OK\r\n"})
            << QByteArrayList{"a1 CAPABILITY", "a2 AUTHENTICATE XOAUTH2", "$XO"} + counted << 4
            << "";
        QTest::newRow("IMAP OAUTHBEARER refused")
            << true << QByteArray("tok")
            << Imap("IMAP4rev1 SASL-IR AUTH=OAUTHBEARER",
                    {challenge, "a2 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"})
            << QByteArrayList{"a1 CAPABILITY", "a2 AUTHENTICATE OAUTHBEARER $OB", "AQ=="} << -1
            << refused;
        QTest::newRow("IMAP XOAUTH2 refused, challenge not JSON")
            << true << QByteArray("tok")
            << Imap("IMAP4rev1 SASL-IR AUTH=XOAUTH2",
                    {"+ " + QByteArray("no\x01way").toBase64() + "\r\n", "a2 NO Denied\r\n"})
            << QByteArrayList{"a1 CAPABILITY", "a2 AUTHENTICATE XOAUTH2 $XO", ""} << -1
            << "NO Denied (the provider's answer: \"no?way\")";
        QTest::newRow("IMAP without a bearer mechanism")
            << true << QByteArray("tok") << Imap("IMAP4rev1 AUTH=PLAIN", {})
            << QByteArrayList{"a1 CAPABILITY"} << -1
            << "The server offers no OAuth 2.0 sign-in (AUTH=OAUTHBEARER or AUTH=XOAUTH2); "
               "nothing was sent.";
        QTest::newRow("IMAP token with a line break")
            << true << QByteArray("tok\r\na9 LOGOUT") << Imap("IMAP4rev1 AUTH=OAUTHBEARER", {})
            << QByteArrayList{"a1 CAPABILITY"} << -1
            << "The access token holds a character that is not allowed; nothing was sent.";
        const QByteArray capa = "+OK\r\nUSER\r\nSASL PLAIN OAUTHBEARER XOAUTH2\r\n.\r\n";
        QTest::newRow("POP3 OAUTHBEARER, initial response")
            << false << QByteArray("tok")
            << Conversation(
                   {"+OK Ready.\r\n", capa, "+OK Logged in.\r\n", "+OK 3 100\r\n", "+OK Bye.\r\n"})
            << QByteArrayList{"CAPA", "AUTH OAUTHBEARER $OB", "STAT", "QUIT"} << 3 << "";
        // A token too long for a POP3 command line follows the server's empty challenge.
        QTest::newRow("POP3 XOAUTH2, long token")
            << false << QByteArray(300, 't')
            << Conversation({"+OK Ready.\r\n", "+OK\r\nSASL XOAUTH2\r\n.\r\n", "+ \r\n",
                             "+OK Logged in.\r\n", "+OK 5 100\r\n", "+OK Bye.\r\n"})
            << QByteArrayList{"CAPA", "AUTH XOAUTH2", "$XO", "STAT", "QUIT"} << 5 << "";
        QTest::newRow("POP3 OAUTHBEARER refused")
            << false << QByteArray("tok")
            << Conversation({"+OK Ready.\r\n", capa, challenge, "-ERR [AUTH] Denied.\r\n"})
            << QByteArrayList{"CAPA", "AUTH OAUTHBEARER $OB", "AQ=="} << -1
            << "[AUTH] Denied. (the provider's answer: status invalid_token, scope mail)";
        QTest::newRow("POP3 XOAUTH2 refused")
            << false << QByteArray("tok")
            << Conversation({"+OK Ready.\r\n", "+OK\r\nSASL XOAUTH2\r\n.\r\n", challenge,
                             "-ERR Denied.\r\n"})
            << QByteArrayList{"CAPA", "AUTH XOAUTH2 $XO", ""} << -1
            << "Denied. (the provider's answer: status invalid_token, scope mail)";
        QTest::newRow("POP3 without a bearer mechanism")
            << false << QByteArray("tok")
            << Conversation({"+OK Ready.\r\n", "+OK\r\nSASL PLAIN\r\n.\r\n"})
            << QByteArrayList{"CAPA"} << -1
            << "The server offers no OAuth 2.0 sign-in (SASL OAUTHBEARER or XOAUTH2); nothing "
               "was sent.";
    }
    void exchange() {
        QFETCH(bool, imap);
        QFETCH(QByteArray, token);
        QFETCH(ServerScript, script);
        QFETCH(QByteArrayList, sent);
        QFETCH(int, count);
        QFETCH(QString, error);
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.Queue(script);
        SocketTransport pop3Transport;
        const TransportFactory factory = [] { return std::make_unique<SocketTransport>(); };
        std::unique_ptr<CheckSession> session;
        if (imap)
            session = std::make_unique<ImapSession>(factory);
        else
            session = std::make_unique<Pop3Session>(pop3Transport, server.Port());
        session->SetTimeoutInterval(2000);
        std::optional<CheckResult> result;
        connect(session.get(), &CheckSession::Finished, this,
                [&](const CheckResult& r) { result = r; });
        const QString text = (imap ? "imap://" : "pop3://") + Local(server.Port());
        CheckRequest request{ParseServerAddress(text).address, "alice", {}, {}, token};
        session->Begin(request);
        QVERIFY(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        QCOMPARE(WithoutLineEnd(result->failure.value_or(QString())), error);
        QCOMPARE(result->count ? result->count->count : -1, count);
        QCOMPARE(result->loginRefused, error.contains("Denied") || error.contains("NO [AUTH"));
        const QByteArray ob = Message(BearerMechanism::OAuthBearer, server.Port(), token);
        const QByteArray xo = Message(BearerMechanism::XOAuth2, server.Port(), token);
        for (QByteArray& line : sent)
            line.replace("$OB", ob).replace("$XO", xo);
        QByteArrayList received = server.Received(0);
        for (QByteArray& line : received)
            line = line.trimmed();
        QCOMPARE(received, sent);
    }

    // A token goes out in clear only to a loopback address, and over TLS only once it is up.
    void clearOnlyToLoopback_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<bool>("sent");
        QTest::newRow("plain, 127.0.0.2") << "imap://127.0.0.2" << false << true;
        QTest::newRow("plain, ::1") << "pop3://[::1]" << false << true;
        QTest::newRow("plain, a name") << "imap://localhost" << false << false;
        QTest::newRow("plain, elsewhere") << "pop3://192.0.2.7" << false << false;
        QTest::newRow("STARTTLS, not yet") << "imap+starttls://127.0.0.1" << false << false;
        QTest::newRow("TLS, up") << "pop3s://mail.example.com" << true << true;
    }
    void clearOnlyToLoopback() {
        QFETCH(QString, server);
        QFETCH(bool, encrypted);
        QFETCH(bool, sent);
        const auto refusal =
            BearerRefusal(ParseServerAddress(server).address, encrypted, "alice", "tok");
        QCOMPARE(!refusal.has_value(), sent);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return RunTests<TestImapWire, TestImapListing, TestImapIdle, TestBearerSasl>(argc, argv);
}

#include "tst_imap.moc"
