#pragma once

#include "core/SecretStore.h"

#include <QSet>
#include <QThread>

class QDBusServiceWatcher;

// The desktop's keyring through QtKeychain: the Secret Service or KWallet on the session bus,
// the Credential Manager on Windows. The keyring's service is watched on the bus (its name
// coming and going, a collection unlocked), never polled.
class KeychainStore final : public SecretStore {
    Q_OBJECT
public:
    explicit KeychainStore(QObject* parent = nullptr);
    ~KeychainStore() override;

    bool Available() const override;
    void Read(const QString& label, Done done) override;
    void Write(const QString& label, const QString& secret, Done done) override;
    void Remove(const QString& label, Done done) override;

private slots:
    void OnKeyringChanged(); // a D-Bus signal of the keyring's: old-style connect only

private:
    enum class Kind { Read, Write, Remove };
    void Run(Kind kind, const QString& label, const QString& secret, Done done);
    void WatchBus();

    // The jobs run here: its event loop is glib's, which the keyring's client library
    // answers through, whatever dispatcher the program's own thread uses.
    QThread thread_;
    QObject* worker_ = nullptr; // lives in thread_
    QDBusServiceWatcher* watcher_ = nullptr;
    QSet<QString> present_; // the keyring services on the bus
    bool always_ = false;   // no bus to watch: the platform's own store is always there
};
