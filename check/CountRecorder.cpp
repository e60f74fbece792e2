#include "CountRecorder.h"

#include "Logs.h"
#include "MailboxStates.h"
#include "ServerAddress.h"
#include "core/Settings.h"

void CountRecorder::Record(int index, int stage, const QString& reply, const QString& countText,
                           qint32 count) {
    UserRecord& record = settings_.Users[index];
    logs_.AppendStat(record.Username, reply, countText, count);
    if (count > record.NumMails) {
        states_.Update(record.Id, [count](MailboxState& state) {
            if (count != state.NewNumMails)
                state.HideSession = false;
            state.NewNumMails = count;
        });
        emit NewMailFound(record.Id, count);
        return;
    }
    states_.Update(record.Id, [](MailboxState& state) { state.NewNumMails = -1; });
    if (count == record.NumMails)
        return;
    // Mail taken away elsewhere: what is left is accepted, so that the next message that
    // arrives is new mail again. For POP3 reported once for the fall, not at every check after
    // it; for IMAP, whose count is of unseen mail, it is mail read elsewhere and no error.
    const ServerParse server = ParseServerAddress(record.MailServer);
    if (!server.ok || server.address.protocol != Protocol::Imap)
        logs_.DoError(QStringLiteral("Server said you have less eMails than I think you have!"),
                      index, stage);
    record.NumMails = count;
    emit AcceptedCountFell(record.Id, count);
}
