#include "Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
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

QString StateHome() {
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // The XDG rules ignore a relative path.
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state;
    return QDir::homePath() + QStringLiteral("/.local/state");
}

QString LogFolder(const QString& executableFolder, const QString& stateHome) {
    if (QFileInfo(executableFolder).isWritable() && !IsInstalledProgramFolder(executableFolder))
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
#ifdef Q_OS_WIN
    paths.SettingsFile = QStringLiteral("C:\\Tarnwick.ini");
#else
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    paths.SettingsFile = AddSlash(config) + QStringLiteral("Tarnwick.ini");
    paths.AutostartFile = AddSlash(config) + QStringLiteral("autostart/tarnwick.desktop");
#endif
    paths.ProgramFile = QDir::toNativeSeparators(executableFile);
    paths.ProgramFolder = LogFolder(executableFolder, StateHome());
    if (QDir::fromNativeSeparators(paths.ProgramFolder) != executableFolder)
        MakePrivateFolder(paths.ProgramFolder); // a failure shows when a log is written
    return paths;
}

QString Paths::CaFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick-ca.pem")));
}
