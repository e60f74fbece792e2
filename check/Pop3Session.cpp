#include "Pop3Session.h"

#include "CheckText.h"
#include "HeaderText.h"
#include "Transport.h"
#include "core/CodePage.h"
#include "core/Numeric.h"
#include "core/Trace.h"

#include <QMap>
#include <QSet>
#include <algorithm>

namespace {
const QString Ok = QStringLiteral("+OK");
const QString MalformedStat = QStringLiteral("-ERR Malformed STAT response!");
} // namespace

Pop3Session::Pop3Session(Transport& transport, quint16 plainPort, QObject* parent)
    : CheckSession(parent), transport_(transport), plainPort_(plainPort) {
    tmrTimeout.setSingleShot(true);
    tmrTimeout.setInterval(TimeoutMs);
    connect(&tmrTimeout, &QTimer::timeout, this, [this] {
        tmrTimeout.stop();
        NextCheck(QStringLiteral("-ERR Timeout waiting for response from server!"));
    });
    connect(&transport_, &Transport::LineReceived, this, &Pop3Session::OnLine);
    connect(&transport_, &Transport::ArrivalEnded, this, [this] { arrivalTaken_ = false; });
    connect(&transport_, &Transport::Encrypted, this, &Pop3Session::OnEncrypted);
    connect(&transport_, &Transport::Failed, this, [this](const QString& description) {
        NextCheck(QStringLiteral("-ERR ") + description);
    });
}

void Pop3Session::Begin(const CheckRequest& request) {
    request_ = request;
    result_ = {};
    const ServerAddress& address = request.address;
    running_ = true;
    stage_ = 0;
    tmrTimeout.start();
    if (transport_.IsOpen())
        transport_.Close();
    listing_ = Listing::Off;
    multi_ = Multi::Off;
    body_.clear();
    toFetch_.clear();
    count_ = {};
    security_ = address.security;
    stls_ = security_ == Security::StartTls ? Stls::Greeting : Stls::Off;
    bearer_ = request.bearer ? Bearer::Capa : Bearer::Off;
    mechanisms_.clear();
    mechanism_.reset();
    initialPending_.clear();
    bearerStatus_.clear();
    const quint16 port = address.PortOr(plainPort_);
    awaitingReply_ = true; // the greeting
    if (security_ == Security::None)
        transport_.Connect(address.host, port);
    else
        transport_.ConnectSecure(address.host, port, security_);
    stage_ = 1;
}

void Pop3Session::Close() {
    if (transport_.IsOpen())
        transport_.Close();
}

void Pop3Session::SendLine(const QByteArray& bytes) {
    awaitingReply_ = true;
    transport_.Send(bytes);
}

void Pop3Session::OnLine(const QByteArray& line) {
    if (running_ && multi_ == Multi::Body) {
        OnBodyLine(WithoutLineEnd(line));
        return;
    }
    if (running_ && OnBearerLine(line))
        return;
    if (!awaitingReply_ || arrivalTaken_) {
        // Sent with a reply or with nothing asked: taking it as the next reply would put
        // the session one step ahead of the server.
        Trace(QStringLiteral("Line that answers no command dropped: ") +
              WithoutLineEnd(FromCodePage(line.left(200))));
        return;
    }
    awaitingReply_ = false;
    arrivalTaken_ = true;
    QString reply = FromCodePage(line);
    if (multi_ == Multi::Status) {
        // UIDL or TOP: "+OK" opens the listing, read to its "."; a refusal is no failure.
        if (reply.startsWith(Ok)) {
            multi_ = Multi::Body;
            awaitingReply_ = true;
            tmrTimeout.start();
            return;
        }
        multi_ = Multi::Off;
        if (reply.left(4).toUpper() == QLatin1String("-ERR")) {
            multiRefused_ = true;
            reply = Ok;
        }
    }
    if (stls_ == Stls::AwaitReply && reply.left(4).toUpper() == QLatin1String("-ERR"))
        reply =
            QStringLiteral("-ERR STLS refused by the server: \"%1\"").arg(WithoutLineEnd(reply));
    if (bearer_ == Bearer::Auth && reply.left(4).toUpper() == QLatin1String("-ERR")) {
        result_.loginRefused = true;
        if (!bearerStatus_.isEmpty())
            reply = QStringLiteral("%1 (the provider's answer: %2)")
                        .arg(WithoutLineEnd(reply), bearerStatus_);
    }
    NextCheck(reply);
}

