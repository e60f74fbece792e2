#include "check/Dozer.h"

#include "check/TlsLayer.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

namespace {
// The coarse clock: a silence is a matter of seconds, and reading it costs less than the
// precise one at every line taken.
struct Steady {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Steady, duration>;
    static time_point now() {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
        return time_point(std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
    }
};

qint64 MsBetween(Steady::time_point from, Steady::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}
} // namespace

struct Dozer::State {
    struct Entry {
        // What the thread looks at for every connection first, together.
        quint64 id = 0;
        int fd = -1;
        bool over = false; // ended, waiting to be given back
        bool silent = false;
        bool tlsFailed = false;
        int taken = 0;
        Steady::time_point due;        // when its silence ends: from the doze's start or last byte
        Steady::time_point lastTaken;  // of the last line taken
        Steady::time_point priorTaken; // of the one before
        // When its next keep-alive was due, by their spacing, while the thread let them gather:
        // the time it is counted as come, as its arrival is not seen.
        Steady::time_point expected;
        Watch watch;
        QByteArray toNetwork;
    };

    std::mutex mutex;
    std::vector<Entry> entries;
    quint64 lastId = 0;
    bool stopping = false;
    // The thread waits on an epoll set: a wake-up costs what came, not the number watched.
    int epoll = -1;
    int wake[2] = {-1, -1}; // a pipe that ends the thread's wait
    std::thread thread;
    char buffer[16 * 1024]; // what one read takes, beside the thread's stack

