#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

// One configured mailbox. Field names follow the program's own vocabulary; `Id` is not stored
// in the settings file: it lets long-running work (a check, an alert) find "its" user again
// after the table was re-sorted or had entries deleted under it, and names the mailbox's live
// state (check/MailboxStates).
struct UserRecord {
    QString ScreenName;
    QString Username;
    QString MailServer;
    QString Password;
    qint32 NumMails = 0;
    quint64 Id = 0; // 0: never assigned
};

// The live user table and the three global settings: one object that every window and the
// check engine work on by reference.
class Settings final {
public:
    static constexpr int InitialCapacity = 10;
    static constexpr qint16 DefaultCheckInterval = 5;
    static constexpr qint16 DefaultShowInterval = 5;

    Settings() { ResetToDefaults(); }

    QVector<UserRecord> Users; // entries 0..LastUser in use, the rest is spare capacity
    qint16 LastUser = -1;
    qint16 CheckInterval = DefaultCheckInterval;
    qint16 ShowInterval = DefaultShowInterval;
    bool ShowErrors = true;

    // A fresh table of ten cleared entries, no users, default settings.
    void ResetToDefaults();
    // Grows (never shrinks) so that `lastUser` is a valid index: highest index lastUser + 2.
    void GrowFor(int lastUser);
    int UpperBound() const { return int(Users.size()) - 1; }
    // The users in use: entries 0..LastUser, as far as the table holds them.
    int UserCount() const { return qBound(0, LastUser + 1, int(Users.size())); }
    bool IsUser(int index) const { return index >= 0 && index < UserCount(); }

    // Gives entry `index` a fresh identity (after it was filled by the loader or cleared for
    // an add).
    void AssignId(int index);
    // Fresh identities for entries 0..LastUser.
    void AssignIds();
    // Current index of the user with identity `id`, or -1 when that user is gone.
    int IndexOfId(quint64 id) const;

    // Selection sort by lower-cased `Username`, comparing character codes; among equal keys
    // the earlier entry stays first.
    void SortUsers();
    // Removes user `index`; later users move down one place, the entry above the new
    // `LastUser` keeps its old content as spare capacity.
    void DeleteUser(int index);

private:
    quint64 nextId_ = 1;
};
