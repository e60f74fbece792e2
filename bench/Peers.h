#pragma once

// The peers the benchmarks run beside the program: Debian's gnubiff, a GTK program with a tray
// icon, and Mailnag, a daemon without a window. Each in a home of its own.
#include "support/peers/Keyring.h"
#include "support/peers/XSession.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

// gnubiff's account on the server where the bench has no logins of its own. gnubiff keeps
// passwords enciphered with a key of its own; this is "pw", as it wrote it itself (for other
// logins too).
inline const QString PeerLogin = QStringLiteral("root");
inline const QByteArray PeerPasswordAes = "3AA7ED4AA563322DE9282513A2C11397";
inline const QString PeerBinary = QStringLiteral("/usr/bin/gnubiff");

// One mailbox of the peer's configuration.
struct PeerMailbox {
    QByteArray protocol;       // "pop3", "imap4"
    QByteArray authentication; // "user_pass", "ssl"
    quint16 port = 0;
    QByteArray username;
    int delay = 60; // seconds between checks where it polls
};

// The peer's configuration: its mailboxes, no sound and no pop-up; `newmailCommand`, when
// given, runs at every new mail.
inline QByteArray PeerConfig(const QList<PeerMailbox>& boxes,
                             const QByteArray& newmailCommand = {}) {
    QByteArray mailboxes;
    int number = 0;
    for (const PeerMailbox& box : boxes) {
        const auto parameter = [&mailboxes](const char* name, const QByteArray& value) {
            mailboxes +=
                "    <parameter name=\"" + QByteArray(name) + "\" value=\"" + value + "\"/>\n";
        };
        mailboxes += "  <mailbox>\n";
        parameter("address", "127.0.0.1");
        parameter("authentication", box.authentication);
        parameter("delay", QByteArray::number(box.delay));
        parameter("name", "mailbox " + QByteArray::number(++number));
        parameter("other_port", QByteArray::number(box.port));
        parameter("password_aes", PeerPasswordAes);
        parameter("protocol", box.protocol);
        parameter("use_other_port", "true");
        parameter("username", box.username);
        mailboxes += "  </mailbox>\n";
    }
    return "<?xml version=\"1.0\"?>\n<configuration-file>\n" + mailboxes +
           "  <general>\n"
           "    <parameter name=\"startup_preferences\" value=\"false\"/>\n"
           "    <parameter name=\"use_newmail_command\" value=\"" +
           (newmailCommand.isEmpty() ? "false" : "true") +
           "\"/>\n"
           "    <parameter name=\"newmail_command\" value=\"" +
           newmailCommand +
           "\"/>\n"
           "    <parameter name=\"use_double_command\" value=\"false\"/>\n"
           "  </general>\n"
           "  <information>\n"
           "    <parameter name=\"version\" value=\"2.2.17\"/>\n"
           "  </information>\n"
           "  <popup>\n"
           "    <parameter name=\"use_popup\" value=\"false\"/>\n"
           "  </popup>\n"
           "</configuration-file>\n";
}

// Starts `program` and waits until the tray holds `icons` icons; false after a minute (a loaded
// machine starts slowly).
inline bool StartWithIcon(const XSession& x, QProcess& program, const QString& binary,
                          const QStringList& args, qsizetype icons) {
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(QProcess::nullDevice());
    program.start(binary, args);
    QElapsedTimer clock;
    clock.start();
    while (x.TrayIcons().size() < icons && clock.elapsed() < 60000)
        QThread::msleep(20);
    return x.TrayIcons().size() >= icons;
}

// The peer with configuration `config`, in a home of its own, beside what the tray holds
// already.
inline bool StartPeer(const XSession& x, const QByteArray& config, const QTemporaryDir& home,
                      QProcess& peer) {
    QDir(home.path()).mkpath("run");
    QFile::setPermissions(home.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        QFile rc(home.filePath(".gnubiffrc"));
        if (!rc.open(QIODevice::WriteOnly) || rc.write(config) < 0)
            return false;
    }
    QProcessEnvironment env = x.Environment();
    env.insert("HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    env.remove("USER"); // the peer's password key depends on it
    peer.setProcessEnvironment(env);
    return StartWithIcon(x, peer, PeerBinary, {"--noconfigure", "--systemtray"},
                         x.TrayIcons().size() + 1);
}

inline void Stop(QProcess& program) {
    if (program.state() == QProcess::NotRunning)
        return;
    program.terminate();
    program.waitForFinished(5000);
}

inline const QString MailnagBinary = QStringLiteral("/usr/bin/mailnag");

// Established connections of process `pid` to `port`: one for each mailbox it watches.
inline int Connections(qint64 pid, quint16 port) {
    QProcess ss;
    ss.start("ss", {"-Htnp", "state", "established", "dport", "=", ":" + QString::number(port)});
    ss.waitForFinished(10000);
    return int(ss.readAllStandardOutput().count("pid=" + QByteArray::number(pid) + ","));
}

// Mailnag, a daemon without a window, keeps its accounts in its configuration file and their
// passwords in the Secret Service keyring, under the MD5 of login, server and "True" (IMAP).
// Its refresh of an IDLE connection is set to the check interval (minutes). No plugins (no
// alerts) but, when `script` is given, the one that runs it at every new mail.
inline bool StartMailnag(const PrivateKeyring& keyring, const QStringList& logins, quint16 port,
                         int interval, const QTemporaryDir& home, QProcess& mailnag,
                         const QString& script = {}) {
    QByteArray config = "[core]\npoll_interval = " + QByteArray::number(interval) +
                        "\nimap_idle_timeout = " + QByteArray::number(interval) +
                        "\nmailbox_seen_flags = 1\nautostart = 0\n"
                        "connectivity_test = networkmonitor\nenabled_plugins = " +
                        (script.isEmpty() ? "" : "userscriptplugin") +
                        "\n\n[userscriptplugin]\nscript_file = " + script.toUtf8() + "\n\n";
    int number = 0;
    for (const QString& login : logins) {
        const QByteArray n = QByteArray::number(++number);
        config += "[account" + n + "]\nenabled = 1\ntype = imap\nname = mailbox " + n +
                  "\nuser = " + login.toUtf8() +
                  "\npassword = \nserver = 127.0.0.1\nport = " + QByteArray::number(port) +
                  "\nssl = 0\nimap = 1\nidle = 1\nfolder = []\n\n";
        const QByteArray id =
            QCryptographicHash::hash((login + "127.0.0.1True").toUtf8(), QCryptographicHash::Md5)
                .toHex();
        if (!keyring.Store("Mailnag password for account " + login,
                           {"xdg:schema", "com.github.pulb.mailnag", "id", QString::fromLatin1(id)},
                           QStringLiteral("pw")))
            return false;
    }
    QDir(home.path()).mkpath("config/mailnag");
    QFile cfg(home.filePath("config/mailnag/mailnag.cfg"));
    if (!cfg.open(QIODevice::WriteOnly) || cfg.write(config) < 0)
        return false;
    cfg.close();
    QProcessEnvironment env = keyring.Environment();
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    mailnag.setProcessEnvironment(env);
    mailnag.setProcessChannelMode(QProcess::MergedChannels);
    mailnag.setStandardOutputFile(home.filePath("mailnag.log"));
    mailnag.start(MailnagBinary, {});
    return mailnag.waitForStarted(10000);
}
