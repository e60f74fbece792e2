#pragma once

// What the logic library asks of the system, besides DefaultSettingsFile (Paths.h) and
// IgnoreFileSizeSignal (check/Logs.h). How: SystemUnix.cpp or SystemWin.cpp, as CMake picks.

#include <QIODevice>
#include <QString>
#include <optional>

class QFile;

// The user's home as the system's account database names it (for a start with HOME unset).
QString AccountHome();

// The desktop entry that starts the program at login; empty where there is none.
QString DefaultAutostartFile();

// Whether the logs may go in the program's `folder` when it is writable: not in a folder of
// installed programs (logs written there as root would outlive the program), nor where others
// could put a log of their own making (a link to a file of the user's): a folder that is not
// the user's, or that the group or everyone may write to (a shared folder).
bool IsPersonalProgramFolder(const QString& folder);

// The existing `path` must be a folder of this user's; one that others may enter is made
// private. The reason it is not, or empty.
QString MakeExistingFolderPrivate(const QString& path);

// Why `path` is no file to write to: a symbolic link (someone may have planted it, to have the
// writes go into a file of the user's), anything but a regular file (a FIFO blocks the
// writer), a file of another user. Nothing when it may be written or is missing.
std::optional<QString> WhyNotOwnRegularFile(const QString& path);

// Opens `file` at `path` with `mode` (writing appends and creates), never through a symbolic
// link, never blocking, and only when it is a regular file of this user's: what
// WhyNotOwnRegularFile saw may have been replaced since. False, with `error` set, when it is
// refused or cannot be opened.
bool OpenOwnRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode, QString& error);

// Opens `path` to read, never blocking (a FIFO would hang the start) and only when it is a
// regular file. With `sideFile` (a file beside the settings file that says what to trust or
// how to sign in), also only when it is this user's and neither the group nor others may
// write to it: another user could have planted or changed it. False, with `error` saying why,
// when it is refused or cannot be opened; `refused` tells a refusal from a missing file.
bool OpenFileToRead(QFile& file, const QString& path, bool sideFile, QString& error,
                    bool* refused = nullptr);

// Why others may write in the settings `folder` (so may plant files beside the settings), or
// nothing.
std::optional<QString> WhyFolderNotPrivate(const QString& folder);

// The process keeps passwords in memory: it is made not dumpable (no core file, no other
// process of the user's reading its memory) as far as the system allows.
void ProtectProcessMemory();

// Forces what was written to the disk, so that a full disk shows here and not later.
bool Sync(QFile& file);
