#include "support/peers/ScriptedServer.h"

#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

namespace {
constexpr qsizetype FloodChunk = 64 * 1024;

// Hands out QSslSockets, which speak in clear until a script starts TLS.
class TlsCapableServer final : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};
} // namespace

ServerScript& ServerScript::Send(const QByteArray& bytes) {
    steps.append({Kind::Send, bytes, 0});
    return *this;
}

ServerScript& ServerScript::SendInPieces(const QList<QByteArray>& pieces, int gapMs) {
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            Pause(gapMs);
        Send(pieces.at(i));
    }
    return *this;
}

ServerScript& ServerScript::Pause(int ms) {
    steps.append({Kind::Pause, QByteArray(), ms});
    return *this;
}

ServerScript& ServerScript::Await() {
    steps.append({Kind::Await, QByteArray(), 0});
    return *this;
}

ServerScript& ServerScript::WaitForCue() {
    steps.append({Kind::Cue, QByteArray(), 0});
    return *this;
}

ServerScript& ServerScript::Drop() {
    steps.append({Kind::Drop, QByteArray(), 0});
    return *this;
}

ServerScript& ServerScript::StartTls() {
    steps.append({Kind::StartTls, QByteArray(), 0});
    return *this;
}

ServerScript& ServerScript::Flood(qint64 maxBytes, const QByteArray& filler) {
    steps.append({Kind::Flood, filler.isEmpty() ? QByteArray("x") : filler, maxBytes});
    return *this;
}

ServerScript& ServerScript::FloodNumbered(qint64 maxBytes, const QByteArray& filler) {
    steps.append({Kind::Flood, filler, maxBytes, true});
    return *this;
}

struct ScriptedServer::Connection {
    QSslSocket* socket = nullptr;
    QList<ServerScript::Step> steps;
    qsizetype next = 0;         // the step to play next
    bool waiting = false;       // in a pause or a flood
    QByteArray partial;         // the start of a command line
    QList<QByteArray> received; // whole command lines
    qsizetype consumed = 0;     // lines taken by Await steps
    int cues = 0;               // given by the test, not yet taken by WaitForCue steps
    qint64 sent = 0;
    bool closed = false;
    QTimer pause;
    bool flooding = false;
    QByteArray chunk;
    qint64 floodLeft = 0;
    bool floodCut = false;
    const QByteArray* numbered = nullptr; // the filler of a numbered flood
    qint64 number = 0;
    bool encrypted = false; // a TLS handshake was completed
    QString error;          // what the socket said when it failed
};

ScriptedServer::ScriptedServer(QObject* parent, const QHostAddress& address)
    : QObject(parent), server_(new TlsCapableServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &ScriptedServer::OnNewConnection);
    server_->listen(address, 0);
}

bool ScriptedServer::SetCertificate(const QString& certificateFile, const QString& keyFile) {
    QFile keyText(keyFile);
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificateFile);
    if (chain.isEmpty() || !keyText.open(QIODevice::ReadOnly))
        return false;
    const QSslKey key(&keyText, QSsl::Ec);
    if (key.isNull())
        return false;
    tls_ = QSslConfiguration::defaultConfiguration();
    tls_.setLocalCertificateChain(chain);
    tls_.setPrivateKey(key);
    tls_.setPeerVerifyMode(QSslSocket::VerifyNone);
    return true;
}

ScriptedServer::~ScriptedServer() {
    for (const auto& c : connections_) {
        c->pause.stop();
        QObject::disconnect(c->socket, nullptr, this, nullptr);
        c->socket->abort();
    }
    server_->close();
}

bool ScriptedServer::IsListening() const {
    return server_->isListening();
}

quint16 ScriptedServer::Port() const {
    return server_->serverPort();
}

void ScriptedServer::Queue(const ServerScript& script) {
    queued_.append(script);
}

const ScriptedServer::Connection* ScriptedServer::At(int connection) const {
    return connection >= 0 && connection < Connections() ? connections_.at(connection).get()
                                                         : nullptr;
}

QList<QByteArray> ScriptedServer::Received(int connection) const {
    const Connection* c = At(connection);
    return c ? c->received : QList<QByteArray>();
}

bool ScriptedServer::Closed(int connection) const {
    const Connection* c = At(connection);
    return c && c->closed;
}

bool ScriptedServer::Finished(int connection) const {
    const Connection* c = At(connection);
    return c && !c->waiting && c->next >= c->steps.size();
}

qint64 ScriptedServer::BytesSent(int connection) const {
    const Connection* c = At(connection);
    return c ? c->sent : 0;
}

bool ScriptedServer::FloodCutShort(int connection) const {
    const Connection* c = At(connection);
    return c && c->floodCut;
}

