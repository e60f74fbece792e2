#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class TlsTrust;
using SSL = struct ssl_st;
using SSL_SESSION = struct ssl_session_st;

// The TLS client of one connection, between the socket and the session: bytes from the
// network in, bytes for the network and plain text out. It verifies the server's certificate
// chain and that the certificate is for the host, offers the session kept for that server,
// and keeps the new sessions of a verified connection. Nothing of a certificate is turned
// into Qt's types unless the handshake fails on it.
class TlsLayer final {
public:
    TlsLayer(TlsTrust& trust, const QString& host, quint16 port);
    ~TlsLayer();
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    enum class Result { Going, Secured, Failed };
    // Begins the handshake; its first bytes are in `toNetwork`.
    Result Start(QByteArray& toNetwork);
    // Takes what came from the network; what to send back goes to `toNetwork`, the plain text
    // that came to `plain`. `Secured` once, when the handshake is complete and verified.
    Result Feed(const QByteArray& fromNetwork, QByteArray& toNetwork, QByteArray& plain);
    // Encrypts `plain` into `toNetwork`; false when the connection cannot carry it.
    bool Write(const QByteArray& plain, QByteArray& toNetwork);
    bool IsSecured() const { return secured_; }
    // While held, a session the server offers is kept by the layer, and handed to the trust
    // (shared with other connections) once no longer held: the layer may be used on another
    // thread meanwhile.
    void HoldSessions(bool hold);

    // Why the handshake failed: the certificate's errors (empty when it was not the
    // certificate), the chain the server sent, and OpenSSL's own words.
    const QList<QSslError>& CertificateErrors() const { return errors_; }
    QList<QSslCertificate> PeerChain() const;
    const QString& LibraryText() const { return libraryText_; }

    // OpenSSL's calls into the layer of a connection, set once on the context.
    static int OnVerify(int ok, struct x509_store_ctx_st* context);
    static int OnNewSession(SSL* ssl, SSL_SESSION* session);

private:
    struct Problem {
        int error;
        QByteArray certificate; // DER, of the certificate it is about
    };
    Result Fail(int code = 0);
    void Drain(QByteArray& toNetwork);
    Result Advance(QByteArray& toNetwork, QByteArray& plain);

    TlsTrust& trust_;
    QString host_;
    quint16 port_ = 0;
    SSL* ssl_ = nullptr;
    struct bio_st* in_ = nullptr;  // what came from the network, owned by ssl_
    struct bio_st* out_ = nullptr; // what goes to it, owned by ssl_
    bool secured_ = false;
    bool failed_ = false;
    bool holding_ = false;
    SSL_SESSION* held_ = nullptr;
    QList<Problem> problems_;
    QList<QSslError> errors_;
    QString libraryText_;
};
