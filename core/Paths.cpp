#include "Paths.h"

#include "platform/System.h"

#include <QDir>
#include <QFileInfo>

constexpr QFile::Permissions OwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

QString AddSlash(const QString& path) {
    if (path.endsWith(QDir::separator()))
        return path;
    return path + QDir::separator();
}

QString HomeFolder() {
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);
    return AccountHome();
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

QString LogFolder(const QString& executableFolder, const QString& stateHome) {
    if (QFileInfo(executableFolder).isWritable() && IsPersonalProgramFolder(executableFolder))
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
    return MakeExistingFolderPrivate(path);
}

Paths Paths::ForProgram(const QString& executableFile) {
    Paths paths;
    const QString executableFolder = QFileInfo(executableFile).absolutePath();
    paths.SettingsFile = DefaultSettingsFile();
    paths.AutostartFile = DefaultAutostartFile();
    paths.ProgramFile = QDir::toNativeSeparators(executableFile);
    paths.ProgramFolder = LogFolder(executableFolder, StateHome());
    paths.SeenFile = QDir(StateHome()).filePath(QStringLiteral("Tarnwick/Tarnwick.seen"));
    if (QDir::fromNativeSeparators(paths.ProgramFolder) != executableFolder)
        MakePrivateFolder(paths.ProgramFolder); // a failure shows when a log is written
    return paths;
}

QString Paths::OptionsFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick.options")));
}

QString Paths::AccountsFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick.accounts")));
}

QString Paths::OAuthProvidersFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick-oauth2.conf")));
}

QString Paths::CaFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick-ca.pem")));
}
