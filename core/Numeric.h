#pragma once

#include <QString>
#include <optional>

// Reads a numeric text as the settings file and the STAT reply may hold it: optional blanks
// around it, an optional sign, digits with an optional fraction, an optional exponent.
// Nothing else (no hex, no thousands separators, no inf or nan).
std::optional<double> ParseNumber(const QString& text);

// The whole numbers the program keeps: floor or round-half-to-even, then the range check.
std::optional<qint16> FloorToInt16(double value);
std::optional<qint32> FloorToInt32(double value);
std::optional<qint32> RoundToInt32(double value);
