#pragma once

#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

class ShowListener;

// Makes sure only one Tarnwick works on a settings file: a lock file beside the settings file
// and one in the per-user runtime folder, both taken before any window exists. The first
// keeps out a start from another session of the same user (su, cron, ssh: another runtime
// folder), the second a start in this session while the settings folder is read-only. A lock
// left behind by a killed process is stale and taken over. Beside the runtime lock, the
// running program listens for a later start, which asks it to show its control centre.
class SingleInstance final {
public:
    SingleInstance(const QString& folder, const QString& settingsFile);
    ~SingleInstance();

    enum class Outcome {
        Held,          // this program is the one
        OtherInstance, // another program holds a lock
        NoLock,        // neither lock could be had at all (`error` says why)
    };
    Outcome TryLock(QString* error = nullptr);
    void Unlock();
    // Once the runtime lock is held: calls `show` whenever a later start asks. Only the holder
    // of that lock touches the socket file. A request is "show" and a line end, sent within
    // 2 s; anything longer or later is hung up on, and only a few starts are served at a time.
    bool Listen(std::function<void()> show);
    // From a later start: asks the program holding the lock to show itself. False when none
    // answered.
    bool AskToShow() const;

    // $XDG_RUNTIME_DIR when it is this user's own private folder (mode 0700); else a private
    // folder of this user's in the temporary folder (or, should someone else hold that name,
    // in the state folder). Empty, with `error` set, when no such folder can be had.
    static QString DefaultFolder(QString* error);

private:
    QString socketPath_;
    QLockFile lock_;
    QLockFile settingsLock_;
    bool runtimeHeld_ = false;
    std::unique_ptr<ShowListener> listener_;
};
