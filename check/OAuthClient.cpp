#include "OAuthClient.h"

#include "SocketTransport.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

namespace {
constexpr auto Base64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray RandomText(QRandomGenerator& secrets, int bytes) {
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char& c : raw)
        c = char(secrets.bounded(256));
    return raw.toBase64(Base64Url);
}

QByteArray Page(const QByteArray& status, const QString& text) {
    const QByteArray body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Tarnwick"
                            "</title></head><body><p>" +
                            text.toHtmlEscaped().toUtf8() + "</p></body></html>\n";
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
           "Connection: close\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QString Words(const QString& text) {
    QString shown = text.left(300);
    for (QChar& c : shown) {
        if (!c.isPrint())
            c = QLatin1Char(' ');
    }
    return shown;
}
} // namespace

Authorization Authorization::Make(QRandomGenerator& secrets) {
    Authorization a;
    a.verifier = RandomText(secrets, 48); // 64 characters, within RFC 7636's 43 to 128
    a.challenge =
        QCryptographicHash::hash(a.verifier, QCryptographicHash::Sha256).toBase64(Base64Url);
    a.state = RandomText(secrets, 24);
    return a;
}

QUrl AuthorizationUrl(const OAuthProvider& provider, const Authorization& authorization,
                      const QUrl& redirect, const QString& loginHint) {
    QList<std::pair<QString, QString>> items = {
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("client_id"), provider.clientId},
        {QStringLiteral("redirect_uri"), redirect.toString()},
        {QStringLiteral("scope"), provider.scopes.join(QLatin1Char(' '))},
        {QStringLiteral("state"), QString::fromLatin1(authorization.state)},
        {QStringLiteral("code_challenge"), QString::fromLatin1(authorization.challenge)},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
        // Google hands out a refresh token only when asked for offline access.
        {QStringLiteral("access_type"), QStringLiteral("offline")}};
    if (!loginHint.isEmpty())
        items.append({QStringLiteral("login_hint"), loginHint});
    QUrl url = provider.authorizationUrl;
    QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
    for (const auto& [key, value] : items) {
        if (!query.isEmpty())
            query += '&';
        query += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
    }
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

RedirectListener::RedirectListener(QByteArray state, QObject* parent)
    : QObject(parent), state_(std::move(state)) {
    timeout_.setSingleShot(true);
    timeout_.setInterval(TimeoutMs);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        Close();
        emit Failed(QStringLiteral("No answer came from the browser within 5 minutes."));
    });
}

RedirectListener::~RedirectListener() {
    Close();
}

bool RedirectListener::Listen() {
    Close();
    server_ = new QTcpServer(this);
    if (!server_->listen(QHostAddress(QHostAddress::LocalHost))) {
        Close();
        return false;
    }
    connect(server_, &QTcpServer::newConnection, this, [this] {
        while (server_ && server_->hasPendingConnections()) {
            QTcpSocket* socket = server_->nextPendingConnection();
            socket->setParent(this); // its answer outlives the listener's one shot
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnRequest(socket); });
        }
    });
    timeout_.start();
    return true;
}

QUrl RedirectListener::RedirectUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server_ ? server_->serverPort() : 0));
}

void RedirectListener::Close() {
    timeout_.stop();
    if (server_) {
        server_->close();
        server_->deleteLater();
        server_ = nullptr;
    }
}

void RedirectListener::OnRequest(QTcpSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > RequestLimit)
            socket->abort();
        return;
    }
    const QList<QByteArray> words = socket->readLine(RequestLimit).trimmed().split(' ');
    socket->disconnect(this);
    const QUrl target(QString::fromLatin1(words.value(1)));
    const QUrlQuery query(target);
    const bool matches = words.value(0) == "GET" &&
                         query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) ==
                             QString::fromLatin1(state_) &&
                         !state_.isEmpty();
    if (!matches || !server_) {
        socket->write(Page("404 Not Found", QStringLiteral("Nothing here.")));
        socket->disconnectFromHost();
        return;
    }
    const QString code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    const QString error = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
    Close(); // one shot
    if (!code.isEmpty()) {
        socket->write(Page("200 OK", QStringLiteral("Tarnwick is signed in. You can close this "
                                                    "window.")));
        socket->disconnectFromHost();
        emit CodeReceived(code.toUtf8());
        return;
    }
    const QString why =
        error == QLatin1String("access_denied")
            ? QStringLiteral("The sign-in was declined (access_denied).")
            : QStringLiteral("The provider refused the sign-in (%1%2).")
                  .arg(Words(error.isEmpty() ? QStringLiteral("no code") : error),
                       query.hasQueryItem(QStringLiteral("error_description"))
                           ? QStringLiteral(": ") +
                                 Words(query.queryItemValue(QStringLiteral("error_description"),
                                                            QUrl::FullyDecoded))
                           : QString());
    socket->write(Page("200 OK", QStringLiteral("Tarnwick is not signed in. ") + why));
    socket->disconnectFromHost();
    emit Failed(why);
}

