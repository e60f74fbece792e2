// The settings file: its text, the loader with its failures and the careful saver.
#include "check/Logs.h"
#include "core/Cipher.h"
#include "core/Clock.h"
#include "core/OAuthProviders.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "core/SideFile.h"
#include "support/TestWorld.h"
#include "support/doubles/FixedRandom.h"
#include "support/doubles/RecordingDialogs.h"
#include "support/peers/OrdinaryUser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/resource.h>

namespace {
const QString FirstRun = "This appears to be the first time you have used this program!\r\n"
                         "You can access the setup screen by right-clicking\r\n"
                         "on the icon in the system tray. Have fun!";
const QString Defaults = "-1\r\n5\r\n5\r\nTrue\r\n";

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The permission bits as in `ls -l`, in octal.
QString Mode(const QString& path) {
    const QFileDevice::Permissions p = QFile::permissions(path);
    const int bits = (int(p) >> 12 & 7) << 6 | (int(p) >> 4 & 7) << 3 | (int(p) & 7);
    return QString::number(bits, 8);
}

// A temporary folder with a settings file in it, and everything the settings file needs.
struct FileWorld {
    QTemporaryDir dir;
    QString path = dir.filePath("Tarnwick.ini");
    Settings settings;
    RecordingDialogs dialogs;
    FixedRandom random = FixedRandom::Keys({7, 200});
    SettingsFile file{settings, dialogs, random, path};

    // Writes the file the way the program would have: `plain` enciphered.
    void WritePlain(const QByteArray& plain, quint8 key = 42) {
        WriteAll(path, EncodeText(plain, key));
    }
    QStringList Files() const {
        return QDir(dir.path())
            .entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    }
};

// Loads as the program starts: what the loader has to say goes to `dialogs`.
bool Load(SettingsFile& file, Dialogs& dialogs) {
    const LoadReport report = file.LoadFile(SystemClock());
    if (!report.message.isEmpty())
        dialogs.Message(report.message);
    return report.Usable();
}

void VerifyDefaults(const Settings& s) {
    QCOMPARE(s.LastUser, qint16(-1));
    QCOMPARE(s.Users.size(), 10);
    for (const UserRecord& u : s.Users) {
        QVERIFY(u.Username.isEmpty() && u.ScreenName.isEmpty() && u.Password.isEmpty());
        QCOMPARE(u.NumMails, 0);
    }
    QCOMPARE(s.CheckInterval, qint16(5));
    QCOMPARE(s.ShowInterval, qint16(5));
    QVERIFY(s.ShowErrors);
}

QByteArray UserLines(int count) {
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += QByteArray::number(i) + "\r\npw" + QByteArray::number(i) + "\r\nScreen" +
               QByteArray::number(i) + "\r\nhost\r\nlogin" + QByteArray::number(i) + "\r\n";
    return out;
}

// Mounts a small tmpfs on `folder` for the test's lifetime; only root can.
struct TmpfsMount {
    explicit TmpfsMount(const QString& folder, const QString& options = "size=64k,mode=0755")
        : folder_(folder) {
        mounted = IsRoot() &&
                  QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", folder}) == 0;
    }
    ~TmpfsMount() {
        if (mounted)
            QProcess::execute("umount", {"-l", folder_});
    }
    bool ReadOnly(bool ro = true) {
        return QProcess::execute("mount", {"-o", ro ? "remount,ro" : "remount,rw", folder_}) == 0;
    }
    bool mounted = false;

private:
    QString folder_;
};
} // namespace

class TestSettingsFile final : public QObject {
    Q_OBJECT
private slots:
    // --- the loader ---------------------------------------------------------------------

    void loadsEveryLineIntoItsField() {
        FileWorld w;
        // Users in file order (not sorted), texts in the code page, lone CR and LF kept, a
        // line after the last user ignored.
        w.WritePlain("1\r\n7\r\n9\r\nFalse\r\n"
                     "12\r\n\r\nZed\r\nmail.b\r\nzz\r\n"
                     "3\r\np\x80w\rx\r\nAnn\xe9\r\nmail.a\nq\r\naa\r\n"
                     "junk\r\n");
        QVERIFY(Load(w.file, w.dialogs));
        QVERIFY(w.dialogs.messages.isEmpty());
        const Settings& s = w.settings;
        QCOMPARE(s.LastUser, qint16(1));
        QCOMPARE(s.CheckInterval, qint16(7));
        QCOMPARE(s.ShowInterval, qint16(9));
        QVERIFY(!s.ShowErrors);
        QCOMPARE(s.Users[0].NumMails, 12);
        QCOMPARE(s.Users[0].Password, QString());
        QCOMPARE(s.Users[0].ScreenName, QString("Zed"));
        QCOMPARE(s.Users[0].MailServer, QString("mail.b"));
        QCOMPARE(s.Users[0].Username, QString("zz"));
        QCOMPARE(s.Users[1].NumMails, 3);
        QCOMPARE(s.Users[1].Password, QString::fromUtf8("p\u20acw\rx"));
        QCOMPARE(s.Users[1].ScreenName, QString::fromUtf8("Ann\u00e9"));
        QCOMPARE(s.Users[1].MailServer, QString("mail.a\nq"));
        QCOMPARE(s.Users[1].Username, QString("aa"));
        for (int i = 0; i <= 1; ++i) {
            QVERIFY(s.Users[i].Id != 0);
        }
        QVERIFY(s.Users[0].Id != s.Users[1].Id);
        QCOMPARE(s.Users.size(), 10);
        QCOMPARE(w.Files(), QStringList{"Tarnwick.ini"}); // loading writes nothing
    }

    void showErrorsWord_data() {
        QTest::addColumn<QByteArray>("word");
        QTest::addColumn<int>("expected"); // 1 true, 0 false, -1 load fails
        QTest::newRow("TRUE") << QByteArray("TRUE") << 1;
        QTest::newRow("True") << QByteArray("True") << 1;
        QTest::newRow("true") << QByteArray("true") << 1;
        QTest::newRow("fAlSe") << QByteArray("fAlSe") << 0;
        QTest::newRow("blank before") << QByteArray(" true") << -1;
        QTest::newRow("blank after") << QByteArray("False ") << -1;
        QTest::newRow("tab after") << QByteArray("true\t") << -1;
        QTest::newRow("number") << QByteArray("-1") << -1;
        QTest::newRow("empty") << QByteArray() << -1;
    }
    void showErrorsWord() {
        QFETCH(QByteArray, word);
        QFETCH(int, expected);
        FileWorld w;
        w.settings.ShowErrors = expected != 1; // the load must set it either way
        w.WritePlain("-1\r\n5\r\n5\r\n" + word + "\r\n");
        QCOMPARE(Load(w.file, w.dialogs), expected >= 0);
        if (expected >= 0) {
            QCOMPARE(w.settings.ShowErrors, expected == 1);
            QVERIFY(w.dialogs.messages.isEmpty());
        } else {
            QCOMPARE(w.dialogs.messages.size(), 1);
            QVERIFY(w.dialogs.messages[0].startsWith("Load failed!\r\n"));
        }
    }

