// The configuration windows: the password prompt, the user editor, the setup window and the
// about window, worked through their buttons while they run modally.
#include "ModalScript.h"
#include "alerts/AlertWindow.h"
#include "check/MailboxTest.h"
#include "check/ServerAddress.h"
#include "core/Accounts.h"
#include "core/Autostart.h"
#include "core/Cipher.h"
#include "core/OpenWith.h"
#include "core/Options.h"
#include "core/SettingsFile.h"
#include "shell/ControlCentre.h"
#include "support/Layout.h"
#include "support/TestWorld.h"
#include "support/doubles/RecordingDialogs.h"
#include "support/doubles/TraceRecorder.h"
#include "support/peers/RealPeer.h"
#include "support/peers/ScriptedServer.h"
#include "support/peers/TestCertificates.h"
#include "support/peers/TokenServer.h"
#include "ui/AboutWindow.h"
#include "ui/DialogFrame.h"
#include "ui/EditUserWindow.h"
#include "ui/PasswordWindow.h"
#include "ui/SetupState.h"
#include "ui/SetupWindow.h"
#include "ui/UserEntry.h"
#include "ui/UserListBox.h"
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QStyle>
#include <QTemporaryDir>

namespace {
struct World {
    World() { lists.SetCheckStatus(&status); }

    Settings settings;
    FixedStatus status;
    MailboxStates& states = status.states;
    RecordingDialogs dialogs;
    SideFile side{QString()};
    Accounts accounts{settings, side};
    UserLists lists{settings};
    PasswordWindow password;
    EditUserWindow editor{settings, dialogs, password};
    int saves = 0;
    bool saveOk = true;
    SetupWindow setup{accounts, dialogs, lists, editor, [this] {
                          ++saves;
                          return saveOk;
                      }};
};

// How much of `control`'s width shows: labels raised over it (the setup window's value labels
// over their captions) hide the rest.
int VisibleWidth(const QWidget& control) {
    int right = control.geometry().right() + 1;
    const QObjectList& siblings = control.parentWidget()->children();
    for (qsizetype i = siblings.indexOf(&control) + 1; i < siblings.size(); ++i) {
        const auto* above = qobject_cast<const QLabel*>(siblings[i]);
        if (above && above->geometry().intersects(control.geometry()) && above->x() > control.x())
            right = std::min(right, above->x());
    }
    return right - control.x();
}

// The width `control`'s caption needs, with what its kind draws beside the text.
int NeededWidth(const QWidget& control, const QString& text) {
    int width = QFontMetrics(control.font()).horizontalAdvance(text);
    const QStyle* style = control.style();
    if (qobject_cast<const QCheckBox*>(&control))
        width += style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, &control) +
                 style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, &control);
    else if (qobject_cast<const QPushButton*>(&control))
        width += 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &control) + 4;
    else if (const auto* label = qobject_cast<const QLabel*>(&control))
        width += std::max(label->indent(), 0);
    return width;
}

// Every field of every user, identities included.
QStringList Describe(const Settings& s) {
    QStringList out;
    for (int i = 0; i <= s.LastUser; ++i) {
        const UserRecord& u = s.Users[i];
        out << QStringLiteral("%1|%2|%3|%4|%5|%6")
                   .arg(u.ScreenName, u.Username, u.MailServer, u.Password)
                   .arg(u.NumMails)
                   .arg(u.Id);
    }
    return out;
}

// Sets the editor's password through the password prompt.
void SetPassword(QWidget& editor, const QString& password) {
    WhenModal("frmPassword", [password](QWidget& prompt) {
        QTest::keyClicks(Control(prompt, "txtPassword"), password);
        Press(prompt, "cmdOk");
    });
    Press(editor, "cmdEditPassword");
}

void FillEditor(QWidget& editor, const QString& screen, const QString& server,
                const QString& login) {
    Type(editor, "txtScreenname", screen);
    Type(editor, "txtMailserver", server);
    Type(editor, "txtUsername", login);
}

// Adds a valid user the way a person does, from an open setup window or on its own.
bool AddThroughEditor(EditUserWindow& editor, const QString& screen, const QString& login,
                      int* userNum = nullptr) {
    WhenModal("frmEditAdd", [=](QWidget& w) {
        FillEditor(w, screen, QStringLiteral("pop.example"), login);
        SetPassword(w, QStringLiteral("pw"));
        Press(w, "cmdOk");
    });
    int n = -1;
    const bool added = editor.ShowForm(n);
    if (userNum)
        *userNum = n;
    return added;
}

QStringList FocusOrder(QWidget& window) {
    QStringList names;
    for (QWidget* w = window.nextInFocusChain(); w && w != &window; w = w->nextInFocusChain()) {
        if (w->parentWidget() == &window && (w->focusPolicy() & Qt::TabFocus))
            names << w->objectName();
    }
    return names;
}
} // namespace

