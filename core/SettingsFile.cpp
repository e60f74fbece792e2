#include "SettingsFile.h"

#include "Cipher.h"
#include "Clock.h"
#include "CodePage.h"
#include "Files.h"
#include "Numeric.h"
#include "Settings.h"
#include "Trace.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace {
const QString CrLf = QStringLiteral("\r\n");
const QString LoadFailed = QStringLiteral("Load failed!");
constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
// Far more damaged copies than anyone keeps; only bounds the search for a free name.
constexpr int MaxDamagedCopies = 10000;

QString FirstRunMessage() {
    return QStringLiteral("This appears to be the first time you have used this program!") + CrLf +
           QStringLiteral("You can access the setup screen by right-clicking") + CrLf +
           QStringLiteral("on the icon in the system tray. Have fun!");
}

QString Shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

std::optional<qint16> ReadInt16(QStringView line) {
    const auto number = ParseNumber(line.toString());
    return number ? FloorToInt16(*number) : std::nullopt;
}

std::optional<qint32> ReadInt32(QStringView line) {
    const auto number = ParseNumber(line.toString());
    return number ? RoundToInt32(*number) : std::nullopt;
}

enum class ReadOutcome { Read, Missing, Failed };

// Reads at most `limit` bytes of `path`: enough to tell that a file is too long without
// reading all of a huge one. Only regular files are read (a FIFO or device could block or
// never end).
ReadOutcome ReadHead(const QString& path, qint64 limit, QByteArray& bytes, QString& error) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return ReadOutcome::Missing;
    if (!info.isFile()) {
        error = QStringLiteral("not a regular file");
        return ReadOutcome::Failed;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return ReadOutcome::Failed;
    }
    bytes = file.read(limit);
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString();
        return ReadOutcome::Failed;
    }
    return ReadOutcome::Read;
}

// Forces what was written to the disk, so that a full disk shows here and not later.
bool Sync(QFile& file) {
#ifdef Q_OS_UNIX
    return ::fsync(file.handle()) == 0;
#else
    return file.flush();
#endif
}

// Writes `bytes` as the whole new content of `target`, owner-only (WriteFileWhole). In a folder
// where no file can be created (read-only, but the file itself writable) the file is
// overwritten in place. The error text, or nothing on success.
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

std::optional<QString> FreeKeptName(const QString& source) {
    for (int n = 0; n < MaxDamagedCopies; ++n) {
        if (!Taken(KeptName(source, n)))
            return KeptName(source, n);
    }
    return std::nullopt;
}

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
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(MaxCipherLength + 1) : QByteArray();
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
        QFile in(source);
        if (in.open(QIODevice::ReadOnly)) {
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
        u.HideSession = false;
        u.NewNumMails = -1;
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

SettingsFile::SettingsFile(Settings& settings, MessageSink& messages, Random& random, QString path)
    : settings_(settings), messages_(messages), random_(random), path_(std::move(path)) {}

LoadReport SettingsFile::LoadFile(const Clock& clock) {
    // Only one program works on this file (the lock beside it), so a temporary file older than
    // this start is a killed save's.
    const QDateTime start = clock.Now();
    RemoveLeftoverTemporaries(path_, start);
    RemoveLeftoverTemporaries(BackupPath(), start);
    QByteArray bytes;
    QString error;
    LoadResult result = LoadResult::Unreadable;
    // One byte more than a settings file may hold tells a file that is too long.
    switch (ReadHead(path_, MaxCipherLength + 1, bytes, error)) {
    case ReadOutcome::Missing:
        // Nothing is created: the first save does that.
        result = LoadResult::FirstRun;
        break;
    case ReadOutcome::Failed:
        Trace(QStringLiteral("Cannot read %1: %2").arg(Shown(path_), error));
        result = LoadResult::Unreadable;
        break;
    case ReadOutcome::Read:
        result = LoadSettingsBytes(bytes, settings_);
        break;
    }
    LoadReport report;
    report.result = result;
    if (result == LoadResult::Loaded) {
        // Defaults in force beside a ".bak" of the user's: an earlier start could not keep it
        // aside. It stays until the user saves settings of their own.
        backupPinned_ =
            BuildSettingsText(settings_) == DefaultsText() && HoldsUserSettings(BackupPath());
        return report;
    }

    // The defaults take over, and the next save replaces the file and its ".bak": keep what
    // they hold first. An empty or missing settings file holds nothing; a folder or device at
    // its path is no settings file to keep.
    const bool keepSettings = result != LoadResult::FirstRun && QFileInfo(path_).isFile();
    const QStringList notes = KeepAside(keepSettings, clock, report.kept);
    // The defaults are in force before the message shows: an exit while it is open (a
    // signal) saves them, not whatever was read so far.
    settings_.ResetToDefaults();
    QStringList message{result == LoadResult::FirstRun ? FirstRunMessage() : LoadFailed};
    report.message = (message + notes).join(CrLf);
    return report;
}

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
    const QByteArray plain = ToCodePage(BuildSettingsText(settings_));
    if (plain.size() > MaxPlainLength) {
        return fail(QStringLiteral("the settings take %1 bytes, more than the %2 that the "
                                   "settings file can hold: %3")
                        .arg(plain.size())
                        .arg(MaxPlainLength)
                        .arg(WhatToShorten(settings_, plain.size() - MaxPlainLength)));
    }
    const QByteArray cipher = EncodeText(plain, DrawKey(random_));
    if (BuildSettingsText(settings_) != DefaultsText()) {
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
