#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

class Settings;
struct UserRecord;

// Hands out the CR LF-terminated lines of a text one at a time. A cursor rather than a text
// that is cut shorter at every call, so that reading a whole file stays linear in its length.
class LineCursor final {
public:
    explicit LineCursor(QStringView text) : text_(text) {}

    // The text up to the next CR LF, which is passed over; the rest of the text when no CR LF
    // is left; the empty text once everything has been handed out. A lone CR or LF is part of
    // its line.
    QStringView PopLine();
    bool AtEnd() const { return pos_ >= text_.size(); }

private:
    QStringView text_;
    qsizetype pos_ = 0;
};

// The plain text of the settings file for the current settings: LastUser, CheckInterval,
// ShowInterval, True or False, then NumMails, Password, ScreenName, MailServer and Username of
// each user, every line ending in CR LF. No length limit here; the saver checks the file's.
QString BuildSettingsText(const Settings& settings);
// The length of that text once user `index` holds the four texts of `texts`, or, when `index`
// is no user, once a user with them is added: what the file's size limit is checked against.
qsizetype SettingsTextSizeWith(const Settings& settings, int index, const UserRecord& texts);

// Reads a deciphered settings text into `settings`: users 0..LastUser (fresh records, the table
// grown when needed, new identities), LastUser and the three settings. False, with `settings`
// unchanged, when the text is damaged: a number line that is missing, not a number or outside
// its field (LastUser below -1), or a fourth line other than true/false in any letter case.
bool ParseSettingsText(QStringView text, Settings& settings);

enum class LoadResult {
    Loaded,     // the file's settings are in force
    FirstRun,   // no file or an empty one
    Damaged,    // the bytes are not a settings file the program writes
    Unreadable, // the path exists but cannot be read as a file
};

// Loads the bytes of a settings file into `settings`. Empty gives FirstRun; a single byte, more
// than MaxCipherLength bytes or a damaged text gives Damaged. `settings` changes only when the
// result is Loaded.
LoadResult LoadSettingsBytes(const QByteArray& fileBytes, Settings& settings);
