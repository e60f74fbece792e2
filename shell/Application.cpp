#include "Application.h"

#include "App.h"
#include "CommandLine.h"
#include "ControlCentre.h"
#include "ExitSignals.h"
#include "Icons.h"
#include "KeychainStore.h"
#include "PlatformChoice.h"
#include "QtDialogs.h"
#include "SingleInstance.h"
#include "SystemClockJumps.h"
#include "TrayArea.h"
#include "TrayIcon.h"
#include "alerts/DesktopNotifications.h"
#include "check/Logs.h"
#include "core/Autostart.h"
#include "core/Clock.h"
#include "core/Random.h"
#include "core/platform/System.h"
#include "shell/MailOpener.h"
#include "ui/DialogFrame.h"
#include "ui/SetupWindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <optional>

int RunTarnwick(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> exitCode = HandleCommandLine(arguments))
        return *exitCode;
    // From here on the process holds passwords: no core file, no dump of its memory.
    ProtectProcessMemory();

    // Before the application object: a second start needs no display to hand over.
    QString lockError;
    const QString lockFolder = SingleInstance::DefaultFolder(&lockError);
    if (lockFolder.isEmpty()) {
        std::fprintf(stderr, "Tarnwick: no private folder for the lock: %s\n",
                     qPrintable(lockError));
        return 1;
    }
    // Qt looks for a runtime folder too: this private one spares the user its warning (and
    // keeps Qt off a folder that is not this user's).
    if (qEnvironmentVariable("XDG_RUNTIME_DIR") != lockFolder)
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(lockFolder));
    const QString settingsFile = DefaultSettingsFile();
    // Others who may write there may plant files beside the settings: said once; such files
    // of theirs are refused one by one.
    const QString settingsFolder = QFileInfo(settingsFile).absolutePath();
    if (const std::optional<QString> why = WhyFolderNotPrivate(settingsFolder))
        std::fprintf(stderr, "Tarnwick: the settings folder %s is not private: %s\n",
                     qPrintable(QDir::toNativeSeparators(settingsFolder)), qPrintable(*why));
    SingleInstance instance(lockFolder, settingsFile);
    switch (instance.TryLock(&lockError)) {
    case SingleInstance::Outcome::Held:
        break;
    case SingleInstance::Outcome::OtherInstance:
        // Another Tarnwick runs: it shows its control centre, so the start is seen to work.
        // One in another session cannot be reached; say why nothing shows.
        if (!instance.AskToShow())
            std::fprintf(stderr, "Tarnwick: another Tarnwick works on %s and did not answer\n",
                         qPrintable(QDir::toNativeSeparators(settingsFile)));
        return 0;
    case SingleInstance::Outcome::NoLock:
        // Without a lock a second program could write its stale settings over these.
        std::fprintf(stderr, "Tarnwick: no lock can be taken, so Tarnwick does not start: %s\n",
                     qPrintable(lockError));
        return 1;
    }

    PreferX11Display();
    NeverLaunchSessionBus(); // before Qt's tray, menus or accessibility look for a bus
    // Qt's own event dispatcher rather than glib's, which wakes itself through an eventfd
    // for every posted event: a check makes a third fewer system calls. QT_NO_GLIB set empty
    // in the environment keeps glib's.
    const bool ownDispatcher = !qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (ownDispatcher)
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    if (ownDispatcher) // made: programs started from here keep their own choice
        qunsetenv("QT_NO_GLIB");
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());
    // The message boxes and the tray's menu in the font of the windows.
    QApplication::setFont(WindowFont());
    NameDropDownsByLabel();

    // A log write past the file-size limit fails like any other write, not the process.
    IgnoreFileSizeSignal();

    SystemClock clock;
    QtDialogs dialogs;
    SystemRandom random; // seeded once, here, from the time of day
    // The real icon whenever there is a screen, also before any notification area runs.
    // Offscreen there is no screen and no tray to wait for.
    std::unique_ptr<TrayShell> tray;
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    if (headless)
        tray = std::make_unique<NoTrayShell>();
    else
        tray = std::make_unique<SystemTrayShell>();

    const Paths paths = Paths::ForProgram(QCoreApplication::applicationFilePath());
    const Autostart autostart(paths.AutostartFile, paths.ProgramFile);
    const std::unique_ptr<ClockJumps> clockJumps = MakeSystemClockJumps();
    KeychainStore secrets;
    const std::unique_ptr<MailOpener> mail = MakeDesktopMailOpener();
    // Only a bus of the session's own: NeverLaunchSessionBus keeps a missing one missing.
    const std::unique_ptr<DesktopNotifications> notifications =
        HasSessionBus() ? ConnectDesktopNotifications(AppEmblemImage(48)) : nullptr;
    App tarnwick(Environment{paths, clock, dialogs, random, *tray, CheckEngine::Pop3Port,
                             clockJumps.get(), !headless, &secrets, notifications.get(),
                             [](const QUrl& url) { return QDesktopServices::openUrl(url); },
                             mail.get()});
    instance.Listen([&tarnwick] {
        if (ControlCentre* centre = tarnwick.Main_())
            centre->ShowForm();
    });
    tarnwick.EndProcess = [&instance] {
        instance.Unlock();
        std::fflush(nullptr);
        std::_Exit(0);
    };
    // In place before the settings are loaded: a signal while the first-run message is open
    // still ends the program in order.
    InstallExitSignals(&tarnwick, [&tarnwick] { tarnwick.ExitProgram(true); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &tarnwick,
                     [&tarnwick] { tarnwick.ExitProgram(true); });
    if (!paths.AutostartFile.isEmpty())
        tarnwick.SetAutostart(&autostart); // setup's "Start with the session", once it is made
    tarnwick.Main();
    const int exitCode = QApplication::exec();
    instance.Unlock(); // while the event loop's objects still exist
    return exitCode;
}
