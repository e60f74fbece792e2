#include "SideFile.h"

#include "Settings.h"
#include "SettingsFileParts.h"
#include "Trace.h"
#include "platform/System.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <set>

namespace {
QByteArray Encoded(const QString& text) {
    return QUrl::toPercentEncoding(text);
}

QString Decoded(const QByteArray& bytes) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

// A field's name: letters, digits, '-', '_' and '.'.
bool IsName(const QByteArray& name) {
    return !name.isEmpty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}
} // namespace

SideFile::Key SideFile::KeyOf(const UserRecord& user) {
    return {user.Username, user.MailServer};
}

QByteArray SideFile::Line(const Key& key, const QByteArray& name, const QString& value) {
    return Encoded(key.first) + '\t' + Encoded(key.second) + '\t' + name + '=' + Encoded(value) +
           '\n';
}

std::map<SideFile::Key, SideFile::Fields> SideFile::Parse(const QByteArray& text, int& skipped) {
    std::map<Key, Fields> entries;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> parts = line.split('\t');
        const qsizetype equals = parts.size() == 3 ? parts[2].indexOf('=') : -1;
        if (equals < 0 || !IsName(parts[2].left(equals))) {
            ++skipped;
            continue;
        }
        entries[{Decoded(parts[0]), Decoded(parts[1])}].append(
            {parts[2].left(equals), Decoded(parts[2].mid(equals + 1))});
    }
    return entries;
}

void SideFile::Load(const Settings& settings, bool settingsLoaded) {
    fields_.clear();
    skipped_ = 0;
    refused_.clear();
    QFile file;
    if (!QFileInfo::exists(path_) && !QFileInfo(path_).isSymLink())
        return;
    QString error;
    bool refused = false;
    // Another user's file, or one others may write to, is not ours to believe: it is moved
    // aside whole, so that nothing of it is lost and nothing of it is used.
    if (!OpenFileToRead(file, path_, true, error, &refused) || file.size() > MaxBytes) {
        if (refused)
            refused_ = error;
        Trace(QStringLiteral("Cannot read %1: %2")
                  .arg(Shown(path_), file.isOpen() ? QStringLiteral("too long") : error));
        KeepAside({}, false);
        return;
    }
    const QByteArray bytes = file.readAll();
    const std::map<Key, Fields> entries = Parse(bytes, skipped_);
    if (skipped_ > 0 || !settingsLoaded)
        KeepAside(bytes, true);
    for (int i = 0; i < settings.UserCount(); ++i) {
        const UserRecord& user = settings.Users[i];
        if (const auto found = entries.find(KeyOf(user)); found != entries.end())
            fields_[user.Id] = found->second;
    }
}

void SideFile::KeepAside(const QByteArray& bytes, bool readable) const {
    const std::optional<QString> name = FreeKeptName(path_);
    if (!name)
        return;
    // What cannot be read is moved aside whole; what can is copied, so that it also loads at
    // the next start if nothing is saved meanwhile.
    const bool kept = readable ? !WriteWhole(*name, bytes) : QFile::rename(path_, *name);
    Trace(kept ? QStringLiteral("Kept %1 as %2").arg(Shown(path_), Shown(*name))
               : QStringLiteral("Cannot keep %1 as %2").arg(Shown(path_), Shown(*name)));
}

std::optional<QString> SideFile::Save(const Settings& settings) {
    QByteArray text;
    std::set<Key> written;
    std::map<quint64, Fields> kept;
    for (int i = 0; i < settings.UserCount(); ++i) {
        const UserRecord& user = settings.Users[i];
        const auto found = fields_.find(user.Id);
        if (found == fields_.end() || found->second.isEmpty())
            continue;
        kept.insert(*found);
        // Two mailboxes of the same login and server share one entry.
        if (!written.insert(KeyOf(user)).second)
            continue;
        for (const auto& [name, value] : found->second)
            text += Line(KeyOf(user), name, value);
    }
    fields_ = std::move(kept);
    if (text.isEmpty() && !QFileInfo::exists(path_))
        return std::nullopt;
    if (const auto error = WriteWhole(path_, text))
        return error;
    if (const auto error = WriteWhole(BackupPath(), text))
        Trace(QStringLiteral("Cannot write %1: %2").arg(Shown(BackupPath()), *error));
    return std::nullopt;
}
