#include "ControlCentre.h"

#include "alerts/OnTop.h"
#include "core/Settings.h"
#include "core/Trace.h"
#include "core/UserLists.h"
#include "ui/DialogFrame.h"
#include "ui/UserListBox.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>

QString MakeCaption(const Settings& settings, const CheckStatus& status) {
    QString caption = QStringLiteral("Tarnwick");
    if (status.IsChecking()) {
        const int user = status.GetCheckUser();
        const QString name = settings.IsUser(user) ? settings.Users[user].ScreenName : QString();
        caption += QStringLiteral(" - checking \"") + name + QLatin1Char('"');
    }
    caption += QLatin1Char('!');
    caption += QChar(0);
    return caption;
}

ControlCentre::ControlCentre(const Settings& settings, const CheckStatus& status, UserLists& lists,
                             ControlCentreActions actions, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      settings_(settings), status_(status), lists_(lists), actions_(std::move(actions)) {
    setWindowTitle(QStringLiteral("Tarnwick"));
    setFixedSize(185, 353);
    setFont(WindowFont());

    lblUsers = new QLabel(QStringLiteral("Users :"), this);
    lblUsers->setGeometry(8, 8, 81, 17);
    lstUsers = new UserListBox(this);
    lstUsers->setGeometry(8, 24, 169, 160);
    auto button = [this](const QString& caption, QRect rect) {
        auto* b = new QPushButton(caption, this);
        b->setGeometry(rect);
        b->setAutoDefault(false);
        return b;
    };
    cmdCheckMail = button(QStringLiteral("Check Mail"), {8, 192, 169, 33});
    cmdSetup = button(QStringLiteral("Setup"), {8, 232, 169, 33});
    cmdSetup->setObjectName(QStringLiteral("cmdSetup"));
    cmdAbout = button(QStringLiteral("About"), {8, 272, 169, 33});
    cmdDone = button(QStringLiteral("Done"), {8, 312, 81, 33});
    cmdExit = button(QStringLiteral("Exit"), {96, 312, 81, 33});
    // Tab order: Check Mail, Setup, Exit, About, Done, then the list.
    setTabOrder(cmdCheckMail, cmdSetup);
    setTabOrder(cmdSetup, cmdExit);
    setTabOrder(cmdExit, cmdAbout);
    setTabOrder(cmdAbout, cmdDone);
    setTabOrder(cmdDone, lstUsers);

    connect(cmdCheckMail, &QPushButton::clicked, this, [this] {
        if (actions_.CheckMail)
            actions_.CheckMail(true);
    });
    connect(cmdSetup, &QPushButton::clicked, this, &ControlCentre::OpenSetup);
    connect(lstUsers, &QListWidget::itemDoubleClicked, this, &ControlCentre::OpenSetup);
    connect(cmdAbout, &QPushButton::clicked, this, [this] {
        if (actions_.DoAbout)
            actions_.DoAbout();
    });
    connect(cmdDone, &QPushButton::clicked, this, &ControlCentre::Done);
    connect(cmdExit, &QPushButton::clicked, this, [this] {
        if (actions_.Exit)
            actions_.Exit();
    });
    lists_.SetMainList(lstUsers);
}

void ControlCentre::ShowForm() {
    if (!isVisible()) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }
    show();
    BringToFront(this);
    if (actions_.BringDialogsToFront)
        actions_.BringDialogsToFront();
    cmdCheckMail->setFocus();
    lists_.RefreshUserLists();
}

void ControlCentre::OpenSetup() {
    if (actions_.ShowSetup)
        actions_.ShowSetup();
    cmdSetup->setFocus();
}

void ControlCentre::Done() {
    if (actions_.MayHide && !actions_.MayHide())
        return;
    hide();
}

bool ControlCentre::QueryUnload(int UnloadMode) {
    Trace(QStringLiteral("frmMain QueryUnload - UnloadMode=%1").arg(UnloadMode));
    Trace(QStringLiteral("frmMain QueryUnload - Vis=false"));
    hide();
    bool goAhead = true;
    if (UnloadMode == 0 || UnloadMode == 1) {
        Trace(QStringLiteral("frmMain QueryUnload - Cancel=1"));
        goAhead = false;
    }
    Trace(QStringLiteral("frmMain QueryUnload - Finished"));
    if (goAhead)
        Trace(QStringLiteral("frmMain Unload"));
    return goAhead;
}

void ControlCentre::closeEvent(QCloseEvent* event) {
    // A close that the window system delivers comes from the user's close control; one
    // that the program makes is its own request.
    if (event->spontaneous() && actions_.MayHide && !actions_.MayHide()) {
        event->ignore();
        return;
    }
    if (!QueryUnload(event->spontaneous() ? 0 : 1))
        event->ignore();
    else
        event->accept();
}

void ControlCentre::keyPressEvent(QKeyEvent* event) {
    // Esc presses "Done", wherever the focus is.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdDone->click();
        return;
    }
    QWidget::keyPressEvent(event);
}
