// The alert window, its queue and the topmost switch, headless, on a clock that stands still.
#include "alerts/AlertQueue.h"
#include "alerts/AlertWindow.h"
#include "alerts/DesktopNotifications.h"
#include "alerts/OnTop.h"
#include "alerts/QuietTimes.h"
#include "core/ClockJumps.h"
#include "core/Trace.h"
#include "support/Layout.h"
#include "support/TestWorld.h"
#include "support/doubles/TraceRecorder.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <limits>
#include <map>

namespace {
struct AlertWorld {
    AlertWorld()
        : presenter(
              settings, states, clock,
              [this] {
                  ++saves;
                  return saveResult;
              },
              [this] { return setupVisible; }),
          window(presenter) {}

    ManualClock clock; // 10:00
    Settings settings;
    MailboxStates states;
    int saves = 0;
    bool saveResult = true;
    bool setupVisible = false;
    AlertPresenter presenter;
    AlertWindow window;
};

void AddMail(AlertWorld& w, const QString& screen, const QString& login, qint32 numMails,
             qint32 newNumMails) {
    AddUser(w.settings, MakeUser(screen, login, "pop." + login, "pw", numMails));
    w.states.Set(w.settings.Users[w.settings.LastUser].Id, State(newNumMails, false, 0, 0));
}

// Runs the event loop until `done` holds, five seconds at most. QTest::qWait sleeps between its
// rounds, which would let the 1 ms slide timers tick only every ten milliseconds or so.
bool RunUntil(const std::function<bool()>& done) {
    const QDeadlineTimer deadline(5000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents();
    return done();
}
// A notification service that shows whatever it is given and closes nothing by itself.
class FakeNotifications final : public DesktopNotifications {
    Q_OBJECT
public:
    bool Available() const override { return true; }
    bool HasActions() override { return true; }
    quint32 Notify(quint32 replaces, const QString& body, const QStringList& given) override {
        shown << body;
        const quint32 id = replaces != 0 ? replaces : ++last;
        open[id] = body;
        actions[id] = given;
        return id;
    }
    void Close(quint32 id) override { open.erase(id); }
    QStringList shown;
    quint32 last = 0;
    std::map<quint32, QString> open; // what stands now, by id
    std::map<quint32, QStringList> actions;
};
} // namespace

#define SLID_IN(w) QVERIFY(RunUntil([&] { return !(w).tmrShow.isActive(); }))
#define SLID_OUT(w) QVERIFY(RunUntil([&] { return !(w).tmrHide.isActive(); }))

class TestAlerts final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        // The offscreen platform cannot raise windows: nothing asks it to.
        QTest::failOnWarning(QRegularExpression("does not support raise"));
    }

    void layoutAndLook() {
        AlertWorld w;
        AlertWindow& a = w.window;
        QCOMPARE(a.size(), QSize(385, 161));
        QVERIFY(a.windowFlags().testFlag(Qt::FramelessWindowHint));
        QCOMPARE(a.windowType(), HasStackingOrder() ? Qt::Tool : Qt::Window);
        QCOMPARE(a.windowTitle(), QString("Alert!"));
        QVERIFY(!a.isVisible());

        QVERIFY(a.TextArea().isReadOnly());
        QCOMPARE(a.TextArea().lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QCOMPARE(a.TextArea().font().family(), QString("Times New Roman"));
        QCOMPARE(a.TextArea().font().pointSize(), 24);
        QCOMPARE(a.TextArea().font().weight(), QFont::Normal);
        QCOMPARE(a.TextArea().palette().color(QPalette::Base), a.palette().color(QPalette::Button));

        // Laid out for a mail alert of one line: the places the alert always had. (A control
        // the layout hides keeps whatever place it had.)
        const QStringList hidden = {"cmdOk+cmdMarkRead",    "cmdOk+txtAlert",
                                    "cmdMarkRead+txtAlert", "cmdOk+cmdHide",
                                    "cmdOk+cmdHideSession", "cmdOk+cmdHidePermanently",
                                    "cmdMarkRead+cmdHide"};
        QCOMPARE(LayoutFaults(a.Body(), hidden).join(", "), QString());
        QCOMPARE(a.HideButton().geometry(), QRect(8, 128, 120, 25));
        QCOMPARE(a.HidePermanentlyButton().geometry(), QRect(256, 128, 121, 25));
        QCOMPARE(a.HideSessionButton().text(), QString("Hide For This Session"));

        QCOMPARE(a.OkButton().nextInFocusChain(), &a.HideButton());
        QCOMPARE(a.HideButton().nextInFocusChain(), &a.HideSessionButton());
        QCOMPARE(a.HideSessionButton().nextInFocusChain(), &a.HidePermanentlyButton());
        QCOMPARE(a.HidePermanentlyButton().nextInFocusChain(), &a.TextArea());

        QVERIFY(!a.tmrNextAlert.isActive());
        a.Start();
        QVERIFY(!a.tmrNextAlert.isActive()); // nothing pending: nothing to wake up for
        QVERIFY(a.tmrNextAlert.isSingleShot());

        // "Ok" (errors) takes the place of the three hide buttons, at the window's bottom.
        w.presenter.AddError("Error");
        QCOMPARE(a.size(), QSize(385, 161));
        QCOMPARE(a.OkButton().geometry(), QRect(8, 136, 369, 25));
        QCOMPARE(LayoutFaults(a.Body(), hidden).join(", "), QString());
    }

    void mailAlertSlidesInAndOut() {
        QTest::failOnWarning(QRegularExpression(".")); // a normal run prints no Qt warnings
        AlertWorld w;
        AlertWindow& a = w.window;
        AddMail(w, "Home", "alice", 5, 6);
        a.DoNextAlert();
        QVERIFY(a.isVisible());
        QCOMPARE(a.pos(), QPoint(0, -161));
        QCOMPARE(a.AlertText(), QString("Home has 1 new emails."));
        QVERIFY(!a.IsErrorAlert());
        QVERIFY(!a.OkButton().isVisible());
        QVERIFY(a.HideButton().isVisible() && a.HideSessionButton().isVisible() &&
                a.HidePermanentlyButton().isVisible());
        QCOMPARE(a.AlertUser(), 0);
        QCOMPARE(a.AlertNumMails(), 6);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).LastAlert, w.clock.Stamp());
        // On top without the focus: placed by the program, out of the window manager's hands.
        QVERIFY(QApplication::activeWindow() != &a);
