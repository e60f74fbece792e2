#include "Autostart.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

bool Autostart::IsEnabled() const {
    return !file_.isEmpty() && QFileInfo::exists(file_);
}

QByteArray Autostart::Entry() const {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Tarnwick\n"
                          "Comment=Tells you when new mail has arrived in your POP3 mailboxes\n"
                          "Exec=%1\n"
                          "Icon=tarnwick\n"
                          "Terminal=false\n")
        .arg(DesktopExecQuote(program_))
        .toUtf8();
}

QString Autostart::SetEnabled(bool enabled) const {
    if (file_.isEmpty())
        return QStringLiteral("There is no autostart folder on this system.");
    if (!enabled) {
        QFile file(file_);
        if (file.exists() && !file.remove())
            return QStringLiteral("Could not remove %1: %2").arg(file_, file.errorString());
        return {};
    }
    if (!QDir().mkpath(QFileInfo(file_).absolutePath()))
        return QStringLiteral("Could not create the folder %1")
            .arg(QFileInfo(file_).absolutePath());
    // Whole or not at all: a desktop that reads a half-written entry starts nothing.
    QSaveFile file(file_);
    const QByteArray entry = Entry();
    if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit())
        return QStringLiteral("Could not write %1: %2").arg(file_, file.errorString());
    return {};
}

QString DesktopExecQuote(const QString& program) {
    // Inside double quotes, `"`, "`", "$" and "\" take a backslash; the string value's own
    // escaping then doubles every backslash once more.
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            quoted += QStringLiteral("\\\\") + c;
        else if (c == QLatin1Char('\\'))
            quoted += QStringLiteral("\\\\\\\\");
        else if (c == QLatin1Char('%'))
            quoted += QStringLiteral("%%");
        else if (c == QLatin1Char('\n'))
            quoted += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            quoted += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            quoted += QStringLiteral("\\r");
        else
            quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}
