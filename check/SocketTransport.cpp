#include "SocketTransport.h"

#include "TlsMessages.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {
QByteArray Environment(const char* lower, const char* upper) {
    const QByteArray value = qgetenv(lower);
    return value.isEmpty() ? qgetenv(upper) : value;
}

// Mail servers are reached directly: asking the desktop's proxy settings costs a look-up at
// every connection, and a proxy set for the web is not one for mail. A proxy for all traffic
// in the environment (all_proxy, as curl reads it) is used: SOCKS 5, or HTTP with CONNECT.
QNetworkProxy MailProxy() {
    QString text = QString::fromLocal8Bit(Environment("all_proxy", "ALL_PROXY")).trimmed();
    if (text.isEmpty())
        return QNetworkProxy(QNetworkProxy::NoProxy);
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));
    const QUrl url(text);
    const QString scheme = url.scheme().toLower();
    QNetworkProxy::ProxyType type = QNetworkProxy::DefaultProxy;
    if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h") ||
        scheme == QLatin1String("socks"))
        type = QNetworkProxy::Socks5Proxy;
    else if (scheme == QLatin1String("http"))
        type = QNetworkProxy::HttpProxy;
    if (type == QNetworkProxy::DefaultProxy || url.host().isEmpty())
        return QNetworkProxy(QNetworkProxy::DefaultProxy); // Qt's own reading of it
    return QNetworkProxy(type, url.host(), quint16(url.port(1080)), url.userName(), url.password());
}

// no_proxy as curl reads it: "*", or names whose domains are reached directly.
bool Direct(const QString& host) {
    const QString list = QString::fromLocal8Bit(Environment("no_proxy", "NO_PROXY"));
    for (QString entry : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        entry = entry.trimmed().toLower();
        if (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        const QString name = host.toLower();
        if (entry == QLatin1String("*") || name == entry || name.endsWith(QLatin1Char('.') + entry))
            return true;
    }
    return false;
}

// Counts a handler of a socket's signal for as long as it runs.
struct InSignal {
    explicit InSignal(int& depth) : depth_(++depth) {}
    ~InSignal() { --depth_; }
    int& depth_;
};
} // namespace

QNetworkProxy MailProxyFor(const QString& host) {
    const QNetworkProxy proxy = MailProxy();
    return proxy.type() == QNetworkProxy::NoProxy || Direct(host)
               ? QNetworkProxy(QNetworkProxy::NoProxy)
               : proxy;
}

SocketTransport::SocketTransport(QObject* parent) : Transport(parent), proxy_(MailProxy()) {}

SocketTransport::~SocketTransport() {
    Close();
}

QTcpSocket* SocketTransport::Socket() {
    if (tcp_)
        return tcp_;
    tcp_ = new QTcpSocket(this);
    tcp_->setReadBufferSize(ReadLimit); // the socket reads on once this much is taken
    connect(tcp_, &QTcpSocket::readyRead, this, [this] {
        const InSignal in(inSignal_);
        OnReadyRead();
    });
    connect(tcp_, &QTcpSocket::errorOccurred, this, [this] {
        const InSignal in(inSignal_);
        OnError();
    });
    connect(tcp_, &QTcpSocket::connected, this, [this] {
        const InSignal in(inSignal_);
        reached_ = true;
        if (socket_ && socket_->proxy().type() == QNetworkProxy::NoProxy)
            trust_->KeepFamily(host_, int(socket_->peerAddress().protocol()));
        if (socket_ && tlsAtOnce_)
            BeginTls();
    });
    return tcp_;
}

void SocketTransport::Open(const QString& host, quint16 port, bool tls) {
    Close();
    socket_ = Socket();
    host_ = host;
    port_ = port;
    tlsAtOnce_ = tls;
    afterStls_ = false;
    reached_ = false;
    lastErrors_.clear();
    lastChain_.clear();
    socket_->setProxy(proxy_.type() == QNetworkProxy::NoProxy || Direct(host)
                          ? QNetworkProxy(QNetworkProxy::NoProxy)
                          : proxy_);
    // Through the family that answered last, if any: one attempt, not one per address.
    const int family = trust_->Family(host);
    const auto protocol =
        family < 0 ? QAbstractSocket::AnyIPProtocol : QAbstractSocket::NetworkLayerProtocol(family);
    if (inSignal_ == 0) {
        socket_->connectToHost(host, port, QIODevice::ReadWrite, protocol);
        return;
    }
    opening_ = true;
    QTimer::singleShot(0, this, [this, generation = generation_, host, port, protocol] {
        if (generation != generation_)
            return;
        opening_ = false;
        socket_->connectToHost(host, port, QIODevice::ReadWrite, protocol);
    });
}

QString SocketFailureText(QAbstractSocket::SocketError error, const QString& systemText,
                          const QString& host, quint16 port) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("Connection refused by %1 port %2: is the server running, and is "
                              "that its port?")
            .arg(host)
            .arg(port);
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("Host %1 not found: is the mail server's name right, and is this "
                              "computer online?")
            .arg(host);
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::SocketAccessError:
    case QAbstractSocket::SocketResourceError:
    case QAbstractSocket::UnsupportedSocketOperationError:
        return QStringLiteral("%1 (%2 port %3)").arg(systemText, host).arg(port);
    default:
        return systemText; // the connection stood: the server's side of it is what counts
    }
}