#ifndef Q_OS_WIN
        QVERIFY(a.windowFlags().testFlag(Qt::BypassWindowManagerHint));
#endif

        // A tick while it slides in changes nothing.
        a.DoNextAlert();
        QVERIFY(a.tmrShow.isActive());
        SLID_IN(a);
        QCOMPARE(a.pos(), QPoint(0, 0));

        QTest::keyClick(&a.TextArea(), Qt::Key_Escape); // presses "Hide"
        QVERIFY(a.tmrHide.isActive());
        SLID_OUT(a);
        QVERIFY(!a.isVisible());
        QVERIFY(a.y() < -161);
#ifndef Q_OS_WIN
        QVERIFY(!a.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
#endif
        // "Hide" leaves the record alone and the alert waits for the show interval.
        const UserRecord& u = w.settings.Users[0];
        QCOMPARE(u.NumMails, 5);
        QCOMPARE(w.states.Of(u.Id).NewNumMails, 6);
        QVERIFY(!w.states.Of(u.Id).HideSession);
        QCOMPARE(w.saves, 0);
        QVERIFY(!a.tmrShow.isActive());
    }

    // One mailbox's news through the presenter, in the window and as notifications, on the
    // test clock with a show interval of 5 minutes. A script of steps: "news S" (a message
    // from Ann with subject S, "-" for none), "more N" (N counted only), "gone S" (read or
    // removed elsewhere), "wait M" (minutes), "hide", "senders off"; "= T" checks what
    // stands on screen ("|" between lines, empty: nothing).
    void mailNews_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("desktop");
        const QList<std::pair<const char*, const char*>> rows = {
            {"news at once despite the interval",
             "news A; = Work has 1 new emails.|Ann: A; hide; =; wait 1; =;"
             "news B; = Work has 2 new emails.|Ann: B|Ann: A"},
            {"hidden news back after the interval",
             "news A; hide; wait 5; =; wait 1; = Work has 1 new emails.|Ann: A"},
            {"news updates the alert in place",
             "news A; news B; = Work has 2 new emails.|Ann: B|Ann: A"},
            {"read elsewhere leaves the alert",
             "news A; news B; gone A; = Work has 1 new emails.|Ann: B"},
            {"withdrawn when none is left", "news A; news B; gone A; gone B; =; wait 10; ="},
            {"five lines, then the rest counted",
             "news 1; news 2; news 3; news 4; news 5; news 6; news 7;"
             "= Work has 7 new emails.|Ann: 7|Ann: 6|Ann: 5|Ann: 4|Ann: 3|and 2 more"},
            {"counted only", "news A; more 3; = Work has 4 new emails.|Ann: A|and 3 more"},
            {"no subject", "news -; = Work has 1 new emails.|Ann: (no subject)"},
            {"choice off", "senders off; news A; = Work has 1 new emails."},
        };
        for (const auto& [name, script] : rows) {
            QTest::addRow("%s, window", name) << QString(script) << false;
            QTest::addRow("%s, notification", name) << QString(script) << true;
        }
    }
    void mailNews() {
        QFETCH(QString, script);
        QFETCH(bool, desktop);
        AlertWorld w;
        AlertWindow& a = w.window;
        FakeNotifications service;
        w.presenter.UseDesktopNotifications(&service, [desktop] { return desktop; });
        bool senders = true;
        w.presenter.SetShowSenders([&senders] { return senders; });
        QObject::connect(&w.states, &MailboxStates::Changed, &a, [&a] { a.Wake(); });
        w.settings.ShowInterval = 5;
        AddUser(w.settings, MakeUser("Work", "bob", "pop.bob", "pw", 10));
        const quint64 id = w.settings.Users[0].Id;
        a.Start();
        const auto onScreen = [&] {
            if (desktop)
                return service.open.empty() ? QString() : service.open.begin()->second;
            return a.isVisible() && !a.tmrHide.isActive() ? a.AlertText() : QString();
        };
        int serial = 0;
        const auto change = [&](const std::function<void(MailboxState&)>& how) {
            w.states.Update(id, [&](MailboxState& s) {
                how(s);
                if (s.NewNumMails == 10)
                    s.NewNumMails = -1; // nothing above the accepted count
            });
        };
        for (const QString& raw : script.split(';')) {
            const QString step = raw.trimmed();
            const QString arg = step.section(' ', 1);
            if (step.startsWith("news ")) {
                w.clock.Advance(1000);
                change([&](MailboxState& s) {
                    s.Messages.prepend(
                        {QString::number(++serial), "Ann", arg == "-" ? "" : arg, {}});
                    s.NewNumMails = std::max(s.NewNumMails, 10) + 1;
                    s.LastNews = w.clock.Stamp();
                });
            } else if (step.startsWith("more ")) {
                change([&](MailboxState& s) { s.NewNumMails += arg.toInt(); });
            } else if (step.startsWith("gone ")) {
                change([&](MailboxState& s) {
                    s.Messages.removeIf([&](const MessageSummary& m) { return m.subject == arg; });
                    --s.NewNumMails;
                });
            } else if (step.startsWith("wait ")) {
                w.clock.Advance(arg.toInt() * 60 * 1000);
                a.DoNextAlert();
            } else if (step == "hide") {
                if (desktop) {
                    QVERIFY(!service.open.empty());
                    emit service.NotificationClosed(service.open.begin()->first,
                                                    DesktopNotifications::Closed::Dismissed);
                    service.open.clear();
                } else {
                    a.HideButton().click();
                }
            } else if (step == "senders off") {
                senders = false;
            } else if (step.startsWith("=")) {
                SLID_IN(a);
                SLID_OUT(a);
                const QString expected = step.mid(1).trimmed().replace('|', '\n');
                QCOMPARE(onScreen().replace("\r\n", "\n"), expected);
            } else {
                QFAIL(qPrintable("unknown step " + step));
            }
        }
    }

    void notificationBodyIsEscapedForMarkup() {
        const QString text = MailAlertText("Work", 1, 0, {{"1", "<Ann & Co>", "a<b>c", {}}});
        QCOMPARE(NotificationBody(text, false),
                 QString("Work has 1 new emails.\n<Ann & Co>: a<b>c"));
        QCOMPARE(NotificationBody(text, true),
                 QString("Work has 1 new emails.\n&lt;Ann &amp; Co&gt;: a&lt;b&gt;c"));
        // A control character in a header cannot break the alert's lines.
        QCOMPARE(MessageLine({"2", "Eve\nX", "", {}}), QString("Eve\\x0aX: (no subject)"));
    }

    // A click on the text opens the mail and answers nothing; "Mark as Read" is offered for
    // IMAP mailboxes only and the alert stays until the state says nothing is left. In the
    // notification: the default action and a "mark-read" action do the same.
    void openAndMarkRead_data() {
        QTest::addColumn<bool>("desktop");
        QTest::addColumn<bool>("imap");
        QTest::newRow("window, IMAP") << false << true;
        QTest::newRow("window, POP3") << false << false;
        QTest::newRow("notification, IMAP") << true << true;
        QTest::newRow("notification, POP3") << true << false;
    }
    void openAndMarkRead() {
        QFETCH(bool, desktop);
        QFETCH(bool, imap);
        AlertWorld w;
        AlertWindow& a = w.window;
        FakeNotifications service;
        w.presenter.UseDesktopNotifications(&service, [desktop] { return desktop; });
        QList<quint64> opened, marked;
        w.presenter.SetOpenMail([&](quint64 id) { opened << id; });
        w.presenter.SetMarkRead([&](quint64 id) { marked << id; });
        QObject::connect(&w.states, &MailboxStates::Changed, &a, [&a] { a.Wake(); });
        AddUser(w.settings,
                MakeUser("Work", "bob", imap ? "imap://mail.example" : "mail.example", "pw", 0));
        const quint64 id = w.settings.Users[0].Id;
        a.Start();
        w.states.Update(id, [](MailboxState& s) {
            s.NewNumMails = 1;
            s.Messages = {{"7", "Ann", "Lunch", {}}};
        });
        SLID_IN(a);
        const quint32 note = desktop ? service.open.begin()->first : 0;
        if (desktop) {
            QCOMPARE(service.actions[note].contains("mark-read"), imap);
            QCOMPARE(service.actions[note].mid(0, 2), QStringList({"default", "Open"}));
            emit service.ActionInvoked(note, "default");
            // The service closes it after the action: opening is no answer, it comes back.
            service.open.erase(note);
            emit service.NotificationClosed(note, DesktopNotifications::Closed::Dismissed);
            QCOMPARE(service.open.size(), size_t(1));
            // Closed by the user later: an answer ("Hide"), not a return.
            const quint32 again = service.open.begin()->first;
            emit service.ActionInvoked(again, "default");
            w.clock.Advance(60 * 1000);
            service.open.erase(again);
            emit service.NotificationClosed(again, DesktopNotifications::Closed::Dismissed);
            QVERIFY(service.open.empty());
            w.clock.Advance(5 * 60 * 1000);
            a.DoNextAlert();
            QCOMPARE(service.open.size(), size_t(1));
        } else {
            QCOMPARE(a.MarkReadButton().isVisible(), imap);
            QCOMPARE(a.AlertHeight(), imap ? 193 : 161);
            QTest::mouseClick(a.TextArea().viewport(), Qt::LeftButton);
            QVERIFY(a.isVisible() && !a.tmrHide.isActive());
        }
        QCOMPARE(opened, QList<quint64>(desktop ? 2 : 1, id));
        if (!imap)
            return;
        if (desktop)
            emit service.ActionInvoked(service.open.begin()->first, "mark-read");
        else
            a.MarkReadButton().click();
        QCOMPARE(marked, QList<quint64>{id});
        QVERIFY(desktop ? !service.open.empty() : !a.tmrHide.isActive()); // until the server has it
        w.states.Update(id, [](MailboxState& s) {
            s.NewNumMails = -1;
            s.Messages.clear();
        });
        QVERIFY(desktop ? service.open.empty() : a.tmrHide.isActive());
    }

    void alertGrowsForItsLines() {
        AlertWorld w;
        AlertWindow& a = w.window;
        AddUser(w.settings, MakeUser("Work", "bob", "pop.bob", "pw", 0));
        QList<MessageSummary> many;
        for (int i = 0; i < 9; ++i)
            many << MessageSummary{
                QString::number(i), "Ann Example", "Subject " + QString::number(i), {}};
        w.states.Set(w.settings.Users[0].Id, [&] {
            MailboxState s;
            s.NewNumMails = 9;
            s.Messages = many;
            return s;
        }());
        a.DoNextAlert();
        SLID_IN(a);
        QVERIFY(a.AlertHeight() > AlertWindow::Height);
        QCOMPARE(a.height(), a.AlertHeight());
        // Every line shows whole: the text area needs no scrolling.
        QCOMPARE(a.TextArea().verticalScrollBar()->maximum(), 0);
        QCOMPARE(a.HideButton().geometry().bottom() + 1 + 8, a.AlertHeight());
    }

    void mailboxTip() {
        ManualClock clock; // 10:00
        MailboxState state;
        QCOMPARE(MailboxTip(state, clock), QString());
        state.NewNumMails = 2;
        state.Messages = {{"2", "Ann", "Lunch", {}}, {"1", "Bob", "", {}}};
        state.LastGood = clock.Stamp() - 60 * 1000;
        QCOMPARE(MailboxTip(state, clock),
                 "Newest: Ann: Lunch\nLast good check: " + LongTimeText(QTime(9, 59)));
    }

    void errorAlertShowsAllLinesWithOkAlone() {
        AlertWorld w;
        AlertWindow& a = w.window;
        AddMail(w, "Home", "alice", 0, 3);
        w.presenter.AddError("Error with Home : \r\nTimeout\u2026\r\n");
        a.DoNextAlert();
        QVERIFY(a.IsErrorAlert());
        QCOMPARE(a.AlertUser(), -1);
        QCOMPARE(a.AlertText().split('\n').mid(0, 2),
                 QStringList({"Error with Home : ", "Timeout\u2026"}));
        QVERIFY(a.OkButton().isVisible());
        QVERIFY(!a.HideButton().isVisible() && !a.HideSessionButton().isVisible() &&
                !a.HidePermanentlyButton().isVisible());
        // Esc belongs to "Hide", which an error alert does not have.
        QTest::keyClick(&a.TextArea(), Qt::Key_Escape);
        QVERIFY(!a.tmrHide.isActive());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).LastAlert, qint64(0));
    }

    void mailAlertCount_data() {
        QTest::addColumn<qint32>("numMails");
        QTest::addColumn<qint32>("newNumMails");
        QTest::addColumn<QString>("text");
        QTest::newRow("one") << 5 << 6 << "Home has 1 new emails.";
        QTest::newRow("below") << 7 << 3 << "Home has -4 new emails.";
        const qint32 maxCount = std::numeric_limits<qint32>::max();
        const qint32 minCount = std::numeric_limits<qint32>::min();
        QTest::newRow("widest") << minCount << maxCount << "Home has 4294967295 new emails.";
    }
    void mailAlertCount() {
        QFETCH(qint32, numMails);
        QFETCH(qint32, newNumMails);
        QFETCH(QString, text);
        QCOMPARE(MailAlertText("Home", newNumMails, numMails), text);
    }

    void queueGrowsKeepsOrderAndIsCapped() {
        AlertQueue q;
        for (int i = 0; i < 10; ++i)
            QVERIFY(q.Add(QString("e%1").arg(i)));
        QCOMPARE(q.GetErrors().size(), 10);
        q.Add("e10");
        QCOMPARE(q.GetErrors().size(), 13);
        QCOMPARE(q.GetLastError(), 10);
        for (int i = 0; i <= 10; ++i)
            QCOMPARE(q.GetErrors().at(i), QString("e%1").arg(i));
        QCOMPARE(q.TakeOldest(), QString("e0"));
        QCOMPARE(q.GetLastError(), 9);
        QCOMPARE(q.GetErrors().at(0), QString("e1"));
        QCOMPARE(q.GetErrors().at(9), QString("e10"));
        QVERIFY(q.GetErrors().at(10).isEmpty());
        QCOMPARE(q.GetErrors().size(), 13);

        AlertQueue full;
        for (int i = 0; i < AlertQueue::MaxPending; ++i)
            full.Add(QString::number(i));
        TraceRecorder trace;
        QVERIFY(!full.Add("dropped"));
        QCOMPARE(full.Pending(), 32767);
        QCOMPARE(full.GetErrors().at(full.GetLastError()), QString("32766"));
        QCOMPARE(trace.texts.size(), 1);
        QCOMPARE(full.TakeOldest(), QString("0"));
        QVERIFY(full.Add("fits again"));
    }

    void errorsFirstOneAtATimeThenLowestUser() {
        AlertWorld w;
        AlertWindow& a = w.window;
        AddMail(w, "Home", "alice", 0, 2);
        AddMail(w, "Work", "bob", 1, 4);
        w.presenter.AddError("first");
        w.presenter.AddError("second");
        a.DoNextAlert();
        QCOMPARE(a.AlertText(), QString("first"));
        a.DoNextAlert();
        QCOMPARE(a.AlertText(), QString("first"));
        SLID_IN(a);
        a.OkButton().click();
        SLID_OUT(a);
        // The slide-out looks for the next alert at once.
        QVERIFY(a.isVisible());
        QCOMPARE(a.AlertText(), QString("second"));
        SLID_IN(a);
        a.OkButton().click();
        SLID_OUT(a);
        QCOMPARE(a.AlertText(), QString("Home has 2 new emails."));
        QCOMPARE(a.AlertUser(), 0);
        SLID_IN(a);
        a.HideButton().click();
        SLID_OUT(a);
        QCOMPARE(a.AlertText(), QString("Work has 3 new emails."));
        QCOMPARE(a.AlertUser(), 1);
        QCOMPARE(w.presenter.Queue().Pending(), 0);
    }

    void showInterval_data() {
        QTest::addColumn<qint16>("minutes");
        QTest::addColumn<bool>("again");
        QTest::newRow("zero") << qint16(0) << true;
        QTest::newRow("negative") << qint16(-3) << true;
        QTest::newRow("five") << qint16(5) << false;
    }
    void showInterval() {
        QFETCH(qint16, minutes);
        QFETCH(bool, again);
        AlertWorld w;
        AlertWindow& a = w.window;
        w.settings.ShowInterval = minutes;
        AddMail(w, "Home", "alice", 0, 2);
        a.DoNextAlert();
        SLID_IN(a);
        a.HideButton().click();
        w.clock.Advance(60); // the time the slide-out takes
        SLID_OUT(a);
        QCOMPARE(a.isVisible(), again);
        if (again)
            return;
        w.clock.Advance(5 * 60 * 1000 - 60);
        a.DoNextAlert();
        QVERIFY(!a.isVisible()); // strictly more than the interval
        w.clock.Advance(1000);
        a.DoNextAlert();
        QVERIFY(a.isVisible());
    }

    // The error of a lost sign-in leads to the editor: a click on the window's text, the
    // notification's "sign-in" or default action; each answers the error. Another error of
    // the same mailbox, or the error once signed in again, leads nowhere and stays.
    void lostSignInLeadsToEditor_data() {
        QTest::addColumn<bool>("desktop");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("lost");
        QTest::newRow("window") << false << QString() << true;
        QTest::newRow("window, signed in again") << false << QString() << false;
        QTest::newRow("notification, Sign In") << true << "sign-in" << true;
        QTest::newRow("notification, default") << true << "default" << true;
        QTest::newRow("notification, signed in again") << true << "default" << false;
    }
    void lostSignInLeadsToEditor() {
        QFETCH(bool, desktop);
        QFETCH(QString, action);
        QFETCH(bool, lost);
        AlertWorld w;
        AlertWindow& a = w.window;
        FakeNotifications service;
        w.presenter.UseDesktopNotifications(&service, [desktop] { return desktop; });
        AddMail(w, "Home", "alice", 0, -1);
        AddMail(w, "Work", "bob", 0, -1);
        const quint64 work = w.settings.Users[1].Id;
        bool signedOut = true;
        QList<quint64> opened;
        w.presenter.SetSignInAgain([&](quint64 id) { return signedOut && id == work; },
                                   [&](quint64 id) { opened << id; });
        a.Start();
        w.presenter.AddUserError("Error with Work : \r\nSign in again: the provider no longer "
                                 "accepts this sign-in (invalid_grant: revoked)",
                                 "Work");
        w.presenter.AddUserError("Error with Home : \r\nConnection refused", "Home");
        if (desktop) {
            QCOMPARE(service.open.size(), size_t(2));
            const quint32 note = service.open.begin()->first;
            QVERIFY(service.actions[note].contains("sign-in"));
            QVERIFY(service.actions[note + 1].isEmpty()); // Home's error offers nothing
            emit service.ActionInvoked(note + 1, "default");
            signedOut = lost;
            emit service.ActionInvoked(note, action);
            QCOMPARE(service.open.count(note), size_t(lost ? 0 : 1));
        } else {
            SLID_IN(a);
            QVERIFY(a.TextArea().toolTip().contains("sign in again"));
            signedOut = lost;
            QTest::mouseClick(a.TextArea().viewport(), Qt::LeftButton);
            QCOMPARE(a.tmrHide.isActive(), lost);
        }
        QCOMPARE(opened, lost ? QList<quint64>{work} : QList<quint64>{});
        QCOMPARE(w.presenter.Queue().Pending(), desktop && !lost ? 2 : 1);
    }

    // A notification that expires has been seen: it comes back only with a new count. (One
    // the user dismisses counts as "Hide": see alertInTheSameTurn.)
    void expiredNotificationWaitsForNews() {
        AlertWorld w;
        FakeNotifications service;
        w.presenter.UseDesktopNotifications(&service, [] { return true; });
        AddMail(w, "Home", "alice", 0, 2);
        w.window.DoNextAlert();
        QCOMPARE(service.shown, QStringList{"Home has 2 new emails."});
        emit service.NotificationClosed(1, DesktopNotifications::Closed::Expired);
        w.clock.Advance(qint64(w.settings.ShowInterval) * 60000 + 1000);
        w.window.DoNextAlert();
        QCOMPARE(service.shown.size(), 1);
        w.states.Update(w.settings.Users[0].Id, [](MailboxState& s) { s.NewNumMails = 3; }); // news
        w.window.DoNextAlert();
        QCOMPARE(service.shown.last(), QString("Home has 3 new emails."));
    }

    // Work keeps still from 09:00 to 11:00 while Home alerts as always; at the end one summary
    // for what came meanwhile and is still unseen, reached by the timer's look or a resume.
    void quietMailboxWaitsForItsSummary_data() {
        QTest::addColumn<bool>("desktop");
        QTest::addColumn<bool>("resume");
        QTest::newRow("window") << false << false;
        QTest::newRow("notifications") << true << false;
        QTest::newRow("ended in sleep") << false << true;
    }
    void quietMailboxWaitsForItsSummary() {
        QFETCH(bool, desktop);
        QFETCH(bool, resume);
        AlertWorld w; // Monday 10:00
        FakeNotifications service;
        if (desktop)
            w.presenter.UseDesktopNotifications(&service, [] { return true; });
        AddMail(w, "Home", "alice", 0, 2);
        AddMail(w, "Work", "bob", 4, 5); // one came before the quiet time began
        const QuietHours hours = Quiet("09:00", "11:00");
        const quint64 work = w.settings.Users[1].Id;
        QuietTimes quiet(w.settings, w.states, w.clock,
                         [&](quint64 id) { return id == work ? hours : QuietHours{}; });
        ClockJumps jumps;
        quiet.WatchClock(jumps);
        w.presenter.SetQuiet([&](quint64 id) { return quiet.IsQuiet(id); });
        QObject::connect(&quiet, &QuietTimes::Ended, &w.presenter, &AlertPresenter::QuietEnded);
        quiet.Decide();
        QCOMPARE(quiet.Tip(work), QString("quiet until 11:00"));
        QCOMPARE(quiet.Tip(w.settings.Users[0].Id), QString());
        QVERIFY(!w.presenter.MailAlertNow(work)); // its alert on screen, if any, goes
        const auto shown = [&] {
            QStringList texts;
            if (desktop) {
                const qsizetype before = service.shown.size();
                w.presenter.SyncDesktop();
                texts = service.shown.mid(before);
            } else {
                while (const auto alert = w.presenter.TakeNext())
                    texts << alert->text;
            }
            return texts;
        };
        QCOMPARE(shown(), QStringList{"Home has 2 new emails."});
        w.presenter.HidePermanently(w.settings.Users[0].Id);
        // Meanwhile: Work's errors are not shown, two arrive, one read elsewhere, two more.
        w.presenter.AddUserError("Error with Work : \r\ndown", "Work");
        QVERIFY(w.presenter.Queue().IsEmpty());
        for (const qint32 count : {7, 6, 8, 9})
            w.states.Update(work, [count](MailboxState& s) { s.NewNumMails = count; });
        w.clock.Advance(50 * 60 * 1000);
        quiet.Decide();
        QCOMPARE(shown().join("|"), QString());
        w.clock.Advance(10 * 60 * 1000 + 1); // 11:00 has passed
        if (resume)
            emit jumps.Jumped();
        else
            quiet.Decide();
        QCOMPARE(quiet.Tip(work), QString());
        QCOMPARE(shown(), QStringList{"Work: 4 new emails while quiet"});
        QCOMPARE(shown(), QStringList());
        // "Hide Permanently" on the summary accepts all that the mailbox holds.
        w.presenter.HidePermanently(work);
        QCOMPARE(w.settings.Users[1].NumMails, 9);
    }

    void quietSummaryTexts() {
        QCOMPARE(QuietSummaryText("Work", 1), QString("Work: 1 new email while quiet"));
        QCOMPARE(QuietSummaryText("Work", 14, {"Ann: Report"}),
                 QString("Work: 14 new emails while quiet\r\nAnn: Report"));
    }

    void longShowIntervalDoesNotWrap() {
        AlertWorld w;
        w.settings.ShowInterval = 32767; // past 16 bits in seconds, and longer than days
        AddMail(w, "Home", "alice", 0, 2);
        w.states.Set(w.settings.Users[0].Id, State(2, false, w.clock.Stamp(), 0)); // just shown
        w.clock.Advance(qint64(32767) * 60000);
        w.window.DoNextAlert();
        QVERIFY(!w.window.isVisible());
        w.clock.Advance(1);
        w.window.DoNextAlert();
        QVERIFY(w.window.isVisible());
    }

    void midnight() {
        AlertWorld w;
        AlertWindow& a = w.window;
        AddMail(w, "Home", "alice", 0, 2);
        // Shown at 23:58, an interval of 5 minutes lasts past midnight.
        w.clock.SetTime(QTime(23, 58));
        w.states.Set(w.settings.Users[0].Id, State(2, false, w.clock.Stamp(), 0)); // just shown
        w.clock.Advance(3 * 60 * 1000);
        a.DoNextAlert();
        QVERIFY(!a.isVisible());
        w.clock.Advance(2 * 60 * 1000 + 1);
        a.DoNextAlert();
        QVERIFY(a.isVisible());
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).LastAlert, w.clock.Stamp());
        QCOMPARE(w.clock.Now().time(), QTime(0, 3, 0, 1));
    }

    void hideForThisSession() {
        AlertWorld w;
        AlertWindow& a = w.window;
        w.settings.ShowInterval = 0;
        AddMail(w, "Home", "alice", 0, 2);
        a.DoNextAlert();
        a.HideSessionButton().click();
        SLID_OUT(a);
        QVERIFY(w.states.Of(w.settings.Users[0].Id).HideSession);
        QVERIFY(!a.isVisible());
        w.clock.Advance(3600 * 1000);
        a.DoNextAlert();
        QVERIFY(!a.isVisible());
        QCOMPARE(w.saves, 0);
    }

    // No timer stands between a count and its alert: the state's change is looked at in the
    // same turn; an alert held back by the show interval is due at one computed moment.
    void alertInTheSameTurn_data() {
        QTest::addColumn<bool>("desktop");
        QTest::newRow("window") << false;
        QTest::newRow("notification") << true;
    }
    void alertInTheSameTurn() {
        QFETCH(bool, desktop);
        AlertWorld w;
        AlertWindow& a = w.window;
        FakeNotifications service;
        w.presenter.UseDesktopNotifications(&service, [desktop] { return desktop; });
        QObject::connect(&w.states, &MailboxStates::Changed, &a, [&a] { a.Wake(); });
        w.settings.ShowInterval = 5;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.alice", "pw", 5));
        const quint64 id = w.settings.Users[0].Id;
        a.Start();
        QVERIFY(!a.tmrNextAlert.isActive());
        // A count above the accepted one: shown before the event loop runs again.
        w.clock.Advance(6 * 60 * 1000);
        w.states.Update(id, [](MailboxState& s) { s.NewNumMails = 6; });
        const QString text = "Home has 1 new emails.";
        QCOMPARE(desktop ? service.shown.value(0) : a.AlertText(), text);
        QCOMPARE(a.isVisible(), !desktop);
        QCOMPARE(w.states.Of(id).LastAlert, w.clock.Stamp());
        // "Hide": back once the interval has passed, at a moment set once, not looked for.
        if (desktop) {
            emit service.NotificationClosed(1, DesktopNotifications::Closed::Dismissed);
        } else {
            a.HideButton().click();
            SLID_OUT(a);
        }
        QVERIFY(a.tmrNextAlert.isActive());
        QCOMPARE(a.tmrNextAlert.interval(), 5 * 60 * 1000 + 1);
        w.clock.Advance(2 * 60 * 1000);
        a.Wake(); // another mailbox's check: the moment comes nearer
        QCOMPARE(a.tmrNextAlert.interval(), 3 * 60 * 1000 + 1);
        w.clock.Advance(3 * 60 * 1000 + 1);
        QMetaObject::invokeMethod(&a.tmrNextAlert, "timeout"); // the moment has come
        QVERIFY(desktop ? service.shown.size() == 2 : a.isVisible());
        QVERIFY(!a.tmrNextAlert.isActive());
        // Nothing pending any more: no timer left behind.
        w.states.Update(id, [](MailboxState& s) { s.HideSession = true; });
        if (!desktop) {
            a.HideButton().click();
            SLID_OUT(a);
        }
        QVERIFY(!a.tmrNextAlert.isActive());
    }

    void hidePermanently() {
        AlertWorld w;
        AlertWindow& a = w.window;
        w.settings.ShowInterval = 0;
        AddMail(w, "Home", "alice", 4, 9);
        a.DoNextAlert();
        a.HidePermanentlyButton().click();
        QCOMPARE(w.settings.Users[0].NumMails, 9);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QCOMPARE(w.saves, 1);
        a.HidePermanentlyButton().click(); // during the slide-out: nothing more to accept
        QCOMPARE(w.saves, 1);
        w.clock.Advance(60);
        SLID_OUT(a);
        QVERIFY(!a.isVisible());

        // The count fell to -1 while the alert was up (read elsewhere): the alert goes, and
        // "Hide Permanently" during its slide-out has nothing to accept.
        w.states.Update(w.settings.Users[0].Id, [&](MailboxState& s) { s.NewNumMails = 12; });
        w.clock.Advance(1000);
        a.DoNextAlert();
        QCOMPARE(a.AlertText(), QString("Home has 3 new emails."));
        SLID_IN(a);
        w.states.Update(w.settings.Users[0].Id, [&](MailboxState& s) { s.NewNumMails = -1; });
        a.DoNextAlert();
        QVERIFY(a.tmrHide.isActive());
        a.HidePermanentlyButton().click();
        QCOMPARE(w.settings.Users[0].NumMails, 9);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QCOMPARE(w.saves, 1);
        SLID_OUT(a);
        QVERIFY(!a.isVisible());
    }

    void nothingNewWhileSetupIsVisible() {
        AlertWorld w;
        AlertWindow& a = w.window;
        AddMail(w, "Home", "alice", 0, 2);
        w.setupVisible = true;
        a.DoNextAlert();
        w.presenter.AddError("older");
        w.presenter.AddError("newer");
        a.DoNextAlert();
        QVERIFY(!a.isVisible());
        w.setupVisible = false;
        a.DoNextAlert();
        QCOMPARE(a.AlertText(), QString("older"));
        QCOMPARE(w.presenter.Queue().Pending(), 1);
    }

    // A server that stays down: one alert per user waits, saying how often and since when;
    // the error log gets every failure.
    void failuresOfOneUserWaitAsOneAlert() {
        AlertWorld w;
        AlertWindow& a = w.window;
        AddMail(w, "Home", "alice", 0, -1);
        AddMail(w, "Work", "bob", 0, -1);
        QTemporaryDir dir;
        CheckLogs logs(w.settings, w.states, w.clock, dir.path());
        logs.SetErrorSink(&w.presenter);
        w.setupVisible = true; // nothing is taken from the queue meanwhile
        w.clock.SetTime(QTime(8, 4, 30));
        logs.DoError("Connection refused", 0, 1);
        logs.DoError("Timeout", 1, 1);
        w.clock.SetTime(QTime(8, 9));
        logs.DoError("Timeout waiting for response from server!", 0, 1);
        logs.DoError("Connection refused again", 0, 1);
        QCOMPARE(w.presenter.Queue().Pending(), 2);
        QCOMPARE(w.presenter.Queue().GetErrors().at(0),
                 QString("Error with Home : \r\nConnection refused again\r\n"
                         "(failed 3 times since 08:04)"));
        QCOMPARE(w.presenter.Queue().GetErrors().at(1), QString("Error with Work : \r\nTimeout"));
        QFile log(logs.ErrLogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll().count("\r\n"), 1 + 4);

        // Once shown, the next failure takes its place on screen; "Ok" answers them all.
        w.setupVisible = false;
        a.DoNextAlert();
        QVERIFY(a.AlertText().endsWith("(failed 3 times since 08:04)"));
        logs.DoError("Timeout", 0, 1);
        QCOMPARE(a.AlertText(),
                 QString("Error with Home : \nTimeout\n(failed 4 times since 08:04)"));
        QCOMPARE(w.presenter.Queue().Pending(), 1);
        // Texts added without a user never merge.
        w.presenter.AddError("plain");
        w.presenter.AddError("plain");
        QCOMPARE(w.presenter.Queue().Pending(), 3);
        SLID_IN(a);
        a.OkButton().click();
        SLID_OUT(a);
        QCOMPARE(a.AlertText(), QString("Error with Work : \nTimeout"));
    }

    void alertFollowsItsUserThroughSetup() {
        AlertWorld w;
        AlertWindow& a = w.window;
        w.settings.ShowInterval = 0;
        AddMail(w, "Home", "alice", 0, 2);
        AddMail(w, "Work", "bob", 1, 4);
        w.states.Update(w.settings.Users[0].Id, [&](MailboxState& s) { s.HideSession = true; });
        a.DoNextAlert();
        QCOMPARE(a.AlertText(), QString("Work has 3 new emails."));

        // Deleting the user before it moves Work down one place; the spare entry above
        // LastUser still holds a copy of Work and must stay untouched.
        w.settings.DeleteUser(0);
        QCOMPARE(a.AlertUser(), 0);
        a.HidePermanentlyButton().click();
        QCOMPARE(w.settings.Users[0].NumMails, 4);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, -1);
        QCOMPARE(w.settings.Users[1].NumMails, 1); // the spare copy; Work's state is by identity
        QCOMPARE(w.saves, 1);
        SLID_OUT(a);

        // A re-sort moves the alert's user; the button acts on it where it now is.
        AddMail(w, "Club", "carol", 0, 1);
        a.DoNextAlert();
        QCOMPARE(a.AlertText(), QString("Club has 1 new emails."));
        w.settings.Users[0].Username = "zed";
        w.settings.SortUsers();
        QCOMPARE(a.AlertUser(), 0);
        a.HideSessionButton().click();
        QVERIFY(w.states.Of(w.settings.Users[0].Id).HideSession);
        QVERIFY(!w.states.Of(w.settings.Users[1].Id).HideSession);
        SLID_OUT(a);

        // The user deleted while its alert is up: the alert is withdrawn, and acts on nobody.
        w.states.Update(w.settings.Users[0].Id, [&](MailboxState& s) { s.HideSession = false; });
        w.clock.Advance(1000);
        a.DoNextAlert();
        QVERIFY(a.isVisible());
        QCOMPARE(a.AlertUser(), 0);
        SLID_IN(a);
        w.settings.DeleteUser(0);
        QCOMPARE(a.AlertUser(), -1);
        a.DoNextAlert();
        QVERIFY(a.tmrHide.isActive());
        // Work, now in Club's place, has new mail.
        w.states.Update(w.settings.Users[0].Id, [&](MailboxState& s) { s.NewNumMails = 7; });
        a.HidePermanentlyButton().click();
        QCOMPARE(w.saves, 1);
        QCOMPARE(w.settings.Users[0].NumMails, 4);
        QCOMPARE(w.states.Of(w.settings.Users[0].Id).NewNumMails, 7);
        SLID_OUT(a);
        QCOMPARE(a.AlertText(), QString("Work has 3 new emails."));
    }

    void closingTraces() {
        AlertWorld w;
        AddMail(w, "Home", "alice", 0, 2);
        w.window.DoNextAlert();
        TraceRecorder trace;
        QVERIFY(w.window.close());
        QCOMPARE(trace.texts, QStringList({"frmAlert QueryUnload", "frmAlert Unload"}));
        QVERIFY(!w.window.isVisible());
        QVERIFY(!w.window.tmrShow.isActive());
    }

#ifndef Q_OS_WIN
    // Outside Windows the band is a window flag, which can be read back.
    void topMostSwitch() {
        QWidget hidden;
        const Qt::WindowFlags before = hidden.windowFlags();
        BringToFront(&hidden);
        QVERIFY(!hidden.isVisible());
        QCOMPARE(hidden.windowFlags(), before);
        SetTopMost(&hidden);
        QVERIFY(!hidden.isVisible());

        QWidget shown;
        shown.resize(100, 50);
        shown.move(40, 30);
        shown.show();
        const QPoint pos = shown.pos();
        SetTopMost(&shown);
        QVERIFY(shown.isVisible());
        QVERIFY(shown.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(shown.pos(), pos);
        ClearTopMost(&shown);
        QVERIFY(shown.isVisible());
        QVERIFY(!shown.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(shown.pos(), pos);
        BringToFront(&shown);
        QVERIFY(shown.isVisible());
        QVERIFY(!shown.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }
#endif
};

QTEST_MAIN(TestAlerts)
#include "tst_alerts.moc"
