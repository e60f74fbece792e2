#include "TlsMessages.h"

#include "core/platform/System.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {
// Far larger than any list of certificates; bounds what one check reads.
constexpr qint64 MaxCaFileBytes = 16 << 20;
// A certificate for hundreds of names would drown the rest of the text.
constexpr qsizetype MaxNamesShown = 8;

QString Shown(const QString& path) {
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

QString Quoted(const QString& text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// The names the certificate is for: its alternative names, or else its common name.
QStringList NamesOf(const QSslCertificate& certificate) {
    QStringList names;
    const auto alternatives = certificate.subjectAlternativeNames();
    for (auto it = alternatives.cbegin(); it != alternatives.cend(); ++it)
        names << it.value();
    return names.isEmpty() ? certificate.subjectInfo(QSslCertificate::CommonName) : names;
}

QString SubjectOf(const QSslCertificate& certificate) {
    const QStringList common = certificate.subjectInfo(QSslCertificate::CommonName);
    if (!common.isEmpty())
        return common.first();
    const QStringList names = NamesOf(certificate);
    return names.isEmpty() ? certificate.subjectDisplayName() : names.first();
}

QString IssuerOf(const QSslCertificate& certificate) {
    const QStringList common = certificate.issuerInfo(QSslCertificate::CommonName);
    return common.isEmpty() ? certificate.issuerDisplayName() : common.first();
}

QString Date(const QDateTime& time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

QString NameList(const QStringList& names) {
    QStringList shown;
    for (const QString& name : names.mid(0, MaxNamesShown))
        shown << Quoted(name);
    QString list = shown.join(QStringLiteral(", "));
    if (names.size() > MaxNamesShown)
        list += QStringLiteral(" and %1 more").arg(names.size() - MaxNamesShown);
    return list.isEmpty() ? QStringLiteral("no name") : list;
}
} // namespace

CaFileRead ReadCaFile(const QString& path) {
    CaFileRead read;
    const QFileInfo info(path);
    if (path.isEmpty() || (!info.exists() && !info.isSymLink()))
        return read;
    const QString file = Shown(path);
    if (info.isDir()) {
        read.problem = QStringLiteral("%1 is a folder, not a file of certificates.").arg(file);
        return read;
    }
    QFile in;
    // Only a regular file: a FIFO or a device could block the check or never end. And only
    // the user's own, that no one else may change: another user's certificate trusted would
    // let their server take the password.
    QString error;
    bool refused = false;
    if (!info.isFile() || !OpenFileToRead(in, path, true, error, &refused)) {
        read.problem =
            refused ? QStringLiteral("%1 is not trusted: %2.").arg(file, error)
                    : QStringLiteral("Cannot read %1: %2.")
                          .arg(file, info.isFile() ? error : QStringLiteral("not a regular file"));
        return read;
    }
    // What the file holds, and one byte beyond the limit at most: no buffer of the limit's
    // size to read a file of one certificate.
    QByteArray bytes;
    for (;;) {
        const qint64 room = MaxCaFileBytes + 1 - bytes.size();
        const QByteArray more =
            in.read(qMin(room, qMax<qint64>(in.size() - bytes.size() + 1, 4096)));
        bytes += more;
        if (more.isEmpty() || bytes.size() > MaxCaFileBytes)
            break;
    }
    if (in.error() != QFileDevice::NoError) {
        read.problem = QStringLiteral("Cannot read %1: %2.").arg(file, in.errorString());
        return read;
    }
    if (bytes.size() > MaxCaFileBytes) {
        read.problem = QStringLiteral("%1 is larger than %2 MiB: too large for a file of "
                                      "certificates.")
                           .arg(file)
                           .arg(MaxCaFileBytes >> 20);
        return read;
    }
    if (bytes.trimmed().isEmpty()) {
        read.problem = QStringLiteral("%1 is empty.").arg(file);
        return read;
    }
    read.certificates = QSslCertificate::fromData(bytes, QSsl::Pem);
    const qsizetype blocks = bytes.count("-----BEGIN CERTIFICATE-----");
    if (!read.certificates.isEmpty()) {
        if (read.certificates.size() < blocks)
            read.problem = QStringLiteral("%1 of the %2 certificates in %3 cannot be read.")
                               .arg(blocks - read.certificates.size())
                               .arg(blocks)
                               .arg(file);
        return read;
    }
    const QList<QSslCertificate> binary = QSslCertificate::fromData(bytes, QSsl::Der);
    if (!binary.isEmpty() && !binary.first().isNull())
        read.problem = QStringLiteral("%1 holds a certificate in binary (DER) form, not PEM: "
                                      "convert it with \"openssl x509 -inform DER -in %1 -out "
                                      "%1.new\" and put %1.new in its place.")
                           .arg(file);
    else
        read.problem = QStringLiteral("%1 holds no certificate: each must be PEM text from "
                                      "\"-----BEGIN CERTIFICATE-----\" to \"-----END "
                                      "CERTIFICATE-----\".")
                           .arg(file);
    return read;
}

QString CertificateFailureText(const QList<QSslError>& errors, const QList<QSslCertificate>& chain,
                               const QString& host, const QString& caFile,
                               const QString& caProblem) {
    const QSslCertificate server = chain.value(0);
    const QString file =
        caFile.isEmpty() ? QStringLiteral("the file of trusted certificates") : Shown(caFile);
    QStringList problems;
    QStringList fixes;
    const auto add = [&](const QString& problem, const QString& fix = QString()) {
        if (!problems.contains(problem))
            problems << problem;
        if (!fix.isEmpty() && !fixes.contains(fix))
            fixes << fix;
    };
    for (const QSslError& error : errors) {
        switch (error.error()) {
        case QSslError::HostNameMismatch:
            add(QStringLiteral("it is for %1, not for %2")
                    .arg(NameList(NamesOf(server)), Quoted(host)),
                QStringLiteral("Use one of the certificate's names as the mail server"));
            break;
        case QSslError::CertificateExpired:
            add(QStringLiteral("it expired on %1 (valid from %2)")
                    .arg(Date(server.expiryDate()), Date(server.effectiveDate())),
                QStringLiteral("The server needs a new certificate; if it has one, check the "
                               "date and time of this computer"));
            break;
        case QSslError::CertificateNotYetValid:
            add(QStringLiteral("it is valid only from %1 (until %2)")
                    .arg(Date(server.effectiveDate()), Date(server.expiryDate())),
                QStringLiteral("Check the date and time of this computer"));
            break;
        case QSslError::SelfSignedCertificate:
            add(QStringLiteral("it is self-signed and not trusted"),
                QStringLiteral("If you trust it, add it (PEM) to %1").arg(file));
            break;
        case QSslError::SelfSignedCertificateInChain: {
            const QString root = Quoted(SubjectOf(chain.isEmpty() ? server : chain.last()));
            add(QStringLiteral("its root certificate %1 is not trusted").arg(root),
                QStringLiteral("If you trust %1, add it (PEM) to %2").arg(root, file));
            break;
        }
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate: {
            // The top of what the server sent names the issuer nobody here knows.
            const QString issuer = Quoted(IssuerOf(chain.isEmpty() ? server : chain.last()));
            if (chain.size() > 1) {
                add(QStringLiteral("its issuer %1 is not known").arg(issuer),
                    QStringLiteral("Add the certificate of %1 (PEM) to %2").arg(issuer, file));
                break;
            }
            // With the server's certificate alone, an unknown issuer is either a CA of its
            // own or an intermediate certificate that the server failed to send along.
            add(QStringLiteral("its issuer %1 is not known, and the server sent no other "
                               "certificate")
                    .arg(issuer),
                QStringLiteral("If %1 is your own CA, add its certificate (PEM) to %2. If it "
                               "is an intermediate certificate, the server did not send it "
                               "along: that is the server's fault (tell its administrator), "
                               "or add that intermediate certificate (PEM) to %2")
                    .arg(issuer, file));
            break;
        }
        default:
            add(error.errorString());
            break;
        }
    }
    QString text = QStringLiteral("TLS certificate not accepted: %1.")
                       .arg(problems.join(QStringLiteral("; ")));
    if (!server.isNull())
        text += QStringLiteral(" Server certificate %1, issued by %2, SHA-256 %3.")
                    .arg(Quoted(SubjectOf(server)), Quoted(IssuerOf(server)),
                         QString::fromLatin1(
                             server.digest(QCryptographicHash::Sha256).toHex(':').toUpper()));
    if (!caProblem.isEmpty())
        text += QLatin1Char(' ') + caProblem;
    if (!fixes.isEmpty())
        text += QLatin1Char(' ') + fixes.join(QStringLiteral(". ")) + QLatin1Char('.');
    // One line in the error log, whatever a certificate's names hold.
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

QString HandshakeFailureText(const QString& libraryText, bool afterStls) {
    QString plain;
    // OpenSSL's words for a peer that does not speak TLS at all, and for one that offers
    // only versions below our minimum.
    if (libraryText.contains(QLatin1String("wrong version number")) ||
        libraryText.contains(QLatin1String("packet length too long")))
        plain = afterStls ? QStringLiteral("the server went on in plain text after accepting STLS")
                          : QStringLiteral("the server answered in plain text: use STARTTLS, or "
                                           "port 995 for TLS");
    else if (libraryText.contains(QLatin1String("alert protocol version")) ||
             libraryText.contains(QLatin1String("unsupported protocol")))
        plain = QStringLiteral("the server offers only TLS versions older than 1.2, which "
                               "Tarnwick refuses");
    return QStringLiteral("TLS handshake failed: ") + (plain.isEmpty() ? libraryText : plain);
}
