#include "SetupState.h"

#include "core/Numeric.h"

IntervalAnswer ParseIntervalAnswer(const QString& text) {
    IntervalAnswer answer;
    if (text.isEmpty())
        return answer;
    const std::optional<double> number = ParseNumber(text);
    if (!number) {
        answer.kind = IntervalAnswer::Kind::NotANumber;
        return answer;
    }
    const std::optional<qint16> whole = FloorToInt16(*number);
    if (!whole) {
        answer.kind = IntervalAnswer::Kind::OutOfRange;
        return answer;
    }
    answer.kind = IntervalAnswer::Kind::Number;
    answer.Value = *whole;
    return answer;
}

QString IntervalPrompt(const QString& intName) {
    return QStringLiteral("Enter new ") + intName + QStringLiteral(" interval :");
}
