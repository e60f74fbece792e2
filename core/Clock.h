#pragma once

#include <QDateTime>
#include <utility>

// The time of day and the date, handed in so that tests can run on a clock of their own.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime Now() const = 0;

    // Seconds since local midnight, with fraction, in single precision.
    float TimeOfDay() const;
};

// The date and time as the user's locale writes them: its short date, and its long time
// (hours, minutes and seconds) without a time zone.
QString ShortDateText(const QDate& date);
QString LongTimeText(const QTime& time);

class SystemClock final : public Clock {
public:
    QDateTime Now() const override { return QDateTime::currentDateTime(); }
};

// A clock that stands still until told otherwise.
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime now = QDateTime(QDate(2026, 1, 5), QTime(10, 0)))
        : now_(std::move(now)) {}
    QDateTime Now() const override { return now_; }
    void Set(const QDateTime& now) { now_ = now; }
    void SetTime(const QTime& time) { now_.setTime(time); }
    void Advance(qint64 ms) { now_ = now_.addMSecs(ms); }

private:
    QDateTime now_;
};
