#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class QProcess;

// A Dovecot POP3 server of the test's own on a free loopback port: its configuration, users
// (a passwd-file) and maildirs live in a temporary folder, apart from any system service.
// The destructor stops it and everything it started.
class Dovecot final {
public:
    Dovecot();
    ~Dovecot();
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    // Why the server cannot run on this machine (not root, Dovecot missing), or empty.
    static QString Unavailable();
    // On CI the server must run: a test that cannot start it fails instead of skipping.
    static bool MustRun();

    // Where the server listens: a loopback address and a free port unless told otherwise
    // (before Start).
    void SetListen(const QString& address, quint16 port) {
        address_ = address;
        fixedPort_ = port;
    }
    bool Start(QString* error);
    void Stop();
    quint16 Port() const { return port_; }

    // Users and their mail. A change to the users reaches a running server within a second;
    // these wait for that.
    bool AddUser(const QString& name, const QString& password);
    bool SetPassword(const QString& name, const QString& password);
    // Writes `count` messages into the user's new/ folder, as a delivery agent would.
    bool DeliverMail(const QString& user, int count);
    // Deletes `count` of the user's messages, wherever the server has filed them.
    bool RemoveMail(const QString& user, int count);
    int MailCount(const QString& user) const;

    // The server's own log, for failure messages.
    QString Log() const;

private:
    bool WriteConfig(QString* error) const;
    bool WriteUsers();
    bool MakeMaildir(const QString& user);
    QString MaildirOf(const QString& user) const;
    bool Launch(QString* error, bool* portTaken);
    void WaitForReload();

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> master_;
    QMap<QString, QString> users_;
    quint16 port_ = 0;
    QString address_ = QStringLiteral("127.0.0.1");
    quint16 fixedPort_ = 0;
    qint64 usersStamp_ = 0; // modification time last given to the passwd-file, in seconds
    int delivered_ = 0;
};

// Starts `server` or ends the test: skipped where Dovecot cannot run here, failed where it
// must run (CI) or where it should have started and did not.
#define TARNWICK_START_DOVECOT(server)                                                             \
    do {                                                                                           \
        const QString unavailable_ = Dovecot::Unavailable();                                       \
        if (!unavailable_.isEmpty()) {                                                             \
            if (Dovecot::MustRun())                                                                \
                QFAIL(qPrintable(QStringLiteral("CI must run this test: ") + unavailable_));       \
            QSKIP(qPrintable(unavailable_));                                                       \
        }                                                                                          \
        QString startError_;                                                                       \
        if (!(server).Start(&startError_))                                                         \
            QFAIL(qPrintable(startError_));                                                        \
    } while (false)
