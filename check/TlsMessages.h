#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

// The certificates of the file of trusted certificates, or why it gives none.
struct CaFileRead {
    QList<QSslCertificate> certificates;
    QString problem; // a sentence naming the file and what is wrong; empty when missing or fine
};

// Reads the PEM file at `path`. A missing file (or no path) is fine: nothing, no problem. A
// folder, an unreadable file, an empty one, one in binary (DER) form or one without a
// certificate gives its problem; so does a file with some certificates that cannot be read,
// whose readable ones still count.
CaFileRead ReadCaFile(const QString& path);

// The error text of a server certificate that was not accepted, on one line: what is wrong
// with it, its subject, issuer and SHA-256 fingerprint, `caProblem` when the file of trusted
// certificates gave none, and what to do. `chain` is what the server sent, its own
// certificate first; `host` the name it was checked against; `caFile` the file that takes
// certificates to trust.
QString CertificateFailureText(const QList<QSslError>& errors, const QList<QSslCertificate>& chain,
                               const QString& host, const QString& caFile,
                               const QString& caProblem);

// The error text of a TLS handshake that failed for another reason than the certificate:
// the common set-up mistakes in plain words, anything else as the TLS library says it.
// `afterStls` when the handshake followed the server's go-ahead to STLS.
QString HandshakeFailureText(const QString& libraryText, bool afterStls);
