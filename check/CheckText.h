#pragma once

#include <QString>

// Small text helpers the sessions share.

inline bool HoldsLineBreakOrNul(const QString& text) {
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

// `line` without its line end (CR, LF, or any run of them).
template <typename Text> Text WithoutLineEnd(Text line) {
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}
