#pragma once

#include "ServerAddress.h"
#include "core/UserLists.h"

#include <QObject>
#include <QTimer>
#include <optional>

class CheckLogs;
class Clock;
class ClockJumps;
class Settings;
class Transport;

// The POP3 check session and its scheduler. A tick of `tmrCheckMail` starts a run; each run
// picks the next due user, logs in (USER, PASS), asks STAT and leaves (QUIT). Every event of
// the run (a reply line, a socket failure, the reply time-out, the start signal) goes through
// `NextCheck`, which advances the session by one step. A command goes out only once the reply
// to the one before it (or the greeting) is in; the reply is the first line that arrives
// after it, and any other line answers no command and is dropped.
class CheckEngine final : public QObject, public CheckStatus {
    Q_OBJECT
public:
    static constexpr quint16 Pop3Port = 110;
    static constexpr int TimeoutMs = 60000;
    static constexpr int NextUserTickMs = 1000;
    // The longest the scheduler sleeps at a time, whatever the intervals.
    static constexpr qint64 LongestWaitMs = 24 * 60 * 60 * 1000;
    // However short the check interval, a user is checked at most this often.
    static constexpr qint64 MinCheckGapMs = 1000;

    CheckEngine(Settings& settings, const Clock& clock, Transport& transport, CheckLogs& logs,
                const UserLists& lists, quint16 port = Pop3Port, QObject* parent = nullptr);

    bool IsChecking() const override { return Checking; }
    int GetCheckUser() const override;
    int GetStage() const { return Stage; }

    // Starts a run unless one is in progress. `ResetThings` makes every user due for a check
    // and every pending alert due for showing again.
    void CheckMail(bool ResetThings);
    // Advances the session by one step with `Reply`, a reply line with its line end, or
    // "-ERR " and a description of a failure, or "+OK" as the start signal.
    void NextCheck(const QString& Reply);

    // The next due user (`LastCheck` more than `CheckInterval` minutes back), or -1. Due
    // users take turns: the search starts after the user picked last and wraps around.
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

    // The scheduler's first tick comes as soon as the event loop runs. From then on it ticks
    // only when a user is due (at least `minDelayMs` after the last run), never during a
    // run, and not at all while there are no users.
    void Start();
    void SetTimeoutInterval(int ms) { tmrTimeout.setInterval(ms); }

    QTimer tmrCheckMail;
    QTimer tmrTimeout;

signals:
    // A check run began or ended.
    void CheckingChanged(bool checking);
    // A STAT reply found more mail than the user has accepted.
    void NewMailFound();

private:
    // One step for a "+OK" reply; returns a replacement reply when the step failed.
    std::optional<QString> DoStep(const QString& Reply, bool& raiseStage);
    std::optional<QString> SendCommand(const char* word, const QString& argument,
                                       const QString& fieldName);
    std::optional<QString> EvaluateStat(const QString& Reply, int user);
    void DoError(const QString& ErrMsg);
    void SetChecking(bool checking);
    void SendLine(const QByteArray& bytes);
    // The run is over; the next one starts after the short pause.
    void EndRun();
    void ScheduleNextTick(qint64 minDelayMs);
    void OnCheckMailTick();
    void OnTimeout();
    void OnLine(const QByteArray& line);
    void OnEncrypted();

    Settings& settings_;
    const Clock& clock_;
    Transport& transport_;
    CheckLogs& logs_;
    const UserLists& lists_;
    quint16 port_;

    bool Checking = false;
    int Stage = 0;
    quint64 curUserId_ = 0;      // the user being checked, followed by identity
    quint64 lastPickId_ = 0;     // the user picked last, where the next pick starts looking
    int lastPickIndex_ = -1;     // its index then, in case it was deleted since
    bool awaitingReply_ = false; // a command (or the greeting) has no reply yet
    bool arrivalTaken_ = false;  // a line of the current arrival was taken as a reply
    // The security of the connection being checked; for STLS, how far it has got. All of
    // it happens while the greeting's stage (1) lasts.
    Security security_ = Security::None;
    enum class Stls { Off, Greeting, AwaitReply, Handshake, Done };
    Stls stls_ = Stls::Off;
};
