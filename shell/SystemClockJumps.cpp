#include "SystemClockJumps.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

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

#ifdef Q_OS_LINUX
// A wall-clock timer set years ahead with TFD_TIMER_CANCEL_ON_SET: reading it fails with
// ECANCELED once the wall clock was set or the system resumed, and it must be set again.
class TimerFdClockJumps final : public ClockJumps {
    Q_OBJECT

public:
    static std::unique_ptr<TimerFdClockJumps> Create() {
        const int fd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0)
            return nullptr;
        auto jumps = std::unique_ptr<TimerFdClockJumps>(new TimerFdClockJumps(fd));
        if (!jumps->Arm())
            return nullptr;
        return jumps;
    }
    ~TimerFdClockJumps() override {
        notifier_.setEnabled(false);
        ::close(fd_);
    }

private:
    explicit TimerFdClockJumps(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read) {
        connect(&notifier_, &QSocketNotifier::activated, this, &TimerFdClockJumps::OnReadable);
    }
    bool Arm() {
        timespec now = {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        itimerspec when = {};
        when.it_value.tv_sec = now.tv_sec + FarAheadSeconds;
        return ::timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when,
                                 nullptr) == 0;
    }
    void OnReadable() {
        std::uint64_t expirations = 0;
        const ssize_t n = ::read(fd_, &expirations, sizeof expirations);
        if (n < 0 && errno == EAGAIN)
            return;
        // Cancelled by a jump (or, years on, expired): set it again, then say so.
        Arm();
        emit Jumped();
    }

    static constexpr time_t FarAheadSeconds = 10 * 365 * 24 * 3600;
    int fd_ = -1;
    QSocketNotifier notifier_;
};
#endif
} // namespace

std::unique_ptr<ClockJumps> MakeSystemClockJumps() {
#ifdef Q_OS_LINUX
    if (auto jumps = TimerFdClockJumps::Create())
        return jumps;
#endif
    return std::make_unique<PollingClockJumps>();
}

#include "SystemClockJumps.moc"
