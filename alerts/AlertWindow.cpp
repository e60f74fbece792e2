#include "AlertWindow.h"

#include "alerts/OnTop.h"
#include "core/Trace.h"
#include "ui/DialogFrame.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QRegion>
#include <QScreen>
#include <algorithm>
#include <cstdio>
#include <utility>

AlertWindow::AlertWindow(AlertPresenter& presenter, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint), presenter_(presenter) {
    // The alert comes on top while the user works in another window: it must not take the
    // keys that were meant for that window.
    KeepOutOfFocus(this);
    setWindowTitle(QStringLiteral("Alert!"));
    setFixedSize(Px(5775), Px(2415));
    setFont(WindowFont());

    txtAlert.setGeometry(Px(120), Px(120), Px(5535), Px(1620));
    txtAlert.setReadOnly(true);
    // Read-only, but reachable by keyboard so that a long text can be read and copied.
    txtAlert.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtAlert.setFocusPolicy(Qt::StrongFocus);
    txtAlert.setTabChangesFocus(true);
    txtAlert.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette palette = txtAlert.palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    txtAlert.setPalette(palette);
    txtAlert.setFont(QFont(QStringLiteral("Times New Roman"), 24, QFont::Normal));

    cmdHide.setGeometry(Px(120), Px(1920), Px(1815), Px(375));
    cmdHideSession.setGeometry(Px(1920), Px(1920), Px(1935), Px(375));
    cmdHidePermanently.setGeometry(Px(3840), Px(1920), Px(1815), Px(375));
    cmdOk.setGeometry(Px(120), Px(2040), Px(5535), Px(375));
    for (QPushButton* button : {&cmdOk, &cmdHide, &cmdHideSession, &cmdHidePermanently})
        button->setAutoDefault(false);

    setTabOrder(&cmdOk, &cmdHide);
    setTabOrder(&cmdHide, &cmdHideSession);
    setTabOrder(&cmdHideSession, &cmdHidePermanently);
    setTabOrder(&cmdHidePermanently, &txtAlert);

    connect(&cmdOk, &QPushButton::clicked, this, &AlertWindow::DoHide);
    connect(&cmdHide, &QPushButton::clicked, this, &AlertWindow::DoHide);
    connect(&cmdHideSession, &QPushButton::clicked, this, &AlertWindow::OnHideSession);
    connect(&cmdHidePermanently, &QPushButton::clicked, this, &AlertWindow::OnHidePermanently);

    tmrNextAlert.setInterval(NextAlertMs);
    tmrShow.setInterval(SlideTickMs);
    tmrHide.setInterval(SlideTickMs);
    connect(&tmrNextAlert, &QTimer::timeout, this, [this] {
        DoNextAlert();
        SleepWhileIdle();
    });
    connect(&tmrShow, &QTimer::timeout, this, &AlertWindow::OnShowTick);
    connect(&presenter_, &AlertPresenter::Due, this, &AlertWindow::Wake);
    connect(&tmrHide, &QTimer::timeout, this, &AlertWindow::OnHideTick);
}

void AlertWindow::Start() {
    tmrNextAlert.start();
}

void AlertWindow::Wake() {
    if (!tmrNextAlert.isActive())
        tmrNextAlert.start();
}

void AlertWindow::SleepWhileIdle() {
    // With no error queued, no alert up and no mail pending, the once-a-second look has
    // nothing to find until a check ends, an error arrives or setup closes: each of those
    // wakes it. Sleeping spares an idle program a wake-up every second.
    if (presenter_.AnythingPending() || isVisible())
        return;
    tmrNextAlert.stop();
}

QPoint AlertWindow::RestingPlace() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry().topLeft() : QPoint(0, 0);
}

void AlertWindow::MoveTo(int top) {
    move(rest_.x(), top);
    // Above the work area lies a panel: the part of the window that is still there stays
    // unseen, so that the slide never covers it. With the work area at the screen's top
    // that part is off the screen anyway.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int hidden = rest_.y() - top;
    if (hidden <= 0 || !screen || rest_.y() <= screen->geometry().top())
        clearMask();
    else
        setMask(QRegion(0, std::min(hidden, height() - 1), width(), height()));
}

