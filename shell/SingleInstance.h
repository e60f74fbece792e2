#pragma once

#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;

// Makes sure only one Tarnwick runs for this user: a lock file in the per-user runtime
// folder, taken before any window exists. A lock left behind by a killed process is stale
// and taken over. Beside the lock, the running program listens for a later start, which asks
// it to show its control centre.
class SingleInstance final {
public:
    explicit SingleInstance(const QString& folder);
    ~SingleInstance();

    bool TryLock();
    void Unlock();
    // Once the lock is held: calls `show` whenever a later start asks.
    bool Listen(std::function<void()> show);
    // From a later start: asks the program holding the lock to show itself. False when none
    // answered.
    bool AskToShow() const;

    // $XDG_RUNTIME_DIR; without it a private folder of this user's in the temporary folder
    // (or, should someone else hold that name, in the state folder). Empty, with `error`
    // set, when no such folder can be had.
    static QString DefaultFolder(QString* error);

private:
    QString socketPath_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};
