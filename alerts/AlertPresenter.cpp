#include "AlertPresenter.h"

#include "alerts/DesktopNotifications.h"
#include "check/MailboxStates.h"
#include "check/ServerAddress.h"
#include "core/Clock.h"
#include "core/Settings.h"
#include "core/Trace.h"

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
const QString SignInCaption = QStringLiteral("Sign In\u2026");
} // namespace

AlertPresenter::AlertPresenter(Settings& settings, MailboxStates& states, const Clock& clock,
                               std::function<bool()> saveFile, std::function<bool()> isSetupVisible,
                               QObject* parent)
    : QObject(parent), settings_(settings), states_(states), clock_(clock),
      saveFile_(std::move(saveFile)), isSetupVisible_(std::move(isSetupVisible)) {}

void AlertPresenter::AddError(const QString& ErrTxt) {
    queue_.Add(ErrTxt);
    emit Due();
}

void AlertPresenter::AddUserError(const QString& ErrTxt, const QString& who) {
    // A quiet mailbox's errors are logged only, then and after.
    for (int i = 0; i < settings_.UserCount(); ++i)
        if (settings_.Users[i].ScreenName == who && IsQuiet(settings_.Users[i].Id))
            return;
    if (errorInPlace_ && errorInPlace_(ErrTxt, who))
        return;
    queue_.Add(ErrTxt, who, clock_.Now().time());
    emit Due();
}

int AlertPresenter::IndexOf(quint64 userId) const {
    return userId == 0 ? -1 : settings_.IndexOfId(userId);
}

bool AlertPresenter::AnythingPending() const {
    if (!queue_.IsEmpty())
        return true;
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const quint64 id = settings_.Users[i].Id;
        if (states_.Of(id).NewNumMails != -1 && !IsQuiet(id))
            return true;
    }
    return false;
}

qint64 AlertPresenter::MsUntilNextDue() const {
    const bool desktop = ShowsOnDesktop();
    const qint64 now = clock_.Stamp();
    qint64 wait = -1;
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const quint64 id = settings_.Users[i].Id;
        const MailboxState state = states_.Of(id);
        // A notification still standing (or expired) is not shown again until its count
        // changes, which is a state change of its own.
        // A quiet mailbox is looked at again when its quiet time ends, which is an event of
        // its own.
        if (state.NewNumMails == -1 || state.HideSession || (desktop && mailShown_.count(id)) ||
            IsQuiet(id))
            continue;
        if (SummaryDue(id)) // due whatever the show interval
            return 0;
        // News is due at once. The interval has passed once the distance is above it; a clock
        // set back only brings that moment nearer, and the look at the computed moment looks
        // again.
        const qint64 due = MailNewsDue(state, now, settings_.ShowInterval)
                               ? now
                               : state.LastAlert + MinutesMs(settings_.ShowInterval) + 1;
        const qint64 in = std::max<qint64>(due - now, 0);
        wait = wait < 0 ? in : std::min(wait, in);
    }
    return wait;
}

std::optional<AlertPresenter::Alert> AlertPresenter::MailAlertNow(quint64 userId) const {
    const int index = IndexOf(userId);
    if (index < 0 || IsQuiet(userId))
        return std::nullopt;
    const qint32 count = states_.Of(userId).NewNumMails;
    if (count == -1)
        return std::nullopt;
    return Alert{
        false, MailText(settings_.Users[index], count), userId, count, {}, OffersMarkRead(userId)};
}

void AlertPresenter::ShownNow(quint64 userId) {
    if (IndexOf(userId) >= 0)
        states_.Update(userId, [this](MailboxState& state) { state.LastAlert = clock_.Stamp(); });
}

bool AlertPresenter::OffersMarkRead(quint64 userId) const {
    const int index = IndexOf(userId);
    if (index < 0 || !markRead_)
        return false;
    const ServerParse server = ParseServerAddress(settings_.Users[index].MailServer);
    return server.ok && server.address.protocol == Protocol::Imap;
}

void AlertPresenter::MarkRead(quint64 userId) {
    if (OffersMarkRead(userId))
        markRead_(userId);
}

void AlertPresenter::OpenMail(quint64 userId) {
    if (IndexOf(userId) >= 0 && openMail_)
        openMail_(userId);
}

