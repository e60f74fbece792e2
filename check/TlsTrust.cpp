#include "TlsTrust.h"

#include "TlsLayer.h"
#include "TlsMessages.h"

#include <QFileInfo>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {
// Far more servers than anyone checks; bounds what a changing list of servers leaves behind.
constexpr qsizetype MaxSessions = 256;
} // namespace

void TlsTrust::FreeContext::operator()(SSL_CTX* context) const {
    SSL_CTX_free(context);
}

TlsTrust::TlsTrust() = default;
TlsTrust::~TlsTrust() = default;

void TlsTrust::SetCaFile(const QString& path) {
    if (path == caFile_)
        return;
    caFile_ = path;
    built_ = false;
}

TlsTrust::FileState TlsTrust::Stat() const {
    FileState state;
    if (caFile_.isEmpty())
        return state;
    const QFileInfo info(caFile_); // fresh: QFileInfo caches what it read
    state.exists = info.exists() || info.isSymLink();
    state.isFile = info.isFile();
    state.size = info.size();
    state.modified = info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    state.changed = info.fileTime(QFileDevice::FileMetadataChangeTime).toMSecsSinceEpoch();
    return state;
}

void TlsTrust::Rebuild(const FileState& state) {
    built_ = true;
    state_ = state;
    sessions_.clear(); // verified against what the file said before
    context_.reset(SSL_CTX_new(TLS_client_method()));
    const CaFileRead read = ReadCaFile(caFile_);
    caProblem_ = read.problem;
    fileCertificates_.clear();
    if (!context_)
        return;
    SSL_CTX* context = context_.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &TlsLayer::OnVerify);
    // Sessions are kept per server by the connections, not in OpenSSL's own cache.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
    SSL_CTX_sess_set_new_cb(context, &TlsLayer::OnNewSession);
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    AddSystemCertificates(store);
    // Each certificate on its own: one that OpenSSL cannot take leaves the others trusted.
    for (const QSslCertificate& certificate : read.certificates) {
        const QByteArray der = certificate.toDer();
        fileCertificates_.insert(der);
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
        if (X509* x509 = d2i_X509(nullptr, &bytes, long(der.size()))) {
            X509_STORE_add_cert(store, x509);
            X509_free(x509);
        }
    }
}

SSL_CTX* TlsTrust::Context() {
    const FileState state = Stat();
    if (!built_ || !(state == state_))
        Rebuild(state);
    return context_.get();
}

SSL_SESSION* TlsTrust::Kept(const QString& host, quint16 port) {
    const auto kept = sessions_.constFind(Key(host, port));
    if (kept == sessions_.cend())
        return nullptr;
    // A session outlives no certificate.
    X509* peer = SSL_SESSION_get0_peer(kept->get());
    if (!SSL_SESSION_is_resumable(kept->get()) || !peer ||
        X509_cmp_current_time(X509_get0_notAfter(peer)) <= 0) {
        sessions_.erase(kept);
        return nullptr;
    }
    return kept->get();
}

void TlsTrust::Keep(const QString& host, quint16 port, SSL_SESSION* session) {
    Session kept(session, SSL_SESSION_free);
    if (!SSL_SESSION_get0_peer(session))
        return;
    if (sessions_.size() >= MaxSessions && !sessions_.contains(Key(host, port)))
        sessions_.clear();
    sessions_.insert(Key(host, port), std::move(kept));
}

void TlsTrust::KeepFamily(const QString& host, int family) {
    if (family < 0) {
        families_.remove(host);
        return;
    }
    if (families_.size() >= MaxSessions && !families_.contains(host))
        families_.clear(); // bounded, like the sessions
    families_.insert(host, family);
}

void TlsTrust::Forget(const QString& host, quint16 port) {
    sessions_.remove(Key(host, port));
}

QString TlsTrust::Key(const QString& host, quint16 port) {
    return host.toLower() + QLatin1Char(' ') + QString::number(port);
}
