#include "Trace.h"

Q_LOGGING_CATEGORY(lcTrace, "tarnwick.trace", QtWarningMsg)

void Trace(const QString& text) {
    qCDebug(lcTrace).noquote() << text;
}
