#pragma once

#include <QLockFile>
#include <QString>

// Makes sure only one Tarnwick runs for this user: a lock file in the per-user runtime
// folder, taken before any window exists. A lock left behind by a killed process is stale
// and taken over.
class SingleInstance final {
public:
    explicit SingleInstance(const QString& lockPath = DefaultLockPath());
    bool TryLock();
    void Unlock() { lock_.unlock(); }

    static QString DefaultLockPath();

private:
    QLockFile lock_;
};
