#pragma once

#include <QSet>
#include <QString>
#include <functional>
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
// appended to; a log that would grow past `MaxLogBytes` is first moved aside to
// "ErrLog.old.txt" or "Stat.old.txt" (replacing the one before) and started afresh. A log that
// cannot be written is reported to the trace, and once a run to standard error; the check goes
// on.
class CheckLogs final {
public:
    static constexpr auto ErrLogHeader =
        "Date|Time|CurUser|ScreenName|NumMails|NewNumMails|Stage|ErrMsg";

    CheckLogs(const Settings& settings, const Clock& clock, QString programFolder)
        : settings_(settings), clock_(clock), programFolder_(std::move(programFolder)) {}

    void SetErrorSink(ErrorSink* sink) { sink_ = sink; }
    // Where the one report per log and run of a log that cannot be written goes (standard
    // error unless replaced).
    void SetFailureReport(std::function<void(const QString&)> report) {
        report_ = std::move(report);
    }

    // One failed check of user `CurUser` at `Stage`: an error alert when errors are shown,
    // and a line in the error log.
    void DoError(const QString& ErrMsg, int CurUser, int Stage);
    // One evaluated STAT reply.
    void AppendStat(const QString& Username, const QString& Reply, const QString& CountText,
                    qint32 Count);

    QString ErrLogPath() const;
    QString StatLogPath() const;
    QString OldErrLogPath() const;
    QString OldStatLogPath() const;

private:
    void Append(const QString& path, const QByteArray& header, const QByteArray& bytes,
                const QString& oldPath);

    const Settings& settings_;
    const Clock& clock_;
    QString programFolder_;
    ErrorSink* sink_ = nullptr;
    std::function<void(const QString&)> report_;
    QSet<QString> reported_; // the logs already reported this run
};

constexpr qint64 MaxLogBytes = 1024 * 1024;

// Appends `bytes` to the file at `path`, creating it with `header` first when it does not
// exist. When the append would take the file past `limit`, the file is first renamed to
// `oldPath`, replacing what was there; a failed rename keeps the file and appends to it all
// the same. Never truncates. False (and a trace line) when the file cannot be written.
bool AppendToLog(const QString& path, const QByteArray& header, const QByteArray& bytes,
                 const QString& oldPath = QString(), qint64 limit = MaxLogBytes);
