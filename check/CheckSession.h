#pragma once

#include "ServerAddress.h"

#include <QObject>

// One user's check, as the scheduler sees it: begun for a user, it runs through its stages on
// the events of its connection and says when it is over.
class CheckSession : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Checks the user with identity `userId` on the server at `address`.
    virtual void Begin(quint64 userId, const ServerAddress& address) = 0;
    // The step the session waits for, as logged with an error.
    virtual int Stage() const = 0;
    // Closes the connection, if any, without a word to the server.
    virtual void Close() = 0;
    virtual void SetTimeoutInterval(int ms) = 0;

signals:
    // The check is over. `nextAtOnce`: the next due user follows without the pause (the
    // checked user was deleted meanwhile).
    void Ended(bool nextAtOnce);
    // What the user lists show may have changed.
    void StatusChanged();
};
