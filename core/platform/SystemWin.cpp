// The logic library on Windows: the settings file at the drive's root, and no owners, modes or
// file-size signal to look at.

#include "System.h"

#include "check/Logs.h"
#include "core/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

bool Sync(QFile& file) {
    return file.flush();
}

void IgnoreFileSizeSignal() {}
