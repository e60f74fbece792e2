#include "Clock.h"

#include "CodePage.h"

namespace {
// The format without its time zone ("t", "tt", ...), the brackets and the spaces around it
// each replaced by one space. Scanned by hand: a regular expression would load its engine
// into every running program for this one line.
QString WithoutZone(const QString& format) {
    const qsizetype n = format.size();
    const auto spaces = [&](qsizetype i) {
        while (i < n && format[i].isSpace())
            ++i;
        return i;
    };
    QString out;
    out.reserve(n);
    for (qsizetype i = 0; i < n;) {
        qsizetype j = spaces(i);
        if (j < n && (format[j] == QLatin1Char('(') || format[j] == QLatin1Char('[')))
            j = spaces(j + 1);
        if (j < n && format[j] == QLatin1Char('t')) {
            while (j < n && format[j] == QLatin1Char('t'))
                ++j;
            j = spaces(j);
            if (j < n && (format[j] == QLatin1Char(')') || format[j] == QLatin1Char(']')))
                ++j;
            out += QLatin1Char(' ');
            i = spaces(j);
            continue;
        }
        out += format[i++];
    }
    return out;
}
} // namespace

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
    const QString format = WithoutZone(locale.timeFormat(QLocale::LongFormat));
    const QString text = locale.toString(time, format.trimmed());
    // Hours written with CJK signs, say, would reach the log as question marks.
    if (!FitsCodePage(text))
        return time.toString(QStringLiteral("HH:mm:ss"));
    return text;
}
