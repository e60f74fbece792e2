#pragma once

#include "alerts/AlertQueue.h"
#include "check/Logs.h"

#include <QObject>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

class Clock;
class DesktopNotifications;
class MailboxStates;
struct MailboxState;
class Settings;
struct UserRecord;

// What is due to be shown, and what the user's answers do: the oldest queued error text, else
// the first user whose mail alert is due. Two renderers show it: the alert window, which asks
// for one alert at a time, and the desktop's notifications, which this keeps in line with the
// queue and the mailboxes' states directly.
//
// Where the desktop's notifications are wanted and a service runs, they take the window's
// place: what is due is decided as for the window, but every waiting error and every user with
// news has a notification of its own at once, replaced when its text changes and closed when
// nothing calls for it any more.
class AlertPresenter final : public QObject, public ErrorSink {
    Q_OBJECT

public:
    // One alert for the window: an error text, or the mail alert of a user.
    struct Alert {
        bool error = false;
        QString text;
        quint64 userId = 0;        // a mail alert's user
        qint32 count = 0;          // a mail alert's NewNumMails
        AlertQueue::Origin origin; // an error's user, failures and their start
        bool markRead = false;     // a mail alert that offers "Mark as Read"
    };

    AlertPresenter(Settings& settings, MailboxStates& states, const Clock& clock,
                   std::function<bool()> saveFile, std::function<bool()> isSetupVisible,
                   QObject* parent = nullptr);

    // Queues an error text (it may hold CR LF line breaks) to be shown after those before it.
    void AddError(const QString& ErrTxt) override;
    // Queues an error of the user `who`, in place of that user's error still waiting.
    void AddUserError(const QString& ErrTxt, const QString& who) override;
    const AlertQueue& Queue() const { return queue_; }
    // The window offers to take a newer error of the user on screen in place (true: taken).
    void SetErrorInPlace(std::function<bool(const QString&, const QString&)> take) {
        errorInPlace_ = std::move(take);
    }
    // The user has answered an error of `who`: the ones waiting behind it say nothing new.
    void ForgetErrorsOf(const QString& who) { queue_.RemoveWho(who); }

    // The next alert for the window, taken from the queue or stamped as shown; none when
    // nothing is due.
    std::optional<Alert> TakeNext();
    // What the mail alert of `userId` on screen says now: its text follows news and messages
    // read or removed elsewhere; none when it is to be withdrawn (nothing left unaccepted, the
    // mailbox gone or quiet).
    std::optional<Alert> MailAlertNow(quint64 userId) const;
    // The mail alert of `userId` on screen now shows its news: the show interval counts anew.
    void ShownNow(quint64 userId);
    // An error waits or a user has news: the window's look has something to find.
    bool AnythingPending() const;
    // How long until the next mail alert that waits for its show interval falls due, in
    // milliseconds by the clock; 0 when one is due but not shown, -1 when none waits.
    qint64 MsUntilNextDue() const;
    bool IsSetupVisible() const { return isSetupVisible_ && isSetupVisible_(); }
    // Current index of the user with identity `userId`; -1 for none or gone.
    int IndexOf(quint64 userId) const;
    // The user's answers to a mail alert.
    void HideForSession(quint64 userId);
    void HidePermanently(quint64 userId);
    // "Mark as Read": offered for IMAP mailboxes once `markRead` is given; the alert goes when
    // the mailbox's state says that nothing is left.
    bool OffersMarkRead(quint64 userId) const;
    void MarkRead(quint64 userId);
    // Opens the mail of `userId` (a click on the alert's text, the notification's default
    // action). Not an answer: the alert stays.
    void OpenMail(quint64 userId);
    void SetMarkRead(std::function<void(quint64)> markRead) { markRead_ = std::move(markRead); }
    void SetOpenMail(std::function<void(quint64)> open) { openMail_ = std::move(open); }
    // A mailbox whose sign-in the provider no longer accepts (`lost`) is checked no more until
    // it is signed in again: its error alert and notification lead to `open`, which shows the
    // editor of that mailbox at "Sign In\u2026".
    void SetSignInAgain(std::function<bool(quint64)> lost, std::function<void(quint64)> open) {
        signInLost_ = std::move(lost);
        signInAgain_ = std::move(open);
    }
    // The identity of the user named `who` while its sign-in is lost; 0 otherwise.
    quint64 LostSignInOf(const QString& who) const;
    void SignInAgain(quint64 userId);
    // "Show Senders and Subjects": off, a mail alert is its first line alone.
    void SetShowSenders(std::function<bool()> on) { showSenders_ = std::move(on); }