void SocketTransport::Connect(const QString& host, quint16 port) {
    Open(host, port, false);
}

void SocketTransport::ConnectSecure(const QString& host, quint16 port, Security security) {
    Open(host, port, security == Security::Tls); // otherwise in clear until StartTls
}

void SocketTransport::BeginTls() {
    tls_ = std::make_unique<TlsLayer>(*trust_, host_, port_);
    handshaking_ = true;
    QByteArray out;
    const TlsLayer::Result result = tls_->Start(out);
    Write(out);
    if (result == TlsLayer::Result::Failed)
        TlsFailed();
}

void SocketTransport::StartTls() {
    // Whatever came after the server's go-ahead in clear is dropped unread: a man in the
    // middle could have put it there to be taken for a protected reply.
    ++generation_;
    framer_.Reset();
    if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState || tls_) {
        Deliver(QStringLiteral("TLS handshake failed: the connection is not open"));
        return;
    }
    afterStls_ = true;
    BeginTls();
}

bool SocketTransport::IsEncrypted() const {
    return tls_ && tls_->IsSecured();
}

bool SocketTransport::IsOpen() const {
    return opening_ || (socket_ && socket_->state() != QAbstractSocket::UnconnectedState);
}

int SocketTransport::State() const {
    if (opening_)
        return int(QAbstractSocket::HostLookupState);
    return socket_ ? int(socket_->state()) : 0;
}

void SocketTransport::Write(const QByteArray& bytes) {
    if (bytes.isEmpty() || !socket_)
        return;
    socket_->write(bytes);
    // Out now rather than on the event loop's next round, which the socket's write
    // notification would cost for every command.
    socket_->flush();
}

void SocketTransport::Send(const QByteArray& bytes) {
    if (!socket_ || opening_)
        return;
    if (!tls_) {
        Write(bytes);
        return;
    }
    QByteArray out;
    if (tls_->Write(bytes, out))
        Write(out);
}

void SocketTransport::Close() {
    ++generation_;
    framer_.Reset();
    handshaking_ = false;
    opening_ = false;
    tls_.reset();
    if (!socket_)
        return;
    // Aborted, the socket drops what it holds unread and reports nothing more of this
    // connection; the guards on socket_ and generation_ ignore whatever was under way.
    std::exchange(socket_, nullptr)->abort();
}

void SocketTransport::OnReadyRead() {
    if (!socket_)
        return;
    QByteArray bytes = socket_->readAll();
    const quint64 generation = generation_;
    if (tls_) {
        QByteArray out;
        QByteArray plain;
        const TlsLayer::Result result = tls_->Feed(bytes, out, plain);
        Write(out);
        if (result == TlsLayer::Result::Failed) {
            TlsFailed();
            return;
        }
        if (result == TlsLayer::Result::Secured) {
            handshaking_ = false;
            emit Encrypted();
            if (generation != generation_)
                return;
        }
        bytes = plain;
        if (bytes.isEmpty()) // only TLS's own records
            return;
    }
    QList<QByteArray> lines;
    const bool fits = framer_.Feed(bytes, lines);
    for (const QByteArray& line : lines) {
        emit LineReceived(line);
        if (generation != generation_) { // the session closed, replaced or secured it
            emit ArrivalEnded();
            return;
        }
    }
    emit ArrivalEnded();
    if (!fits) {
        Close();
        emit Failed(QStringLiteral("Reply too long: no line end within %1 bytes")
                        .arg(framer_.CurrentLimit()));
    }
}

QString SocketTransport::Describe() const {
    if (!tls_ || !handshaking_)
        return SocketFailureText(socket_->error(), socket_->errorString(), host_, port_);
    return HandshakeFailureText(socket_->errorString(), afterStls_);
}

void SocketTransport::Deliver(const QString& failure) {
    // From the event loop: a failure may be found from inside the session's own step.
    QTimer::singleShot(0, this, [this, failure, generation = generation_] {
        if (generation == generation_)
            emit Failed(failure);
    });
}

void SocketTransport::OnError() {
    if (!socket_)
        return;
    // A session offered in a handshake that failed is not offered again.
    if (handshaking_)
        trust_->Forget(host_, port_);
    // Not reached through the family kept: the next connection tries every address again.
    // A refusal is the host's own answer in that family, which stays: a closed port costs
    // one attempt a check, not one per address.
    if (!reached_ && socket_->error() != QAbstractSocket::ConnectionRefusedError)
        trust_->KeepFamily(host_, -1);
    Deliver(Describe());
}

void SocketTransport::TlsFailed() {
    QString failure;
    if (!handshaking_) {
        failure = QStringLiteral("TLS failed: ") + tls_->LibraryText();
    } else if (tls_->CertificateErrors().isEmpty()) {
        failure = HandshakeFailureText(tls_->LibraryText(), afterStls_);
    } else {
        lastErrors_ = tls_->CertificateErrors();
        lastChain_ = tls_->PeerChain();
        failure = CertificateFailureText(lastErrors_, lastChain_, host_, trust_->CaFile(),
                                         trust_->CaProblem());
    }
    if (handshaking_)
        trust_->Forget(host_, port_);
    Close();
    Deliver(failure);
}
