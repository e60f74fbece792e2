// Start-up on Unix: POSIX signals, the socket a later start talks to, the runtime folder's
// owner and mode, and on Linux the kernel's report of clock jumps.

#include "Platform.h"

#include "core/ClockJumps.h"
#include "core/Files.h"
#include "core/Trace.h"
#include "shell/ExitSignals.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#endif

namespace {
// The write end of the pipe from the signal handler to the event loop; only written to
// from the handler, which may do nothing but async-signal-safe calls.
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

void InstallExitSignals(QObject* context, std::function<void()> onSignal) {
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(
        notifier, &QSocketNotifier::activated, context, [onSignal = std::move(onSignal)] {
            char buffer[16];
            [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], buffer, sizeof buffer);
            onSignal();
        });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

namespace {
constexpr int Backlog = 8;
// After running out of descriptors, the next try to take a connection.
constexpr int RetryMs = 200;

// A listening socket of its own: QLocalServer closes, and removes the socket file, when it
// cannot take a connection (out of descriptors), after which no later start would reach the
// program.
class SocketListener final : public QObject {
    Q_OBJECT

public:
    SocketListener(QString path, std::function<void(QLocalSocket*)> serve)
        : path_(std::move(path)), serve_(std::move(serve)) {}
    ~SocketListener() override {
        if (reserve_ >= 0)
            ::close(reserve_);
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(QFile::encodeName(path_).constData()); // only the lock's holder listens
        }
    }

    bool Listen(QString& error) {
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
        connect(notifier_, &QSocketNotifier::activated, this, &SocketListener::Accept);
        retry_.setSingleShot(true);
        retry_.setInterval(RetryMs);
        connect(&retry_, &QTimer::timeout, this, [this] { notifier_->setEnabled(true); });
        return true;
    }

private:
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
            auto* socket = new QLocalSocket(this);
            if (!socket->setSocketDescriptor(client)) {
                ::close(client);
                delete socket;
                continue;
            }
            serve_(socket);
        }
    }

    QString path_;
    std::function<void(QLocalSocket*)> serve_;
    int fd_ = -1;
    int reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QSocketNotifier* notifier_ = nullptr;
    QTimer retry_;
};
} // namespace

std::unique_ptr<QObject> ListenLocally(const QString& path, int,
                                       std::function<void(QLocalSocket*)> serve, QString& error) {
    auto listener = std::make_unique<SocketListener>(path, std::move(serve));
    if (!listener->Listen(error))
        return nullptr;
    return listener;
}

bool IsOwnRuntimeFolder(const QString& runtime) {
    // Another user's folder (a shell from su), or one others may enter, is not ours to use.
    struct stat st {};
    return !runtime.isEmpty() && QDir::isAbsolutePath(runtime) &&
           ::lstat(QFile::encodeName(runtime).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

QString PrivateTempFolderName() {
    return QStringLiteral("tarnwick-%1").arg(::geteuid());
}

#ifdef Q_OS_LINUX
namespace {
// A wall-clock timer set years ahead with TFD_TIMER_CANCEL_ON_SET: reading it fails with
// ECANCELED once the wall clock was set or the system resumed, and it must be set again. It
// never fires otherwise, so it costs no wake-up.
class TimerFdClockJumps final : public ClockJumps {
    Q_OBJECT

public:
    static std::unique_ptr<TimerFdClockJumps> Create() {
        const int fd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0)
            return nullptr;
        auto jumps = std::unique_ptr<TimerFdClockJumps>(new TimerFdClockJumps(fd));
        if (!jumps->Arm())
            return nullptr;
        return jumps;
    }
    ~TimerFdClockJumps() override {
        notifier_.setEnabled(false);
        ::close(fd_);
    }

private:
    explicit TimerFdClockJumps(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read) {
        connect(&notifier_, &QSocketNotifier::activated, this, &TimerFdClockJumps::OnReadable);
    }
    bool Arm() {
        timespec now = {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        itimerspec when = {};
        when.it_value.tv_sec = now.tv_sec + FarAheadSeconds;
        return ::timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when,
                                 nullptr) == 0;
    }
    void OnReadable() {
        std::uint64_t expirations = 0;
        const ssize_t n = ::read(fd_, &expirations, sizeof expirations);
        if (n < 0 && errno == EAGAIN)
            return;
        // Cancelled by a jump (or, years on, expired): set it again, then say so.
        Arm();
        emit Jumped();
    }

    static constexpr time_t FarAheadSeconds = 10 * 365 * 24 * 3600;
    int fd_ = -1;
    QSocketNotifier notifier_;
};
} // namespace

#endif

std::unique_ptr<ClockJumps> MakeKernelClockJumps() {
#ifdef Q_OS_LINUX
    return TimerFdClockJumps::Create();
#else
    return nullptr; // the other Unix systems have no such timer
#endif
}

#include "Unix.moc"
