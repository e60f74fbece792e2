#pragma once

#include <QDateTime>
#include <QLocale>

// The date and time, handed in so that tests can run on a clock of their own.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime Now() const = 0;

    // Milliseconds since the epoch: a time stamp that keeps counting across midnight and
    // across days, for `LastCheck` and `LastAlert`.
    virtual qint64 Stamp() const { return Now().toMSecsSinceEpoch(); }
};

// An interval of `minutes` minutes in milliseconds; each user bounds it as it needs.
inline qint64 MinutesMs(qint64 minutes) {
    return minutes * 60 * 1000;
}

// True when `stamp` lies more than `minutes` minutes away from `now` (both from
// `Clock::Stamp`), in either direction: a clock set back makes a user due as well. Any 16-bit
// interval works; one of 0 or below has passed as soon as any time has.
bool IntervalPassed(qint64 now, qint64 stamp, qint16 minutes);

// The date and time as the user's locale writes them: its short date, and its long time
// (hours, minutes and seconds) without a time zone. A date or time that the logs' code page
// cannot hold is written as yyyy-MM-dd or HH:mm:ss.
QString ShortDateText(const QDate& date, const QLocale& locale = QLocale::system());
QString LongTimeText(const QTime& time, const QLocale& locale = QLocale::system());

class SystemClock final : public Clock {
public:
    QDateTime Now() const override { return QDateTime::currentDateTime(); }
    // Without the local time zone, which the C library may look up on the disk each time.
    qint64 Stamp() const override { return QDateTime::currentMSecsSinceEpoch(); }
};
