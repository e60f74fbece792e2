#pragma once

// The real program as end-to-end tests start it: a home, a program folder and a display of
// its own, with helpers to reach its icon, its message boxes and its control centre.
#include "core/Clock.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "support/TestWorld.h"
#include "support/doubles/FixedRandom.h"
#include "support/doubles/RecordingDialogs.h"
#include "support/peers/ChildProcess.h"
#include "support/peers/ProgramHome.h"
#include "support/peers/XSession.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <optional>

#ifndef TARNWICK_BINARY
#error "an end-to-end test names the program under test in TARNWICK_BINARY"
#endif

// Where screenshots go for a person to look at.
inline QString ShotPath(const QString& name) {
    return QDir(QStringLiteral(TARNWICK_SHOT_DIR)).filePath(name);
}

// The running program with a home, a program folder and a display of its own.
class Program final {
public:
    explicit Program(const XSession& x) : x_(x) {
        // A copy of its own, so that its two logs land in this test's folder.
        QFile::copy(QStringLiteral(TARNWICK_BINARY), Binary());
        QFile::setPermissions(Binary(), OwnerOnly);
    }
    ~Program() { StopGroup(process_, 3000); }

    QString Binary() const { return home_.dir.filePath("bin/tarnwick"); }
    QString SettingsPath() const { return home_.SettingsPath(); }
    QString StatLog() const { return home_.dir.filePath("bin/Stat.txt"); }
    QString ErrLog() const { return home_.dir.filePath("bin/ErrLog.txt"); }
    QString OptionsPath() const { return home_.dir.filePath("config/Tarnwick.options"); }
    // A variable of the program's environment besides the display's ("QT_QPA_PLATFORM").
    void SetEnv(const QString& name, const QString& value) { extra_.insert(name, value); }

    void WriteSettings(const Settings& settings) const {
        WriteSettingsFile(settings, SettingsPath());
    }
    // The settings as the program left them, or nothing when they do not load.
    std::optional<Settings> ReadSettings() const { return ReadSettingsFile(SettingsPath()); }

    // The program's surroundings: the display, and a home of its own.
    QProcessEnvironment Environment() const {
        QProcessEnvironment env = home_.Environment(x_.Environment());
        env.insert("QT_LOGGING_RULES", "tarnwick.trace=true");
        env.insert(extra_);
        return env;
    }

    bool Start() {
        process_.setProcessEnvironment(Environment());
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.setWorkingDirectory(home_.dir.path());
        StartInOwnGroup(process_, Binary(), {});
        if (!process_.waitForStarted(PeerStartMs))
            output_ +=
                QStringLiteral("%1 did not start: %2\n").arg(Binary(), process_.errorString());
        return process_.state() == QProcess::Running;
    }
    // What the program traced so far.
    QString Output() {
        output_ += QString::fromLocal8Bit(process_.readAll());
        return output_;
    }
    bool WaitForExit(int ms) { return process_.waitForFinished(ms); }
    void Signal(int signal) const { ::kill(pid_t(process_.processId()), signal); }
    bool Running() const { return process_.state() == QProcess::Running; }

    // Writes `settings`, starts the program and waits for its icon: the icon, or 0.
    qulonglong StartWith(const Settings& settings) {
        WriteSettings(settings);
        return Start() ? WaitForTrayIcon(PeerStartMs) : 0;
    }

    // Chooses "Exit" in the icon's menu (a screenshot of the menu when `menuShot` is given), and
    // waits for "Really Exit?": that box, or 0.
    qulonglong ChooseExit(qulonglong icon, const QString& menuShot = {}) const {
        if (!x_.ChooseFromMenu(icon, QStringLiteral("Exit"), menuShot))
            return 0;
        return WaitForMessageBox(icon, 10000);
    }

    // The program's icon in the notification area.
    qulonglong WaitForTrayIcon(int ms) const {
        qulonglong icon = 0;
        WaitFor([&] { return (icon = x_.TrayIcons().value(0)) != 0; }, ms);
        return icon;
    }

    // A message box of the program ("Tarnwick", not the tray icon's window of that name).
    qulonglong WaitForMessageBox(qulonglong notThis, int ms) const {
        return x_.WaitForWindow(
            "^Tarnwick$",
            [notThis](qulonglong w, const QRect& g) {
                return w != notThis && g.width() > 100 && g.height() < 300;
            },
            ms);
    }

    // The control centre window, once it is on screen.
    qulonglong WaitForControlCentre(int ms) const {
        return x_.WaitForWindow(
            "^Tarnwick$", [](qulonglong, const QRect& g) { return g.size() == QSize(185, 353); },
            ms);
    }

    // What the program printed besides its trace: Qt's warnings, for one.
    QStringList Untraced() {
        QStringList lines = Output().split('\n', Qt::SkipEmptyParts);
        lines.removeIf([](const QString& line) { return line.startsWith("tarnwick.trace: "); });
        return lines;
    }

    // Presses the default button of a message box: the pointer over it gives it the
    // keyboard (there is no window manager), then Return.
    void Answer(qulonglong box) const {
        x_.XDoTool({"mousemove", "--window", QString::number(box), "20", "20"});
        QTest::qWait(200);
        x_.Key("Return");
    }

private:
    const XSession& x_;
    ProgramHome home_;
    QProcess process_;
    QString output_;
    QProcessEnvironment extra_;
};
