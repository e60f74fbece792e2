#include "Application.h"

#include "App.h"
#include "ExitSignals.h"
#include "Icons.h"
#include "QtDialogs.h"
#include "SingleInstance.h"
#include "SystemClockJumps.h"
#include "TrayIcon.h"
#include "check/Logs.h"
#include "core/Clock.h"
#include "core/Random.h"
#include "ui/DialogFrame.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

int RunTarnwick(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());
    // The message boxes and the tray's menu in the font of the windows.
    QApplication::setFont(WindowFont());

    SingleInstance instance;
    if (!instance.TryLock())
        return 0; // another Tarnwick runs: leave silently

    // A log write past the file-size limit fails like any other write, not the process.
    IgnoreFileSizeSignal();

    SystemClock clock;
    QtDialogs dialogs;
    SystemRandom random; // seeded once, here, from the time of day
    // The real icon whenever there is a screen, also before any notification area runs.
    // Offscreen there is no screen and no tray to wait for.
    std::unique_ptr<TrayShell> tray;
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        tray = std::make_unique<NoTrayShell>();
    else
        tray = std::make_unique<SystemTrayShell>();

    const std::unique_ptr<ClockJumps> clockJumps = MakeSystemClockJumps();
    App tarnwick(Environment{Paths::ForProgram(QCoreApplication::applicationDirPath()), clock,
                             dialogs, random, *tray, CheckEngine::Pop3Port, clockJumps.get()});
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
    tarnwick.Main();
    return QApplication::exec();
}
