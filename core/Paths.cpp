#include "Paths.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_WIN
constexpr QChar Separator = QLatin1Char('\\');
#else
constexpr QChar Separator = QLatin1Char('/');
#endif

constexpr QFile::Permissions OwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

// Folders that hold installed programs: logs written there as root would outlive the program
// (and an ordinary user cannot write there at all).
bool IsInstalledProgramFolder(const QString& folder) {
#ifdef Q_OS_UNIX
    const QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
#ifdef TARNWICK_INSTALL_BINDIR
    if (path == QDir::cleanPath(QStringLiteral(TARNWICK_INSTALL_BINDIR)))
        return true;
#endif
    for (const char* system : {"/usr", "/opt", "/bin", "/sbin"}) {
        const QString root = QLatin1String(system);
        if (path == root || path.startsWith(root + QLatin1Char('/')))
            return true;
    }
#else
    Q_UNUSED(folder);
#endif
    return false;
}
} // namespace

QString AddSlash(const QString& path) {
    if (path.endsWith(Separator))
        return path;
    return path + Separator;
}

QString HomeFolder() {
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);
#ifdef Q_OS_UNIX
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir && *entry->pw_dir)
        return QDir::cleanPath(QFile::decodeName(entry->pw_dir));
#endif
    return QDir::homePath();
}

namespace {
// An XDG folder variable when it holds an absolute path; else `fallback` below the home.
QString XdgFolder(const char* variable, const char* fallback) {
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return HomeFolder() + QLatin1Char('/') + QLatin1String(fallback);
}
} // namespace

QString StateHome() {
    return XdgFolder("XDG_STATE_HOME", ".local/state");
}

QString ConfigHome() {
    return XdgFolder("XDG_CONFIG_HOME", ".config");
}

QString DefaultSettingsFile() {
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\Tarnwick.ini");
#else
    return AddSlash(ConfigHome()) + QStringLiteral("Tarnwick.ini");
#endif
}

namespace {
// A folder where others could put a log of their own making (a link to a file of the user's):
// one that is not the user's, or that the group or everyone may write to (a shared folder).
bool OthersMayWriteIn(const QString& folder) {
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return true;
    return st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
#else
    Q_UNUSED(folder);
    return false;
#endif
}
} // namespace

QString LogFolder(const QString& executableFolder, const QString& stateHome) {
    if (QFileInfo(executableFolder).isWritable() && !IsInstalledProgramFolder(executableFolder) &&
        !OthersMayWriteIn(executableFolder))
        return QDir::toNativeSeparators(executableFolder);
    return QDir::toNativeSeparators(QDir(stateHome).filePath(QStringLiteral("Tarnwick")));
}

QString MakePrivateFolder(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        if (!QDir().mkpath(info.absolutePath()) || !QDir().mkdir(path, OwnerOnly))
            return QStringLiteral("cannot create the folder");
        return {};
    }
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QStringLiteral("not a folder");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("the folder belongs to another user");
    if ((st.st_mode & 077) != 0 && !QFile::setPermissions(path, OwnerOnly))
        return QStringLiteral("cannot make the folder private");
#else
    if (!info.isDir())
        return QStringLiteral("not a folder");
#endif
    return {};
}

Paths Paths::ForProgram(const QString& executableFile) {
    Paths paths;
    const QString executableFolder = QFileInfo(executableFile).absolutePath();
    paths.SettingsFile = DefaultSettingsFile();
#ifndef Q_OS_WIN
    paths.AutostartFile = AddSlash(ConfigHome()) + QStringLiteral("autostart/tarnwick.desktop");
#endif
    paths.ProgramFile = QDir::toNativeSeparators(executableFile);
    paths.ProgramFolder = LogFolder(executableFolder, StateHome());
    if (QDir::fromNativeSeparators(paths.ProgramFolder) != executableFolder)
        MakePrivateFolder(paths.ProgramFolder); // a failure shows when a log is written
    return paths;
}

QString Paths::OptionsFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick.options")));
}

QString Paths::CaFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick-ca.pem")));
}
