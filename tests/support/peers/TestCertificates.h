#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Certificates made by `openssl` for one test, in a temporary folder: a test CA and, signed
// by it, a server certificate for 127.0.0.1, ::1 and localhost, an expired one, one for
// another name and an intermediate CA; a server certificate signed by the intermediate; and a
// self-signed one that nobody trusts, and an expired self-signed one. Each key is beside its
// certificate, with ".key" for
// ".pem".
class TestCertificates final {
public:
    // Why certificates cannot be made here (no openssl), or empty.
    static QString Unavailable();
    bool Start(QString* error); // makes them all

    QString Ca() const { return Path("ca.pem"); }
    QString Server() const { return Path("server.pem"); }
    QString Expired() const { return Path("expired.pem"); }
    QString WrongName() const { return Path("wrongname.pem"); }
    QString SelfSigned() const { return Path("selfsigned.pem"); }
    QString ExpiredSelfSigned() const { return Path("expiredself.pem"); }
    QString BehindIntermediate() const { return Path("chained.pem"); } // alone, no chain
    static QString KeyOf(const QString& certificate);

    // Starts `openssl s_server` on 127.0.0.1 at `port` (0: one of the system's choice, set
    // here) with `certificate`, its key and `options`; false when it does not come up. It
    // resumes the sessions it handed out, and writes what it reads on standard input to the
    // client; its output tells each connection ("CIPHER is") and each resumed one ("Reused").
    bool Serve(QProcess& server, quint16& port, const QString& certificate,
               const QStringList& options = {}) const;
    // The same offering nothing newer than TLS 1.1, with the server certificate.
    bool ServeOldTls(QProcess& server, quint16& port) const;

private:
    QString Path(const char* name) const { return dir_.filePath(QLatin1String(name)); }
    bool Run(const QStringList& arguments, QString* error) const;
    bool Leaf(const QString& name, const QString& extensions, int days, QString* error,
              const QString& ca = QStringLiteral("ca")) const;

    QTemporaryDir dir_;
};