bool ScriptedServer::Encrypted(int connection) const {
    const Connection* c = At(connection);
    return c && c->encrypted;
}

QString ScriptedServer::SocketError(int connection) const {
    const Connection* c = At(connection);
    return c ? c->error : QString();
}

void ScriptedServer::OnNewConnection() {
    while (server_->hasPendingConnections()) {
        auto owned = std::make_unique<Connection>();
        Connection& c = *owned;
        connections_.push_back(std::move(owned));
        c.socket = static_cast<QSslSocket*>(server_->nextPendingConnection());
        c.socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); // pieces go out as such
        if (!queued_.isEmpty())
            c.steps = queued_.takeFirst().steps;
        c.pause.setSingleShot(true);
        connect(&c.pause, &QTimer::timeout, this, [this, &c] {
            c.waiting = false;
            Advance(c);
        });
        connect(c.socket, &QTcpSocket::readyRead, this, [this, &c] { OnReadyRead(c); });
        connect(c.socket, &QTcpSocket::disconnected, this, [this, &c] { OnClosed(c); });
        connect(c.socket, &QTcpSocket::errorOccurred, this, [this, &c] {
            if (c.error.isEmpty())
                c.error = c.socket->errorString();
            OnClosed(c);
        });
        connect(c.socket, &QSslSocket::encrypted, this, [this, &c] {
            c.encrypted = true;
            c.waiting = false;
            Advance(c);
        });
        connect(c.socket, &QTcpSocket::bytesWritten, this, [this, &c] {
            if (c.flooding)
                FeedFlood(c);
        });
        Advance(c);
    }
}

void ScriptedServer::Advance(Connection& c) {
    while (!c.closed && !c.waiting && c.next < c.steps.size()) {
        const ServerScript::Step step = c.steps.at(c.next);
        switch (step.kind) {
        case ServerScript::Kind::Send:
            ++c.next;
            c.sent += qMax<qint64>(0, c.socket->write(step.bytes));
            break;
        case ServerScript::Kind::Pause:
            ++c.next;
            c.waiting = true;
            c.pause.start(int(step.amount));
            return;
        case ServerScript::Kind::Await:
            if (c.consumed >= c.received.size())
                return; // OnReadyRead comes back here
            ++c.consumed;
            ++c.next;
            break;
        case ServerScript::Kind::Cue:
            if (c.cues == 0)
                return; // Cue comes back here
            --c.cues;
            ++c.next;
            break;
        case ServerScript::Kind::Drop:
            ++c.next;
            c.socket->disconnectFromHost();
            return;
        case ServerScript::Kind::StartTls:
            ++c.next;
            c.waiting = true;
            c.partial.clear();
            c.socket->setSslConfiguration(tls_);
            c.socket->startServerEncryption();
            return;
        case ServerScript::Kind::Flood:
            ++c.next;
            c.waiting = true;
            c.flooding = true;
            c.floodLeft = step.amount;
            c.chunk = step.bytes.repeated(qMax<qsizetype>(1, FloodChunk / step.bytes.size()));
            c.numbered = step.numbered ? &c.steps.at(c.next - 1).bytes : nullptr;
            FeedFlood(c);
            return;
        }
    }
}

void ScriptedServer::Cue(int connection) {
    if (connection < 0 || connection >= Connections())
        return;
    Connection& c = *connections_[connection];
    ++c.cues;
    Advance(c);
}

void ScriptedServer::OnReadyRead(Connection& c) {
    c.partial += c.socket->readAll();
    for (qsizetype lf; (lf = c.partial.indexOf('\n')) >= 0;) {
        c.received.append(c.partial.left(lf + 1));
        c.partial.remove(0, lf + 1);
    }
    Advance(c);
}

void ScriptedServer::OnClosed(Connection& c) {
    if (c.closed)
        return;
    c.closed = true;
    c.pause.stop();
    if (c.flooding) {
        c.flooding = false;
        c.floodCut = true;
    }
}

void ScriptedServer::FeedFlood(Connection& c) {
    // Only a little ahead of the socket, so the server's own memory stays small too.
    while (c.flooding && c.floodLeft > 0 && c.socket->bytesToWrite() < 2 * FloodChunk) {
        if (c.numbered) {
            c.chunk.clear();
            while (c.chunk.size() < FloodChunk)
                c.chunk += QByteArray(*c.numbered).replace("%1", QByteArray::number(++c.number));
        }
        const qint64 n = qMin<qint64>(c.floodLeft, c.chunk.size());
        const qint64 written = c.socket->write(c.chunk.constData(), n);
        if (written <= 0)
            return; // the socket failed; OnClosed follows
        c.sent += written;
        c.floodLeft -= written;
    }
    if (c.flooding && c.floodLeft <= 0) {
        c.flooding = false;
        c.waiting = false;
        Advance(c);
    }
}
