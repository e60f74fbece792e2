#include "AlertWindow.h"

#include "alerts/DesktopNotifications.h"
#include "alerts/OnTop.h"
#include "core/Clock.h"
#include "core/Settings.h"
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

namespace {
// The alert's buttons as notification actions: key, caption.
const QStringList MailActions{QStringLiteral("hide"),
                              QStringLiteral("Hide"),
                              QStringLiteral("hide-session"),
                              QStringLiteral("Hide For This Session"),
                              QStringLiteral("hide-permanently"),
                              QStringLiteral("Hide Permanently")};
} // namespace

AlertWindow::AlertWindow(Settings& settings, const Clock& clock, std::function<bool()> saveFile,
                         std::function<bool()> isSetupVisible, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint), settings_(settings), clock_(clock),
      saveFile_(std::move(saveFile)), isSetupVisible_(std::move(isSetupVisible)) {
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

    tmrNextAlert.setInterval(NextAlertMs);
    tmrShow.setInterval(SlideTickMs);
    tmrHide.setInterval(SlideTickMs);
    connect(&tmrNextAlert, &QTimer::timeout, this, [this] {
        DoNextAlert();
        SleepWhileIdle();
    });
    connect(&tmrShow, &QTimer::timeout, this, &AlertWindow::OnShowTick);
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
    if (!queue_.IsEmpty() || isVisible())
        return;
    for (int i = 0; i < settings_.UserCount(); ++i) {
        if (settings_.Users[i].NewNumMails != -1)
            return;
    }
    tmrNextAlert.stop();
}

void AlertWindow::AddError(const QString& ErrTxt) {
    queue_.Add(ErrTxt);
    Wake();
}

void AlertWindow::AddUserError(const QString& ErrTxt, const QString& who) {
    if (errorAlert_ && isVisible() && !tmrHide.isActive() && !who.isEmpty() &&
        who == shownError_.who) {
        // One alert to answer per user: the one on screen tells of the newer failure.
        txtAlert.setPlainText(
            AlertQueue::FailedText(ErrTxt, ++shownError_.failures, shownError_.since));
        Trace(QStringLiteral("frmAlert ShowAlert: ") + txtAlert.toPlainText());
        return;
    }
    queue_.Add(ErrTxt, who, clock_.Now().time());
    Wake();
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
    return alertUserId_ == 0 ? -1 : settings_.IndexOfId(alertUserId_);
}

UserRecord* AlertWindow::MailAlertRecord() {
    if (errorAlert_)
        return nullptr;
    const int index = AlertUser();
    return index < 0 ? nullptr : &settings_.Users[index];
}

void AlertWindow::UseDesktopNotifications(DesktopNotifications* service,
                                          std::function<bool()> wanted) {
    desktop_ = service;
    desktopWanted_ = std::move(wanted);
    if (!desktop_)
        return;
    connect(desktop_, &DesktopNotifications::ActionInvoked, this, &AlertWindow::OnDesktopAction);
    connect(desktop_, &DesktopNotifications::NotificationClosed, this,
            [this](quint32 id, DesktopNotifications::Closed reason) {
                if (reason != DesktopNotifications::Closed::ByCall)
                    OnDesktopClosed(id, reason);
            });
    connect(desktop_, &DesktopNotifications::AvailableChanged, this, &AlertWindow::Wake);
}

bool AlertWindow::ShowsOnDesktop() const {
    return desktop_ && desktop_->Available() && desktopWanted_ && desktopWanted_();
}

void AlertWindow::DoNextAlert() {
    if (ShowsOnDesktop()) {
        // A window shown before the notifications took over is answered in the window.
        if (!isVisible()) {
            SyncDesktop();
            return;
        }
    } else {
        ApplyWaitingActions(); // given before the service went away
        ForgetDesktop();
        if (desktopWanted_ && desktopWanted_() && !std::exchange(fallbackNoted_, true))
            std::fputs("Tarnwick: no desktop notification service runs on the session bus, so "
                       "alerts appear in Tarnwick's own window.\n",
                       stderr);
    }
    // Only the mail alert on screen can go stale; once it slides out the choice below takes
    // over, so a rising count never keeps a hidden window sliding.
    if (!errorAlert_ && alertUserId_ != 0 && isVisible() && !tmrHide.isActive()) {
        const UserRecord* user = MailAlertRecord();
        if (!user || IsStaleMailAlert(*user, alertNumMails_))
            DoHide();
    }
    if (isVisible())
        return;
    if (isSetupVisible_ && isSetupVisible_())
        return;
    if (!queue_.IsEmpty()) {
        alertUserId_ = 0;
        ShowAlert();
        return;
    }
    const int i = PickMailUser(settings_, clock_.Stamp());
    if (i < 0)
        return;
    // A user without an identity yet gets one, so that the alert can follow it.
    if (settings_.Users[i].Id == 0)
        settings_.AssignId(i);
    alertUserId_ = settings_.Users[i].Id;
    ShowAlert();
}

void AlertWindow::ShowAlert() {
    QString text;
    shownError_ = {};
    if (!queue_.IsEmpty()) {
        shownError_ = queue_.OriginAt(0);
        text = queue_.TakeOldest();
        alertUserId_ = 0;
        errorAlert_ = true;
    } else {
        const int index = AlertUser();
        if (index < 0)
            return;
        errorAlert_ = false;
        UserRecord* user = &settings_.Users[index];
        user->LastAlert = clock_.Stamp();
        text = MailAlertText(user->ScreenName, user->NewNumMails, user->NumMails);
        alertNumMails_ = user->NewNumMails;
    }
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
        queue_.RemoveWho(shownError_.who);
    DoHide();
}

