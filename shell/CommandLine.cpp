#include "CommandLine.h"

#include "core/Paths.h"
#include "ui/AboutWindow.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace {
// The options that QApplication takes for itself (-platform xcb, -session …, as a session
// manager restarts a program): accepted here, left to Qt, not shown in the help.
void AddQtOptions(QCommandLineParser& parser) {
    const char* const withValue[] = {"platform",
                                     "platformpluginpath",
                                     "platformtheme",
                                     "plugin",
                                     "display",
                                     "geometry",
                                     "qwindowgeometry",
                                     "qwindowicon",
                                     "qwindowtitle",
                                     "style",
                                     "stylesheet",
                                     "session",
                                     "name",
                                     "title",
                                     "qmljsdebugger",
                                     "qwindowtitlebar",
                                     "fn",
                                     "font",
                                     "bg",
                                     "fg"};
    const char* const flags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    auto add = [&parser](const char* name, bool takesValue) {
        QCommandLineOption option(QString::fromLatin1(name));
        if (takesValue)
            option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    };
    for (const char* name : withValue)
        add(name, true);
    for (const char* name : flags)
        add(name, false);
}
// Where this user's settings and logs are, for the end of the help: looked up, not created.
QString FilesText(const QString& argument0) {
    QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (executable.isEmpty())
        executable = QFileInfo(argument0).absoluteFilePath();
    const QString settings = DefaultSettingsFile();
    const QString logs = AddSlash(LogFolder(QFileInfo(executable).absolutePath(), StateHome()));
    const QString accounts =
        QFileInfo(settings).dir().filePath(QStringLiteral("Tarnwick.accounts"));
    return QStringLiteral("\nYour files (see tarnwick(1)):\n  accounts  %1 (what the settings "
                          "file cannot hold, beside it)\n  settings  %2\n  logs      %3 "
                          "(ErrLog.txt, Stat.txt)\n")
        .arg(QDir::toNativeSeparators(accounts), QDir::toNativeSeparators(settings),
             QDir::toNativeSeparators(logs));
}
} // namespace

std::optional<int> HandleCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // "-platform xcb" is one option, not eight letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Tells you when new mail has arrived in your POP3 and IMAP mailboxes: IMAP\n"
                       "mailboxes with IDLE at once (push), the others checked in turn. The\n"
                       "news comes in a pop-up or as a desktop notification; passwords can be\n"
                       "kept in the desktop's keyring.\n"
                       "Started while it runs, it shows the running program's control centre."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays the version."));
    parser.addOption(help);
    parser.addOption(version);
    AddQtOptions(parser);

    const QString program =
        arguments.isEmpty() ? QStringLiteral("tarnwick") : QFileInfo(arguments[0]).fileName();
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "%s: %s Try --help.\n", qPrintable(program),
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "%s: Unexpected argument '%s'. Try --help.\n", qPrintable(program),
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }
    if (parser.isSet(help)) {
        // The parser names the program only once an application object exists.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), program);
        text += FilesText(arguments.value(0));
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Tarnwick %s\n", qPrintable(AboutWindow::Version));
        return 0;
    }
    return std::nullopt;
}
