#include "Sasl.h"

#include "ServerAddress.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

QByteArray MechanismName(BearerMechanism mechanism) {
    return mechanism == BearerMechanism::OAuthBearer ? QByteArrayLiteral("OAUTHBEARER")
                                                     : QByteArrayLiteral("XOAUTH2");
}

QByteArray BearerInitialResponse(BearerMechanism mechanism, const QString& user,
                                 const ServerAddress& address, quint16 port, const QString& token) {
    const QByteArray name = user.toUtf8();
    const QByteArray bearer = "auth=Bearer " + token.toLatin1();
    QByteArray message;
    if (mechanism == BearerMechanism::XOAuth2) {
        message = "user=" + name + '\x01' + bearer + "\x01\x01";
    } else {
        // The GS2 header's authorisation identity escapes "," and "=".
        QByteArray escaped = name;
        escaped.replace("=", "=3D").replace(",", "=2C");
        message = "n,a=" + escaped + ",\x01host=" + address.host.toUtf8() +
                  "\x01port=" + QByteArray::number(port) + '\x01' + bearer + "\x01\x01";
    }
    return message.toBase64();
}

QByteArray ErrorChallengeAnswer(BearerMechanism mechanism) {
    // OAUTHBEARER wants a lone %x01 (base64 "AQ=="); XOAUTH2 an empty response.
    return mechanism == BearerMechanism::OAuthBearer ? QByteArrayLiteral("AQ==") : QByteArray();
}

QString ChallengeStatus(const QByteArray& base64) {
    const QByteArray decoded = QByteArray::fromBase64(base64.trimmed());
    const QJsonObject json = QJsonDocument::fromJson(decoded).object();
    const QJsonValue status = json.value(QLatin1String("status"));
    if (status.isString() && !status.toString().isEmpty()) {
        const QString scope = json.value(QLatin1String("scope")).toString();
        return QStringLiteral("status %1%2")
            .arg(status.toString().left(100),
                 scope.isEmpty() ? QString() : QStringLiteral(", scope %1").arg(scope.left(200)));
    }
    QString quoted = QString::fromUtf8(decoded.left(200));
    for (QChar& c : quoted) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    return QStringLiteral("\"%1\"").arg(quoted);
}

std::optional<QString> BearerRefusal(const ServerAddress& address, bool encrypted,
                                     const QString& user, const QString& token) {
    if (address.security != Security::None && !encrypted)
        return QStringLiteral("TLS is not established; the sign-in was not sent.");
    if (address.security == Security::None && !QHostAddress(address.host).isLoopback())
        return QStringLiteral("An OAuth 2.0 sign-in goes only over TLS: choose STARTTLS or TLS "
                              "under Security. Nothing was sent.");
    if (token.isEmpty())
        return QStringLiteral("There is no access token to sign in with; nothing was sent.");
    // A bearer token is printable ASCII; anything else would end the message early.
    for (const QChar c : token) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return QStringLiteral("The access token holds a character that is not allowed; "
                                  "nothing was sent.");
    }
    for (const QChar c : user) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("The user name holds a control character; nothing was sent.");
    }
    return std::nullopt;
}
