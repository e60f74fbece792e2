#include "TlsLayer.h"

#include "TlsTrust.h"

#include <QHostAddress>
#include <QUrl>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <utility>

namespace {
// Enough to name every problem of any real chain; bounds what a hostile one leaves.
constexpr qsizetype MaxProblems = 32;

QSslError::SslError ErrorOf(int code) {
    switch (code) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        return QSslError::UnableToGetIssuerCertificate;
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        return QSslError::UnableToDecryptCertificateSignature;
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        return QSslError::UnableToDecodeIssuerPublicKey;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return QSslError::CertificateSignatureFailed;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QSslError::CertificateNotYetValid;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QSslError::CertificateExpired;
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        return QSslError::InvalidNotBeforeField;
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return QSslError::InvalidNotAfterField;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return QSslError::SelfSignedCertificate;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QSslError::SelfSignedCertificateInChain;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        return QSslError::UnableToGetLocalIssuerCertificate;
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QSslError::UnableToVerifyFirstCertificate;
    case X509_V_ERR_CERT_REVOKED:
        return QSslError::CertificateRevoked;
    case X509_V_ERR_INVALID_CA:
        return QSslError::InvalidCaCertificate;
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        return QSslError::PathLengthExceeded;
    case X509_V_ERR_INVALID_PURPOSE:
        return QSslError::InvalidPurpose;
    case X509_V_ERR_CERT_UNTRUSTED:
        return QSslError::CertificateUntrusted;
    case X509_V_ERR_CERT_REJECTED:
        return QSslError::CertificateRejected;
    case X509_V_ERR_SUBJECT_ISSUER_MISMATCH:
        return QSslError::SubjectIssuerMismatch;
    case X509_V_ERR_AKID_SKID_MISMATCH:
        return QSslError::AuthorityIssuerSerialNumberMismatch;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QSslError::HostNameMismatch;
    default:
        return QSslError::UnspecifiedError;
    }
}

QByteArray DerOf(X509* certificate) {
    QByteArray der;
    const int size = certificate ? i2d_X509(certificate, nullptr) : 0;
    if (size <= 0)
        return der;
    der.resize(size);
    auto* bytes = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(certificate, &bytes);
    return der;
}
} // namespace

TlsLayer::TlsLayer(TlsTrust& trust, const QString& host, quint16 port)
    : trust_(trust), host_(host), port_(port) {
    SSL_CTX* context = trust.Context();
    if (!context || !(ssl_ = SSL_new(context)))
        return;
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_app_data(ssl_, this);
    SSL_set_connect_state(ssl_);
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl_);
    QString bare = host;
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    if (const QHostAddress address(bare); !address.isNull()) {
        X509_VERIFY_PARAM_set1_ip_asc(check, address.toString().toLatin1().constData());
    } else {
        QByteArray name = QUrl::toAce(bare);
        if (name.isEmpty())
            name = bare.toUtf8();
        SSL_set_tlsext_host_name(ssl_, name.constData());
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(check, name.constData(), size_t(name.size()));
    }
    if (SSL_SESSION* kept = trust.Kept(host, port))
        SSL_set_session(ssl_, kept);
}

TlsLayer::~TlsLayer() {
    // A verified connection that the session ends is ended cleanly: OpenSSL would take its
    // session for a broken one, not to be resumed.
    if (ssl_ && secured_ && !failed_)
        SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_SESSION_free(held_);
    SSL_free(ssl_); // and its two BIOs
}

void TlsLayer::HoldSessions(bool hold) {
    holding_ = hold;
    if (!hold && held_)
        trust_.Keep(host_, port_, std::exchange(held_, nullptr));
}

int TlsLayer::OnVerify(int ok, X509_STORE_CTX* context) {
    auto* ssl = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* layer = ssl ? static_cast<TlsLayer*>(SSL_get_app_data(ssl)) : nullptr;
    if (ok) {
        // The last call is the success at the server's own certificate (depth 0), after
        // every other check: with a problem gathered before it, the handshake ends here, with
        // the alert that names the first problem, so that no session with an unverified server
        // ever exists.
        if (!layer || layer->problems_.isEmpty() || X509_STORE_CTX_get_error_depth(context) != 0)
            return 1;
        X509_STORE_CTX_set_error(context, layer->problems_.first().error);
        return 0;
    }
    if (!layer)
        return 0;
    const int error = X509_STORE_CTX_get_error(context);
    X509* current = X509_STORE_CTX_get_current_cert(context);
    if ((error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
         error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE) &&
        layer->trust_.IsFileCertificate(DerOf(current))) {
        // The top of the chain is in the user's file: an anchor by itself.
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    }
    // Every problem of the chain is gathered for the error text: verification goes on to the
    // last certificate, and the handshake fails there.
    if (layer->problems_.size() < MaxProblems)
        layer->problems_.append(
            {X509_STORE_CTX_get_error(context), DerOf(X509_STORE_CTX_get_current_cert(context))});
    return 1;
}

