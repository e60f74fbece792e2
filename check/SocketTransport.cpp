#include "SocketTransport.h"

#include "TlsMessages.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <climits>

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

SocketTransport::SocketTransport(QObject* parent) : Transport(parent), proxy_(MailProxy()) {
    silence_.setSingleShot(true);
    silence_.setTimerType(Qt::VeryCoarseTimer);
    connect(&silence_, &QTimer::timeout, this, [this] {
        DozeReport report;
        report.silent = true;
        emit Woke(report);
    });
}

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
    Rouse();
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
    return opening_ || dozeId_ != 0 ||
           (socket_ && socket_->state() != QAbstractSocket::UnconnectedState);
}

int SocketTransport::State() const {
    if (opening_)
        return int(QAbstractSocket::HostLookupState);
    if (dozeId_ != 0)
        return int(QAbstractSocket::ConnectedState);
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
    Rouse();
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
    dozeWish_.reset();
    silence_.stop();
    if (dozeId_ != 0) {
        const Dozer::Returned back = dozer_->GiveBack(std::exchange(dozeId_, 0));
        Dozer::Release(back.fd);
        if (tls_)
            tls_->HoldSessions(false);
    }
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
    if (tls_) {
        const quint64 generation = generation_;
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
    Arrive(bytes);
}

void SocketTransport::Arrive(const QByteArray& plain) {
    const quint64 generation = generation_;
    const bool outer = !std::exchange(arriving_, true);
    QList<QByteArray> lines;
    const bool fits = framer_.Feed(plain, lines);
    for (const QByteArray& line : lines) {
        emit LineReceived(line);
        if (generation != generation_) { // the session closed, replaced or secured it
            emit ArrivalEnded();
            if (outer)
                arriving_ = false;
            return;
        }
    }
    emit ArrivalEnded();
    if (outer)
        arriving_ = false;
    if (!fits) {
        Close();
        emit Failed(QStringLiteral("Reply too long: no line end within %1 bytes")
                        .arg(framer_.CurrentLimit()));
        return;
    }
    if (outer && generation == generation_)
        BeginDoze();
}

bool SocketTransport::Doze(qint64 silenceMs, Dozer::Quiet quiet) {
    if (dozeId_ != 0)
        return true; // its silence is timed already
    if (!dozer_ || !Dozer::Available() || !socket_ || opening_ || handshaking_ ||
        socket_->state() != QAbstractSocket::ConnectedState ||
        socket_->proxy().type() != QNetworkProxy::NoProxy)
        return false;
    dozeWish_ = DozeWish{silenceMs, quiet};
    if (arriving_)
        return true; // begins once the lines of this arrival are handed on
    if (inSignal_ == 0) {
        BeginDoze();
        return true;
    }
    QTimer::singleShot(0, this, [this, generation = generation_] {
        if (generation == generation_)
            BeginDoze();
    });
    return true;
}

void SocketTransport::BeginDoze() {
    if (!dozeWish_)
        return;
    const DozeWish wish = *std::exchange(dozeWish_, std::nullopt);
    silence_.stop();
    // Only a connection with nothing under way: nothing unread, nothing still to write.
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState && !handshaking_ &&
        socket_->bytesAvailable() == 0 && socket_->bytesToWrite() == 0) {
        if (tls_)
            tls_->HoldSessions(true);
        Dozer::Watch watch;
        watch.socket = socket_->socketDescriptor();
        watch.tls = tls_.get();
        watch.pending = framer_.PendingBytes();
        watch.silenceMs = wish.silenceMs;
        watch.lineLimit = framer_.CurrentLimit();
        watch.quiet = wish.quiet;
        const quint64 serial = ++dozeSerial_;
        // On the dozer's thread, while this transport cannot be gone: it gives the
        // connection back before it goes.
        watch.ended = [this, serial] {
            QMetaObject::invokeMethod(
                this,
                [this, serial] {
                    if (serial != dozeSerial_ || dozeId_ == 0)
                        return;
                    if (const std::optional<Dozer::Returned> back = TakeBack())
                        Resume(*back);
                },
                Qt::QueuedConnection);
        };
        dozeId_ = dozer_->Take(std::move(watch));
        if (dozeId_ != 0) {
            framer_.Reset();
            // The socket lets its descriptor go; the connection stays open on the dozer's.
            socket_->abort();
            return;
        }
        if (tls_)
            tls_->HoldSessions(false);
    }
    silence_.start(int(std::min(wish.silenceMs, qint64(INT_MAX))));
}

std::optional<Dozer::Returned> SocketTransport::TakeBack() {
    if (dozeId_ == 0)
        return std::nullopt;
    Dozer::Returned back = dozer_->GiveBack(std::exchange(dozeId_, 0));
    if (tls_)
        tls_->HoldSessions(false);
    if (back.fd < 0 || !socket_->setSocketDescriptor(back.fd, QAbstractSocket::ConnectedState,
                                                     QIODevice::ReadWrite)) {
        Dozer::Release(back.fd);
        const QString failure =
            QStringLiteral("Connection lost (%1 port %2)").arg(host_).arg(port_);
        Close();
        Deliver(failure);
        return std::nullopt;
    }
    Write(back.toNetwork);
    return back;
}

void SocketTransport::Resume(const Dozer::Returned& back) {
    const InSignal in(inSignal_);
    const quint64 generation = generation_;
    emit Woke(back.report);
    if (generation != generation_)
        return;
    if (back.tlsFailed) {
        TlsFailed();
        return;
    }
    Arrive(back.plain);
}

void SocketTransport::Rouse() {
    dozeWish_.reset();
    silence_.stop();
    if (dozeId_ == 0)
        return;
    if (std::optional<Dozer::Returned> back = TakeBack())
        QTimer::singleShot(0, this, [this, back = std::move(*back), generation = generation_] {
            if (generation == generation_)
                Resume(back);
        });
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
