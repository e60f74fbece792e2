#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <memory>

using SSL_CTX = struct ssl_ctx_st;
using SSL_SESSION = struct ssl_session_st;
using X509_STORE = struct x509_store_st;

// What TLS connections to mail servers trust, and the sessions they may resume, in memory
// only. One OpenSSL context serves every connection; it is made again only when the file of
// trusted certificates changes (its times, size or kind). The system's certificates are
// looked up as a server needs them, not copied into the context. A kept session is one whose
// certificate was verified; a change of the file forgets them all, so that the next check of
// every server verifies afresh against what the file now says.
class TlsTrust final {
public:
    TlsTrust();
    ~TlsTrust();
    TlsTrust(const TlsTrust&) = delete;
    TlsTrust& operator=(const TlsTrust&) = delete;

    // Certificates trusted besides the system's: a PEM file; missing is fine.
    void SetCaFile(const QString& path);
    const QString& CaFile() const { return caFile_; }

    // The context for a new connection, up to date with the file; null when OpenSSL could
    // not make one.
    SSL_CTX* Context();
    // Why the file gave no certificate (or not all), for the error text; as of the last
    // Context.
    const QString& CaProblem() const { return caProblem_; }
    // Whether `der` is one of the file's certificates, as of the last Context. Each of them is
    // an anchor by itself: a server certificate that the user chose to trust, whose issuer is
    // not known, ends its chain (OpenSSL's partial-chain rule, for the file's certificates only).
    bool IsFileCertificate(const QByteArray& der) const { return fileCertificates_.contains(der); }

    // The session kept for `host` and `port`, to offer at the next connection; null if none.
    SSL_SESSION* Kept(const QString& host, quint16 port);
    // Keeps `session` (taking over the reference) of a verified connection to that server.
    void Keep(const QString& host, quint16 port, SSL_SESSION* session);
    // Forgets the session of that server: its handshake failed.
    void Forget(const QString& host, quint16 port);

    // The address family (QAbstractSocket::NetworkLayerProtocol) through which `host` last
    // answered, so that the next connection tries that one alone and a refused port costs
    // one attempt, not one per address; -1 when none is known.
    int Family(const QString& host) const { return families_.value(host, -1); }
    // `family` -1 forgets it: a connection through it failed, so the next tries them all.
    void KeepFamily(const QString& host, int family);

private:
    // What tells one content of the file from another without reading it.
    struct FileState {
        bool exists = false;
        bool isFile = false;
        qint64 size = -1;
        qint64 modified = 0; // ms since the epoch
        qint64 changed = 0;  // the metadata's change: permissions, a replaced link target
        bool operator==(const FileState&) const = default;
    };
    struct FreeContext {
        void operator()(SSL_CTX* context) const;
    };
    using Session = std::shared_ptr<SSL_SESSION>;
    FileState Stat() const;
    void Rebuild(const FileState& state);
    static QString Key(const QString& host, quint16 port);

    QString caFile_;
    bool built_ = false;
    FileState state_;
    std::unique_ptr<SSL_CTX, FreeContext> context_;
    QString caProblem_;
    QSet<QByteArray> fileCertificates_; // DER
    QHash<QString, Session> sessions_;
    QHash<QString, int> families_;
};

// Adds the system's trusted certificates to `store`: where the platform keeps them, looked up
// on demand where it can.
void AddSystemCertificates(X509_STORE* store);
