#pragma once

#include "Dozer.h"
#include "ServerAddress.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

// The one connection of the check session, as the session sees it: whole reply lines in,
// command lines out. Events of a connection that was closed or replaced are never delivered.
// The lines of one arrival (one read from the connection) come one by one, then
// `ArrivalEnded`: a server that writes a reply and more in one go is told apart from one
// that answers each command on its own.
class Transport : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void Connect(const QString& host, quint16 port) = 0;
    // Connects for TLS, which the server's certificate must be valid for `host`: `Tls`
    // begins it at once, `StartTls` when StartTls() is called.
    virtual void ConnectSecure(const QString& host, quint16 port, Security security) = 0;
    // Turns the open connection into TLS, verified against the host it was opened to. Lines
    // received before, but not yet delivered, are dropped: they were not protected.
    virtual void StartTls() = 0;
    virtual bool IsEncrypted() const = 0;
    virtual bool IsOpen() const = 0; // anything but fully closed
    // The connection's state as a number for the trace: 0 when closed.
    virtual int State() const { return IsOpen() ? 1 : 0; }
    virtual void Send(const QByteArray& bytes) = 0;
    // The longest line taken; a longer one fails the connection.
    virtual void SetLineLimit(qsizetype bytes) { Q_UNUSED(bytes) }
    virtual void Close() = 0;
    // While the session waits for news: lines that `quiet` takes for ones that change nothing
    // may be taken without waking the program, and are counted. It ends with `Woke`: at any
    // other line (delivered after it), after `silenceMs` without a byte, or when the session
    // sends or closes. False when this transport cannot; the session times the silence then.
    virtual bool Doze(qint64 silenceMs, Dozer::Quiet quiet) {
        Q_UNUSED(silenceMs)
        Q_UNUSED(quiet)
        return false;
    }

signals:
    void LineReceived(const QByteArray& line);
    void ArrivalEnded();
    void Failed(const QString& description);
    // The TLS handshake is complete and the certificate verified.
    void Encrypted();
    void Woke(const DozeReport& report);
};

// Makes a connection of its own for a session that needs one.
using TransportFactory = std::function<std::unique_ptr<Transport>()>;
