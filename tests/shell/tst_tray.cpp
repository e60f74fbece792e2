// The tray icon with its menu and animation, and the control centre window.
#include "shell/ControlCentre.h"
#include "shell/Icons.h"
#include "shell/TrayIcon.h"
#include "support/RunTests.h"
#include "support/TestWorld.h"
#include "support/doubles/TraceRecorder.h"
#include "ui/UserListBox.h"

#include <QAction>
#include <QDir>
#include <QPainter>
#include <QTest>

namespace {
class FakeTrayShell final : public TrayShell {
public:
    void Add(const QIcon&, const QString& tip) override { calls << "add " + tip; }
    void Modify(const QIcon&, const QString& tip) override { calls << "modify " + tip; }
    void Delete() override { calls << "delete"; }
    QStringList calls;
};

struct TrayWorld {
    TrayWorld() {
        AddUser(settings, MakeUser("Home", "alice", "h", "p"));
        TrayActions a;
        a.ShowControlCentre = [this] { done << "show"; };
        a.CheckMail = [this] { done << "check"; };
        a.DoAbout = [this] { done << "about"; };
        a.Exit = [this] { done << "exit"; };
        a.IsControlCentreVisible = [this] { return centreVisible; };
        a.IsChecking = [this] { return status.checking; };
        a.MakeCaption = [this] { return MakeCaption(settings, status); };
        tray = std::make_unique<TrayIcon>(shell, a);
        tray->tmrChangeIcon.stop(); // the test steps the animation itself
    }
    Settings settings;
    FixedStatus status;
    FakeTrayShell shell;
    QStringList done;
    bool centreVisible = false;
    std::unique_ptr<TrayIcon> tray;
};
} // namespace

class TestTray final : public QObject {
    Q_OBJECT
private slots:
    void captionAndTip() {
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", "h", "p"));
        FixedStatus status;
        QCOMPARE(MakeCaption(settings, status), QString("Tarnwick!") + QChar(0));
        status.checking = true;
        status.user = 0;
        QCOMPARE(MakeCaption(settings, status),
                 QString("Tarnwick - checking \"Home\"!") + QChar(0));

        TrayWorld w;
        QCOMPARE(w.tray->FillIconData(), QString("Tarnwick!"));
        w.settings.Users[0].ScreenName = QString(80, QLatin1Char('x'));
        w.status.checking = true;
        w.status.user = 0;
        const QString tip = w.tray->FillIconData();
        QCOMPARE(tip.size(), 64);
        QVERIFY(tip.startsWith("Tarnwick - checking \"xxx"));
    }

    void addUpdateRemoveRules() {
        TrayWorld w;
        w.tray->RemoveIcon(); // before AddIcon: nothing
        w.tray->UpdateIcon();
        QVERIFY(w.shell.calls.isEmpty());
        w.tray->AddIcon();
        w.tray->AddIcon();
        QCOMPARE(w.shell.calls, QStringList("add Tarnwick!"));
        QVERIFY(w.tray->TrayAdded());
        QVERIFY(w.tray->ShowsEmblem());
        w.tray->RemoveIcon();
        QCOMPARE(w.shell.calls.last(), QString("delete"));
        QVERIFY(!w.tray->TrayAdded());
    }

    void animationPhases() {
        TrayWorld w;
        w.tray->AddIcon();
        QCOMPARE(w.tray->IconPhase(), 0);
        // The first tick after start-up takes the idle branch once.
        w.tray->ChangeIcon();
        QCOMPARE(w.tray->IconPhase(), -1);
        QCOMPARE(w.shell.calls.size(), 2);
        w.tray->ChangeIcon(); // idle and already the emblem: no shell traffic
        QCOMPARE(w.shell.calls.size(), 2);
        // Idle, the animation sleeps until a check begins.
        QVERIFY(!w.tray->tmrChangeIcon.isActive());
        w.tray->OnCheckingChanged(true);
        QVERIFY(w.tray->tmrChangeIcon.isActive());

        w.status.checking = true;
        w.status.user = 0;
        QList<int> phases;
        for (int i = 0; i < 4; ++i) {
            w.tray->ChangeIcon();
            phases << w.tray->IconPhase();
            QVERIFY(!w.tray->ShowsEmblem());
        }
        QCOMPARE(phases, QList<int>({0, 1, 0, 1}));
        QCOMPARE(w.shell.calls.last(), QString("modify Tarnwick - checking \"Home\"!"));

        // After the check: one update back to the emblem and the idle tip, then quiet.
        w.status.checking = false;
        const int before = int(w.shell.calls.size());
        w.tray->ChangeIcon();
        w.tray->ChangeIcon();
        w.tray->ChangeIcon();
        QCOMPARE(w.shell.calls.size(), before + 1);
        QCOMPARE(w.shell.calls.last(), QString("modify Tarnwick!"));
        QVERIFY(w.tray->ShowsEmblem());
    }

