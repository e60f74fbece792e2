#include "Clock.h"

#include <QLocale>
#include <QRegularExpression>

float Clock::TimeOfDay() const {
    return float(Now().time().msecsSinceStartOfDay() / 1000.0);
}

QString ShortDateText(const QDate& date) {
    return QLocale::system().toString(date, QLocale::ShortFormat);
}

QString LongTimeText(const QTime& time) {
    const QLocale locale = QLocale::system();
    // The long form may name the time zone ("t"); the log and the trace want only the time.
    QString format = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    format.replace(zone, QStringLiteral(" "));
    return locale.toString(time, format.trimmed());
}
