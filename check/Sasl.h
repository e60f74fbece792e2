#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

struct ServerAddress;

// The two SASL mechanisms that carry an OAuth 2.0 access token: the standard one and the
// older one that some large providers still require.
enum class BearerMechanism { OAuthBearer, XOAuth2 };

// The mechanism's name on the wire.
QByteArray MechanismName(BearerMechanism mechanism);

// The client's first message, base64-encoded: who signs in, where, and the token.
QByteArray BearerInitialResponse(BearerMechanism mechanism, const QString& user,
                                 const ServerAddress& address, quint16 port, const QString& token);

// What answers the server's error challenge, so that it sends its final refusal.
QByteArray ErrorChallengeAnswer(BearerMechanism mechanism);

// The error challenge (base64 JSON) in words for the failure text: its "status" (with the
// scope where it names one), else a short quote of whatever it held.
QString ChallengeStatus(const QByteArray& base64);

// Why a token must not go out on this connection, or nothing when it may: over a connection
// meant for TLS only once TLS is up, in clear only to a loopback address. Also refuses a
// name or token that would break the message apart.
std::optional<QString> BearerRefusal(const ServerAddress& address, bool encrypted,
                                     const QString& user, const QString& token);
