#pragma once

#include "check/Messages.h"

#include <QString>
#include <QTime>
#include <QVector>
#include <QtGlobal>

class MailboxStates;
class Settings;
struct MailboxState;

// The error texts waiting to be shown, oldest first. The texts stay packed at the low end of
// `Errors` (indices 0..LastError); the array grows by the table's rule and never shrinks.
//
// A text added for a user (`who` not empty) replaces that user's text still waiting, in its
// place, so that a server that stays down yields one alert to answer, not one per check.
class AlertQueue final {
public:
    static constexpr int InitialSlots = 10;
    // LastError is a 16-bit index: beyond this many pending texts the newest is dropped, so
    // that a storm of errors cannot grow the queue without limit.
    static constexpr int MaxPending = 32767;

    // Appends a copy of `ErrTxt`. False (and a trace line) when the queue is full and the text
    // was dropped.
    bool Add(const QString& ErrTxt);
    // The same for an error of the user `who` at `at`: a text of that user still waiting is
    // replaced by this one, followed by "(failed N times since HH:MM)", N counting the texts
    // it stands for and HH:MM the time of the first of them.
    bool Add(const QString& ErrTxt, const QString& who, const QTime& at);
    // Removes and returns the oldest text; an empty text when nothing is pending.
    QString TakeOldest();

    // Which text waits at `index`, for as long as it waits, whatever is added or taken
    // around it; and the removal of that text (the desktop's notifications show every
    // waiting text at once, and each leaves the queue when its notification is closed).
    quint64 Serial(int index) const { return origins_[index].serial; }
    void Remove(quint64 serial);

    bool IsEmpty() const { return LastError < 0; }
    int Pending() const { return LastError + 1; }
    int GetLastError() const { return LastError; }
    const QVector<QString>& GetErrors() const { return Errors; }

    // Whose text waits at the same index, how many failures it stands for, since when.
    struct Origin {
        QString who;
        int failures = 1;
        QTime since;
        quint64 serial = 0;
    };
    const Origin& OriginAt(int index) const { return origins_[index]; }
    // Removes every waiting text of the user `who`.
    void RemoveWho(const QString& who);
    // `ErrTxt` standing for `failures` failures since `since`.
    static QString FailedText(const QString& ErrTxt, int failures, const QTime& since);

private:
    QVector<QString> Errors = QVector<QString>(InitialSlots);
    QVector<Origin> origins_ = QVector<Origin>(InitialSlots);
    qint16 LastError = -1;
    quint64 lastSerial_ = 0;
};

// "<ScreenName> has <n> new emails.", n being the mail not yet accepted. Formed in 64 bits, so
// that no pair of 32-bit counts can overflow it.
QString MailAlertText(const QString& ScreenName, qint32 NewNumMails, qint32 NumMails);
// The same first line, then a line for each of the newest `MaxListed` of `listed` (newest
// first) and "and N more" for the rest of the count, listed or counted only.
QString MailAlertText(const QString& ScreenName, qint32 NewNumMails, qint32 NumMails,
                      const QList<MessageSummary>& listed);
inline constexpr int MaxListed = 5;
// One message as one piece of text, so that a screen reader reads sender and subject together:
// "Alice Example: Lunch", "(no subject)" for none; control characters written visibly.
QString MessageLine(const MessageSummary& message);

// An alert's `text` as a notification's body: one line a line, escaped where the service reads
// markup, so that a "<" or "&" of a sender, a subject or a screen name shows as itself.
QString NotificationBody(const QString& text, bool markup);

// The lowest-indexed user whose mail alert is due at `now` (a `Clock::Stamp`): new mail
// pending, not hidden for the session, and either a message not seen before found since the
// last alert or the last alert more than `ShowInterval` minutes away (the interval spaces the
// return of news answered with "Hide", never news itself). -1 when nobody is due. Users below
// `from` are not looked at.
int PickMailUser(const Settings& settings, const MailboxStates& states, qint64 now, int from = 0);

// Whether the news of `state` is due at `now` by the rule above, pending mail assumed.
bool MailNewsDue(const MailboxState& state, qint64 now, qint16 ShowInterval);
