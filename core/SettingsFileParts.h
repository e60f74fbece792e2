#pragma once

// What the load, the save and the copies kept of the settings file share.

#include "platform/System.h" // Sync

#include <QDir>
#include <QFileDevice>
#include <QString>
#include <optional>

class QFile;

inline const QString CrLf = QStringLiteral("\r\n");
constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

inline QString Shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// Writes `bytes` as the whole new content of `target`, owner-only (WriteFileWhole). In a folder
// where no file can be created (read-only, but the file itself writable) the file is
// overwritten in place. The error text, or nothing on success.
std::optional<QString> WriteWhole(const QString& target, const QByteArray& bytes);
// The first free name among `source`.damaged, `source`.damaged.1, ...; none when all are taken.
std::optional<QString> FreeKeptName(const QString& source);

// The settings text of the defaults.
const QString& DefaultsText();
// Whether `path` holds anything to lose: not missing, not empty, not just the defaults. A
// file that does not load counts: what it held is unknown.
bool HoldsUserSettings(const QString& path);
