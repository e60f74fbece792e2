#include "Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
#ifdef Q_OS_WIN
constexpr QChar Separator = QLatin1Char('\\');
#else
constexpr QChar Separator = QLatin1Char('/');
#endif
} // namespace

QString AddSlash(const QString& path) {
    if (path.endsWith(Separator))
        return path;
    return path + Separator;
}

Paths Paths::ForProgram(const QString& executableFolder) {
    Paths paths;
#ifdef Q_OS_WIN
    paths.SettingsFile = QStringLiteral("C:\\Tarnwick.ini");
#else
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    paths.SettingsFile = AddSlash(config) + QStringLiteral("Tarnwick.ini");
#endif
    paths.ProgramFolder = QDir::toNativeSeparators(executableFolder);
    return paths;
}

QString Paths::CaFile() const {
    return QDir::toNativeSeparators(
        QFileInfo(SettingsFile).dir().filePath(QStringLiteral("Tarnwick-ca.pem")));
}
