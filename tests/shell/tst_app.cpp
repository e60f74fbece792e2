// Start-up and the orderly exit of the whole program, with every window, on a fake tray and
// a dialog service that answers by itself.
// Test clicks go through the window system, which holds them back from a blocked window.
#define QTEST_QPA_MOUSE_HANDLING
#include "alerts/AlertWindow.h"
#include "shell/App.h"
#include "shell/ControlCentre.h"
#include "shell/MailOpener.h"
#include "shell/TrayIcon.h"
#include "support/ScopedEnv.h"
#include "support/TestWorld.h"
#include "support/doubles/FixedRandom.h"
#include "support/doubles/RecordingDialogs.h"
#include "support/doubles/TraceRecorder.h"
#include "ui/AboutWindow.h"
#include "ui/SetupWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtTest/qtestspontaneevent.h>

namespace {
class FakeTrayShell final : public TrayShell {
public:
    void Add(const QIcon&, const QString&) override { calls << "add"; }
    void Modify(const QIcon&, const QString&) override { calls << "modify"; }
    void Delete() override { calls << "delete"; }
    bool WaitingForArea() const override { return waiting; }
    QStringList calls;
    bool waiting = false;
};

const QString FirstRun = QStringLiteral(
    "This appears to be the first time you have used this program!\r\nYou can access the setup "
    "screen by right-clicking\r\non the icon in the system tray. Have fun!");

struct AppWorld {
    // Setup after the first-run message would wait for an answer in every test that starts
    // without settings: only the test of it asks for it.
    explicit AppWorld(bool setupAfterFirstRun = false)
        : app(Environment{Paths{dir.filePath("Tarnwick.ini"), dir.path()}, clock, dialogs, random,
                          tray, 1, nullptr, setupAfterFirstRun}) {
        app.EndProcess = [this] { ++ended; };
    }
    QTemporaryDir dir;
    ManualClock clock;
    RecordingDialogs dialogs;
    FixedRandom random;
    FakeTrayShell tray;
    int ended = 0;
    App app;
};

} // namespace

