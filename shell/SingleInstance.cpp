#include "SingleInstance.h"

#include "core/Paths.h"

#include <QDir>
#include <QStandardPaths>

SingleInstance::SingleInstance(const QString& lockPath) : lock_(lockPath) {
    // Only a dead owner makes the lock stale, never its age: Tarnwick runs for days.
    lock_.setStaleLockTime(0);
}

bool SingleInstance::TryLock() {
    return lock_.tryLock(0);
}

QString SingleInstance::DefaultLockPath() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("Tarnwick.lock"));
}