quint64 AlertPresenter::LostSignInOf(const QString& who) const {
    if (who.isEmpty() || !signInLost_ || !signInAgain_)
        return 0;
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const UserRecord& user = settings_.Users[i];
        if (user.ScreenName == who && user.Id != 0 && signInLost_(user.Id))
            return user.Id;
    }
    return 0;
}

void AlertPresenter::SignInAgain(quint64 userId) {
    if (IndexOf(userId) >= 0 && signInAgain_)
        signInAgain_(userId);
}

int AlertPresenter::NextMailUser(qint64 now, int from) const {
    for (int i = from; i < settings_.UserCount(); ++i) {
        const quint64 id = settings_.Users[i].Id;
        if (IsQuiet(id))
            continue;
        // A summary waits whatever the show interval: it is news the user has not seen.
        if (SummaryDue(id))
            return i;
        if (PickMailUser(settings_, states_, now, i) == i)
            return i;
    }
    return -1;
}

QString AlertPresenter::MailText(const UserRecord& user, qint32 count) const {
    if (const QString* summary = SummaryOf(user.Id))
        return *summary;
    if (showSenders_ && !showSenders_())
        return MailAlertText(user.ScreenName, count, user.NumMails);
    return MailAlertText(user.ScreenName, count, user.NumMails, states_.Of(user.Id).Messages);
}

const QString* AlertPresenter::SummaryOf(quint64 userId) const {
    const auto found = summaries_.find(userId);
    if (found == summaries_.end() || IndexOf(userId) < 0 ||
        states_.Of(userId).NewNumMails != found->second.count)
        return nullptr;
    return &found->second.text;
}

bool AlertPresenter::SummaryDue(quint64 userId) const {
    const auto found = summaries_.find(userId);
    return SummaryOf(userId) && !found->second.shown;
}

void AlertPresenter::MarkSummaryShown(quint64 userId) {
    // Kept while its count holds, so that the alert on screen keeps saying it.
    if (const auto found = summaries_.find(userId); found != summaries_.end())
        found->second.shown = true;
}

void AlertPresenter::QuietEnded(quint64 userId, qint32 came) {
    const int index = IndexOf(userId);
    if (index < 0 || states_.Of(userId).NewNumMails == -1)
        return;
    if (came <= 0) {
        // Nothing came: nothing is shown now; older news returns after the show interval.
        states_.Update(userId, [this](MailboxState& state) { state.LastAlert = clock_.Stamp(); });
        return;
    }
    summaries_[userId] = {states_.Of(userId).NewNumMails,
                          QuietSummaryText(settings_.Users[index].ScreenName, came)};
    emit Due();
}

QString MailboxTip(const MailboxState& state, const Clock& clock) {
    QStringList lines;
    if (state.NewNumMails != -1 && !state.Messages.isEmpty())
        lines << QStringLiteral("Newest: ") + MessageLine(state.Messages.first());
    if (state.LastGood != 0) {
        const QDateTime good = QDateTime::fromMSecsSinceEpoch(state.LastGood);
        const QDateTime now = clock.Now();
        lines << QStringLiteral("Last good check: ") +
                     (good.date() == now.date() ? LongTimeText(good.time())
                                                : ShortDateText(good.date()) + QLatin1Char(' ') +
                                                      LongTimeText(good.time()));
    }
    return lines.join(QLatin1Char('\n'));
}

QString QuietSummaryText(const QString& ScreenName, qint32 came, const QStringList& messages) {
    QString text = ScreenName + QStringLiteral(": ") + QString::number(came) +
                   (came == 1 ? QStringLiteral(" new email") : QStringLiteral(" new emails")) +
                   QStringLiteral(" while quiet");
    for (const QString& line : messages)
        text += QStringLiteral("\r\n") + line;
    return text;
}

std::optional<AlertPresenter::Alert> AlertPresenter::TakeNext() {
    if (!queue_.IsEmpty()) {
        const AlertQueue::Origin origin = queue_.OriginAt(0);
        return Alert{true, queue_.TakeOldest(), 0, 0, origin, false};
    }
    const int i = NextMailUser(clock_.Stamp());
    if (i < 0)
        return std::nullopt;
    // A user without an identity yet gets one, so that the alert can follow it.
    if (settings_.Users[i].Id == 0)
        settings_.AssignId(i);
    const UserRecord& user = settings_.Users[i];
    states_.Update(user.Id, [this](MailboxState& state) { state.LastAlert = clock_.Stamp(); });
    const qint32 count = states_.Of(user.Id).NewNumMails;
    const QString text = MailText(user, count);
    MarkSummaryShown(user.Id);
    return Alert{false, text, user.Id, count, {}, OffersMarkRead(user.Id)};
}

