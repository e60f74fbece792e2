#include "SocketTransport.h"

#include "TlsMessages.h"

#include <QSslSocket>
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

SocketTransport::SocketTransport(QObject* parent) : Transport(parent), proxy_(MailProxy()) {}

SocketTransport::~SocketTransport() {
    Close();
}

QTcpSocket* SocketTransport::Socket(bool tls) {
    if (tls ? secure_ != nullptr : plain_ != nullptr)
        return tls ? secure_ : plain_;
    // Plain POP3 keeps a plain socket: nothing of TLS is loaded for it.
    QSslSocket* ssl = tls ? (secure_ = new QSslSocket(this)) : nullptr;
    QTcpSocket* socket = ssl ? ssl : (plain_ = new QTcpSocket(this));
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        const InSignal in(inSignal_);
        OnReadyRead(socket);
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        const InSignal in(inSignal_);
        OnError(socket);
    });
    if (!ssl)
        return socket;
    connect(ssl, &QSslSocket::connected, this, [this, ssl] {
        if (ssl == socket_ && ssl->mode() == QSslSocket::SslClientMode)
            handshaking_ = true;
    });
    connect(ssl, &QSslSocket::encrypted, this, [this, ssl] {
        if (ssl != socket_)
            return;
        const InSignal in(inSignal_);
        handshaking_ = false;
        trust_->Keep(host_, port_, *ssl);
        emit Encrypted();
    });
    // This connection's own: the socket's list may still hold a previous connection's.
    connect(ssl, &QSslSocket::sslErrors, this, [this, ssl](const QList<QSslError>& errors) {
        if (ssl == socket_)
            handshakeErrors_ = errors;
    });
    // TLS 1.3 servers hand out their tickets after the handshake.
    connect(ssl, &QSslSocket::newSessionTicketReceived, this, [this, ssl] {
        if (ssl == socket_ && ssl->isEncrypted())
            trust_->Keep(host_, port_, *ssl);
    });
    return socket;
}

void SocketTransport::Open(QTcpSocket* socket, const QString& host, quint16 port,
                           std::function<void()> open) {
    Close();
    socket_ = socket;
    host_ = host;
    port_ = port;
    afterStls_ = false;
    handshakeErrors_.clear();
    lastErrors_.clear();
    lastChain_.clear();
    socket->setProxy(proxy_.type() == QNetworkProxy::NoProxy || Direct(host)
                         ? QNetworkProxy(QNetworkProxy::NoProxy)
                         : proxy_);
    if (inSignal_ == 0) {
        open();
        return;
    }
    opening_ = true;
    QTimer::singleShot(0, this, [this, generation = generation_, open = std::move(open)] {
        if (generation != generation_)
            return;
        opening_ = false;
        open();
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
    QTcpSocket* socket = Socket(false);
    Open(socket, host, port, [socket, host, port] { socket->connectToHost(host, port); });
}

void SocketTransport::ConnectSecure(const QString& host, quint16 port, Security security) {
    auto* ssl = static_cast<QSslSocket*>(Socket(true));
    if (security != Security::Tls) { // in clear until StartTls
        Open(ssl, host, port, [ssl, host, port] { ssl->connectToHost(host, port); });
        return;
    }
    Open(ssl, host, port, [this, ssl, host, port] {
        ssl->setSslConfiguration(trust_->For(host, port));
        ssl->connectToHostEncrypted(host, port);
    });
}

void SocketTransport::StartTls() {
    auto* ssl = qobject_cast<QSslSocket*>(socket_);
    // Whatever came after the server's go-ahead in clear is dropped unread: a man in the
    // middle could have put it there to be taken for a protected reply.
    ++generation_;
    framer_.Reset();
    if (!ssl || ssl->state() != QAbstractSocket::ConnectedState || ssl->isEncrypted()) {
        const quint64 generation = generation_;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == generation_)
                emit Failed(QStringLiteral("TLS handshake failed: the connection is not open"));
        });
        return;
    }
    ssl->setSslConfiguration(trust_->For(host_, port_));
    handshaking_ = true;
    afterStls_ = true;
    handshakeErrors_.clear();
    ssl->startClientEncryption();
}

bool SocketTransport::IsEncrypted() const {
    const auto* ssl = qobject_cast<const QSslSocket*>(socket_);
    return ssl && ssl->isEncrypted();
}

bool SocketTransport::IsOpen() const {
    return opening_ || (socket_ && socket_->state() != QAbstractSocket::UnconnectedState);
}

int SocketTransport::State() const {
    if (opening_)
        return int(QAbstractSocket::HostLookupState);
    return socket_ ? int(socket_->state()) : 0;
}

void SocketTransport::Send(const QByteArray& bytes) {
    if (!socket_ || opening_)
        return;
    socket_->write(bytes);
    // Out now rather than on the event loop's next round, which the socket's write
    // notification would cost for every command.
    socket_->flush();
}

void SocketTransport::Close() {
    ++generation_;
    framer_.Reset();
    handshaking_ = false;
    opening_ = false;
    if (!socket_)
        return;
    // Aborted, the socket drops what it holds unread and reports nothing more of this
    // connection; the guards on socket_ and generation_ ignore whatever was under way.
    std::exchange(socket_, nullptr)->abort();
}

void SocketTransport::OnReadyRead(QTcpSocket* socket) {
    if (socket != socket_)
        return;
    QList<QByteArray> lines;
    const bool fits = framer_.Feed(socket->readAll(), lines);
    const quint64 generation = generation_;
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

QString SocketTransport::Describe(QTcpSocket* socket) const {
    const auto* ssl = qobject_cast<const QSslSocket*>(socket);
    if (!ssl || !handshaking_)
        return SocketFailureText(socket->error(), socket->errorString(), host_, port_);
    if (handshakeErrors_.isEmpty())
        return HandshakeFailureText(socket->errorString(), afterStls_);
    const QString host = ssl->peerVerifyName().isEmpty() ? ssl->peerName() : ssl->peerVerifyName();
    return CertificateFailureText(handshakeErrors_, ssl->peerCertificateChain(), host,
                                  trust_->CaFile(), trust_->CaProblem());
}

void SocketTransport::OnError(QTcpSocket* socket) {
    if (socket != socket_)
        return;
    // A session offered in a handshake that failed is not offered again.
    if (handshaking_)
        trust_->Forget(host_, port_);
    // Deliver from the event loop: a socket may report a failure from inside connectToHost,
    // that is from inside the session's own step.
    const QString description = Describe(socket);
    if (const auto* ssl = qobject_cast<const QSslSocket*>(socket); ssl && handshaking_) {
        lastErrors_ = handshakeErrors_;
        lastChain_ = ssl->peerCertificateChain();
    }
    const quint64 generation = generation_;
    QTimer::singleShot(0, this, [this, description, generation] {
        if (generation == generation_)
            emit Failed(description);
    });
}
