#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;

// What the server does on one connection, step by step. After the last step the connection
// stays open and silent until the client closes it.
class ServerScript final {
public:
    enum class Kind { Send, Pause, Await, Cue, Drop, Flood, StartTls };
    struct Step {
        Kind kind = Kind::Send;
        QByteArray bytes;      // Send: what to write; Flood: the filler
        qint64 amount = 0;     // Pause: milliseconds; Flood: the most bytes to send
        bool numbered = false; // Flood: "%1" in the filler is a number counting up
    };

    // Writes `bytes` as they are.
    ServerScript& Send(const QByteArray& bytes);
    // Writes `pieces` one after the other with `gapMs` between them.
    ServerScript& SendInPieces(const QList<QByteArray>& pieces, int gapMs = 50);
    ServerScript& Pause(int ms);
    // Waits for the client's next command line.
    ServerScript& Await();
    // Waits for the test's ScriptedServer::Cue.
    ServerScript& WaitForCue();
    // Closes the connection (orderly, after what was written).
    ServerScript& Drop();
    // Sends `filler` over and over without a line end, until `maxBytes` are out or the client
    // has closed.
    ServerScript& Flood(qint64 maxBytes = 64 << 20, const QByteArray& filler = "x");
    // A flood of lines that all differ: each "%1" in `filler` is the line's number.
    ServerScript& FloodNumbered(qint64 maxBytes, const QByteArray& filler);
    // Turns the connection into TLS with the server's certificate and goes on once the
    // handshake is complete; first in a script, TLS from the first byte.
    ServerScript& StartTls();

    QList<Step> steps;
};

// Greets with the first reply, then answers each command line with the next one.
inline ServerScript Conversation(const QList<QByteArray>& replies) {
    ServerScript script;
    for (qsizetype i = 0; i < replies.size(); ++i) {
        if (i > 0)
            script.Await();
        script.Send(replies.at(i));
    }
    return script;
}

// An in-process POP3 server on 127.0.0.1 or another loopback address (a port of the system's
// choice) that plays one
// queued script per incoming connection, in order, and records what the client sent. It
// closes every connection when it is destroyed.
class ScriptedServer final : public QObject {
public:
    explicit ScriptedServer(QObject* parent = nullptr,
                            const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));
    ~ScriptedServer() override;

    bool IsListening() const;
    quint16 Port() const;

    // The script of the next connection that comes in; connections beyond the queued
    // scripts stay silent.
    void Queue(const ServerScript& script);
    // The certificate (PEM) and key that StartTls steps present.
    bool SetCertificate(const QString& certificateFile, const QString& keyFile);

    int Connections() const { return int(connections_.size()); }
    // Lets `connection` go on past its WaitForCue step.
    void Cue(int connection);
    // The command lines received on `connection`, with their line ends (after StartTls, as
    // decrypted).
    QList<QByteArray> Received(int connection) const;
    // The connection has ended, from either side.
    bool Closed(int connection) const;
    // Every step of the connection's script has been played.
    bool Finished(int connection) const;
    qint64 BytesSent(int connection) const;
    // A flood on the connection stopped because the client closed, not at its limit.
    bool FloodCutShort(int connection) const;
    // A TLS handshake on the connection was completed.
    bool Encrypted(int connection) const;
    // What the connection's socket said when it failed ("... tlsv1 alert unknown ca").
    QString SocketError(int connection) const;

private:
    struct Connection;
    void OnNewConnection();
    void Advance(Connection& c);
    void OnReadyRead(Connection& c);
    void OnClosed(Connection& c);
    void FeedFlood(Connection& c);
    const Connection* At(int connection) const;

    QTcpServer* server_ = nullptr;
    QSslConfiguration tls_;
    QList<ServerScript> queued_;
    std::vector<std::unique_ptr<Connection>> connections_;
};
