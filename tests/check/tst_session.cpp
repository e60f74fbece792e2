// The check session and its scheduler, driven step by step through a fake connection on a
// clock that stands still.
#include "check/HeaderText.h"
#include "check/Pop3Session.h"
#include "check/SeenMessages.h"
#include "check/ServerAddress.h"
#include "core/ClockJumps.h"
#include "core/CodePage.h"
#include "support/RunTests.h"
#include "support/TestWorld.h"
#include "support/doubles/FakeTransport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <sys/resource.h>

namespace {
// Answers the greeting, USER, PASS with +OK and STAT with `stat`.
void LogIn(CheckWorld<FakeTransport>& w, const QByteArray& stat) {
    w.transport.Reply("+OK ready");
    w.transport.Reply("+OK");
    w.transport.Reply("+OK Logged in.");
    w.transport.Reply(stat);
}
} // namespace

class TestSession final : public QObject {
    Q_OBJECT

    using World = CheckWorld<FakeTransport>;

    static void AddThree(World& w) {
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw1", 3));
        AddUser(w.settings, MakeUser("Work", "bob", "pop.work", "pw2"));
        AddUser(w.settings, MakeUser("Club", "carol", "pop.club", "pw3"));
    }

    static qint64 PastInterval() { return (Settings::DefaultCheckInterval * 60 + 1) * 1000; }

    // A POP3 check that lists: STAT, then UIDL with `uidl` ("n id" lines), then TOP for each
    // message asked for with a header naming it; QUIT's reply ends it.
    static void ListedCheck(World& w, const QByteArray& stat, const QList<QByteArray>& uidl) {
        w.engine.CheckMail(false);
        LogIn(w, stat);
        if (uidl.isEmpty())
            return;
        w.transport.ReplyInOneArrival(QList<QByteArray>{"+OK\r\n"} + uidl +
                                      QList<QByteArray>{".\r\n"});
        while (w.transport.sent.last().startsWith("TOP ")) {
            const QByteArray number = w.transport.sent.last().split(' ').at(1);
            w.transport.ReplyInOneArrival({"+OK\r\n", "From: Sender " + number + " <s@x>\r\n",
                                           "Subject: Message " + number + "\r\n", "\r\n", ".\r\n"});
        }
        w.transport.Reply("+OK Bye.");
    }
    static QList<QByteArray> Uidl(const QList<int>& numbers, const QList<QByteArray>& ids) {
        QList<QByteArray> lines;
        for (qsizetype i = 0; i < numbers.size(); ++i)
            lines << QByteArray::number(numbers[i]) + ' ' + ids[i] + "\r\n";
        return lines;
    }
    static QStringList Subjects(const MailboxState& state) {
        QStringList subjects;
        for (const MessageSummary& message : state.Messages)
            subjects << message.subject;
        return subjects;
    }

private slots:
    // With identities a message is new once, by its identity: one taken away and another
    // delivered between two checks is still news; a fall is no error; accepting ends the
    // listing; the seen records come back from their file.
    void pop3ListsByIdentity() {
        World w;
        SeenMessages seen(w.dir.filePath("state/Tarnwick.seen"));
        w.engine.SetSeen(&seen);
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw1", 1));
        // No record yet (the first start with them): the newest above NumMails are new.
        ListedCheck(w, "+OK 2 20", Uidl({1, 2}, {"a", "b"}));
        QCOMPARE(w.transport.sent.mid(3),
                 QList<QByteArray>({"UIDL\r\n", "TOP 2 0\r\n", "TOP 1 0\r\n", "QUIT\r\n"}));
        const quint64 id = w.settings.Users[0].Id;
        QCOMPARE(Subjects(w.states.Of(id)), QStringList({"Message 2"}));
        QCOMPARE(w.states.Of(id).Messages.first().from, QString("Sender 2"));
        QCOMPARE(w.states.Of(id).NewNumMails, 2);
        QCOMPARE(w.settings.Users[0].NumMails, 1);
        QCOMPARE(w.states.Of(id).LastNews, w.clock.Stamp());
        // "a" taken away, "c" delivered: same count, and "c" is news; only its header is asked.
        w.clock.Advance(PastInterval());
        w.transport.sent.clear();
        ListedCheck(w, "+OK 2 20", Uidl({1, 2}, {"b", "c"}));
        QCOMPARE(w.transport.sent.mid(3),
                 QList<QByteArray>({"UIDL\r\n", "TOP 2 0\r\n", "QUIT\r\n"}));
        QCOMPARE(Subjects(w.states.Of(id)), QStringList({"Message 2", "Message 2"}));
        QCOMPARE(w.settings.Users[0].NumMails, 0);
        QCOMPARE(w.states.Of(id).LastNews, w.clock.Stamp());
        QVERIFY(!QFile::exists(w.logs.ErrLogPath()));
        // Accepted: nothing new any more, also after a restart from the file.
        w.settings.Users[0].NumMails = 2;
        w.states.Accept(id);
        SeenMessages again(seen.Path());
        w.engine.SetSeen(&again);
        const qint64 news = w.states.Of(id).LastNews;
        w.clock.Advance(PastInterval());
        ListedCheck(w, "+OK 2 20", Uidl({1, 2}, {"b", "c"}));
        QCOMPARE(w.states.Of(id).NewNumMails, -1);
        QCOMPARE(w.states.Of(id).LastNews, news);
        QCOMPARE(w.settings.Users[0].NumMails, 2);
        // Mail taken away elsewhere is no error with identities.
        w.clock.Advance(PastInterval());
        ListedCheck(w, "+OK 0 0", {});
        w.transport.Reply("+OK Bye.");
        QCOMPARE(w.settings.Users[0].NumMails, 0);
        QVERIFY(!QFile::exists(w.logs.ErrLogPath()));
        QVERIFY(!ReadFile(seen.Path()).contains(" b\n"));
    }

    // A mailbox just added takes what a POP3 server holds as old mail: no header fetched.
    void pop3NewMailboxAcceptsWhatIsThere() {
        World w;
        SeenMessages seen;
        w.engine.SetSeen(&seen);
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw1"));
        w.engine.AccountsChanged({w.settings.Users[0].Id}, {});
        ListedCheck(w, "+OK 3 30", Uidl({1, 2, 3}, {"a", "b", "c"}));
        QCOMPARE(w.transport.sent.mid(3), QList<QByteArray>({"UIDL\r\n", "QUIT\r\n"}));
        QCOMPARE(w.settings.Users[0].NumMails, 3);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
    }

