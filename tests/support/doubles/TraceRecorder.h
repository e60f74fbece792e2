#pragma once

#include "core/Trace.h"

#include <QStringList>

// Collects the texts passed to Trace while it lives (one at a time).
class TraceRecorder final {
public:
    TraceRecorder() {
        current_ = this;
        QLoggingCategory::setFilterRules(QStringLiteral("tarnwick.trace.debug=true"));
        previous_ = qInstallMessageHandler(&Handler);
    }
    ~TraceRecorder() {
        qInstallMessageHandler(previous_);
        QLoggingCategory::setFilterRules(QString());
        current_ = nullptr;
    }
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    QStringList texts;

private:
    static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
        if (current_ && context.category && QByteArray(context.category) == "tarnwick.trace") {
            current_->texts << msg;
            return;
        }
        if (current_ && current_->previous_)
            current_->previous_(type, context, msg);
    }

    static inline TraceRecorder* current_ = nullptr;
    QtMessageHandler previous_ = nullptr;
};
