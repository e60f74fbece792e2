#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class QProcess;

// A Dovecot POP3 (and, when asked, IMAP) server of the test's own on free loopback ports: its
// configuration, users (a passwd-file) and maildirs live in a temporary folder, apart from any
// system service.
// The destructor stops it and everything it started.
class Dovecot final {
public:
    Dovecot();
    ~Dovecot();
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    // Why the server cannot run on this machine (not root, Dovecot's POP3 or IMAP missing), or
    // empty.
    static QString Unavailable();

    // Where the server listens: a loopback address and a free port unless told otherwise
    // (before Start).
    void SetListen(const QString& address, quint16 port) {
        address_ = address;
        fixedPort_ = port;
    }
    // Serves TLS with this certificate and key (PEM), with `ssl = required`: POP3S on a port of
    // its own and STLS on the POP3 port, whose clear text allows no login (before Start).
    void EnableTls(const QString& certificateFile, const QString& keyFile) {
        tlsCertificate_ = certificateFile;
        tlsKey_ = keyFile;
    }
    // Serves IMAP too, on a port of its own (and IMAPS with TLS), before Start.
    void EnableImap() { imap_ = true; }
    // Takes OAuth 2.0 bearer tokens (OAUTHBEARER, XOAUTH2) too, asking `introspectionUrl` by
    // POST whether each is active and whose it is ("username"), before Start.
    void EnableOAuth2(const QString& introspectionUrl) { introspectionUrl_ = introspectionUrl; }
    bool Start(QString* error);
    void Stop();
    // Stops the running server and starts it again on the same ports.
    bool Restart(QString* error);
    quint16 Port() const { return port_; }
    quint16 TlsPort() const { return tlsPort_; } // POP3S; 0 without TLS
    quint16 ImapPort() const { return imapPort_; }
    quint16 ImapsPort() const { return imapsPort_; } // 0 without TLS

    // Users and their mail. A change to the users reaches a running server within a second;
    // these wait for that.
    bool AddUser(const QString& name, const QString& password);
    bool SetPassword(const QString& name, const QString& password);
    // Writes `count` messages into the user's new/ folder, as a delivery agent would.
    bool DeliverMail(const QString& user, int count);
    // Deletes `count` of the user's messages, wherever the server has filed them.
    bool RemoveMail(const QString& user, int count);
    // Writes one message of the test's own into the user's new/ folder.
    bool DeliverMessage(const QString& user, const QByteArray& message);
    // Forgets the user's UIDs, as when the folder is deleted and made again: the next
    // session gets a new UIDVALIDITY and new UIDs.
    bool RenewUids(const QString& user);
    int MailCount(const QString& user) const;
    // How many of the user's messages are not flagged seen.
    int UnseenCount(const QString& user) const;
    // Flags `count` unseen messages of the user as seen, as another client reading them would.
    bool MarkSeen(const QString& user, int count);

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
    quint16 tlsPort_ = 0;
    bool imap_ = false;
    QString introspectionUrl_;
    quint16 imapPort_ = 0;
    quint16 imapsPort_ = 0;
    QString tlsCertificate_;
    QString tlsKey_;
    QString address_ = QStringLiteral("127.0.0.1");
    quint16 fixedPort_ = 0;
    qint64 usersStamp_ = 0; // modification time last given to the passwd-file, in seconds
    int delivered_ = 0;
};