    // A server that refuses UIDL is counted as before and never asked again; a listing that is
    // malformed in parts keeps the lines that make sense.
    void pop3WithoutUidl() {
        World w;
        SeenMessages seen;
        w.engine.SetSeen(&seen);
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw1", 5));
        w.engine.CheckMail(false);
        LogIn(w, "+OK 3 30");
        w.transport.Reply("-ERR unknown command");
        w.transport.Reply("+OK Bye.");
        QCOMPARE(w.settings.Users[0].NumMails, 3);
        QCOMPARE(w.sink.texts.size(), 1); // the "less eMails" report stays for it
        w.transport.sent.clear();
        w.clock.Advance(PastInterval());
        w.engine.CheckMail(false);
        LogIn(w, "+OK 4 40");
        w.transport.Reply("+OK Bye.");
        QCOMPARE(w.transport.sent,
                 QList<QByteArray>({"USER alice\r\n", "PASS pw1\r\n", "STAT\r\n", "QUIT\r\n"}));
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 4);

        // Just added on such a server: what it holds is old mail too.
        AddUser(w.settings, MakeUser("Club", "carol", "pop.club", "pw3"));
        w.engine.AccountsChanged({w.settings.Users[1].Id}, {});
        w.engine.CheckMail(false);
        LogIn(w, "+OK 6 60");
        w.transport.Reply("-ERR unknown command");
        w.transport.Reply("+OK Bye.");
        QCOMPARE(w.settings.Users[1].NumMails, 6);
        QCOMPARE(w.states.Of(w.settings.Users[1].Id).NewNumMails, -1);

