#include "Logs.h"

#include "core/Clock.h"
#include "core/CodePage.h"
#include "core/Files.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/Trace.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <cstdio>

namespace {
const QByteArray Crlf = QByteArrayLiteral("\r\n");

// Moves the log at `path` to `oldPath` in one step, replacing an older one: at no moment is
// the current log gone while the rename may still fail.
void RotateLog(const QString& path, const QString& oldPath) {
    if (const auto error = RenameInOneStep(path, oldPath))
        Trace(QStringLiteral("Cannot rename %1 to %2: %3").arg(path, oldPath, *error));
}
// Why a log could not be written, as far as the file system tells.
QString WhyNotWritable(const QString& path) {
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("No such folder");
    if (file.isDir())
        return QStringLiteral("Is a folder");
    if (file.exists() ? !file.isWritable() : !folder.isWritable())
        return QStringLiteral("Permission denied");
    const QStorageInfo disk(folder.absoluteFilePath());
    if (disk.isReadOnly())
        return QStringLiteral("Read-only file system");
    if (disk.bytesAvailable() == 0)
        return QStringLiteral("No space left on device");
    return QStringLiteral("Write failed");
}
} // namespace

bool AppendToLog(const QString& path, const QByteArray& header, const QByteArray& bytes,
                 const QString& oldPath, qint64 limit) {
    if (!oldPath.isEmpty()) {
        const QFileInfo info(path);
        if (info.exists() && info.size() > 0 && info.size() + bytes.size() > limit)
            RotateLog(path, oldPath);
    }
    QFile file(path);
    const bool isNew = !file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        Trace(QStringLiteral("Cannot open %1: %2").arg(path, file.errorString()));
        return false;
    }
    QByteArray content;
    if (isNew && !header.isEmpty())
        content = header;
    content += bytes;
    if (file.write(content) != content.size() || !file.flush()) {
        Trace(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
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
    if (settings_.ShowErrors && sink_) {
        sink_->AddError(QStringLiteral("Error with ") + user.ScreenName + QStringLiteral(" : ") +
                        QStringLiteral("\r\n") + ErrMsg);
    }
    const QDateTime now = clock_.Now();
    const QString line =
        QStringList{ShortDateText(now.date()),      LongTimeText(now.time()),
                    QString::number(CurUser),       user.ScreenName,
                    QString::number(user.NumMails), QString::number(user.NewNumMails),
                    QString::number(Stage),         ErrMsg}
            .join(QLatin1Char('|'));
    Append(ErrLogPath(), QByteArray(ErrLogHeader) + Crlf, ToCodePage(line) + Crlf, OldErrLogPath());
}

void CheckLogs::AppendStat(const QString& Username, const QString& Reply, const QString& CountText,
                           qint32 Count) {
    QString reply = Reply;
    reply.replace(QStringLiteral("\r\n"), QStringLiteral("&"));
    // A lone CR or LF would split the record; it stands for a line end all the same.
    reply.replace(QLatin1Char('\r'), QLatin1Char('&')).replace(QLatin1Char('\n'), QLatin1Char('&'));
    const QString line = Username + QLatin1Char('|') + reply + QLatin1Char('|') + CountText +
                         QLatin1Char('|') + QString::number(Count);
    Append(StatLogPath(), QByteArray(), ToCodePage(line) + Crlf, OldStatLogPath());
}

void CheckLogs::Append(const QString& path, const QByteArray& header, const QByteArray& bytes,
                       const QString& oldPath) {
    if (AppendToLog(path, header, bytes, oldPath) || reported_.contains(path))
        return;
    // The trace is off by default: without this, lost logs would go unnoticed.
    reported_.insert(path);
    const QString text = QStringLiteral("Cannot write %1: %2").arg(path, WhyNotWritable(path));
    if (report_)
        report_(text);
    else
        std::fprintf(stderr, "Tarnwick: %s\n", qPrintable(text));
}
