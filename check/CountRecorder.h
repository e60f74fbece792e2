#pragma once

#include "CheckSession.h"

#include <QObject>
#include <QSet>
#include <QString>

class CheckLogs;
class Clock;
class MailboxStates;
class SeenMessages;
class Settings;
struct UserRecord;

// The one place where what a server reported becomes the user's `NewNumMails`, `NumMails`,
// `Messages` and `HideSession`, a line of the STAT log, the "less eMails" report and the
// new-mail signal, whatever the protocol that asked for it.
//
// Counted only (no identities), mail above the accepted count is new. Listed, a message is new
// when its identity was neither accepted nor shown before; what was accepted and is gone is
// no longer counted, without a report.
class CountRecorder final : public QObject {
    Q_OBJECT
public:
    CountRecorder(Settings& settings, MailboxStates& states, CheckLogs& logs, const Clock& clock,
                  QObject* parent = nullptr);

    // Where what was seen is kept; without it, nothing is listed and mail is counted.
    void SetSeen(SeenMessages* seen) { seen_ = seen; }
    // Fills in what a check of the user with identity `userId` is to list and fetch.
    void Prepare(quint64 userId, CheckRequest& request) const;
    // The user with identity `userId` was just added in setup, or its server or login changed:
    // its first listing takes what a POP3 server holds as accepted.
    void MarkFresh(quint64 userId);

    // The server of user `index` reported `count`.
    void Record(int index, const ServerCount& count);
    // The same, for a count without identities, read from `countText` in `reply`.
    void Record(int index, int stage, const QString& reply, const QString& countText, qint32 count);

    // The identities of the messages the user's alert stands for (shown, not accepted).
    QStringList Unaccepted(quint64 userId) const;

signals:
    // A count above what the user with identity `userId` has accepted.
    void NewMailFound(quint64 userId, qint32 count);
    // `NumMails` of the user with identity `userId` has followed the server to `count` (down
    // when accepted mail went; listed, also up when a new mailbox's messages were accepted),
    // and wants saving.
    void AcceptedCountFell(quint64 userId, qint32 count);

private:
    void RecordCounted(int index, const ServerCount& count);
    void RecordListed(int index, const ServerCount& count);
    void OnAccepted(quint64 userId);
    QString KeyOf(const UserRecord& record) const;
    QSet<QString> Keys() const;

    Settings& settings_;
    MailboxStates& states_;
    CheckLogs& logs_;
    const Clock& clock_;
    SeenMessages* seen_ = nullptr;
    QSet<quint64> fresh_;
};