    void animationGrid_data() {
        QTest::addColumn<qint64>("sinceStart");
        QTest::addColumn<int>("delay");
        QTest::newRow("on a tick") << qint64(0) << 0;
        QTest::newRow("just after") << qint64(1) << 499;
        QTest::newRow("mid-way") << qint64(1300) << 200;
        QTest::newRow("just before") << qint64(1999) << 1;
        QTest::newRow("a day on") << qint64(86400000) + 250 << 250;
    }
    void animationGrid() {
        QFETCH(qint64, sinceStart);
        QFETCH(int, delay);
        QCOMPARE(AnimationDelay(sinceStart), delay);
    }

    // The emblem on a black and on a white panel at tray sizes: enough of it stands out from
    // either (a tenth of full contrast is not enough), not three dashes on a dark one. The
    // panels are kept as icon-on-panels.png for a person to look at.
    void emblemReadsOnDarkAndLightPanels() {
        const QList<int> sizes = {16, 20, 24};
        QImage shot(8 + 32 * sizes.size(), 64, QImage::Format_RGB32);
        QPainter painter(&shot);
        for (const QColor panel : {QColor(Qt::black), QColor(Qt::white)}) {
            const int top = panel == Qt::black ? 0 : 32;
            painter.fillRect(0, top, shot.width(), 32, panel);
            for (qsizetype i = 0; i < sizes.size(); ++i) {
                const int size = sizes[i];
                QImage icon(size, size, QImage::Format_RGB32);
                icon.fill(panel);
                QPainter(&icon).drawPixmap(0, 0, AppIcon().pixmap(size));
                int standing = 0;
                for (int y = 0; y < size; ++y)
                    for (int x = 0; x < size; ++x)
                        standing += qAbs(qGray(icon.pixel(x, y)) - qGray(panel.rgb())) >= 96;
                QVERIFY2(standing * 10 >= size * size * 3,
                         qPrintable(QString("%1 px on %2: %3 of %4 pixels stand out")
                                        .arg(size)
                                        .arg(panel.name())
                                        .arg(standing)
                                        .arg(size * size)));
                painter.drawImage(8 + 32 * int(i), top + (32 - size) / 2, icon);
            }
        }
        painter.end();
        QVERIFY(shot.save(QDir::current().filePath("icon-on-panels.png")));
    }

    // A check that begins 300 ms into a tick and lasts 300 ms still shows the busy icon, as
    // it would under a timer that never sleeps.
    void shortCheckAnimates() {
        TrayWorld w; // the animation's grid starts now
        w.tray->AddIcon();
        w.tray->ChangeIcon(); // idle: asleep
        QTest::qWait(800);
        w.status.checking = true;
        w.tray->OnCheckingChanged(true);
        QTest::qWait(300);
        QVERIFY(!w.tray->ShowsEmblem());
        QCOMPARE(w.tray->tmrChangeIcon.interval(), TrayIcon::AnimationMs);
    }

    void menuAndEvents() {
        TrayWorld w;
        const QList<QAction*> items = w.tray->Menu().actions();
        QCOMPARE(items.size(), 5);
        QCOMPARE(items[0]->text(), QString("Show Control Centre"));
        QCOMPARE(items[1]->text(), QString("Check Mail"));
        QVERIFY(items[2]->isSeparator());
        QCOMPARE(items[3]->text(), QString("About"));
        QCOMPARE(items[4]->text(), QString("Exit"));

        w.centreVisible = true;
        w.tray->OnTrayEvent(TrayIcon::Event::Other);
        QVERIFY(!items[4]->isEnabled());
        QVERIFY(items[0]->isEnabled() && items[1]->isEnabled() && items[3]->isEnabled());
        QVERIFY(w.done.isEmpty()); // a single click or a move only refreshes the menu
        w.centreVisible = false;
        w.tray->OnTrayEvent(TrayIcon::Event::Other);
        QVERIFY(items[4]->isEnabled());

        w.tray->OnTrayEvent(TrayIcon::Event::DoubleClick);
        QCOMPARE(w.done, QStringList("show"));
        for (QAction* item : items)
            item->trigger();
        QCOMPARE(w.done, QStringList({"show", "show", "check", "about", "exit"}));
    }
};

