#include "Clock.h"

#include "CodePage.h"

#include <QRegularExpression>

bool IntervalPassed(qint64 now, qint64 stamp, qint16 minutes) {
    const qint64 elapsed = now >= stamp ? now - stamp : stamp - now;
    return elapsed > MinutesMs(minutes);
}

QString ShortDateText(const QDate& date, const QLocale& locale) {
    const QString text = locale.toString(date, QLocale::ShortFormat);
    // Arabic-Indic or Myanmar digits, say, would reach the log as question marks.
    if (!FitsCodePage(text))
        return date.toString(QStringLiteral("yyyy-MM-dd"));
    return text;
}

QString LongTimeText(const QTime& time, const QLocale& locale) {
    // The long form may name the time zone ("t"), in some locales in brackets; the log and
    // the trace want only the time.
    QString format = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*[(\\[]?\\s*t+\\s*[)\\]]?\\s*"));
    format.replace(zone, QStringLiteral(" "));
    const QString text = locale.toString(time, format.trimmed());
    // Hours written with CJK signs, say, would reach the log as question marks.
    if (!FitsCodePage(text))
        return time.toString(QStringLiteral("HH:mm:ss"));
    return text;
}