        AddUser(w.settings, MakeUser("Work", "bob", "pop.work", "pw2"));
        w.engine.AccountsChanged({w.settings.Users[2].Id}, {});
        w.engine.CheckMail(false);
        LogIn(w, "+OK 3 30");
        const QByteArray longId(300, 'x');
        w.transport.ReplyInOneArrival({"+OK\r\n", "1 a\r\n", "junk\r\n", "2 " + longId + "\r\n",
                                       "3 a\r\n", "x y\r\n", "3 c\r\n", "..\r\n", ".\r\n"});
        w.transport.Reply("+OK Bye.");
        QCOMPARE(w.settings.Users[2].NumMails, 2); // "a" and "c"
        QVERIFY(seen.Find(SeenMessages::KeyOf("bob", "pop.work"))->accepted.contains("c"));
    }

    // Replies too long to keep: a UIDL listing past its limit is counted only, a header past
    // its limit is read to its end and cut, a listing past all bounds fails the check.
    void pop3HugeReplies() {
        World w;
        SeenMessages seen;
        w.engine.SetSeen(&seen);
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw1"));
        w.engine.CheckMail(false);
        LogIn(w, "+OK 100001 1");
        QList<QByteArray> listing{"+OK\r\n"};
        for (int i = 1; i <= Pop3Session::ListLimit + 1; ++i)
            listing << QByteArray::number(i) + " id" + QByteArray::number(i) + "\r\n";
        w.transport.ReplyInOneArrival(listing << ".\r\n");
        QCOMPARE(w.transport.sent.last(), QByteArray("QUIT\r\n"));
        w.transport.Reply("+OK Bye.");
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 100001);
        QVERIFY(w.states.Of(w.settings.Users[0].Id).Messages.isEmpty());

        w.clock.Advance(PastInterval());
        w.engine.CheckMail(false);
        LogIn(w, "+OK 1 1");
        w.transport.ReplyInOneArrival({"+OK\r\n", "1 only\r\n", ".\r\n"});
        QList<QByteArray> top{"+OK\r\n", "Subject: " + QByteArray(2000, 's') + "\r\n"};
        for (int i = 0; i < 100; ++i)
            top << "X-Filler: " + QByteArray(1000, 'f') + "\r\n";
        w.transport.ReplyInOneArrival(top << ".\r\n");
        w.transport.Reply("+OK Bye.");
        const QList<MessageSummary> listed = w.states.Of(w.settings.Users[0].Id).Messages;
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed.first().subject, QString(HeaderFieldLimit, 's'));

        w.clock.Advance(PastInterval());
        w.engine.CheckMail(false);
        LogIn(w, "+OK 2 1");
        w.transport.Reply("+OK");
        const QByteArray line = "1 " + QByteArray(4000, 'x') + "\r\n";
        for (qsizetype sent = 0; sent <= Pop3Session::MultiLineLimit && w.engine.IsChecking();
             sent += line.size())
            w.transport.Reply(line);
        QVERIFY(!w.engine.IsChecking());
        QVERIFY(w.sink.texts.last().contains("Reply too long"));
    }

    // What a header says, as an alert names it: decoded, unfolded, bounded, never raw control
    // characters.
    void headerDecoding_data() {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("subject");
        QTest::newRow("plain") << QByteArray("From: Ann <ann@x>\r\nSubject: Hi\r\n") << "Ann"
                               << "Hi";
        QTest::newRow("address only") << QByteArray("from: <bob@x>\nSUBJECT: x\n") << "bob@x"
                                      << "x";
        QTest::newRow("bare address") << QByteArray("From: bob@x\n") << "bob@x"
                                      << "";
        QTest::newRow("quoted name") << QByteArray("From: \"Doe, Jane\" <j@x>\n") << "Doe, Jane"
                                     << "";
        QTest::newRow("Q UTF-8") << QByteArray("From: =?UTF-8?Q?J=C3=BCrgen?= <j@x>\n"
                                               "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe_aus?= Wien\n")
                                 << "Jürgen"
                                 << "Grüße aus Wien";
        QTest::newRow("B ISO-8859-1") << QByteArray("Subject: =?ISO-8859-1?B?U+Rn?=\n") << ""
                                      << "Säg";
        QTest::newRow("adjacent words join")
            << QByteArray("Subject: =?UTF-8?B?w6Q=?= \r\n =?UTF-8?B?w7Y=?= x\n") << ""
            << "äö x";
        QTest::newRow("folded") << QByteArray("Subject: one\r\n\ttwo\r\n  three\r\n") << ""
                                << "one\ttwo  three";
        QTest::newRow("raw UTF-8") << QByteArray("Subject: Grüße\n") << ""
                                   << "Grüße";
        QTest::newRow("raw Latin-1") << QByteArray("Subject: Gr\xfc\xdf\n") << ""
                                     << "Grüß";
        QTest::newRow("unknown charset stays") << QByteArray("Subject: =?x-nothing?Q?a?=\n") << ""
                                               << "=?x-nothing?Q?a?=";
        QTest::newRow("broken word stays") << QByteArray("Subject: =?UTF-8?Z?a?= =?UTF-8?B\n") << ""
                                           << "=?UTF-8?Z?a?= =?UTF-8?B";
        QTest::newRow("control characters")
            << QByteArray("Subject: a\x1b[31mb\x7f=?UTF-8?Q?=00=0D?=\n") << ""
            << "a\\x1b[31mb\\x7f\\x00\\x0d";
        QTest::newRow("NUL in the header") << QByteArray("Subject: a\0b\n", 13) << ""
                                           << "a\\x00b";
        QTest::newRow("body not read") << QByteArray("X: 1\n\nSubject: no\n") << ""
                                       << "";
        QTest::newRow("first of two") << QByteArray("Subject: 1\nSubject: 2\n") << ""
                                      << "1";
        QTest::newRow("no header") << QByteArray() << ""
                                   << "";
        QTest::newRow("cut at 1000")
            << QByteArray("Subject: " + QByteArray(5000, 'a') + "\n") << "" << QString(1000, 'a');
    }
    void headerDecoding() {
        QFETCH(QByteArray, header);
        QFETCH(QString, from);
        QFETCH(QString, subject);
        const MessageSummary summary = SummaryFromHeader("7", header);
        QCOMPARE(summary.from, from);
        QCOMPARE(summary.subject, subject);
        QCOMPARE(summary.id, QString("7"));
    }

    void normalSessionOnTheWire() {
        World w;
        AddThree(w);
        w.engine.CheckMail(false);
        QVERIFY(w.engine.IsChecking());
        QCOMPARE(w.engine.GetCheckUser(), 0);
        QCOMPARE(w.engine.GetStage(), 1);
        LogIn(w, "+OK 5 1234");
        w.transport.Reply("+OK Logging out.");
        QCOMPARE(w.transport.log,
                 QStringList({"connect pop.home:110", "send USER alice", "send PASS pw1",
                              "send STAT", "send QUIT", "close"}));
        QCOMPARE(w.transport.sent.at(0), QByteArray("USER alice\r\n"));
        QVERIFY(!w.engine.IsChecking());
        QCOMPARE(w.engine.GetStage(), 6);
        QCOMPARE(w.engine.tmrCheckMail.interval(), 1000);
        QVERIFY(w.engine.tmrCheckMail.isActive());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 5);
        QCOMPARE(w.settings.Users[0].NumMails, 3);
        QCOMPARE(ReadFile(w.logs.StatLogPath()), QByteArray("alice|+OK 5 1234&|5|5\r\n"));
        // A stray +OK after the end answers no command: dropped.
        w.transport.Reply("+OK");
        QCOMPARE(w.engine.GetStage(), 6);
        QCOMPARE(w.transport.log.size(), 6);
    }

    void statusWordsInAnyCase() {
        World w;
        AddThree(w);
        w.engine.CheckMail(false);
        w.transport.Reply("+ok hi");
        w.transport.Reply("+Ok");
        QCOMPARE(w.engine.GetStage(), 3);
        w.transport.Reply("-eRr [AUTH] Authentication failed.");
        QCOMPARE(w.sink.texts.value(0),
                 QString("Error with Home : \r\n[AUTH] Authentication failed."));
    }

    void statEvaluation_data() {
        QTest::addColumn<qint32>("numMails");
        QTest::addColumn<qint32>("newBefore");
        QTest::addColumn<QByteArray>("stat");
        QTest::addColumn<qint32>("newAfter");
        QTest::addColumn<bool>("lessError");
        QTest::addColumn<qint32>("numAfter"); // the accepted count follows a fall
        QTest::newRow("zero") << 0 << -1 << QByteArray("+OK 0 0") << -1 << false << 0;
        QTest::newRow("more") << 3 << -1 << QByteArray("+OK 5 99") << 5 << false << 3;
        QTest::newRow("same") << 3 << -1 << QByteArray("+OK 3 99") << -1 << false << 3;
        QTest::newRow("less") << 3 << 5 << QByteArray("+OK 2 99") << -1 << true << 2;
        QTest::newRow("all taken") << 10 << -1 << QByteArray("+OK 0 0") << -1 << true << 0;
        QTest::newRow("fraction") << 3 << -1 << QByteArray("+OK 12.9 99") << 12 << false << 3;
        QTest::newRow("beyond 16 bits")
            << 0 << -1 << QByteArray("+OK 40000 1") << 40000 << false << 0;
        QTest::newRow("32-bit max")
            << 0 << -1 << QByteArray("+OK 2147483647 1") << 2147483647 << false << 0;
        QTest::newRow("control characters")
            << 0 << -1 << QByteArray("+OK 1 9\x1b[2J\r\x9d") << 1 << false << 0;
    }
    void statEvaluation() {
        QFETCH(qint32, numMails);
        QFETCH(qint32, newBefore);
        QFETCH(QByteArray, stat);
        QFETCH(qint32, newAfter);
        QFETCH(bool, lessError);
        QFETCH(qint32, numAfter);
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw", numMails));
        w.states.Set(w.settings.Users[0].Id, State(newBefore, false, 0, 0));
        QSignalSpy fell(&w.engine.Recorder(), &CountRecorder::AcceptedCountFell);
        w.engine.CheckMail(false);
        LogIn(w, stat);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, newAfter);
        QCOMPARE(w.settings.Users[0].NumMails, numAfter);
        QCOMPARE(fell.size(), lessError ? 1 : 0); // the save is asked for
        if (lessError)
            QCOMPARE(fell[0][1].toInt(), numAfter);
        QCOMPARE(w.transport.log.last(), QString("send QUIT"));
        QCOMPARE(w.engine.GetStage(), 5);
        const QByteArray log = ReadFile(w.logs.ErrLogPath());
        QCOMPARE(log.contains("Server said you have less eMails than I think you have!"),
                 lessError);
        if (lessError)
            QVERIFY(log.contains("|0|Home|" + QByteArray::number(numMails) + "|-1|4|Server said"));
        // One record, and nothing in it that a terminal takes for a command.
        const QByteArray stats = ReadFile(w.logs.StatLogPath());
        QCOMPARE(stats.count('\n'), 1);
        QVERIFY(std::none_of(stats.begin(), stats.end() - 2,
                             [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; }));
    }

    // An IMAP count is of unseen mail: read on the phone, it falls, and that is no error.
    void imapCountFalls() {
        World w;
        w.settings.ShowErrors = true;
        AddUser(w.settings, MakeUser("Home", "alice", "imap://imap.home", "pw", 3));
        QSignalSpy fell(&w.engine.Recorder(), &CountRecorder::AcceptedCountFell);
        w.engine.Recorder().Record(0, 8, "* STATUS INBOX (UNSEEN 1)\r\n", "1", 1);
        QCOMPARE(w.settings.Users[0].NumMails, 1);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QCOMPARE(fell.size(), 1);
        QVERIFY(!ReadFile(w.logs.ErrLogPath()).contains("less eMails"));
        QVERIFY(w.sink.texts.isEmpty());
    }

    void malformedStat_data() {
        QTest::addColumn<QByteArray>("stat");
        QTest::newRow("count only") << QByteArray("+OK 3");
        QTest::newRow("empty count") << QByteArray("+OK  3 100");
        QTest::newRow("letters") << QByteArray("+OK many 100");
        QTest::newRow("beyond 32 bits") << QByteArray("+OK 2147483648 100");
        QTest::newRow("huge") << QByteArray("+OK 99999999999999999999999 1");
        QTest::newRow("bare") << QByteArray("+OK");
    }
    void malformedStat() {
        QFETCH(QByteArray, stat);
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw"));
        w.engine.CheckMail(false);
        LogIn(w, stat);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\nMalformed STAT response!"));
        QVERIFY(ReadFile(w.logs.ErrLogPath()).contains("|4|Malformed STAT response!\r\n"));
        QVERIFY(!QFile::exists(w.logs.StatLogPath()));
        // The failed connection is closed, and nobody else is due: the run is over.
        QVERIFY(!w.transport.open);
        // The run is over; until the next one the failed user stays the one checked last.
        QVERIFY(!w.engine.IsChecking());
        QCOMPARE(w.engine.GetStage(), 0);
        QCOMPARE(w.engine.GetCheckUser(), 0);
    }

    void hideSessionFollowsTheCount() {
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw", 3));
        w.settings.CheckInterval = 0;
        auto check = [&](const QByteArray& stat) {
            w.clock.Advance(1000);
            w.engine.CheckMail(false);
            LogIn(w, stat);
            w.transport.Reply("+OK bye");
        };
        check("+OK 5 1");
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 5);
        w.states.Update(w.settings.Users[0].Id, [&](MailboxState& s) { s.HideSession = true; });
        check("+OK 5 1");
        QVERIFY(w.states.Of(w.settings.Users[0].Id).HideSession);
        check("+OK 6 1");
        QVERIFY(!w.states.Of(w.settings.Users[0].Id).HideSession);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 6);
        check("+OK 3 1");
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QVERIFY(w.sink.texts.isEmpty());
        check("+OK 2 1");
        QCOMPARE(w.sink.texts.size(), 1);
        // Once for the fall: the accepted count followed it, and what comes after alerts.
        check("+OK 2 1");
        QCOMPARE(w.sink.texts.size(), 1);
        QSignalSpy found(&w.engine, &CheckEngine::NewMailFound);
        check("+OK 3 1");
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 3);
        QCOMPARE(found.size(), 1);
    }

    void errorGoesOnToTheNextUserAfterThePause() {
        World w;
        AddThree(w);
        w.engine.CheckMail(false);
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        w.transport.Reply("-ERR [AUTH] Authentication failed.");
        // Logged with stage 3, connection closed; the next user follows a second later.
        QCOMPARE(w.transport.log.mid(3), QStringList({"close"}));
        QVERIFY(!w.engine.IsChecking());
        QCOMPARE(w.engine.tmrCheckMail.interval(), 1000);
        QVERIFY(w.engine.tmrCheckMail.isActive());
        QTRY_COMPARE(w.transport.log.last(), QString("connect pop.work:110"));
        QCOMPARE(w.engine.GetCheckUser(), 1);
        QCOMPARE(w.engine.GetStage(), 1);
        const QList<QByteArray> lines = ReadFile(w.logs.ErrLogPath()).split('\n');
        QCOMPARE(lines.at(0), QByteArray("Date|Time|CurUser|ScreenName|NumMails|NewNumMails|"
                                         "Stage|ErrMsg\r"));
        // The server's own line end is not part of the record: one line each.
        QVERIFY(lines.at(1).endsWith("|0|Home|3|-1|3|[AUTH] Authentication failed.\r"));
        QCOMPARE(lines.size(), 3);
    }

    void errorTexts_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("message");
        QTest::newRow("bare -ERR") << QByteArray("-ERR\r\n") << QString("Unknown!");
        QTest::newRow("-ERR blank") << QByteArray("-ERR \r\n") << QString("Unknown!");
        QTest::newRow("reason") << QByteArray("-ERR no\r\n") << QString("no");
        QTest::newRow("no status word") << QByteArray("HELLO THERE\r\n")
                                        << QString("Unexpected reply from server: \"HELLO THERE\"");
        // Neither a forged record nor terminal sequences reach the log or the alert.
        QTest::newRow("control characters")
            << QByteArray("-ERR a\rb|1|Bank\x1b[2K\x1b]0;t\x07\t\x7f\x81\x00z\r\n", 32)
            << QString("a\\x0db|1|Bank\\x1b[2K\\x1b]0;t\\x07\t\\x7f\\x81\\x00z");
    }
    void errorTexts() {
        QFETCH(QByteArray, reply);
        QFETCH(QString, message);
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw"));
        w.engine.CheckMail(false);
        w.transport.Reply("+OK");
        w.transport.Reply(reply);
        QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\n" + message));
        const QByteArray log = ReadFile(w.logs.ErrLogPath());
        QVERIFY(log.endsWith("|" + ToCodePage(message) + "\r\n"));
        QCOMPARE(log.count('\n'), 2);
        QVERIFY(!w.transport.open);
        QVERIFY(!w.engine.IsChecking());
    }

    void socketFailureAndTimeout() {
        World w;
        AddThree(w);
        w.engine.SetTimeoutInterval(30);
        w.engine.CheckMail(false);
        w.transport.Fail("Connection refused");
        QCOMPARE(w.sink.texts.value(0), QString("Error with Home : \r\nConnection refused"));
        w.engine.CheckMail(false);
        QCOMPARE(w.engine.GetCheckUser(), 1);
        w.transport.Fail("");
        QCOMPARE(w.sink.texts.value(1), QString("Error with Work : \r\nUnknown!"));
        w.engine.CheckMail(false);
        QCOMPARE(w.engine.GetCheckUser(), 2);
        w.transport.Reply("+OK");
        QTRY_COMPARE(w.sink.texts.size(), 3);
        QCOMPARE(w.sink.texts.value(2),
                 QString("Error with Club : \r\nTimeout waiting for response from server!"));
        QVERIFY(ReadFile(w.logs.ErrLogPath())
                    .contains("|2|Club|0|-1|2|Timeout waiting for response from server!"));
        QVERIFY(!w.engine.IsChecking());
        // Between runs no reply is awaited: the time-out does not fire again.
        QTest::qWait(100);
        QCOMPARE(w.sink.texts.size(), 3);
    }

    // The mail-server text decides where and how to connect; a text that cannot be read fails
    // the user's check at stage 0 without a connection, and the next due user follows after
    // the pause.
    void serverTextDecidesTheConnection_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("connect"); // the transport's log line, or the error
        QTest::newRow("host") << "pop.home"
                              << "connect pop.home:110";
        QTest::newRow("host:port") << "pop.home:1110"
                                   << "connect pop.home:1110";
        QTest::newRow("pop3s") << "POP3S://pop.home"
                               << "connect pop3s pop.home:995";
        QTest::newRow("starttls, IPv6") << "pop3+starttls://[::1]:2110"
                                        << "connect pop3+starttls ::1:2110";
        QTest::newRow("unknown scheme")
            << "smtp://pop.home"
            << "Mail server \"smtp://pop.home\" is not valid: unknown scheme \"smtp\" (known "
               "are pop3, pop3s, pop3+starttls, imap, imaps and imap+starttls)!";
    }
    void serverTextDecidesTheConnection() {
        QFETCH(QString, server);
        QFETCH(QString, connect);
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", server, "pw"));
        AddUser(w.settings, MakeUser("Work", "bob", "pop.work", "pw2"));
        w.engine.CheckMail(false);
        if (connect.startsWith("connect ")) {
            QCOMPARE(w.transport.log, QStringList(connect));
            QCOMPARE(w.sink.texts, QStringList());
        } else {
            QCOMPARE(w.transport.log, QStringList());
            QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\n" + connect));
            QVERIFY(ReadFile(w.logs.ErrLogPath()).contains("|0|Home|0|-1|0|Mail server"));
            w.engine.CheckMail(false); // the tick after the pause
            QCOMPARE(w.transport.log, QStringList("connect pop.work:110"));
            QCOMPARE(w.engine.GetCheckUser(), 1);
        }
    }

    // STLS is the one command sent in clear; USER waits for the handshake, whatever the server
    // says meanwhile.
    void stlsBeforeAnythingElse() {
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop3+starttls://pop.home", "pw"));
        w.engine.CheckMail(false);
        w.transport.Reply("+OK ready");
        w.transport.Reply("+OK Begin TLS");
        w.transport.Reply("+OK"); // no reply can come during the handshake; none is taken
        QCOMPARE(w.transport.log,
                 QStringList({"connect pop3+starttls pop.home:110", "send STLS", "starttls"}));
        QCOMPARE(w.engine.GetStage(), 1);
        w.transport.Secure();
        QCOMPARE(w.transport.log.mid(3), QStringList("send USER alice"));
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        w.transport.Reply("+OK 2 20");
        w.transport.Reply("+OK bye");
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 2);
        QCOMPARE(w.sink.texts, QStringList());

        // On a connection that is not secured the session sends nothing after the greeting.
        w.clock.Advance(Settings::DefaultCheckInterval * 60000 + 1000);
        w.settings.Users[0].MailServer = "pop3s://pop.home";
        w.engine.CheckMail(false);
        w.transport.Reply("+OK ready");
        QCOMPARE(w.transport.log.last(), QString("close"));
        QCOMPARE(w.sink.texts, QStringList("Error with Home : \r\nTLS is not established; USER "
                                           "was not sent."));
    }

    void unsafeArgumentsNeverReachTheWire_data() {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("field");
        QTest::newRow("CR LF in login") << "bob\r\nDELE 1"
                                        << "pw"
                                        << "user name";
        QTest::newRow("LF in password") << "bob"
                                        << "pw\nDELE 1"
                                        << "password";
        QTest::newRow("NUL in password") << "bob" << QString("p") + QChar(0) + "w"
                                         << "password";
    }
    void unsafeArgumentsNeverReachTheWire() {
        QFETCH(QString, username);
        QFETCH(QString, password);
        QFETCH(QString, field);
        World w;
        AddUser(w.settings, MakeUser("Home", username, "pop.home", password));
        w.engine.CheckMail(false);
        w.transport.Reply("+OK");
        if (field == "password")
            w.transport.Reply("+OK");
        for (const QByteArray& bytes : w.transport.sent)
            QVERIFY(!bytes.contains("DELE") && !bytes.contains('\0'));
        QVERIFY(w.sink.texts.value(0).contains("The " + field + " holds a line break"));
        QVERIFY(!w.transport.open);
    }

    void userDeletedOrMovedDuringSession() {
        World w;
        AddThree(w);
        w.engine.CheckMail(false); // Home (alice) is being checked
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        // Setup deletes Work and adds a user that sorts first: Home moves from 0 to 1.
        w.settings.DeleteUser(1);
        AddUser(w.settings, MakeUser("First", "aaron", "pop.a", "x"));
        w.settings.SortUsers();
        QCOMPARE(w.settings.Users[1].ScreenName, QString("Home"));
        QCOMPARE(w.engine.GetCheckUser(), 1);
        w.transport.Reply("+OK 9 9");
        QCOMPARE(w.states.Of(w.settings.Users[1].Id).NewNumMails, 9);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        w.transport.Reply("+OK");

        // Now delete the user while its session runs: the result is dropped, nobody else
        // touched, and the run goes on.
        w.settings.CheckInterval = 0;
        w.clock.Advance(1000);
        // Carol, whose turn it is, just had it.
        w.states.Update(w.settings.Users[2].Id,
                        [&](MailboxState& s) { s.LastCheck = w.clock.Stamp(); });
        w.engine.CheckMail(false);
        QCOMPARE(w.engine.GetCheckUser(), 0); // aaron
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        w.settings.DeleteUser(0);
        w.transport.Reply("+OK 50 9");
        for (int i = 0; i <= w.settings.LastUser; ++i)
            QVERIFY(w.states.Of(w.settings.Users[i].Id).NewNumMails != 50);
        QVERIFY(w.sink.texts.isEmpty());
        QCOMPARE(w.engine.GetCheckUser(), 0); // the next due user, Home, now at index 0
        QCOMPARE(w.transport.log.last(), QString("connect pop.home:110"));
    }

    // Either log, filled close to its limit, before one more record; an older copy is
    // replaced, and a copy that cannot be made leaves the current log to grow.
    void logRotation_data() {
        QTest::addColumn<bool>("errLog");
        QTest::addColumn<qint64>("prefill");
        QTest::addColumn<bool>("blockOld");
        QTest::addColumn<bool>("rotated");
        const qint64 statLine = QByteArray("alice|+OK 3 1&|3|3\r\n").size();
        QTest::newRow("stat log reaches the limit")
            << false << MaxLogBytes - statLine << false << false;
        QTest::newRow("stat log would pass it")
            << false << MaxLogBytes - statLine + 1 << false << true;
        QTest::newRow("error log would pass it") << true << MaxLogBytes - 1 << false << true;
        QTest::newRow("rename fails") << true << MaxLogBytes - 1 << true << false;
    }
    void logRotation() {
        QFETCH(bool, errLog);
        QFETCH(qint64, prefill);
        QFETCH(bool, blockOld);
        QFETCH(bool, rotated);
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw"));
        const QString path = errLog ? w.logs.ErrLogPath() : w.logs.StatLogPath();
        const QString oldPath = errLog ? w.logs.OldErrLogPath() : w.logs.OldStatLogPath();
        const QByteArray header = errLog ? QByteArray(CheckLogs::ErrLogHeader) + "\r\n" : "";
        const QByteArray before = header + QByteArray(prefill - header.size(), 'x');
        auto write = [](const QString& p, const QByteArray& bytes) {
            QFile f(p);
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        QVERIFY(write(path, before));
        if (blockOld) {
            QVERIFY(QDir().mkpath(oldPath + "/in-use"));
        } else {
            QVERIFY(write(oldPath, "an older log\r\n"));
        }
        if (errLog)
            w.logs.DoError("refused", 0, 1);
        else
            w.logs.AppendStat("alice", "+OK 3 1\r\n", "3", 3);

        // Private, whether made now or made readable to all before (as the prefill is).
        QCOMPARE(int(QFileInfo(path).permissions() & QFileDevice::Permissions(0x0077)), 0);
        const QByteArray now = ReadFile(path);
        if (rotated) {
            QCOMPARE(ReadFile(oldPath), before);
            QVERIFY(now.startsWith(header));
            QCOMPARE(now.count('\n'), header.count('\n') + 1);
        } else {
            QVERIFY(now.startsWith(before));
            QVERIFY(now.size() > before.size());
            QCOMPARE(QFileInfo(oldPath).isDir(), blockOld);
        }
    }

    // Each row appends one error, the first time under a file-size limit when it has one
    // (a full disk behaves alike), then one more without.
    void logKeepsItsShape_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<qint64>("sizeLimit"); // -1: none
        QTest::addColumn<QByteArray>("afterFirst");
        const QByteArray header = QByteArray(CheckLogs::ErrLogHeader) + "\r\n";
        const QByteArray full = header + QByteArray(MaxLogBytes - header.size() - 2, 'x') + "\r\n";
        const QByteArray record = "1/5/26|10:00:00 AM|0|Home|0|-1|3|boom\r\n";
        const QByteArray isoRecord = "2026-01-05|10:00:00|0|Home|0|-1|3|boom\r\n";
        QTest::newRow("write fails at rotation") << "en_US" << full << qint64(0) << QByteArray();
        QTest::newRow("file-size limit within the record")
            << "en_US" << header + record << qint64(header.size() + record.size() + 9)
            << header + record;
        QTest::newRow("no header") << "en_US" << record << qint64(-1) << header + record + record;
        QTest::newRow("ar_EG") << "ar_EG" << QByteArray() << qint64(-1) << header + isoRecord;
        QTest::newRow("my_MM") << "my_MM" << QByteArray() << qint64(-1) << header + isoRecord;
    }
    void logKeepsItsShape() {
        QFETCH(QString, locale);
        QFETCH(QByteArray, existing);
        QFETCH(qint64, sizeLimit);
        QFETCH(QByteArray, afterFirst);
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw"));
        w.logs.SetLocale(QLocale(locale));
        const QString path = w.logs.ErrLogPath();
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(existing) == existing.size());
        file.close();
        rlimit before = {};
        getrlimit(RLIMIT_FSIZE, &before);
        if (sizeLimit >= 0) {
            IgnoreFileSizeSignal();
            rlimit limited = before;
            limited.rlim_cur = rlim_t(sizeLimit);
            QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        }
        w.logs.DoError("boom", 0, 3);
        setrlimit(RLIMIT_FSIZE, &before);
        QCOMPARE(ReadFile(path), afterFirst);
        if (existing.size() >= MaxLogBytes - 2)
            QCOMPARE(ReadFile(w.logs.OldErrLogPath()), existing);
        w.logs.DoError("boom", 0, 3);
        const QByteArray second = ReadFile(path);
        QVERIFY(second.startsWith(afterFirst.isEmpty() ? QByteArray(CheckLogs::ErrLogHeader)
                                                       : afterFirst));
        QCOMPARE(second.count('\n'), qMax(afterFirst.count('\n'), qsizetype(1)) + 1);
    }

    void logTimeWithoutZone_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::newRow("en_US") << "en_US"
                               << "9:50:01 PM";
        QTest::newRow("de_DE") << "de_DE"
                               << "21:50:01";
        QTest::newRow("es_ES, zone in brackets") << "es_ES"
                                                 << "21:50:01";
        QTest::newRow("ja_JP, outside the code page") << "ja_JP"
                                                      << "21:50:01";
        QTest::newRow("ko_KR, outside the code page") << "ko_KR"
                                                      << "21:50:01";
        QTest::newRow("fr_CA, zone at the end") << "fr_CA"
                                                << "21 h 50 min 01 s";
    }
    void logTimeWithoutZone() {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        QCOMPARE(LongTimeText(QTime(21, 50, 1), QLocale(locale)), text);
    }

    void staleEventsAreIgnoredBetweenRuns() {
        World w;
        AddThree(w);
        w.engine.CheckMail(false);
        LogIn(w, "+OK 1 1");
        w.transport.Reply("+OK bye");
        QVERIFY(!w.engine.IsChecking());
        const QStringList log = w.transport.log, errors = w.sink.texts;
        const QByteArray errLog = ReadFile(w.logs.ErrLogPath());
        // Lines that come after the run, from a server that talks on past QUIT, answer
        // nothing: no step, no new run, no error for anyone.
        w.transport.Reply("+OK late");
        w.transport.Reply("-ERR late");
        QVERIFY(!w.engine.IsChecking());
        QCOMPARE(w.transport.log, log);
        QCOMPARE(w.sink.texts, errors);
        QCOMPARE(ReadFile(w.logs.ErrLogPath()), errLog);
        QCOMPARE(w.engine.GetCheckUser(), 0);
    }
};

