#include "SingleInstance.h"

#include "core/Files.h"
#include "core/Paths.h"
#include "core/Trace.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {
const QByteArray ShowRequest = QByteArrayLiteral("show\n");
constexpr int AnswerMs = 5000;
// A later start asks at once: a client that has not, by then, is not one.
constexpr int IdleMs = 2000;
// Served at a time; more are refused. A start is served within milliseconds.
constexpr int MaxClients = 4;
#ifdef Q_OS_UNIX
constexpr int Backlog = 8;
// After running out of descriptors, the next try to take a connection.
constexpr int RetryMs = 200;
#endif
} // namespace

// Answers the later starts: "show" and a line end, nothing longer, within IdleMs, a few
// clients at a time. On Unix the listening socket is its own: QLocalServer closes, and removes
// the socket file, when it cannot take a connection (out of descriptors), after which no later
// start would reach the program.
class ShowListener final : public QObject {
    Q_OBJECT

public:
    ShowListener(QString path, std::function<void()> show)
        : path_(std::move(path)), show_(std::move(show)) {}
    ~ShowListener() override {
#ifdef Q_OS_UNIX
        if (reserve_ >= 0)
            ::close(reserve_);
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(QFile::encodeName(path_).constData()); // only the lock's holder listens
        }
#endif
    }

    bool Listen(QString& error) {
        // Holding the lock, any socket file left here is a dead program's.
        QLocalServer::removeServer(path_);
#ifdef Q_OS_UNIX
        const QByteArray name = QFile::encodeName(path_);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (size_t(name.size()) >= sizeof(address.sun_path)) {
            error = QStringLiteral("the path is too long for a socket");
            return false;
        }
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0 ||
            ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            ::chmod(name.constData(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd_, Backlog) != 0) {
            error = SystemError(errno);
            if (fd_ >= 0)
                ::close(fd_);
            fd_ = -1;
            return false;
        }
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &ShowListener::Accept);
        retry_.setSingleShot(true);
        retry_.setInterval(RetryMs);
        connect(&retry_, &QTimer::timeout, this, [this] { notifier_->setEnabled(true); });
#else
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        server_.setMaxPendingConnections(MaxClients);
        if (!server_.listen(path_)) {
            error = server_.errorString();
            return false;
        }
        connect(&server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* client = server_.nextPendingConnection())
                Serve(client);
        });
#endif
        return true;
    }

private:
#ifdef Q_OS_UNIX
    void Accept() {
        for (int i = 0; i < Backlog; ++i) {
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client < 0) {
                if (errno == EINTR)
                    continue;
                if ((errno == EMFILE || errno == ENFILE) && reserve_ >= 0) {
                    // Out of descriptors: the one kept for this takes the connection, which
                    // is refused at once instead of waiting for one to come free.
                    ::close(reserve_);
                    const int refused = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (refused >= 0)
                        ::close(refused);
                    reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    // Out of descriptors: the connection waits, and the socket stays.
                    Trace(QStringLiteral("Cannot take a connection on %1: %2")
                              .arg(path_, SystemError(errno)));
                    notifier_->setEnabled(false);
                    retry_.start();
                }
                return;
            }
            if (clients_ >= MaxClients) {
                ::close(client);
                continue;
            }
            auto* socket = new QLocalSocket(this);
            if (!socket->setSocketDescriptor(client)) {
                ::close(client);
                delete socket;
                continue;
            }
            Serve(socket);
        }
    }
#endif

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
#ifdef Q_OS_UNIX
    int fd_ = -1;
    int reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QSocketNotifier* notifier_ = nullptr;
    QTimer retry_;
#else
    QLocalServer server_;
#endif
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

#include "SingleInstance.moc"