void AlertPresenter::HideForSession(quint64 userId) {
    if (IndexOf(userId) >= 0)
        states_.Update(userId, [](MailboxState& state) { state.HideSession = true; });
}

void AlertPresenter::HidePermanently(quint64 userId) {
    if (const int index = IndexOf(userId); index >= 0)
        AcceptCount(settings_.Users[index]);
}

void AlertPresenter::LeaveDesktop() {
    ForgetDesktop();
    if (desktopWanted_ && desktopWanted_() && !std::exchange(fallbackNoted_, true))
        std::fputs("Tarnwick: no desktop notification service runs on the session bus, so "
                   "alerts appear in Tarnwick's own window.\n",
                   stderr);
}

void AlertPresenter::UseDesktopNotifications(DesktopNotifications* service,
                                             std::function<bool()> wanted) {
    desktop_ = service;
    desktopWanted_ = std::move(wanted);
    if (!desktop_)
        return;
    connect(desktop_, &DesktopNotifications::ActionInvoked, this, &AlertPresenter::OnDesktopAction);
    connect(desktop_, &DesktopNotifications::NotificationClosed, this,
            [this](quint32 id, DesktopNotifications::Closed reason) {
                if (reason != DesktopNotifications::Closed::ByCall)
                    OnDesktopClosed(id, reason == DesktopNotifications::Closed::Expired);
            });
    connect(desktop_, &DesktopNotifications::AvailableChanged, this, &AlertPresenter::Due);
}

bool AlertPresenter::ShowsOnDesktop() const {
    return desktop_ && desktop_->Available() && desktopWanted_ && desktopWanted_();
}

void AlertPresenter::AcceptCount(UserRecord& user) {
    // With the count back at -1 nothing is pending: the accepted count stays as it is.
    const qint32 count = states_.Of(user.Id).NewNumMails;
    if (count == -1)
        return;
    user.NumMails = count;
    states_.Accept(user.Id);
    // A failed save has told the user already; the count stays accepted for this run and the
    // next save stores it.
    if (saveFile_)
        saveFile_();
}

void AlertPresenter::SyncDesktop() {
    // Nothing new while the user is in setup.
    if (isSetupVisible_ && isSetupVisible_())
        return;
    // Every waiting error; a user's error grows in place ("failed 3 times").
    for (int i = 0; i < queue_.Pending(); ++i) {
        Shown& shown = errorShown_[queue_.Serial(i)];
        const QString& text = queue_.GetErrors()[i];
        if (shown.id != 0 && shown.text == text)
            continue;
        Trace(QStringLiteral("frmAlert Notify: ") + text);
        QStringList actions;
        if (desktop_->HasActions() && LostSignInOf(queue_.OriginAt(i).who) != 0)
            actions = QStringList{QStringLiteral("default"), SignInCaption,
                                  QStringLiteral("sign-in"), SignInCaption};
        if ((shown.id = desktop_->Notify(shown.id, text, actions)) == 0)
            return; // the service failed: the window takes over at the next look
        shown.text = text;
    }
    // Mail: closed once nothing is left unaccepted (read elsewhere, accepted) or hidden for the
    // session; its text follows news and messages that left at once; otherwise due as for the
    // window.
    for (auto it = mailShown_.begin(); it != mailShown_.end();) {
        const MailboxState state = states_.Of(it->first);
        if (MailAlertNow(it->first) && !state.HideSession && !SummaryDue(it->first)) {
            ++it;
            continue;
        }
        desktop_->Close(it->second.id);
        it = mailShown_.erase(it);
    }
    const qint64 now = clock_.Stamp();
    for (int i = 0; i < settings_.UserCount(); ++i) {
        UserRecord& user = settings_.Users[i];
        const qint32 count = states_.Of(user.Id).NewNumMails;
        const auto found = user.Id == 0 ? mailShown_.end() : mailShown_.find(user.Id);
        const bool again = user.Id != 0 && showAgain_.count(user.Id) && count != -1 &&
                           !states_.Of(user.Id).HideSession && !IsQuiet(user.Id);
        if (found != mailShown_.end() ? found->second.text == MailText(user, count)
                                      : !again && NextMailUser(now, i) != i)
            continue;
        if (user.Id == 0)
            settings_.AssignId(i);
        showAgain_.erase(user.Id);
        Shown& shown = mailShown_[user.Id];
        const QString text = MailText(user, count);
        MarkSummaryShown(user.Id);
        Trace(QStringLiteral("frmAlert Notify: ") + text);
        QStringList actions;
        if (desktop_->HasActions()) {
            actions = QStringList{QStringLiteral("default"), QStringLiteral("Open")} + MailActions;
            if (OffersMarkRead(user.Id))
                actions << QStringLiteral("mark-read") << QStringLiteral("Mark as Read");
        }
        shown.id = desktop_->Notify(shown.id, text, actions);
        if (shown.id == 0) {
            mailShown_.erase(user.Id);
            return;
        }
        shown.text = text;
        states_.Update(user.Id, [now](MailboxState& state) { state.LastAlert = now; });
    }
}

