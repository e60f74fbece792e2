#pragma once

#include <QObject>
#include <QString>
#include <functional>

// Where passwords are kept outside the settings file: the desktop's keyring in the program, a
// map in tests. One item per user, found by its label; every call answers later, once, through
// its callback, on the caller's thread.
class SecretStore : public QObject {
    Q_OBJECT
public:
    enum class Result {
        Ok,
        NotFound,    // no such item (deleted in the keyring's manager)
        Unavailable, // no keyring service, or it is locked: worth trying again later
        Refused,     // the keyring said no (access denied, a write refused)
    };
    // `secret` is the password read (empty but for a read that found it); `error` says why
    // in the keyring's words when `result` is not Ok.
    using Done = std::function<void(Result result, const QString& secret, const QString& error)>;

    using QObject::QObject;

    // Whether a keyring service is there to ask (on the session bus).
    virtual bool Available() const = 0;
    virtual void Read(const QString& label, Done done) = 0;
    virtual void Write(const QString& label, const QString& secret, Done done) = 0;
    virtual void Remove(const QString& label, Done done) = 0;

signals:
    // The service came or went, or the keyring's state changed (unlocked): waiting reads may
    // succeed now.
    void Changed();
};
