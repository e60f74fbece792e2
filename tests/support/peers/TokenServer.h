#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>
#include <functional>
#include <utility>

// A provider's token address on 127.0.0.1: each POST gets the next queued answer (the last
// one again once the queue is down to it), and its form is kept.
class TokenServer final : public QObject {
public:
    TokenServer() {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(*socket); });
            }
        });
    }
    QString Url() const {
        return QStringLiteral("http://127.0.0.1:%1/token").arg(server_.serverPort());
    }
    // `status` and `body` for the next request.
    void Queue(int status, const QByteArray& body) { answers_.append({status, body}); }
    // Answers instead of the queue, by the request's path and form.
    std::function<std::pair<int, QByteArray>(const QByteArray& path, const QUrlQuery& form)>
        handler;
    // The forms received, one per request.
    QList<QUrlQuery> forms;
    // With a user named, "/introspect" is answered here, as a mail server asks it: active for
    // the tokens in `active`, as that user's.
    QByteArray introspectedUser;
    QSet<QString> active;
    QString IntrospectionUrl() const {
        return QStringLiteral("http://127.0.0.1:%1/introspect").arg(server_.serverPort());
    }

private:
    void Read(QTcpSocket& socket) {
        QByteArray& buffer = buffers_[&socket];
        buffer += socket.readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        if (buffer.startsWith("GET ")) {
            Authorize(socket, QUrl(QString::fromLatin1(buffer.split(' ').value(1))));
            buffers_.remove(&socket);
            return;
        }
        qsizetype length = 0;
        for (const QByteArray& line : buffer.left(end).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (buffer.size() < end + 4 + length)
            return;
        const QUrlQuery form(QString::fromUtf8(buffer.mid(end + 4, length)));
        const QByteArray path = buffer.left(buffer.indexOf('\n')).split(' ').value(1);
        buffers_.remove(&socket);
        const bool introspection = path == "/introspect";
        const auto [status, body] =
            introspection && !introspectedUser.isEmpty()
                ? std::pair{200, active.contains(form.queryItemValue("token"))
                                     ? "{\"active\":true,\"username\":\"" + introspectedUser + "\"}"
                                     : QByteArray("{\"active\":false}")}
            : handler             ? handler(path, form)
            : answers_.size() > 1 ? answers_.takeFirst()
                                  : answers_.value(0);
        if (!handler || !introspection)
            forms.append(form);
        socket.write("HTTP/1.1 " + QByteArray::number(status) +
                     " X\r\nContent-Type: application/json\r\nConnection: close\r\n"
                     "Content-Length: " +
                     QByteArray::number(body.size()) + "\r\n\r\n" + body);
        socket.disconnectFromHost();
    }

    // The authorization page of a user who approves at once: back to the redirect with a
    // code, whose exchange must then bring the verifier of the challenge sent here.
    void Authorize(QTcpSocket& socket, const QUrl& url) {
        const QUrlQuery query(url);
        challenge = query.queryItemValue("code_challenge").toLatin1();
        QUrl back(query.queryItemValue("redirect_uri", QUrl::FullyDecoded));
        back.setQuery("code=C0DE&state=" + query.queryItemValue("state"));
        const bool pkce = query.queryItemValue("code_challenge_method") == "S256";
        socket.write(pkce ? "HTTP/1.1 302 Found\r\nLocation: " + back.toEncoded() +
                                "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                          : QByteArray("HTTP/1.1 400 No PKCE\r\nContent-Length: 0\r\n\r\n"));
        socket.disconnectFromHost();
    }

public:
    QByteArray challenge; // the last authorization's PKCE challenge

private:
    QTcpServer server_;
    QList<std::pair<int, QByteArray>> answers_;
    QHash<QTcpSocket*, QByteArray> buffers_;
};
