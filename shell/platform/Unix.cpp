// Start-up on Unix: POSIX signals, the socket a later start talks to, the runtime folder's
// owner and mode, and on Linux the kernel's report of clock jumps.

#include "Platform.h"

#include "core/ClockJumps.h"
#include "core/Files.h"
#include "core/Trace.h"
#include "shell/ExitSignals.h"
#include "shell/MailOpener.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QObject>
#include <QProcess>
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

// The desktop's mail client: the application its default applications name for mailto:
// links (the XDG mime-apps lists, desktop-specific ones first, then what installed
// applications declare), started from its desktop entry without the link.
namespace {
QStringList XdgDirs(const char* homeVariable, const QString& homeDefault, const char* dirsVariable,
                    const QString& dirsDefault) {
    QString home = qEnvironmentVariable(homeVariable);
    if (home.isEmpty())
        home = QDir::homePath() + homeDefault;
    QStringList dirs{home};
    QString rest = qEnvironmentVariable(dirsVariable);
    if (rest.isEmpty())
        rest = dirsDefault;
    for (const QString& dir : rest.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        dirs << dir;
    return dirs;
}

// The values of `key` in `section` of a desktop-style file, split at ';'.
QStringList ListValue(const QString& path, const QByteArray& section, const QByteArray& key) {
    QFile file(path);
    // Lists are small; anything larger is not one.
    if (file.size() > (1 << 20) || !file.open(QIODevice::ReadOnly))
        return {};
    bool inSection = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inSection = line == '[' + section + ']';
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inSection && equals > 0 && line.left(equals).trimmed() == key)
            return QString::fromUtf8(line.mid(equals + 1).trimmed())
                .split(QLatin1Char(';'), Qt::SkipEmptyParts);
    }
    return {};
}

// A desktop entry's Exec line as a program and arguments, without the link's field codes.
std::optional<MailClientCommand> FromDesktopEntry(const QString& path) {
    const QStringList exec = ListValue(path, "Desktop Entry", "Exec");
    const QStringList name = ListValue(path, "Desktop Entry", "Name");
    if (exec.isEmpty())
        return std::nullopt;
    QStringList words = QProcess::splitCommand(exec.join(QLatin1Char(';')));
    QStringList arguments;
    for (QString word : words.mid(1)) {
        static const QStringList codes{"%f", "%F", "%u", "%U", "%d", "%D", "%n",
                                       "%N", "%i", "%c", "%k", "%v", "%m"};
        if (codes.contains(word))
            continue;
        word.replace(QStringLiteral("%%"), QStringLiteral("%"));
        arguments << word;
    }
    if (words.isEmpty())
        return std::nullopt;
    return MailClientCommand{name.isEmpty() ? QFileInfo(path).completeBaseName() : name[0],
                             words[0], arguments};
}
} // namespace

std::optional<MailClientCommand> FindMailClient() {
    const QStringList configDirs = XdgDirs("XDG_CONFIG_HOME", QStringLiteral("/.config"),
                                           "XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"));
    const QStringList dataDirs =
        XdgDirs("XDG_DATA_HOME", QStringLiteral("/.local/share"), "XDG_DATA_DIRS",
                QStringLiteral("/usr/local/share:/usr/share"));
    QStringList applicationDirs;
    for (const QString& dir : dataDirs)
        applicationDirs << dir + QStringLiteral("/applications");
    QStringList desktops;
    for (const QString& desktop :
         qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        desktops << desktop.toLower() + QStringLiteral("-mimeapps.list");
    desktops << QStringLiteral("mimeapps.list");
    QStringList lists;
    for (const QStringList* dirs : {&configDirs, static_cast<const QStringList*>(&applicationDirs)})
        for (const QString& dir : *dirs)
            for (const QString& name : desktops)
                lists << dir + QLatin1Char('/') + name;

    const auto entry = [&](const QString& id) -> std::optional<MailClientCommand> {
        if (id.contains(QLatin1Char('/')) || !id.endsWith(QLatin1String(".desktop")))
            return std::nullopt;
        for (const QString& dir : applicationDirs)
            if (const QString path = dir + QLatin1Char('/') + id; QFileInfo(path).isFile())
                return FromDesktopEntry(path);
        return std::nullopt;
    };
    const QByteArray mailto = "x-scheme-handler/mailto";
    for (const QByteArray& section :
         {QByteArray("Default Applications"), QByteArray("Added Associations")})
        for (const QString& list : lists)
            for (const QString& id : ListValue(list, section, mailto))
                if (const auto found = entry(id.trimmed()))
                    return found;
    for (const QString& dir : applicationDirs)
        for (const QString& id :
             ListValue(dir + QStringLiteral("/mimeinfo.cache"), "MIME Cache", mailto))
            if (const auto found = entry(id.trimmed()))
                return found;
    return std::nullopt;
}
