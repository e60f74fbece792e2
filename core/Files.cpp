#include "Files.h"

#include "platform/System.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

std::optional<QString> RenameInOneStep(const QString& from, const QString& to) {
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(from.toStdU16String()),
                            std::filesystem::path(to.toStdU16String()), error);
    if (error)
        return QString::fromLocal8Bit(error.message().c_str());
    return std::nullopt;
}

QString SystemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString WriteFailure(const QFileDevice& file, int savedErrno) {
#ifdef EFBIG
    if (savedErrno == EFBIG)
        return SystemError(savedErrno);
#endif
    if (savedErrno == ENOSPC)
        return SystemError(savedErrno);
    return file.errorString();
}

std::optional<QString> WriteFileWhole(const QString& path, const QByteArray& bytes,
                                      std::optional<QFileDevice::Permissions> permissions) {
    QSaveFile file(path);
    // Unbuffered, so that the write itself meets a full disk: Qt 6.4's commit does not notice
    // when a final flush of buffered bytes fails, and would put a cut-off file in place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (permissions && !file.setPermissions(*permissions))
        return file.errorString(); // the destructor removes the temporary file
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString error = WriteFailure(file, errno);
        file.cancelWriting();
        return error;
    }
    errno = 0;
    if (!file.commit())
        return WriteFailure(file, errno);
    return std::nullopt;
}

void RemoveLeftoverTemporaries(const QString& path, const QDateTime& before) {
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QLatin1Char('.');
    QDir folder = target.dir();
    const QStringList names =
        folder.entryList({prefix + QStringLiteral("??????")}, QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        const QString tail = name.mid(prefix.size());
        bool letters = true, lower = true, upper = true;
        for (const QChar c : tail) {
            letters = letters && c.isLetterOrNumber() && c.unicode() < 0x80;
            lower = lower && c.isLower();
            upper = upper && c.isUpper();
        }
        if (!letters || lower || upper)
            continue;
        const QString file = folder.filePath(name);
        if (WhyNotOwnRegularFile(file))
            continue;
        if (QFileInfo(file).lastModified() < before)
            QFile::remove(file);
    }
}
