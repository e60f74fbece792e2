#include "KeptPasswords.h"

#include "Logs.h"
#include "core/Settings.h"

#include <QTimer>
#include <memory>

namespace {
QString Who(const UserRecord& user) {
    return QStringLiteral("%1 on %2").arg(user.Username, user.MailServer);
}
} // namespace

KeptPasswords::KeptPasswords(Settings& settings, SecretStore& store, CheckLogs& logs,
                             QObject* parent)
    : QObject(parent), settings_(settings), store_(store), logs_(logs) {
    connect(&store_, &SecretStore::Changed, this, [this] {
        if (on_)
            ReadWaiting(true);
    });
}

QString KeptPasswords::Label(const UserRecord& user) {
    return QStringLiteral("Tarnwick: ") + Who(user);
}

void KeptPasswords::Begin() {
    for (int i = 0; i < settings_.UserCount(); ++i)
        labels_.insert(Label(settings_.Users[i]));
    if (on_)
        ReadWaiting(true);
}

bool KeptPasswords::Waits(const UserRecord& user) const {
    return user.Password.isEmpty() && (on_ || missing_.contains(user.Id));
}

bool KeptPasswords::Held(const UserRecord& user) {
    if (!Waits(user))
        return false;
    if (on_ && !missing_.contains(user.Id) && !reading_.contains(user.Id) &&
        !failed_.contains(user.Id))
        QTimer::singleShot(0, this, [this] { ReadWaiting(false); }); // not inside the pick
    return true;
}

bool KeptPasswords::InKeyring(const UserRecord& user) const {
    return on_ && kept_.value(user.Id) == qMakePair(Label(user), user.Password);
}

void KeptPasswords::NoteWaiting(const QString& why) {
    if (std::exchange(waitingNoted_, true))
        return;
    logs_.LogNote(QStringLiteral("Waiting for the keyring (%1): mailboxes whose password is kept "
                                 "there are checked once it can be read.")
                      .arg(why));
}

void KeptPasswords::ReadWaiting(bool again) {
    if (again)
        failed_.clear();
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const UserRecord& user = settings_.Users[i];
        if (!Waits(user) || missing_.contains(user.Id) || reading_.contains(user.Id) ||
            failed_.contains(user.Id))
            continue;
        if (!store_.Available()) {
            NoteWaiting(QStringLiteral("no keyring service runs"));
            return;
        }
        Read(user.Id, [](bool, const QString&) {});
    }
}

void KeptPasswords::Read(quint64 id, const std::function<void(bool, const QString&)>& then) {
    const int index = settings_.IndexOfId(id);
    if (index < 0)
        return then(true, QString());
    const QString label = Label(settings_.Users[index]);
    reading_.insert(id);
    store_.Read(label, [this, id, label, then](SecretStore::Result result, const QString& secret,
                                               const QString& error) {
        reading_.remove(id);
        failed_.remove(id);
        const int at = settings_.IndexOfId(id);
        // Gone, or changed in setup meanwhile: what was read is no longer its password.
        if (at < 0 || Label(settings_.Users[at]) != label)
            return then(true, QString());
        UserRecord& user = settings_.Users[at];
        switch (result) {
        case SecretStore::Result::Ok:
            waitingNoted_ = false;
            if (user.Password.isEmpty())
                user.Password = secret;
            kept_.insert(id, qMakePair(label, secret));
            emit Arrived();
            return then(true, QString());
        case SecretStore::Result::NotFound:
            waitingNoted_ = false;
            if (!missing_.contains(id)) {
                missing_.insert(id);
                logs_.DoError(QStringLiteral("No password in the keyring for %1: set it in Setup.")
                                  .arg(Who(user)),
                              at, 0);
            }
            return then(true, QString()); // nothing left to lose: it is set anew in setup
        case SecretStore::Result::Unavailable:
        case SecretStore::Result::Refused:
            failed_.insert(id);
            NoteWaiting(error);
            return then(false, error);
        }
    });
}

