#include "UserEntry.h"

#include "check/ServerAddress.h"
#include "core/Cipher.h"
#include "core/CodePage.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"

#include <limits>
#include <optional>
#include <utility>

namespace {
constexpr int MaxIndex = std::numeric_limits<qint16>::max();

// The settings file is one line per text in a single-byte code page: a CR LF pair would end
// the line early and shift every later one, and a character outside the code page would be
// changed on saving. A lone CR or LF is stored as it is.
bool Storable(const QString& text) {
    return !text.contains(QStringLiteral("\r\n")) && FitsCodePage(text);
}

// The size of the settings text once `entry` is stored (added with `editIndex` -1).
qsizetype SettingsSizeWith(const Settings& settings, int editIndex, const UserEntry& entry) {
    return SettingsTextSizeWith(settings, editIndex,
                                {.ScreenName = entry.ScreenName,
                                 .Username = entry.Username,
                                 .MailServer = entry.MailServer,
                                 .Password = entry.Password});
}

// Refuses an entry that would take the settings past what the file can hold: names the
// longest text when shortening it is enough, or else says that the list is full.
std::optional<QString> RoomRule(const Settings& settings, int editIndex, const UserEntry& entry) {
    const qsizetype size = SettingsSizeWith(settings, editIndex, entry);
    if (size <= MaxPlainLength)
        return std::nullopt;
    const QString tail = QStringLiteral(": the settings would take %1 bytes, more than the %2 "
                                        "that the settings file can hold!")
                             .arg(size)
                             .arg(MaxPlainLength);
    const std::pair<const QString*, const char*> texts[] = {{&entry.ScreenName, "Screenname"},
                                                            {&entry.MailServer, "Mail server"},
                                                            {&entry.Username, "Username"},
                                                            {&entry.Password, "Password"}};
    const auto* longest = &texts[0];
    for (const auto& text : texts) {
        if (text.first->size() > longest->first->size())
            longest = &text;
    }
    // A text must keep one character (none may be blank).
    if (longest->first->size() - 1 >= size - MaxPlainLength)
        return QLatin1String(longest->second) + QStringLiteral(" is too long") + tail;
    return QStringLiteral("The user list is full") + tail;
}

bool ScreenNameTaken(const Settings& settings, int editIndex, const QString& screenName) {
    const QString key = screenName.toLower();
    for (int i = 0; i < settings.UserCount(); ++i) {
        if (i != editIndex && settings.Users[i].ScreenName.toLower() == key)
            return true;
    }
    return false;
}

bool AccountTaken(const Settings& settings, int editIndex, const QString& server,
                  const QString& login) {
    const QString serverKey = server.toLower();
    const QString loginKey = login.toLower();
    for (int i = 0; i < settings.UserCount(); ++i) {
        const UserRecord& user = settings.Users[i];
        if (i != editIndex && user.MailServer.toLower() == serverKey &&
            user.Username.toLower() == loginKey)
            return true;
    }
    return false;
}
} // namespace

QStringList ValidateUserEntries(const Settings& settings, int editIndex, const UserEntry& entry) {
    QStringList messages;
    if (entry.ScreenName.isEmpty())
        messages << QStringLiteral("Screenname cannot be left blank!");
    else if (ScreenNameTaken(settings, editIndex, entry.ScreenName))
        messages << QStringLiteral("Screenname must be unique!");
    if (entry.MailServer.isEmpty())
        messages << QStringLiteral("Mail server cannot be left blank!");
    else if (const ServerParse server = ParseServerAddress(entry.MailServer);
             !server.ok && Storable(entry.MailServer)) // else it is named below
        messages << server.error;
    if (entry.Username.isEmpty())
        messages << QStringLiteral("Username cannot be left blank!");
    if (!entry.MailServer.isEmpty() && !entry.Username.isEmpty() &&
        AccountTaken(settings, editIndex, entry.MailServer, entry.Username))
        messages << QStringLiteral("Mail server with Username must be unique!");
    if (entry.Password.isEmpty())
        messages << QStringLiteral("Password cannot be left blank!");

    if (!Storable(entry.ScreenName))
        messages << QStringLiteral(
            "Screenname contains a line break or a character that cannot be saved!");
    if (!Storable(entry.MailServer))
        messages << QStringLiteral(
            "Mail server contains a line break or a character that cannot be saved!");
    if (!Storable(entry.Username))
        messages << QStringLiteral(
            "Username contains a line break or a character that cannot be saved!");
    if (!Storable(entry.Password))
        messages << QStringLiteral(
            "Password contains a line break or a character that cannot be saved!");
    if (const auto room = RoomRule(settings, editIndex, entry))
        messages << *room;
    return messages;
}

bool CanAddUser(const Settings& settings) {
    const int newLast = settings.LastUser + 1;
    if (newLast > MaxIndex)
        return false;
    return newLast <= settings.UpperBound() || newLast + 2 <= MaxIndex;
}

bool RoomForAnotherUser(const Settings& settings) {
    const QString one = QStringLiteral("x");
    return SettingsSizeWith(settings, -1, {one, one, one, one}) <= MaxPlainLength;
}

bool StoreUserEntry(Settings& settings, int& UserNum, const UserEntry& entry, quint64* id) {
    if (UserNum == -1) {
        if (!CanAddUser(settings))
            return false;
        const int index = settings.LastUser + 1;
        settings.GrowFor(index);
        ++settings.LastUser;
        UserNum = index;
        // The entry may be spare capacity that still holds a deleted user.
        UserRecord& fresh = settings.Users[index];
        fresh = UserRecord{};
        settings.AssignId(index);
    } else if (!settings.IsUser(UserNum)) {
        return false;
    }
    UserRecord& user = settings.Users[UserNum];
    user.ScreenName = entry.ScreenName;
    user.Username = entry.Username;
    user.MailServer = entry.MailServer;
    user.Password = entry.Password;
    if (id)
        *id = user.Id;
    settings.SortUsers();
    return true;
}
