#include "QuietHours.h"

#include <QTimeZone>
#include <algorithm>

namespace {
const QByteArray OnField = QByteArrayLiteral("QuietHours");
const QByteArray FromField = QByteArrayLiteral("QuietFrom");
const QByteArray ToField = QByteArrayLiteral("QuietTo");
const QByteArray DaysField = QByteArrayLiteral("QuietDays");

struct Span {
    QDateTime start, end;
};

// The span that begins on `date`, if that day has one.
std::optional<Span> SpanOn(const QuietHours& hours, const QDate& date, const QTimeZone& zone) {
    if (!hours.OnDay(date.dayOfWeek()))
        return std::nullopt;
    const QDate endDate = hours.To > hours.From ? date : date.addDays(1);
    return Span{QDateTime(date, hours.From, zone), QDateTime(endDate, hours.To, zone)};
}
} // namespace

QTime ParseTimeOfDay(const QString& text) {
    const QString t = text.trimmed();
    if (t.size() != 5 || t[2] != QLatin1Char(':'))
        return {};
    return QTime::fromString(t, QStringLiteral("HH:mm"));
}

QuietHours QuietHours::FromFields(const SideFile::Fields& fields) {
    QuietHours hours;
    for (const auto& [name, value] : fields) {
        if (name == OnField)
            hours.On = value == QLatin1String("on");
        else if (name == FromField || name == ToField) {
            if (const QTime time = ParseTimeOfDay(value); time.isValid())
                (name == FromField ? hours.From : hours.To) = time;
        } else if (name == DaysField) {
            quint8 days = 0;
            for (const QChar c : value)
                if (c >= QLatin1Char('1') && c <= QLatin1Char('7'))
                    days |= quint8(1 << (c.unicode() - '1'));
            hours.Days = days;
        }
    }
    return hours;
}

void QuietHours::ToFields(SideFile::Fields& fields) const {
    const bool had = std::any_of(fields.begin(), fields.end(),
                                 [](const auto& field) { return field.first == OnField; });
    if (!had && *this == QuietHours{})
        return;
    QString days;
    for (int day = 1; day <= 7; ++day)
        if (OnDay(day))
            days += QChar(u'0' + day);
    const std::pair<QByteArray, QString> mine[] = {
        {OnField, On ? QStringLiteral("on") : QStringLiteral("off")},
        {FromField, From.toString(QStringLiteral("HH:mm"))},
        {ToField, To.toString(QStringLiteral("HH:mm"))},
        {DaysField, days}};
    for (const auto& entry : mine) {
        const auto found = std::find_if(fields.begin(), fields.end(), [&entry](const auto& field) {
            return field.first == entry.first;
        });
        if (found != fields.end())
            found->second = entry.second;
        else
            fields.append(entry);
    }
}

QuietNow QuietAt(const QuietHours& hours, const QDateTime& now) {
    if (!hours.On || hours.Days == 0 || !now.isValid())
        return {};
    const QTimeZone zone = now.timeZone();
    const QDate today = now.toTimeZone(zone).date();
    QuietNow result;
    // A span begun yesterday may still run; spans that follow on meet the one before.
    for (QDate day = today.addDays(-1); day <= today.addDays(8); day = day.addDays(1)) {
        const std::optional<Span> span = SpanOn(hours, day, zone);
        if (!span)
            continue;
        if (!result.quiet) {
            if (span->start <= now && now < span->end)
                result = {true, span->end};
            else if (span->start > now)
                break;
        } else if (span->start <= result.until) {
            result.until = std::max(result.until, span->end);
        } else {
            break;
        }
    }
    return result;
}

QDateTime NextQuietChange(const QuietHours& hours, const QDateTime& now) {
    if (!hours.On || hours.Days == 0 || !now.isValid())
        return {};
    if (const QuietNow quiet = QuietAt(hours, now); quiet.quiet)
        return quiet.until;
    const QTimeZone zone = now.timeZone();
    const QDate today = now.toTimeZone(zone).date();
    for (QDate day = today; day <= today.addDays(7); day = day.addDays(1))
        if (const std::optional<Span> span = SpanOn(hours, day, zone); span && span->start > now)
            return span->start;
    return {};
}
