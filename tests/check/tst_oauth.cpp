// OAuth 2.0 sign-in: the access tokens a check gets from a scripted token address (refresh,
// rotation, revocation, failures), and the browser's part of a sign-in (the redirect to the
// loopback listener and the code exchange).
#include "check/BearerTokens.h"
#include "support/RunTests.h"
#include "support/TestWorld.h"
#include "support/peers/ScriptedServer.h"
#include "support/peers/TokenServer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTest>

Q_DECLARE_METATYPE(ServerScript)

namespace {
using World = CheckWorld<SocketTransport>;
using Answers = QList<std::pair<int, QByteArray>>;

QByteArray Token(const char* access, int expiresIn, const char* refresh = nullptr) {
    return QByteArray(R"({"token_type":"Bearer","access_token":")") + access +
           R"(","expires_in":)" + QByteArray::number(expiresIn) +
           (refresh ? QByteArray(R"(,"refresh_token":")") + refresh + '"' : QByteArray()) + "}";
}

// A POP3 server that takes the token and counts 2; `refuse` first refuses it.
ServerScript Pop3(bool refuse = false) {
    QList<QByteArray> replies{"+OK Ready.\r\n", "+OK\r\nSASL OAUTHBEARER\r\n.\r\n"};
    if (refuse)
        return Conversation(replies + QList<QByteArray>{"-ERR [AUTH] Invalid token.\r\n"});
    return Conversation(replies + QList<QByteArray>{"+OK\r\n", "+OK 2 20\r\n", "+OK\r\n"});
}

OAuthProvider Provider(const QString& tokenUrl) {
    OAuthProvider p;
    p.name = "Test";
    p.authorizationUrl = QUrl("http://127.0.0.1:1/auth");
    p.tokenUrl = QUrl(tokenUrl);
    p.clientId = "client";
    p.scopes = {"mail"};
    return p;
}

// The messages of the error log's records.
QStringList Errors(const World& w) {
    QStringList messages;
    for (const QByteArray& line : ReadFile(w.logs.ErrLogPath()).split('\n').mid(1)) {
        if (!line.trimmed().isEmpty())
            messages << QString::fromUtf8(line.trimmed().split('|').mid(7).join('|'));
    }
    return messages;
}
} // namespace

