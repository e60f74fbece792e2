#pragma once

#include <QLocale>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>

class Clock;
class MailboxStates;
class Settings;

// Where error texts go to be shown to the user: the alert window's queue.
class ErrorSink {
public:
    virtual ~ErrorSink() = default;
    virtual void AddError(const QString& ErrTxt) = 0;
    // An error of one user, named by `who`; a sink may let it replace that user's text still
    // waiting.
    virtual void AddUserError(const QString& ErrTxt, const QString& /*who*/) { AddError(ErrTxt); }
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

    CheckLogs(const Settings& settings, const MailboxStates& states, const Clock& clock,
              QString programFolder)
        : settings_(settings), states_(states), clock_(clock),
          programFolder_(std::move(programFolder)) {}

    void SetErrorSink(ErrorSink* sink) { sink_ = sink; }
    // Where the one report per log and run of a log that cannot be written goes (standard
    // error unless replaced).
    void SetFailureReport(std::function<void(const QString&)> report) {
        report_ = std::move(report);
    }
    // Whose date and time forms the error log uses: the system's unless told otherwise.
    void SetLocale(const QLocale& locale) { locale_ = locale; }

    // One failed check of user `CurUser` at `Stage`: an error alert when errors are shown,
    // and a line in the error log.
    void DoError(const QString& ErrMsg, int CurUser, int Stage);
    // A line in the error log that belongs to no user (CurUser -1), and no alert.
    void LogNote(const QString& ErrMsg);
    // One evaluated STAT reply.
    void AppendStat(const QString& Username, const QString& Reply, const QString& CountText,
                    qint32 Count);

    QString ErrLogPath() const;
    QString StatLogPath() const;
    QString OldErrLogPath() const;
    QString OldStatLogPath() const;

private:
    // A record of the error log: the date and time, then `fields` (CurUser to ErrMsg).
    void AppendError(const QStringList& fields);
    void Append(const QString& path, const QByteArray& header, const QByteArray& bytes,
                const QString& oldPath);

    const Settings& settings_;
    const MailboxStates& states_;
    const Clock& clock_;
    QString programFolder_;
    ErrorSink* sink_ = nullptr;
    std::function<void(const QString&)> report_;
    QSet<QString> reported_; // the logs already reported this run
    QLocale locale_ = QLocale::system();
};

constexpr qint64 MaxLogBytes = 1024 * 1024;

// Appends `bytes` to the file at `path`, with `header` first when the file is missing or
// empty; a file with content that does not begin with `header` is first given it at the top
// (replaced in one step). When the append would take the file past `limit`, the file is
// first renamed to `oldPath`, replacing what was there; a failed rename keeps the file and
// appends to it all the same. A failed write (a full disk, the file-size limit) is cut back
// to the old end, so no half record stays. Only a regular file of this user's is written, and
// never through a symbolic link; nothing waits on it (a FIFO). Nothing when the record was
// written; else why not, in the system's words (also traced).
std::optional<QString> AppendToLog(const QString& path, const QByteArray& header,
                                   const QByteArray& bytes, const QString& oldPath = QString(),
                                   qint64 limit = MaxLogBytes);

// `text` with its control characters (C0 but TAB, DEL, C1) written visibly as "\x1b": a
// server's text, which must neither split a record nor drive a terminal.
QString VisibleControls(const QString& text);

// A failure's text as shown and logged: a server's reason ends in its own line end, which goes;
// the rest of its control characters are shown, so that it can neither start a forged record
// nor drive the terminal that shows the log.
QString FailureText(const QString& ErrMsg);

// A write past the process's file-size limit then fails (EFBIG) instead of ending the
// process with SIGXFSZ. Process-wide; nothing where the platform has no such signal.
void IgnoreFileSizeSignal();
