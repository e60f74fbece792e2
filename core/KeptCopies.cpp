// The copies of the settings file and its ".bak" kept aside at start-up, before the defaults
// can replace them.
#include "SettingsFile.h"

#include "Clock.h"
#include "Files.h"
#include "Settings.h"
#include "SettingsFileParts.h"
#include "platform/System.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace {
// Far more damaged copies than anyone keeps; only bounds the search for a free name.
constexpr int MaxDamagedCopies = 10000;

bool Taken(const QString& name) {
    const QFileInfo info(name);
    return info.exists() || info.isSymLink();
}

// The names a kept file of `source` can have: `source`.damaged, `source`.damaged.1, ...
QString KeptName(const QString& source, int n) {
    QString name = source + QStringLiteral(".damaged");
    if (n > 0)
        name += QLatin1Char('.') + QString::number(n);
    return name;
}

} // namespace

std::optional<QString> FreeKeptName(const QString& source) {
    for (int n = 0; n < MaxDamagedCopies; ++n) {
        if (!Taken(KeptName(source, n)))
            return KeptName(source, n);
    }
    return std::nullopt;
}

namespace {
// The files kept of `source` so far, whatever gaps their numbers have, in the order of their
// numbers.
QStringList KeptFiles(const QString& source) {
    const QFileInfo info(source);
    const QString prefix = info.fileName() + QStringLiteral(".damaged");
    std::vector<std::pair<uint, QString>> numbered;
    const QStringList names =
        info.dir().entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        const QStringView suffix = QStringView(name).mid(prefix.size());
        bool number = suffix.isEmpty();
        uint n = 0;
        if (suffix.size() > 1 && suffix[0] == QLatin1Char('.')) {
            n = suffix.mid(1).toUInt(&number);
            number = number && suffix[1] != QLatin1Char('0');
        }
        if (number)
            numbered.emplace_back(n, info.dir().filePath(name));
    }
    std::sort(numbered.begin(), numbered.end());
    QStringList kept;
    for (auto& [n, path] : numbered)
        kept << std::move(path);
    return kept;
}

QByteArray ReadSmall(const QString& path) {
    QFile file;
    QString error;
    return OpenFileToRead(file, path, false, error) ? file.read(MaxCipherLength + 1) : QByteArray();
}

// Copies `bytes` (the content of a kept file) to `name`, created exclusively, owner-only.
std::optional<QString> CopyTo(const QByteArray& bytes, const QString& name) {
    QFile out(name);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly, OwnerOnly))
        return out.errorString();
    errno = 0;
    if (out.write(bytes) != bytes.size() || !out.flush() || !Sync(out)) {
        const QString error = WriteFailure(out, errno);
        out.remove();
        return error;
    }
    return std::nullopt;
}

// The settings a file holds, as the saver would write them: the same for two files with the
// same settings whatever their cipher keys. Nothing when the bytes do not load.
std::optional<QString> SettingsOf(const QByteArray& bytes) {
    Settings settings;
    if (LoadSettingsBytes(bytes, settings) != LoadResult::Loaded)
        return std::nullopt;
    return BuildSettingsText(settings);
}

} // namespace

const QString& DefaultsText() {
    static const QString text = BuildSettingsText(Settings());
    return text;
}

// Whether `path` holds anything to lose: not missing, not empty, not just the defaults. A
// file that does not load counts: what it held is unknown.
bool HoldsUserSettings(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.size() > 0 && SettingsOf(ReadSmall(path)) != DefaultsText();
}

