#include "KeychainStore.h"

#include "core/Trace.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <qt6keychain/keychain.h>

namespace {
// The keyrings QtKeychain speaks to on the session bus.
const QStringList KeyringServices{QStringLiteral("org.freedesktop.secrets"),
                                  QStringLiteral("org.kde.kwalletd5"),
                                  QStringLiteral("org.kde.kwalletd6")};

SecretStore::Result ResultOf(QKeychain::Error error) {
    switch (error) {
    case QKeychain::NoError:
        return SecretStore::Result::Ok;
    case QKeychain::EntryNotFound:
        return SecretStore::Result::NotFound;
    case QKeychain::NoBackendAvailable:
        return SecretStore::Result::Unavailable;
    default: // denied, not implemented, or anything the keyring said
        return SecretStore::Result::Refused;
    }
}
} // namespace

KeychainStore::KeychainStore(QObject* parent) : SecretStore(parent) {
    worker_ = new QObject;
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start();
    WatchBus();
}

KeychainStore::~KeychainStore() {
    thread_.quit();
    thread_.wait();
}

void KeychainStore::WatchBus() {
    // The Credential Manager is part of the system; elsewhere the keyring is a service on the
    // session bus, and without a bus (none is ever started for us) there is none.
    if (QSysInfo::productType() == QLatin1String("windows")) {
        always_ = true;
        return;
    }
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface* names = bus.interface();
    if (!bus.isConnected() || !names)
        return;
    watcher_ = new QDBusServiceWatcher(this);
    watcher_->setConnection(bus);
    watcher_->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    watcher_->setWatchedServices(KeyringServices);
    connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this](const QString& name) {
        Trace(QStringLiteral("The keyring %1 is on the bus").arg(name));
        present_.insert(name);
        emit Changed();
    });
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& name) {
        present_.remove(name);
        emit Changed();
    });
    // A service the bus starts on demand counts as there.
    const QStringList activatable = names->activatableServiceNames();
    for (const QString& name : KeyringServices) {
        if (names->isServiceRegistered(name) || activatable.contains(name))
            present_.insert(name);
    }
    // A collection unlocked, a wallet opened: reads that waited may work now.
    bus.connect(QString(), QStringLiteral("/org/freedesktop/secrets"),
                QStringLiteral("org.freedesktop.Secret.Service"),
                QStringLiteral("CollectionChanged"), this, SLOT(OnKeyringChanged()));
    for (const char* path : {"/modules/kwalletd5", "/modules/kwalletd6"})
        bus.connect(QString(), QLatin1String(path), QStringLiteral("org.kde.KWallet"),
                    QStringLiteral("walletOpened"), this, SLOT(OnKeyringChanged()));
}

void KeychainStore::OnKeyringChanged() {
    emit Changed();
}

bool KeychainStore::Available() const {
    return always_ || !present_.isEmpty();
}

void KeychainStore::Read(const QString& label, Done done) {
    Run(Kind::Read, label, QString(), std::move(done));
}

void KeychainStore::Write(const QString& label, const QString& secret, Done done) {
    Run(Kind::Write, label, secret, std::move(done));
}

void KeychainStore::Remove(const QString& label, Done done) {
    Run(Kind::Remove, label, QString(), std::move(done));
}

void KeychainStore::Run(Kind kind, const QString& label, const QString& secret, Done done) {
    // Never asked without a service: the client library would start a bus of its own.
    if (!Available()) {
        QMetaObject::invokeMethod(
            this,
            [done] { done(Result::Unavailable, {}, QStringLiteral("no keyring service runs")); },
            Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(worker_, [this, kind, label, secret, done = std::move(done)] {
        // The label names the item in the keyring's manager; QtKeychain shows its service.
        QKeychain::Job* job = nullptr;
        if (kind == Kind::Read) {
            job = new QKeychain::ReadPasswordJob(label, worker_);
        } else if (kind == Kind::Write) {
            auto* write = new QKeychain::WritePasswordJob(label, worker_);
            write->setTextData(secret);
            job = write;
        } else {
            job = new QKeychain::DeletePasswordJob(label, worker_);
        }
        job->setKey(label);
        job->setInsecureFallback(false); // never a plain file instead
        connect(job, &QKeychain::Job::finished, worker_, [this, done](QKeychain::Job* finished) {
            const Result result = ResultOf(finished->error());
            QString text;
            if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(finished))
                text = read->textData();
            const QString error = finished->errorString();
            // Back on the program's thread; dropped if this store is gone by then.
            QMetaObject::invokeMethod(this, [done, result, text, error] {
                done(result, result == Result::Ok ? text : QString(), error);
            });
        });
        job->start();
    });
}
