#include "SystemClockJumps.h"

#include "platform/Platform.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>

namespace {
// Compares how far the wall clock and the monotonic clock moved since the last look.
class PollingClockJumps final : public ClockJumps {
    Q_OBJECT

public:
    static constexpr int LookMs = 60000;
    static constexpr qint64 ToleranceMs = 3000;

    PollingClockJumps() {
        timer_.setTimerType(Qt::VeryCoarseTimer);
        connect(&timer_, &QTimer::timeout, this, &PollingClockJumps::Look);
        Restart();
        timer_.start(LookMs);
    }

private:
    void Restart() {
        wall_ = QDateTime::currentMSecsSinceEpoch();
        monotonic_.start();
    }
    void Look() {
        const qint64 wallMoved = QDateTime::currentMSecsSinceEpoch() - wall_;
        const qint64 drift = wallMoved - monotonic_.elapsed();
        Restart();
        if (drift > ToleranceMs || drift < -ToleranceMs)
            emit Jumped();
    }

    QTimer timer_;
    QElapsedTimer monotonic_;
    qint64 wall_ = 0;
};

} // namespace

std::unique_ptr<ClockJumps> MakeSystemClockJumps() {
    if (auto jumps = MakeKernelClockJumps())
        return jumps;
    return std::make_unique<PollingClockJumps>();
}

#include "SystemClockJumps.moc"
