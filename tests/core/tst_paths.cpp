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
    void logFolder_data() {
        QTest::addColumn<QString>("executableFolder"); // "" stands for a fresh writable folder
        QTest::addColumn<bool>("besideTheProgram");
        QTest::newRow("build folder") << QString() << true;
        QTest::newRow("installed, even for root") << QStringLiteral("/usr/local/bin") << false;
        QTest::newRow("missing folder") << QStringLiteral("/nonexistent/bin") << false;
    }
    void logFolder() {
        QFETCH(QString, executableFolder);
        QFETCH(bool, besideTheProgram);
        QTemporaryDir dir;
        if (executableFolder.isEmpty())
            executableFolder = dir.path();
        const QString state = dir.filePath(QStringLiteral("state"));
        QCOMPARE(LogFolder(executableFolder, state),
                 besideTheProgram ? executableFolder : state + QStringLiteral("/Tarnwick"));
    }

    void privateFolder() {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("a/b/Tarnwick"));
        QCOMPARE(MakePrivateFolder(folder), QString());
        const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QCOMPARE(QFile::permissions(folder) & 0x7077, ownerOnly);
        // One that others could enter is closed again.
        QVERIFY(QFile::setPermissions(folder, ownerOnly | QFile::ReadOther | QFile::ExeOther));
        QCOMPARE(MakePrivateFolder(folder), QString());
        QCOMPARE(QFile::permissions(folder) & 0x7077, ownerOnly);
        QVERIFY(!MakePrivateFolder(QStringLiteral("/dev/null")).isEmpty());
    }

    // Every log that cannot be written is told once a run, with its path and why; the check
    // goes on.
    void unwritableLogToldOnce() {
        Settings settings;
        AddUser(settings, MakeUser(QStringLiteral("Home"), QStringLiteral("alice"),
                                   QStringLiteral("127.0.0.1"), QStringLiteral("pw")));
        ManualClock clock;
        CheckLogs logs(settings, clock, QStringLiteral("/nonexistent/Tarnwick"));
        QStringList told;
        logs.SetFailureReport([&told](const QString& text) { told << text; });
        for (int i = 0; i < 3; ++i) {
            logs.DoError(QStringLiteral("-ERR no"), 0, 2);
            logs.AppendStat(QStringLiteral("alice"), QStringLiteral("+OK 1 1\r\n"),
                            QStringLiteral("1"), 1);
        }
        QCOMPARE(
            told,
            QStringList({
                QStringLiteral("Cannot write /nonexistent/Tarnwick/ErrLog.txt: No such folder"),
                QStringLiteral("Cannot write /nonexistent/Tarnwick/Stat.txt: No such folder"),
            }));
    }

    void execQuoting_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << "/usr/bin/tarnwick"
                               << "\"/usr/bin/tarnwick\"";
        QTest::newRow("blank") << "/opt/my mail/tarnwick"
                               << "\"/opt/my mail/tarnwick\"";
        QTest::newRow("reserved") << "/a\"b`c$d\\e%f/t"
                                  << "\"/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e%%f/t\"";
    }
    void execQuoting() {
        QFETCH(QString, program);
        QFETCH(QString, exec);
        QCOMPARE(DesktopExecQuote(program), exec);
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
