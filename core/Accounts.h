#pragma once

#include "Settings.h"
#include "SideFile.h"

#include <QObject>
#include <map>
#include <set>

// One mailbox as the user configured it: its record in the settings file and its fields in the
// side file. A new per-mailbox field is read and written here, by name.
struct Account {
    UserRecord& record;
    SideFile::Fields& fields;

    std::optional<QString> Field(const QByteArray& name) const;
    // Sets the field, or removes it when `value` has none.
    void SetField(const QByteArray& name, const std::optional<QString>& value);
};

// Setup's copy of the accounts: what it shows and edits while checks go on with the real ones.
// Only what the user edited goes back; counts and passwords in it are as they were when it was
// taken, for the lists and the editor's rules, and are never committed unless the user set one.
struct AccountsCopy {
    Settings table;
    std::map<quint64, SideFile::Fields> fields; // by identity
    std::set<quint64> taken;                    // the identities the copy was taken with
    std::set<quint64> edited;                   // texts or fields the user changed
    std::set<quint64> newPassword;              // a password the user set
    bool settingsEdited = false;                // the three settings

    Account Of(int index) { return {table.Users[index], fields[table.Users[index].Id]}; }
};

// What the user configured: the mailboxes and the three settings, with their side-file fields.
// Owned by the program; windows edit a copy and commit it.
class Accounts final : public QObject {
    Q_OBJECT
public:
    Accounts(Settings& settings, SideFile& side) : settings_(settings), side_(side) {}

    const Settings& Table() const { return settings_; }

    AccountsCopy Copy() const;
    // Applies what the user edited in `copy`: accounts added, changed and deleted, the three
    // settings; counts, passwords not set and live state stay as they are now. Changed follows.
    void Commit(const AccountsCopy& copy);

signals:
    // `changed`: accounts added or edited; `removed`: accounts deleted.
    void Changed(const QList<quint64>& changed, const QList<quint64>& removed);

private:
    Settings& settings_;
    SideFile& side_;
};
