#pragma once

#include "OAuthClient.h"
#include "TokenCommand.h"

#include <QHash>
#include <QObject>
#include <functional>
#include <optional>

class Clock;

// How a mailbox signs in when not with its password: the provider (with the client ID to use)
// and the refresh token, which is kept where the password is.
// Or a token command of the user's, run at every check.
struct SignIn {
    OAuthProvider provider;
    QString refreshToken;
    QString command = {};
};

// The access tokens of the mailboxes that sign in with OAuth 2.0, in memory only. A token is
// used until 60 s before it expires (half its life, for one that lives under 2 minutes); then
// the token address is asked with the refresh token.
class BearerTokens final : public QObject {
    Q_OBJECT
public:
    struct Result {
        std::optional<QString> token;
        TokenReply reply; // why there is none
    };
    using Got = std::function<void(const Result& result)>;

    explicit BearerTokens(const Clock& clock, QObject* parent = nullptr);

    // The access token of `userId`: at once when one is fresh, else after a refresh.
    void Get(quint64 userId, const SignIn& signIn, Got got);
    // A token just issued for `refreshToken`'s sign-in (in the editor), good for
    // `expiresInSeconds`.
    void Remember(quint64 userId, const QString& accessToken, qint64 expiresInSeconds,
                  const QString& refreshToken);
    // The server refused the token, or the mailbox changed: the next Get refreshes.
    void Forget(quint64 userId) { cache_.remove(userId); }

    // How long a token that lives `expiresInSeconds` is used, in milliseconds.
    static qint64 UsableMs(qint64 expiresInSeconds);

    TokenClient& Client() { return client_; }

signals:
    // The provider sent a new refresh token with the access token: it replaces the old one.
    void RefreshTokenRotated(quint64 userId, const QString& refreshToken);

private:
    struct Cached {
        QString token;
        qint64 usableUntil = 0; // Clock::Stamp
        QString refreshToken;   // of the sign-in it belongs to: another one makes it void
    };

    const Clock& clock_;
    TokenClient client_;
    TokenCommand command_;
    QHash<quint64, Cached> cache_;
};
