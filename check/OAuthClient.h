#pragma once

#include "core/OAuthProviders.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QRandomGenerator;
class QTcpServer;
class QTcpSocket;

// The secrets of one authorization: the PKCE verifier (its S256 challenge goes in the
// address) and the state that the redirect must bring back. Both from a generator for
// secrets, never the seeded one.
struct Authorization {
    QByteArray verifier;
    QByteArray challenge;
    QByteArray state;
    static Authorization Make(QRandomGenerator& secrets);
};

// The address the browser is sent to.
QUrl AuthorizationUrl(const OAuthProvider& provider, const Authorization& authorization,
                      const QUrl& redirect, const QString& loginHint);

// The one-shot listener for the browser's redirect on 127.0.0.1: it takes the first request
// whose state matches, answers it with a short page in plain words and closes; after
// `TimeoutMs` without one it closes too. Other requests get "404" and change nothing.
class RedirectListener final : public QObject {
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 5 * 60 * 1000;
    static constexpr qsizetype RequestLimit = 16 * 1024;

    explicit RedirectListener(QByteArray state, QObject* parent = nullptr);
    ~RedirectListener() override;

    // Listens on a free port; false when it cannot.
    bool Listen();
    // "http://127.0.0.1:PORT/".
    QUrl RedirectUrl() const;
    void Close();

signals:
    void CodeReceived(const QByteArray& code);
    // The provider sent an error back, or no redirect came in time: in plain words.
    void Failed(const QString& why);

private:
    void OnRequest(QTcpSocket* socket);

    QByteArray state_;
    QTcpServer* server_ = nullptr;
    QTimer timeout_;
};

// What the token address answered.
struct TokenReply {
    enum class Kind { Ok, Refused, Failed };
    Kind kind = Kind::Failed;
    QString accessToken;
    QString refreshToken; // empty: the old one stays
    qint64 expiresInSeconds = 0;
    QString account;     // who signed in, when the answer tells (an ID token's name)
    QString error;       // Refused: the provider's code ("invalid_grant")
    QString description; // the provider's or the network's words
    QString said;        // the whole text, where it is none of the above (a token command's)
    // In plain words, for the editor and the error log.
    QString Text() const;
};

// Requests at a provider's token address: the code exchange and the refresh. Through the
// proxy that mail uses; at most `TimeoutMs`; an answer over `AnswerLimit` bytes is cut off.
class TokenClient final : public QObject {
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 30000;
    static constexpr qint64 AnswerLimit = 64 * 1024;

    explicit TokenClient(QObject* parent = nullptr);
    ~TokenClient() override;

    using Done = std::function<void(const TokenReply& reply)>;
    void ExchangeCode(const OAuthProvider& provider, const QByteArray& code,
                      const Authorization& authorization, const QUrl& redirect, Done done);
    void Refresh(const OAuthProvider& provider, const QString& refreshToken, Done done);

    // How an answer reads (for tests): `status` the HTTP status, 0 for a network failure.
    static TokenReply Read(int status, const QByteArray& body, const QString& networkError);

private:
    void Post(const OAuthProvider& provider, QList<std::pair<QString, QString>> form, Done done);

    QNetworkAccessManager* manager_;
};