// How the text of a mail server is read, and written back.
class TestServerAddress final : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("security"); // -1: refused
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port"); // with 110 for plain POP3
        // Part of the message when refused, else IMAP's folder, decoded.
        QTest::addColumn<QString>("expected");
        constexpr int no = -1, none = int(Security::None), tls = int(Security::Tls),
                      stls = int(Security::StartTls);
        const struct {
            const char *name, *text;
            int security;
            const char* host;
            int port;
            const char* expected;
        } rows[] = {
            {"host", "pop.example.com", none, "pop.example.com", 110, ""},
            {"IPv4", "192.0.2.7", none, "192.0.2.7", 110, ""},
            {"host:port", "pop.example.com:1110", none, "pop.example.com", 1110, ""},
            {"pop3", "pop3://h", none, "h", 110, ""},
            {"pop3s", "pop3s://h", tls, "h", 995, ""},
            {"pop3s with port", "pop3s://h:1", tls, "h", 1, ""},
            {"starttls, any case", "POP3+StartTLS://h:65535", stls, "h", 65535, ""},
            {"IPv6", "[::1]", none, "::1", 110, ""},
            {"IPv6 with port", "pop3s://[2001:db8::5]:995", tls, "2001:db8::5", 995, ""},
            {"empty", "", no, "", 0, "the host is empty"},
            {"scheme only", "pop3s://", no, "", 0, "the host is empty"},
            {"port only", ":110", no, "", 0, "the host is empty"},
            {"empty brackets", "[]:110", no, "", 0, "the host is empty"},
            {"unknown scheme", "smtp://h", no, "", 0,
             "unknown scheme \"smtp\" (known are pop3, pop3s, pop3+starttls, imap, imaps and "
             "imap+starttls)"},
            {"imap", "imap://h", none, "h", 143, "INBOX"},
            {"imap, empty folder", "imap://h/", none, "h", 143, "INBOX"},
            {"imaps with folder", "imaps://h:1993/Sent", tls, "h", 1993, "Sent"},
            {"imap+starttls, encoded folder", "IMAP+STARTTLS://[::1]/Entw%C3%BCrfe/a%20b@x", stls,
             "::1", 143, "Entwürfe/a b@x"},
            {"imap, bad escape", "imap://h/a%zz", no, "", 0, "URL-encoded"},
            {"imap, not UTF-8", "imap://h/%FF", no, "", 0, "URL-encoded"},
            {"imap, control character", "imap://h/a%0Ab", no, "", 0, "URL-encoded"},
            {"imap, parameters", "imap://h/INBOX;UIDVALIDITY=1", no, "", 0, "only a folder"},
            {"imap, user", "imap://bob@h/INBOX", no, "", 0, "a user name"},
            {"path", "pop3://h/inbox", no, "", 0, "a path"},
            {"user", "pop3s://bob@h", no, "", 0, "a user name"},
            {"port 0", "h:0", no, "", 0, "from 1 to 65535"},
            {"port 65536", "h:65536", no, "", 0, "from 1 to 65535"},
            {"port empty", "pop3s://h:", no, "", 0, "from 1 to 65535"},
            {"port signed", "h:+110", no, "", 0, "from 1 to 65535"},
            {"port long", "h:0000110", no, "", 0, "from 1 to 65535"},
            {"IPv6 bare", "::1", no, "", 0, "in brackets"},
            {"IPv6 unclosed", "[::1", no, "", 0, "closing bracket"},
            {"not IPv6", "[pop.example.com]", no, "", 0, "is not an IPv6 address"},
            {"IPv4 in brackets", "[192.0.2.7]", no, "", 0, "is not an IPv6 address"},
            {"blank in host", "pop example", no, "", 0, "a blank"},
        };
        for (const auto& row : rows)
            QTest::newRow(row.name) << QString::fromUtf8(row.text) << row.security << row.host
                                    << row.port << QString::fromUtf8(row.expected);
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(int, security);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, expected);
        const ServerParse parse = ParseServerAddress(text);
        QCOMPARE(parse.ok, security >= 0);
        if (!parse.ok) {
            QVERIFY2(parse.error.startsWith("Mail server \"" + text + "\" is not valid: ") &&
                         parse.error.contains(expected) && parse.error.endsWith('!'),
                     qPrintable(parse.error));
            QCOMPARE(HostAndPort(text), text);
            return;
        }
        QCOMPARE(int(parse.address.security), security);
        QCOMPARE(parse.address.host, host);
        QCOMPARE(int(parse.address.PortOr(110)), port);
        QCOMPARE(parse.address.protocol == Protocol::Imap ? parse.address.Folder() : "", expected);
        // Written back with the scheme of the security, the text reads the same.
        const QString again =
            ServerText(parse.address.protocol, parse.address.security, HostAndPort(text));
        const ServerParse reread = ParseServerAddress(again);
        QVERIFY2(reread.ok, qPrintable(again));
        QCOMPARE(int(reread.address.security), security);
        QCOMPARE(reread.address.host, host);
        QCOMPARE(int(reread.address.PortOr(110)), port);
        QCOMPARE(reread.address.folder, parse.address.folder);
        if (security == int(Security::None) && !parse.address.hasScheme)
            QCOMPARE(again, text); // plain texts stay as they were
    }
};

