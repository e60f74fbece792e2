#include "OpenWith.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

OpenWithText ParseOpenWith(const QString& openWith) {
    const QString text = openWith.trimmed();
    if (text.isEmpty())
        return {};
    if (text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
        text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return {OpenWithText::Kind::WebAddress, {text}};
    return {OpenWithText::Kind::Command, QProcess::splitCommand(text)};
}

namespace {
bool IsProgram(const QString& program) {
    if (program.contains(QLatin1Char('/')) || QFileInfo(program).isAbsolute()) {
        const QFileInfo file(program);
        return file.isFile() && file.isExecutable();
    }
    return !QStandardPaths::findExecutable(program).isEmpty();
}
} // namespace

QString OpenWithProblem(const QString& openWith) {
    const OpenWithText parsed = ParseOpenWith(openWith);
    switch (parsed.kind) {
    case OpenWithText::Kind::MailClient:
        return {};
    case OpenWithText::Kind::WebAddress: {
        const QUrl url(parsed.command.value(0), QUrl::StrictMode);
        return url.isValid() && !url.host().isEmpty()
                   ? QString()
                   : QStringLiteral("Open With: \"%1\" is not a web address.")
                         .arg(parsed.command.value(0));
    }
    case OpenWithText::Kind::Command:
        if (parsed.command.isEmpty())
            return QStringLiteral("Open With: the command cannot be read.");
        return IsProgram(parsed.command[0])
                   ? QString()
                   : QStringLiteral("Open With: no program \"%1\" is found.")
                         .arg(parsed.command[0]);
    }
    return {};
}