void KeptPasswords::StoreAll(Finished done) {
    struct Item {
        quint64 id;
        QString label, password, who;
    };
    auto items = std::make_shared<QList<Item>>();
    QSet<QString> labels;
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const UserRecord& user = settings_.Users[i];
        labels.insert(Label(user));
        // One still to come from the keyring stays there; one kept there already needs nothing.
        if (!user.Password.isEmpty() && !InKeyring(user))
            items->append({user.Id, Label(user), user.Password, user.ScreenName});
    }
    if (!items->isEmpty() && !store_.Available())
        return done(QStringLiteral("No keyring service runs on this desktop."));
    // One after the other: write, read back, compare; the first failure ends it.
    auto next = std::make_shared<std::function<void(int)>>();
    *next = [this, items, labels, done, next](int at) {
        if (at == items->size()) {
            for (const Item& item : std::as_const(*items)) {
                kept_.insert(item.id, qMakePair(item.label, item.password));
                missing_.remove(item.id);
            }
            // Items of users deleted or renamed since go.
            for (const QString& old : labels_ - labels)
                store_.Remove(old, [](SecretStore::Result, const QString&, const QString&) {});
            labels_ = labels;
            const Finished finish = done; // this very closure goes with the cycle
            *next = nullptr;              // no cycle left behind
            return finish(QString());
        }
        const Item item = items->at(at);
        auto fail = [done, next, item](const QString& error) {
            *next = nullptr;
            done(QStringLiteral("The keyring did not keep the password of \"%1\": %2")
                     .arg(item.who, error));
        };
        store_.Write(item.label, item.password,
                     [this, item, at, next, fail](SecretStore::Result result, const QString&,
                                                  const QString& error) {
                         if (result != SecretStore::Result::Ok)
                             return fail(error);
                         store_.Read(item.label, [item, at, next, fail](SecretStore::Result read,
                                                                        const QString& secret,
                                                                        const QString& why) {
                             if (read != SecretStore::Result::Ok)
                                 return fail(why);
                             if (secret != item.password)
                                 return fail(QStringLiteral("it read back another password"));
                             (*next)(at + 1);
                         });
                     });
    };
    (*next)(0);
}

void KeptPasswords::FetchAll(Finished done) {
    QList<quint64> waiting;
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const UserRecord& user = settings_.Users[i];
        if (user.Password.isEmpty() && !missing_.contains(user.Id))
            waiting << user.Id;
    }
    if (waiting.isEmpty())
        return done(QString());
    if (!store_.Available())
        return done(QStringLiteral("No keyring service runs, so the passwords kept there "
                                   "cannot come back into the settings file."));
    auto left = std::make_shared<int>(int(waiting.size()));
    auto error = std::make_shared<QString>();
    for (const quint64 id : waiting) {
        Read(id, [left, error, done](bool ok, const QString& why) {
            if (!ok && error->isEmpty())
                *error = QStringLiteral("A password could not be read from the keyring: ") + why;
            if (--*left == 0)
                done(*error);
        });
    }
}

void KeptPasswords::RemoveAll(Finished done) {
    if (labels_.isEmpty())
        return done(QString());
    auto left = std::make_shared<int>(int(labels_.size()));
    auto error = std::make_shared<QString>();
    const QSet<QString> labels = std::exchange(labels_, {});
    kept_.clear();
    for (const QString& label : labels)
        store_.Remove(label, [this, label, left, error, done](SecretStore::Result result,
                                                              const QString&, const QString& why) {
            if (result != SecretStore::Result::Ok && result != SecretStore::Result::NotFound) {
                labels_.insert(label); // may be there still: a later removal tries it again
                if (error->isEmpty())
                    *error = why;
            }
            if (--*left == 0)
                done(*error);
        });
}

bool KeptPasswords::AllArrived() const {
    for (int i = 0; i < settings_.UserCount(); ++i)
        if (settings_.Users[i].Password.isEmpty())
            return false;
    return true;
}

void KeptPasswords::RemoveAll() {
    for (const QString& label : std::as_const(labels_))
        store_.Remove(label, [](SecretStore::Result, const QString&, const QString&) {});
    labels_.clear();
    kept_.clear();
}
