#include "SocketTransport.h"

#include <QTcpSocket>
#include <QTimer>

SocketTransport::~SocketTransport() {
    Close();
}

void SocketTransport::Connect(const QString& host, quint16 port) {
    Close();
    socket_ = new QTcpSocket(this);
    framer_.Reset();
    QTcpSocket* socket = socket_;
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { OnError(socket); });
    socket->connectToHost(host, port);
}

bool SocketTransport::IsOpen() const {
    return socket_ && socket_->state() != QAbstractSocket::UnconnectedState;
}

int SocketTransport::State() const {
    return socket_ ? int(socket_->state()) : 0;
}

void SocketTransport::Send(const QByteArray& bytes) {
    if (socket_)
        socket_->write(bytes);
}

void SocketTransport::Close() {
    ++generation_;
    framer_.Reset();
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
        if (generation != generation_) { // the session closed or replaced this connection
            emit ArrivalEnded();
            return;
        }
    }
    emit ArrivalEnded();
    if (!fits) {
        Close();
        emit Failed(
            QStringLiteral("Reply too long: no line end within %1 bytes").arg(LineFramer::Limit));
    }
}

void SocketTransport::OnError(QTcpSocket* socket) {
    if (socket != socket_)
        return;
    // Deliver from the event loop: a socket may report a failure from inside connectToHost,
    // that is from inside the session's own step.
    const QString description = socket->errorString();
    const quint64 generation = generation_;
    QTimer::singleShot(0, this, [this, description, generation] {
        if (generation == generation_)
            emit Failed(description);
    });
}