// The scheduler on a clock that stands still unless a test moves it.
class TestScheduler final : public QObject {
    Q_OBJECT

    using World = CheckWorld<FakeTransport>;

private slots:
    void noUsers() {
        World w;
        w.engine.CheckMail(false);
        QVERIFY(!w.engine.IsChecking());
        QCOMPARE(w.engine.GetStage(), 0);
        QCOMPARE(w.engine.GetCheckUser(), -1);
        QVERIFY(w.transport.log.isEmpty());
    }

    void intervalArithmetic_data() {
        QTest::addColumn<qint64>("elapsed"); // ms from the stamp to now
        QTest::addColumn<int>("minutes");
        QTest::addColumn<bool>("passed");
        QTest::newRow("exactly 5 min") << qint64(300000) << 5 << false;
        QTest::newRow("just past") << qint64(300001) << 5 << true;
        QTest::newRow("stamp in the future") << qint64(-300001) << 5 << true;
        QTest::newRow("zero, no time") << qint64(0) << 0 << false;
        QTest::newRow("zero, some time") << qint64(1) << 0 << true;
        QTest::newRow("negative") << qint64(0) << -3 << true;
        QTest::newRow("a day") << qint64(86400000) << 1440 << false;
        QTest::newRow("a day and a bit") << qint64(86400001) << 1440 << true;
        QTest::newRow("32767 short") << qint64(32767) * 60000 << 32767 << false;
        QTest::newRow("32767 past") << qint64(32767) * 60000 + 1 << 32767 << true;
        QTest::newRow("-32768") << qint64(0) << -32768 << true;
    }
    void intervalArithmetic() {
        QFETCH(qint64, elapsed);
        QFETCH(int, minutes);
        QFETCH(bool, passed);
        const qint64 stamp = QDateTime(QDate(2026, 3, 1), QTime(23, 0)).toMSecsSinceEpoch();
        QCOMPARE(IntervalPassed(stamp + elapsed, stamp, qint16(minutes)), passed);
    }