QString TokenReply::Text() const {
    if (!said.isEmpty())
        return said;
    switch (kind) {
    case Kind::Ok:
        return QString();
    case Kind::Refused:
        if (error == QLatin1String("invalid_client"))
            return QStringLiteral("The provider does not know this program's client ID "
                                  "(invalid_client%1).")
                .arg(description.isEmpty() ? QString() : QStringLiteral(": ") + description);
        return QStringLiteral("The provider refused the sign-in (%1%2).")
            .arg(error, description.isEmpty() ? QString() : QStringLiteral(": ") + description);
    case Kind::Failed:
        break;
    }
    return QStringLiteral("The provider's token address could not be reached: %1").arg(description);
}

TokenClient::TokenClient(QObject* parent)
    : QObject(parent), manager_(new QNetworkAccessManager(this)) {
    manager_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager_->setCookieJar(nullptr);
}

TokenClient::~TokenClient() = default;

TokenReply TokenClient::Read(int status, const QByteArray& body, const QString& networkError) {
    TokenReply reply;
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    const QString error = json.value(QLatin1String("error")).toString();
    if (!error.isEmpty() && status >= 400 && status < 500) {
        reply.kind = TokenReply::Kind::Refused;
        reply.error = Words(error);
        reply.description = Words(json.value(QLatin1String("error_description")).toString());
        return reply;
    }
    if (status == 0) {
        reply.description = networkError;
        return reply;
    }
    if (status != 200) {
        reply.description = QStringLiteral("it answered HTTP %1.").arg(status);
        return reply;
    }
    reply.accessToken = json.value(QLatin1String("access_token")).toString();
    if (json.isEmpty() || reply.accessToken.isEmpty()) {
        reply.description = json.isEmpty() ? QStringLiteral("its answer is not JSON.")
                                           : QStringLiteral("its answer holds no access token.");
        reply.accessToken.clear();
        return reply;
    }
    reply.kind = TokenReply::Kind::Ok;
    reply.refreshToken = json.value(QLatin1String("refresh_token")).toString();
    const QJsonValue expires = json.value(QLatin1String("expires_in"));
    reply.expiresInSeconds =
        expires.isString() ? expires.toString().toLongLong() : qint64(expires.toDouble(3600));
    if (reply.expiresInSeconds <= 0)
        reply.expiresInSeconds = 3600;
    // Who signed in, from the ID token's claims when there is one (its signature does not
    // matter here: the name is only shown).
    const QList<QByteArray> idToken =
        json.value(QLatin1String("id_token")).toString().toLatin1().split('.');
    if (idToken.size() == 3) {
        const QJsonObject claims =
            QJsonDocument::fromJson(
                QByteArray::fromBase64(idToken[1], QByteArray::Base64UrlEncoding))
                .object();
        for (const char* claim : {"email", "preferred_username", "name"}) {
            reply.account = Words(claims.value(QLatin1String(claim)).toString());
            if (!reply.account.isEmpty())
                break;
        }
    }
    return reply;
}

void TokenClient::ExchangeCode(const OAuthProvider& provider, const QByteArray& code,
                               const Authorization& authorization, const QUrl& redirect,
                               Done done) {
    Post(provider,
         {{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
          {QStringLiteral("code"), QString::fromUtf8(code)},
          {QStringLiteral("redirect_uri"), redirect.toString()},
          {QStringLiteral("code_verifier"), QString::fromLatin1(authorization.verifier)}},
         std::move(done));
}

void TokenClient::Refresh(const OAuthProvider& provider, const QString& refreshToken, Done done) {
    Post(provider,
         {{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
          {QStringLiteral("refresh_token"), refreshToken}},
         std::move(done));
}

void TokenClient::Post(const OAuthProvider& provider, QList<std::pair<QString, QString>> form,
                       Done done) {
    form.append({QStringLiteral("client_id"), provider.clientId});
    if (!provider.clientSecret.isEmpty())
        form.append({QStringLiteral("client_secret"), provider.clientSecret});
    QByteArray body;
    for (const auto& [key, value] : form) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
    }
    if (!IsAllowedEndpoint(provider.tokenUrl)) {
        TokenReply reply;
        reply.description = QStringLiteral("it is not an https address.");
        done(reply);
        return;
    }
    manager_->setProxy(MailProxyFor(provider.tokenUrl.host()));
    QNetworkRequest request(provider.tokenUrl);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(TimeoutMs);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    QNetworkReply* reply = manager_->post(request, body);
    auto answer = std::make_shared<QByteArray>();
    connect(reply, &QNetworkReply::readyRead, this, [reply, answer] {
        *answer += reply->read(AnswerLimit + 1 - answer->size());
        if (answer->size() > AnswerLimit)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [reply, answer, done = std::move(done)] {
        reply->deleteLater();
        *answer += reply->read(qMax<qint64>(0, AnswerLimit + 1 - answer->size()));
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString network =
            answer->size() > AnswerLimit
                ? QStringLiteral("its answer is longer than %1 bytes.").arg(AnswerLimit)
                : reply->errorString();
        done(Read(answer->size() > AnswerLimit ? 0 : status, *answer, network));
    });
}
