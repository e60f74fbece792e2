#pragma once

#include "core/QuietHours.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <functional>
#include <map>

class Clock;
class ClockJumps;
class MailboxStates;
class Settings;
struct MailboxState;

// Which mailboxes are in their quiet hours now, and what came meanwhile. Decides at each
// quiet time's start and end (a timer for the next of them), and at once when the clock jumps
// (a resume, the time or the time zone set). While a mailbox is quiet the lowest count its
// server reported is kept, so that at the end "what came" is what was added above it and is
// still not accepted: mail read elsewhere meanwhile is not in it.
class QuietTimes final : public QObject {
    Q_OBJECT

public:
    // Where a mailbox's quiet hours come from, by its identity.
    using HoursOf = std::function<QuietHours(quint64)>;

    QuietTimes(const Settings& settings, MailboxStates& states, const Clock& clock, HoursOf hoursOf,
               QObject* parent = nullptr);

    bool IsQuiet(quint64 userId) const { return quiet_.count(userId) != 0; }
    // "quiet until 08:00" for a quiet mailbox ("quiet until Sat 08:00" beyond a day); empty
    // otherwise.
    QString Tip(quint64 userId) const;
    // Decides again for every mailbox, now.
    void Decide();
    void WatchClock(ClockJumps& jumps);

signals:
    // The quiet time of `userId` has ended; `came` messages came meanwhile, still unseen.
    void Ended(quint64 userId, qint32 came);
    // A mailbox became quiet or stopped being quiet.
    void QuietChanged();

private:
    void OnStateChanged(quint64 userId, const MailboxState& state);
    // The count the server holds as far as is known: the pending one, else the accepted one.
    qint32 ServerCount(quint64 userId) const;

    struct Quiet {
        QDateTime until;
        qint32 low = 0; // the lowest server count since it began
    };
    const Settings& settings_;
    MailboxStates& states_;
    const Clock& clock_;
    HoursOf hoursOf_;
    std::map<quint64, Quiet> quiet_;
    QTimer timer_;
};
