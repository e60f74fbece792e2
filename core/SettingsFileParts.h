#pragma once

// What the load, the save and the copies kept of the settings file share.

#include "platform/System.h" // Sync

#include <QDir>
#include <QFileDevice>
#include <QString>

class QFile;

inline const QString CrLf = QStringLiteral("\r\n");
constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

inline QString Shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// The settings text of the defaults.
const QString& DefaultsText();
// Whether `path` holds anything to lose: not missing, not empty, not just the defaults. A
// file that does not load counts: what it held is unknown.
bool HoldsUserSettings(const QString& path);
