#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <optional>

class QDateTime;

// Renames `from` to `to` in one step, replacing a file already at `to`. Unlike QFile::rename,
// it never falls back to copying (a huge file would be copied whole) and never removes `to`
// first, so `from` is never gone while the rename may still fail. The error text, or nothing
// on success.
std::optional<QString> RenameInOneStep(const QString& from, const QString& to);

// The one way a whole file is written: `bytes` go to a temporary file beside `path`, which
// takes the old file's place only once it is complete and on the disk, so a full disk or a
// killed process leaves the previous file as it was. With `permissions`, the new file gets
// them before any byte is written. The error text (a full disk and the file-size limit named
// as such), or nothing on success.
std::optional<QString> WriteFileWhole(const QString& path, const QByteArray& bytes,
                                      std::optional<QFileDevice::Permissions> permissions = {});

// The system's text for the error number `error` ("No space left on device").
QString SystemError(int error);

// Why a write to `file` failed: the system's words for a full disk or the file-size limit,
// which Qt does not always pass on (`savedErrno`: errno right after the failed call); else
// the file's own error text.
QString WriteFailure(const QFileDevice& file, int savedErrno);

// The temporary files that writes of `path` left behind when the process was killed
// (`path` and six letters or digits) are removed: only regular files of this user's that are
// older than `before`. A name that is a plain word (all lower or all upper case letters) is a
// copy someone made, not a temporary file, and stays.
void RemoveLeftoverTemporaries(const QString& path, const QDateTime& before);
