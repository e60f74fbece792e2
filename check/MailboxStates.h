#pragma once

#include "Messages.h"

#include <QHash>
#include <QObject>
#include <QStringList>

// What one mailbox is doing now; never saved.
struct MailboxState {
    qint32 NewNumMails = -1;  // the count a server reported above the accepted one; -1: none
    bool HideSession = false; // its alert is hidden until the count changes
    qint64 LastAlert = 0;     // Clock::Stamp, 0: never
    qint64 LastCheck = 0;     // Clock::Stamp, 0: never
    qint64 LastGood = 0;      // Clock::Stamp of the last check that got a count, 0: never
    qint64 LastNews = 0;      // Clock::Stamp of the last time a message not seen before came
    // The messages not yet accepted whose headers are known, newest first (bounded); the
    // others of the count are counted only.
    QList<MessageSummary> Messages;

    bool operator==(const MailboxState&) const = default;
};

// The live state of every mailbox, by the mailbox's identity: owned by the checking side,
// which alone changes it; everyone else follows Changed.
class MailboxStates final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The state of the mailbox with identity `account`; a fresh one for a mailbox never seen.
    MailboxState Of(quint64 account) const { return states_.value(account); }
    // Replaces it; Changed follows when it differs.
    void Set(quint64 account, const MailboxState& state) {
        if (account == 0 || states_.value(account) == state)
            return;
        states_.insert(account, state);
        emit Changed(account, state);
    }
    // Applies `change` to the state of `account`.
    template <typename Change> void Update(quint64 account, Change change) {
        MailboxState state = Of(account);
        change(state);
        Set(account, state);
    }

    // The user accepted what the mailbox's alert stands for ("Hide Permanently"): its messages
    // are no longer new. Accepted names them for those who keep what was seen.
    void Accept(quint64 account) {
        MailboxState state = Of(account);
        QStringList ids;
        for (const MessageSummary& message : state.Messages)
            ids.append(message.id);
        emit Accepted(account, ids);
        state.NewNumMails = -1;
        state.Messages.clear();
        Set(account, state);
    }

    // The mailbox is gone: its state goes with it.
    void Remove(quint64 account) { states_.remove(account); }

signals:
    void Changed(quint64 account, const MailboxState& state);
    // Accept was called for `account`; `listed` are the ids of the messages it had listed.
    void Accepted(quint64 account, const QStringList& listed);

private:
    QHash<quint64, MailboxState> states_;
};