class TestApp final : public QObject {
    Q_OBJECT
private slots:
    // The desktop's mail client as its default applications name it for mailto: links: the
    // user's own list before the system's, a desktop's own list before the common one, the
    // entry's link codes dropped so that it starts without a compose address.
    void mailClientFromTheDefaultApplications_data() {
        QTest::addColumn<QString>("userList");   // $XDG_CONFIG_HOME/mimeapps.list
        QTest::addColumn<QString>("systemList"); // a data folder's applications/mimeapps.list
        QTest::addColumn<QString>("expected");   // name|program|arguments, empty: none
        const QString a = "[Default Applications]\nx-scheme-handler/mailto=a.desktop;\n";
        const QString b = "[Default Applications]\nx-scheme-handler/mailto=b.desktop\n";
        QTest::newRow("user's") << a << b << "Mail A|/opt/a|--new-window,50%";
        QTest::newRow("system's") << "" << b << "Mail B|b-mail|";
        QTest::newRow("missing entry skipped")
            << "[Default Applications]\nx-scheme-handler/mailto=gone.desktop;b.desktop\n"
            << ""
            << "Mail B|b-mail|";
        QTest::newRow("added association")
            << "[Added Associations]\nx-scheme-handler/mailto=a.desktop\n"
            << ""
            << "Mail A|/opt/a|--new-window,50%";
        QTest::newRow("none") << "[Default Applications]\ntext/html=a.desktop\n"
                              << ""
                              << "";
    }
    void mailClientFromTheDefaultApplications() {
        QFETCH(QString, userList);
        QFETCH(QString, systemList);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const auto write = [&](const QString& name, const QString& text) {
            QDir().mkpath(QFileInfo(dir.filePath(name)).path());
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text.toUtf8());
        };
        write("config/mimeapps.list", userList);
        write("system/applications/mimeapps.list", systemList);
        write("data/applications/a.desktop",
              "[Desktop Entry]\nName=Mail A\nExec=/opt/a --new-window %u 50%%\n");
        write("system/applications/b.desktop", "[Desktop Entry]\nName=Mail B\nExec=b-mail %U\n");
        const ScopedEnv env{{"XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config"))},
                            {"XDG_CONFIG_DIRS", QFile::encodeName(dir.filePath("etc"))},
                            {"XDG_DATA_HOME", QFile::encodeName(dir.filePath("data"))},
                            {"XDG_DATA_DIRS", QFile::encodeName(dir.filePath("system"))},
                            {"XDG_CURRENT_DESKTOP", "Test"}};
        const std::optional<MailClientCommand> found = FindMailClient();
        QCOMPARE(found ? found->name + "|" + found->program + "|" + found->arguments.join(",")
                       : QString(),
                 expected);
    }

    void openWithTexts_data() {
        QTest::addColumn<QString>("openWith");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("problem"); // the start of the editor's message
        QTest::newRow("empty") << " " << int(OpenWithText::Kind::MailClient) << "";
        QTest::newRow("webmail") << "https://mail.example/inbox"
                                 << int(OpenWithText::Kind::WebAddress) << "";
        QTest::newRow("web address without host")
            << "http://" << int(OpenWithText::Kind::WebAddress)
            << "Open With: \"http://\" is not a web address.";
        QTest::newRow("command") << "sh -c \"exit 0\"" << int(OpenWithText::Kind::Command) << "";
        QTest::newRow("no such program")
            << "/nonexistent/mail --inbox" << int(OpenWithText::Kind::Command)
            << "Open With: no program \"/nonexistent/mail\" is found.";
    }
    void openWithTexts() {
        QFETCH(QString, openWith);
        QFETCH(int, kind);
        QFETCH(QString, problem);
        QCOMPARE(int(ParseOpenWith(openWith).kind), kind);
        QCOMPARE(OpenWithProblem(openWith), problem);
    }

    // A mailbox's own command is started on its own, with its arguments; one that cannot be
    // started is said.
    void openWithACommand() {
        QTemporaryDir dir;
        const QString mark = dir.filePath("opened");
        const std::unique_ptr<MailOpener> opener = MakeDesktopMailOpener();
        QCOMPARE(opener->Open("sh -c \"echo inbox > '" + mark + "'\""), QString());
        QVERIFY(WaitFor([&] { return ReadFile(mark) == "inbox\n"; }, 5000));
        QCOMPARE(opener->Open("/nonexistent/mail"),
                 QString("/nonexistent/mail could not be started."));
    }

    void firstStart() {
        AppWorld w;
        w.app.Main();
        QCOMPARE(w.dialogs.messages, QStringList(FirstRun));
        QVERIFY(w.app.Alert() && w.app.Setup() && w.app.Main_() && w.app.About());
        QCOMPARE(w.tray.calls, QStringList("add"));
        QVERIFY(!w.app.Main_()->isVisible());
        QVERIFY(w.app.Engine().tmrCheckMail.isActive());
        QVERIFY(w.app.Alert()->IsStarted());
        QVERIFY(!w.app.Alert()->tmrNextAlert.isActive()); // nothing due: no tick
        QCOMPARE(w.app.GetSettings().LastUser, qint16(-1));
    }

    // Setup opens once the first-run message is answered, after start-up is done; a start
    // with settings opens nothing.
    void firstRunOpensSetup() {
        for (const bool first : {true, false}) {
            AppWorld w(true);
            if (!first)
                QVERIFY(w.app.GetSettingsFile().SaveFile());
            w.app.Main();
            QCOMPARE(w.dialogs.messages.size(), first ? 1 : 0);
            QVERIFY(!w.app.IsSetupVisible());
            QVERIFY(w.app.Engine().tmrCheckMail.isActive());
            bool shown = false;
            QTimer::singleShot(0, [&] {
                shown = w.app.IsSetupVisible();
                if (shown)
                    w.app.Setup()->DoCancel();
            });
            QTest::qWait(50);
            QCOMPARE(shown, first);
        }
    }

    void withoutANotificationAreaTheControlCentreStaysUp() {
        AppWorld w;
        w.tray.waiting = true;
        w.app.Main();
        QCOMPARE(w.dialogs.messages, QStringList(FirstRun)); // the text stays as it is
        QCOMPARE(w.tray.calls, QStringList("add"));          // added all the same, to appear later
        ControlCentre& centre = *w.app.Main_();
        QVERIFY(centre.isVisible());
        w.dialogs.Clear();
        QTest::mouseClick(centre.cmdDone, Qt::LeftButton);
        QTest::keyClick(&centre, Qt::Key_Escape);
        QCloseEvent closeControl; // as the window system delivers it
        QSpontaneKeyEvent::setSpontaneous(&closeControl);
        qApp->notify(&centre, &closeControl); // sendEvent would clear the flag
        QVERIFY(centre.isVisible());
        QCOMPARE(w.dialogs.messages, QStringList(3, NoNotificationAreaMessage));

        w.tray.waiting = false; // a notification area has started and holds the icon
        QTest::mouseClick(centre.cmdDone, Qt::LeftButton);
        QVERIFY(!centre.isVisible());
    }

    void dialogsBlockOnlyWhereTheyWereOpened() {
        AppWorld w;
        w.app.Main();
        ControlCentre& centre = *w.app.Main_();
        AlertWindow& alert = *w.app.Alert();
        centre.ShowForm();
        w.app.Presenter()->AddError(QStringLiteral("Boom"));
        alert.DoNextAlert();
        QVERIFY(alert.isVisible());

        // The about window, opened from the tray, blocks no window: the alert and the control
        // centre keep answering.
        bool ran = false;
        QTimer::singleShot(0, [&] {
            QTest::mouseClick(&alert.OkButton(), Qt::LeftButton);
            QVERIFY(alert.tmrHide.isActive()); // sliding out
            QTest::mouseClick(centre.cmdDone, Qt::LeftButton);
            QVERIFY(!centre.isVisible());
            ran = true;
            w.app.About()->hide();
        });
        w.app.About()->DoAbout();
        QVERIFY(ran);

        // Setup, opened from the control centre, blocks it and holds the alert back; an
        // exit asked for meanwhile (the tray's "Exit") is refused.
        centre.ShowForm();
        ran = false;
        QTimer::singleShot(0, [&] {
            QVERIFY(w.app.Setup()->isVisible());
            QTest::mouseClick(centre.cmdDone, Qt::LeftButton);
            QVERIFY(centre.isVisible());
            QVERIFY(!alert.isEnabled());
            w.app.ExitProgram(false);
            QCOMPARE(w.dialogs.messages.last(), QString("Please close the setup window!"));
            ran = true;
            w.app.Setup()->DoCancel();
        });
        QTest::mouseClick(centre.cmdSetup, Qt::LeftButton);
        QVERIFY(ran);
        QVERIFY(alert.isEnabled());
        QCOMPARE(w.ended, 0);
    }

    void exitAnsweredNoChangesNothing() {
        AppWorld w;
        w.app.Main();
        w.dialogs.QueueYesNo(false);
        // The tray keeps answering while the question is open: a second "Exit" asks nothing.
        w.dialogs.whileShown = [&](const QString&) {
            w.dialogs.whileShown = nullptr;
            w.app.ExitProgram(false);
        };
        w.app.ExitProgram(false);
        QCOMPARE(w.dialogs.questions, QStringList("Really Exit?"));
        QCOMPARE(w.ended, 0);
        QCOMPARE(w.tray.calls, QStringList("add"));
        QVERIFY(w.app.Engine().tmrCheckMail.isActive());
        QVERIFY(w.app.Alert()->IsStarted());
        QVERIFY(!QFile::exists(w.dir.filePath("Tarnwick.ini")) ||
                ReadFile(w.dir.filePath("Tarnwick.ini")).isEmpty());
    }

    void exitInOrder() {
        AppWorld w;
        w.app.Main();
        // Windows are made when first wanted: none but the alert's before the user asks.
        QVERIFY(!w.app.HasMainWindow() && !w.app.HasSetupWindow());
        w.app.Main_(); // made, as by the tray's "Show": it says its own lines on the way out
        TraceRecorder trace;
        w.app.ExitProgram(false);
        QCOMPARE(w.ended, 1);
        QCOMPARE(w.tray.calls.last(), QString("delete"));
        QCOMPARE(ReadFile(w.dir.filePath("Tarnwick.ini")).size(), 17); // the defaults, saved
        QVERIFY(!w.app.Engine().tmrCheckMail.isActive());
        QVERIFY(!w.app.Engine().Pop3().tmrTimeout.isActive());
        QVERIFY(!w.app.Alert()->IsStarted());

        QStringList steps = trace.texts;
        // The date and time line depends on the locale: only its place is checked.
        QCOMPARE(steps.mid(0, 2), QStringList({"", ""}));
        steps.remove(0, 3);
        const QStringList expected = {
            "RemoveIcon",
            "SaveFile",
            "frmAlert.tmrHide.Enabled = False",
            "frmAlert.tmrNextAlert.Enabled = False",
            "frmAlert.tmrShow.Enabled = False",
            "frmMain.tmrChangeIcon.Enabled = False",
            "frmMain.tmrCheckMail.Enabled = False",
            "frmMain.tmrTimeout.Enabled = False",
            "frmMain.WS.State = 0",
            "Unload frmAbout",
        };
        QCOMPARE(steps.mid(0, expected.size()), expected);
        // Each window's own close texts follow its "Unload" line, in the fixed order.
        QStringList unloads;
        for (const QString& s : steps) {
            if (s.startsWith("Unload "))
                unloads << s;
        }
        QCOMPARE(unloads, QStringList({"Unload frmAbout", "Unload frmAlert", "Unload frmEditAdd",
                                       "Unload frmMain", "Unload frmPassword", "Unload frmSetup"}));
        QVERIFY(steps.contains("frmMain QueryUnload - Cancel=1"));
        QCOMPARE(steps.last(), QString("End"));
    }

    void exitRefusedWhileSetupIsOpen() {
        AppWorld w;
        w.app.Main();
        bool ran = false;
        QTimer::singleShot(0, [&] {
            w.app.ExitProgram(false);
            QCOMPARE(w.dialogs.messages.last(), QString("Please close the setup window!"));
            QVERIFY(w.dialogs.questions.isEmpty());
            QCOMPARE(w.ended, 0);
            ran = true;
            w.app.Setup()->DoCancel();
        });
        w.app.Setup()->ShowForm();
        QVERIFY(ran);
        w.app.ExitProgram(false); // with setup closed, "Exit" works
        QCOMPARE(w.ended, 1);
    }

    void exitWithoutQuestionRollsSetupBack() {
        AppWorld w;
        w.app.Main();
        Settings& s = w.app.GetSettings();
        QTimer::singleShot(0, [&] {
            // A half-edited table: a user added and an interval changed in setup.
            Settings& copy = w.app.Setup()->Copy().table;
            AddUser(copy, MakeUser("Half", "half", "h", "p"));
            copy.CheckInterval = 99;
            w.app.ExitProgram(true);
        });
        w.app.Setup()->ShowForm();
        QCOMPARE(w.ended, 1);
        QVERIFY(w.dialogs.questions.isEmpty());
        QCOMPARE(s.LastUser, qint16(-1));
        QCOMPARE(s.CheckInterval, qint16(5));
        // What was saved is the table as it was before setup opened.
        Settings loaded;
        RecordingDialogs quiet;
        FixedRandom random;
        SettingsFile file(loaded, quiet, random, w.dir.filePath("Tarnwick.ini"));
        QVERIFY(file.LoadFile(w.clock).Usable());
        QCOMPARE(loaded.LastUser, qint16(-1));
        QCOMPARE(loaded.CheckInterval, qint16(5));
    }

    // A count that fell is saved, out of the check's step; setup edits a copy, so its "Cancel"
    // keeps the lowered count and drops only what was changed in setup.
    void fallenCountIsSaved() {
        AppWorld w;
        w.app.Main();
        Settings& s = w.app.GetSettings();
        AddUser(s, MakeUser("Home", "alice", "h", "p", 10));
        AddUser(s, MakeUser("Work", "bob", "w", "p", 7));
        const auto saved = [&](int user) {
            Settings loaded;
            RecordingDialogs quiet;
            FixedRandom random;
            SettingsFile file(loaded, quiet, random, w.dir.filePath("Tarnwick.ini"));
            return file.LoadFile(w.clock).Usable() && loaded.LastUser >= user
                       ? loaded.Users[user].NumMails
                       : -2;
        };
        w.app.Engine().Recorder().Record(1, 4, "+OK 2 9\r\n", "2", 2);
        QTRY_COMPARE(saved(1), 2);
        QTimer::singleShot(0, [&] {
            w.app.Setup()->Copy().table.CheckInterval = 99;
            w.app.Engine().Recorder().Record(0, 4, "+OK 0 0\r\n", "0", 0);
            QCOMPARE(saved(0), 10); // not inside the check's step
            w.app.Setup()->DoCancel();
        });
        w.app.Main_()->findChild<QPushButton*>("cmdSetup")->click();
        QCoreApplication::processEvents(); // the queued save
        QCOMPARE(s.CheckInterval, qint16(5));
        QCOMPARE(s.Users[0].NumMails, 0);
        QCOMPARE(saved(0), 0);

        // "Ok" keeps a fall too; a mailbox deleted there loses its state.
        const quint64 home = s.Users[0].Id;
        w.app.States().Update(home, [](MailboxState& state) { state.NewNumMails = 5; });
        QTimer::singleShot(0, [&] {
            w.app.Setup()->Copy().table.DeleteUser(0);
            w.app.Engine().Recorder().Record(1, 4, "+OK 1 9\r\n", "1", 1);
            w.app.Setup()->findChild<QPushButton*>("cmdOk")->click();
        });
        w.app.Main_()->findChild<QPushButton*>("cmdSetup")->click();
        QCOMPARE(s.LastUser, qint16(0));
        QCOMPARE(s.Users[0].NumMails, 1);
        QCOMPARE(w.app.States().Of(home), MailboxState());
        QCOMPARE(saved(0), 1);
        w.app.ExitProgram(true);
    }

    void failedSaveAtExit() {
        // A folder where the settings file should be: no save can succeed.
        AppWorld asked;
        QVERIFY(QDir(asked.dir.path()).mkdir("Tarnwick.ini"));
        asked.app.Main();
        asked.dialogs.messages.clear();
        asked.app.ExitProgram(false);
        QCOMPARE(asked.ended, 1);
        QCOMPARE(asked.dialogs.messages.size(), 1); // the user asked to leave: tell why
        QVERIFY(asked.dialogs.messages[0].startsWith("Could not save the settings to "));

        AppWorld signalled;
        QVERIFY(QDir(signalled.dir.path()).mkdir("Tarnwick.ini"));
        signalled.app.Main();
        signalled.dialogs.messages.clear();
        signalled.app.ExitProgram(true); // nobody may be there to close a message box
        QCOMPARE(signalled.ended, 1);
        QVERIFY(signalled.dialogs.messages.isEmpty());
    }

    void exitDuringACheckClosesTheConnection() {
        AppWorld w;
        w.app.Main();
        AddUser(w.app.GetSettings(), MakeUser("Home", "alice", "127.0.0.1", "p"));
        w.app.Engine().CheckMail(true);
        QVERIFY(w.app.Socket().IsOpen());
        w.app.ExitProgram(true);
        QVERIFY(!w.app.Socket().IsOpen());
        QCOMPARE(w.ended, 1);
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
