#include "QuietTimes.h"

#include "check/MailboxStates.h"
#include "core/Clock.h"
#include "core/ClockJumps.h"
#include "core/Settings.h"

#include <QLocale>
#include <algorithm>

namespace {
// A timer waits at most this long, so that a clock that drifts is followed within it.
constexpr qint64 MaxWaitMs = 10 * 60 * 1000;
} // namespace

QuietTimes::QuietTimes(const Settings& settings, MailboxStates& states, const Clock& clock,
                       HoursOf hoursOf, QObject* parent)
    : QObject(parent), settings_(settings), states_(states), clock_(clock),
      hoursOf_(std::move(hoursOf)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &QuietTimes::Decide);
    connect(&states_, &MailboxStates::Changed, this, &QuietTimes::OnStateChanged);
}

void QuietTimes::WatchClock(ClockJumps& jumps) {
    connect(&jumps, &ClockJumps::Jumped, this, &QuietTimes::Decide);
}

qint32 QuietTimes::ServerCount(quint64 userId) const {
    const qint32 pending = states_.Of(userId).NewNumMails;
    if (pending != -1)
        return pending;
    const int index = settings_.IndexOfId(userId);
    return index < 0 ? 0 : settings_.Users[index].NumMails;
}

void QuietTimes::OnStateChanged(quint64 userId, const MailboxState&) {
    if (const auto found = quiet_.find(userId); found != quiet_.end())
        found->second.low = std::min(found->second.low, ServerCount(userId));
}

void QuietTimes::Decide() {
    const QDateTime now = clock_.Now();
    QDateTime next;
    bool changed = false;
    std::map<quint64, Quiet> was = std::exchange(quiet_, {});
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const quint64 id = settings_.Users[i].Id;
        if (id == 0)
            continue;
        const QuietHours hours = hoursOf_ ? hoursOf_(id) : QuietHours{};
        const QuietNow quiet = QuietAt(hours, now);
        const auto before = was.find(id);
        if (quiet.quiet) {
            // A quiet time that goes on keeps its lowest count; one that begins starts there.
            const qint32 low = before != was.end() ? before->second.low : ServerCount(id);
            quiet_[id] = Quiet{quiet.until, low};
            changed = changed || before == was.end() || before->second.until != quiet.until;
        }
        if (before != was.end() && !quiet.quiet) {
            const Quiet ended = before->second;
            was.erase(before);
            changed = true;
            const qint32 pending =
                states_.Of(id).NewNumMails == -1
                    ? 0
                    : std::max(0, states_.Of(id).NewNumMails - settings_.Users[i].NumMails);
            emit Ended(id, std::clamp(ServerCount(id) - ended.low, 0, pending));
        }
        if (const QDateTime change = NextQuietChange(hours, now);
            change.isValid() && (!next.isValid() || change < next))
            next = change;
    }
    // Mailboxes removed while quiet end without a summary.
    for (auto it = was.begin(); it != was.end(); ++it)
        changed = changed || !quiet_.count(it->first);
    const qint64 wait =
        next.isValid() ? std::clamp(now.msecsTo(next) + 200, qint64(0), MaxWaitMs) : MaxWaitMs;
    timer_.start(int(wait));
    if (changed)
        emit QuietChanged();
}

QString QuietTimes::Tip(quint64 userId) const {
    const auto found = quiet_.find(userId);
    if (found == quiet_.end())
        return {};
    const QDateTime until = found->second.until;
    QString when = until.time().toString(QStringLiteral("HH:mm"));
    if (clock_.Now().msecsTo(until) > 24 * 60 * 60 * 1000)
        when = QLocale::c().dayName(until.date().dayOfWeek(), QLocale::ShortFormat) +
               QLatin1Char(' ') + when;
    return QStringLiteral("quiet until ") + when;
}
