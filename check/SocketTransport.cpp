#include "SocketTransport.h"

#include "TlsMessages.h"

#include <QSslSocket>
#include <QTimer>

SocketTransport::~SocketTransport() {
    Close();
}

QTcpSocket* SocketTransport::NewSocket(bool tls) {
    Close();
    // Plain POP3 keeps a plain socket: nothing of TLS is loaded for it.
    socket_ = tls ? new QSslSocket(this) : new QTcpSocket(this);
    framer_.Reset();
    handshaking_ = false;
    afterStls_ = false;
    QTcpSocket* socket = socket_;
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { OnError(socket); });
    if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
        connect(ssl, &QSslSocket::connected, this, [this, ssl] {
            if (ssl == socket_ && ssl->mode() == QSslSocket::SslClientMode)
                handshaking_ = true;
        });
        connect(ssl, &QSslSocket::encrypted, this, [this, socket] {
            if (socket != socket_)
                return;
            handshaking_ = false;
            emit Encrypted();
        });
    }
    return socket;
}

QSslConfiguration SocketTransport::TlsConfiguration() {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const CaFileRead read = ReadCaFile(caFile_);
    caProblem_ = read.problem;
    const QList<QSslCertificate>& own = read.certificates;
    if (own.isEmpty())
        return configuration; // the system's store, looked up as needed
    // A list of trusted certificates replaces the system's store: it has to be in the list.
    if (!systemCertificates_)
        systemCertificates_ = QSslConfiguration::systemCaCertificates();
    configuration.setCaCertificates(*systemCertificates_ + own);
    return configuration;
}

void SocketTransport::Connect(const QString& host, quint16 port) {
    NewSocket(false)->connectToHost(host, port);
}

void SocketTransport::ConnectSecure(const QString& host, quint16 port, Security security) {
    auto* ssl = static_cast<QSslSocket*>(NewSocket(true));
    if (security != Security::Tls) {
        ssl->connectToHost(host, port); // in clear until StartTls
        return;
    }
    ssl->setSslConfiguration(TlsConfiguration());
    ssl->connectToHostEncrypted(host, port);
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
    ssl->setSslConfiguration(TlsConfiguration());
    handshaking_ = true;
    afterStls_ = true;
    ssl->startClientEncryption();
}

bool SocketTransport::IsEncrypted() const {
    const auto* ssl = qobject_cast<const QSslSocket*>(socket_);
    return ssl && ssl->isEncrypted();
}

bool SocketTransport::IsOpen() const {
    return socket_ && socket_->state() != QAbstractSocket::UnconnectedState;
}

int SocketTransport::State() const {
    return socket_ ? int(socket_->state()) : 0;
}

void SocketTransport::Send(const QByteArray& bytes) {
    if (!socket_)
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
    if (!socket_)
        return;
    QTcpSocket* socket = std::exchange(socket_, nullptr);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
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
        return socket->errorString();
    const QList<QSslError> errors = ssl->sslHandshakeErrors();
    if (errors.isEmpty())
        return HandshakeFailureText(socket->errorString(), afterStls_);
    const QString host = ssl->peerVerifyName().isEmpty() ? ssl->peerName() : ssl->peerVerifyName();
    return CertificateFailureText(errors, ssl->peerCertificateChain(), host, caFile_, caProblem_);
}

void SocketTransport::OnError(QTcpSocket* socket) {
    if (socket != socket_)
        return;
    // Deliver from the event loop: a socket may report a failure from inside connectToHost,
    // that is from inside the session's own step.
    const QString description = Describe(socket);
    const quint64 generation = generation_;
    QTimer::singleShot(0, this, [this, description, generation] {
        if (generation == generation_)
            emit Failed(description);
    });
}