class TestTokens final : public QObject {
    Q_OBJECT

private slots:
    // Two checks, the second `laterMs` after the first: what the token address and the mail
    // server saw, and what was logged.
    void twoChecks_data() {
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<QList<ServerScript>>("mail");
        QTest::addColumn<qint64>("laterMs");
        QTest::addColumn<QStringList>("refreshTokens"); // sent, request by request
        QTest::addColumn<QByteArrayList>("tokensUsed"); // in the AUTH lines, in order
        QTest::addColumn<QStringList>("errors");
        const qint64 sixMinutes = 6 * 60 * 1000;
        QTest::newRow("one token for both")
            << Answers{{200, Token("A", 3600)}} << QList<ServerScript>{Pop3(), Pop3()} << sixMinutes
            << QStringList{"R1"} << QByteArrayList{"A", "A"} << QStringList{};
        QTest::newRow("expired, refreshed")
            << Answers{{200, Token("A", 400)}, {200, Token("B", 400)}}
            << QList<ServerScript>{Pop3(), Pop3()} << sixMinutes << QStringList{"R1", "R1"}
            << QByteArrayList{"A", "B"} << QStringList{};
        QTest::newRow("short life: used for half of it")
            << Answers{{200, Token("A", 100)}, {200, Token("B", 100)}}
            << QList<ServerScript>{Pop3(), Pop3()} << qint64(51000) << QStringList{"R1", "R1"}
            << QByteArrayList{"A", "B"} << QStringList{};
        QTest::newRow("rotated refresh token")
            << Answers{{200, Token("A", 400, "R2")}, {200, Token("B", 400)}}
            << QList<ServerScript>{Pop3(), Pop3()} << sixMinutes << QStringList{"R1", "R2"}
            << QByteArrayList{"A", "B"} << QStringList{};
        QTest::newRow("refused token: one fresh one")
            << Answers{{200, Token("A", 3600)}, {200, Token("B", 3600)}}
            << QList<ServerScript>{Pop3(true), Pop3(), Pop3()} << sixMinutes
            << QStringList{"R1", "R1"} << QByteArrayList{"A", "B", "B"} << QStringList{};
        QTest::newRow("revoked: said once, not checked again")
            << Answers{{400, R"({"error":"invalid_grant","error_description":"revoked"})"}}
            << QList<ServerScript>{} << sixMinutes << QStringList{"R1"} << QByteArrayList{}
            << QStringList{"Sign in again: the provider no longer accepts this sign-in "
                           "(invalid_grant: revoked)"};
        const QString unreachable = "The provider's token address could not be reached: ";
        QTest::newRow("HTTP 500, then well")
            << Answers{{500, "oops"}, {200, Token("A", 3600)}} << QList<ServerScript>{Pop3()}
            << sixMinutes << QStringList{"R1", "R1"} << QByteArrayList{"A"}
            << QStringList{unreachable + "it answered HTTP 500."};
        QTest::newRow("not JSON, twice")
            << Answers{{200, "<html>"}} << QList<ServerScript>{} << sixMinutes
            << QStringList{"R1", "R1"} << QByteArrayList{}
            << QStringList{unreachable + "its answer is not JSON.",
                           unreachable + "its answer is not JSON."};
    }
    void twoChecks() {
        QFETCH(Answers, answers);
        QFETCH(QList<ServerScript>, mail);
        QFETCH(qint64, laterMs);
        QFETCH(QStringList, refreshTokens);
        QFETCH(QByteArrayList, tokensUsed);
        QFETCH(QStringList, errors);
        TokenServer tokens;
        for (const auto& [status, body] : answers)
            tokens.Queue(status, body);
        ScriptedServer server;
        for (const ServerScript& script : mail)
            server.Queue(script);
        World w;
        w.engine.SetTimeoutInterval(2000);
        AddUser(w.settings, MakeUser("Home", "alice", "pop3://" + Local(server.Port()), "R1"));
        const quint64 id = w.settings.Users[0].Id;
        w.engine.SetSignIns([&](quint64 userId) -> std::optional<SignIn> {
            const int at = w.settings.IndexOfId(userId);
            return SignIn{Provider(tokens.Url()), w.settings.Users[at].Password};
        });
        QObject::connect(&w.engine.Tokens(), &BearerTokens::RefreshTokenRotated, &w.engine,
                         [&](quint64 userId, const QString& token) {
                             w.settings.Users[w.settings.IndexOfId(userId)].Password = token;
                         });
        QVERIFY(w.CheckAndWait());
        w.clock.Advance(laterMs);
        w.states.Update(id, [](MailboxState& s) { s.LastCheck = 0; }); // due again
        QVERIFY(w.CheckAndWait());
        QStringList sent;
        for (const QUrlQuery& form : tokens.forms) {
            QCOMPARE(form.queryItemValue("grant_type"), "refresh_token");
            QCOMPARE(form.queryItemValue("client_id"), "client");
            sent << form.queryItemValue("refresh_token");
        }
        QCOMPARE(sent, refreshTokens);
        QByteArrayList used;
        for (int c = 0; c < server.Connections(); ++c) {
            for (const QByteArray& line : server.Received(c)) {
                if (!line.startsWith("AUTH "))
                    continue;
                for (const QByteArray& part :
                     QByteArray::fromBase64(line.mid(17).trimmed()).split('\x01')) {
                    if (part.startsWith("auth=Bearer "))
                        used << part.mid(12);
                }
            }
        }
        QCOMPARE(used, tokensUsed);
        QCOMPARE(Errors(w), errors);
        QCOMPARE(w.sink.texts.size(), errors.size());
        QCOMPARE(w.engine.SignedOut(id), errors.join(' ').contains("invalid_grant"));
        // Nothing secret in the logs.
        const QByteArray logs = ReadFile(w.logs.ErrLogPath()) + ReadFile(w.logs.StatLogPath());
        for (const char* secret : {"R1", "R2", "\"A\"", "|A|", "|B|"})
            QVERIFY2(!logs.contains(secret), secret);
    }
};

// A token command's output signs in; its failures are logged with its last error line.
class TestTokenCommand final : public QObject {
    Q_OBJECT

private slots:
    void command_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("tokenUsed"); // none: no login
        QTest::addColumn<QString>("error");
        QTest::newRow("first line") << "sh -c 'echo T1; echo T2'" << QByteArray("T1") << "";
        QTest::newRow("quoted as a shell would")
            << "printf \"%s\\n\" 'T\"3'" << QByteArray("T\"3") << "";
        QTest::newRow("fails") << "sh -c 'echo T4; echo first >&2; echo why >&2; exit 3'"
                               << QByteArray() << "The token command failed (exit code 3): why";
        QTest::newRow("prints nothing")
            << "true" << QByteArray() << "The token command printed no token";
        QTest::newRow("not there") << "/nonexistent/helper --token" << QByteArray()
                                   << "The token command /nonexistent/helper could not be started.";
    }
    void command() {
        QFETCH(QString, command);
        QFETCH(QByteArray, tokenUsed);
        QFETCH(QString, error);
        ScriptedServer server;
        server.Queue(Pop3());
        World w;
        w.engine.SetTimeoutInterval(2000);
        AddUser(w.settings, MakeUser("Home", "alice", "pop3://" + Local(server.Port()), command));
        w.engine.SetSignIns([&](quint64) { return SignIn{{}, {}, command}; });
        QVERIFY(w.CheckAndWait());
        QCOMPARE(Errors(w), error.isEmpty() ? QStringList() : QStringList{error});
        const QByteArrayList sent = server.Received(0);
        const QByteArray auth = sent.value(1).mid(17).trimmed();
        QCOMPARE(QByteArray::fromBase64(auth).contains("auth=Bearer " + tokenUsed + '\x01'),
                 !tokenUsed.isEmpty());
        QVERIFY(!ReadFile(w.logs.ErrLogPath()).contains("T4"));
    }
};

