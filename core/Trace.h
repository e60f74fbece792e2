#pragma once

#include <QLoggingCategory>
#include <QString>

// The diagnostic trace: step texts of start-up, shutdown and the windows. Off by default;
// QT_LOGGING_RULES="tarnwick.trace=true" turns it on. It never carries a password.
Q_DECLARE_LOGGING_CATEGORY(lcTrace)

void Trace(const QString& text);
