// Where an installed program keeps its logs, how a failed log is told, and how the login
// entry names the program.
#include "check/Logs.h"
#include "core/Autostart.h"
#include "core/Clock.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "support/TestWorld.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestPaths final : public QObject {
    Q_OBJECT
private slots:
    // Beside a program in a build folder; in the state folder for one that is installed (also
    // when root could write there) or lies where the user may not write.
    void logFolder() {
        QTemporaryDir dir;
        const QString state = dir.filePath("state");
        QCOMPARE(LogFolder(dir.path(), state), dir.path());
        for (const char* folder : {"/usr/local/bin", "/nonexistent/bin"})
            QCOMPARE(LogFolder(folder, state), state + "/Tarnwick");
    }

    // Every log that cannot be written is told once a run, with its path and why; the check
    // goes on.
    void unwritableLogToldOnce() {
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", "127.0.0.1", "pw"));
        ManualClock clock;
        CheckLogs logs(settings, clock, "/nonexistent/Tarnwick");
        QStringList told;
        logs.SetFailureReport([&told](const QString& text) { told << text; });
        for (int i = 0; i < 3; ++i) {
            logs.DoError("-ERR no", 0, 2);
            logs.AppendStat("alice", "+OK 1 1\r\n", "1", 1);
        }
        QCOMPARE(told,
                 QStringList({"Cannot write /nonexistent/Tarnwick/ErrLog.txt: No such file or directory",
                              "Cannot write /nonexistent/Tarnwick/Stat.txt: No such file or directory"}));
    }

    void execQuoting() {
        const std::pair<QString, QString> cases[] = {
            {"/usr/bin/tarnwick", "\"/usr/bin/tarnwick\""},
            {"/opt/my mail/tarnwick", "\"/opt/my mail/tarnwick\""},
            {"/a\"b`c$d\\e%f/t", "\"/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e%%f/t\""}};
        for (const auto& [program, exec] : cases)
            QCOMPARE(DesktopExecQuote(program), exec);
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
