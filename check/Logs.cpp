#include "Logs.h"

#include "MailboxStates.h"
#include "core/Clock.h"
#include "core/CodePage.h"
#include "core/Files.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/Trace.h"
#include "core/platform/System.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>

namespace {
const QByteArray Crlf = QByteArrayLiteral("\r\n");

// Moves the log at `path` to `oldPath` in one step, replacing an older one: at no moment is
// the current log gone while the rename may still fail. A rename moves a link itself, so
// whatever `oldPath` is, nothing is written through it.
void RotateLog(const QString& path, const QString& oldPath) {
    if (const auto error = RenameInOneStep(path, oldPath))
        Trace(QStringLiteral("Cannot rename %1 to %2: %3").arg(path, oldPath, *error));
}

// A log with content that does not begin with `header` (records appended to a file whose
// header was lost) gets it at the top. The file is replaced in one step; when that fails it
// is left as it is.
void PutHeaderFirst(const QString& path, const QByteArray& header) {
    QFile log;
    QString error;
    if (!QFileInfo::exists(path) || !OpenOwnRegularFile(log, path, QIODevice::ReadOnly, error) ||
        log.size() == 0 || log.read(header.size()) == header)
        return;
    log.seek(0);
    const QByteArray content = log.readAll();
    log.close();
    if (const auto failure = WriteFileWhole(path, header + content))
        Trace(QStringLiteral("Cannot put the header at the top of %1: %2").arg(path, *failure));
}
} // namespace

QString VisibleControls(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || (u >= 0x7F && u <= 0x9F))
            shown += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

std::optional<QString> AppendToLog(const QString& path, const QByteArray& header,
                                   const QByteArray& bytes, const QString& oldPath, qint64 limit) {
    if (const auto refused = WhyNotOwnRegularFile(path)) {
        Trace(QStringLiteral("Cannot write %1: %2").arg(path, *refused));
        return refused;
    }
    if (!oldPath.isEmpty()) {
        const QFileInfo info(path);
        if (info.exists() && info.size() > 0 && info.size() + bytes.size() > limit)
            RotateLog(path, oldPath);
    }
    if (!header.isEmpty())
        PutHeaderFirst(path, header);
    // Unbuffered: a failed write leaves nothing pending that could still reach the file.
    QFile file;
    QString error;
    if (!OpenOwnRegularFile(
            file, path, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, error)) {
        Trace(QStringLiteral("Cannot open %1: %2").arg(path, error));
        return error;
    }
    const qint64 oldEnd = file.size();
    const QByteArray content = oldEnd == 0 ? header + bytes : bytes;
    errno = 0;
    if (file.write(content) != content.size()) {
        const QString why = WriteFailure(file, errno);
        // An empty log stays empty, so that the header comes first the next time.
        if (file.size() != oldEnd && !file.resize(oldEnd))
            Trace(QStringLiteral("Cannot cut %1 back to %2 bytes: %3")
                      .arg(path)
                      .arg(oldEnd)
                      .arg(file.errorString()));
        Trace(QStringLiteral("Cannot write %1: %2").arg(path, why));
        return why;
    }
    return std::nullopt;
}

QString CheckLogs::ErrLogPath() const {
    return AddSlash(programFolder_) + QStringLiteral("ErrLog.txt");
}

QString CheckLogs::StatLogPath() const {
    return AddSlash(programFolder_) + QStringLiteral("Stat.txt");
}

QString CheckLogs::OldErrLogPath() const {
    return AddSlash(programFolder_) + QStringLiteral("ErrLog.old.txt");
}

QString CheckLogs::OldStatLogPath() const {
    return AddSlash(programFolder_) + QStringLiteral("Stat.old.txt");
}

void CheckLogs::DoError(const QString& ErrMsg, int CurUser, int Stage) {
    if (!settings_.IsUser(CurUser)) {
        // A failure that belongs to nobody (the user was deleted meanwhile): nothing to
        // show or log against.
        Trace(QStringLiteral("Error without a current user: ") + ErrMsg);
        return;
    }
    const UserRecord& user = settings_.Users[CurUser];
    const QString text = FailureText(ErrMsg);
    if (settings_.ShowErrors && sink_) {
        sink_->AddUserError(QStringLiteral("Error with ") + user.ScreenName +
                                QStringLiteral(" : ") + QStringLiteral("\r\n") + text,
                            user.ScreenName);
    }
    AppendError({QString::number(CurUser), user.ScreenName, QString::number(user.NumMails),
                 QString::number(states_.Of(user.Id).NewNumMails), QString::number(Stage), text});
}

QString FailureText(const QString& ErrMsg) {
    QString text = ErrMsg;
    if (text.endsWith(QStringLiteral("\r\n")))
        text.chop(2);
    else if (text.endsWith(QLatin1Char('\n'))) // a server that ends its lines in LF alone
        text.chop(1);
    return VisibleControls(text);
}

void CheckLogs::LogNote(const QString& ErrMsg) {
    AppendError({QStringLiteral("-1"), QString(), QStringLiteral("0"), QStringLiteral("-1"),
                 QStringLiteral("0"), VisibleControls(ErrMsg)});
}

void CheckLogs::AppendError(const QStringList& fields) {
    const QDateTime now = clock_.Now();
    const QString line =
        (QStringList{ShortDateText(now.date(), locale_), LongTimeText(now.time(), locale_)} +
         fields)
            .join(QLatin1Char('|'));
    Append(ErrLogPath(), QByteArray(ErrLogHeader) + Crlf, ToCodePage(line) + Crlf, OldErrLogPath());
}

void CheckLogs::AppendStat(const QString& Username, const QString& Reply, const QString& CountText,
                           qint32 Count) {
    QString reply = Reply;
    reply.replace(QStringLiteral("\r\n"), QStringLiteral("&"));
    // A lone CR or LF would split the record; it stands for a line end all the same.
    reply.replace(QLatin1Char('\r'), QLatin1Char('&')).replace(QLatin1Char('\n'), QLatin1Char('&'));
    reply = VisibleControls(reply);
    const QString line = Username + QLatin1Char('|') + reply + QLatin1Char('|') +
                         VisibleControls(CountText) + QLatin1Char('|') + QString::number(Count);
    Append(StatLogPath(), QByteArray(), ToCodePage(line) + Crlf, OldStatLogPath());
}

void CheckLogs::Append(const QString& path, const QByteArray& header, const QByteArray& bytes,
                       const QString& oldPath) {
    const std::optional<QString> failure = AppendToLog(path, header, bytes, oldPath);
    if (!failure || reported_.contains(path))
        return;
    // The trace is off by default: without this, lost logs would go unnoticed.
    reported_.insert(path);
    const QString text = QStringLiteral("Cannot write %1: %2").arg(path, *failure);
    if (report_)
        report_(text);
    else
        std::fprintf(stderr, "Tarnwick: %s\n", qPrintable(text));
}
