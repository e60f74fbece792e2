#pragma once

#include "Dozer.h"
#include "LineFramer.h"
#include "TlsLayer.h"
#include "TlsTrust.h"
#include "Transport.h"

#include <QAbstractSocket>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslError>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

// The proxy that a connection to `host` goes through: the environment's all_proxy, unless
// no_proxy names the host; else none. Mail and the token requests of a sign-in alike.
QNetworkProxy MailProxyFor(const QString& host);

class QTcpSocket;

// What a socket failure outside TLS tells the user: the host and the port that were tried,
// with the likely cause where the error says it; otherwise the system's own words.
QString SocketFailureText(QAbstractSocket::SocketError error, const QString& systemText,
                          const QString& host, quint16 port);

// The session's connection over a QTcpSocket, with TLS on top of it when wanted. The socket is
// made once and used again for the next connection; a closed connection is cut off at once
// (aborted, its unread bytes dropped, its late events ignored), so nothing a previous server
// sent reaches the session.
class SocketTransport final : public Transport {
    Q_OBJECT
public:
    // The most read from the connection in one turn of the event loop: a server that sends
    // without pause is taken in pieces, between which timers and other connections get
    // their turn, and what waits stays in the system's buffers, not in ours.
    static constexpr qint64 ReadLimit = 64 * 1024;

    explicit SocketTransport(QObject* parent = nullptr);
    ~SocketTransport() override;

    // Certificates trusted besides the system's: a PEM file, looked at for every TLS
    // connection and read again when it changed, so that an edit takes effect at the next
    // check. Missing is fine.
    void SetCaFile(const QString& path) { trust_->SetCaFile(path); }
    // Transports of one program may share their trust and kept sessions.
    void ShareTrust(std::shared_ptr<TlsTrust> trust) { trust_ = std::move(trust); }
    const std::shared_ptr<TlsTrust>& Trust() const { return trust_; }
    // Where connections waiting for news doze; without one they are read by the event loop.
    void ShareDozer(std::shared_ptr<Dozer> dozer) { dozer_ = std::move(dozer); }

    void Connect(const QString& host, quint16 port) override;
    void ConnectSecure(const QString& host, quint16 port, Security security) override;
    void StartTls() override;
    bool IsEncrypted() const override;
    bool IsOpen() const override;
    void Send(const QByteArray& bytes) override;
    void SetLineLimit(qsizetype bytes) override { framer_.SetLimit(bytes); }
    void Close() override;
    bool Doze(qint64 silenceMs, Dozer::Quiet quiet) override;
    int State() const override; // QAbstractSocket::SocketState, 0 when none

    // The certificate errors and the chain of the last handshake that failed on the
    // certificate; empty after a connection that did not.
    const QList<QSslError>& LastCertificateErrors() const { return lastErrors_; }
    const QList<QSslCertificate>& LastPeerChain() const { return lastChain_; }

private:
    QTcpSocket* Socket();
    // Opens a connection with the socket, TLS at once if `tls`; from the event loop when
    // called from within one of the socket's own signals, which must not see it reconnected.
    void Open(const QString& host, quint16 port, bool tls);
    void BeginTls();
    void OnReadyRead();
    // Frames plain text that came and hands the lines on; a doze asked for begins after it.
    void Arrive(const QByteArray& plain);
    void BeginDoze();
    // Takes the connection back from the dozer; the socket reads it again.
    std::optional<Dozer::Returned> TakeBack();
    // What came while it dozed, to the session.
    void Resume(const Dozer::Returned& back);
    // Before anything is sent or closed: a doze ends, and what came meanwhile follows from
    // the event loop.
    void Rouse();
    void OnError();
    // Ends the connection whose TLS failed, and reports why.
    void TlsFailed();
    void Deliver(const QString& failure);
    void Write(const QByteArray& bytes);
    QString Describe() const;

    std::shared_ptr<TlsTrust> trust_ = std::make_shared<TlsTrust>();
    QNetworkProxy proxy_;
    QTcpSocket* tcp_ = nullptr;
    QTcpSocket* socket_ = nullptr; // tcp_ while a connection is on, or none
    std::unique_ptr<TlsLayer> tls_;
    std::shared_ptr<Dozer> dozer_;
    struct DozeWish {
        qint64 silenceMs = 0;
        Dozer::Quiet quiet = nullptr;
    };
    std::optional<DozeWish> dozeWish_; // to begin when this arrival has been handed on
    quint64 dozeId_ = 0;               // the dozer's, while it reads the connection
    quint64 dozeSerial_ = 0;           // tells a doze's end from an earlier one's
    QTimer silence_;                   // the silence of a doze that could not begin
    bool arriving_ = false;
    LineFramer framer_;
    quint64 generation_ = 0;
    QList<QSslError> lastErrors_;
    QList<QSslCertificate> lastChain_;
    QString host_; // where the socket was sent, for the failure texts
    quint16 port_ = 0;
    int inSignal_ = 0;     // depth of the socket's signals being handled
    bool opening_ = false; // a connection waits for the event loop to be opened
    bool tlsAtOnce_ = false;
    bool handshaking_ = false;
    bool afterStls_ = false; // the handshake follows the server's go-ahead to STLS
    bool reached_ = false;   // the connection was made
};
