// The check sessions against a real POP3 and IMAP server (Dovecot) over real sockets.
#include "check/SeenMessages.h"
#include "check/SocketTransport.h"
#include "support/TestWorld.h"
#include "support/peers/Dovecot.h"
#include "support/peers/RealPeer.h"
#include "support/peers/TestCertificates.h"
#include "support/peers/TokenServer.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {
using World = CheckWorld<SocketTransport>;

constexpr int RunTimeoutMs = 30000;
constexpr qint64 PastInterval = (Settings::DefaultCheckInterval * 60 + 1) * 1000;

QList<QByteArray> Lines(const QString& path) {
    QList<QByteArray> lines = ReadFile(path).split('\n');
    lines.removeIf([](const QByteArray& line) { return line.trimmed().isEmpty(); });
    return lines;
}

} // namespace

class TestDovecot final : public QObject {
    Q_OBJECT

private slots:
    // Bearer tokens that Dovecot checks at a scripted authorization server: signed in, a token
    // the server stops taking before its time replaced once, and a revoked sign-in said once.
    void signsInWithTokens_data() {
        QTest::addColumn<bool>("imap");
        QTest::newRow("POP3") << false;
        QTest::newRow("IMAP") << true;
    }
    void signsInWithTokens() {
        QFETCH(bool, imap);
        TokenServer authority;
        authority.introspectedUser = "alice";
        QSet<QString>& active = authority.active;
        bool revoked = false;
        int issued = 0;
        authority.handler = [&](const QByteArray& /*path*/, const QUrlQuery& form) {
            if (revoked || form.queryItemValue("refresh_token") != "R1")
                return std::pair{400, QByteArray("{\"error\":\"invalid_grant\","
                                                 "\"error_description\":\"revoked\"}")};
            const QString token = QStringLiteral("T%1").arg(++issued);
            active.insert(token);
            return std::pair{200,
                             "{\"access_token\":\"" + token.toLatin1() + "\",\"expires_in\":3600}"};
        };
        Dovecot server;
        server.EnableImap();
        server.EnableOAuth2(authority.IntrospectionUrl());
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        QVERIFY(server.DeliverMail("alice", 2));
        World w(server.Port());
        w.engine.SetTimeoutInterval(5000);
        auto seen = std::make_unique<SeenMessages>(w.dir.filePath("state/Tarnwick.seen"));
        w.engine.SetSeen(seen.get());
        const QString mailServer =
            imap ? "imap://" + Local(server.ImapPort()) : QStringLiteral("127.0.0.1");
        AddUser(w.settings, MakeUser("Home", "alice", mailServer, "R1"));
        const quint64 id = w.settings.Users[0].Id;
        OAuthProvider provider;
        provider.name = "Test";
        provider.tokenUrl = QUrl(authority.Url());
        provider.clientId = "tarnwick";
        w.engine.SetSignIns([&](quint64) { return SignIn{provider, "R1"}; });
        const auto checkAgain = [&] {
            w.clock.Advance(PastInterval);
            w.states.Update(id, [](MailboxState& s) { s.LastCheck = 0; });
            return w.CheckAndWait(RunTimeoutMs);
        };

        QVERIFY(w.CheckAndWait(RunTimeoutMs));
        QVERIFY2(w.sink.texts.isEmpty(), qPrintable(w.sink.texts.join('\n') + server.Log()));
        QCOMPARE(w.states.Of(id).NewNumMails, 2);
        QCOMPARE(issued, 1);

        active.clear(); // the server no longer takes the token: one fresh one, no error
        QVERIFY(server.DeliverMail("alice", 1));
        QVERIFY(checkAgain());
        QVERIFY2(w.sink.texts.isEmpty(), qPrintable(w.sink.texts.join('\n') + server.Log()));
        QCOMPARE(w.states.Of(id).NewNumMails, 3);
        QCOMPARE(issued, 2);
        if (imap) { // "Mark as Read" signs in with the token as the check does
            w.engine.MarkRead(id);
            QVERIFY2(QTest::qWaitFor([&] { return server.UnseenCount("alice") == 0; }, 15000),
                     qPrintable(w.sink.texts.join('\n') + server.Log()));
            QCOMPARE(issued, 2);
        }

        active.clear();
        revoked = true;
        QVERIFY(checkAgain());
        QVERIFY(checkAgain()); // not checked again
        QCOMPARE(w.sink.texts.size(), 1);
        QVERIFY(w.sink.texts[0].contains("Sign in again: the provider no longer accepts this "
                                         "sign-in (invalid_grant: revoked)"));
        QVERIFY(w.engine.SignedOut(id));
    }