    // A user checked once at `first` with `interval`: is it due again at `later`?
    void dueOnAClockThatCountsDays_data() {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QDateTime>("first");
        QTest::addColumn<QDateTime>("later");
        QTest::addColumn<bool>("due");
        const QDate day(2026, 3, 1);
        QTest::newRow("1440, a minute short") << 1440 << QDateTime(day, QTime(10, 0))
                                              << QDateTime(day.addDays(1), QTime(9, 59)) << false;
        QTest::newRow("1440, a day later") << 1440 << QDateTime(day, QTime(10, 0))
                                           << QDateTime(day.addDays(1), QTime(10, 0, 1)) << true;
        QTest::newRow("32767, a minute short")
            << 32767 << QDateTime(day, QTime(10, 0))
            << QDateTime(day, QTime(10, 0)).addSecs(32766 * 60) << false;
        QTest::newRow("32767, just past")
            << 32767 << QDateTime(day, QTime(10, 0))
            << QDateTime(day, QTime(10, 0)).addSecs(32767 * 60 + 1) << true;
        QTest::newRow("5 across midnight, early")
            << 5 << QDateTime(day, QTime(23, 58)) << QDateTime(day.addDays(1), QTime(0, 1))
            << false;
        QTest::newRow("5 across midnight, on time")
            << 5 << QDateTime(day, QTime(23, 58)) << QDateTime(day.addDays(1), QTime(0, 3, 1))
            << true;
        QTest::newRow("0, within a second") << 0 << QDateTime(day, QTime(10, 0))
                                            << QDateTime(day, QTime(10, 0)).addMSecs(999) << false;
        QTest::newRow("-5, a second later")
            << -5 << QDateTime(day, QTime(10, 0)) << QDateTime(day, QTime(10, 0, 1)) << true;
    }
    void dueOnAClockThatCountsDays() {
        QFETCH(int, interval);
        QFETCH(QDateTime, first);
        QFETCH(QDateTime, later);
        QFETCH(bool, due);
        World w;
        AddUser(w.settings, MakeUser("A", "a", "h", "p"));
        w.settings.CheckInterval = qint16(interval);
        w.clock.Set(first);
        w.engine.CheckMail(false); // never checked: due at once, whatever the interval
        QCOMPARE(w.transport.log, QStringList("connect h:110"));
        w.transport.Fail("refused");
        w.clock.Set(later);
        QCOMPARE(w.engine.PickDueUser(), due ? 0 : -1);
        w.engine.CheckMail(true); // "Check Mail" makes the user due at once
        QCOMPARE(w.transport.log.last(), QString("connect h:110"));
        QCOMPARE(w.transport.log.count("connect h:110"), 2);
    }

