#include "SingleInstance.h"

#include "core/Paths.h"
#include "core/Trace.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
const QByteArray ShowRequest = QByteArrayLiteral("show\n");
constexpr int AnswerMs = 5000;
} // namespace

SingleInstance::SingleInstance(const QString& folder)
    : socketPath_(QDir(folder).filePath(QStringLiteral("Tarnwick.socket"))),
      lock_(QDir(folder).filePath(QStringLiteral("Tarnwick.lock"))) {
    // Only a dead owner makes the lock stale, never its age: Tarnwick runs for days.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::TryLock() {
    return lock_.tryLock(0);
}

void SingleInstance::Unlock() {
    server_.reset(); // closing removes the socket file
    lock_.unlock();
}

bool SingleInstance::Listen(std::function<void()> show) {
    // Holding the lock, any socket file left here is a dead program's.
    QLocalServer::removeServer(socketPath_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath_)) {
        Trace(QStringLiteral("Cannot listen on %1: %2").arg(socketPath_, server_->errorString()));
        return false;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this, show] {
        while (QLocalSocket* client = server_->nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::disconnected, client,
                             &QLocalSocket::deleteLater);
            QObject::connect(client, &QLocalSocket::readyRead, client, [client, show] {
                if (!client->canReadLine())
                    return;
                const bool asked = client->readLine() == ShowRequest;
                client->disconnectFromServer();
                if (asked && show)
                    show();
            });
        }
    });
    return true;
}

bool SingleInstance::AskToShow() const {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(AnswerMs))
        return false;
    socket.write(ShowRequest);
    if (!socket.waitForBytesWritten(AnswerMs))
        return false;
    // The running program hangs up once it has read the request.
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(AnswerMs);
    return true;
}

QString SingleInstance::DefaultFolder(QString* error) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime;
#ifdef Q_OS_UNIX
    const QString name = QStringLiteral("tarnwick-%1").arg(::geteuid());
#else
    const QString name = QStringLiteral("tarnwick");
#endif
    const QString candidates[] = {QDir(QDir::tempPath()).filePath(name),
                                  QDir(StateHome()).filePath(QStringLiteral("Tarnwick"))};
    for (const QString& folder : candidates) {
        const QString why = MakePrivateFolder(folder);
        if (why.isEmpty())
            return folder;
        if (error)
            *error = folder + QStringLiteral(": ") + why;
    }
    return {};
}
