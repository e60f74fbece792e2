#include "Application.h"

#include "App.h"
#include "ExitSignals.h"
#include "Icons.h"
#include "QtDialogs.h"
#include "SingleInstance.h"
#include "TrayIcon.h"
#include "core/Clock.h"
#include "core/Random.h"

#include <QApplication>
#include <QFont>
#include <cstdio>
#include <cstdlib>

int RunTarnwick(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());
    // The windows are laid out in fixed pixels for a narrow 8-point sans serif.
    QFont font(QStringLiteral("MS Sans Serif"), 8);
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    QApplication::setFont(font);

    SingleInstance instance;
    if (!instance.TryLock())
        return 0; // another Tarnwick runs: leave silently

    SystemClock clock;
    QtDialogs dialogs;
    SystemRandom random; // seeded once, here, from the time of day
    const bool trayAvailable = SystemTrayShell::Available();
    std::unique_ptr<TrayShell> tray;
    if (trayAvailable)
        tray = std::make_unique<SystemTrayShell>();
    else
        tray = std::make_unique<NoTrayShell>();

    App tarnwick(Environment{Paths::ForProgram(QCoreApplication::applicationDirPath()), clock,
                             dialogs, random, *tray, trayAvailable});
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
