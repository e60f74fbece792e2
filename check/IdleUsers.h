#pragma once

#include "ImapSession.h"
#include "ServerAddress.h"
#include "Transport.h"

#include <QList>
#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <vector>

class CheckLogs;
class CountRecorder;
class Random;
class Settings;

// What the check of the user with identity `userId` on the server at `address` is begun with:
// the user's login as it is now, and whether the user is still there.
CheckRequest RequestFor(const Settings& settings, quint64 userId, const ServerAddress& address);

// The IMAP users whose servers offer IDLE: one connection each, kept open and watching, so
// that new mail is counted the moment the server tells of it. The scheduler polls none of
// them. A connection that fails is logged once and made again after a pause that starts at
// a few seconds and doubles up to the check interval (give or take a fifth); after a refused
// login it waits the whole interval. Each user has at most one connection being made. A
// working watch that the server closes or says BYE on is logged only when it does not come
// back.
class IdleUsers final : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstRetryMs = 5000;

    IdleUsers(Settings& settings, CheckLogs& logs, CountRecorder& recorder,
              const TransportFactory& makeTransport, QObject* parent = nullptr);
    ~IdleUsers() override;

    // The clock by which the watches measure their servers' keep-alives.
    void SetClock(const Clock* clock) { clock_ = clock; }
    // Watches the user with identity `userId` on the server at `address`.
    void Watch(quint64 userId, const ServerAddress& address);
    bool IsWatched(quint64 userId) const { return entries_.count(userId) != 0; }
    // "Check Mail Now": every connection counts again.
    void RecountAll();
    // After a resume or a clock jump no connection can be trusted: each is made anew.
    void ReplaceAll();
    // Users that are gone, or that `edited` names (changed in setup), are logged out.
    void Prune(const QList<quint64>& edited = {});
    void LogoutAll();
    void SetTimeoutInterval(int ms);
    // Each pause before another attempt is spread by up to a fifth either way with `random`,
    // so that the mailboxes of a server that failed them all together do not all come back
    // in the same second. Without one, the pauses are as they are.
    void SetRandom(Random* random) { random_ = random; }

private:
    struct Entry {
        ServerAddress address;
        std::unique_ptr<ImapSession> session;
        QTimer retry;
        int pauseMs = 0;
        bool quiet = false; // a retry of a connection whose failure was logged: not logged again
        // A watch that worked and was dropped by the server (a restart) heals by itself: its
        // failure is the user's only when the first reconnect fails or it is not back within
        // one check interval.
        QString dropText;
        int dropStage = 0;
        bool reportRetry = false; // the first reconnect after a drop
        QTimer healing;
    };
    void Connect(quint64 userId, Entry& entry);
    void OnEnded(quint64 userId, const CheckResult& result);
    int IntervalMs() const;
    void Drop(std::map<quint64, std::unique_ptr<Entry>>::iterator it);
    // Logs the session out; one that waits for its server's answer is kept until it has left.
    void Leave(std::unique_ptr<ImapSession> session);

    Settings& settings_;
    CheckLogs& logs_;
    CountRecorder& recorder_;
    const TransportFactory& makeTransport_;
    std::map<quint64, std::unique_ptr<Entry>> entries_;
    std::vector<std::unique_ptr<ImapSession>> leaving_;
    int timeoutMs_ = ImapSession::TimeoutMs;
    Random* random_ = nullptr;
    const Clock* clock_ = nullptr;
};
