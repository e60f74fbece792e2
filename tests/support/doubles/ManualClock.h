#pragma once

#include "core/Clock.h"

#include <QElapsedTimer>
#include <utility>

// A clock that stands still until told otherwise, or runs in step with real time from where
// it stands once told to `Run`.
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime now = QDateTime(QDate(2026, 1, 5), QTime(10, 0)))
        : now_(std::move(now)) {}
    QDateTime Now() const override {
        return running_.isValid() ? now_.addMSecs(running_.elapsed()) : now_;
    }
    void Set(const QDateTime& now) { now_ = now; }
    void SetTime(const QTime& time) { now_.setTime(time); }
    void Advance(qint64 ms) { now_ = now_.addMSecs(ms); }
    void Run() { running_.start(); }

private:
    QDateTime now_;
    QElapsedTimer running_;
};
