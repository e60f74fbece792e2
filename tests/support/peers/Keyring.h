#pragma once

// A keyring as a desktop has it: gnome-keyring-daemon on a private session bus, its keyrings in
// the test's own folder, unlocked at start with a password on standard input.
#include "support/peers/ChildProcess.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <optional>
#include <utility>

class PrivateKeyring final {
public:
    PrivateKeyring() {
        for (const char* folder : {"data", "run"})
            QDir(dir_.path()).mkpath(folder);
        QFile::setPermissions(dir_.filePath("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // A bus that starts nothing by itself: the keyring runs only when the test says so.
        QFile config(dir_.filePath("bus.conf"));
        if (config.open(QIODevice::WriteOnly))
            config.write(QStringLiteral("<busconfig><type>session</type>"
                                        "<listen>unix:dir=%1</listen>"
                                        "<policy context=\"default\"><allow send_destination=\"*\" "
                                        "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                        "<allow own=\"*\"/></policy></busconfig>")
                             .arg(dir_.path())
                             .toUtf8());
        config.close();
        bus_.setStandardErrorFile(dir_.filePath("bus.err"));
        StartInOwnGroup(bus_, "dbus-daemon",
                        {"--nofork", "--print-address=1", "--config-file=" + config.fileName()});
        if (bus_.waitForReadyRead(PeerStartMs))
            address_ = QString::fromLatin1(bus_.readLine()).trimmed();
    }
    ~PrivateKeyring() {
        Stop();
        StopGroup(bus_);
    }

    // The bus address, empty when the bus did not start.
    const QString& Address() const { return address_; }

    // Starts the keyring service; true once it owns its name on the bus.
    bool Start() {
        daemon_.setProcessEnvironment(Environment());
        daemon_.setStandardErrorFile(dir_.filePath("keyring.err"));
        StartInOwnGroup(daemon_, "gnome-keyring-daemon",
                        {"--foreground", "--unlock", "--components=secrets"});
        daemon_.waitForStarted(PeerStartMs);
        daemon_.write("test-password");
        daemon_.closeWriteChannel();
        return QTest::qWaitFor(
            [this] {
                return Tool({"search", "--all", "x", "y"}).second;
            },
            PeerStartMs);
    }
    void Stop() { StopGroup(daemon_); }

    // The password the keyring holds under `label`, or nothing.
    std::optional<QString> Lookup(const QString& label) const {
        const auto [out, ok] = Tool({"search", "--all", "--unlock", "server", label});
        const qsizetype at = out.indexOf("secret = ");
        // Found by its label too, as a person finds it in the keyring's manager.
        if (!ok || at < 0 || !out.contains("label = " + label + "\n"))
            return std::nullopt;
        return out.mid(at + 9).section(QLatin1Char('\n'), 0, 0);
    }
    // Keeps `secret` under `label` as the program's keyring client stores it.
    bool Keep(const QString& label, const QString& secret) const {
        return Store(
            label,
            {"xdg:schema", "org.qt.keychain", "user", label, "server", label, "type", "plaintext"},
            secret);
    }
    // Keeps `secret` under `label` with these attributes (name, value, ...), as another
    // program's keyring client would.
    bool Store(const QString& label, const QStringList& attributes, const QString& secret) const {
        return Tool(QStringList{"store", "--label=" + label} + attributes, secret.toUtf8()).second;
    }
    // Deletes the item as a person does in the keyring's manager.
    bool Clear(const QString& label) const { return Tool({"clear", "server", label}).second; }

    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address_);
        env.insert("HOME", dir_.path());
        env.insert("XDG_DATA_HOME", dir_.filePath("data"));
        env.insert("XDG_RUNTIME_DIR", dir_.filePath("run"));
        return env;
    }

private:
    // secret-tool's output (with its error output) and whether it succeeded.
    std::pair<QString, bool> Tool(const QStringList& args, const QByteArray& input = {}) const {
        QProcess tool;
        tool.setProcessEnvironment(Environment());
        tool.setProcessChannelMode(QProcess::MergedChannels);
        StartInOwnGroup(tool, "secret-tool", args);
        tool.write(input);
        tool.closeWriteChannel();
        const bool done = tool.waitForFinished(PeerStartMs);
        const QString out = QString::fromUtf8(tool.readAll());
        StopGroup(tool, 100);
        return {out, done && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0 &&
                         !out.contains("Cannot autolaunch") && !out.contains("not provided")};
    }

    QTemporaryDir dir_;
    QProcess bus_;
    QProcess daemon_;
    QString address_;
};