bool Pop3Session::OnBearerLine(const QByteArray& line) {
    if (bearer_ == Bearer::CapaLines) {
        // CAPA's list, up to its "." line. Only the SASL line matters, and only so many of its
        // words are kept; a list without end runs out the reply time-out.
        const QByteArray words = WithoutLineEnd(line).trimmed();
        if (words == ".") {
            bearer_ = Bearer::CapaDone;
            arrivalTaken_ = true;
            NextCheck(Ok);
        } else if (words.toUpper().startsWith("SASL ")) {
            for (const QByteArray& word : words.mid(5).toUpper().split(' ')) {
                if (!word.isEmpty() && mechanisms_.size() < 64)
                    mechanisms_.insert(word.left(64));
            }
        }
        return true;
    }
    const bool challenge = line.startsWith('+') && !line.toUpper().startsWith("+OK");
    if (bearer_ != Bearer::Auth || !challenge || !awaitingReply_ || arrivalTaken_)
        return false;
    arrivalTaken_ = true;
    tmrTimeout.start();
    if (!initialPending_.isEmpty()) {
        // A token too long for the AUTH line goes after the server's empty challenge.
        SendLine(std::exchange(initialPending_, QByteArray()) + "\r\n");
    } else if (bearerStatus_.isEmpty()) {
        // The token was refused: the server says why, and refuses once this is answered.
        bearerStatus_ = ChallengeStatus(WithoutLineEnd(line).mid(1));
        SendLine(ErrorChallengeAnswer(*mechanism_) + "\r\n");
    } else {
        NextCheck(QStringLiteral("-ERR Unexpected challenge from server: \"%1\"")
                      .arg(WithoutLineEnd(FromCodePage(line.left(200)))));
    }
    return true;
}

std::optional<QString> Pop3Session::SendAuth() {
    if (const auto refused = BearerRefusal(request_.address, transport_.IsEncrypted(),
                                           request_.username, *request_.bearer))
        return QStringLiteral("-ERR ") + *refused;
    if (mechanisms_.contains("OAUTHBEARER"))
        mechanism_ = BearerMechanism::OAuthBearer;
    else if (mechanisms_.contains("XOAUTH2"))
        mechanism_ = BearerMechanism::XOAuth2;
    else
        return QStringLiteral("-ERR The server offers no OAuth 2.0 sign-in (SASL OAUTHBEARER or "
                              "XOAUTH2); nothing was sent.");
    const QByteArray initial =
        BearerInitialResponse(*mechanism_, request_.username, request_.address,
                              request_.address.PortOr(plainPort_), *request_.bearer);
    QByteArray command = "AUTH " + MechanismName(*mechanism_);
    // A POP3 command line holds at most 255 octets with its line end.
    if (command.size() + 1 + initial.size() + 2 <= 255)
        command += ' ' + initial;
    else
        initialPending_ = initial;
    bearer_ = Bearer::Auth;
    stage_ = 3; // the reply to AUTH stands where the reply to PASS does
    SendLine(command + "\r\n");
    return std::nullopt;
}

void Pop3Session::SendMultiLine(const QByteArray& command) {
    multi_ = Multi::Status;
    multiRefused_ = false;
    body_.clear();
    bodyBytes_ = 0;
    bodyTotal_ = 0;
    bodyOverflow_ = false;
    SendLine(command);
}

void Pop3Session::OnBodyLine(const QByteArray& lineIn) {
    if (lineIn == ".") {
        multi_ = Multi::Off;
        awaitingReply_ = false;
        arrivalTaken_ = true;
        NextCheck(Ok);
        return;
    }
    tmrTimeout.start();
    const QByteArray line = lineIn.startsWith('.') ? lineIn.mid(1) : lineIn;
    bodyTotal_ += line.size() + 2;
    if (bodyTotal_ > MultiLineLimit) {
        multi_ = Multi::Off;
        NextCheck(QStringLiteral("-ERR Reply too long: a listing of more than %1 bytes")
                      .arg(MultiLineLimit));
        return;
    }
    const bool keep = listing_ == Listing::Uidl ? body_.size() < ListLimit
                                                : bodyBytes_ + line.size() <= HeaderBytesLimit;
    if (!keep) {
        bodyOverflow_ = true;
        return;
    }
    bodyBytes_ += line.size() + 1;
    body_.append(line);
}

