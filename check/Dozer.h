#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <functional>
#include <memory>

class TlsLayer;

// What came while a connection dozed.
struct DozeReport {
    int taken = 0;         // lines that changed nothing, taken while it dozed
    qint64 lastAgoMs = -1; // how long before the connection was given back the last came
    qint64 spacingMs = 0;  // between the last two of them; 0 with fewer than two
    bool silent = false;   // it ended because nothing came for the silence allowed
};

// Reads connections that wait for news (an IMAP IDLE) on one thread of its own, which sleeps
// in the system until something arrives. A server's keep-alives, the lines that `quiet` says
// change nothing, are taken and counted there: the program itself is woken only by any other
// line, by a silence longer than allowed, or when it takes the connection back. A wake-up of
// the program's event loop costs several times the blocking read a keep-alive needs. Where the
// keep-alives of several connections come together, as a server sends them to one address,
// the thread wakes once for them: a line may then wait up to half a second to be read.
class Dozer final {
public:
    using Quiet = bool (*)(QByteArrayView line);
    // The most lines taken in one doze: a server that sends them without end is seen by the
    // program, which counts them against its own limit.
    static constexpr int TakeLimit = 1000;

    // Whether this platform can; where not, Take always refuses.
    static bool Available();

    Dozer();
    ~Dozer();
    Dozer(const Dozer&) = delete;
    Dozer& operator=(const Dozer&) = delete;

    struct Watch {
        qintptr socket = -1;     // the connection's; the dozer reads a copy of it
        TlsLayer* tls = nullptr; // used by the dozer alone until given back
        QByteArray pending;      // the start of a line already read
        qint64 silenceMs = 0;
        qsizetype lineLimit = 0; // the longest line; a longer one ends the doze
        Quiet quiet = nullptr;
        std::function<void()> ended; // called on the dozer's thread: give it back soon
    };
    // Takes the reading of a connection over; 0 when it cannot (no thread).
    quint64 Take(Watch watch);

    struct Returned {
        int fd = -1;
        DozeReport report;
        QByteArray plain;     // what came after the last line taken, from a line's start
        QByteArray toNetwork; // what TLS has to send back
        bool tlsFailed = false;
    };
    // Gives the connection back at once, whether or not the doze has ended.
    Returned GiveBack(quint64 id);
    // Closes a descriptor given back that is not wanted.
    static void Release(int fd);

private:
    struct State;
    std::unique_ptr<State> state_;
};