    // Quiet hours: nothing of a mailbox that `isQuiet` names is shown (its mail alert, its
    // notification, its errors). When its quiet time has ended, `came` messages came meanwhile
    // and are still unseen: one summary alert for them stands for its mail alert; for none,
    // nothing is shown.
    void SetQuiet(std::function<bool(quint64)> isQuiet) { isQuiet_ = std::move(isQuiet); }
    void QuietEnded(quint64 userId, qint32 came);

    // Shows the alerts as the desktop's notifications whenever `wanted` says so and `service`
    // (none: no session bus) runs; otherwise in the window, after one note on stderr.
    void UseDesktopNotifications(DesktopNotifications* service, std::function<bool()> wanted);
    bool ShowsOnDesktop() const;
    // Brings the notifications in line with the queue and the user table.
    void SyncDesktop();
    // The window shows the alerts: actions given in notifications before apply, and the
    // notifications close.
    void LeaveDesktop();
    // Closes every notification of ours, as when they are no longer wanted.
    void ForgetDesktop();

signals:
    // Something may have become due: an error arrived, the service came or went, a mail
    // notification was answered.
    void Due();

private:
    bool IsQuiet(quint64 userId) const { return isQuiet_ && userId != 0 && isQuiet_(userId); }
    // The first user from `from` on whose mail alert is due and who is not quiet; -1: none.
    int NextMailUser(qint64 now, int from = 0) const;
    // The text of `user`'s mail alert: its quiet-time summary where one waits.
    QString MailText(const UserRecord& user, qint32 count) const;
    // The summary waiting for `userId` while it still fits: its mailbox is there and holds
    // the count it was made for (mail read elsewhere since leaves it to the usual alert).
    const QString* SummaryOf(quint64 userId) const;
    // A summary that fits and has not been shown yet.
    bool SummaryDue(quint64 userId) const;
    void MarkSummaryShown(quint64 userId);

    // Accepts the count that `user`'s alert stands for, as "Hide Permanently" does.
    void AcceptCount(UserRecord& user);
    void OnDesktopAction(quint32 id, const QString& action);
    void OnDesktopClosed(quint32 id, bool expired);

    Settings& settings_;
    MailboxStates& states_;
    const Clock& clock_;
    std::function<bool()> saveFile_;
    std::function<bool()> isSetupVisible_;
    AlertQueue queue_;
    std::function<bool(const QString&, const QString&)> errorInPlace_;

    struct Shown {
        quint32 id = 0; // the service's notification
        QString text;   // the text it shows
    };
    DesktopNotifications* desktop_ = nullptr;
    std::function<bool()> desktopWanted_;
    std::map<quint64, Shown> mailShown_;  // by user identity
    std::map<quint64, Shown> errorShown_; // by the queue's serial
    bool fallbackNoted_ = false;
    std::function<bool(quint64)> isQuiet_;
    struct Summary {
        qint32 count = 0; // NewNumMails when it was made
        QString text;
        bool shown = false;
    };
    std::map<quint64, Summary> summaries_; // quiet-time summaries waiting, by user identity
    std::function<void(quint64)> markRead_;
    std::function<void(quint64)> openMail_;
    std::function<bool(quint64)> signInLost_;
    std::function<void(quint64)> signInAgain_;
    std::function<bool()> showSenders_;
    // When a mailbox's notification was last opened by its default action, and the mailboxes
    // whose notification the service closed with it: opening is no answer, so it is shown
    // again.
    static constexpr qint64 ClosedByOpeningMs = 2000;
    std::map<quint64, qint64> opened_;
    std::set<quint64> showAgain_;
};

// The control centre's tooltip for a mailbox: its newest message not yet accepted and the time
// of its last good check (with the date when not today); a line left out where it has none.
QString MailboxTip(const MailboxState& state, const Clock& clock);

// The first line of a quiet time's summary: "Work: 14 new emails while quiet", then a line
// each for `messages` (the newest few senders and subjects, where they are known).
QString QuietSummaryText(const QString& ScreenName, qint32 came, const QStringList& messages = {});
