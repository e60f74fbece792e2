#include "SettingsFormat.h"

#include "Cipher.h"
#include "CodePage.h"
#include "Numeric.h"
#include "Settings.h"
#include "SettingsFileParts.h"

#include <utility>
#include <vector>

namespace {
std::optional<qint16> ReadInt16(QStringView line) {
    const auto number = ParseNumber(line.toString());
    return number ? FloorToInt16(*number) : std::nullopt;
}

std::optional<qint32> ReadInt32(QStringView line) {
    const auto number = ParseNumber(line.toString());
    return number ? RoundToInt32(*number) : std::nullopt;
}
} // namespace

QStringView LineCursor::PopLine() {
    if (pos_ >= text_.size())
        return {};
    const QStringView rest = text_.mid(pos_);
    const qsizetype end = rest.indexOf(CrLf);
    if (end < 0) {
        pos_ = text_.size();
        return rest;
    }
    pos_ += end + 2;
    return rest.left(end);
}

QString BuildSettingsText(const Settings& settings) {
    const int last = settings.UserCount() - 1;
    QString text;
    text.reserve(32 + (last + 1) * 64);
    const auto line = [&text](const QString& value) {
        text += value;
        text += CrLf;
    };
    line(QString::number(last));
    line(QString::number(settings.CheckInterval));
    line(QString::number(settings.ShowInterval));
    line(settings.ShowErrors ? QStringLiteral("True") : QStringLiteral("False"));
    for (int i = 0; i <= last; ++i) {
        const UserRecord& u = settings.Users[i];
        line(QString::number(u.NumMails));
        line(u.Password);
        line(u.ScreenName);
        line(u.MailServer);
        line(u.Username);
    }
    return text;
}

qsizetype SettingsTextSizeWith(const Settings& settings, int index, const UserRecord& texts) {
    Settings with = settings;
    if (!with.IsUser(index)) {
        index = with.UserCount();
        with.GrowFor(index);
        with.LastUser = qint16(index);
        with.Users[index] = UserRecord{};
    }
    UserRecord& user = with.Users[index];
    user.ScreenName = texts.ScreenName;
    user.Username = texts.Username;
    user.MailServer = texts.MailServer;
    user.Password = texts.Password;
    return BuildSettingsText(with).size();
}

bool ParseSettingsText(QStringView text, Settings& settings) {
    LineCursor lines(text);
    const auto lastUser = ReadInt16(lines.PopLine());
    if (!lastUser || *lastUser < -1)
        return false;
    const auto checkInterval = ReadInt16(lines.PopLine());
    if (!checkInterval)
        return false;
    const auto showInterval = ReadInt16(lines.PopLine());
    if (!showInterval)
        return false;
    const QString flag = lines.PopLine().toString().toLower();
    if (flag != QLatin1String("true") && flag != QLatin1String("false"))
        return false;

    // Read into a list of their own first: a damage further on must leave the table untouched.
    std::vector<UserRecord> users;
    // Every user but the last takes at least three characters ("0", CR, LF).
    users.reserve(size_t(qMin<qsizetype>(*lastUser + 1, text.size() / 3 + 1)));
    for (int i = 0; i <= *lastUser; ++i) {
        const auto numMails = ReadInt32(lines.PopLine());
        if (!numMails)
            return false;
        UserRecord u;
        u.NumMails = *numMails;
        u.Password = lines.PopLine().toString();
        u.ScreenName = lines.PopLine().toString();
        u.MailServer = lines.PopLine().toString();
        u.Username = lines.PopLine().toString();
        users.push_back(std::move(u));
    }

    settings.GrowFor(*lastUser);
    for (int i = 0; i <= *lastUser; ++i)
        settings.Users[i] = std::move(users[size_t(i)]);
    settings.LastUser = *lastUser;
    settings.CheckInterval = *checkInterval;
    settings.ShowInterval = *showInterval;
    settings.ShowErrors = flag == QLatin1String("true");
    settings.AssignIds();
    return true;
}

LoadResult LoadSettingsBytes(const QByteArray& fileBytes, Settings& settings) {
    if (fileBytes.isEmpty())
        return LoadResult::FirstRun;
    const auto plain = DecodeText(fileBytes); // nothing for 1 byte or too many
    if (!plain)
        return LoadResult::Damaged;
    return ParseSettingsText(FromCodePage(*plain), settings) ? LoadResult::Loaded
                                                             : LoadResult::Damaged;
}