    void numbersAreFlooredOrRoundedHalfToEven() {
        FileWorld w;
        w.WritePlain("2.9\r\n 4.99 \r\n-3.2\r\ntrue\r\n"
                     "2.5\r\n\r\n\r\n\r\n\r\n"
                     "3.5\r\n\r\n\r\n\r\n\r\n"
                     "1e3\r\n\r\n\r\n\r\n\r\n");
        QVERIFY(Load(w.file, w.dialogs));
        QCOMPARE(w.settings.LastUser, qint16(2));
        QCOMPARE(w.settings.CheckInterval, qint16(4));
        QCOMPARE(w.settings.ShowInterval, qint16(-4));
        QCOMPARE(w.settings.Users[0].NumMails, 2);
        QCOMPARE(w.settings.Users[1].NumMails, 4);
        QCOMPARE(w.settings.Users[2].NumMails, 1000);
    }

    void textThatEndsInsideAUserLeavesTheRestEmpty() {
        for (const QByteArray& tail :
             {QByteArray("3\r\npw"), QByteArray("3\r\npw\r\nName\r\n"), QByteArray("3")}) {
            FileWorld w;
            w.WritePlain("0\r\n5\r\n5\r\nTrue\r\n" + tail);
            QVERIFY2(Load(w.file, w.dialogs), tail.constData());
            QCOMPARE(w.settings.LastUser, qint16(0));
            QCOMPARE(w.settings.Users[0].NumMails, 3);
            QCOMPARE(w.settings.Users[0].Password, QString(tail.size() > 1 ? "pw" : ""));
            QCOMPARE(w.settings.Users[0].MailServer, QString());
            QCOMPARE(w.settings.Users[0].Username, QString());
            QVERIFY(w.dialogs.messages.isEmpty());
        }
    }

    void fourteenUsersGrowTheTable() {
        FileWorld w;
        w.WritePlain("13\r\n5\r\n5\r\nTrue\r\n" + UserLines(14));
        QVERIFY(Load(w.file, w.dialogs));
        QCOMPARE(w.settings.LastUser, qint16(13));
        QCOMPARE(w.settings.UpperBound(), 15);
        QCOMPARE(w.settings.Users[13].Username, QString("login13"));
        QCOMPARE(w.settings.Users[13].NumMails, 13);
    }

    void theLargestUserCountLoadsFromText() {
        // 32768 users cannot fit a file, but the text itself must load without trouble.
        QString text = "32767\r\n5\r\n5\r\nTrue\r\n";
        for (int i = 0; i <= 32767; ++i)
            text += "1\r\np\r\ns\r\nm\r\nu\r\n";
        Settings s;
        QVERIFY(ParseSettingsText(text, s));
        QCOMPARE(s.LastUser, qint16(32767));
        QCOMPARE(s.Users.size(), 32770);
        QCOMPARE(s.Users[32767].Username, QString("u"));
        QVERIFY(s.Users[32767].Id != 0);
    }

    void lineCursorHandsOutLines() {
        LineCursor lines(u"a\r\n\r\nb\rc\nd\r\n\r");
        QCOMPARE(lines.PopLine(), u"a");
        QCOMPARE(lines.PopLine(), u"");
        QCOMPARE(lines.PopLine(), u"b\rc\nd");
        QCOMPARE(lines.PopLine(), u"\r");
        QVERIFY(lines.AtEnd());
        QCOMPARE(lines.PopLine(), u"");
    }

    void damagedFilesGiveDefaultsAndAreKept_data() {
        QTest::addColumn<QByteArray>("bytes"); // the whole file
        const auto plain = [](const QByteArray& text) { return EncodeText(text, 99); };
        const QByteArray ok = "1\r\n5\r\n5\r\nTrue\r\n" + UserLines(2);
        QTest::newRow("one byte") << QByteArray("\x05");
        QTest::newRow("line 1 not a number") << plain("x\r\n5\r\n5\r\nTrue\r\n");
        QTest::newRow("line 1 empty") << plain("\r\n5\r\n5\r\nTrue\r\n");
        QTest::newRow("only line 1") << plain("-1\r\n");
        QTest::newRow("line 2 not a number") << plain("-1\r\nfive\r\n5\r\nTrue\r\n");
        QTest::newRow("line 3 missing") << plain("-1\r\n5\r\n");
        QTest::newRow("line 4 missing") << plain("-1\r\n5\r\n5\r\n");
        QTest::newRow("LastUser -2") << plain("-2\r\n5\r\n5\r\nTrue\r\n");
        QTest::newRow("LastUser -1.5") << plain("-1.5\r\n5\r\n5\r\nTrue\r\n");
        QTest::newRow("LastUser 32768") << plain("32768\r\n5\r\n5\r\nTrue\r\n");
        QTest::newRow("LastUser 32767, no users") << plain("32767\r\n5\r\n5\r\nTrue\r\n");
        QTest::newRow("CheckInterval 32768") << plain("-1\r\n32768\r\n5\r\nTrue\r\n");
        QTest::newRow("ShowInterval -32769") << plain("-1\r\n5\r\n-32769\r\nTrue\r\n");
        QTest::newRow("CheckInterval 1e400") << plain("-1\r\n1e400\r\n5\r\nTrue\r\n");
        QTest::newRow("NumMails 2^31") << plain("0\r\n5\r\n5\r\nTrue\r\n2147483648\r\n");
        QTest::newRow("NumMails rounds past 2^31-1")
            << plain("0\r\n5\r\n5\r\nTrue\r\n2147483647.5\r\n");
        QTest::newRow("NumMails -2^31-1") << plain("0\r\n5\r\n5\r\nTrue\r\n-2147483649\r\n");
        QTest::newRow("NumMails not a number") << plain("0\r\n5\r\n5\r\nTrue\r\n1O\r\n");
        QTest::newRow("second user missing") << plain("2\r\n5\r\n5\r\nTrue\r\n" + UserLines(2));
        // A text that would load, but a file one byte longer than the program ever writes.
        QByteArray padded = ok;
        while (padded.size() < MaxPlainLength)
            padded += "padding\r\n";
        padded.truncate(MaxPlainLength);
        const QByteArray tooLong = EncodeText(padded, 0) + "x";
        QTest::newRow("32767 bytes") << tooLong;
        QTest::newRow("1 MB") << QByteArray(1 << 20, 'z');
    }
    void damagedFilesGiveDefaultsAndAreKept() {
        QFETCH(QByteArray, bytes);
        FileWorld w;
        // Something loaded before must not survive either.
        AddUser(w.settings, MakeUser("Old", "old", "h", "p", 4));
        w.settings.CheckInterval = 9;
        WriteAll(w.path, bytes);
        const QByteArray bak("older backup \x00\x01\x02", 16);
        WriteAll(w.file.BackupPath(), bak);

        QVERIFY(!Load(w.file, w.dialogs));
        QCOMPARE(w.dialogs.messages,
                 QStringList{"Load failed!\r\nThe settings file is kept as " +
                             QDir::toNativeSeparators(w.path + ".damaged") +
                             "\r\nThe backup of the settings, which does not load either, "
                             "is kept as " +
                             QDir::toNativeSeparators(w.file.BackupPath() + ".damaged")});
        VerifyDefaults(w.settings);
        // Too long to be a settings file: renamed aside rather than copied.
        QCOMPARE(ReadAll(w.path), bytes.size() > MaxCipherLength ? QByteArray() : bytes);
        QCOMPARE(ReadAll(w.path + ".damaged"), bytes);
        QCOMPARE(ReadAll(w.file.BackupPath()), bak);
        QCOMPARE(ReadAll(w.file.BackupPath() + ".damaged"), bak);
#ifdef Q_OS_UNIX
        QCOMPARE(Mode(w.path + ".damaged"), QString("600"));
#endif
    }