    void dueUsersTakeTurns() {
        World w;
        for (const char* name : {"A", "B", "C"})
            AddUser(w.settings, MakeUser(name, name, name, "p"));
        w.settings.CheckInterval = 0;
        auto checkNext = [&] {
            w.clock.Advance(1000);
            w.engine.CheckMail(false);
            const QString host = w.transport.log.last().section(' ', 1).section(':', 0, 0);
            w.transport.Fail("refused");
            return host;
        };
        QStringList order;
        for (int i = 0; i < 5; ++i)
            order << checkNext();
        QCOMPARE(order, QStringList({"A", "B", "C", "A", "B"}));
        // B, checked last, is deleted: C, now in its place, has the next turn.
        w.settings.DeleteUser(1);
        w.clock.Advance(1000);
        QCOMPARE(w.engine.PickDueUser(), 1);
    }

    void manualCheckDuringRunChangesNothing() {
        World w;
        AddUser(w.settings, MakeUser("A", "a", "h", "p"));
        AddUser(w.settings, MakeUser("B", "b", "h", "p"));
        w.states.Set(w.settings.Users[1].Id, State(-1, true, 5, 0));
        w.engine.CheckMail(false);
        const QStringList before = w.transport.log;
        w.engine.CheckMail(true);
        QVERIFY(w.states.Of(w.settings.Users[1].Id).HideSession);
        QCOMPARE(w.transport.log, before);
        QCOMPARE(w.engine.GetStage(), 1);
    }