void AlertWindow::OnHideSession() {
    if (UserRecord* user = MailAlertRecord())
        user->HideSession = true;
    DoHide();
}

void AlertWindow::OnHidePermanently() {
    if (UserRecord* user = MailAlertRecord())
        AcceptCount(*user);
    DoHide();
}

void AlertWindow::AcceptCount(UserRecord& user) {
    // With the count back at -1 nothing is pending: the accepted count stays as it is.
    if (user.NewNumMails == -1)
        return;
    user.NumMails = user.NewNumMails;
    user.NewNumMails = -1;
    // A failed save has told the user already; the count stays accepted for this run and the
    // next save stores it.
    if (saveFile_)
        saveFile_();
}

void AlertWindow::ApplyWaitingActions() {
    if (isSetupVisible_ && isSetupVisible_())
        return;
    for (const auto& [userId, action] : std::exchange(waitingActions_, {})) {
        const int index = settings_.IndexOfId(userId);
        if (index < 0)
            continue;
        if (action == QLatin1String("hide-session"))
            settings_.Users[index].HideSession = true;
        else if (action == QLatin1String("hide-permanently"))
            AcceptCount(settings_.Users[index]);
    }
}

void AlertWindow::SyncDesktop() {
    // Nothing new while the user is in setup; actions given meanwhile wait for it to close.
    if (isSetupVisible_ && isSetupVisible_())
        return;
    ApplyWaitingActions();
    // Every waiting error; a user's error grows in place ("failed 3 times").
    for (int i = 0; i < queue_.Pending(); ++i) {
        Shown& shown = errorShown_[queue_.Serial(i)];
        const QString& text = queue_.GetErrors()[i];
        if (shown.id != 0 && shown.text == text)
            continue;
        Trace(QStringLiteral("frmAlert Notify: ") + text);
        if ((shown.id = desktop_->Notify(shown.id, text, {})) == 0)
            return; // the service failed: the window takes over at the next look
        shown.text = text;
    }
    // Mail: closed once its count is gone (read elsewhere, accepted) or hidden for the
    // session; replaced at once when it changes; otherwise due as for the window.
    for (auto it = mailShown_.begin(); it != mailShown_.end();) {
        const int index = settings_.IndexOfId(it->first);
        const UserRecord* user = index < 0 ? nullptr : &settings_.Users[index];
        if (user && user->NewNumMails != -1 && !user->HideSession) {
            ++it;
            continue;
        }
        desktop_->Close(it->second.id);
        it = mailShown_.erase(it);
    }
    const qint64 now = clock_.Stamp();
    for (int i = 0; i < settings_.UserCount(); ++i) {
        UserRecord& user = settings_.Users[i];
        const auto found = user.Id == 0 ? mailShown_.end() : mailShown_.find(user.Id);
        if (found != mailShown_.end() ? found->second.count == user.NewNumMails
                                      : PickMailUser(settings_, now, i) != i)
            continue;
        if (user.Id == 0)
            settings_.AssignId(i);
        Shown& shown = mailShown_[user.Id];
        const QString text = MailAlertText(user.ScreenName, user.NewNumMails, user.NumMails);
        Trace(QStringLiteral("frmAlert Notify: ") + text);
        shown.id =
            desktop_->Notify(shown.id, text, desktop_->HasActions() ? MailActions : QStringList());
        if (shown.id == 0) {
            mailShown_.erase(user.Id);
            return;
        }
        shown.count = user.NewNumMails;
        user.LastAlert = now;
    }
}

void AlertWindow::OnDesktopAction(quint32 id, const QString& action) {
    const auto found = std::find_if(mailShown_.begin(), mailShown_.end(),
                                    [id](const auto& entry) { return entry.second.id == id; });
    if (found == mailShown_.end())
        return;
    const quint64 userId = found->first;
    desktop_->Close(id);
    mailShown_.erase(found);
    // "Hide" needs no more: the alert comes back once the show interval has passed.
    waitingActions_.emplace_back(userId, action);
    ApplyWaitingActions();
}

void AlertWindow::OnDesktopClosed(quint32 id, DesktopNotifications::Closed reason) {
    // Dismissed: as "Hide" for mail, as "Ok" for an error. An expired mail notification has
    // been seen and may stay in the service's list: it is not shown again until its count
    // changes.
    if (reason != DesktopNotifications::Closed::Expired)
        std::erase_if(mailShown_, [id](const auto& entry) { return entry.second.id == id; });
    for (auto it = errorShown_.begin(); it != errorShown_.end(); ++it) {
        if (it->second.id == id) {
            queue_.Remove(it->first);
            errorShown_.erase(it);
            return;
        }
    }
}

void AlertWindow::ForgetDesktop() {
    for (auto* shown : {&mailShown_, &errorShown_}) {
        for (const auto& entry : *shown) {
            if (desktop_ && desktop_->Available())
                desktop_->Close(entry.second.id);
        }
        shown->clear();
    }
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
    ForgetDesktop(); // their actions would reach no program
    event->accept();
    Trace(QStringLiteral("frmAlert Unload"));
}
