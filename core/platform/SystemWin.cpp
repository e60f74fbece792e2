// The logic library on Windows: the settings file at the drive's root, and no owners, modes or
// file-size signal to look at.

#include "System.h"

#include "check/Logs.h"
#include "core/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <windows.h>

QString AccountHome() {
    return QDir::homePath();
}

QString DefaultSettingsFile() {
    return QStringLiteral("C:\\Tarnwick.ini");
}

QString DefaultAutostartFile() {
    return {};
}

bool IsPersonalProgramFolder(const QString&) {
    return true;
}

QString MakeExistingFolderPrivate(const QString& path) {
    return QFileInfo(path).isDir() ? QString() : QStringLiteral("not a folder");
}

std::optional<QString> WhyNotOwnRegularFile(const QString&) {
    return std::nullopt;
}

bool OpenOwnRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode,
                        QString& error) {
    file.setFileName(path);
    if (!file.open(mode)) {
        error = file.errorString();
        return false;
    }
    return true;
}

bool OpenFileToRead(QFile& file, const QString& path, bool, QString& error, bool* refused) {
    // Files in the user's profile are guarded by its access lists, which others cannot change.
    if (refused)
        *refused = false;
    if (QFileInfo(path).isDir()) {
        error = QStringLiteral("it is not a regular file");
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    return true;
}

std::optional<QString> WhyFolderNotPrivate(const QString&) {
    return std::nullopt;
}

void ProtectProcessMemory() {
    // No crash dialog and no dump of this process's memory for an error report.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

bool Sync(QFile& file) {
    return file.flush();
}

void IgnoreFileSizeSignal() {}
