#pragma once

#include <QString>

// Small text helpers the sessions share.

inline bool HoldsLineBreakOrNul(const QString& text) {
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

inline QString WithoutLineEnd(QString line) {
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}
