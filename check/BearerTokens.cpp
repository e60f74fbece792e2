#include "BearerTokens.h"

#include "core/Clock.h"

BearerTokens::BearerTokens(const Clock& clock, QObject* parent)
    : QObject(parent), clock_(clock), client_(this), command_(this) {}

qint64 BearerTokens::UsableMs(qint64 expiresInSeconds) {
    const qint64 life = qMax<qint64>(0, expiresInSeconds) * 1000;
    return life < 120 * 1000 ? life / 2 : life - 60 * 1000;
}

void BearerTokens::Remember(quint64 userId, const QString& accessToken, qint64 expiresInSeconds,
                            const QString& refreshToken) {
    cache_.insert(userId, {accessToken, clock_.Stamp() + UsableMs(expiresInSeconds), refreshToken});
}

void BearerTokens::Get(quint64 userId, const SignIn& signIn, Got got) {
    if (!signIn.command.isEmpty()) {
        command_.Run(signIn.command,
                     [got](const std::optional<QString>& token, const QString& error) {
                         TokenReply reply;
                         reply.said = error;
                         got({token, reply});
                     });
        return;
    }
    const auto cached = cache_.constFind(userId);
    if (cached != cache_.constEnd() && clock_.Stamp() < cached->usableUntil &&
        cached->refreshToken == signIn.refreshToken) {
        got({cached->token, {}});
        return;
    }
    cache_.remove(userId);
    if (signIn.refreshToken.isEmpty()) {
        TokenReply reply;
        reply.kind = TokenReply::Kind::Refused;
        reply.error = QStringLiteral("invalid_grant");
        reply.description = QStringLiteral("no sign-in is kept for this mailbox");
        got({std::nullopt, reply});
        return;
    }
    client_.Refresh(signIn.provider, signIn.refreshToken,
                    [this, userId, old = signIn.refreshToken, got](const TokenReply& reply) {
                        if (reply.kind != TokenReply::Kind::Ok) {
                            got({std::nullopt, reply});
                            return;
                        }
                        const QString current =
                            reply.refreshToken.isEmpty() ? old : reply.refreshToken;
                        Remember(userId, reply.accessToken, reply.expiresInSeconds, current);
                        if (current != old)
                            emit RefreshTokenRotated(userId, current);
                        got({reply.accessToken, {}});
                    });
}