// The browser's part: the address it is sent to, the redirect it follows to the listener,
// and the exchange of the code.
class TestSignInFlow final : public QObject {
    Q_OBJECT

private slots:
    void redirect_data() {
        QTest::addColumn<QString>("query"); // what the browser brings back; "%s" the state
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QByteArray>("page");
        QTest::newRow("approved") << "code=C0DE&state=%s"
                                  << "code C0DE"
                                  << QByteArray(
                                         "Tarnwick is signed in. You can close this window.");
        QTest::newRow("declined") << "error=access_denied&state=%s"
                                  << "The sign-in was declined (access_denied)."
                                  << QByteArray("Tarnwick is not signed in.");
        QTest::newRow("another state") << "code=C0DE&state=forged"
                                       << "" << QByteArray("Nothing here.");
    }
    void redirect() {
        QFETCH(QString, query);
        QFETCH(QString, outcome);
        QFETCH(QByteArray, page);
        const Authorization a = Authorization::Make(*QRandomGenerator::system());
        QCOMPARE(a.verifier.size(), 64);
        QVERIFY(a.state != Authorization::Make(*QRandomGenerator::system()).state);
        RedirectListener listener(a.state);
        QVERIFY(listener.Listen());
        QString said;
        connect(&listener, &RedirectListener::CodeReceived, this,
                [&](const QByteArray& code) { said = "code " + QString::fromUtf8(code); });
        connect(&listener, &RedirectListener::Failed, this,
                [&](const QString& why) { said = why; });
        const QUrl url = AuthorizationUrl(Provider("https://id.example/token"), a,
                                          listener.RedirectUrl(), "alice@example.com");
        const QUrlQuery sentQuery(url);
        QCOMPARE(sentQuery.queryItemValue("code_challenge_method"), "S256");
        QCOMPARE(sentQuery.queryItemValue("code_challenge").toLatin1(),
                 QCryptographicHash::hash(a.verifier, QCryptographicHash::Sha256)
                     .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
        QCOMPARE(sentQuery.queryItemValue("login_hint", QUrl::FullyDecoded), "alice@example.com");
        QCOMPARE(sentQuery.queryItemValue("redirect_uri", QUrl::FullyDecoded),
                 listener.RedirectUrl().toString());
        QNetworkAccessManager browser;
        browser.setProxy(QNetworkProxy::NoProxy);
        QNetworkReply* reply = browser.get(QNetworkRequest(
            QUrl(listener.RedirectUrl().toString() + "?" + QString(query).replace("%s", a.state))));
        QVERIFY(QTest::qWaitFor([&] { return reply->isFinished(); }, 10000));
        QVERIFY(reply->readAll().contains(page));
        QCOMPARE(said, outcome);
    }

    void codeExchange() {
        TokenServer tokens;
        tokens.Queue(400, R"({"error":"invalid_client","error_description":"unknown"})");
        TokenClient client;
        const Authorization a = Authorization::Make(*QRandomGenerator::system());
        std::optional<TokenReply> got;
        client.ExchangeCode(Provider(tokens.Url()), "C0DE", a, QUrl("http://127.0.0.1:9/"),
                            [&](const TokenReply& reply) { got = reply; });
        QVERIFY(QTest::qWaitFor([&] { return got.has_value(); }, 10000));
        QCOMPARE(tokens.forms.value(0).queryItemValue("code_verifier"), a.verifier);
        QCOMPARE(tokens.forms.value(0).queryItemValue("grant_type"), "authorization_code");
        QCOMPARE(got->Text(),
                 "The provider does not know this program's client ID (invalid_client: unknown).");
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return RunTests<TestTokens, TestTokenCommand, TestSignInFlow>(argc, argv);
}

#include "tst_oauth.moc"