void AlertPresenter::OnDesktopAction(quint32 id, const QString& action) {
    if (action == QLatin1String("default") || action == QLatin1String("sign-in")) {
        // A lost sign-in's error: acting on it answers it, as "Ok" does, and leads to the
        // editor.
        const auto error = std::find_if(errorShown_.begin(), errorShown_.end(),
                                        [id](const auto& entry) { return entry.second.id == id; });
        if (error != errorShown_.end()) {
            QString who;
            for (int i = 0; i < queue_.Pending(); ++i)
                if (queue_.Serial(i) == error->first)
                    who = queue_.OriginAt(i).who;
            const quint64 userId = LostSignInOf(who);
            if (userId == 0)
                return;
            queue_.Remove(error->first);
            errorShown_.erase(error);
            desktop_->Close(id);
            SignInAgain(userId);
            return;
        }
    }
    const auto found = std::find_if(mailShown_.begin(), mailShown_.end(),
                                    [id](const auto& entry) { return entry.second.id == id; });
    if (found == mailShown_.end())
        return;
    const quint64 userId = found->first;
    // Neither opening nor "Mark as Read" answers: the notification stays until the mailbox's
    // state withdraws it; one the service closed after its default action comes back.
    if (action == QLatin1String("default")) {
        opened_[userId] = clock_.Stamp();
        OpenMail(userId);
        return;
    }
    if (action == QLatin1String("mark-read")) {
        MarkRead(userId);
        return;
    }
    opened_.erase(userId);
    desktop_->Close(id);
    mailShown_.erase(found);
    // "Hide" needs no more: the alert comes back once the show interval has passed. Setup edits
    // a copy, so an action given while it is open applies at once.
    if (action == QLatin1String("hide-session"))
        HideForSession(userId);
    else if (action == QLatin1String("hide-permanently"))
        HidePermanently(userId);
    emit Due();
}

void AlertPresenter::OnDesktopClosed(quint32 id, bool expired) {
    // Dismissed: as "Hide" for mail, as "Ok" for an error. An expired mail notification has
    // been seen and may stay in the service's list: it is not shown again until its count
    // changes.
    const auto shown = std::find_if(mailShown_.begin(), mailShown_.end(),
                                    [id](const auto& entry) { return entry.second.id == id; });
    if (shown != mailShown_.end()) {
        // A service may close a notification as its default action is given; the user who
        // closes it later answers it.
        const auto opened = opened_.find(shown->first);
        const bool byOpening =
            opened != opened_.end() && clock_.Stamp() - opened->second <= ClosedByOpeningMs;
        if (opened != opened_.end())
            opened_.erase(opened);
        if (byOpening) {
            showAgain_.insert(shown->first);
            mailShown_.erase(shown);
            emit Due(); // shown again at once: opening is no answer
            return;
        }
    }
    if (!expired && shown != mailShown_.end()) {
        mailShown_.erase(shown);
        emit Due(); // due again once the show interval has passed
    }
    for (auto it = errorShown_.begin(); it != errorShown_.end(); ++it) {
        if (it->second.id == id) {
            queue_.Remove(it->first);
            errorShown_.erase(it);
            return;
        }
    }
}

void AlertPresenter::ForgetDesktop() {
    for (auto* shown : {&mailShown_, &errorShown_}) {
        for (const auto& entry : *shown) {
            if (desktop_ && desktop_->Available())
                desktop_->Close(entry.second.id);
        }
        shown->clear();
    }
}
