// Which window is in front, and which one answers, when the user opens windows from the tray
// and the control centre in unusual orders: with no window manager and under openbox.
#include "support/peers/ProgramUnderTest.h"
#include "support/peers/RealPeer.h"
#include "support/peers/ScriptedServer.h"

#include <functional>

namespace {
const QString Setup = "^Tarnwick Setup$", About = "^About : Tarnwick$", Editor = "^Add User$";
const QHash<QString, QString> Titles = {{"centre", "Tarnwick"},
                                        {"setup", "Tarnwick Setup"},
                                        {"about", "About : Tarnwick"},
                                        {"editor", "Add User"},
                                        {"alert", "Alert!"}};

struct Run {
    XSession& x;
    Program& p;
    qulonglong icon = 0;
    QHash<QString, qulonglong> w; // the windows seen so far, by role

    bool Shown(qulonglong id) const {
        return x.Run("xwininfo", {"-id", QString::number(id)}).contains("IsViewable");
    }
    void Opens(const QString& role, const QString& title) {
        w[role] = x.WaitForWindow(title, 5000);
    }
    bool Gone(const QString& role) const {
        return WaitFor([&] { return !Shown(w[role]); }, 5000);
    }
    // Presses `control` in the window of `role`.
    void Press(const QString& role, const QString& control) const {
        x.Press(Titles.value(role), control);
    }
    void ControlCentre() { // a double-click on the icon
        x.DoubleClick(icon, 11, 13);
        w["centre"] = p.WaitForControlCentre(5000);
    }
    void Key(const QString& role, const QString& key) const {
        x.XDoTool({"windowfocus", "--sync", QString::number(w[role])});
        x.Key(key);
    }
    bool ClosesByEsc(const QString& role) const { return Key(role, "Escape"), Gone(role); }
    // Nothing shown above `role` covers any part of it, and it has the keyboard.
    bool InFront(const QString& role) const {
        const QList<qulonglong> order = x.StackingOrder();
        const qsizetype at = order.indexOf(w[role]);
        for (qsizetype i = at + 1; at >= 0 && i < order.size(); ++i) {
            if (Shown(order[i]) && x.Geometry(order[i]).intersects(x.Geometry(w[role])))
                return false;
        }
        return at >= 0 && x.XDoTool({"getwindowfocus"}).toULongLong() == w[role];
    }
};

using Step = std::function<void(Run&)>;
struct Row {
    const char* name;
    Step open;                        // what is open
    Step act;                         // what the user does
    QString front;                    // the window that must be in front, with the keyboard
    std::function<bool(Run&)> answer; // the window that must answer does
    bool mail = false;                // a mail alert is on screen first
};

const Step OpenSetup = [](Run& r) {
    r.ControlCentre();
    r.Press("centre", "Setup");
    r.Opens("setup", Setup);
};
const Step OpenAbout = [](Run& r) {
    r.ControlCentre();
    r.Press("centre", "About");
    r.Opens("about", About);
};
const Step AskExit = [](Run& r) { r.w["question"] = r.p.ChooseExit(r.icon); };

const Row Rows[] = {
    {"setup opened again",
     [](Run& r) { OpenSetup(r), r.Press("setup", "Cancel"), r.Gone("setup"); }, OpenSetup, "setup",
     [](Run& r) { return r.ClosesByEsc("setup"); }},
    {"about opened again", [](Run& r) { OpenAbout(r), r.Press("about", "Ok"), r.Gone("about"); },
     OpenAbout, "about", [](Run& r) { return r.ClosesByEsc("about"); }},
    {"editor opened again",
     [](Run& r) {
         OpenSetup(r), r.Press("setup", "Add"), r.Opens("editor", Editor);
         r.Press("editor", "Cancel"), r.Gone("editor");
     },
     [](Run& r) { r.ControlCentre(), r.Press("setup", "Add"), r.Opens("editor", Editor); },
     "editor", [](Run& r) { return r.ClosesByEsc("editor"); }},
    {"yes after setup opened under the question", [](Run& r) { AskExit(r), OpenSetup(r); },
     [](Run& r) { // "Yes" meets the setup rule at once
         r.Key("question", "Return");
         r.w["box"] = r.p.WaitForMessageBox(r.w["question"], 3000);
     },
     "box", [](Run& r) { return r.ClosesByEsc("box") && r.p.Running(); }},
    {"a tray box over the alert",
     [](Run& r) {
         WaitFor([&] { return (r.w["alert"] = r.x.WaitForWindow("^Alert!$", 100)); }, PeerStartMs);
         WaitFor([&] { return r.x.Geometry(r.w["alert"]).top() == 0; }, 5000);
     },
     AskExit, "question",
     [](Run& r) { // "Hide Permanently" saves the count
         r.Press("alert", "Hide Permanently");
         return WaitFor(
             [&] { return r.p.ReadSettings().value_or(Settings()).Users[0].NumMails == 3; }, 5000);
     },
     true},
    {"about from the tray over the exit question", AskExit,
     [](Run& r) { r.x.ChooseFromMenu(r.icon, "About"), r.Opens("about", About); }, "about",
     [](Run& r) { return r.ClosesByEsc("question") && r.ClosesByEsc("about") && r.p.Running(); }},
};
} // namespace

class TestStacking final : public QObject {
    Q_OBJECT
private slots:
    void windowsInFront_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("windowManager");
        for (int row = 0; row < int(std::size(Rows)); ++row) {
            QTest::newRow(Rows[row].name) << row << false;
            QTest::addRow("%s (openbox)", Rows[row].name) << row << true;
        }
    }
    void windowsInFront() {
        QFETCH(int, row);
        QFETCH(bool, windowManager);
        const Row& r = Rows[row];
        ScriptedServer server;
        server.Queue(Conversation(
            {"+OK\r\n", "+OK\r\n", "+OK\r\n", "+OK 3 300\r\n", "-ERR\r\n", "+OK\r\n"}));
        // One display for each kind, shared by the rows: each row's program ends with it.
        std::unique_ptr<XSession>& x = sessions_[windowManager];
        if (!x) {
            x = std::make_unique<XSession>();
            if (windowManager)
                x->WithWindowManager();
            TARNWICK_START_PEER(*x);
        }
        Program program(*x);
        Settings settings;
        if (r.mail)
            AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "secret"));
        Run run{*x, program, program.StartWith(settings), {}};
        QVERIFY2(run.icon != 0, qPrintable(program.Output()));

        r.open(run);
        r.act(run);
        QVERIFY2(run.w[r.front] != 0, qPrintable(program.Output()));
        const bool front = WaitFor([&] { return run.InFront(r.front); }, 3000);
        x->Screenshot(ShotPath(QString(QTest::currentDataTag()).replace(' ', '-') + ".png"));
        QVERIFY2(front, qPrintable(r.front));
        QVERIFY2(r.answer(run), qPrintable(program.Output()));
    }

private:
    std::unique_ptr<XSession> sessions_[2];
};

QTEST_GUILESS_MAIN(TestStacking)
#include "tst_stacking.moc"
