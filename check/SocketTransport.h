#pragma once

#include "LineFramer.h"
#include "Transport.h"

class QTcpSocket;

// The session's connection over a QTcpSocket. Each connect gets a socket of its own, and a
// closed socket is cut off at once, so nothing a previous server sends reaches the session.
class SocketTransport final : public Transport {
    Q_OBJECT
public:
    using Transport::Transport;
    ~SocketTransport() override;

    void Connect(const QString& host, quint16 port) override;
    bool IsOpen() const override;
    void Send(const QByteArray& bytes) override;
    void Close() override;
    int State() const override; // QAbstractSocket::SocketState, 0 when none

private:
    void OnReadyRead(QTcpSocket* socket);
    void OnError(QTcpSocket* socket);

    QTcpSocket* socket_ = nullptr;
    LineFramer framer_;
    quint64 generation_ = 0;
};