class TestControlCentre final : public QObject {
    Q_OBJECT
private slots:
    void layout() {
        Settings settings;
        FixedStatus status;
        UserLists lists(settings);
        ControlCentre c(settings, status, lists, {});
        QCOMPARE(c.windowTitle(), QString("Tarnwick"));
        QCOMPARE(c.size(), QSize(185, 353));
        QCOMPARE(c.lstUsers->geometry(), QRect(8, 24, 169, 160));
        QCOMPARE(c.cmdCheckMail->geometry(), QRect(8, 192, 169, 33));
        QCOMPARE(c.cmdSetup->geometry(), QRect(8, 232, 169, 33));
        QCOMPARE(c.cmdAbout->geometry(), QRect(8, 272, 169, 33));
        QCOMPARE(c.cmdDone->geometry(), QRect(8, 312, 81, 33));
        QCOMPARE(c.cmdExit->geometry(), QRect(96, 312, 81, 33));
        QCOMPARE(c.cmdCheckMail->nextInFocusChain(), c.cmdSetup);
        QCOMPARE(c.cmdSetup->nextInFocusChain(), c.cmdExit);
        QCOMPARE(c.cmdExit->nextInFocusChain(), c.cmdAbout);
        QCOMPARE(c.cmdAbout->nextInFocusChain(), c.cmdDone);
        QVERIFY(!c.isVisible());
    }

    void buttonsAndList() {
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", "h", "p", 3));
        FixedStatus status;
        UserLists lists(settings);
        lists.SetCheckStatus(&status);
        QStringList done;
        ControlCentreActions a;
        a.CheckMail = [&](bool reset) { done << (reset ? "check reset" : "check"); };
        a.ShowSetup = [&] { done << "setup"; };
        a.DoAbout = [&] { done << "about"; };
        a.Exit = [&] { done << "exit"; };
        a.BringDialogsToFront = [&] { done << "front"; };
        ControlCentre c(settings, status, lists, a);
        c.ShowForm();
        QVERIFY(c.isVisible());
        QCOMPARE(c.lstUsers->count(), 1);
        QCOMPARE(c.lstUsers->item(0)->text(), QString("Home - 3 emails"));
        QTest::mouseClick(c.cmdCheckMail, Qt::LeftButton);
        QTest::mouseClick(c.cmdSetup, Qt::LeftButton);
        QTest::mouseClick(c.cmdAbout, Qt::LeftButton);
        QTest::mouseClick(c.cmdExit, Qt::LeftButton);
        QCOMPARE(done, QStringList({"front", "check reset", "setup", "about", "exit"}));
        QTest::keyClick(&c, Qt::Key_Escape);
        QVERIFY(!c.isVisible());
        c.ShowForm();
        QTest::mouseClick(c.cmdDone, Qt::LeftButton);
        QVERIFY(!c.isVisible());
    }

    void closeRules() {
        Settings settings;
        FixedStatus status;
        UserLists lists(settings);
        ControlCentre c(settings, status, lists, {});
        c.ShowForm();
        {
            TraceRecorder trace;
            QVERIFY(!c.QueryUnload(0));
            QCOMPARE(trace.texts,
                     QStringList(
                         {"frmMain QueryUnload - UnloadMode=0", "frmMain QueryUnload - Vis=false",
                          "frmMain QueryUnload - Cancel=1", "frmMain QueryUnload - Finished"}));
        }
        QVERIFY(!c.isVisible());
        {
            TraceRecorder trace;
            QVERIFY(c.QueryUnload(2)); // the desktop session ends
            QVERIFY(!trace.texts.contains("frmMain QueryUnload - Cancel=1"));
            QCOMPARE(trace.texts.last(), QString("frmMain Unload"));
        }
        c.ShowForm();
        c.close(); // the program's own request: refused, hidden
        QVERIFY(!c.isVisible());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return RunTests<TestTray, TestControlCentre>(argc, argv);
}

#include "tst_tray.moc"