void Pop3Session::OnEncrypted() {
    // TLS after STLS is up: the greeting's stage goes on with USER.
    if (stls_ != Stls::Handshake)
        return;
    stls_ = Stls::Done;
    NextCheck(Ok);
}

void Pop3Session::NextCheck(const QString& replyIn) {
    if (!running_) {
        Trace(QStringLiteral("Event after the session ended dropped: ") + WithoutLineEnd(replyIn));
        return;
    }
    QString Reply = replyIn;
    ended_ = false;
    // A failed step turns into another reply and goes round again.
    for (;;) {
        tmrTimeout.start();
        emit StatusChanged();
        const QString status = Reply.left(4).toUpper();
        if (status.startsWith(Ok)) {
            bool raiseStage = true;
            if (auto replaced = DoStep(Reply, raiseStage)) {
                Reply = *replaced;
                continue;
            }
            if (raiseStage)
                ++stage_;
            break;
        }
        if (status == QLatin1String("-ERR")) {
            const QString reason = Reply.mid(5);
            DoError(reason.trimmed().isEmpty() ? QStringLiteral("Unknown!") : reason);
            transport_.Close();
            stage_ = 0;
            ended_ = true;
            break;
        }
        Reply =
            QStringLiteral("-ERR Unexpected reply from server: \"%1\"").arg(WithoutLineEnd(Reply));
    }
    const bool ended = ended_;
    if (ended) {
        running_ = false;
        awaitingReply_ = false;
        tmrTimeout.stop(); // no session, no reply to wait for
    }
    emit StatusChanged();
    if (ended)
        emit Finished(result_);
}

std::optional<QString> Pop3Session::DoStep(const QString& Reply, bool& raiseStage) {
    if (stage_ >= 6)
        return std::nullopt;

    if (request_.wanted && !request_.wanted() && stage_ <= 4) {
        // The user was deleted while its session ran: nothing to log in as or to record.
        Trace(QStringLiteral("Checked user is gone; session dropped at stage %1").arg(stage_));
        transport_.Close();
        stage_ = 0;
        raiseStage = false;
        result_.gone = true;
        ended_ = true;
        return std::nullopt;
    }
    switch (stage_) {
    case 1:
        if (stls_ == Stls::Greeting) {
            raiseStage = false;
            stls_ = Stls::AwaitReply;
            SendLine(QByteArrayLiteral("STLS\r\n"));
            return std::nullopt;
        }
        if (stls_ == Stls::AwaitReply || stls_ == Stls::Handshake) {
            raiseStage = false;
            if (stls_ == Stls::AwaitReply) {
                stls_ = Stls::Handshake;
                transport_.StartTls();
            }
            return std::nullopt;
        }
        if (bearer_ == Bearer::Capa) {
            if (security_ != Security::None && !transport_.IsEncrypted())
                return QStringLiteral("-ERR TLS is not established; CAPA was not sent.");
            raiseStage = false;
            bearer_ = Bearer::CapaSent;
            SendLine(QByteArrayLiteral("CAPA\r\n"));
            return std::nullopt;
        }
        if (bearer_ == Bearer::CapaSent) {
            raiseStage = false;
            bearer_ = Bearer::CapaLines; // the list follows, up to "."
            return std::nullopt;
        }
        if (bearer_ == Bearer::CapaDone) {
            raiseStage = false;
            return SendAuth();
        }
        return SendCommand("USER", request_.username, QStringLiteral("user name"));
    case 2:
        return SendCommand("PASS", request_.password, QStringLiteral("password"));
    case 3:
        return SendCommand("STAT", QString(), QString());
    case 4:
        if (listing_ == Listing::Uidl)
            return EvaluateUidl(raiseStage);
        if (listing_ == Listing::Top)
            return EvaluateTop(raiseStage);
        return EvaluateStat(Reply, raiseStage);
    default: // 5: the reply to QUIT
        if (transport_.IsOpen())
            transport_.Close();
        ended_ = true;
        return std::nullopt;
    }
}

