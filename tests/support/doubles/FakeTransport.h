#pragma once

#include "check/Transport.h"

#include <QStringList>

// A connection that records what the session does with it; the test plays the server.
class FakeTransport final : public Transport {
    Q_OBJECT
public:
    using Transport::Transport;

    void Connect(const QString& host, quint16 port) override;
    void ConnectSecure(const QString& host, quint16 port, Security security) override;
    void StartTls() override;
    bool IsEncrypted() const override { return encrypted; }
    bool IsOpen() const override { return open; }
    void Send(const QByteArray& bytes) override;
    void Close() override;

    // The server's side: a reply line (its line end added when missing) or a failure.
    void Reply(const QByteArray& line);
    // Several lines read in one go, each with its line end as given.
    void ReplyInOneArrival(const QList<QByteArray>& lines);
    void Fail(const QString& description) { emit Failed(description); }
    // The TLS handshake the session asked for has completed.
    void Secure() {
        encrypted = true;
        emit Encrypted();
    }

    bool open = false;
    bool encrypted = false;
    QStringList log; // "connect host:port", "connect pop3s host:port", "starttls",
                     // "send USER bob", "close"
    QList<QByteArray> sent;
};
