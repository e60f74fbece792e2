#include "support/peers/TestCertificates.h"

#include "support/TestWorld.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {
const QStringList NewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
const QString LocalNames =
    QStringLiteral("subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\nextendedKeyUsage=serverAuth");
const QString CaExtensions =
    QStringLiteral("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign");
} // namespace

QString TestCertificates::Unavailable() {
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        return QStringLiteral("The TLS tests need the openssl program (Debian package openssl).");
    return QString();
}

QString TestCertificates::KeyOf(const QString& certificate) {
    return certificate.chopped(4) + QStringLiteral(".key");
}

bool TestCertificates::Run(const QStringList& arguments, QString* error) const {
    QProcess openssl;
    openssl.setWorkingDirectory(dir_.path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
        openssl.exitCode() == 0)
        return true;
    *error = QStringLiteral("openssl %1 failed: %2")
                 .arg(arguments.join(' '), QString::fromLocal8Bit(openssl.readAll()));
    return false;
}

// A certificate signed by `ca`; negative `days` make it expired.
bool TestCertificates::Leaf(const QString& name, const QString& extensions, int days,
                            QString* error, const QString& ca) const {
    QFile ext(dir_.filePath(name + QStringLiteral(".ext")));
    if (!ext.open(QIODevice::WriteOnly) || ext.write((extensions + "\n").toUtf8()) < 0) {
        *error = QStringLiteral("Cannot write ") + ext.fileName();
        return false;
    }
    ext.close();
    return Run(QStringList{"req", "-new"} + NewKey +
                   QStringList{"-keyout", name + ".key", "-out", name + ".csr", "-subj",
                               "/CN=" + name},
               error) &&
           Run({"x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-days", QString::number(days), "-extfile", name + ".ext",
                "-out", name + ".pem"},
               error);
}

bool TestCertificates::Start(QString* error) {
    if (!dir_.isValid()) {
        *error = QStringLiteral("Cannot make a temporary folder for the certificates");
        return false;
    }
    return Run(QStringList{"req", "-x509"} + NewKey +
                   QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                               "/CN=Tarnwick Test CA", "-addext",
                               "basicConstraints=critical,CA:TRUE", "-addext",
                               "keyUsage=critical,keyCertSign,cRLSign"},
               error) &&
           Leaf(QStringLiteral("server"), LocalNames, 2, error) &&
           Leaf(QStringLiteral("expired"), LocalNames, -1, error) &&
           Leaf(QStringLiteral("wrongname"),
                QStringLiteral("subjectAltName=DNS:mail.elsewhere.test"), 2, error) &&
           Leaf(QStringLiteral("intermediate"), CaExtensions, 2, error) &&
           Leaf(QStringLiteral("chained"), LocalNames, 2, error, QStringLiteral("intermediate")) &&
           Run(QStringList{"req", "-x509"} + NewKey +
                   QStringList{"-keyout", "selfsigned.key", "-out", "selfsigned.pem", "-days", "2",
                               "-subj", "/CN=localhost", "-addext",
                               "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost"},
               error) &&
           Run(QStringList{"req", "-new"} + NewKey +
                   QStringList{"-keyout", "expiredself.key", "-out", "expiredself.csr", "-subj",
                               "/CN=localhost"},
               error) &&
           Run({"x509", "-req", "-in", "expiredself.csr", "-signkey", "expiredself.key", "-days",
                "-1", "-extfile", "server.ext", "-out", "expiredself.pem"},
               error);
}

bool TestCertificates::Serve(QProcess& server, quint16& port, const QString& certificate,
                             const QStringList& options) const {
    // Its standard input stays open, or it would quit. On port 0 it takes a free port and
    // names it: "ACCEPT 127.0.0.1:40001"; on a given port it says "ACCEPT".
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral("openssl"),
                 QStringList{"s_server", "-accept", "127.0.0.1:" + QString::number(port), "-cert",
                             certificate, "-key", KeyOf(certificate)} +
                     options);
    QByteArray output;
    const QRegularExpression accept(QStringLiteral("ACCEPT(?: 127\\.0\\.0\\.1:(\\d+))?\n"));
    QRegularExpressionMatch m;
    if (!WaitFor([&] { return (m = accept.match(output += server.readAll())).hasMatch(); }, 60000))
        return false;
    if (port == 0)
        port = quint16(m.captured(1).toUInt());
    return port != 0;
}

bool TestCertificates::ServeOldTls(QProcess& server, quint16& port) const {
    port = 0;
    // Security level 0: OpenSSL allows TLS 1.1 at no other.
    return Serve(server, port, Server(), {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"});
}
