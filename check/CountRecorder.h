#pragma once

#include <QObject>
#include <QString>

class CheckLogs;
class MailboxStates;
class Settings;

// The one place where a message count that a server reported becomes the user's
// `NewNumMails` and `HideSession`, a line of the STAT log, the "less eMails" report and the
// new-mail signal, whatever the protocol that asked for it.
class CountRecorder final : public QObject {
    Q_OBJECT
public:
    CountRecorder(Settings& settings, MailboxStates& states, CheckLogs& logs,
                  QObject* parent = nullptr)
        : QObject(parent), settings_(settings), states_(states), logs_(logs) {}

    // The server of user `index` reported `count`, read from `countText` in `reply` (the
    // response line as received); `stage` is the session's, for a report.
    void Record(int index, int stage, const QString& reply, const QString& countText, qint32 count);

signals:
    // A count above what the user with identity `userId` has accepted.
    void NewMailFound(quint64 userId, qint32 count);
    // A count below what the user had accepted: `NumMails` of the user with identity
    // `userId` has followed it down to `count`, and wants saving.
    void AcceptedCountFell(quint64 userId, qint32 count);

private:
    Settings& settings_;
    MailboxStates& states_;
    CheckLogs& logs_;
};
