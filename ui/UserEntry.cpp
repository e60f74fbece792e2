#include "UserEntry.h"

#include "check/ServerAddress.h"
#include "core/CodePage.h"
#include "core/Settings.h"

#include <limits>

namespace {
constexpr int MaxIndex = std::numeric_limits<qint16>::max();

// The settings file is one line per text in a single-byte code page: a line break would shift
// every later line and a character outside the code page would be changed on saving.
bool Storable(const QString& text) {
    return !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')) &&
           FitsCodePage(text);
}

bool ScreenNameTaken(const Settings& settings, int editIndex, const QString& screenName) {
    const QString key = screenName.toLower();
    for (int i = 0; i <= settings.LastUser && i < settings.Users.size(); ++i) {
        if (i != editIndex && settings.Users[i].ScreenName.toLower() == key)
            return true;
    }
    return false;
}

bool AccountTaken(const Settings& settings, int editIndex, const QString& server,
                  const QString& login) {
    const QString serverKey = server.toLower();
    const QString loginKey = login.toLower();
    for (int i = 0; i <= settings.LastUser && i < settings.Users.size(); ++i) {
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
    return messages;
}

bool CanAddUser(const Settings& settings) {
    const int newLast = settings.LastUser + 1;
    if (newLast > MaxIndex)
        return false;
    return newLast <= settings.UpperBound() || newLast + 2 <= MaxIndex;
}

bool StoreUserEntry(Settings& settings, int& UserNum, const UserEntry& entry) {
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
        fresh.NewNumMails = -1;
        settings.AssignId(index);
    } else if (!settings.IsUser(UserNum) || UserNum >= settings.Users.size()) {
        return false;
    }
    UserRecord& user = settings.Users[UserNum];
    user.ScreenName = entry.ScreenName;
    user.Username = entry.Username;
    user.MailServer = entry.MailServer;
    user.Password = entry.Password;
    settings.SortUsers();
    return true;
}
