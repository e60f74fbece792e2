#include "MailboxTest.h"

#include "ImapSession.h"
#include "Logs.h"
#include "Pop3Session.h"
#include "SocketTransport.h"
#include "core/Files.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>

namespace {
// As much of the CA file as a check would read.
constexpr qint64 MaxCaFileBytes = 16 << 20;

// The certificate that trusting would add, when nothing but trust is missing: the top of what
// the server sent when that is self-signed (a self-signed server, or a private root sent
// along), else the server's own certificate (its issuer, a private CA, not known), which the
// file makes an anchor by itself.
std::optional<QSslCertificate> Trustable(const QList<QSslError>& errors,
                                         const QList<QSslCertificate>& chain) {
    if (errors.isEmpty() || chain.isEmpty())
        return std::nullopt;
    for (const QSslError& error : errors) {
        switch (error.error()) {
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
            break;
        default:
            return std::nullopt; // expired, a wrong name, a broken signature: never offered
        }
    }
    return chain.last().isSelfSigned() ? chain.last() : chain.first();
}
} // namespace

MailboxTestResult MailboxTest::Run(const QString& mailServer, const QString& username,
                                   const QString& password,
                                   const std::optional<QString>& bearer) const {
    MailboxTestResult result;
    const ServerParse server = ParseServerAddress(mailServer);
    if (!server.ok) {
        result.failure = FailureText(server.error);
        return result;
    }
    // The certificate of a failed handshake, from whichever connection the check made.
    QList<QSslError> errors;
    QList<QSslCertificate> chain;
    const auto watch = [&errors, &chain](SocketTransport& transport) {
        QObject::connect(&transport, &Transport::Failed, &transport, [&errors, &chain, &transport] {
            if (transport.LastCertificateErrors().isEmpty())
                return;
            errors = transport.LastCertificateErrors();
            chain = transport.LastPeerChain();
        });
    };
    SocketTransport transport;
    transport.SetCaFile(caFile_);
    watch(transport);
    const TransportFactory makeTransport = [&watch, trust = transport.Trust()] {
        auto made = std::make_unique<SocketTransport>();
        made->ShareTrust(trust);
        watch(*made);
        return std::unique_ptr<Transport>(std::move(made));
    };
    Pop3Session pop3(transport, port_);
    ImapSession imap(makeTransport);
    CheckSession& session = server.address.protocol == Protocol::Imap
                                ? static_cast<CheckSession&>(imap)
                                : static_cast<CheckSession&>(pop3);

    std::optional<CheckResult> ended;
    QEventLoop loop;
    QObject::connect(&session, &CheckSession::Finished, &loop,
                     [&ended, &loop](const CheckResult& checked) {
                         ended = checked;
                         loop.quit();
                     });
    CheckRequest request;
    request.address = server.address;
    request.username = username;
    request.password = password;
    request.bearer = bearer;
    session.Begin(request);
    if (!ended)
        loop.exec();
    session.Close();

    if (ended->failure) {
        result.failure = FailureText(*ended->failure);
        result.trustable = Trustable(errors, chain);
    } else {
        result.passed = true;
        result.count = ended->count ? qMax(ended->count->count, 0) : 0;
    }
    return result;
}

bool MailboxTest::Trust(const QSslCertificate& certificate, const QString& caFile, QString* error) {
    QFile file(caFile);
    QByteArray bytes;
    const bool exists = file.exists();
    if (exists) {
        // The whole file is written anew, so that a full disk leaves the old one as it was.
        if (!file.open(QIODevice::ReadOnly)) {
            if (error)
                *error = file.errorString();
            return false;
        }
        bytes = file.read(MaxCaFileBytes);
        file.close();
    }
    // A file that does not end its last line would glue this certificate onto it.
    if (!bytes.isEmpty() && !bytes.endsWith('\n'))
        bytes += '\n';
    bytes += certificate.toPem();
    const auto failure = WriteFileWhole(
        caFile, bytes,
        exists ? std::nullopt : std::optional(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    if (failure && error)
        *error = *failure;
    return !failure;
}

QString MailboxTest::Describe(const QSslCertificate& certificate) {
    const auto name = [](const QStringList& parts) {
        return parts.isEmpty() ? QStringLiteral("(none)") : parts.join(QStringLiteral(", "));
    };
    const QByteArray digest = certificate.digest(QCryptographicHash::Sha256).toHex().toUpper();
    QStringList pairs;
    for (qsizetype i = 0; i < digest.size(); i += 2)
        pairs << QString::fromLatin1(digest.mid(i, 2));
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm 'UTC'");
    return QStringLiteral("Subject: %1\nIssuer: %2\nSHA-256: %3\nValid from %4 to %5")
        .arg(name(certificate.subjectInfo(QSslCertificate::CommonName)),
             name(certificate.issuerInfo(QSslCertificate::CommonName)),
             pairs.join(QLatin1Char(':')), certificate.effectiveDate().toUTC().toString(format),
             certificate.expiryDate().toUTC().toString(format));
}
