#pragma once

#include "Cipher.h"
#include "MessageSink.h"
#include "SettingsFormat.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class Clock;
class Random;
class Settings;
class SideFile;
struct UserRecord;

// Writes `bytes` over the existing file `path` without replacing it, for a folder in which no
// file can be created. The file never becomes shorter or cut off on a failure: it first grows
// to the new length by writing the new tail past its old end (on a full disk that fails with
// the old bytes untouched), then the rest is overwritten and any old tail cut off. The error
// text, or nothing on success.
std::optional<QString> OverwriteInPlace(const QString& path, const QByteArray& bytes);

// What the start-up load found, for the program to tell the user.
struct LoadReport {
    LoadResult result = LoadResult::Loaded;
    QStringList kept; // the copies kept aside at this start, by name
    QString message;  // the message to show, in full; empty when the file loaded

    bool IsFirstRun() const { return result == LoadResult::FirstRun; }
    // False when the defaults are in force because the file could not be used.
    bool Usable() const { return result == LoadResult::Loaded || IsFirstRun(); }
};

// Copies of a damaged file are never larger in all than a few settings files.
constexpr qint64 MaxKeptCopyBytes = 4 * qint64(MaxCipherLength);

// The enciphered settings file and its ".bak" copy.
class SettingsFile final {
public:
    SettingsFile(Settings& settings, MessageSink& messages, Random& random, QString path);

    // Loads the settings at start-up. A missing or empty file gives the first-run message, a
    // damaged or unreadable one "Load failed!" and the defaults. Whenever the defaults
    // take over, what the next save would replace is kept first under the next free name among
    // ".damaged", ".damaged.1", ...: the settings file (copied, or renamed aside when it is
    // unreadable or too long to be one, or when no copy can be made) and a ".bak" that holds
    // more than the defaults, unless a copy with the same settings is kept already. The
    // message says where, and names the kept copy with the newest settings that are not the
    // defaults, even one kept at an earlier start. A settings file or a ".bak" of the user's
    // that cannot be kept, or a ".bak" that sits beside a file of defaults, is left alone
    // until settings other than the defaults are saved. Leftover temporary files of killed
    // saves are removed first (those older than `clock`'s now). The message is returned, not
    // shown: the defaults are in force before the caller shows it.
    LoadReport LoadFile(const Clock& clock);
    // Writes the current settings and then the ".bak" copy, owner-only. Each replaces the old
    // file through a temporary one when the folder allows it, else is written in place
    // (OverwriteInPlace). False (after telling the user through the sink) when the settings file
    // could not be written; the previous file is then left as it was. A ".bak" held back at
    // start-up is left alone while the defaults are saved. With `Report::TraceOnly` a failure goes
    // to the trace only, and otherwise to the trace and a message box: an exit on a signal must not
    // wait for a click.
    enum class Report { User, TraceOnly };
    bool SaveFile(Report report = Report::User);

    // Passwords kept elsewhere (the keyring) are written empty: for each user this says true
    // for. The file's format stays as it was.
    void SetPasswordKept(std::function<bool(const UserRecord&)> kept) { kept_ = std::move(kept); }
    // Saved after the settings file with every save: the per-mailbox fields beside it.
    void SetSideFile(SideFile* side) { side_ = side; }

    const QString& Path() const { return path_; }
    QString BackupPath() const { return path_ + QStringLiteral(".bak"); }

private:
    bool BackupFile(const QByteArray& bytes, Report report);
    void Tell(const QString& text, Report report) const;
    // Keeps the settings file (when `keepSettings`) and a ".bak" of the user's; the lines of the
    // start-up message: where they are kept, or why they could not be, and the copy to go back
    // to.
    QStringList KeepAside(bool keepSettings, const Clock& clock, QStringList& kept);

    Settings& settings_;
    MessageSink& messages_;
    Random& random_;
    QString path_;
    std::function<bool(const UserRecord&)> kept_;
    SideFile* side_ = nullptr;
    // The ".bak" holds the last settings of the user's, kept nowhere else: no save of the
    // defaults touches it.
    bool backupPinned_ = false;
    // The same for a damaged settings file that could be neither copied nor renamed aside.
    bool settingsPinned_ = false;
};
