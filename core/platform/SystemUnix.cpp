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
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

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
    // Owner-only from the start: the logs name servers, logins and counts.
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
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
    // A log made readable by others before (by an older version) is made private.
    if (mode.testFlag(QIODevice::WriteOnly) && (st.st_mode & 077) != 0)
        ::fchmod(fd, st.st_mode & 0700);
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = file.errorString();
        return false;
    }
    return true;
}

bool OpenFileToRead(QFile& file, const QString& path, bool sideFile, QString& error,
                    bool* refused) {
    if (refused)
        *refused = false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = SystemError(errno);
        return false;
    }
    struct stat st {};
    QString why;
    if (::fstat(fd, &st) != 0)
        why = SystemError(errno);
    else if (!S_ISREG(st.st_mode))
        why = QStringLiteral("it is not a regular file");
    else if (sideFile && st.st_uid != ::geteuid())
        why = QStringLiteral("it belongs to another user");
    else if (sideFile && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        why = QStringLiteral("others than its owner may write to it");
    if (!why.isEmpty() || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (refused)
            *refused = !why.isEmpty();
        error = why.isEmpty() ? file.errorString() : why;
        return false;
    }
    return true;
}

std::optional<QString> WhyFolderNotPrivate(const QString& folder) {
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return QStringLiteral("it belongs to another user");
    // A shared folder with the sticky bit (like /tmp) still lets others add files.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return QStringLiteral("others than its owner may write to it");
    return std::nullopt;
}

void ProtectProcessMemory() {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
#ifdef __linux__
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

bool Sync(QFile& file) {
    return ::fsync(file.handle()) == 0;
}

void IgnoreFileSizeSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}
