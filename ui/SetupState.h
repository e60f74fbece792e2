#pragma once

#include <QString>

// An answer to "Enter new … interval :".
struct IntervalAnswer {
    enum class Kind {
        Empty,      // Cancel, or OK on a cleared field: keep the value
        Number,     // `Value` holds the answer rounded down
        NotANumber, // ask again
        OutOfRange, // a number whose whole part a 16-bit interval cannot hold: ask again
    };
    Kind kind = Kind::Empty;
    qint16 Value = 0;
};

IntervalAnswer ParseIntervalAnswer(const QString& text);

// The prompt and the two refusals of the interval question.
QString IntervalPrompt(const QString& intName);
inline const QString NotANumberMessage = QStringLiteral("You must enter a number!");
inline const QString OutOfRangeMessage =
    QStringLiteral("The interval must lie between -32768 and 32767!");