int AlertWindow::AlertUser() const {
    return presenter_.IndexOf(alertUserId_);
}

void AlertWindow::DoNextAlert() {
    if (presenter_.ShowsOnDesktop()) {
        // A window shown before the notifications took over is answered in the window.
        if (!isVisible()) {
            presenter_.SyncDesktop();
            return;
        }
    } else {
        presenter_.LeaveDesktop();
    }
    // Only the mail alert on screen can go stale; once it slides out the choice below takes
    // over, so a rising count never keeps a hidden window sliding.
    if (!errorAlert_ && alertUserId_ != 0 && isVisible() && !tmrHide.isActive() &&
        presenter_.IsStale(alertUserId_, alertNumMails_))
        DoHide();
    if (isVisible() || presenter_.IsSetupVisible())
        return;
    if (const std::optional<AlertPresenter::Alert> alert = presenter_.TakeNext())
        ShowAlert(*alert);
}

void AlertWindow::ShowAlert(const AlertPresenter::Alert& alert) {
    const QString& text = alert.text;
    errorAlert_ = alert.error;
    alertUserId_ = alert.userId;
    if (!alert.error)
        alertNumMails_ = alert.count;
    txtAlert.setPlainText(text);
    Trace(QStringLiteral("frmAlert ShowAlert: ") + text);

    // The buttons are set before showing, so that the focus lands on a visible one.
    cmdOk.setVisible(errorAlert_);
    cmdHide.setVisible(!errorAlert_);
    cmdHideSession.setVisible(cmdHide.isVisibleTo(this));
    cmdHidePermanently.setVisible(cmdHide.isVisibleTo(this));
    (errorAlert_ ? cmdOk : cmdHide).setFocus();

    rest_ = RestingPlace();
    MoveTo(rest_.y() - height());
    show();
    SetTopMost(this);

    tmrHide.stop();
    slideSteps_ = 0;
    tmrShow.start();
}

void AlertWindow::OnShowTick() {
    tmrShow.stop();
    ++slideSteps_;
    const int top = y();
    MoveTo(std::max(top + 1, qRound(top + height() / double(SlideDivisor))));
    if (y() >= rest_.y() || slideSteps_ >= MaxSlideSteps)
        MoveTo(rest_.y());
    else
        tmrShow.start();
}

void AlertWindow::DoHide() {
    if (!isVisible() || tmrHide.isActive())
        return;
    tmrShow.stop();
    slideSteps_ = 0;
    tmrHide.start();
}

void AlertWindow::OnHideTick() {
    tmrHide.stop();
    ++slideSteps_;
    const int top = y();
    MoveTo(std::min(top - 1, qRound(top - height() / double(SlideDivisor))));
    if (y() >= rest_.y() - height() && slideSteps_ < MaxSlideSteps)
        tmrHide.start();
    else
        HideAlert();
}

void AlertWindow::HideAlert() {
    tmrHide.stop();
    // Hidden first: outside Windows the topmost switch re-shows a visible window.
    hide();
    ClearTopMost(this);
    DoNextAlert();
}

void AlertWindow::OnHideSession() {
    if (!errorAlert_)
        presenter_.HideForSession(alertUserId_);
    DoHide();
}

void AlertWindow::OnHidePermanently() {
    if (!errorAlert_)
        presenter_.HidePermanently(alertUserId_);
    DoHide();
}

void AlertWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier &&
        cmdHide.isVisible()) {
        cmdHide.click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void AlertWindow::closeEvent(QCloseEvent* event) {
    Trace(QStringLiteral("frmAlert QueryUnload"));
    tmrShow.stop();
    tmrHide.stop();
    presenter_.ForgetDesktop(); // their actions would reach no program
    event->accept();
    Trace(QStringLiteral("frmAlert Unload"));
}
