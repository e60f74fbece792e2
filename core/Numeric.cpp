#include "Numeric.h"

#include <cmath>
#include <limits>

namespace {
bool IsDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

template <typename T> std::optional<T> InRange(double whole) {
    if (!std::isfinite(whole) || whole < double(std::numeric_limits<T>::min()) ||
        whole > double(std::numeric_limits<T>::max()))
        return std::nullopt;
    return T(whole);
}
} // namespace

std::optional<double> ParseNumber(const QString& text) {
    const QString t = text.trimmed();
    int i = 0;
    const int n = int(t.size());
    if (i < n && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-')))
        ++i;
    int digits = 0;
    while (i < n && IsDigit(t[i])) {
        ++i;
        ++digits;
    }
    if (i < n && t[i] == QLatin1Char('.')) {
        ++i;
        while (i < n && IsDigit(t[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return std::nullopt;
    if (i < n && (t[i] == QLatin1Char('e') || t[i] == QLatin1Char('E'))) {
        ++i;
        if (i < n && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-')))
            ++i;
        int expDigits = 0;
        while (i < n && IsDigit(t[i])) {
            ++i;
            ++expDigits;
        }
        if (expDigits == 0)
            return std::nullopt;
    }
    if (i != n)
        return std::nullopt;
    bool ok = false;
    const double value = t.toDouble(&ok); // C locale: '.' is the decimal point
    if (!ok && !std::isinf(value))
        return std::nullopt;
    return value;
}

std::optional<qint16> FloorToInt16(double value) {
    return InRange<qint16>(std::floor(value));
}

std::optional<qint32> FloorToInt32(double value) {
    return InRange<qint32>(std::floor(value));
}

std::optional<qint32> RoundToInt32(double value) {
    // Half to the even neighbour, whatever the current rounding mode.
    const double lower = std::floor(value);
    const double diff = value - lower;
    double whole = lower;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(lower, 2.0) != 0.0))
        whole = lower + 1.0;
    return InRange<qint32>(whole);
}
