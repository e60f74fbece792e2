#pragma once

#include <QString>
#include <QStringList>

class Settings;

// The four texts of one user as the user editor holds them.
struct UserEntry {
    QString ScreenName;
    QString MailServer;
    QString Username;
    QString Password;
};

// The messages of every rule that `entry` breaks, in the order the editor shows them: the
// blank rules (a mail server must also be readable) and uniqueness rules, then any text the
// settings file could not hold (a CR LF pair, a character outside its code page), then an
// entry that would take the settings past the file's limit (naming the text to shorten, or
// saying that the list is full). `editIndex` is the user being edited (not compared with
// itself), -1 while adding. Nothing is trimmed and the uniqueness rules compare lower-cased
// texts.
QStringList ValidateUserEntries(const Settings& settings, int editIndex, const UserEntry& entry);

// Whether one more user fits: the table's indices are 16-bit and must leave room for the two
// spare entries that a growing add creates.
bool CanAddUser(const Settings& settings);

// Whether the settings file has room for one more user with the shortest texts allowed.
bool RoomForAnotherUser(const Settings& settings);

// Stores an accepted entry and re-sorts the table. With `UserNum` -1 a user is added: the next
// entry is cleared, given a fresh identity and `UserNum` becomes its index (before the sort).
// An edit keeps the record's counts, flags, times and identity. False, with nothing changed,
// when the user to edit is gone or no user can be added. `id` gets the user's identity.
bool StoreUserEntry(Settings& settings, int& UserNum, const UserEntry& entry,
                    quint64* id = nullptr);
