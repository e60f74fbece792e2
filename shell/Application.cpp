#include "Application.h"

#include "check/CheckEngine.h"
#include "check/Logs.h"
#include "check/SocketTransport.h"
#include "core/Clock.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/UserLists.h"

#include <QApplication>

int RunTarnwick(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    const Paths paths = Paths::ForProgram(QCoreApplication::applicationDirPath());
    SystemClock clock;
    Settings settings;
    UserLists lists(settings);
    CheckLogs logs(settings, clock, paths.ProgramFolder);
    SocketTransport transport;
    CheckEngine engine(settings, clock, transport, logs, lists);
    lists.SetCheckStatus(&engine);
    engine.Start();
    return QApplication::exec();
}
