#include "SingleInstance.h"

#include "core/Paths.h"
#include "core/Trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
const QByteArray ShowRequest = QByteArrayLiteral("show\n");
constexpr int AnswerMs = 5000;
} // namespace

SingleInstance::SingleInstance(const QString& folder, const QString& settingsFile)
    : socketPath_(QDir(folder).filePath(QStringLiteral("Tarnwick.socket"))),
      lock_(QDir(folder).filePath(QStringLiteral("Tarnwick.lock"))),
      settingsLock_(settingsFile + QStringLiteral(".lock")) {
    // Only a dead owner makes a lock stale, never its age: Tarnwick runs for days.
    lock_.setStaleLockTime(0);
    settingsLock_.setStaleLockTime(0);
    // A fresh account has no configuration folder yet; the lock needs one.
    QDir().mkpath(QFileInfo(settingsFile).absolutePath());
}

SingleInstance::~SingleInstance() = default;

namespace {
QString LockFailure(const QLockFile& lock) {
    return lock.error() == QLockFile::PermissionError ? QStringLiteral("permission denied")
                                                      : QStringLiteral("cannot be created");
}
} // namespace

SingleInstance::Outcome SingleInstance::TryLock(QString* error) {
    runtimeHeld_ = lock_.tryLock(0);
    if (!runtimeHeld_ && lock_.error() == QLockFile::LockFailedError)
        return Outcome::OtherInstance;
    const bool settingsHeld = settingsLock_.tryLock(0);
    if (!settingsHeld && settingsLock_.error() == QLockFile::LockFailedError) {
        Unlock();
        return Outcome::OtherInstance;
    }
    // One lock is enough to keep a second start out: a read-only configuration folder, or a
    // runtime folder that is not to be used.
    if (runtimeHeld_ || settingsHeld)
        return Outcome::Held;
    if (error)
        *error = QStringLiteral("%1: %2; %3: %4")
                     .arg(QDir::toNativeSeparators(lock_.fileName()), LockFailure(lock_),
                          QDir::toNativeSeparators(settingsLock_.fileName()),
                          LockFailure(settingsLock_));
    return Outcome::NoLock;
}

void SingleInstance::Unlock() {
    server_.reset(); // closing removes the socket file
    if (runtimeHeld_)
        lock_.unlock();
    runtimeHeld_ = false;
    settingsLock_.unlock();
}

bool SingleInstance::Listen(std::function<void()> show) {
    if (!runtimeHeld_)
        return false;
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
#ifdef Q_OS_UNIX
    // Another user's folder (a shell from su), or one others may enter, is not ours to use.
    struct stat st {};
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) &&
        ::lstat(QFile::encodeName(runtime).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid() && (st.st_mode & 077) == 0)
        return runtime;
    const QString name = QStringLiteral("tarnwick-%1").arg(::geteuid());
#else
    if (!runtime.isEmpty())
        return runtime;
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
