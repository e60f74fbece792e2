#include "SingleInstance.h"

#include "core/Files.h"
#include "core/Paths.h"
#include "core/Trace.h"
#include "platform/Platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <memory>
#include <utility>

namespace {
const QByteArray ShowRequest = QByteArrayLiteral("show\n");
constexpr int AnswerMs = 5000;
// A later start asks at once: a client that has not, by then, is not one.
constexpr int IdleMs = 2000;
// Served at a time; more are refused. A start is served within milliseconds.
constexpr int MaxClients = 4;
} // namespace

// Answers the later starts: "show" and a line end, nothing longer, within IdleMs, a few
// clients at a time.
class ShowListener final : public QObject {
    Q_OBJECT

public:
    ShowListener(QString path, std::function<void()> show)
        : path_(std::move(path)), show_(std::move(show)) {}

    bool Listen(QString& error) {
        // Holding the lock, any socket file left here is a dead program's.
        QLocalServer::removeServer(path_);
        socket_ = ListenLocally(
            path_, MaxClients, [this](QLocalSocket* client) { Serve(client); }, error);
        return socket_ != nullptr;
    }

private:
    void Serve(QLocalSocket* client) {
        if (clients_ >= MaxClients) {
            client->abort();
            client->deleteLater();
            return;
        }
        ++clients_;
        client->setParent(this);
        // Room for the request and no more: what a client sends beyond it stays unread.
        client->setReadBufferSize(ShowRequest.size());
        auto done = std::make_shared<bool>(false);
        const auto finish = [this, client, done] {
            if (std::exchange(*done, true))
                return;
            --clients_;
            client->abort();
            client->deleteLater();
        };
        connect(client, &QLocalSocket::disconnected, this, finish);
        auto* idle = new QTimer(client);
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, this, finish);
        idle->start(IdleMs);
        connect(client, &QLocalSocket::readyRead, this, [this, client, finish] {
            if (client->canReadLine()) {
                const bool asked = client->readLine(ShowRequest.size() + 1) == ShowRequest;
                finish();
                if (asked && show_)
                    show_();
            } else if (client->bytesAvailable() >= ShowRequest.size()) {
                finish(); // longer than any request
            }
        });
    }

    QString path_;
    std::function<void()> show_;
    int clients_ = 0;
    std::unique_ptr<QObject> socket_; // listening
};

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

namespace {
// A process killed between creating its lock file and writing its id into it leaves an empty
// file, which QLockFile never takes for stale: no later start would run. A live owner writes
// its id at once, so an empty lock older than a moment is such a leftover.
void RemoveEmptyLeftover(const QString& lockFile) {
    const QFileInfo info(lockFile);
    if (info.isFile() && info.size() == 0 &&
        info.lastModified().secsTo(QDateTime::currentDateTime()) > 5)
        QFile::remove(lockFile);
}
} // namespace

SingleInstance::Outcome SingleInstance::TryLock(QString* error) {
    RemoveEmptyLeftover(lock_.fileName());
    RemoveEmptyLeftover(settingsLock_.fileName());
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
    listener_.reset(); // closing removes the socket file
    if (runtimeHeld_)
        lock_.unlock();
    runtimeHeld_ = false;
    settingsLock_.unlock();
}

bool SingleInstance::Listen(std::function<void()> show) {
    if (!runtimeHeld_)
        return false;
    listener_ = std::make_unique<ShowListener>(socketPath_, std::move(show));
    QString error;
    if (!listener_->Listen(error)) {
        Trace(QStringLiteral("Cannot listen on %1: %2").arg(socketPath_, error));
        listener_.reset();
        return false;
    }
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
    if (IsOwnRuntimeFolder(runtime))
        return runtime;
    const QString name = PrivateTempFolderName();
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

#include "SingleInstance.moc"
