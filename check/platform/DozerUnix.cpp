#include "check/Dozer.h"

#include "check/TlsLayer.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace {
using Steady = std::chrono::steady_clock;

qint64 MsBetween(Steady::time_point from, Steady::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}
} // namespace

struct Dozer::State {
    struct Entry {
        quint64 id = 0;
        Watch watch;
        int fd = -1;
        Steady::time_point heard;      // the doze's start or the last byte
        Steady::time_point lastTaken;  // of the last line taken
        Steady::time_point priorTaken; // of the one before
        int taken = 0;
        QByteArray toNetwork;
        bool over = false; // ended, waiting to be given back
        bool silent = false;
        bool tlsFailed = false;
    };

    std::mutex mutex;
    std::vector<Entry> entries;
    quint64 lastId = 0;
    bool stopping = false;
    // The thread waits on an epoll set: a wake-up costs what came, not the number watched.
    int epoll = -1;
    int wake[2] = {-1, -1}; // a pipe that ends the thread's wait
    std::thread thread;

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

    // Reads what came on one connection, under the lock.
    void Read(Entry& entry, Steady::time_point now) {
        char buffer[16 * 1024];
        const ssize_t n = ::read(entry.fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) { // closed or failed: the program finds out when it reads itself
            End(entry);
            return;
        }
        entry.heard = now;
        QByteArray& pending = entry.watch.pending;
        if (entry.watch.tls) {
            QByteArray plain;
            if (entry.watch.tls->Feed(QByteArray(buffer, qsizetype(n)), entry.toNetwork, plain) ==
                TlsLayer::Result::Failed)
                entry.tlsFailed = true;
            pending.append(plain);
        } else {
            pending.append(buffer, qsizetype(n));
        }
        qsizetype start = 0;
        for (qsizetype lf = pending.indexOf('\n'); lf >= 0 && entry.taken < TakeLimit;
             lf = pending.indexOf('\n', start)) {
            if (!entry.watch.quiet(QByteArrayView(pending).sliced(start, lf + 1 - start)))
                break;
            ++entry.taken;
            entry.priorTaken = entry.lastTaken;
            entry.lastTaken = now;
            start = lf + 1;
        }
        pending.remove(0, start);
        if (entry.tlsFailed || !entry.toNetwork.isEmpty() || pending.contains('\n') ||
            pending.size() > entry.watch.lineLimit || entry.taken >= TakeLimit)
            End(entry);
    }

    void Run() {
        epoll_event events[16];
        for (;;) {
            int timeout = -1;
            {
                const std::lock_guard lock(mutex);
                if (stopping)
                    return;
                const Steady::time_point now = Steady::now();
                for (const Entry& entry : entries) {
                    if (entry.over)
                        continue;
                    const qint64 left = entry.watch.silenceMs - MsBetween(entry.heard, now);
                    const int wait = int(std::clamp(left, qint64(0), qint64(INT_MAX)));
                    timeout = timeout < 0 ? wait : std::min(timeout, wait);
                }
            }
            const int ready = ::epoll_wait(epoll, events, int(std::size(events)), timeout);
            const std::lock_guard lock(mutex);
            const Steady::time_point now = Steady::now();
            if (ready < 0 && errno != EINTR) {
                // Not to be waited on here: the program reads them itself again.
                for (Entry& entry : entries)
                    if (!entry.over)
                        End(entry);
                continue;
            }
            for (int i = 0; i < ready; ++i) {
                const quint64 id = events[i].data.u64;
                if (id == 0) {
                    char drain[64];
                    while (::read(wake[0], drain, sizeof drain) > 0) {
                    }
                    continue;
                }
                // Only a connection still held is read: one given back is the program's.
                for (Entry& entry : entries)
                    if (entry.id == id && !entry.over)
                        Read(entry, now);
            }
            for (Entry& entry : entries) {
                if (!entry.over && MsBetween(entry.heard, now) >= entry.watch.silenceMs) {
                    entry.silent = true;
                    End(entry);
                }
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
        entry.heard = Steady::now();
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
