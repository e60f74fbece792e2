#pragma once

#include "ServerAddress.h"

#include "Messages.h"

#include <QObject>
#include <QSet>
#include <QStringList>
#include <functional>
#include <optional>

// What a check is begun with: where, as whom, and whether the mailbox is still there (false
// once it was deleted while its session ran; the session then drops it).
struct CheckRequest {
    ServerAddress address;
    QString username;
    QString password;
    std::function<bool()> wanted;
    // Set for a mailbox that signs in with OAuth 2.0: the access token to present instead of
    // the password.
    std::optional<QString> bearer = std::nullopt;
    // Listing: ask for the messages' identities (POP3 UIDL, IMAP UIDs) where the server has
    // them, and the headers of those not in `known`, at most `fetchLimit`, newest first.
    bool list = false;
    QSet<QString> known = {};
    QString uidValidity = {}; // IMAP: the folder's, when `known` was listed; another one: no fetch
    int fetchLimit = 0;
};

// The most message headers a check fetches; the rest of the new ones are counted only.
inline constexpr int FetchLimit = 200;

// A count that a server reported: the response line as received (for the STAT log), the text
// the count was read from, the count, and the session's stage then.
struct ServerCount {
    QString reply;
    QString countText;
    qint32 count = 0;
    int stage = 0;
    // With identities: those of the messages counted, oldest first (POP3: every message; IMAP:
    // the unseen ones), and the summaries fetched for the ones asked for.
    bool listed = false;
    QStringList ids = {};
    QString uidValidity = {};
    QList<MessageSummary> fetched = {};
    bool noUidl = false; // POP3: the server refused UIDL; counted as before
};

// How a check ended: the count, when it got that far, and the failure with its stage, when
// there was one (after the count, a failed QUIT or LOGOUT).
struct CheckResult {
    std::optional<ServerCount> count;
    std::optional<QString> failure;
    int failedStage = 0;
    bool gone = false;         // the mailbox was deleted meanwhile: nothing to apply
    bool loginRefused = false; // the failure was a refused login
    bool offersIdle = false;   // the server offers IDLE
    // The failure ended a watch that worked: the server closed the connection or said BYE
    // while idling. The watcher decides whether it is the user's error.
    bool dropped = false;
};

// One mailbox's check, as the scheduler sees it: begun with what it needs, it runs through its
// stages on the events of its connection and hands back what it found.
class CheckSession : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void Begin(const CheckRequest& request) = 0;
    // The step the session waits for, as logged with an error.
    virtual int Stage() const = 0;
    // Closes the connection, if any, without a word to the server.
    virtual void Close() = 0;
    virtual void SetTimeoutInterval(int ms) = 0;

signals:
    // The server's count is in; the session goes on (to its end, or watching).
    void Counted(const ServerCount& count);
    // The check is over.
    void Finished(const CheckResult& result);
    // What the user lists show may have changed.
    void StatusChanged();
};