int TlsLayer::OnNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* layer = static_cast<TlsLayer*>(SSL_get_app_data(ssl));
    if (!layer || layer->failed_ || !layer->problems_.isEmpty() ||
        SSL_get_verify_result(ssl) != X509_V_OK)
        return 0;
    if (layer->holding_)
        SSL_SESSION_free(std::exchange(layer->held_, session));
    else
        layer->trust_.Keep(layer->host_, layer->port_, session);
    return 1; // the reference is the trust's now
}

TlsLayer::Result TlsLayer::Start(QByteArray& toNetwork) {
    QByteArray plain;
    return Advance(toNetwork, plain);
}

TlsLayer::Result TlsLayer::Feed(const QByteArray& fromNetwork, QByteArray& toNetwork,
                                QByteArray& plain) {
    if (failed_ || !ssl_)
        return Result::Failed;
    if (!fromNetwork.isEmpty() &&
        BIO_write(in_, fromNetwork.constData(), int(fromNetwork.size())) != fromNetwork.size())
        return Fail();
    return Advance(toNetwork, plain);
}

TlsLayer::Result TlsLayer::Advance(QByteArray& toNetwork, QByteArray& plain) {
    if (failed_)
        return Result::Failed;
    if (!ssl_) {
        libraryText_ = QStringLiteral("TLS is not available");
        return Fail();
    }
    ERR_clear_error();
    Result result = Result::Going;
    if (!secured_) {
        const int done = SSL_do_handshake(ssl_);
        Drain(toNetwork); // the next flight, or the alert of a failure
        if (done != 1) {
            const int code = SSL_get_error(ssl_, done);
            return code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE ? Result::Going
                                                                               : Fail(code);
        }
        if (!problems_.isEmpty())
            return Fail();
        secured_ = true;
        result = Result::Secured;
    }
    char buffer[16384];
    for (;;) {
        const int read = SSL_read(ssl_, buffer, int(sizeof buffer));
        if (read > 0) {
            plain.append(buffer, read);
            continue;
        }
        const int code = SSL_get_error(ssl_, read);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE ||
            code == SSL_ERROR_ZERO_RETURN) // the server's close: the socket's end follows
            break;
        Drain(toNetwork);
        return Fail(code);
    }
    Drain(toNetwork); // answers after the handshake, such as to a key update
    return result;
}

bool TlsLayer::Write(const QByteArray& plain, QByteArray& toNetwork) {
    if (!secured_ || failed_)
        return false;
    ERR_clear_error();
    if (!plain.isEmpty() && SSL_write(ssl_, plain.constData(), int(plain.size())) <= 0) {
        Fail();
        return false;
    }
    Drain(toNetwork);
    return true;
}

void TlsLayer::Drain(QByteArray& toNetwork) {
    for (size_t pending; (pending = BIO_ctrl_pending(out_)) > 0;) {
        const qsizetype at = toNetwork.size();
        toNetwork.resize(at + qsizetype(pending));
        const int read = BIO_read(out_, toNetwork.data() + at, int(pending));
        toNetwork.resize(at + qMax(read, 0));
        if (read <= 0)
            break;
    }
}

TlsLayer::Result TlsLayer::Fail(int code) {
    failed_ = true;
    if (const unsigned long error = ERR_peek_last_error(); error != 0) {
        const char* reason = ERR_reason_error_string(error);
        char text[256];
        ERR_error_string_n(error, text, sizeof text);
        libraryText_ = QString::fromLatin1(reason ? reason : text);
    } else if (libraryText_.isEmpty()) {
        libraryText_ = code == SSL_ERROR_SYSCALL || code == SSL_ERROR_ZERO_RETURN
                           ? QStringLiteral("The remote host closed the connection")
                           : QStringLiteral("unknown error %1").arg(code);
    }
    ERR_clear_error();
    for (const Problem& problem : std::as_const(problems_))
        errors_.append(
            QSslError(ErrorOf(problem.error), QSslCertificate(problem.certificate, QSsl::Der)));
    return Result::Failed;
}

QList<QSslCertificate> TlsLayer::PeerChain() const {
    QList<QSslCertificate> chain;
    const STACK_OF(X509)* sent = ssl_ ? SSL_get_peer_cert_chain(ssl_) : nullptr;
    for (int i = 0; sent && i < sk_X509_num(sent); ++i)
        chain.append(QSslCertificate(DerOf(sk_X509_value(sent, i)), QSsl::Der));
    return chain;
}