namespace {

// Two kept files are the same when their settings are; files that do not load, when their
// bytes are.
bool SameContent(const QByteArray& a, const QByteArray& b) {
    const auto settings = SettingsOf(a);
    return settings ? settings == SettingsOf(b) : a == b;
}

// The kept copy of `sources` with the newest settings that load and are not the defaults:
// the one kept last (MarkNewest), or nothing.
QString NewestGoodCopy(const QStringList& sources) {
    QString newest;
    QDateTime newestTime;
    for (const QString& source : sources) {
        for (const QString& name : KeptFiles(source)) {
            const auto settings = SettingsOf(ReadSmall(name));
            const QDateTime time = QFileInfo(name).lastModified();
            if (settings && *settings != DefaultsText() &&
                (newest.isEmpty() || time > newestTime)) {
                newest = name;
                newestTime = time;
            }
        }
    }
    return newest;
}

struct Kept {
    QString name;  // where `source` is kept now, when it is
    QString error; // why it could not be kept
};

// Makes `name` the newest of the copies kept of `family` by its time stamp, even when the
// clock has not moved on since the last one was kept: the newest copy is found by it.
void MarkNewest(const QString& name, const QStringList& family, const Clock& clock) {
    QDateTime time = clock.Now().toUTC();
    for (const QString& source : family) {
        for (const QString& other : KeptFiles(source)) {
            if (other != name)
                time = qMax(time, QFileInfo(other).lastModified().toUTC().addMSecs(1));
        }
    }
    QFile file(name);
    if (file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        file.setFileTime(time, QFileDevice::FileModificationTime);
}

// Keeps `source` under its next free kept name before a save can replace it. A file that
// could be a settings file is copied byte for byte, unless a copy with the same content
// (SameContent) is kept already, which then counts as the newest of `family`;
// one that is unreadable or too long to be one is renamed aside, which takes no space. So is
// any file once the copies would take more than MaxKeptCopyBytes in all (`copiedBytes`, the
// bytes of the copies of every source, is kept up to date).
Kept KeepFile(const QString& source, qint64& copiedBytes, const QStringList& family,
              const Clock& clock) {
    const QStringList kept = KeptFiles(source);
    const QFileInfo info(source);
    QByteArray bytes;
    bool copy = false;
    if (info.size() <= MaxCipherLength) {
        QFile in;
        if (QString error; OpenFileToRead(in, source, false, error)) {
            bytes = in.read(MaxCipherLength + 1);
            copy = in.error() == QFileDevice::NoError && bytes.size() <= MaxCipherLength;
        }
    }
    if (copy) {
        for (const QString& name : kept) {
            if (SameContent(bytes, ReadSmall(name))) {
                MarkNewest(name, family, clock); // it holds the newest settings again
                return {name, {}};
            }
        }
        copy = copiedBytes + bytes.size() <= MaxKeptCopyBytes;
    }
    const auto name = FreeKeptName(source);
    if (!name)
        return {{}, QStringLiteral("no free name for the copy")};
    if (const auto error = copy ? CopyTo(bytes, *name) : RenameInOneStep(source, *name)) {
        // A copy needs a free inode and free space, a rename neither: the file itself is kept.
        if (!copy || RenameInOneStep(source, *name))
            return {{}, *error};
        copy = false;
    }
    if (copy)
        copiedBytes += bytes.size();
    else
        QFile::setPermissions(*name, OwnerOnly); // it may hold passwords; readable by its owner
    MarkNewest(*name, family, clock);
    return {*name, {}};
}

// The bytes of the copies kept so far: the files beside `sources` under their kept names that
// could be copies (renamed files too long to be a settings file do not count).
qint64 CopiedBytes(const QStringList& sources) {
    qint64 total = 0;
    for (const QString& source : sources) {
        for (const QString& name : KeptFiles(source)) {
            const qint64 size = QFileInfo(name).size();
            if (size <= MaxCipherLength)
                total += size;
        }
    }
    return total;
}
} // namespace

QStringList SettingsFile::KeepAside(bool keepSettings, const Clock& clock, QStringList& kept) {
    QStringList notes;
    qint64 copied = CopiedBytes({path_, BackupPath()});
    if (keepSettings) {
        const Kept file = KeepFile(path_, copied, {path_, BackupPath()}, clock);
        if (file.name.isEmpty()) {
            // What it held is kept nowhere else: no save of the defaults may replace it.
            settingsPinned_ = true;
            notes << QStringLiteral("Could not keep a copy of %1: %2; it is left as it is until "
                                    "you save settings of your own")
                         .arg(Shown(path_), file.error);
        } else {
            kept << file.name;
            notes << QStringLiteral("The settings file is kept as %1").arg(Shown(file.name));
        }
    }
    // A ".bak" with nothing but the defaults has nothing to lose: it is neither kept nor named.
    QString keptBackup;
    if (HoldsUserSettings(BackupPath())) {
        const Kept backup = KeepFile(BackupPath(), copied, {path_, BackupPath()}, clock);
        if (backup.name.isEmpty()) {
            // The last good settings may be in it: no save of the defaults may replace it.
            backupPinned_ = true;
            notes << QStringLiteral("Could not keep a copy of %1: %2; it is left as it is until "
                                    "you save settings of your own")
                         .arg(Shown(BackupPath()), backup.error);
            return notes;
        }
        kept << backup.name;
        // Only a copy that loads is one to go back to (a huge renamed file is not read).
        if (QFileInfo(backup.name).size() <= MaxCipherLength &&
            SettingsOf(ReadSmall(backup.name))) {
            keptBackup = backup.name;
            notes << QStringLiteral("The last backup of the settings is kept as %1")
                         .arg(Shown(keptBackup));
        } else {
            notes << QStringLiteral("The backup of the settings, which does not load either, is "
                                    "kept as %1")
                         .arg(Shown(backup.name));
        }
    }
    // The copy to go back to may have been kept at an earlier start.
    const QString good = NewestGoodCopy({path_, BackupPath()});
    if (!good.isEmpty() && good != keptBackup)
        notes << QStringLiteral("The last good settings are kept as %1").arg(Shown(good));
    return notes;
}
