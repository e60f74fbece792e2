// The logic library on Unix: POSIX calls for owners, modes and the file-size signal.

#include "System.h"

#include "check/Logs.h"
#include "core/Files.h"
#include "core/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

QString AccountHome() {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir && *entry->pw_dir)
        return QDir::cleanPath(QFile::decodeName(entry->pw_dir));
    return QDir::homePath();
}

QString DefaultSettingsFile() {
    return AddSlash(ConfigHome()) + QStringLiteral("Tarnwick.ini");
}

QString DefaultAutostartFile() {
    return AddSlash(ConfigHome()) + QStringLiteral("autostart/tarnwick.desktop");
}

bool IsPersonalProgramFolder(const QString& folder) {
    const QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
#ifdef TARNWICK_INSTALL_BINDIR
    if (path == QDir::cleanPath(QStringLiteral(TARNWICK_INSTALL_BINDIR)))
        return false;
#endif
    for (const char* system : {"/usr", "/opt", "/bin", "/sbin"}) {
        const QString root = QLatin1String(system);
        if (path == root || path.startsWith(root + QLatin1Char('/')))
            return false;
    }
    struct stat st {};
    return ::stat(QFile::encodeName(folder).constData(), &st) == 0 && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QString MakeExistingFolderPrivate(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QStringLiteral("not a folder");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("the folder belongs to another user");
    if ((st.st_mode & 077) != 0 &&
        !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return QStringLiteral("cannot make the folder private");
    return {};
}

std::optional<QString> WhyNotOwnRegularFile(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("it is a symbolic link, and no log is written through one");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("it is not a regular file");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("it belongs to another user");
    return std::nullopt;
}

bool OpenOwnRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode,
                        QString& error) {
    const int flags =
        (mode.testFlag(QIODevice::WriteOnly) ? O_WRONLY | O_APPEND | O_CREAT : O_RDONLY) |
        O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0666);
    if (fd < 0) {
        const int why = errno;
        error = WhyNotOwnRegularFile(path).value_or(SystemError(why));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        error = WhyNotOwnRegularFile(path).value_or(
            QStringLiteral("it is not a regular file of this user's"));
        return false;
    }
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = file.errorString();
        return false;
    }
    return true;
}

bool Sync(QFile& file) {
    return ::fsync(file.handle()) == 0;
}

void IgnoreFileSizeSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}
