#pragma once

#include "BearerTokens.h"
#include "CountRecorder.h"
#include "IdleUsers.h"
#include "ImapSession.h"
#include "Pop3Session.h"
#include "Transport.h"
#include "core/UserLists.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <functional>
#include <memory>

class CheckLogs;
class Clock;
class ClockJumps;
class MailboxStates;
class SeenMessages;
class Settings;
struct UserRecord;

// The check scheduler. A tick of `tmrCheckMail` starts a run; each run picks the next due
// user and hands it to the session of its protocol; when that session ends, the next due
// user follows after a short pause. Users are checked one at a time.
class CheckEngine final : public QObject, public CheckStatus {
    Q_OBJECT
public:
    static constexpr quint16 Pop3Port = ServerAddress::PlainPort;
    static constexpr int TimeoutMs = Pop3Session::TimeoutMs;
    static constexpr int NextUserTickMs = 1000;
    // The longest the scheduler sleeps at a time, whatever the intervals.
    static constexpr qint64 LongestWaitMs = 24 * 60 * 60 * 1000;
    // However short the check interval, a user is checked at most this often.
    static constexpr qint64 MinCheckGapMs = 1000;
    // Clock jumps closer together than this count as one.
    static constexpr qint64 JumpsApartMs = 5000;

    // `transport` is the one POP3 connection; `port` the port of plain POP3 (110 but in
    // tests).
    CheckEngine(Settings& settings, MailboxStates& states, const Clock& clock, Transport& transport,
                CheckLogs& logs, quint16 port = Pop3Port, QObject* parent = nullptr);

    bool IsChecking() const override { return Checking; }
    int GetCheckUser() const override;
    qint32 NewNumMails(quint64 id) const override;
    int GetStage() const;

    // Starts a run unless one is in progress. `ResetThings` makes every user due for a check
    // and every pending alert due for showing again.
    void CheckMail(bool ResetThings);

    // The next due user (`LastCheck` more than `CheckInterval` minutes back), or -1. Due
    // users take turns: the search starts after the user picked last and wraps around.
    // Users watched in IDLE are never due.
    int PickDueUser() const;
    int PickDueUser(qint64 now) const;
    // Milliseconds from `now` until the first user is due (0: one is due now), or -1 when
    // there is nobody to check.
    qint64 NextDueIn(qint64 now) const;

    // After a resume or a change of the wall clock, due users are checked at once and the
    // next look is timed anew.
    void WatchClock(ClockJumps& jumps);
    // The users or the interval may have changed: the next look is timed anew.
    void Reschedule();
    // Setup committed: `edited` accounts are watched afresh, the states of `removed` ones go.
    void AccountsChanged(const QList<quint64>& edited, const QList<quint64>& removed);

    // The scheduler's first tick comes as soon as the event loop runs. From then on it ticks
    // only when a user is due (at least `minDelayMs` after the last run), never during a
    // run, and not at all while there are no users.
    void Start();
    void SetTimeoutInterval(int ms);
    // Closes every connection: at the exit.
    void CloseAll();

    // Where what was seen of each mailbox is kept; without it mail is counted, not listed.
    void SetSeen(SeenMessages* seen) { recorder_.SetSeen(seen); }
    // Marks every message that the IMAP mailbox `account`'s alert stands for read on its
    // server, on a connection of its own; then the mailbox is counted again. A refusal is
    // reported as a failed check is.
    void MarkRead(quint64 account);

    // Users for whom this says true are not checked: their password is not there yet.
    void SetHeld(std::function<bool(const UserRecord&)> held) { held_ = std::move(held); }

    // How each mailbox signs in when not with its password (nothing: with its password).
    void SetSignIns(std::function<std::optional<SignIn>(quint64 userId)> signIns) {
        signIns_ = std::move(signIns);
    }
    BearerTokens& Tokens() { return tokens_; }
    // The provider no longer accepted the mailbox's sign-in: it is not checked until it is
    // signed in again.
    bool SignedOut(quint64 userId) const { return signedOut_.contains(userId); }
    void SignedInAgain(quint64 userId);

    // Where sessions other than POP3 get their connections from.
    void SetTransportFactory(TransportFactory factory) { makeTransport_ = std::move(factory); }

    CountRecorder& Recorder() { return recorder_; }
    Pop3Session& Pop3() { return pop3_; }
    ImapSession& Imap() { return imap_; }
    IdleUsers& Idle() { return idle_; }

    QTimer tmrCheckMail;

signals:
    // A check run began or ended.
    void CheckingChanged(bool checking);
    // The provider no longer accepts the sign-in of the mailbox `userId`.
    void SignInLost(quint64 userId);
    // A server reported more mail than the user with identity `userId` has accepted.
    void NewMailFound(quint64 userId, qint32 count);
    // What the user lists show may have changed: who is being checked, or a count.
    void StatusChanged();

private:
    // The pick (the session's stage 0): the next due user's session begins, or the run ends.
    void PickAndBegin();
    // Begins the check of the user being checked with an access token, once there is one.
    void BeginWithToken(const CheckRequest& request, const SignIn& signIn);
    void OnCounted(const ServerCount& count);
    void OnSessionEnded(const CheckResult& result);
    void SetChecking(bool checking);
    // The run is over; the next one starts after the short pause.
    void EndRun();
    void ScheduleNextTick(qint64 minDelayMs);
    // What is left of the pause after the last run.
    qint64 PauseLeft() const;
    // Watched in IDLE, or held back by SetHeld: never due.
    bool Skipped(const UserRecord& user) const;

    Settings& settings_;
    MailboxStates& states_;
    const Clock& clock_;
    CheckLogs& logs_;
    TransportFactory makeTransport_;
    std::function<bool(const UserRecord&)> held_;
    QElapsedTimer runEnded_; // since the last run ended
    QElapsedTimer lastJump_; // since the clock last jumped
    CountRecorder recorder_;
    Pop3Session pop3_;
    ImapSession imap_;
    IdleUsers idle_;
    BearerTokens tokens_;
    std::function<std::optional<SignIn>(quint64 userId)> signIns_;
    QSet<quint64> signedOut_;
    std::optional<SignIn> activeSignIn_; // the checked user's, when it signs in so
    bool retried_ = false;               // its refused token was replaced once already
    ServerAddress activeAddress_;        // where the user being checked is checked
    CheckSession* active_ = nullptr;     // the session of the user being checked

    std::unique_ptr<ImapSession> marking_; // the MarkRead in progress
    quint64 markingId_ = 0;
    QList<quint64> markQueue_;
    int timeoutMs_ = ImapSession::TimeoutMs;

    bool Checking = false;
    quint64 curUserId_ = 0;  // the user being checked, followed by identity
    quint64 lastPickId_ = 0; // the user picked last, where the next pick starts looking
    int lastPickIndex_ = -1; // its index then, in case it was deleted since
};
