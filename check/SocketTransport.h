#pragma once

#include "LineFramer.h"
#include "Transport.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <optional>

class QTcpSocket;

// The session's connection over a QTcpSocket, or a QSslSocket when TLS is wanted. Each
// connect gets a socket of its own, and a closed socket is cut off at once, so nothing a
// previous server sends reaches the session.
class SocketTransport final : public Transport {
    Q_OBJECT
public:
    using Transport::Transport;
    ~SocketTransport() override;

    // Certificates trusted besides the system's: a PEM file, read afresh for every TLS
    // connection so that an edit takes effect at the next check. Missing is fine.
    void SetCaFile(const QString& path) { caFile_ = path; }

    void Connect(const QString& host, quint16 port) override;
    void ConnectSecure(const QString& host, quint16 port, Security security) override;
    void StartTls() override;
    bool IsEncrypted() const override;
    bool IsOpen() const override;
    void Send(const QByteArray& bytes) override;
    void SetLineLimit(qsizetype bytes) override { framer_.SetLimit(bytes); }
    void Close() override;
    int State() const override; // QAbstractSocket::SocketState, 0 when none

private:
    // What a TLS connection of this transport trusts and accepts: the system's certificates
    // and those of the CA file, TLS 1.2 or later, the peer always verified.
    QSslConfiguration TlsConfiguration();
    QTcpSocket* NewSocket(bool tls);
    void OnReadyRead(QTcpSocket* socket);
    void OnError(QTcpSocket* socket);
    QString Describe(QTcpSocket* socket) const;

    QTcpSocket* socket_ = nullptr;
    LineFramer framer_;
    quint64 generation_ = 0;
    QString caFile_;
    QString caProblem_; // why the CA file gave no certificate, for the error text
    bool handshaking_ = false;
    bool afterStls_ = false; // the handshake follows the server's go-ahead to STLS
    // The system's certificates, loaded the first time a CA file is to be added to them.
    std::optional<QList<QSslCertificate>> systemCertificates_;
};