    void countsFollowTheMaildir() {
        Dovecot server;
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        QVERIFY(server.DeliverMail("alice", 3));
        World w(server.Port());
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "secret"));

        QVERIFY2(w.CheckAndWait(), qPrintable(server.Log()));
        QVERIFY2(w.sink.texts.isEmpty(), qPrintable(w.sink.texts.join('\n') + server.Log()));
        QCOMPARE(w.engine.GetStage(), 6);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 3);

        // Mail that arrives meanwhile is noticed by the next check.
        QVERIFY(server.DeliverMail("alice", 2));
        w.clock.Advance(PastInterval);
        QVERIFY(w.CheckAndWait());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 5);

        // Fewer messages than the user already accepted.
        w.settings.Users[0].NumMails = 5;
        QVERIFY(server.RemoveMail("alice", 2));
        w.clock.Advance(PastInterval);
        QVERIFY(w.CheckAndWait());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\nServer said you have less "
                                           "eMails than I think you have!"));

        const QList<QByteArray> stat = Lines(w.logs.StatLogPath());
        QCOMPARE(stat.size(), 3);
        const QRegularExpression record(QStringLiteral(R"(^alice\|\+OK (\d+) \d+&\|\1\|\1\r$)"));
        const QStringList counts = {"3", "5", "3"};
        for (int i = 0; i < 3; ++i) {
            const auto match = record.match(QString::fromLatin1(stat.at(i)));
            QVERIFY2(match.hasMatch(), stat.at(i).constData());
            QCOMPARE(match.captured(1), counts.at(i));
        }

        // The accepted count follows a fall: accepted 10, all taken elsewhere, then 3 arrive,
        // and those 3 are new mail.
        QCOMPARE(w.settings.Users[0].NumMails, 3);
        w.settings.Users[0].NumMails = 10;
        QVERIFY(server.RemoveMail("alice", 3));
        w.clock.Advance(PastInterval);
        QVERIFY(w.CheckAndWait());
        QCOMPARE(w.settings.Users[0].NumMails, 0);
        QVERIFY(server.DeliverMail("alice", 3));
        w.clock.Advance(PastInterval);
        QVERIFY(w.CheckAndWait());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 3);
    }

    // Messages by identity against a real server: encoded senders and subjects, one taken
    // away as another arrives, a restart that alerts nothing again, 250 at once (200 listed),
    // and on IMAP mail read elsewhere and a folder made anew. Nothing of it is an error, and
    // no sender or subject reaches a log.
    void listsWhatCame_data() {
        QTest::addColumn<bool>("imap");
        QTest::addRow("POP3") << false;
        QTest::addRow("IMAP") << true;
    }
    void listsWhatCame() {
        QFETCH(bool, imap);
        Dovecot server;
        if (imap)
            server.EnableImap();
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        World w(server.Port());
        auto seen = std::make_unique<SeenMessages>(w.dir.filePath("state/Tarnwick.seen"));
        w.engine.SetSeen(seen.get());
        const QString address = imap ? "imap://" + Local(server.ImapPort()) : Local(server.Port());
        AddUser(w.settings, MakeUser("Home", "alice", address, "secret"));
        const quint64 id = w.settings.Users[0].Id;
        const auto state = [&] { return w.states.Of(id); };
        // POP3 is checked again; IMAP, watched after its first check, counts again.
        int counts = 0;
        connect(&w.engine.Recorder(), &CountRecorder::NewMailFound, this, [&] { ++counts; });
        const auto check = [&](const std::function<bool()>& done) {
            w.clock.Advance(PastInterval);
            if (!w.engine.Idle().IsWatched(id))
                return w.CheckAndWait() && done();
            w.engine.CheckMail(true);
            return QTest::qWaitFor(done, 15000);
        };
        const auto subjects = [&] {
            QStringList list;
            for (const MessageSummary& message : state().Messages)
                list << message.from + ": " + message.subject;
            return list;
        };
        QVERIFY(server.DeliverMessage("alice", "From: =?ISO-8859-1?Q?J=FCrgen_M=FCller?= <j@x>\n"
                                               "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\n\nA\n"));
        QVERIFY(server.DeliverMessage("alice", "From: \"Zo\xc3\xab\" <z@x>\nSubject: "
                                               "=?iso-8859-1?q?caf=E9?= au\n lait\n\nB\n"));
        QVERIFY2(check([&] { return state().Messages.size() == 2; }), qPrintable(server.Log()));
        QCOMPARE(subjects(), QStringList({"Zoë: café au lait", "Jürgen Müller: Grüße"}));
        QCOMPARE(state().NewNumMails, 2);

        // One taken away, one delivered: news, though the count stays.
        const qint64 firstNews = state().LastNews;
        QVERIFY(server.RemoveMail("alice", 1));
        QVERIFY(server.DeliverMessage("alice", "From: x@y\n\nno subject\n"));
        QVERIFY(check([&] { return state().LastNews > firstNews; }));
        QCOMPARE(state().NewNumMails, 2);
        QCOMPARE(state().Messages.size(), 2);
        QCOMPARE(state().Messages.first().from, QString("x@y"));
        QCOMPARE(state().Messages.first().subject, QString());

        // Accepted, then a restart from the file: nothing is news again.
        w.settings.Users[0].NumMails = 2;
        w.states.Accept(id);
        seen = std::make_unique<SeenMessages>(seen->Path());
        w.engine.SetSeen(seen.get());
        w.states.Set(id, MailboxState());
        QVERIFY(check([&] { return state().LastGood == w.clock.Stamp(); }));
        QCOMPARE(state().NewNumMails, -1);
        QCOMPARE(state().LastNews, 0);

        if (imap) {
            // Read elsewhere: it leaves the count and the list.
            QVERIFY(server.DeliverMail("alice", 1));
            QVERIFY(check([&] { return state().NewNumMails == 3; }));
            QVERIFY(server.MarkSeen("alice", 3));
            QVERIFY(check([&] { return state().NewNumMails == -1; }));
            QCOMPARE(w.settings.Users[0].NumMails, 0);
        }

        // 250 at once: the newest 200 listed, the rest counted.
        const int before = imap ? 0 : 2;
        QVERIFY(server.DeliverMail("alice", 250));
        QVERIFY(check([&] { return state().NewNumMails == before + 250; }));
        QCOMPARE(state().Messages.size(), FetchLimit);
        QVERIFY(state().Messages.first().subject.startsWith("Test message "));

        if (imap) {
            // The folder made anew: all of it is new, counted, not listed.
            const qint64 news = state().LastNews;
            QVERIFY(server.RenewUids("alice"));
            w.engine.Idle().ReplaceAll();
            QVERIFY(check([&] { return state().LastNews > news; }));
            QCOMPARE(state().NewNumMails, 250);
            QCOMPARE(state().Messages.size(), 0);
            // "Mark as Read": nothing is left unseen, and the watch hears of it.
            w.engine.MarkRead(id);
            QVERIFY2(QTest::qWaitFor([&] { return state().NewNumMails == -1; }, 15000),
                     qPrintable(server.Log()));
        }
        QVERIFY(w.sink.texts.isEmpty());
        QVERIFY(!QFile::exists(w.logs.ErrLogPath()));
        const QByteArray stat = ReadFile(w.logs.StatLogPath());
        QVERIFY(!stat.contains("Test message") && !stat.contains("x@y"));
        QVERIFY(counts > 0);
    }

    // A server that requires TLS, with a certificate from a private CA that the user trusts
    // through the file beside the settings: TLS and STARTTLS count the mail, as does loopback
    // in clear, which the server counts as secured. Over IMAP the users are then watched, and
    // every watching connection logs in again.
    void tlsWithPrivateCa_data() {
        QTest::addColumn<QString>("protocol");
        QTest::addRow("POP3") << "pop3";
        QTest::addRow("IMAP") << "imap";
    }
    void tlsWithPrivateCa() {
        QFETCH(QString, protocol);
        const bool imap = protocol == "imap";
        TestCertificates certs;
        TARNWICK_START_PEER(certs);
        Dovecot server;
        server.EnableTls(certs.Server(), TestCertificates::KeyOf(certs.Server()));
        if (imap)
            server.EnableImap();
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        QVERIFY(server.DeliverMail("alice", 2));
        World w(server.Port());
        const QString caFile = w.dir.filePath("Tarnwick-ca.pem");
        QVERIFY(QFile::copy(certs.Ca(), caFile));
        w.transport.SetCaFile(caFile);
        const QString port = QString::number(imap ? server.ImapPort() : server.Port());
        const QString tlsPort = QString::number(imap ? server.ImapsPort() : server.TlsPort());
        AddUser(w.settings,
                MakeUser("Direct", "alice", protocol + "s://127.0.0.1:" + tlsPort, "secret"));
        AddUser(w.settings, MakeUser("Upgraded", "alice",
                                     protocol + "+starttls://localhost:" + port, "secret"));
        AddUser(w.settings,
                MakeUser("Clear", "alice", protocol + "://127.0.0.1:" + port, "secret"));

        for (int run = 0; run < 3; ++run)
            QVERIFY2(w.CheckAndWait(), qPrintable(server.Log()));
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 2);
        QCOMPARE(w.states.Of(w.settings.Users[1].Id).NewNumMails, 2);
        QCOMPARE(w.states.Of(w.settings.Users[2].Id).NewNumMails, 2);
        QCOMPARE(w.sink.texts, QStringList());
        const QStringList logins =
            server.Log().split('\n').filter(protocol + "-login: Info: Login: user=<alice>");
        const qsizetype secured = logins.filter(", TLS,").size();
        QVERIFY2(imap ? secured >= 2 && logins.size() > secured
                      : logins.size() == 3 && logins.at(0).contains(", TLS,") &&
                            logins.at(1).contains(", TLS,") && !logins.at(2).contains("TLS"),
                 qPrintable(logins.join('\n')));
        if (imap)
            return; // the watched users are not checked again

        // Without the CA file the certificate is not trusted.
        QVERIFY(QFile::remove(caFile));
        w.clock.Advance(PastInterval);
        QVERIFY(w.CheckAndWait());
        QVERIFY2(w.sink.texts.value(0).startsWith(
                     "Error with Direct : \r\nTLS certificate not accepted: "),
                 qPrintable(w.sink.texts.value(1)));
    }

    void wrongPasswordIsReportedWithTheServersReason() {
        Dovecot server;
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "secret"));
        QVERIFY(server.DeliverMail("alice", 1));
        World w(server.Port());
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "secret"));
        QVERIFY(w.CheckAndWait());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 1);

        QVERIFY(server.SetPassword("alice", "changed"));
        w.clock.Advance(PastInterval);
        QVERIFY(w.CheckAndWait());
        QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\n[AUTH] Authentication failed."));
        // Stage 3: the reply to PASS; the counts are left as they were.
        QVERIFY2(ReadFile(w.logs.ErrLogPath())
                     .endsWith("|0|Home|0|1|3|[AUTH] Authentication failed.\r\n"),
                 ReadFile(w.logs.ErrLogPath()).constData());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 1);

        w.settings.Users[0].Password = "changed";
        w.clock.Advance(PastInterval);
        QVERIFY(w.CheckAndWait());
        QCOMPARE(w.sink.texts.size(), 1);
        QCOMPARE(Lines(w.logs.StatLogPath()).size(), 2);
    }

    // The count is the unseen messages. A server that offers IDLE is then watched, not
    // polled: mail delivered and mail read on another device are counted as the server tells
    // of them; after a restart the connection is made again; at the end it is
    // logged out.
    void unseenAndIdle() {
        Dovecot server;
        server.EnableImap();
        TARNWICK_START_PEER(server);
        QVERIFY(server.AddUser("alice", "p\"w \\ä"));
        QVERIFY(server.DeliverMail("alice", 3));
        World w(server.Port());
        AddUser(w.settings,
                MakeUser("Home", "alice", "imap://127.0.0.1:" + QString::number(server.ImapPort()),
                         "p\"w \\ä"));
        const UserRecord& user = w.settings.Users[0];
        const auto state = [&w, &user] { return w.states.Of(user.Id); };
        QVERIFY2(w.CheckAndWait(), qPrintable(server.Log()));
        QVERIFY2(w.sink.texts.isEmpty(), qPrintable(w.sink.texts.join('\n') + server.Log()));
        QCOMPARE(state().NewNumMails, 3);
        QVERIFY(ReadFile(w.logs.StatLogPath()).startsWith("alice|* STATUS INBOX (UNSEEN 3)&|3|3"));
        QVERIFY(w.engine.Idle().IsWatched(user.Id));
        QCOMPARE(w.engine.PickDueUser(w.clock.Stamp() + PastInterval), -1);
        const auto counts = [&] { return ReadFile(w.logs.StatLogPath()).count('\n'); };
        QTRY_COMPARE_WITH_TIMEOUT(counts(), 2, 15000); // again on the watching connection

        QVERIFY(server.DeliverMail("alice", 2));
        QTRY_COMPARE_WITH_TIMEOUT(state().NewNumMails, 5, 20000);
        w.settings.Users[0].NumMails = 5;
        QVERIFY(server.MarkSeen("alice", 4));
        QTRY_COMPARE_WITH_TIMEOUT(user.NumMails, 1, 20000);

        // A restart that heals is no error: logged at most once, when the first reconnect
        // came while the server was still down (which depends on how fast it comes back).
        const auto failures = [&] { return ReadFile(w.logs.ErrLogPath()).count("|Home|"); };
        const qsizetype earlier = failures();
        QString error;
        QVERIFY2(server.Restart(&error), qPrintable(error));
        QVERIFY(server.DeliverMail("alice", 1));
        QTRY_COMPARE_WITH_TIMEOUT(state().NewNumMails, 2, 30000);
        QVERIFY2(failures() <= earlier + 1, ReadFile(w.logs.ErrLogPath()).constData());

        // At the end the watching connection is left (logged out, or at least closed).
        const auto ended = [&] {
            return server.Log().count(QRegularExpression("imap\\(alice\\).*Disconnected"));
        };
        const qsizetype before = ended();
        w.engine.CloseAll();
        QTRY_COMPARE_WITH_TIMEOUT(ended(), before + 1, 10000);
    }

    // The scheduler's own timers: users are checked in table order, one after the other; a
    // failed one is followed by the next at once.
    void runOverSeveralUsers() {
        Dovecot server;
        TARNWICK_START_PEER(server);
        const QStringList logins = {"alice", "bob", "carol", "dave"};
        for (const QString& login : logins)
            QVERIFY(server.AddUser(login, login + "-pw"));
        QVERIFY(server.DeliverMail("alice", 2));
        QVERIFY(server.DeliverMail("carol", 1));
        World w(server.Port());
        AddUser(w.settings, MakeUser("Home", "alice", "127.0.0.1", "alice-pw"));
        AddUser(w.settings, MakeUser("Club", "bob", "127.0.0.1", "wrong"));
        AddUser(w.settings, MakeUser("Work", "carol", "127.0.0.1", "carol-pw"));
        AddUser(w.settings, MakeUser("Spare", "dave", "127.0.0.1", "dave-pw"));

        w.engine.Start();
        QTRY_VERIFY_WITH_TIMEOUT(Lines(w.logs.StatLogPath()).size() == 3 && !w.engine.IsChecking(),
                                 RunTimeoutMs);
        QCOMPARE(w.engine.GetCheckUser(), 3);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(w.states.Of(w.settings.Users[i].Id).LastCheck, w.clock.Stamp());

        const QList<QByteArray> stat = Lines(w.logs.StatLogPath());
        QVERIFY(stat.at(0).startsWith("alice|+OK 2 "));
        QVERIFY(stat.at(1).startsWith("carol|+OK 1 "));
        QVERIFY(stat.at(2).startsWith("dave|+OK 0 0&|0|0"));
        QCOMPARE(w.sink.texts, QStringList("Error with Club : \r\n[AUTH] Authentication failed."));
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 2);
        QCOMPARE(w.states.Of(w.settings.Users[1].Id).NewNumMails, -1);
        QCOMPARE(w.states.Of(w.settings.Users[2].Id).NewNumMails, 1);
        QCOMPARE(w.states.Of(w.settings.Users[3].Id).NewNumMails, -1);

        // The server saw them in the same order.
        QStringList seen;
        const QRegularExpression user(QStringLiteral("user=<(\\w+)>"));
        for (const QString& line : server.Log().split('\n')) {
            const auto match = user.match(line);
            if (match.hasMatch() && !seen.contains(match.captured(1)))
                seen << match.captured(1);
        }
        QCOMPARE(seen, logins);
    }
};

QTEST_GUILESS_MAIN(TestDovecot)

#include "tst_dovecot.moc"
