#include "CountRecorder.h"

#include "Logs.h"
#include "core/Settings.h"

void CountRecorder::Record(int index, int stage, const QString& reply, const QString& countText,
                           qint32 count) {
    UserRecord& record = settings_.Users[index];
    logs_.AppendStat(record.Username, reply, countText, count);
    if (count > record.NumMails) {
        if (count != record.NewNumMails)
            record.HideSession = false;
        record.NewNumMails = count;
        emit NewMailFound();
    } else {
        record.NewNumMails = -1;
        if (count < record.NumMails)
            logs_.DoError(QStringLiteral("Server said you have less eMails than I think you have!"),
                          index, stage);
    }
}