    void theLongestFileLoads() {
        // The boundary of the case above: 32766 bytes are a settings file.
        QByteArray plain = "0\r\n5\r\n5\r\nTrue\r\n1\r\n";
        plain += QByteArray(MaxPlainLength - plain.size(), 'p');
        FileWorld w;
        w.WritePlain(plain);
        QCOMPARE(QFileInfo(w.path).size(), qint64(MaxCipherLength));
        QVERIFY(Load(w.file, w.dialogs));
        QCOMPARE(w.settings.Users[0].Password.size(), MaxPlainLength - 18);
    }

    void laterFailuresNeverOverwriteEarlierCopies() {
        FileWorld w;
        const QList<QByteArray> damaged = {EncodeText("nonsense\r\n", 1), EncodeText("-5\r\n", 2),
                                           QByteArray("\xff")};
        for (const QByteArray& bytes : damaged) {
            WriteAll(w.path, bytes);
            QVERIFY(!Load(w.file, w.dialogs));
        }
        QCOMPARE(ReadAll(w.path + ".damaged"), damaged[0]);
        QCOMPARE(ReadAll(w.path + ".damaged.1"), damaged[1]);
        QCOMPARE(ReadAll(w.path + ".damaged.2"), damaged[2]);
        // No ".bak", so no copy of one.
        QCOMPARE(w.Files(), QStringList({"Tarnwick.ini", "Tarnwick.ini.damaged",
                                         "Tarnwick.ini.damaged.1", "Tarnwick.ini.damaged.2"}));
        QCOMPARE(w.dialogs.messages.size(), 3);

        // A save replaces the damaged file and leaves the copies alone.
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(w.path + ".damaged"), damaged[0]);
        QVERIFY(Load(w.file, w.dialogs));
    }

    void copiesPassOverNamesInUse() {
        FileWorld w;
        WriteAll(w.path, "\x01");
        QVERIFY(QDir(w.dir.path()).mkdir("Tarnwick.ini.damaged"));
        QVERIFY(!Load(w.file, w.dialogs));
        QCOMPARE(w.dialogs.messages, QStringList{"Load failed!\r\nThe settings file is kept as " +
                                                 QDir::toNativeSeparators(w.path) + ".damaged.1"});
        QCOMPARE(ReadAll(w.path + ".damaged.1"), QByteArray("\x01"));
    }

    // A damaged file that cannot be copied is renamed aside (that takes no inode); one that
    // cannot be renamed either is said so and outlives every save of the defaults.
    void aCopyThatCannotBeMadeIsRenamedOrLeftAlone_data() {
        QTest::addColumn<bool>("noInodes"); // else a read-only folder
        QTest::newRow("read-only folder") << false;
        QTest::newRow("no inode left") << true;
    }
    void aCopyThatCannotBeMadeIsRenamedOrLeftAlone() {
        QFETCH(bool, noInodes);
        FileWorld w;
        // Root ignores permission bits, not a read-only mount.
        TmpfsMount mount(w.dir.path(), noInodes ? "size=64k,nr_inodes=6" : "size=64k,mode=0755");
        if ((IsRoot() || noInodes) && !mount.mounted)
            QSKIP("needs root and the right to mount a tmpfs");
        WriteAll(w.path, "\x01");
        if (noInodes) {
            for (int i = 0; QFile(w.dir.filePath(QString::number(i))).open(QIODevice::WriteOnly);)
                ++i;
        } else if (mount.mounted) {
            QVERIFY(mount.ReadOnly());
        } else {
            QVERIFY(QFile::setPermissions(w.dir.path(), QFileDevice::Permissions(0x5555)));
        }
        QVERIFY(!Load(w.file, w.dialogs));
        VerifyDefaults(w.settings);
        QCOMPARE(w.dialogs.messages.size(), 1);
        const QString shown = QDir::toNativeSeparators(w.path);
        if (noInodes) {
            QCOMPARE(w.dialogs.messages[0],
                     "Load failed!\r\nThe settings file is kept as " + shown + ".damaged");
            QCOMPARE(ReadAll(w.path + ".damaged"), QByteArray("\x01"));
            return;
        }
        QVERIFY2(w.dialogs.messages[0].startsWith("Load failed!\r\nCould not keep a copy of " +
                                                  shown + ": "),
                 qPrintable(w.dialogs.messages[0]));
        QVERIFY(w.dialogs.messages[0].endsWith("until you save settings of your own"));
        // The exit's save of the defaults leaves it; the user's own settings replace it.
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(w.path), QByteArray("\x01"));
        if (mount.mounted)
            QVERIFY(mount.ReadOnly(false));
        AddUser(w.settings, MakeUser("Mine", "me", "h", "p"));
        QVERIFY(w.file.SaveFile());
        if (!mount.mounted)
            QFile::setPermissions(w.dir.path(), QFileDevice::Permissions(0x7700));
        Settings reread;
        QCOMPARE(LoadSettingsBytes(ReadAll(w.path), reread), LoadResult::Loaded);
        QCOMPARE(reread.Users[0].ScreenName, QString("Mine"));
    }

    // Temporary files that killed saves left beside the settings go at the next start; a
    // copy someone named, another user's file and one newer than the start stay.
    void startUpRemovesLeftoversOfKilledSaves() {
        FileWorld w;
        QVERIFY(w.file.SaveFile());
        const QDateTime old = QDateTime::currentDateTime().addSecs(-60);
        const QStringList names{"Tarnwick.ini.IfjqMq", "Tarnwick.ini.bak.a1B2c3",
                                "Tarnwick.ini.backup", "Tarnwick.ini.Zz9Yy8",
                                "Tarnwick.ini.Qq1Ww2"};
        for (const QString& name : names) {
            const QString path = w.dir.filePath(name);
            WriteAll(path, "x");
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(name.endsWith("Qq1Ww2") ? old.addSecs(3600) : old,
                                     QFileDevice::FileModificationTime));
        }
        if (IsRoot())
            QCOMPARE(QProcess::execute("chown", {"nobody", w.dir.filePath("Tarnwick.ini.Zz9Yy8")}),
                     0);
        else
            QFile::remove(w.dir.filePath("Tarnwick.ini.Zz9Yy8"));
        QVERIFY(Load(w.file, w.dialogs));
        QStringList kept{"Tarnwick.ini", "Tarnwick.ini.Qq1Ww2", "Tarnwick.ini.bak",
                         "Tarnwick.ini.backup"};
        if (IsRoot())
            kept << "Tarnwick.ini.Zz9Yy8";
        QStringList files = w.Files();
        files.sort();
        kept.sort();
        QCOMPARE(files, kept);
    }

    void missingOrEmptyFileIsTheFirstRun() {
        FileWorld w;
        AddUser(w.settings, MakeUser("Old", "old", "h", "p"));
        QVERIFY(Load(w.file, w.dialogs));
        QCOMPARE(w.dialogs.messages, QStringList{FirstRun});
        VerifyDefaults(w.settings);
        // A missing file is not created: the first save does that.
        QVERIFY(w.Files().isEmpty());

        WriteAll(w.path, {});
        QVERIFY(Load(w.file, w.dialogs));
        QCOMPARE(w.dialogs.messages, QStringList({FirstRun, FirstRun}));
        QCOMPARE(w.Files(), QStringList{"Tarnwick.ini"});
    }

    void aFolderAtThePathIsLeftAlone() {
        FileWorld w;
        QVERIFY(QDir(w.dir.path()).mkdir("Tarnwick.ini"));
        QVERIFY(!Load(w.file, w.dialogs));
        QCOMPARE(w.dialogs.messages, QStringList{"Load failed!"});
        VerifyDefaults(w.settings);
        QCOMPARE(w.Files(), QStringList{"Tarnwick.ini"});
    }

    // Whenever the defaults take over, what the first save replaces is kept first: the
    // settings file when it holds anything, and the ".bak" with the last good settings.
    void startUpKeepsWhatTheFirstSaveReplaces_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("withBak");
        for (const char* kind : {"missing", "empty", "unreadable", "damaged", "oversized"}) {
            QTest::newRow(kind) << QString(kind) << false;
            QTest::newRow(qPrintable(QString(kind) + " with .bak")) << QString(kind) << true;
        }
    }
    void startUpKeepsWhatTheFirstSaveReplaces() {
        TARNWICK_AS_ORDINARY_USER(); // root would read the unreadable file
        QFETCH(QString, kind);
        QFETCH(bool, withBak);
        FileWorld w;
        QByteArray bytes;
        if (kind == "unreadable")
            bytes = EncodeText(Defaults.toLatin1(), 5);
        else if (kind == "damaged")
            bytes = EncodeText("nonsense\r\n", 5);
        else if (kind == "oversized")
            bytes = QByteArray(3 * MaxCipherLength, 'z');
        if (kind != "missing")
            WriteAll(w.path, bytes);
        if (kind == "unreadable")
            QVERIFY(QFile::setPermissions(w.path, QFileDevice::WriteOwner));
        const QByteArray bak = EncodeText("0\r\n5\r\n5\r\nTrue\r\n1\r\np\r\nHome\r\nh\r\nu\r\n", 9);
        if (withBak)
            WriteAll(w.file.BackupPath(), bak);

        const bool firstRun = kind == "missing" || kind == "empty";
        QCOMPARE(Load(w.file, w.dialogs), firstRun);
        VerifyDefaults(w.settings);
        QStringList expected{firstRun ? FirstRun : "Load failed!"};
        QStringList files;
        if (kind == "empty" || kind == "damaged")
            files << "Tarnwick.ini"; // copied; the others are renamed aside, or missing
        if (withBak) {
            files << "Tarnwick.ini.bak"
                  << "Tarnwick.ini.bak.damaged";
        }
        if (!firstRun) {
            files << "Tarnwick.ini.damaged";
            expected << "The settings file is kept as " +
                            QDir::toNativeSeparators(w.path + ".damaged");
        }
        if (withBak)
            expected << "The last backup of the settings is kept as " +
                            QDir::toNativeSeparators(w.file.BackupPath() + ".damaged");
        QCOMPARE(w.dialogs.messages, QStringList{expected.join("\r\n")});
        files.sort();
        QCOMPARE(w.Files(), files);
        if (!firstRun) {
            QFile::setPermissions(w.path + ".damaged", QFileDevice::ReadOwner);
            QCOMPARE(ReadAll(w.path + ".damaged"), bytes);
        }

        // The first save replaces the settings file and the ".bak"; the kept copies stay.
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(w.file.BackupPath()), ReadAll(w.path));
        if (withBak)
            QCOMPARE(ReadAll(w.file.BackupPath() + ".damaged"), bak);
        QVERIFY(Load(w.file, w.dialogs));
        QCOMPARE(w.dialogs.messages.size(), 1);
    }

    void keptCopiesAreNeverRepeatedAndBounded() {
        FileWorld w;
        // A damaged file that stays (no save in between) is kept once.
        WriteAll(w.path, EncodeText("nonsense\r\n", 1));
        for (int i = 0; i < 3; ++i)
            QVERIFY(!Load(w.file, w.dialogs));
        QCOMPARE(w.Files(), QStringList({"Tarnwick.ini", "Tarnwick.ini.damaged"}));
        QVERIFY(w.dialogs.messages[2].endsWith(QDir::toNativeSeparators(w.path + ".damaged")));

        // Different damaged files: copied while the copies stay within their bound, then
        // renamed aside, which takes no space.
        qint64 copied = QFileInfo(w.path).size();
        for (int i = 0; i < 6; ++i) {
            const QByteArray bytes(MaxCipherLength - 1000, char('a' + i));
            WriteAll(w.path, bytes);
            QVERIFY(!Load(w.file, w.dialogs));
            QCOMPARE(ReadAll(w.path + ".damaged." + QString::number(i + 1)), bytes);
            const bool wasCopied = QFile::exists(w.path);
            QCOMPARE(wasCopied, i < 4);
            if (wasCopied)
                copied += bytes.size();
        }
        QVERIFY(copied <= MaxKeptCopyBytes);
    }

    // Start-ups in a row, each a load and the exit's save, with the files changed between
    // them: a file of defaults is never kept, the same settings are kept once whatever their
    // bytes, and the last message names the copy with the newest settings of the user's.
    void startUpsNameTheNewestGoodCopy_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("named"); // the copy the last message names; empty: none
        QTest::addColumn<QString>("holds"); // the screen name of its one user
        QTest::addColumn<QStringList>("kept");
        const auto row = [](const char* name, const char* steps, const char* named,
                            const char* holds, const QStringList& kept) {
            QTest::newRow(name) << steps << named << holds << kept;
        };
        const QStringList both = {".bak.damaged", ".bak.damaged.1"};
        row("defaults", "start rm start", "", "", {});
        row("missing twice", "bak:Home start rm start", ".bak.damaged", "Home", {".bak.damaged"});
        row("damaged twice", "bak:Home damage start damage start", ".bak.damaged", "Home",
            {".bak.damaged", ".damaged", ".damaged.1"});
        row("same settings, other bytes", "bak:Home start rm bak:Home start", ".bak.damaged",
            "Home", {".bak.damaged"});
        row("newer settings kept later", "bak:Home start rm save:Work rm start rm start",
            ".bak.damaged.1", "Work", both);
        row("older settings back",
            "bak:Home start rm save:Work rm start rm save:Home rm start rm start", ".bak.damaged",
            "Home", both);
    }
    void startUpsNameTheNewestGoodCopy() {
        QFETCH(QString, steps);
        QFETCH(QString, named);
        QFETCH(QString, holds);
        QFETCH(QStringList, kept);
        FileWorld w;
        const auto oneUser = [](const QString& name) {
            return ("0\r\n5\r\n5\r\nTrue\r\n0\r\np\r\n" + name + "\r\nh\r\nu\r\n").toLatin1();
        };
        int n = 0;
        for (const QString& step : steps.split(' ')) {
            Settings settings;
            SettingsFile file(settings, w.dialogs, w.random, w.path);
            ++n;
            if (step == "rm")
                QVERIFY(QFile::remove(w.path));
            else if (step == "damage")
                WriteAll(w.path, EncodeText("damaged " + QByteArray::number(n) + "\r\n", n));
            else if (step.startsWith("bak:"))
                WriteAll(w.file.BackupPath(), EncodeText(oneUser(step.mid(4)), n));
            else if (step == "start")
                Load(file, w.dialogs); // and the exit's save
            else                       // "save:<screen name>"
                AddUser(settings, MakeUser(step.mid(5), "u", "h", "p"));
            if (step == "start" || step.startsWith("save:"))
                QVERIFY(file.SaveFile());
        }
        const QString last = w.dialogs.messages.last();
        if (named.isEmpty()) {
            QCOMPARE(last, FirstRun);
        } else {
            QVERIFY2(last.endsWith(" kept as " + QDir::toNativeSeparators(w.path + named)),
                     qPrintable(last));
            Settings copy;
            QCOMPARE(LoadSettingsBytes(ReadAll(w.path + named), copy), LoadResult::Loaded);
            QCOMPARE(copy.Users[0].ScreenName, holds);
        }
        QCOMPARE(w.Files().replaceInStrings("Tarnwick.ini", ""), QStringList({"", ".bak"}) + kept);
    }

    // --- the saver ----------------------------------------------------------------------

    void defaultSettingsMakeA17ByteFile() {
        FileWorld w;
        QVERIFY(w.file.SaveFile());
        const QByteArray bytes = ReadAll(w.path);
        QCOMPARE(bytes.size(), 17);
        QCOMPARE(quint8(bytes[0]), quint8(7));
        QCOMPARE(DecodeText(bytes), std::optional<QByteArray>(Defaults.toLatin1()));
        QCOMPARE(ReadAll(w.file.BackupPath()), bytes);
        QCOMPARE(w.random.draws, 1);
        QVERIFY(w.dialogs.messages.isEmpty());
        QCOMPARE(w.Files(), QStringList({"Tarnwick.ini", "Tarnwick.ini.bak"}));
    }

    void twoSavesDifferAndLoadAlike() {
        FileWorld w;
        AddUser(w.settings, MakeUser("Home", "me", "pop.home", "", 3));
        AddUser(w.settings, MakeUser(QString::fromUtf8("W\u00f6rk \u20ac"), "boss", "pop.work",
                                     "s3cr3t\r", 2147483647));
        w.settings.CheckInterval = 12;
        w.settings.ShowInterval = -1;
        w.settings.ShowErrors = false;

        QVERIFY(w.file.SaveFile());
        const QByteArray first = ReadAll(w.path);
        QVERIFY(w.file.SaveFile());
        const QByteArray second = ReadAll(w.path);
        QVERIFY(first != second);
        QCOMPARE(ReadAll(w.file.BackupPath()), second);

        for (const QByteArray& bytes : {first, second}) {
            Settings loaded;
            QCOMPARE(LoadSettingsBytes(bytes, loaded), LoadResult::Loaded);
            QCOMPARE(BuildSettingsText(loaded), BuildSettingsText(w.settings));
            QCOMPARE(loaded.Users[1].ScreenName, QString::fromUtf8("W\u00f6rk \u20ac"));
            QCOMPARE(loaded.Users[1].Password, QString("s3cr3t\r"));
            QCOMPARE(loaded.Users[0].Password, QString());
            QVERIFY(!loaded.ShowErrors);
        }
    }

    void filesAreOwnerOnly() {
#ifndef Q_OS_UNIX
        QSKIP("permission bits are POSIX");
#endif
        FileWorld w;
        QVERIFY(w.file.SaveFile());
        QCOMPARE(Mode(w.path), QString("600"));
        QCOMPARE(Mode(w.file.BackupPath()), QString("600"));

        // Files left readable by others are tightened by the next save.
        const auto open = QFileDevice::Permissions(0x6644);
        QVERIFY(QFile::setPermissions(w.path, open));
        QVERIFY(QFile::setPermissions(w.file.BackupPath(), open));
        QCOMPARE(Mode(w.path), QString("644"));
        QVERIFY(w.file.SaveFile());
        QCOMPARE(Mode(w.path), QString("600"));
        QCOMPARE(Mode(w.file.BackupPath()), QString("600"));
    }

    void savingCreatesAMissingFolder() {
        FileWorld w;
        SettingsFile nested(w.settings, w.dialogs, w.random, w.dir.filePath("a/b/Tarnwick.ini"));
        QVERIFY(nested.SaveFile());
        QCOMPARE(ReadAll(nested.Path()).size(), 17);
    }

    void aFolderThatCannotExistFailsTheSave() {
        FileWorld w;
        WriteAll(w.dir.filePath("plain"), "not a folder");
        const QString path = w.dir.filePath("plain/Tarnwick.ini");
        SettingsFile file(w.settings, w.dialogs, w.random, path);
        QVERIFY(!file.SaveFile());
        QCOMPARE(w.dialogs.messages.size(), 1);
        const QString prefix =
            "Could not save the settings to " + QDir::toNativeSeparators(path) + ": ";
        QVERIFY2(w.dialogs.messages[0].startsWith(prefix), qPrintable(w.dialogs.messages[0]));
        QVERIFY(w.dialogs.messages[0].size() > prefix.size() + 3); // a reason follows
        QCOMPARE(ReadAll(w.dir.filePath("plain")), QByteArray("not a folder"));
    }

    void aReadOnlyFileSystemKeepsTheOldFile() {
        FileWorld w;
        TmpfsMount mount(w.dir.path());
        if (!mount.mounted)
            QSKIP("a read-only file system needs a tmpfs, and mounting one needs root");
        QVERIFY(w.file.SaveFile());
        const QByteArray before = ReadAll(w.path);
        QVERIFY(mount.ReadOnly());

        AddUser(w.settings, MakeUser("New", "new", "h", "p"));
        QVERIFY(!w.file.SaveFile());
        QCOMPARE(ReadAll(w.path), before);
        QCOMPARE(ReadAll(w.file.BackupPath()), before);
        QCOMPARE(w.dialogs.messages.size(), 1);
        QVERIFY(w.dialogs.messages[0].startsWith("Could not save the settings to " +
                                                 QDir::toNativeSeparators(w.path) + ": "));
        QCOMPARE(w.Files(), QStringList({"Tarnwick.ini", "Tarnwick.ini.bak"}));
    }

    // A folder in which no file can be created, holding writable files: saved in place.
    void aReadOnlyFolderSavesInPlace() {
        TARNWICK_AS_ORDINARY_USER(); // root writes into a read-only folder
        FileWorld w;
        QVERIFY(w.file.SaveFile());
        const auto readOnly = [&w](bool on) {
            return QFile::setPermissions(w.dir.path(),
                                         QFileDevice::Permissions(on ? 0x5500 : 0x7700));
        };
        QVERIFY(readOnly(true));
        // Longer, then shorter than the file it replaces.
        AddUser(w.settings, MakeUser("New", "new", "h", QString(3000, 'p')));
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(w.file.BackupPath()), ReadAll(w.path));
        Settings loaded;
        QCOMPARE(LoadSettingsBytes(ReadAll(w.path), loaded), LoadResult::Loaded);
        QCOMPARE(BuildSettingsText(loaded), BuildSettingsText(w.settings));
        w.settings.DeleteUser(0);
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(w.path).size(), 17);
        QCOMPARE(ReadAll(w.file.BackupPath()), ReadAll(w.path));
        QVERIFY(w.dialogs.messages.isEmpty());

        // Past the file-size limit the write in place fails, says why, and leaves the file.
        IgnoreFileSizeSignal();
        rlimit unlimited{};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        rlimit limited = unlimited;
        limited.rlim_cur = 17;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        AddUser(w.settings, MakeUser("Big", "b", "h", QString(1000, 'q')));
        const bool saved = w.file.SaveFile();
        setrlimit(RLIMIT_FSIZE, &unlimited);
        QVERIFY(!saved);
        QVERIFY2(w.dialogs.messages.value(0).endsWith(": File too large"),
                 qPrintable(w.dialogs.messages.value(0)));
        QCOMPARE(ReadAll(w.path).size(), 17);
        w.settings.DeleteUser(0);
        w.dialogs.messages.clear();

        // A damaged file there cannot be kept, nor the ".bak": the saves of the defaults
        // leave both as they were, also at the next start, until settings of the user's are
        // saved.
        AddUser(w.settings, MakeUser("Kept", "k", "h", "p"));
        QVERIFY(w.file.SaveFile());
        const QByteArray good = ReadAll(w.file.BackupPath());
        WriteAll(w.path, "\x01");
        QVERIFY(!Load(w.file, w.dialogs));
        QVERIFY(w.dialogs.messages.value(0).contains(
            "Could not keep a copy of " + QDir::toNativeSeparators(w.file.BackupPath())));
        QVERIFY(w.file.SaveFile());
        SettingsFile next(w.settings, w.dialogs, w.random, w.path);
        QVERIFY(!Load(next, w.dialogs));
        QVERIFY(next.SaveFile());
        QCOMPARE(ReadAll(w.path), QByteArray("\x01"));
        QCOMPARE(ReadAll(w.file.BackupPath()), good);
        AddUser(w.settings, MakeUser("New", "n", "h", "p"));
        QVERIFY(next.SaveFile());
        QVERIFY(readOnly(false));
        QCOMPARE(ReadAll(w.file.BackupPath()), ReadAll(w.path));
        QCOMPARE(w.Files(), QStringList({"Tarnwick.ini", "Tarnwick.ini.bak"}));
    }

    void writingInPlaceNeverShortensTheOldFile() {
        FileWorld w;
        TmpfsMount mount(w.dir.path());
        if (!mount.mounted)
            QSKIP("a full file system needs a small tmpfs, and mounting one needs root");
        const QByteArray old(6000, 'o');
        WriteAll(w.path, old);
        {
            QFile filler(w.dir.filePath("filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'f');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
        }
        // Longer than the disk allows: the old bytes stay, at their length.
        QVERIFY(OverwriteInPlace(w.path, QByteArray(20000, 'n')));
        QCOMPARE(ReadAll(w.path), old);
        // Within the pages the file has: written and cut to its length.
        QVERIFY(!OverwriteInPlace(w.path, QByteArray(8000, 'n')));
        QCOMPARE(ReadAll(w.path), QByteArray(8000, 'n'));
        QVERIFY(!OverwriteInPlace(w.path, "short"));
        QCOMPARE(ReadAll(w.path), QByteArray("short"));
        QVERIFY(OverwriteInPlace(w.dir.filePath("missing"), "x")); // never creates a file
    }

    void aFullDiskKeepsTheOldFile() {
        FileWorld w;
        TmpfsMount mount(w.dir.path());
        if (!mount.mounted)
            QSKIP("a full file system needs a small tmpfs, and mounting one needs root");
        QVERIFY(w.file.SaveFile());
        const QByteArray before = ReadAll(w.path);
        {
            // Fill every page that is left.
            QFile filler(w.dir.filePath("filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'f');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
        }
        // Small enough to sit in QSaveFile's buffer until the commit.
        AddUser(w.settings, MakeUser("New", "new", "h", QString(5000, 'p')));
        QVERIFY(!w.file.SaveFile());
        QCOMPARE(ReadAll(w.path), before);
        QCOMPARE(ReadAll(w.file.BackupPath()), before);
        QCOMPARE(w.dialogs.messages.size(), 1);
        QCOMPARE(w.dialogs.messages[0], "Could not save the settings to " +
                                            QDir::toNativeSeparators(w.path) +
                                            ": No space left on device");
        QCOMPARE(w.Files(), QStringList({"filler", "Tarnwick.ini", "Tarnwick.ini.bak"}));
        // Loading still finds the old settings.
        QVERIFY(Load(w.file, w.dialogs));
        QCOMPARE(w.settings.LastUser, qint16(-1));
    }

    void aFailedBackupIsReportedButTheSaveStands() {
        FileWorld w;
        QVERIFY(QDir(w.dir.path()).mkdir("Tarnwick.ini.bak"));
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(w.path).size(), 17);
        QCOMPARE(w.dialogs.messages.size(), 1);
        QVERIFY(w.dialogs.messages[0].startsWith("Could not save the backup copy " +
                                                 QDir::toNativeSeparators(w.file.BackupPath())));
    }

    void settingsTheFileCannotHoldAreNotSaved() {
        FileWorld w;
        QVERIFY(w.file.SaveFile());
        const QByteArray before = ReadAll(w.path);

        // One byte over the limit: refused, the old file stays.
        const int fixed = QByteArray("0\r\n5\r\n5\r\nTrue\r\n0\r\n\r\nS\r\nH\r\nU\r\n").size();
        AddUser(w.settings, MakeUser("S", "U", "H", QString(MaxPlainLength - fixed + 1, 'p')));
        QVERIFY(!w.file.SaveFile());
        QCOMPARE(ReadAll(w.path), before);
        QVERIFY(w.dialogs.messages.value(0).endsWith(
            "32766 bytes, more than the 32765 that the settings file can hold: shorten the "
            "Password of \"S\" by 1 character"));

        // At the limit: saved, and it loads back.
        w.settings.Users[0].Password.chop(1);
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(w.path).size(), MaxCipherLength);
        Settings loaded;
        QCOMPARE(LoadSettingsBytes(ReadAll(w.path), loaded), LoadResult::Loaded);
        QCOMPARE(loaded.Users[0].Password, w.settings.Users[0].Password);

        // A CR LF inside a text would shift every later line: refused as well.
        w.settings.Users[0].Password = "a\r\nb";
        w.dialogs.Clear();
        const QByteArray good = ReadAll(w.path);
        QVERIFY(!w.file.SaveFile());
        QCOMPARE(ReadAll(w.path), good);
        QVERIFY(w.dialogs.messages.value(0).contains("line break"));
        QVERIFY(!w.dialogs.messages.value(0).contains("a\r\nb"));
    }

    // The per-mailbox fields beside the settings file, through a load, an edit and a save.
    void sideFileEntries_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<bool>("keptAside");
        QTest::newRow("unknown fields kept, in order")
            << QByteArray("alice\tpop.home\tsignin=oauth\nalice\tpop.home\tb=2\n"
                          "bob\tpop.work\tquiet=22%3A00-07%3A00\n")
            << ""
            << QByteArray("alice\tpop.home\tsignin=oauth\nalice\tpop.home\tb=2\n"
                          "bob\tpop.work\tquiet=22%3A00-07%3A00\n")
            << false;
        QTest::newRow("bad lines skipped")
            << QByteArray("# a comment\r\nalice\tpop.home\tsignin=oauth\r\nno fields\n"
                          "bob\tpop.work\t=x\nbob\tpop.work\tb a=1\n")
            << "" << QByteArray("alice\tpop.home\tsignin=oauth\n") << true;
        QTest::newRow("login changed")
            << QByteArray("alice\tpop.home\tsignin=oauth\n") << "login"
            << QByteArray("al%09%C3%AF\tpop.home\tsignin=oauth\n") << false;
        QTest::newRow("server changed")
            << QByteArray("alice\tpop.home\tsignin=oauth\n") << "server"
            << QByteArray("alice\timaps%3A%2F%2Fnew\tsignin=oauth\n") << false;
        QTest::newRow("mailbox deleted")
            << QByteArray("alice\tpop.home\tsignin=oauth\n") << "delete" << QByteArray() << false;
        QTest::newRow("mailbox gone before the start")
            << QByteArray("carol\tpop.x\ta=1\nalice\tpop.home\tsignin=oauth\n") << ""
            << QByteArray("alice\tpop.home\tsignin=oauth\n") << false;
        QTest::newRow("others may write to it: moved aside, not used")
            << QByteArray("alice\tpop.home\tsignin=oauth\n") << "shared" << QByteArray() << true;
    }
    void sideFileEntries() {
        QFETCH(QByteArray, before);
        QFETCH(QString, edit);
        QFETCH(QByteArray, after);
        QFETCH(bool, keptAside);
        FileWorld w;
        AddUser(w.settings, MakeUser("Home", "alice", "pop.home", "pw"));
        AddUser(w.settings, MakeUser("Work", "bob", "pop.work", "pw"));
        SideFile side(w.dir.filePath("Tarnwick.accounts"));
        WriteAll(side.Path(), before);
        if (edit == "shared")
            QVERIFY(QFile::setPermissions(side.Path(), QFile::permissions(side.Path()) |
                                                           QFileDevice::WriteOther));
        side.Load(w.settings);
        QCOMPARE(side.Refused().isEmpty(), edit != "shared");
        w.file.SetSideFile(&side);
        if (edit == "login")
            w.settings.Users[0].Username = QString::fromUtf8("al\t\u00ef");
        else if (edit == "server")
            w.settings.Users[0].MailServer = "imaps://new";
        else if (edit == "delete")
            w.settings.DeleteUser(0);
        QVERIFY(w.file.SaveFile());
        QCOMPARE(ReadAll(side.Path()), after);
        QCOMPARE(ReadAll(side.BackupPath()), after);
        QCOMPARE(Mode(side.Path()), QString(edit == "shared" ? "0" : "600"));
        QCOMPARE(ReadAll(side.Path() + ".damaged"), keptAside ? before : QByteArray());
        // What was saved loads again as it was.
        SideFile again(side.Path());
        again.Load(w.settings);
        QCOMPARE(again.Skipped(), 0);
        QCOMPARE(again.Of(w.settings.Users[0].Id), side.Of(w.settings.Users[0].Id));
    }

    // The provider file: which providers come of it, what is said about the rest, and which
    // provider a mail host is proposed with.
    void providerFile_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("providers"); // the names, after the two built in
        QTest::addColumn<QString>("proposed");  // for `host`
        QTest::addColumn<QStringList>("problems");
        const QByteArray company = "[Company]\nAuthorizationUrl = https://id.example.com/auth\n"
                                   "TokenUrl=https://id.example.com/token\nClientId=tarnwick\n"
                                   "Scopes=openid  mail\nHosts=*.example.com imap.example.org\n";
        const auto skipped = [](const char* group, const char* key, const char* why) {
            return QStringLiteral("Tarnwick-oauth2.conf: [%1] %2: %3; the provider is skipped.")
                .arg(group, key, why);
        };
        const char* notHttps = "not an https address (http only to a loopback address)";
        QTest::newRow("company, a host of its domain") << company << "Mail.Example.COM."
                                                       << "Company"
                                                       << "Company" << QStringList{};
        QTest::newRow("the domain itself is not in it") << company << "example.com"
                                                        << "Company"
                                                        << "" << QStringList{};
        QTest::newRow("a built-in host") << company << "outlook.office365.com"
                                         << "Company"
                                         << "Microsoft" << QStringList{};
        QTest::newRow("comments, loopback http, no secret")
            << QByteArray("# ours\n; too\n[Test]\nAuthorizationUrl=http://127.0.0.5:8080/a\n"
                          "TokenUrl=http://[::1]/t\nClientId=c\nScopes=s\nHosts=localhost\n")
            << "localhost"
            << "Test"
            << "Test" << QStringList{};
        QTest::newRow("http elsewhere")
            << QByteArray(company).replace("https://id.example.com/token",
                                           "http://id.example.com/token")
            << ""
            << ""
            << "" << QStringList{skipped("Company", "TokenUrl", notHttps)};
        QTest::newRow("credentials in the address")
            << QByteArray(company).replace("https://id.", "https://u:p@id.") << ""
            << ""
            << "" << QStringList{skipped("Company", "AuthorizationUrl", notHttps)};
        QTest::newRow("missing client, then a good one")
            << QByteArray(company).replace("ClientId=tarnwick\n", "") + "[Other]\n" +
                   QByteArray(company).mid(10)
            << ""
            << "Other"
            << "" << QStringList{skipped("Company", "ClientId", "missing")};
        QTest::newRow("unknown key, twice the same, bad host")
            << company + "Colour=blue\n" + company +
                   QByteArray(company)
                       .replace("[Company]", "[Third]")
                       .replace("*.example", "x*.example")
            << ""
            << ""
            << ""
            << QStringList{skipped("Company", "Colour", "not a key of a provider"),
                           skipped("Company", "(name)", "named twice"),
                           skipped("Third", "Hosts", "\"x*.example.com\" is not a host name")};
        QTest::newRow("no scopes, no token address")
            << QByteArray(company).replace("Scopes=openid  mail\n", "") +
                   QByteArray(company)
                       .replace("[Company]", "[B]")
                       .replace("TokenUrl=https://id.example.com/token\n", "")
            << ""
            << ""
            << ""
            << QStringList{skipped("Company", "Scopes", "missing"),
                           skipped("B", "TokenUrl", "missing")};
    }
    void providerFile() {
        QFETCH(QByteArray, text);
        QFETCH(QString, host);
        QFETCH(QString, providers);
        QFETCH(QString, proposed);
        QFETCH(QStringList, problems);
        QStringList said;
        QList<OAuthProvider> all = BuiltInProviders({});
        all += ParseProviderFile(text, "Tarnwick-oauth2.conf", said);
        QStringList names;
        for (const OAuthProvider& provider : all.mid(2))
            names << provider.name;
        QCOMPARE(names.join(' '), providers);
        QCOMPARE(said, problems);
        const OAuthProvider* found = ProviderForHost(all, host);
        QCOMPARE(found ? found->name : QString(), proposed);
        // Without a client ID from the build, the built-in ones say so and how to go on.
        QCOMPARE(all[0].Unavailable(), "This build of Tarnwick has no client ID for Microsoft: "
                                       "enter one you registered with Microsoft.");
    }
};

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settings.moc"
