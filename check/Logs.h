#pragma once

#include <QString>
#include <utility>

class Clock;
class Settings;

// Where error texts go to be shown to the user: the alert window's queue.
class ErrorSink {
public:
    virtual ~ErrorSink() = default;
    virtual void AddError(const QString& ErrTxt) = 0;
};

// The error log "ErrLog.txt" and the STAT log "Stat.txt" in the program's folder. Both are
// only ever appended to; a log that cannot be written is reported to the trace and the check
// goes on.
class CheckLogs final {
public:
    static constexpr auto ErrLogHeader =
        "Date|Time|CurUser|ScreenName|NumMails|NewNumMails|Stage|ErrMsg";

    CheckLogs(const Settings& settings, const Clock& clock, QString programFolder)
        : settings_(settings), clock_(clock), programFolder_(std::move(programFolder)) {}

    void SetErrorSink(ErrorSink* sink) { sink_ = sink; }

    // One failed check of user `CurUser` at `Stage`: an error alert when errors are shown,
    // and a line in the error log.
    void DoError(const QString& ErrMsg, int CurUser, int Stage);
    // One evaluated STAT reply.
    void AppendStat(const QString& Username, const QString& Reply, const QString& CountText,
                    qint32 Count);

    QString ErrLogPath() const;
    QString StatLogPath() const;

private:
    const Settings& settings_;
    const Clock& clock_;
    QString programFolder_;
    ErrorSink* sink_ = nullptr;
};

// Appends `bytes` to the file at `path`, creating it with `header` first when it does not
// exist. Never truncates. False (and a trace line) when the file cannot be written.
bool AppendToLog(const QString& path, const QByteArray& header, const QByteArray& bytes);