    void resetThingsMakesEveryoneDue() {
        World w;
        AddUser(w.settings, MakeUser("A", "a", "h", "p"));
        w.states.Set(w.settings.Users[0].Id, State(-1, true, 7, w.clock.Stamp()));
        w.engine.CheckMail(false);
        QVERIFY(w.transport.log.isEmpty());
        w.engine.CheckMail(true);
        QVERIFY(!w.states.Of(w.settings.Users[0].Id).HideSession);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).LastAlert, qint64(0));
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).LastCheck, w.clock.Stamp());
        QCOMPARE(w.transport.log, QStringList("connect h:110"));
    }

    void timerCadence() {
        World w;
        AddUser(w.settings, MakeUser("A", "a", "h", "p"));
        AddUser(w.settings, MakeUser("B", "b", "h2", "p"));
        w.engine.Start();
        QCOMPARE(w.engine.tmrCheckMail.interval(), 1);
        QTRY_COMPARE(w.transport.log.size(), 1);    // the first tick comes at once
        QVERIFY(!w.engine.tmrCheckMail.isActive()); // no tick during a run
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        w.transport.Reply("+OK");
        w.transport.Reply("+OK 0 0");
        w.transport.Reply("+OK");
        QCOMPARE(w.engine.tmrCheckMail.interval(), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(w.transport.log.last(), QString("connect h2:110"), 3000);
        QVERIFY(!w.engine.tmrCheckMail.isActive());
    }

    // Between runs the scheduler sleeps until the first user is due, and not at all while
    // there is nobody to check; a look that finds nobody due leaves the busy state alone.
    void idleTimerWaitsForTheNextDueUser() {
        World w;
        QSignalSpy busy(&w.engine, &CheckEngine::CheckingChanged);
        w.engine.Start();
        QTRY_VERIFY(!w.engine.tmrCheckMail.isActive());
        AddUser(w.settings, MakeUser("A", "a", "ha", "p"));
        AddUser(w.settings, MakeUser("B", "b", "hb", "p"));
        w.states.Set(w.settings.Users[0].Id,
                     State(-1, false, 0, w.clock.Stamp() - 60000)); // due in 4 min
        w.states.Set(w.settings.Users[1].Id,
                     State(-1, false, 0, w.clock.Stamp() - 120000)); // due in 3 min
        w.engine.Reschedule();
        QCOMPARE(w.engine.tmrCheckMail.interval(), 3 * 60000 + 1);
        w.engine.CheckMail(false);
        QVERIFY(w.transport.log.isEmpty());
        QCOMPARE(busy.count(), 0);
        w.clock.Advance(3 * 60000 + 1);
        w.engine.CheckMail(false);
        QCOMPARE(w.transport.log, QStringList("connect hb:110"));
        QVERIFY(!w.engine.tmrCheckMail.isActive());
        w.transport.Fail("refused");
        QCOMPARE(busy.count(), 2);
        QCOMPARE(w.engine.tmrCheckMail.interval(), 60000); // A, a minute later
    }

    // The timer does not count time asleep, nor follow a wall clock that was set: the
    // system's word that either happened makes due users checked, after the pause that
    // follows a run. A clock set again and again starts no more checks than one set does.
    void clockJumpsMakeDueUsersChecked() {
        World w;
        ClockJumps jumps;
        w.engine.WatchClock(jumps);
        AddUser(w.settings, MakeUser("A", "a", "h", "p"));
        w.engine.CheckMail(false);
        w.transport.Fail("refused");
        emit jumps.Jumped(); // nobody due yet
        QCOMPARE(w.transport.log.count("connect h:110"), 1);
        w.clock.Advance(60 * 60000); // an hour asleep
        for (int i = 0; i < 10; ++i)
            emit jumps.Jumped();
        QCOMPARE(w.transport.log.count("connect h:110"), 1); // the pause after the run holds
        QTRY_COMPARE(w.transport.log.count("connect h:110"), 2);
        w.transport.Fail("refused");
        w.clock.Advance(-2 * 60 * 60000); // the clock set back
        emit jumps.Jumped();
        QTRY_COMPARE(w.transport.log.count("connect h:110"), 3);
        QTest::qWait(2 * CheckEngine::NextUserTickMs);
        QCOMPARE(w.transport.log.count("connect h:110"), 3);
    }

    void checkingMarkerInTheLists() {
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "h", "p", 3));
        AddUser(w.settings, MakeUser("Work", "bob", "h", "p", 1));
        ListModel list;
        w.lists.SetMainList(&list);
        w.engine.CheckMail(false);
        QCOMPARE(list.lines, QStringList({"Home - 3 emails - checking!", "Work - 1 email"}));
        LogIn(w, "+OK 7 1");
        w.transport.Reply("+OK");
        QCOMPARE(list.lines, QStringList({"Home - 7 emails", "Work - 1 email"}));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return RunTests<TestSession, TestServerAddress, TestScheduler>(argc, argv);
}

#include "tst_session.moc"
