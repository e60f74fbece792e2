#include "Logs.h"

#include "core/Clock.h"
#include "core/CodePage.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/Trace.h"

#include <QFile>

namespace {
const QByteArray Crlf = QByteArrayLiteral("\r\n");
}

bool AppendToLog(const QString& path, const QByteArray& header, const QByteArray& bytes) {
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
    AppendToLog(ErrLogPath(), QByteArray(ErrLogHeader) + Crlf, ToCodePage(line) + Crlf);
}

void CheckLogs::AppendStat(const QString& Username, const QString& Reply, const QString& CountText,
                           qint32 Count) {
    QString reply = Reply;
    reply.replace(QStringLiteral("\r\n"), QStringLiteral("&"));
    // A lone CR or LF would split the record; it stands for a line end all the same.
    reply.replace(QLatin1Char('\r'), QLatin1Char('&')).replace(QLatin1Char('\n'), QLatin1Char('&'));
    const QString line = Username + QLatin1Char('|') + reply + QLatin1Char('|') + CountText +
                         QLatin1Char('|') + QString::number(Count);
    AppendToLog(StatLogPath(), QByteArray(), ToCodePage(line) + Crlf);
}
