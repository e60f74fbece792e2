#include "Autostart.h"

#include "Files.h"

#include <QDir>
#include <QFileInfo>

bool Autostart::IsEnabled() const {
    return !file_.isEmpty() && QFileInfo::exists(file_);
}

QByteArray Autostart::Entry() const {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Tarnwick\n"
                          "Comment=Tells you when new mail has arrived in your POP3 mailboxes\n"
                          "TryExec=%1\n"
                          "Exec=%2\n"
                          "Icon=tarnwick\n"
                          "Terminal=false\n")
        .arg(DesktopStringEscape(program_), DesktopExecLine(program_))
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
    // A desktop entry is UTF-8: a path that is not (its bytes decoded with replacements) would
    // name another program, or none.
    if (program_.isEmpty() || program_.contains(QChar::ReplacementCharacter))
        return QStringLiteral("Could not write %1: the path of this program is not valid UTF-8, "
                              "which a desktop entry cannot name; move the program to another "
                              "folder")
            .arg(file_);
    if (!QDir().mkpath(QFileInfo(file_).absolutePath()))
        return QStringLiteral("Could not create the folder %1")
            .arg(QFileInfo(file_).absolutePath());
    // Whole or not at all: a desktop that reads a half-written entry starts nothing.
    if (const auto error = WriteFileWhole(file_, Entry()))
        return QStringLiteral("Could not write %1: %2").arg(file_, *error);
    return {};
}

QString DesktopStringEscape(const QString& text) {
    QString escaped;
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            escaped += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            escaped += QStringLiteral("\\r");
        else
            escaped += c;
    }
    // A leading blank would be taken for the space before the value.
    if (escaped.startsWith(QLatin1Char(' ')))
        escaped.replace(0, 1, QStringLiteral("\\s"));
    return escaped;
}

QString DesktopExecQuote(const QString& program) {
    // Inside double quotes, `"`, "`", "$" and "\" take a backslash, and "%" is doubled (a
    // field code otherwise); the string value's own escaping then doubles every backslash
    // once more.
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\') + QString(c);
        else if (c == QLatin1Char('%'))
            quoted += QStringLiteral("%%");
        else
            quoted += c;
    }
    return DesktopStringEscape(QLatin1Char('"') + quoted + QLatin1Char('"'));
}

QString DesktopExecLine(const QString& program) {
    if (!program.contains(QLatin1Char('%')))
        return DesktopExecQuote(program);
    // Launchers look for the program an Exec line names before they turn "%%" back into "%",
    // and find none at such a path. A shell named by its own path runs it instead.
    return QStringLiteral("/bin/sh -c ") + DesktopExecQuote(QStringLiteral("exec \"$0\"")) +
           QLatin1Char(' ') + DesktopExecQuote(program);
}
