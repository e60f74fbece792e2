#include "SettingsFile.h"

#include "Clock.h"
#include "Files.h"
#include "Settings.h"
#include "SettingsFileParts.h"
#include "Trace.h"
#include "platform/System.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <utility>

namespace {
const QString LoadFailed = QStringLiteral("Load failed!");

QString FirstRunMessage() {
    return QStringLiteral("This appears to be the first time you have used this program!") + CrLf +
           QStringLiteral("You can access the setup screen by right-clicking") + CrLf +
           QStringLiteral("on the icon in the system tray. Have fun!");
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
    QFile file;
    if (!OpenFileToRead(file, path, false, error)) // swapped for a FIFO since: no hang
        return ReadOutcome::Failed;
    bytes = file.read(limit);
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString();
        return ReadOutcome::Failed;
    }
    return ReadOutcome::Read;
}
} // namespace

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