class TestConfig final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { NameDropDownsByLabel(); }
    void init() {
        // Every raise goes through the one that knows the headless platforms have none.
        QTest::failOnWarning(QRegularExpression("does not support raise"));
        // A window left open by a failed step would block the test: close it.
        watchdog_.setInterval(10000);
        connect(&watchdog_, &QTimer::timeout, this, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                qWarning("closing %s left open", qPrintable(modal->objectName()));
                modal->close();
            }
        });
        watchdog_.start();
    }
    void cleanup() { watchdog_.stop(); }

    void windowLayouts() {
        World w;
        AboutWindow about;
        // The two "Set" buttons, named by what they set.
        for (const auto& [button, name] : {std::pair{"cmdSetCheck", "Set Check Interval"},
                                           {"cmdSetShow", "Set Show Interval"}}) {
            auto* set = w.setup.findChild<QPushButton*>(button);
            QCOMPARE(set->text(), QString("Set"));
            QCOMPARE(QAccessible::queryAccessibleInterface(set)->text(QAccessible::Name),
                     QString(name));
        }
        struct Expect {
            QDialog* window;
            QString caption;
            QSize client;
            QStringList tabs;     // the controls in their focus order
            QStringList labels;   // and those that take no focus
            QStringList overlaps; // the value labels stand in front of their captions
        };
        const QList<Expect> expected = {
            {&w.password,
             "Set Password",
             {185, 73},
             {"txtPassword", "cmdOk", "cmdCancel"},
             {"lblPassword"},
             {}},
            {&w.editor,
             "Add User",
             {241, 417},
             {"txtScreenname", "txtMailserver",   "cboProtocol",  "cboSecurity", "txtUsername",
              "cboSignIn",     "cmdEditPassword", "cmdSignIn",    "cmdOk",       "cmdCancel",
              "cmdTest",       "chkQuietHours",   "txtQuietFrom", "txtQuietTo",  "chkMonday",
              "chkTuesday",    "chkWednesday",    "chkThursday",  "chkFriday",   "chkSaturday",
              "chkSunday",     "txtOpenWith"},
             {"lblScreenname", "lblMailserver", "lblProtocol", "lblSecurity", "lblUsername",
              "lblSignIn", "lblPassword", "lblSignedIn", "lblQuietFrom", "lblQuietTo",
              "lblQuietFormat", "lblOpenWith", "lblOpenWithNote"},
             {"lblPassword+cmdSignIn", "cmdEditPassword+lblSignedIn"}}, // they take turns
            {&w.setup,
             "Tarnwick Setup",
             {185, 417},
             {"lstUsers", "cmdAdd", "cmdEdit", "cmdDelete", "cmdSetCheck", "cmdSetShow",
              "chkShowErrs", "chkStartAtLogin", "chkKeyring", "chkDesktopNotifications",
              "chkShowSenders", "cmdOk", "cmdCancel"},
             {"lblUsers", "lblCheckIntCap", "lblCheckInt", "lblShowIntCap", "lblShowInt"},
             {"lblCheckIntCap+lblCheckInt", "lblShowIntCap+lblShowInt"}},
            {&about,
             "About : Tarnwick",
             {280, 153},
             {"cmdOk"},
             {"lblCreatorCap", "lblCreator", "lblVersCap", "lblVers", "lblEMailCap", "lblEMail",
              "lblWebCap", "lblWeb", "lblCopyrightCap", "lblCopyright"},
             {}},
        };
        for (const Expect& e : expected) {
            const QByteArray name = e.window->objectName().toLatin1();
            QCOMPARE(e.window->windowTitle(), e.caption);
            QCOMPARE(e.window->size(), e.client);
            QCOMPARE(e.window->minimumSize(), e.client);
            QCOMPARE(e.window->maximumSize(), e.client);
            const Qt::WindowFlags flags = e.window->windowFlags();
            QVERIFY2(flags & Qt::WindowCloseButtonHint, name);
            QVERIFY2(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)),
                     name);
            QStringList names;
            for (const QWidget* c : e.window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                names << c->objectName();
            QCOMPARE(names.size(), e.tabs.size() + e.labels.size());
            for (const QString& control : e.tabs + e.labels)
                QVERIFY2(names.contains(control), qPrintable(control));
            QCOMPARE(LayoutFaults(*e.window, e.overlaps).join(", "), QString());
            QCOMPARE(FocusOrder(*e.window), e.tabs);
            // Return presses no button, but "Ok" in the password prompt.
            for (QPushButton* b : e.window->findChildren<QPushButton*>()) {
                QVERIFY2(!b->autoDefault(), qPrintable(b->objectName()));
                QCOMPARE(b->isDefault(), e.window == &w.password && b->objectName() == "cmdOk");
            }
        }
        QCOMPARE(Control<QLineEdit>(w.password, "txtPassword")->echoMode(), QLineEdit::Password);
        QVERIFY(!Control(w.password, "cmdOk")->isEnabled());
        QCOMPARE(Control<QLabel>(about, "lblVers")->text(), QString());
        QCOMPARE(Control<QLabel>(about, "lblCreator")->text(), QString("The Tarnwick developers"));
        // No made-up address or site, and the year of the build.
        for (const char* name : {"lblEMail", "lblWeb"})
            QVERIFY(!Control<QLabel>(about, name)->text().contains("example"));
        QCOMPARE(Control<QLabel>(about, "lblCopyright")->text(),
                 QString("The Tarnwick developers, %1").arg(QDate::currentDate().year()));
    }

    void captionsFitTheirRectangles_data() {
        QTest::addColumn<QString>("window");
        for (const char* name :
             {"frmPassword", "frmEditAdd", "frmSetup", "frmAbout", "frmMain", "frmAlert"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void captionsFitTheirRectangles() {
        QFETCH(QString, window);
        World w;
        AboutWindow about;
        FixedStatus status;
        ControlCentre centre(w.settings, status, w.lists, {});
        ManualClock clock;
        AlertPresenter presenter(
            w.settings, w.states, clock, [] { return true; }, [] { return false; });
        AlertWindow alert(presenter);
        alert.Body(); // the controls, as the first alert makes them
        const QMap<QString, QWidget*> windows = {
            {"frmPassword", &w.password}, {"frmEditAdd", &w.editor}, {"frmSetup", &w.setup},
            {"frmAbout", &about},         {"frmMain", &centre},      {"frmAlert", &alert}};
        int checked = 0;
        for (QWidget* control : windows[window]->findChildren<QWidget*>()) {
            QString text;
            if (auto* label = qobject_cast<QLabel*>(control))
                text = label->text();
            else if (auto* button = qobject_cast<QAbstractButton*>(control))
                text = button->text();
            if (text.isEmpty())
                continue;
            const QString what = control->objectName() + " \"" + text + "\"";
            const int needed = NeededWidth(*control, text);
            const int visible = VisibleWidth(*control);
            QVERIFY2(
                needed <= visible,
                qPrintable(
                    QStringLiteral("%1 needs %2 px of %3").arg(what).arg(needed).arg(visible)));
            QVERIFY2(QFontMetrics(control->font()).height() <= control->height(), qPrintable(what));
            ++checked;
        }
        QVERIFY(checked > 0);
    }

    void valueLabelsShowEverySixteenBitValue_data() {
        QTest::addColumn<qint16>("value");
        for (const qint16 value :
             {qint16(5), qint16(-3), qint16(546), qint16(32767), qint16(-32768)})
            QTest::addRow("%d", value) << value;
    }
    void valueLabelsShowEverySixteenBitValue() {
        QFETCH(qint16, value);
        World w;
        Settings& copy = w.setup.Copy().table; // what setup shows
        copy.CheckInterval = value;
        copy.ShowInterval = value;
        w.setup.PopInts();
        for (const char* name : {"lblCheckInt", "lblShowInt"}) {
            const QLabel* label = Control<QLabel>(w.setup, name);
            QCOMPARE(label->text(), QString::number(value));
            QCOMPARE(label->x(), 128); // the left edge stays where it is
            QVERIFY2(NeededWidth(*label, label->text()) <= VisibleWidth(*label), name);
        }
        // A short value after a long one is shown in the window's size again.
        copy.CheckInterval = 5;
        w.setup.PopInts();
        QCOMPARE(Control<QLabel>(w.setup, "lblCheckInt")->font().pixelSize(),
                 WindowFont().pixelSize());
    }

    void passwordPrompt() {
        PasswordWindow prompt;
        WhenModal("frmPassword", [](QWidget& d) {
            QLineEdit* text = Control<QLineEdit>(d, "txtPassword");
            QWidget* ok = Control(d, "cmdOk");
            QVERIFY(!ok->isEnabled());
            QTest::keyClick(text, Qt::Key_X);
            QVERIFY(ok->isEnabled());
            QTest::keyClick(text, Qt::Key_Backspace);
            QVERIFY(!ok->isEnabled());
            QTest::keyClick(text, Qt::Key_Return); // with the field empty Return does nothing
            QVERIFY(d.isVisible());
            QTest::keyClicks(text, "   ");
            QTest::keyClick(text, Qt::Key_Return); // Return presses "Ok", the default button
        });
        QCOMPARE(prompt.GetNewPass(), QString("   ")); // blanks only, returned unchanged

        // A second use starts empty, then every way of cancelling gives the empty string.
        for (const char* way : {"button", "esc", "close"}) {
            TraceRecorder trace;
            WhenModal("frmPassword", [way](QWidget& d) {
                QCOMPARE(Control<QLineEdit>(d, "txtPassword")->text(), QString());
                QVERIFY(!Control(d, "cmdOk")->isEnabled());
                QTest::keyClicks(Control(d, "txtPassword"), "secret");
                if (QByteArray(way) == "button")
                    Press(d, "cmdCancel");
                else if (QByteArray(way) == "esc")
                    QTest::keyClick(&d, Qt::Key_Escape);
                else
                    d.close();
            });
            QCOMPARE(prompt.GetNewPass(), QString());
            const QStringList traced =
                QByteArray(way) == "close"
                    ? QStringList{"frmPassword QueryUnload", "frmPassword Unload"}
                    : QStringList{};
            QCOMPARE(trace.texts, traced);
        }
    }

    void editorRules_data() {
        QTest::addColumn<int>("editIndex");
        QTest::addColumn<QStringList>("entry"); // screen name, mail server, user name, password
        QTest::addColumn<QStringList>("messages");
        const auto row = [](const char* name, int editIndex, const QStringList& entry,
                            const QStringList& messages) {
            QTest::newRow(name) << editIndex << entry << messages;
        };
        const QString blankScreen = "Screenname cannot be left blank!";
        const QString usedScreen = "Screenname must be unique!";
        const QString blankServer = "Mail server cannot be left blank!";
        const QString blankLogin = "Username cannot be left blank!";
        const QString usedAccount = "Mail server with Username must be unique!";
        const QString blankPassword = "Password cannot be left blank!";
        const QString badTail = " contains a line break or a character that cannot be saved!";
        const QString omega = QString::fromUtf8("\xce\xa9");
        const QString euro = QString::fromUtf8("\xe2\x82\xac");
        // The table holds Home (bob@pop.home) at 0 and Work (alice@mail.work) at 1.
        row("valid, same login elsewhere", -1, {"Play", "pop.play", "bob", "p"}, {});
        row("blank screen", -1, {"", "s", "l", "p"}, {blankScreen});
        row("screen in other case", -1, {"HOME", "s", "l", "p"}, {usedScreen});
        row("blank server", -1, {"N", "", "l", "p"}, {blankServer});
        row("blank login", -1, {"N", "s", "", "p"}, {blankLogin});
        row("account in other case", -1, {"N", "POP.Home", "BOB", "p"}, {usedAccount});
        row("blank password", -1, {"N", "s", "l", ""}, {blankPassword});
        row("edit unchanged", 0, {"Home", "pop.home", "bob", "pw"}, {});
        row("edit onto another", 0, {"work", "MAIL.work", "Alice", "pw"},
            {usedScreen, usedAccount});
        row("single blank", -1, {" ", "s", "l", "p"}, {});
        row("trailing blank", -1, {"Home ", "s", "l", "p"}, {});
        row("everything blank", -1, {"", "", "", ""},
            {blankScreen, blankServer, blankLogin, blankPassword});
        row("three blank in edit", 1, {"", "", "", "pw"}, {blankScreen, blankServer, blankLogin});
        row("euro fits the code page", -1, {euro, "s", "l", "p"}, {});
        row("unstorable texts, after the rules", -1, {"", "pop\r\nx", "b" + omega, "p"},
            {blankScreen, "Mail server" + badTail, "Username" + badTail});
        row("CR LF pair in the password", -1, {"N", "s", "l", "a\r\nb"}, {"Password" + badTail});
        // The file holds a lone CR or LF as it is; a host name cannot.
        row("lone CR and LF", -1, {"A\rB", "s", "\n", "p\r"}, {});
        row("lone LF in the mail server", -1, {"N", "s\nt", "l", "p"},
            {"Mail server \"s\nt\" is not valid: the host holds a blank or a control character!"});
        row("scheme without //", -1, {"N", "pop3s:pop.example", "l", "p"},
            {"Mail server \"pop3s:pop.example\" is not valid: the scheme must be followed by "
             "\"//\", as in pop3s://pop.example!"});
        row("unreadable server", -1, {"N", "smtp://s", "l", ""},
            {"Mail server \"smtp://s\" is not valid: unknown scheme \"smtp\" (known are pop3, "
             "pop3s, pop3+starttls, imap, imaps and imap+starttls)!",
             blankPassword});
    }

    void editorRules() {
        QFETCH(int, editIndex);
        QFETCH(QStringList, entry);
        QFETCH(QStringList, messages);
        Settings s;
        AddUser(s, MakeUser("Home", "bob", "pop.home", "pw"));
        AddUser(s, MakeUser("Work", "alice", "mail.work", "pw"));
        QCOMPARE(ValidateUserEntries(s, editIndex, {entry[0], entry[1], entry[2], entry[3]}),
                 messages);
    }

    // An entry that would take the settings past the file's limit names the text to shorten,
    // or says that the list is full when shortening one text is not enough.
    void editorRoomRule_data() {
        QTest::addColumn<int>("editIndex");
        QTest::addColumn<QStringList>("entry");
        QTest::addColumn<int>("over"); // bytes past the limit once stored
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<bool>("roomForAnother");
        const QStringList small{"N", "s", "l", "p"};
        const QString name20(20, 'n');
        QTest::newRow("add, at the limit") << -1 << small << 0 << QString() << true;
        QTest::newRow("add, a long screen name")
            << -1 << QStringList{name20, "s", "l", "p"} << 1 << "Screenname is too long" << true;
        QTest::newRow("add, list full") << -1 << small << 2 << "The user list is full" << false;
        QTest::newRow("edit, at the limit")
            << 1 << QStringList{"W", "mail.work", name20, "pw"} << 0 << QString() << false;
        QTest::newRow("edit, a long user name") << 1 << QStringList{"W", "mail.work", name20, "pw"}
                                                << 19 << "Username is too long" << false;
        QTest::newRow("edit, list full") << 1 << QStringList{"W", "mail.work", name20, "pw"} << 20
                                         << "The user list is full" << false;
    }
    void editorRoomRule() {
        QFETCH(int, editIndex);
        QFETCH(QStringList, entry);
        QFETCH(int, over);
        QFETCH(QString, refusal);
        QFETCH(bool, roomForAnother);
        const UserEntry e{entry[0], entry[1], entry[2], entry[3]};
        World w;
        AddUser(w.settings, MakeUser("Big", "big", "pop.big", ""));
        AddUser(w.settings, MakeUser("Work", "work", "mail.work", "pw"));
        // The settings text as it would be stored, measured with an empty password for Big.
        Settings stored = w.settings;
        int n = editIndex;
        QVERIFY(StoreUserEntry(stored, n, e));
        w.settings.Users[0].Password.fill('b',
                                          MaxPlainLength + over - BuildSettingsText(stored).size());

        const QStringList messages = ValidateUserEntries(w.settings, editIndex, e);
        if (refusal.isEmpty()) {
            QCOMPARE(messages, QStringList());
        } else {
            QCOMPARE(messages,
                     QStringList{refusal + QString(": the settings would take %1 bytes, more "
                                                   "than the 32765 that the settings file can "
                                                   "hold!")
                                               .arg(MaxPlainLength + over)});
        }
        QCOMPARE(RoomForAnotherUser(w.settings), roomForAnother);
        if (!roomForAnother) { // refused before the window opens
            int add = -1;
            QVERIFY(!w.editor.ShowForm(add));
            QCOMPARE(w.dialogs.messages, QStringList(TableFullMessage));
        }
    }

    // A lone LF loaded from the file shows as a blank; "Ok" unchanged keeps it.
    void editorKeepsALoneLineBreak() {
        World w;
        AddUser(w.settings, MakeUser("Ho\nme", "bob", "pop.home", "pw"));
        const QStringList before = Describe(w.settings);
        WhenModal("frmEditAdd", [](QWidget& d) { Press(d, "cmdOk"); });
        int n = 0;
        QVERIFY(w.editor.ShowForm(n));
        QCOMPARE(w.dialogs.messages, QStringList());
        QCOMPARE(Describe(w.settings), before);
    }

    void editorShowsOneBoxAndStaysOpen() {
        World w;
        AddUser(w.settings, MakeUser("Home", "bob", "pop.home", "pw"));
        const QStringList before = Describe(w.settings);
        WhenModal("frmEditAdd", [&w](QWidget& d) {
            QCOMPARE(d.windowTitle(), QString("Edit User"));
            QCOMPARE(Control<QAbstractButton>(d, "cmdOk")->text(), QString("Ok"));
            QCOMPARE(Control<QAbstractButton>(d, "cmdEditPassword")->text(),
                     QString("Edit Password"));
            FillEditor(d, "", "", "");
            Press(d, "cmdOk");
            QCOMPARE(w.dialogs.messages, QStringList("Screenname cannot be left blank!\r\n"
                                                     "Mail server cannot be left blank!\r\n"
                                                     "Username cannot be left blank!"));
            QVERIFY(d.isVisible());
            // Pasted text with a line break is refused and left as it was.
            Control<QLineEdit>(d, "txtScreenname")->setText("Ho\r\nme");
            Type(d, "txtMailserver", "pop.home");
            Type(d, "txtUsername", "bob");
            Press(d, "cmdOk");
            QCOMPARE(w.dialogs.messages.last(),
                     QString("Screenname contains a line break or a character that cannot be "
                             "saved!"));
            QVERIFY(d.isVisible());
            QCOMPARE(Control<QLineEdit>(d, "txtScreenname")->text(), QString("Ho\r\nme"));
            QTest::keyClick(&d, Qt::Key_Escape);
        });
        int n = 0;
        QVERIFY(!w.editor.ShowForm(n));
        QCOMPARE(Describe(w.settings), before);
    }

    void editorAddsCleanRecordAfterDelete() {
        World w;
        AddUser(w.settings, MakeUser("A", "b", "s", "p"));
        AddUser(w.settings, MakeUser("B", "c", "s", "p"));
        AddUser(w.settings, MakeUser("C", "d", "s", "p", 9));
        w.states.Set(w.settings.Users[2].Id, State(4, true, 100, 200));
        w.settings.DeleteUser(0); // entry 2 is spare now and still holds C
        const QSet<quint64> ids{w.settings.Users[0].Id, w.settings.Users[1].Id};

        WhenModal("frmEditAdd", [](QWidget& d) {
            QCOMPARE(d.windowTitle(), QString("Add User"));
            WhenModal("frmPassword", [](QWidget& p) { Press(p, "cmdCancel"); });
            Press(d, "cmdEditPassword");
            QVERIFY(!Control(d, "cmdOk")->isEnabled());
            QCOMPARE(Control<QAbstractButton>(d, "cmdOk")->text(), QString("Please Set Password"));
            QCOMPARE(Control<QAbstractButton>(d, "cmdEditPassword")->text(),
                     QString("Set Password"));
            SetPassword(d, "pw");
            QCOMPARE(Control<QAbstractButton>(d, "cmdOk")->text(), QString("Ok"));
            QCOMPARE(Control<QAbstractButton>(d, "cmdEditPassword")->text(),
                     QString("Edit Password"));
            FillEditor(d, "New", "s", "a");
            Press(d, "cmdOk");
        });
        int n = -1;
        QVERIFY(w.editor.ShowForm(n));
        QCOMPARE(n, 2); // its index before the sort
        QCOMPARE(w.settings.LastUser, qint16(2));
        const UserRecord& added = w.settings.Users[0]; // login "a" sorts first
        QCOMPARE(added.ScreenName, QString("New"));
        QCOMPARE(added.Password, QString("pw"));
        QCOMPARE(added.NumMails, 0);
        QCOMPARE(w.states.Of(added.Id), MailboxState()); // nothing new, hidden, shown or checked
        QVERIFY(added.Id != 0 && !ids.contains(added.Id));
        QCOMPARE(UserLine(w.settings, 0, nullptr), QString("New - 0 emails"));

        // Editing the busy user keeps its counts, flags and identity; the sort moves it.
        const UserRecord before = w.settings.Users[2];
        WhenModal("frmEditAdd", [](QWidget& d) {
            QCOMPARE(Control<QLineEdit>(d, "txtUsername")->text(), QString("d"));
            Type(d, "txtUsername", "0");
            Press(d, "cmdOk");
        });
        n = 2;
        QVERIFY(w.editor.ShowForm(n));
        const UserRecord& edited = w.settings.Users[0];
        QCOMPARE(edited.Username, QString("0"));
        QCOMPARE(edited.Password, QString("p"));
        QCOMPARE(edited.NumMails, 9);
        QCOMPARE(w.states.Of(edited.Id), State(4, true, 100, 200));
        QCOMPARE(edited.Id, before.Id);
    }

    // The drop-down shows and writes the scheme; the field holds host and port.
    void editorSecurity_data() {
        QTest::addColumn<QString>("stored"); // before; empty: adding
        QTest::addColumn<QString>("shownServer");
        QTest::addColumn<QString>("shownSecurity");
        QTest::addColumn<QString>("typed");  // into the field, when not empty
        QTest::addColumn<QString>("chosen"); // in the drop-down, when not empty
        QTest::addColumn<QString>("saved");
        QTest::newRow("new user: TLS") << ""
                                       << ""
                                       << "TLS"
                                       << "pop.example"
                                       << ""
                                       << "pop3s://pop.example";
        QTest::newRow("new user, None, port") << ""
                                              << ""
                                              << "TLS"
                                              << "pop.example:1110"
                                              << "None"
                                              << "pop.example:1110";
        QTest::newRow("plain stays plain") << "pop.home"
                                           << "pop.home"
                                           << "None"
                                           << ""
                                           << ""
                                           << "pop.home";
        QTest::newRow("STARTTLS, port kept") << "POP3+STARTTLS://[::1]:2110"
                                             << "[::1]:2110"
                                             << "STARTTLS"
                                             << ""
                                             << "TLS"
                                             << "pop3s://[::1]:2110";
        // The old mode's standard port follows the mode; any other port stays.
        const auto switched = [](const char* name, const char* stored, const char* chosen,
                                 const char* saved) {
            QTest::newRow(name) << stored << HostAndPort(stored)
                                << (QString(stored).startsWith("pop3s") ? "TLS" : "None") << ""
                                << chosen << saved;
        };
        switched("995 to STARTTLS", "pop3s://h:995", "STARTTLS", "pop3+starttls://h");
        switched("110 to TLS", "h:110", "TLS", "pop3s://h");
        switched("110 to STARTTLS", "h:110", "STARTTLS", "pop3+starttls://h");
        switched("995 to None", "pop3s://[::1]:995", "None", "[::1]");
        switched("other port kept", "pop3s://h:2995", "None", "h:2995");
        switched("110 typed for TLS stays", "pop3s://h:110", "STARTTLS", "pop3+starttls://h:110");
        // The protocol moves the standard port along too (110 and 143, 995 and 993); a folder
        // stays with IMAP.
        QTest::newRow("110 to IMAP") << "h:110"
                                     << "h:110"
                                     << "None"
                                     << ""
                                     << "IMAP"
                                     << "imap://h";
        QTest::newRow("995 to IMAP") << "pop3s://h:995"
                                     << "h:995"
                                     << "TLS"
                                     << ""
                                     << "IMAP"
                                     << "imaps://h";
        QTest::newRow("993 to POP3, folder gone") << "imaps://h:993/Sent"
                                                  << "h:993/Sent"
                                                  << "TLS"
                                                  << ""
                                                  << "POP3"
                                                  << "pop3s://h";
        QTest::newRow("IMAP, other port and folder kept") << "imap+starttls://h:1143/Sent"
                                                          << "h:1143/Sent"
                                                          << "STARTTLS"
                                                          << ""
                                                          << "TLS"
                                                          << "imaps://h:1143/Sent";
        QTest::newRow("new IMAP user with a folder") << ""
                                                     << ""
                                                     << "TLS"
                                                     << "h/Entw%C3%BCrfe"
                                                     << "IMAP"
                                                     << "imaps://h/Entw%C3%BCrfe";
        QTest::newRow("typed scheme sets the choice") << "pop.home"
                                                      << "pop.home"
                                                      << "None"
                                                      << "pop3+starttls://pop.home"
                                                      << ""
                                                      << "pop3+starttls://pop.home";
    }
    void editorSecurity() {
        QFETCH(QString, stored);
        QFETCH(QString, shownServer);
        QFETCH(QString, shownSecurity);
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QFETCH(QString, saved);
        World w;
        if (!stored.isEmpty())
            AddUser(w.settings, MakeUser("Home", "bob", stored, "pw"));
        WhenModal("frmEditAdd", [&](QWidget& d) {
            auto* security = Control<QComboBox>(d, "cboSecurity");
            QCOMPARE(Control<QLineEdit>(d, "txtMailserver")->text(), shownServer);
            QCOMPARE(security->currentText(), shownSecurity);
            QCOMPARE(security->count(), 3);
            if (stored.isEmpty()) {
                FillEditor(d, "New", "", "a");
                SetPassword(d, "pw");
            }
            if (!typed.isEmpty())
                Type(d, "txtMailserver", typed);
            auto* protocol = Control<QComboBox>(d, "cboProtocol");
            if (chosen == "IMAP" || chosen == "POP3")
                protocol->setCurrentText(chosen);
            else if (!chosen.isEmpty())
                security->setCurrentText(chosen);
            // Each field is named by its label, whatever it holds.
            for (const auto& [label, name] : {std::pair{"lblMailserver", "Mail Server"},
                                              {"lblProtocol", "Protocol"},
                                              {"lblSecurity", "Security"}}) {
                QWidget* buddy = Control<QLabel>(d, label)->buddy();
                QVERIFY(buddy);
                QCOMPARE(buddy->accessibleName(), QString(name));
                // As a screen reader reads it: a drop-down too, not by its current item.
                QAccessibleInterface* read = QAccessible::queryAccessibleInterface(buddy);
                QVERIFY(read);
                QCOMPARE(read->text(QAccessible::Name), QString(name));
            }
            QCOMPARE(QAccessible::queryAccessibleInterface(protocol)->text(QAccessible::Value),
                     protocol->currentText());
            Press(d, "cmdOk");
        });
        int n = stored.isEmpty() ? -1 : 0;
        QVERIFY(w.editor.ShowForm(n));
        QCOMPARE(w.settings.Users[0].MailServer, saved);
    }

    // The quiet-hours block: off and greyed at first, every day ticked; a time that is not
    // HH:MM is refused by name; what was entered reaches the mailbox's fields by its identity.
    void quietHoursInTheEditor() {
        World w;
        std::map<quint64, QuietHours> kept;
        w.editor.SetQuietHoursAccess({[&](quint64 id) { return kept[id]; },
                                      [&](quint64 id, const QuietHours& h) { kept[id] = h; }});
        WhenModal("frmEditAdd", [&](QWidget& d) {
            FillEditor(d, "Work", "pop.example", "bob");
            SetPassword(d, "pw");
            auto* on = Control<QCheckBox>(d, "chkQuietHours");
            QVERIFY(!on->isChecked());
            QVERIFY(!Control<QLineEdit>(d, "txtQuietFrom")->isEnabled());
            for (const char* day :
                 {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"}) {
                const QByteArray name = QByteArray("chk") + day;
                auto* box = Control<QCheckBox>(d, name.constData());
                QVERIFY(box->isChecked());
                QCOMPARE(QAccessible::queryAccessibleInterface(box)->text(QAccessible::Name),
                         QString(day));
            }
            QCOMPARE(QAccessible::queryAccessibleInterface(Control<QLineEdit>(d, "txtQuietTo"))
                         ->text(QAccessible::Name),
                     QString("Quiet To"));
            on->click();
            Type(d, "txtQuietFrom", "7 pm");
            Type(d, "txtQuietTo", "07:30");
            Control<QCheckBox>(d, "chkSunday")->click();
            Press(d, "cmdOk");
            QCOMPARE(w.dialogs.messages.value(0), QuietTimeMessage.arg("Quiet From"));
            QVERIFY(d.isVisible());
            Type(d, "txtQuietFrom", "19:00");
            Press(d, "cmdOk");
        });
        int n = -1;
        QVERIFY(w.editor.ShowForm(n));
        QCOMPARE(kept[w.settings.Users[0].Id], Quiet("19:00", "07:30", "123456"));
    }

    // Signing in from the editor, with a stand-in browser that approves at once: the provider
    // proposed by the host, the code exchanged, and what is kept of it.
    void signInInTheEditor_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message"); // none: signed in
        QTest::newRow("approved")
            << 200 << QByteArray(R"({"access_token":"A","expires_in":3600,"refresh_token":"R"})")
            << "";
        QTest::newRow("unknown client")
            << 401 << QByteArray(R"({"error":"invalid_client"})")
            << "Tarnwick is not signed in to Company.\r\nThe provider does not know this "
               "program's client ID (invalid_client).";
        QTest::newRow("no refresh token")
            << 200 << QByteArray(R"({"access_token":"A","expires_in":3600})")
            << "Tarnwick is not signed in to Company.\r\nThe provider gave no refresh token: "
               "Tarnwick could not sign in later without the browser.";
        QTest::newRow("not JSON") << 200 << QByteArray("<html>")
                                  << "Tarnwick is not signed in to Company.\r\nThe provider's "
                                     "token address could not be reached: its answer is not JSON.";
    }
    void signInInTheEditor() {
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        World w;
        TokenServer tokens;
        tokens.Queue(status, answer);
        OAuthProvider company;
        company.name = "Company";
        company.authorizationUrl = QUrl("https://id.example.com/auth");
        company.tokenUrl = QUrl(tokens.Url());
        company.clientId = "tarnwick";
        company.scopes = {"mail"};
        company.hosts = {"*.example.com"};
        QNetworkAccessManager browser;
        browser.setProxy(QNetworkProxy::NoProxy);
        QUrlQuery asked;
        std::map<quint64, QString> kept;
        QString remembered;
        w.editor.SetSignInAccess(
            {{company},
             [&](quint64) { return SideFile::Fields{}; },
             [&](quint64 id, const QString& provider, const QString&) { kept[id] = provider; },
             [&](const QUrl& url) {
                 asked = QUrlQuery(url);
                 const QUrl back(asked.queryItemValue("redirect_uri", QUrl::FullyDecoded) +
                                 "?code=C0DE&state=" + asked.queryItemValue("state"));
                 connect(browser.get(QNetworkRequest(back)), &QNetworkReply::finished, &browser,
                         [] {});
                 return true;
             },
             [&](quint64, const QString& token, qint64, const QString&) { remembered = token; }});
        bool accepted = false;
        WhenModal("frmEditAdd", [&](QWidget& d) {
            auto* signIn = Control<QComboBox>(d, "cboSignIn");
            QCOMPARE(QAccessible::queryAccessibleInterface(signIn)->text(QAccessible::Name),
                     QString("Sign-in"));
            FillEditor(d, "Work", "imaps://Mail.Example.com", "bob@example.com");
            QCOMPARE(signIn->currentText(), QString("Company"));
            QVERIFY(!Control(d, "cmdEditPassword")->isVisible());
            QCOMPARE(Control<QLabel>(d, "lblSignedIn")->text(), NotSignedInText);
            QCOMPARE(Control<QPushButton>(d, "cmdOk")->text(), QString("Please Sign In"));
            Press(d, "cmdSignIn");
            QCOMPARE(w.dialogs.messages.value(0), message);
            if (message.isEmpty()) {
                QCOMPARE(Control<QLabel>(d, "lblSignedIn")->text(), SignedInText);
                QCOMPARE(Control<QPushButton>(d, "cmdOk")->text(), QString("Ok"));
                Press(d, "cmdOk");
            } else {
                QVERIFY(!Control(d, "cmdOk")->isEnabled());
                Press(d, "cmdCancel");
            }
        });
        int n = -1;
        accepted = w.editor.ShowForm(n);
        QCOMPARE(asked.queryItemValue("login_hint", QUrl::FullyDecoded), "bob@example.com");
        QCOMPARE(tokens.forms.value(0).queryItemValue("code"), "C0DE");
        QCOMPARE(accepted, message.isEmpty());
        if (accepted) {
            QCOMPARE(w.settings.Users[0].Password, "R"); // kept where a password is
            QCOMPARE(kept[w.settings.Users[0].Id], "Company");
            QCOMPARE(remembered, "A");
        } else {
            QCOMPARE(w.settings.UserCount(), 0);
        }
    }

    // A lost sign-in leads to setup and, over it, to that mailbox's editor: "Sign In…" has
    // the focus, and the sign-in still kept no longer counts as one.
    void signInAgainOpensTheEditor() {
        World w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.example.com", "pw", 0));
        AddUser(w.settings, MakeUser("Work", "bob", "imaps://mail.example.com", "R", 0));
        const quint64 work = w.settings.Users[1].Id;
        SetSignInProvider(w.side.Of(work), "Company", {});
        OAuthProvider company;
        company.name = "Company";
        w.editor.SetSignInAccess({{company}, {}, {}, {}, {}});
        QString shown;
        WhenModal("frmEditAdd", [&](QWidget& d) {
            QVERIFY(w.setup.isVisible());
            shown = Control<QLineEdit>(d, "txtScreenname")->text();
            QCOMPARE(d.focusWidget(), Control(d, "cmdSignIn"));
            QCOMPARE(Control<QLabel>(d, "lblSignedIn")->text(), NotSignedInText);
            Press(d, "cmdCancel");
            QTimer::singleShot(0, &w.setup, [&w] { Press(w.setup, "cmdCancel"); });
        });
        w.setup.SignInAgain(work);
        QCOMPARE(shown, QString("Work"));
        QVERIFY(!w.setup.isVisible());
    }

    // "Command…" keeps the command where the password goes, and the side file says so.
    void tokenCommandInTheEditor() {
        World w;
        std::map<quint64, QString> kept;
        w.editor.SetSignInAccess(
            {{},
             [](quint64) { return SideFile::Fields{}; },
             [&](quint64 id, const QString& how, const QString&) { kept[id] = how; },
             {},
             {}});
        w.dialogs.QueueInput(QString("  helper --account 'bob' "));
        WhenModal("frmEditAdd", [&](QWidget& d) {
            FillEditor(d, "Work", "pop.example", "bob");
            auto* signIn = Control<QComboBox>(d, "cboSignIn");
            QCOMPARE(signIn->itemText(1), CommandItem);
            signIn->setCurrentIndex(1);
            emit signIn->activated(1);
            QCOMPARE(Control<QPushButton>(d, "cmdOk")->text(), QString("Please Set Command"));
            Press(d, "cmdSignIn");
            Press(d, "cmdOk");
        });
        int n = -1;
        QVERIFY(w.editor.ShowForm(n));
        QCOMPARE(w.settings.Users[0].Password, "helper --account 'bob'");
        QCOMPARE(kept[w.settings.Users[0].Id], CommandSignIn);
    }

    // "Open With": below it the editor names the desktop's mail client, or says that there is
    // none; a command whose program is not found is refused; what is accepted goes to the
    // mailbox's side-file fields and comes back at the next edit.
    void openWithInTheEditor() {
        World w;
        AccountsCopy copy = w.accounts.Copy();
        w.editor.Edit(&copy);
        QString client;
        w.editor.SetMailClient([&client] { return client; });
        WhenModal("frmEditAdd", [&](QWidget& d) {
            QCOMPARE(Control<QLabel>(d, "lblOpenWithNote")->text(),
                     QString("Empty: none, this desktop has no mail client"));
            FillEditor(d, "Work", "imap.example", "bob");
            SetPassword(d, "pw");
            Type(d, "txtOpenWith", "/nonexistent/mail --inbox");
            Press(d, "cmdOk");
            QCOMPARE(w.dialogs.messages.value(0),
                     QString("Open With: no program \"/nonexistent/mail\" is found."));
            QVERIFY(d.isVisible());
            Type(d, "txtOpenWith", "https://mail.example/");
            Press(d, "cmdOk");
        });
        int n = -1;
        QVERIFY(w.editor.ShowForm(n));
        const quint64 id = copy.table.Users[0].Id;
        QCOMPARE(Account(copy.table.Users[0], copy.fields[id]).Field(OpenWithField),
                 std::optional<QString>("https://mail.example/"));
        client = "Stand-in Mail";
        WhenModal("frmEditAdd", [&](QWidget& d) {
            QCOMPARE(Control<QLabel>(d, "lblOpenWithNote")->text(),
                     QString("Empty: the mail client, Stand-in Mail"));
            QCOMPARE(Control<QLineEdit>(d, "txtOpenWith")->text(),
                     QString("https://mail.example/"));
            Type(d, "txtOpenWith", ""); // back to the mail client: the field goes
            Press(d, "cmdOk");
        });
        n = 0;
        QVERIFY(w.editor.ShowForm(n));
        QCOMPARE(Account(copy.table.Users[0], copy.fields[id]).Field(OpenWithField), std::nullopt);
        w.editor.Edit(nullptr);
    }

    void editorCancels_data() {
        QTest::addColumn<QString>("way");
        QTest::newRow("button") << "button";
        QTest::newRow("esc") << "esc";
        QTest::newRow("close") << "close";
    }

    void editorCancels() {
        QFETCH(QString, way);
        World w;
        AddUser(w.settings, MakeUser("Home", "bob", "pop.home", "pw"));
        const QStringList before = Describe(w.settings);
        TraceRecorder trace;
        WhenModal("frmEditAdd", [way](QWidget& d) {
            Type(d, "txtScreenname", "Changed");
            QTest::keyClick(Control(d, "txtScreenname"), Qt::Key_Return);
            QVERIFY(d.isVisible()); // Enter accepts nothing
            SetPassword(d, "other");
            if (way == "button")
                Press(d, "cmdCancel");
            else if (way == "esc")
                QTest::keyClick(&d, Qt::Key_Escape);
            else
                d.close();
        });
        int n = 0;
        QVERIFY(!w.editor.ShowForm(n));
        QCOMPARE(Describe(w.settings), before);
        if (way == "close")
            QCOMPARE(trace.texts,
                     QStringList({"frmEditAdd QueryUnload", "frmEditAdd QueryUnload - DoCancel",
                                  "frmEditAdd QueryUnload"}));
        else
            QCOMPARE(trace.texts, QStringList());
    }

    void editorGrowsTheTable() {
        World w;
        for (int i = 0; i < 10; ++i)
            AddUser(w.settings, MakeUser(QString("U%1").arg(i), QString("u%1").arg(i), "s", "p"));
        QCOMPARE(w.settings.UpperBound(), 9);
        const int expected[] = {12, 12, 12, 15}; // after the 11th to the 14th user
        for (int i = 0; i < 4; ++i) {
            QVERIFY(AddThroughEditor(w.editor, QString("V%1").arg(i), QString("v%1").arg(i)));
            QCOMPARE(w.settings.UpperBound(), expected[i]);
        }
        QCOMPARE(w.settings.LastUser, qint16(13));
    }

    void editorRefusesWhenTableIsFull_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("lastUser");
        QTest::addColumn<bool>("fits");
        QTest::newRow("grows to the last index") << 32765 << 32764 << true;
        QTest::newRow("room without growing") << 32767 << 32765 << true;
        QTest::newRow("cannot grow") << 32766 << 32765 << false;
        QTest::newRow("no index left") << 32768 << 32767 << false;
    }

    void editorRefusesWhenTableIsFull() {
        QFETCH(int, size);
        QFETCH(int, lastUser);
        QFETCH(bool, fits);
        World w;
        w.settings.Users.resize(size);
        w.settings.LastUser = qint16(lastUser);
        QCOMPARE(CanAddUser(w.settings), fits);
        if (fits)
            return;
        int n = -1;
        QVERIFY(!w.editor.ShowForm(n)); // refused before the window opens
        QCOMPARE(n, -1);
        QCOMPARE(w.dialogs.messages, QStringList(TableFullMessage));
        QVERIFY(!StoreUserEntry(w.settings, n, {"S", "s", "l", "p"}));
        QCOMPARE(w.settings.LastUser, qint16(lastUser));
        QCOMPARE(w.settings.Users.size(), size);
    }

    void setupOpensAddsAndSaves() {
        World w;
        w.settings.CheckInterval = 12;
        w.settings.ShowInterval = -3;
        WhenModal("frmSetup", [&w](QWidget& d) {
            auto* list = Control<UserListBox>(d, "lstUsers");
            QCOMPARE(list->count(), 0);
            QVERIFY(!Control(d, "cmdEdit")->isEnabled());
            QVERIFY(!Control(d, "cmdDelete")->isEnabled());
            QCOMPARE(Control<QLabel>(d, "lblCheckInt")->text(), QString("12"));
            QCOMPARE(Control<QLabel>(d, "lblShowInt")->text(), QString("-3"));
            QVERIFY(Control<QCheckBox>(d, "chkShowErrs")->isChecked());

            WhenModal("frmEditAdd", [](QWidget& e) {
                FillEditor(e, "Home", "pop.home", "bob");
                SetPassword(e, "pw");
                Press(e, "cmdOk");
            });
            Press(d, "cmdAdd");
            QCOMPARE(list->count(), 1);
            QCOMPARE(list->item(0)->text(), QString("Home - 0 emails"));

            // A check that finishes meanwhile shows up at the next refresh.
            w.states.Update(w.setup.Copy().table.Users[0].Id,
                            [&](MailboxState& s) { s.NewNumMails = 3; });
            w.lists.RefreshUserLists();
            QCOMPARE(list->item(0)->text(), QString("Home - 3 emails"));

            Control<QCheckBox>(d, "chkShowErrs")->setChecked(false);
            w.saveOk = false; // a failed save keeps the window open, ShowErrors as it was
            Press(d, "cmdOk");
            QVERIFY(d.isVisible());
            QVERIFY(w.settings.ShowErrors);
            QCOMPARE(w.settings.LastUser, qint16(-1)); // the added user is taken back too
            w.saveOk = true;
            Press(d, "cmdOk");
        });
        w.setup.ShowForm();
        QVERIFY(!w.setup.isVisible());
        QCOMPARE(w.saves, 2);
        QVERIFY(!w.settings.ShowErrors);
        QCOMPARE(w.settings.LastUser, qint16(0));
    }

    // An entry that cannot be written is told, as a failed save is, and the window stays; what
    // "Ok" saved before that stays saved, also after "Cancel".
    void setupStartAtLoginFails_data() {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("then Ok without it") << false;
        QTest::newRow("then Cancel") << true;
    }
    void setupStartAtLoginFails() {
        QFETCH(bool, cancel);
        World w;
        AddUser(w.settings, MakeUser("Gone", "g", "pop.gone", "pw"));
        const Autostart autostart("/dev/null/autostart/tarnwick.desktop", "/bin/tarnwick");
        w.setup.SetAutostart(&autostart);
        w.dialogs.QueueInput(QString("17"));
        WhenModal("frmSetup", [&w, cancel](QWidget& d) {
            QVERIFY(AddThroughEditor(w.editor, "New", "new"));
            w.lists.RefreshUserLists();
            Control<UserListBox>(d, "lstUsers")->setCurrentRow(0); // Gone
            Press(d, "cmdDelete");
            Press(d, "cmdSetCheck");
            auto* box = Control<QCheckBox>(d, "chkStartAtLogin");
            box->setChecked(true);
            Press(d, "cmdOk");
            QVERIFY(d.isVisible());
            QVERIFY(w.dialogs.messages.value(0).startsWith("Could not create the folder"));
            box->setChecked(false);
            Press(d, cancel ? "cmdCancel" : "cmdOk");
        });
        w.setup.ShowForm();
        QVERIFY(!w.setup.isVisible());
        QCOMPARE(w.settings.LastUser, qint16(0));
        QCOMPARE(w.settings.Users[0].ScreenName, QString("New"));
        QCOMPARE(w.settings.CheckInterval, qint16(17));
        QCOMPARE(w.saves, cancel ? 1 : 2);
    }

    // "Use Desktop Notifications": off by default, kept in the options file on "Ok"; ticked and
    // greyed where the program must use them; a failed write keeps the window open.
    void setupDesktopNotifications_data() {
        QTest::addColumn<bool>("forced");
        QTest::addColumn<bool>("writable");
        QTest::newRow("chosen") << false << true;
        QTest::newRow("native Wayland") << true << true;
        QTest::newRow("write fails") << false << false;
    }
    void setupDesktopNotifications() {
        QFETCH(bool, forced);
        QFETCH(bool, writable);
        World w;
        QTemporaryDir dir;
        const QString file =
            writable ? dir.filePath("Tarnwick.options") : "/dev/null/Tarnwick.options";
        Options options;
        w.setup.SetOptions(&options, file, [forced] { return forced; });
        WhenModal("frmSetup", [&](QWidget& d) {
            auto* box = Control<QCheckBox>(d, "chkDesktopNotifications");
            QCOMPARE(box->isChecked(), forced);
            QCOMPARE(box->isEnabled(), !forced);
            QCOMPARE(box->toolTip().contains("Wayland"), forced);
            box->setChecked(true);
            auto* senders = Control<QCheckBox>(d, "chkShowSenders"); // on by default
            QVERIFY(senders->isChecked() && senders->isEnabled());
            senders->setChecked(false);
            Press(d, "cmdOk");
            QCOMPARE(d.isVisible(), !writable);
            if (!writable) {
                QVERIFY(w.dialogs.messages.value(0).startsWith("Could not write " + file));
                Press(d, "cmdCancel");
            }
        });
        w.setup.ShowForm();
        QCOMPARE(options.DesktopNotifications, !forced && writable);
        QCOMPARE(options.ShowSenders, !writable);
        QCOMPARE(Options::Load(file), options);
        QCOMPARE(QFile::exists(file), writable);
    }

    void setupDeleteSelection() {
        World w;
        for (const char* name : {"A", "B", "C", "D"})
            AddUser(w.settings, MakeUser(name, QString(name).toLower(), "s", "p"));
        WhenModal("frmSetup", [&w](QWidget& d) {
            auto* list = Control<UserListBox>(d, "lstUsers");
            QWidget* edit = Control(d, "cmdEdit");
            QWidget* del = Control(d, "cmdDelete");
            QCOMPARE(list->SelectedIndex(), -1);
            QVERIFY(!edit->isEnabled() && !del->isEnabled());
            list->setCurrentRow(3); // the last line: its predecessor is selected next
            QVERIFY(edit->isEnabled() && del->isEnabled());
            Press(d, "cmdDelete");
            QCOMPARE(list->count(), 3);
            QCOMPARE(list->SelectedIndex(), 2);
            list->setCurrentRow(1); // a middle line: the same place shows the next user
            Press(d, "cmdDelete");
            QCOMPARE(list->SelectedIndex(), 1);
            QCOMPARE(list->currentItem()->text(), QString("C - 0 emails"));
            Press(d, "cmdDelete");
            Press(d, "cmdDelete");
            QCOMPARE(list->count(), 0);
            QVERIFY(!edit->isEnabled() && !del->isEnabled());
            QCOMPARE(w.setup.Copy().table.LastUser, qint16(-1)); // setup's copy
            Press(d, "cmdOk");
        });
        w.setup.ShowForm();
        QCOMPARE(w.settings.LastUser, qint16(-1));
    }

    void setupIntervalAnswers_data() {
        using Answers = QList<std::optional<QString>>;
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("messages");
        const auto row = [](const char* name, const Answers& answers, int result,
                            const QStringList& messages) {
            QTest::newRow(name) << answers << result << messages;
        };
        const QString nan = NotANumberMessage;
        const QString range = OutOfRangeMessage;
        // The interval is 9 before the question.
        row("fraction rounds down", {"5.9"}, 5, {});
        row("negative fraction", {"-0.5"}, -1, {});
        row("negative", {"-3"}, -3, {});
        row("zero", {"0"}, 0, {});
        row("blanks around", {" 8 "}, 8, {});
        row("empty keeps", {""}, 9, {});
        row("cancel keeps", {std::nullopt}, 9, {});
        row("letters, again", {"ten", "7"}, 7, {nan});
        row("blanks only are no number", {"  ", ""}, 9, {nan});
        row("too large, again", {"32768", "32767.9"}, 32767, {range});
        row("too small, again", {"-32768.5", "-32768"}, -32768, {range});
        row("huge exponent", {"1e999", std::nullopt}, 9, {range});
    }

    void setupIntervalAnswers() {
        QFETCH(QList<std::optional<QString>>, answers);
        QFETCH(int, result);
        QFETCH(QStringList, messages);
        World w;
        Settings& copy = w.setup.Copy().table; // what setup edits
        copy.ShowInterval = 9;
        for (const auto& a : answers)
            w.dialogs.QueueInput(a);
        w.setup.SetInterval(copy.ShowInterval, "show");
        QCOMPARE(int(copy.ShowInterval), result);
        QCOMPARE(w.dialogs.messages, messages);
        // Asked once per answer, always with the unchanged value as the default.
        QCOMPARE(w.dialogs.prompts, QStringList(answers.size(), "Enter new show interval :"));
        QCOMPARE(w.dialogs.initials, QStringList(answers.size(), "9"));
        QCOMPARE(Control<QLabel>(w.setup, "lblShowInt")->text(), QString::number(result));
        QCOMPARE(Control<QLabel>(w.setup, "lblCheckInt")->text(), QString("5"));
    }

    void setupCancelRestores_data() {
        QTest::addColumn<bool>("esc");
        QTest::newRow("Cancel") << false;
        QTest::newRow("Esc") << true;
    }

    void setupCancelRestores() {
        QFETCH(bool, esc);
        World w;
        AddUser(w.settings, MakeUser("Home", "bob", "pop.home", "pw", 3));
        AddUser(w.settings, MakeUser("Work", "alice", "mail.work", "pw", 1));
        w.states.Set(w.settings.Users[1].Id, State(4, true, 0, 0));
        AddUser(w.settings, MakeUser("Play", "carol", "pop.play", "pw"));
        w.settings.SortUsers();
        const QStringList before = Describe(w.settings);
        w.dialogs.QueueInput(QString("17"));

        WhenModal("frmSetup", [&w, esc](QWidget& d) {
            auto* list = Control<UserListBox>(d, "lstUsers");
            QVERIFY(AddThroughEditor(w.editor, "First", "aaron"));
            w.lists.RefreshUserLists();
            list->setCurrentRow(3); // Play
            WhenModal("frmEditAdd", [](QWidget& e) {
                Type(e, "txtUsername", "zed");
                Press(e, "cmdOk");
            });
            Press(d, "cmdEdit");
            list->setCurrentRow(0);
            Press(d, "cmdDelete");
            w.setup.Copy().table.Users[0].NumMails = 42; // the copy's counts never go back
            w.states.Update(w.settings.Users[0].Id,
                            [&](MailboxState& s) { s.HideSession = false; });
            Press(d, "cmdSetShow");
            QCOMPARE(Control<QLabel>(d, "lblShowInt")->text(), QString("17"));
            Control<QCheckBox>(d, "chkShowErrs")->setChecked(false);
            if (esc)
                QTest::keyClick(&d, Qt::Key_Escape);
            else
                Press(d, "cmdCancel");
        });
        w.setup.ShowForm();
        QVERIFY(!w.setup.isVisible());
        QCOMPARE(Describe(w.settings), before);
        QCOMPARE(w.settings.ShowInterval, qint16(5));
        QVERIFY(w.settings.ShowErrors);
        QCOMPARE(w.saves, 0);
    }

    void setupCloseKeepsUsersNotShowErrors() {
        World w;
        TraceRecorder trace;
        WhenModal("frmSetup", [&w](QWidget& d) {
            QVERIFY(AddThroughEditor(w.editor, "Home", "bob"));
            w.lists.RefreshUserLists();
            Control<UserListBox>(d, "lstUsers")->setCurrentRow(0);
            Control<QCheckBox>(d, "chkShowErrs")->setChecked(false);
            d.close();
        });
        w.setup.ShowForm();
        QCOMPARE(trace.texts, QStringList({"frmSetup QueryUnload", "frmSetup Unload"}));
        QCOMPARE(w.settings.LastUser, qint16(0));
        QVERIFY(w.settings.ShowErrors);
        QCOMPARE(w.saves, 0);

        // Opened again, it starts afresh: no selection, Edit and Delete disabled.
        WhenModal("frmSetup", [](QWidget& d) {
            QCOMPARE(Control<UserListBox>(d, "lstUsers")->count(), 1);
            QVERIFY(!Control(d, "cmdEdit")->isEnabled());
            QVERIFY(Control<QCheckBox>(d, "chkShowErrs")->isChecked());
            Press(d, "cmdCancel");
        });
        w.setup.ShowForm();
        QCOMPARE(w.settings.LastUser, qint16(0));
    }

    void aboutWindow() {
        AboutWindow about;
        TraceRecorder trace;
        for (const char* way : {"close", "esc", "button"}) {
            WhenModal("frmAbout", [way](QWidget& d) {
                QCOMPARE(Control<QLabel>(d, "lblVers")->text(), QString("25.07.05"));
                if (QByteArray(way) == "close")
                    d.close();
                else if (QByteArray(way) == "esc")
                    QTest::keyClick(&d, Qt::Key_Escape);
                else
                    Press(d, "cmdOk");
            });
            about.DoAbout();
            QVERIFY(!about.isVisible());
        }
        QCOMPARE(trace.texts, QStringList({"frmAbout QueryUnload", "frmAbout Unload"}));
    }

    // "Test" over TLS against a server whose certificate nobody trusts yet: shown, trusted on
    // request, and the check that follows passes. An expired one is never offered. A server of
    // a private CA that sends only its own certificate: that certificate is trusted by itself.
    void testTrustsASelfSignedCertificate_data() {
        QTest::addColumn<bool>("expired");
        QTest::addColumn<bool>("privateCa");
        QTest::newRow("self-signed") << false << false;
        QTest::newRow("expired self-signed") << true << false;
        QTest::newRow("private CA, its own certificate only") << false << true;
    }
    void testTrustsASelfSignedCertificate() {
        QFETCH(bool, expired);
        QFETCH(bool, privateCa);
        TestCertificates certs;
        TARNWICK_START_PEER(certs);
        const QString certificate = privateCa ? certs.Server()
                                    : expired ? certs.ExpiredSelfSigned()
                                              : certs.SelfSigned();
        ScriptedServer server;
        QVERIFY(server.SetCertificate(certificate, TestCertificates::KeyOf(certificate)));
        ServerScript session;
        session.StartTls().Send("+OK Ready.\r\n");
        for (const char* reply : {"+OK\r\n", "+OK Logged in.\r\n",
                                  privateCa ? "+OK 1 100\r\n" : "+OK 2 200\r\n", "+OK Bye.\r\n"})
            session.Await().Send(reply);
        server.Queue(ServerScript().StartTls());
        server.Queue(session);

        World w;
        QTemporaryDir dir;
        const QString caFile = dir.filePath("Tarnwick-ca.pem");
        const MailboxTest test(caFile);
        w.editor.SetMailboxTest(&test);
        Control<QLineEdit>(w.editor, "txtMailserver")
            ->setText(QString("127.0.0.1:%1").arg(server.Port()));
        Control<QComboBox>(w.editor, "cboSecurity")->setCurrentIndex(0); // TLS
        Control<QLineEdit>(w.editor, "txtUsername")->setText("alice");
        w.dialogs.QueueChoice(1);
        Control<QPushButton>(w.editor, "cmdTest")->click(); // returns when the test is done

        if (expired) {
            QVERIFY(w.dialogs.choices.isEmpty());
            QCOMPARE(w.dialogs.messages.size(), 1);
            const QString& failed = w.dialogs.messages[0];
            QVERIFY2(failed.startsWith("The check failed:\r\nTLS certificate not accepted: ") &&
                         failed.contains("; it expired on "),
                     qPrintable(failed));
            QVERIFY(!QFile::exists(caFile));
            return;
        }
        const QList<QStringList> offered{{"Ok", "Trust This Certificate"}};
        QCOMPARE(w.dialogs.choiceButtons, offered);
        const QString& offer = w.dialogs.choices[0];
        QVERIFY2(offer.startsWith("The check failed:\r\nTLS certificate not accepted: " +
                                  QString(privateCa ? "its issuer \"Tarnwick Test CA\" is not known"
                                                    : "it is self-signed")) &&
                     offer.contains(privateCa ? "\nIssuer: Tarnwick Test CA\nSHA-256: "
                                              : "\r\n\r\nSubject: localhost\nIssuer: "
                                                "localhost\nSHA-256: ") &&
                     offer.contains("\nValid from ") && offer.contains("\r\n" + caFile) &&
                     !offer.contains(" " + caFile), // the path begins a line: not cut at "/"
                 qPrintable(offer));
        QCOMPARE(w.dialogs.messages,
                 QStringList(privateCa ? "The check went through: the server holds 1 message."
                                       : "The check went through: the server holds 2 messages."));
        QCOMPARE(server.Connections(), 2);
        QCOMPARE(QSslCertificate::fromPath(caFile),
                 QSslCertificate::fromPath(certificate).mid(0, 1));
        QCOMPARE(QFile::permissions(caFile) & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
    }

private:
    QTimer watchdog_;
};

QTEST_MAIN(TestConfig)
#include "tst_config.moc"
