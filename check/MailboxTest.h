#pragma once

#include "ServerAddress.h"

#include <QSslCertificate>
#include <QString>
#include <optional>

// What one test of a mailbox found.
struct MailboxTestResult {
    bool passed = false;
    qint32 count = 0; // the messages on the server, when it passed
    QString failure;  // the failure text in full, when it did not
    // The certificate the user may choose to trust: set only when the server's certificate
    // failed for want of trust alone (self-signed, a root that is not trusted, an issuer that
    // is not known), never for an expired, not yet valid or wrong-name one.
    std::optional<QSslCertificate> trustable;
};

// One check of one mailbox, right now, through the same session as the scheduled checks: the
// user editor's "Test". It touches neither the user table nor the logs, and asks no
// certificate to be accepted: the file of trusted certificates counts as it does for a check.
class MailboxTest final {
public:
    explicit MailboxTest(QString caFile, quint16 port = ServerAddress::PlainPort)
        : caFile_(std::move(caFile)), port_(port) {}

    // Runs the check of `mailServer` with `username` and `password`; returns when it is done
    // (at most the reply time-out later), with the event loop running meanwhile.
    // With `bearer`, the check signs in with that access token instead.
    MailboxTestResult Run(const QString& mailServer, const QString& username,
                          const QString& password,
                          const std::optional<QString>& bearer = std::nullopt) const;

    // Appends `certificate`, in PEM, to the file of trusted certificates, creating it readable
    // by its owner alone. False, with the reason, when it cannot be written.
    static bool Trust(const QSslCertificate& certificate, const QString& caFile, QString* error);

    // What a certificate test shows of `certificate`: subject, issuer, SHA-256 fingerprint and
    // validity, one per line.
    static QString Describe(const QSslCertificate& certificate);

    const QString& CaFile() const { return caFile_; }

private:
    QString caFile_;
    quint16 port_;
};