    void Nudge() const {
        const char byte = 0;
        while (::write(wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }

    void End(Entry& entry) {
        entry.over = true;
        // Out of the set: a connection that stays readable would end the wait at once.
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, entry.fd, nullptr);
        if (entry.watch.ended)
            entry.watch.ended();
    }

    // Takes the quiet lines at the start of `bytes`; returns how many bytes they were.
    static qsizetype TakeQuiet(Entry& entry, const char* bytes, qsizetype size,
                               Steady::time_point now) {
        qsizetype start = 0;
        while (start < size && entry.taken < TakeLimit) {
            const void* lf = std::memchr(bytes + start, '\n', size_t(size - start));
            if (!lf)
                break;
            const qsizetype end = static_cast<const char*>(lf) - bytes + 1;
            if (!entry.watch.quiet(QByteArrayView(bytes + start, end - start)))
                break;
            ++entry.taken;
            entry.priorTaken = entry.lastTaken;
            entry.lastTaken = entry.expected != Steady::time_point() && entry.expected <= now
                                  ? std::exchange(entry.expected, Steady::time_point())
                                  : now;
            start = end;
        }
        return start;
    }

    // Reads what came on one connection, under the lock.
    void Read(Entry& entry, Steady::time_point now) {
        const ssize_t n = ::read(entry.fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) { // closed or failed: the program finds out when it reads itself
            End(entry);
            return;
        }
        entry.due = now + std::chrono::milliseconds(entry.watch.silenceMs);
        QByteArray& pending = entry.watch.pending;
        if (!entry.watch.tls && pending.isEmpty()) {
            // The usual case, whole keep-alives in clear: looked at where they were read.
            const qsizetype taken = TakeQuiet(entry, buffer, qsizetype(n), now);
            if (taken == n && entry.taken < TakeLimit)
                return;
            pending.append(buffer + taken, qsizetype(n) - taken);
        } else {
            if (entry.watch.tls) {
                QByteArray plain;
                if (entry.watch.tls->Feed(QByteArray(buffer, qsizetype(n)), entry.toNetwork,
                                          plain) == TlsLayer::Result::Failed)
                    entry.tlsFailed = true;
                pending.append(plain);
            } else {
                pending.append(buffer, qsizetype(n));
            }
            pending.remove(0, TakeQuiet(entry, pending.constData(), pending.size(), now));
        }
        if (entry.tlsFailed || !entry.toNetwork.isEmpty() || pending.contains('\n') ||
            pending.size() > entry.watch.lineLimit || entry.taken >= TakeLimit)
            End(entry);
    }

    // How long to let the keep-alives of other connections gather before the next wait. A
    // server may send them to all connections from one address within moments of each other, so
    // that their client wakes once; the thread waits for those due, by their own spacing, within
    // GatherMs. A line that comes meanwhile, news too, is read when the time is up. A connection
    // that has had one keep-alive in this doze is taken to keep the spacing of one just read.
    static constexpr qint64 GatherMs = 500;
    static constexpr qint64 GatherSlackMs = 40; // a server's timers and the coarse clock
    qint64 TimeToGather(Steady::time_point now, Steady::duration spacingRead) {
        const auto slack = std::chrono::milliseconds(GatherSlackMs);
        Steady::time_point until = now;
        for (Entry& entry : entries) {
            entry.expected = Steady::time_point();
            const Steady::duration spacing = entry.taken >= 2   ? entry.lastTaken - entry.priorTaken
                                             : entry.taken == 1 ? spacingRead
                                                                : Steady::duration::zero();
            if (entry.over || spacing <= Steady::duration::zero())
                continue;
            const Steady::time_point next = entry.lastTaken + spacing;
            if (next > now - slack && next <= now + std::chrono::milliseconds(GatherMs)) {
                entry.expected = std::max(next, now);
                until = std::max(until, entry.expected + slack);
            }
        }
        return MsBetween(now, until);
    }

    void Run() {
        epoll_event events[16];
        int timeout = -1; // until a connection comes: Take wakes the thread
        for (;;) {
            const int ready = ::epoll_wait(epoll, events, int(std::size(events)), timeout);
            std::unique_lock lock(mutex);
            if (stopping)
                return;
            const Steady::time_point now = Steady::now();
            bool read = false;
            Steady::duration spacingRead = Steady::duration::zero();
            if (ready < 0 && errno != EINTR) {
                // Not to be waited on here: the program reads them itself again.
                for (Entry& entry : entries)
                    if (!entry.over)
                        End(entry);
            }
            for (int i = 0; i < ready; ++i) {
                const quint64 id = events[i].data.u64;
                if (id == 0) {
                    char drain[64];
                    while (::read(wake[0], drain, sizeof drain) > 0) {
                    }
                    continue; // a connection came, or the end
                }
                // Only a connection still held is read: one given back is the program's.
                const auto at = std::find_if(entries.begin(), entries.end(),
                                             [id](const Entry& e) { return e.id == id; });
                if (at == entries.end() || at->over)
                    continue;
                Entry& entry = *at;
                Read(entry, now);
                read = true;
                if (entry.taken >= 2)
                    spacingRead = entry.lastTaken - entry.priorTaken;
            }
            Steady::time_point earliest = Steady::time_point::max(); // the first silence to end
            for (Entry& entry : entries) {
                if (entry.over)
                    continue;
                if (entry.due <= now) {
                    entry.silent = true;
                    End(entry);
                } else {
                    earliest = std::min(earliest, entry.due);
                }
            }
            timeout =
                earliest == Steady::time_point::max()
                    ? -1
                    : int(std::clamp(MsBetween(now, earliest) + 1, qint64(0), qint64(INT_MAX)));
            if (const qint64 gather = read ? TimeToGather(now, spacingRead) : 0; gather > 0) {
                lock.unlock();
                // Only the program's nudge (a connection taken, the end) cuts it short.
                pollfd nudge{wake[0], POLLIN, 0};
                while (::poll(&nudge, 1, int(gather)) < 0 && errno == EINTR) {
                }
                timeout = timeout < 0 ? timeout : std::max(0, timeout - int(gather));
            }
        }
    }
};

bool Dozer::Available() {
    return true;
}

void Dozer::Release(int fd) {
    if (fd >= 0)
        ::close(fd);
}

Dozer::Dozer() : state_(std::make_unique<State>()) {}

Dozer::~Dozer() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    if (state_->thread.joinable()) {
        state_->Nudge();
        state_->thread.join();
    }
    for (const State::Entry& entry : state_->entries)
        ::close(entry.fd);
    for (const int fd : state_->wake)
        if (fd >= 0)
            ::close(fd);
    if (state_->epoll >= 0)
        ::close(state_->epoll);
}

quint64 Dozer::Take(Watch watch) {
    State& s = *state_;
    if (!s.thread.joinable()) {
        if (s.epoll < 0)
            s.epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (s.wake[0] < 0 && ::pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0)
            return 0;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = 0;
        if (s.epoll < 0 || ::epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.wake[0], &event) != 0)
            return 0;
        s.thread = std::thread([&s] { s.Run(); });
    }
    // A descriptor of its own: the socket that had the connection closes its one.
    const int fd = ::fcntl(int(watch.socket), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    quint64 id = 0;
    {
        const std::lock_guard lock(s.mutex);
        id = ++s.lastId;
        State::Entry entry;
        entry.id = id;
        entry.fd = fd;
        entry.watch = std::move(watch);
        entry.due = Steady::now() + std::chrono::milliseconds(entry.watch.silenceMs);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = id;
        if (::epoll_ctl(s.epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(fd);
            return 0;
        }
        s.entries.push_back(std::move(entry));
    }
    s.Nudge(); // its silence may end before the thread's wait does
    return id;
}

Dozer::Returned Dozer::GiveBack(quint64 id) {
    State& s = *state_;
    Returned back;
    {
        const std::lock_guard lock(s.mutex);
        const auto it = std::find_if(s.entries.begin(), s.entries.end(),
                                     [id](const State::Entry& e) { return e.id == id; });
        if (it == s.entries.end())
            return back;
        const Steady::time_point now = Steady::now();
        back.fd = it->fd;
        back.report.taken = it->taken;
        if (it->taken > 0)
            back.report.lastAgoMs = MsBetween(it->lastTaken, now);
        if (it->taken > 1)
            back.report.spacingMs = MsBetween(it->priorTaken, it->lastTaken);
        back.report.silent = it->silent;
        back.plain = std::move(it->watch.pending);
        back.toNetwork = std::move(it->toNetwork);
        back.tlsFailed = it->tlsFailed;
        if (!it->over)
            ::epoll_ctl(s.epoll, EPOLL_CTL_DEL, it->fd, nullptr);
        s.entries.erase(it);
    }
    return back;
}
