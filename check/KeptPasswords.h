#pragma once

#include "core/SecretStore.h"

#include <QHash>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <functional>

class CheckLogs;
class Settings;
struct UserRecord;

// The passwords kept in the keyring rather than in the settings file ("Keep Passwords in the
// Keyring"): which users still wait for theirs, which have none there any more, and which
// passwords the file may go without.
class KeptPasswords final : public QObject {
    Q_OBJECT
public:
    using Finished = std::function<void(const QString& error)>; // empty: it worked

    KeptPasswords(Settings& settings, SecretStore& store, CheckLogs& logs,
                  QObject* parent = nullptr);

    // The item of `user`, as a person finds it in the keyring's manager.
    static QString Label(const UserRecord& user);

    bool On() const { return on_; }
    void SetOn(bool on) { on_ = on; }
    SecretStore& Store() { return store_; }

    // At start-up: every user without a password in the file takes it from the keyring,
    // now or when the keyring can be read.
    void Begin();
    // Whether `user` must not be checked: its password is still to come from the keyring, or
    // is gone from there. A user that lost its password (a setup "Cancel" put back the empty
    // one) is read again.
    bool Held(const UserRecord& user);
    // Whether the settings file may go without the password `user` holds: the keyring has
    // that very password.
    bool InKeyring(const UserRecord& user) const;

    // Stores every user's password and reads each one back; `done` with why not at the first
    // that fails.
    void StoreAll(Finished done);
    // Reads every password still to come, so that all of them can go back into the file.
    void FetchAll(Finished done);
    // The file holds the passwords again: the items go.
    void RemoveAll();
    // The same, `done` once the keyring has answered every removal (with why one failed):
    // only then may the choice say that the keyring holds nothing.
    void RemoveAll(Finished done);
    // Whether every user has its password in memory: none waits for the keyring.
    bool AllArrived() const;

signals:
    // A waiting user has its password now and may be due.
    void Arrived();

private:
    // Reads the passwords still to come; `again` also those whose read failed before.
    void ReadWaiting(bool again);
    void Read(quint64 id, const std::function<void(bool ok, const QString& error)>& then);
    void NoteWaiting(const QString& why);
    bool Waits(const UserRecord& user) const;

    Settings& settings_;
    SecretStore& store_;
    CheckLogs& logs_;
    bool on_ = false;
    QHash<quint64, QPair<QString, QString>> kept_; // by user: the item's label and password
    QSet<QString> labels_;                         // items that may be in the keyring
    QSet<quint64> reading_;
    QSet<quint64> missing_;
    QSet<quint64> failed_;      // read again only when the keyring changes (not at every pick)
    bool waitingNoted_ = false; // the error log says so once until the keyring answers
};
