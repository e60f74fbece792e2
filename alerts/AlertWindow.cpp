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
#include <climits>
#include <cstdio>
#include <utility>

AlertWindow::AlertWindow(AlertPresenter& presenter, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint), presenter_(presenter) {
    // The alert comes on top while the user works in another window: it must not take the
    // keys that were meant for that window.
    KeepOutOfFocus(this);
    setWindowTitle(QStringLiteral("Alert!"));
    setFixedSize(Px(5775), Height);
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

    for (QWidget* control : std::initializer_list<QWidget*>{&txtAlert, &cmdHide, &cmdHideSession,
                                                            &cmdHidePermanently, &cmdOk})
        places_.emplace_back(control, control->pos());

    setTabOrder(&cmdOk, &cmdHide);
    setTabOrder(&cmdHide, &cmdHideSession);
    setTabOrder(&cmdHideSession, &cmdHidePermanently);
    setTabOrder(&cmdHidePermanently, &txtAlert);

    connect(&cmdOk, &QPushButton::clicked, this, &AlertWindow::OnOk);
    connect(&cmdHide, &QPushButton::clicked, this, &AlertWindow::DoHide);
    connect(&cmdHideSession, &QPushButton::clicked, this, &AlertWindow::OnHideSession);
    connect(&cmdHidePermanently, &QPushButton::clicked, this, &AlertWindow::OnHidePermanently);

    tmrNextAlert.setSingleShot(true);
    tmrShow.setInterval(SlideTickMs);
    tmrHide.setInterval(SlideTickMs);
    connect(&tmrNextAlert, &QTimer::timeout, this, &AlertWindow::DoNextAlert);
    connect(&tmrShow, &QTimer::timeout, this, &AlertWindow::OnShowTick);
    connect(&presenter_, &AlertPresenter::Due, this, &AlertWindow::Wake);
    presenter_.SetErrorInPlace([this](const QString& ErrTxt, const QString& who) {
        return TakeErrorInPlace(ErrTxt, who);
    });
    connect(&tmrHide, &QTimer::timeout, this, &AlertWindow::OnHideTick);
}

void AlertWindow::Start() {
    started_ = true;
    Wake();
}

void AlertWindow::Stop() {
    started_ = false;
    tmrNextAlert.stop();
}

void AlertWindow::Wake() {
    if (started_)
        DoNextAlert();
}

void AlertWindow::ArmNextAlert() {
    tmrNextAlert.stop();
    // An alert on screen is followed by the next one when it has slid out; setup wakes the
    // look when it closes.
    if (!started_ || isVisible() || presenter_.IsSetupVisible())
        return;
    const qint64 wait = presenter_.MsUntilNextDue();
    if (wait < 0)
        return;
    // Due already but not taken: the notification service failed; try again a little later.
    tmrNextAlert.start(wait == 0 ? RetryMs : int(std::min<qint64>(wait, INT_MAX)));
}

bool AlertWindow::TakeErrorInPlace(const QString& ErrTxt, const QString& who) {
    if (!errorAlert_ || !isVisible() || tmrHide.isActive() || who.isEmpty() ||
        who != shownError_.who)
        return false;
    // One alert to answer per user: the one on screen tells of the newer failure.
    txtAlert.setPlainText(
        AlertQueue::FailedText(ErrTxt, ++shownError_.failures, shownError_.since));
    Trace(QStringLiteral("frmAlert ShowAlert: ") + txtAlert.toPlainText());
    return true;
}

QPoint AlertWindow::RestingPlace() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry().topLeft() : QPoint(0, 0);
}

void AlertWindow::MoveTo(int top) {
    top_ = top;
    // Above the work area lies a panel: the part of the window that is still there stays
    // unseen, so that the slide never covers it. The window then stays in the work area, as
    // tall as the part that has come out, its content moved up by the rest. (A window mask
    // would do the same, but what comes out from behind it is not painted again on every
    // platform: under an X11 top panel it showed an earlier alert's text.) Every step is a
    // resize, which paints the window anew. With the work area at the screen's top that part
    // is off the screen anyway.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int hidden = std::clamp(rest_.y() - top, 0, Height - 1);
    const bool covered = hidden > 0 && screen && rest_.y() > screen->geometry().top();
    const int shift = covered ? hidden : 0;
    setFixedSize(width(), Height - shift);
    for (const auto& [control, place] : places_)
        control->move(place.x(), place.y() - shift);
    move(rest_.x(), covered ? rest_.y() : top);
}

int AlertWindow::AlertUser() const {
    return presenter_.IndexOf(alertUserId_);
}

void AlertWindow::DoNextAlert() {
    if (looking_) {
        lookAgain_ = true;
        return;
    }
    looking_ = true;
    // A second pass finds what the first one's own changes made due; the bound keeps a
    // misbehaving listener from holding the program here.
    for (int pass = 0; pass < 4; ++pass) {
        lookAgain_ = false;
        Look();
        if (!lookAgain_)
            break;
    }
    looking_ = false;
    ArmNextAlert();
}

void AlertWindow::Look() {
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
    shownError_ = alert.origin;
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
    MoveTo(rest_.y() - Height);
    show();
    SetTopMost(this);

    tmrHide.stop();
    slideSteps_ = 0;
    tmrShow.start();
}

void AlertWindow::OnShowTick() {
    tmrShow.stop();
    ++slideSteps_;
    const int top = top_;
    MoveTo(std::max(top + 1, qRound(top + Height / double(SlideDivisor))));
    if (top_ >= rest_.y() || slideSteps_ >= MaxSlideSteps)
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
    const int top = top_;
    MoveTo(std::min(top - 1, qRound(top - Height / double(SlideDivisor))));
    if (top_ >= rest_.y() - Height && slideSteps_ < MaxSlideSteps)
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

void AlertWindow::OnOk() {
    // The user has seen that something fails: errors of the same user waiting behind this one
    // say nothing new.
    if (!shownError_.who.isEmpty())
        presenter_.ForgetErrorsOf(shownError_.who);
    DoHide();
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