std::optional<QString> Pop3Session::SendCommand(const char* word, const QString& argument,
                                                const QString& fieldName) {
    // Once TLS was chosen, nothing but STLS goes out in clear, whatever the server says.
    if (security_ != Security::None && !transport_.IsEncrypted())
        return QStringLiteral("-ERR TLS is not established; %1 was not sent.")
            .arg(QLatin1String(word));
    if (HoldsLineBreakOrNul(argument)) {
        return QStringLiteral("-ERR The %1 holds a line break or NUL character; nothing was sent.")
            .arg(fieldName);
    }
    SendLine(QByteArray(word) + (fieldName.isEmpty() ? "" : " " + ToCodePage(argument)) + "\r\n");
    return std::nullopt;
}

std::optional<QString> Pop3Session::EvaluateStat(const QString& Reply, bool& raiseStage) {
    // "+OK count size": the count runs from the fifth character up to the next blank.
    const qsizetype blank = Reply.indexOf(QLatin1Char(' '), 4);
    if (blank < 0)
        return MalformedStat;
    const QString countText = Reply.mid(4, blank - 4);
    const std::optional<double> number = ParseNumber(countText);
    const std::optional<qint32> count = number ? FloorToInt32(*number) : std::nullopt;
    if (countText.isEmpty() || !count)
        return MalformedStat;

    count_ = {};
    count_.reply = Reply;
    count_.countText = countText;
    count_.count = *count;
    count_.stage = stage_;
    count_.listed = request_.list && *count == 0; // nothing there: nothing to list
    if (request_.list && *count > 0) {
        raiseStage = false;
        listing_ = Listing::Uidl;
        SendMultiLine(QByteArrayLiteral("UIDL\r\n"));
        return std::nullopt;
    }
    return FetchNextOrQuit(raiseStage);
}

std::optional<QString> Pop3Session::EvaluateUidl(bool& raiseStage) {
    if (multiRefused_) {
        count_.noUidl = true; // counted as before, and not asked again
        return FetchNextOrQuit(raiseStage);
    }
    // "n id" a line: the identities by message number. A line that is not that is skipped; a
    // listing too long to keep is counted only.
    QMap<int, QString> byNumber;
    QSet<QString> ids;
    for (const QByteArray& line : std::as_const(body_)) {
        const QList<QByteArray> words = line.simplified().split(' ');
        bool ok = false;
        const int number = words.size() == 2 ? words[0].toInt(&ok) : 0;
        const QByteArray& id = words.last();
        const bool printable =
            std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7f; });
        if (!ok || number <= 0 || id.isEmpty() || id.size() > 256 || !printable ||
            byNumber.contains(number) || ids.contains(QString::fromLatin1(id)))
            continue;
        byNumber.insert(number, QString::fromLatin1(id));
        ids.insert(QString::fromLatin1(id));
    }
    if (!bodyOverflow_) {
        count_.listed = true;
        for (auto it = byNumber.cbegin(); it != byNumber.cend(); ++it) {
            count_.ids.append(it.value());
            if (!request_.known.contains(it.value()))
                toFetch_.prepend({it.key(), it.value()});
        }
        toFetch_ = toFetch_.mid(0, std::max(0, request_.fetchLimit));
    }
    return FetchNextOrQuit(raiseStage);
}

std::optional<QString> Pop3Session::EvaluateTop(bool& raiseStage) {
    const QString id = toFetch_.takeFirst().second;
    // A message deleted meanwhile (-ERR) has no header: empty sender and subject.
    count_.fetched.append(SummaryFromHeader(id, multiRefused_ ? QByteArray() : body_.join('\n')));
    return FetchNextOrQuit(raiseStage);
}

std::optional<QString> Pop3Session::FetchNextOrQuit(bool& raiseStage) {
    if (!toFetch_.isEmpty()) {
        raiseStage = false;
        listing_ = Listing::Top;
        // Once TLS was chosen nothing goes out in clear; SendCommand refuses it likewise.
        if (security_ != Security::None && !transport_.IsEncrypted())
            return QStringLiteral("-ERR TLS is not established; TOP was not sent.");
        SendMultiLine("TOP " + QByteArray::number(toFetch_.first().first) + " 0\r\n");
        return std::nullopt;
    }
    listing_ = Listing::Off;
    raiseStage = true;
    result_.count = count_;
    emit Counted(*result_.count);
    return SendCommand("QUIT", QString(), QString());
}

void Pop3Session::DoError(const QString& ErrMsg) {
    result_.failure = ErrMsg;
    result_.failedStage = stage_;
}
