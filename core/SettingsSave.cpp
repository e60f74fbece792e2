#include "SettingsFile.h"

#include "CodePage.h"
#include "Files.h"
#include "Settings.h"
#include "SettingsFileParts.h"
#include "SideFile.h"
#include "Trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <utility>

std::optional<QString> WriteWhole(const QString& target, const QByteArray& bytes) {
    const auto error = WriteFileWhole(target, bytes, OwnerOnly);
    if (!error)
        return std::nullopt;
    // No temporary file, or it could not take the old one's place.
    if (!QFileInfo(target).isFile())
        return error;
    if (const auto inPlace = OverwriteInPlace(target, bytes)) {
        // The in-place write is what failed last, and says why (a full disk, the size limit).
        Trace(QStringLiteral("Cannot write %1 in place: %2; through a temporary file: %3")
                  .arg(Shown(target), *inPlace, *error));
        return inPlace;
    }
    Trace(QStringLiteral("Wrote %1 in place: %2").arg(Shown(target), *error));
    return std::nullopt;
}

namespace {
// The first user whose texts hold a CR LF, which would split its line and shift every later one.
int FirstUserWithLineBreak(const Settings& settings) {
    for (int i = 0; i < settings.UserCount(); ++i) {
        const UserRecord& u = settings.Users[i];
        for (const QString* text : {&u.Password, &u.ScreenName, &u.MailServer, &u.Username}) {
            if (text->contains(CrLf))
                return i;
        }
    }
    return -1;
}

// What the user can shorten to save settings that are `excess` bytes too long: the longest
// text, when shortening it is enough, or else the user list.
QString WhatToShorten(const Settings& settings, qsizetype excess) {
    const QString* longest = nullptr;
    const char* field = nullptr;
    int user = -1;
    for (int i = 0; i < settings.UserCount(); ++i) {
        const UserRecord& u = settings.Users[i];
        const std::pair<const QString*, const char*> texts[] = {{&u.ScreenName, "Screenname"},
                                                                {&u.MailServer, "Mail server"},
                                                                {&u.Username, "Username"},
                                                                {&u.Password, "Password"}};
        for (const auto& [text, name] : texts) {
            if (!longest || text->size() > longest->size()) {
                longest = text;
                field = name;
                user = i;
            }
        }
    }
    if (!longest || longest->size() < excess)
        return QStringLiteral("delete users");
    QString name = settings.Users[user].ScreenName.left(40);
    name.replace(CrLf, QStringLiteral(" "));
    return QStringLiteral("shorten the %1 of \"%2\" by %3 %4")
        .arg(QLatin1String(field), name)
        .arg(excess)
        .arg(excess == 1 ? QStringLiteral("character") : QStringLiteral("characters"));
}
} // namespace

void SettingsFile::Tell(const QString& text, Report report) const {
    Trace(text);
    if (report == Report::User)
        messages_.Message(text);
}

bool SettingsFile::SaveFile(Report report) {
    const auto fail = [this, report](const QString& reason) {
        Tell(QStringLiteral("Could not save the settings to %1: %2").arg(Shown(path_), reason),
             report);
        return false;
    };

    if (const int bad = FirstUserWithLineBreak(settings_); bad >= 0) {
        QString name = settings_.Users[bad].ScreenName;
        name.replace(CrLf, QStringLiteral(" "));
        return fail(QStringLiteral("the texts of user \"%1\" hold a line break, which the "
                                   "settings file cannot store")
                        .arg(name));
    }
    Settings blanked;
    if (kept_) {
        blanked = settings_;
        for (int i = 0; i < blanked.UserCount(); ++i) {
            if (kept_(blanked.Users[i]))
                blanked.Users[i].Password.clear();
        }
    }
    const Settings& written = kept_ ? blanked : settings_;
    const QByteArray plain = ToCodePage(BuildSettingsText(written));
    if (plain.size() > MaxPlainLength) {
        return fail(QStringLiteral("the settings take %1 bytes, more than the %2 that the "
                                   "settings file can hold: %3")
                        .arg(plain.size())
                        .arg(MaxPlainLength)
                        .arg(WhatToShorten(settings_, plain.size() - MaxPlainLength)));
    }
    const QByteArray cipher = EncodeText(plain, DrawKey(random_));
    if (BuildSettingsText(written) != DefaultsText()) {
        // Settings of the user's own replace what the files held back at start-up kept.
        backupPinned_ = false;
        settingsPinned_ = false;
    } else if (settingsPinned_) {
        Trace(QStringLiteral("%1 is left as it is: it could not be kept aside at start-up")
                  .arg(Shown(path_)));
        return true;
    }

    // The configuration folder may not exist yet on a fresh account. If it cannot be made,
    // the write below says why.
    QDir().mkpath(QFileInfo(path_).absolutePath());
    if (const auto error = WriteWhole(path_, cipher))
        return fail(*error);
    BackupFile(cipher, report);
    if (const auto error = side_ ? side_->Save(settings_) : std::nullopt)
        Tell(QStringLiteral("Could not save %1: %2").arg(Shown(side_->Path()), *error), report);
    return true;
}

bool SettingsFile::BackupFile(const QByteArray& bytes, Report report) {
    if (backupPinned_) {
        Trace(QStringLiteral("%1 is left as it is: it holds the last settings of the user's")
                  .arg(Shown(BackupPath())));
        return false;
    }
    // The same bytes as the settings file just written, written the same careful way. The
    // settings themselves are saved by now, so a failure here is reported but does not fail
    // the save.
    if (const auto error = WriteWhole(BackupPath(), bytes)) {
        Tell(QStringLiteral("Could not save the backup copy %1: %2")
                 .arg(Shown(BackupPath()), *error),
             report);
        return false;
    }
    return true;
}

std::optional<QString> OverwriteInPlace(const QString& path, const QByteArray& bytes) {
    // Unbuffered, so that every write reports its own failure.
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (!file.setPermissions(OwnerOnly))
        Trace(QStringLiteral("Cannot make %1 owner-only: %2").arg(Shown(path), file.errorString()));
    const qint64 oldSize = file.size();
    const qint64 newSize = bytes.size();
    if (newSize > oldSize) {
        // Grow first, with the new tail: only real bytes take disk space (a file extended by
        // resize() is sparse and could still fail to be written later).
        const qint64 tail = newSize - oldSize;
        errno = 0;
        if (!file.seek(oldSize) || file.write(bytes.constData() + oldSize, tail) != tail ||
            !Sync(file)) {
            const QString error = WriteFailure(file, errno);
            file.resize(oldSize); // what was added goes; the old bytes were never touched
            return error.isEmpty() ? QStringLiteral("cannot grow the file") : error;
        }
    }
    const qint64 head = qMin(oldSize, newSize);
    errno = 0;
    if (!file.seek(0) || file.write(bytes.constData(), head) != head || !Sync(file))
        return WriteFailure(file, errno);
    if (newSize < oldSize && !file.resize(newSize))
        return file.errorString();
    return std::nullopt;
}
