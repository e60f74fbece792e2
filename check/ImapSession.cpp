#include "ImapSession.h"

#include "CheckText.h"
#include "HeaderText.h"
#include "ImapText.h"
#include "core/CodePage.h"
#include "core/Trace.h"

#include <limits>

namespace {
// "3 EXISTS", "2 EXPUNGE", "5 FETCH (FLAGS (\Seen))": the folder changed.
bool MailboxChanged(const QByteArray& untagged) {
    const QList<QByteArray> words = untagged.toUpper().split(' ');
    return words.size() >= 2 &&
           (words[1] == "EXISTS" || words[1] == "EXPUNGE" || words[1] == "FETCH");
}

// The server's words for a log record: one line, at most a few hundred characters.
QString Quote(const QByteArray& bytes) {
    return WithoutLineEnd(FromCodePage(bytes.left(300)));
}
} // namespace

ImapSession::ImapSession(const TransportFactory& makeTransport, QObject* parent)
    : CheckSession(parent), makeTransport_(makeTransport) {
    tmrTimeout.setSingleShot(true);
    tmrTimeout.setInterval(TimeoutMs);
    connect(&tmrTimeout, &QTimer::timeout, this,
            [this] { OnFailed(QStringLiteral("Timeout waiting for response from server!")); });
    // A connection that died silently (a suspend, a lost network) shows at the next refresh.
    tmrRefresh.setSingleShot(true);
    tmrRefresh.setTimerType(Qt::VeryCoarseTimer);
    connect(&tmrRefresh, &QTimer::timeout, this, &ImapSession::OnWatchDue);
    tmrChatter.setSingleShot(true);
    tmrChatter.setInterval(ChatterWindowMs);
    connect(&tmrChatter, &QTimer::timeout, this, [this] { chatter_ = 0; });
}

ImapSession::~ImapSession() {
    CloseTransport();
}

void ImapSession::CloseTransport() {
    Transport* transport = std::exchange(transport_, nullptr);
    if (!transport)
        return;
    transport->disconnect(this);
    transport->Close();
    transport->deleteLater(); // it may be the one whose signal is being handled
}

void ImapSession::Close() {
    CloseTransport();
    running_ = false;
    leaving_ = false;
    tmrTimeout.stop();
    tmrRefresh.stop();
    tmrChatter.stop();
}

bool ImapSession::Logout() {
    if (leaving_)
        return true;
    if (!running_ || !transport_ || step_ < Step::Examine) {
        Close();
        return false;
    }
    // Also before the server has said it idles: it takes the next line for the end of IDLE.
    if (doneOwed_)
        transport_->Send("DONE\r\n");
    doneOwed_ = false;
    leaving_ = true;
    idling_ = false;
    tmrRefresh.stop();
    Send(6, Step::Logout, ImapCommand(NextTag(), "LOGOUT").Parts());
    return true;
}

void ImapSession::Leave() {
    Close();
    emit Left();
}

void ImapSession::Refresh() {
    if (!running_ || !watch_)
        return;
    if (idling_)
        SendDone();
    else
        refreshWanted_ = true;
}

qint64 ImapSession::RefreshMs() const {
    return qBound(qint64(60) * 1000, checkIntervalMs_, qint64(29) * 60 * 1000);
}

qint64 ImapSession::SilenceMs() const {
    // Never below a minute: a server that chatters every second is not tested at every gap.
    return spacing_ > 0 ? std::min(std::max(2 * spacing_, qint64(60) * 1000), RefreshMs())
                        : RefreshMs();
}

bool ImapSession::ChangesNothing(QByteArrayView line) {
    // "* OK Still here": an OK with text only. One with a response code ("[UIDVALIDITY 3]")
    // or a literal to follow is left to the session.
    QByteArrayView text = line;
    while (!text.isEmpty() && (text.back() == '\n' || text.back() == '\r'))
        text.chop(1);
    return text.size() > 5 && text.first(5).compare("* OK ", Qt::CaseInsensitive) == 0 &&
           text[5] != '[' && text.back() != '}';
}

void ImapSession::OnKeepAlive() {
    if (clock_) {
        // Only keep-alive to keep-alive is a spacing: the first of an IDLE comes on the
        // server's own schedule, seconds after the IDLE's start as well as minutes, and would
        // have the link tested long before the server's next.
        const qint64 now = clock_->Stamp();
        const qint64 since = now > heardAt_ ? now - heardAt_ : 0;
        if (heardKeepAlive_)
            spacing_ = since;
        heardAt_ = now;
        heardKeepAlive_ = true;
    }
    ++keepAlives_;
    // No wake-up of its own: the timer is moved while the program is awake for the line.
    AwaitNews();
}

void ImapSession::AwaitNews() {
    qint64 wait = SilenceMs();
    if (clock_ && heardKeepAlive_) {
        const qint64 silent = clock_->Stamp() - heardAt_;
        // The timer counts in whole seconds and fires up to half a second early: a shorter
        // wait would end at once, again and again until the clock caught up.
        if (silent >= 0)
            wait = std::max(SilenceMs() - silent, qint64(1000));
    }
    if (transport_ && transport_->Doze(wait, &ImapSession::ChangesNothing)) {
        tmrRefresh.stop(); // the transport times the silence
        return;
    }
    tmrRefresh.start(int(wait));
}

void ImapSession::OnWoke(const DozeReport& report) {
    if (report.taken > 0) {
        keepAlives_ += report.taken;
        if (clock_ && report.lastAgoMs >= 0) {
            const qint64 last = clock_->Stamp() - report.lastAgoMs;
            if (report.taken > 1)
                spacing_ = report.spacingMs;
            else if (heardKeepAlive_ && last > heardAt_)
                spacing_ = last - heardAt_;
            heardAt_ = last;
            heardKeepAlive_ = true;
        }
        if (!CountChatter(report.taken))
            return;
    }
    if (!running_ || !watch_ || step_ != Step::Idle || !idling_)
        return;
    if (report.silent)
        Refresh(); // the reply time-out of the refresh tells a dead link
    else
        AwaitNews();
}

bool ImapSession::CountChatter(int lines) {
    if (clock_) {
        // By the clock rather than a timer: a keep-alive every two minutes would
        // otherwise wake the program a second time, a minute later, to end its window.
        const qint64 now = clock_->Stamp();
        if (chatter_ == 0 || now < chatterSince_ || now - chatterSince_ >= ChatterWindowMs) {
            chatter_ = 0;
            chatterSince_ = now;
        }
    } else if (!tmrChatter.isActive()) {
        tmrChatter.start();
    }
    chatter_ += lines;
    if (chatter_ <= ChatterLimit)
        return true;
    Fail(QStringLiteral("Hostile reply: more than %1 lines that change nothing within a minute")
             .arg(ChatterLimit));
    return false;
}

void ImapSession::OnWatchDue() {
    if (!running_ || !watch_ || !idling_)
        return;
    // The timer runs on the system's time; the clock says how long the link has been silent.
    if (clock_ && heardKeepAlive_) {
        const qint64 silent = clock_->Stamp() - heardAt_;
        if (silent >= 0 && silent < SilenceMs()) {
            AwaitNews();
            return;
        }
    }
    Refresh(); // the reply time-out of the refresh tells a dead link
}

void ImapSession::SendDone() {
    idling_ = false;
    doneOwed_ = false;
    refreshWanted_ = false;
    tmrRefresh.stop();
    tmrTimeout.start();
    transport_->Send("DONE\r\n");
}

void ImapSession::AskCount() {
    const QByteArray tag = NextTag();
    statusLine_.clear();
    searching_ = watch_ || request_.list; // the folder is the selected one
    if (request_.list && capabilities_.contains("ESEARCH"))
        Send(8, Step::Status, ImapCommand(tag, "UID SEARCH RETURN (ALL COUNT) UNSEEN").Parts());
    else if (request_.list)
        Send(8, Step::Status, ImapCommand(tag, "UID SEARCH UNSEEN").Parts());
    else if (!searching_)
        Send(5, Step::Status,
             ImapCommand(tag, "STATUS").String(ToModifiedUtf7(folder_)).Atom("(UNSEEN)").Parts());
    else if (capabilities_.contains("ESEARCH"))
        Send(8, Step::Status, ImapCommand(tag, "SEARCH RETURN (COUNT) UNSEEN").Parts());
    else
        Send(8, Step::Status, ImapCommand(tag, "SEARCH UNSEEN").Parts());
}

void ImapSession::Begin(const CheckRequest& request) {
    CloseTransport();
    request_ = request;
    result_ = {};
    const ServerAddress& address = request.address;
    running_ = true;
    stage_ = 1;
    step_ = Step::Greeting;
    security_ = address.security;
    folder_ = address.Folder();
    preauth_ = false;
    tlsPending_ = false;
    idling_ = false;
    doneOwed_ = false;
    refreshWanted_ = false;
    tmrRefresh.stop();
    tmrChatter.stop();
    chatter_ = 0;
    capabilities_.clear();
    mechanism_.reset();
    bearerStatus_.clear();
    response_.clear();
    inLiteral_ = false;
    literalLeft_ = 0;
    parts_.clear();
    tag_.clear();
    statusLine_.clear();
    searching_ = false;
    heardAt_ = 0;
    spacing_ = 0;
    keepAlives_ = 0;
    heardKeepAlive_ = false;
    uidValidity_.clear();
    count_ = {};
    fetched_.clear();
    fetching_.clear();
    tmrTimeout.start();
    std::unique_ptr<Transport> transport = makeTransport_ ? makeTransport_() : nullptr;
    if (!transport) {
        Fail(QStringLiteral("No connection can be made for IMAP."));
        return;
    }
    transport_ = transport.release();
    transport_->SetLineLimit(LineLimit);
    connect(transport_, &Transport::LineReceived, this, &ImapSession::OnLine);
    connect(transport_, &Transport::ArrivalEnded, this, &ImapSession::OnArrivalEnded);
    connect(transport_, &Transport::Encrypted, this, &ImapSession::OnEncrypted);
    connect(transport_, &Transport::Failed, this, &ImapSession::OnFailed);
    connect(transport_, &Transport::Woke, this, &ImapSession::OnWoke);
    const quint16 port = address.PortOr(ServerAddress::PlainPort);
    if (security_ == Security::None)
        transport_->Connect(address.host, port);
    else
        transport_->ConnectSecure(address.host, port, security_);
}

QByteArray ImapSession::NextTag() {
    tagNumber_ = tagNumber_ % 9999 + 1;
    tag_ = QByteArrayLiteral("a") + QByteArray::number(tagNumber_);
    return tag_;
}

void ImapSession::Send(int stage, Step step, const QList<QByteArray>& parts) {
    stage_ = stage;
    step_ = step;
    parts_ = parts;
    tmrTimeout.start();
    transport_->Send(parts_.takeFirst());
}

void ImapSession::OnLine(const QByteArray& line) {
    if (!running_)
        return;
    if (leaving_) {
        // Whatever the server still says (the end of IDLE, news, BYE) is read and dropped;
        // neither a literal nor a long line matters any more.
        if (line.startsWith(tag_ + ' '))
            Leave();
        return;
    }
    if (tlsPending_) {
        // Whatever follows the go-ahead in clear was not protected: a man in the middle may
        // have put it there to be taken for a reply over TLS.
        Fail(QStringLiteral("TLS handshake failed: the server went on in plain text after "
                            "accepting STARTTLS: \"%1\"")
                 .arg(Quote(line)));
        return;
    }
    QByteArray rest = line;
    if (inLiteral_) {
        const qint64 take = qMin<qint64>(literalLeft_, rest.size());
        literalLeft_ -= take;
        response_ += rest.left(take);
        rest = rest.mid(take);
        if (literalLeft_ > 0)
            return;
        inLiteral_ = false;
        if (rest.isEmpty())
            return; // the literal ended with a line end: the response goes on in the next line
    }
    response_ += rest;
    if (response_.size() > LiteralLimit + LineLimit) {
        Fail(QStringLiteral("Reply too long: a response of more than %1 bytes")
                 .arg(LiteralLimit + LineLimit));
        return;
    }
    if (const std::optional<qint64> size = AnnouncedLiteral(rest)) {
        if (*size > LiteralLimit) {
            Fail(QStringLiteral("Reply too long: the server announced %1 bytes, more than the "
                                "%2 allowed")
                     .arg(*size)
                     .arg(LiteralLimit));
            return;
        }
        inLiteral_ = true;
        literalLeft_ = *size;
        return;
    }
    if (!rest.endsWith('\n'))
        return; // cannot happen: the transport hands on whole lines
    OnResponse(std::exchange(response_, QByteArray()));
}

void ImapSession::OnArrivalEnded() {
    if (!running_ || !tlsPending_)
        return;
    tlsPending_ = false;
    step_ = Step::Handshake;
    transport_->StartTls();
}

void ImapSession::OnEncrypted() {
    if (!running_ || step_ != Step::Handshake)
        return;
    AskCapabilities(); // what the server offers in clear may not be what it offers over TLS
}

void ImapSession::OnFailed(const QString& description) {
    if (!running_)
        return;
    if (leaving_) {
        Leave(); // hung up, or no answer in time: gone either way, and nothing to log
        return;
    }
    if (step_ == Step::Logout) {
        Finish(); // the count is in; a server that hangs up after LOGOUT is done
        return;
    }
    Fail(description.trimmed().isEmpty() ? QStringLiteral("Unknown!") : description, true);
}

void ImapSession::OnResponse(const QByteArray& response) {
    if (request_.wanted && !request_.wanted()) {
        // The user was deleted while its session ran: nothing to log in as or to record.
        Trace(QStringLiteral("Checked user is gone; IMAP session dropped at stage %1").arg(stage_));
        result_.gone = true;
        Finish();
        return;
    }
    const QByteArray line = WithoutLineEnd(response);
    // The first word (the tag, "*" or "+"), the rest, and the rest's first word.
    const qsizetype blank = line.indexOf(' ');
    const QByteArray first = blank < 0 ? line : line.left(blank);
    const QByteArray rest = blank < 0 ? QByteArray() : line.mid(blank + 1);
    const qsizetype next = rest.indexOf(' ');
    const QByteArray word = (next < 0 ? rest : rest.left(next)).toUpper();

    if (step_ == Step::Greeting) {
        if (first == "*" && word == "OK") {
            if (security_ == Security::StartTls)
                Send(2, Step::StartTls, ImapCommand(NextTag(), "STARTTLS").Parts());
            else
                AskCapabilities();
            return;
        }
        if (first == "*" && word == "PREAUTH" && security_ != Security::StartTls) {
            preauth_ = true;
            AskCapabilities();
            return;
        }
        if (first == "*" && word == "BYE") {
            Fail(FromCodePage(rest));
            return;
        }
        Fail(QStringLiteral("Unexpected greeting from server: \"%1\"").arg(Quote(response)));
        return;
    }
    if (first == "*") {
        if (word == "BYE" && step_ != Step::Logout) {
            Fail(FromCodePage(rest), true);
            return;
        }
        if (word == "CAPABILITY" && step_ == Step::Capability) {
            if (!KeepCapabilities(rest))
                return;
        } else if (word == "OK" && step_ >= Step::Examine && UidValidityOf(rest)) {
            // Also while watching: a folder made anew under the same name is counted afresh.
            const bool renewed = step_ != Step::Examine && uidValidity_ != *UidValidityOf(rest);
            uidValidity_ = *UidValidityOf(rest);
            if (renewed && watch_)
                Refresh();
        } else if (step_ == Step::Fetch && MailboxChanged(rest) && fetched_.size() < FetchLimit &&
                   ParseFetchedHeader(rest).hasHeader) {
            const FetchedHeader header = ParseFetchedHeader(rest);
            if (fetching_.contains(header.uid) && !fetched_.contains(header.uid))
                fetched_.insert(header.uid,
                                SummaryFromHeader(QString::number(header.uid), header.header));
            return;
        } else if ((step_ == Step::Status || step_ == Step::Fetch) && watch_ &&
                   MailboxChanged(rest)) {
            refreshWanted_ = true; // counted again once this count is in
        } else if (step_ == Step::Status &&
                   (searching_ ? word == "SEARCH" || word == "ESEARCH" : word == "STATUS")) {
            statusLine_ = response;
        } else if (step_ == Step::Idle && MailboxChanged(rest)) {
            const bool news = idling_ || !refreshWanted_; // not a refresh already owed
            Refresh();                                    // news of the folder: count again
            if (news)
                return;
        } else if (step_ == Step::Idle && idling_) {
            OnKeepAlive(); // still counted below: a server cannot keep it busy with them
        }
        // Anything else untagged is not needed here. A server that sends it without end
        // (keep-alives, the same news again) is cut off rather than read for ever.
        CountChatter(1);
        return;
    }
    if (first == "+") {
        if (parts_.isEmpty() && step_ == Step::Idle && !idling_) {
            // Idling: no reply is awaited until the next DONE.
            idling_ = true;
            tmrTimeout.stop();
            if (clock_)
                heardAt_ = clock_->Stamp();
            heardKeepAlive_ = false;
            if (refreshWanted_)
                SendDone();
            else
                AwaitNews();
            return;
        }
        if (parts_.isEmpty() && step_ == Step::Login && mechanism_ && bearerStatus_.isEmpty()) {
            OnBearerChallenge(rest);
            return;
        }
        if (parts_.isEmpty()) {
            Fail(QStringLiteral("Unexpected continuation request from server: \"%1\"")
                     .arg(Quote(response)));
            return;
        }
        tmrTimeout.start();
        transport_->Send(parts_.takeFirst());
        return;
    }
    if (first != tag_ || tag_.isEmpty()) {
        Fail(QStringLiteral("Unexpected reply from server: \"%1\"").arg(Quote(response)));
        return;
    }
    if (word == "OK") {
        OnTaggedOk();
        return;
    }
    if (word == "NO" || word == "BAD") {
        if (step_ == Step::StartTls)
            Fail(QStringLiteral("STARTTLS refused by the server: \"%1\"").arg(Quote(response)));
        else if (step_ == Step::Login && !bearerStatus_.isEmpty())
            Fail(QStringLiteral("%1 (the provider's answer: %2)")
                     .arg(FromCodePage(rest), bearerStatus_));
        else
            Fail(FromCodePage(rest));
        return;
    }
    Fail(QStringLiteral("Unexpected reply from server: \"%1\"").arg(Quote(response)));
}

bool ImapSession::KeepCapabilities(const QByteArray& words) {
    for (const QByteArray& capability : words.toUpper().split(' ')) {
        if (capability.isEmpty())
            continue;
        if (capability.size() > CapabilityWordLimit) {
            Fail(QStringLiteral("Hostile reply: a capability of more than %1 bytes")
                     .arg(CapabilityWordLimit));
            return false;
        }
        capabilities_.insert(capability);
        if (capabilities_.size() > CapabilityLimit) {
            Fail(QStringLiteral("Hostile reply: more than %1 capabilities").arg(CapabilityLimit));
            return false;
        }
    }
    return true;
}

void ImapSession::AskCapabilities() {
    capabilities_.clear();
    const QByteArray tag = NextTag();
    Send(3, Step::Capability, ImapCommand(tag, "CAPABILITY").Parts());
}

void ImapSession::OnTaggedOk() {
    switch (step_) {
    case Step::StartTls:
        tlsPending_ = true; // TLS once the rest of this arrival has been looked at
        return;
    case Step::Capability:
        LogIn();
        return;
    case Step::Login:
        if (watch_ || request_.list || !markRead_.isEmpty()) {
            // Marking read needs the folder writable; looking never does.
            const QByteArray tag = NextTag();
            Send(7, Step::Examine,
                 ImapCommand(tag, markRead_.isEmpty() ? "EXAMINE" : "SELECT")
                     .String(ToModifiedUtf7(folder_))
                     .Parts());
        } else {
            AskCount();
        }
        return;
    case Step::Examine:
        if (!markRead_.isEmpty()) {
            QList<quint32> uids;
            for (const QString& uid : std::as_const(markRead_))
                if (const uint value = uid.toUInt(); value > 0)
                    uids.append(value);
            Send(8, Step::Store,
                 ImapCommand(NextTag(), "UID STORE " + UidSet(uids) + " +FLAGS.SILENT (\\Seen)")
                     .Parts());
            return;
        }
        AskCount();
        return;
    case Step::Idle: // the IDLE ended with DONE
        AskCount();
        return;
    case Step::Store: {
        const QByteArray tag = NextTag();
        Send(6, Step::Logout, ImapCommand(tag, "LOGOUT").Parts());
        return;
    }
    case Step::Fetch:
        HandOnCount();
        return;
    case Step::Status: {
        const std::optional<QByteArray> countText =
            searching_ ? SearchCountText(WithoutLineEnd(statusLine_))
                       : UnseenCountText(WithoutLineEnd(statusLine_));
        const qint64 count = countText ? countText->toLongLong() : -1;
        if (!countText || count > std::numeric_limits<qint32>::max()) {
            Fail(searching_ ? QStringLiteral("Malformed SEARCH response!")
                            : QStringLiteral("Malformed STATUS response!"));
            return;
        }
        // A long list of message numbers is shortened for the STAT log.
        const QByteArray reply =
            statusLine_.size() <= 200
                ? statusLine_
                : statusLine_.left(statusLine_.lastIndexOf(' ', 200)) + " ...\r\n";
        count_ = {};
        count_.reply = FromCodePage(reply);
        count_.countText = QString::fromLatin1(*countText);
        count_.count = qint32(count);
        count_.stage = stage_;
        fetched_.clear();
        fetching_.clear();
        if (request_.list) {
            const UidList found = SearchUids(WithoutLineEnd(statusLine_), UidLimit);
            if (!found.ok && !statusLine_.isEmpty()) {
                Fail(QStringLiteral("Malformed SEARCH response!"));
                return;
            }
            count_.uidValidity = QString::fromLatin1(uidValidity_);
            count_.listed = !found.tooMany;
            // Another UIDVALIDITY: the UIDs known are of another folder, and those there now
            // are counted, not fetched.
            const bool sameFolder =
                request_.uidValidity.isEmpty() || request_.uidValidity == count_.uidValidity;
            for (const quint32 uid : found.uids) {
                count_.ids.append(QString::number(uid));
                if (sameFolder && !request_.known.contains(count_.ids.last()))
                    fetching_.prepend(uid);
            }
            fetching_ = fetching_.mid(0, std::max(0, request_.fetchLimit));
            if (!fetching_.isEmpty()) {
                // One command for them all: the header fields an alert names, marking nothing.
                Send(8, Step::Fetch,
                     ImapCommand(NextTag(), "UID FETCH " + UidSet(fetching_) +
                                                " (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE "
                                                "MESSAGE-ID)])")
                         .Parts());
                return;
            }
        }
        HandOnCount();
        return;
    }
    case Step::Logout:
        Finish();
        return;
    case Step::Greeting:
    case Step::Handshake:
        return;
    }
}

void ImapSession::HandOnCount() {
    for (const quint32 uid : std::as_const(fetching_))
        count_.fetched.append(
            fetched_.value(uid, MessageSummary{QString::number(uid), {}, {}, {}}));
    if (count_.listed) {
        // What this count named is known from now on: a refresh fetches only what is new.
        for (const QString& id : std::as_const(count_.ids))
            request_.known.insert(id);
        request_.uidValidity = count_.uidValidity;
    }
    result_.count = count_;
    emit Counted(*result_.count);
    AfterCount();
}

void ImapSession::AfterCount() {
    if (watch_) {
        const QByteArray tag = NextTag();
        Send(9, Step::Idle, ImapCommand(tag, "IDLE").Parts());
        doneOwed_ = true;
        return;
    }
    const QByteArray tag = NextTag();
    Send(6, Step::Logout, ImapCommand(tag, "LOGOUT").Parts());
}

void ImapSession::LogIn() {
    // Once TLS was chosen, nothing but STARTTLS goes out in clear, whatever the server says.
    if (security_ != Security::None && !transport_->IsEncrypted()) {
        Fail(QStringLiteral("TLS is not established; the login was not sent."));
        return;
    }
    result_.offersIdle = capabilities_.contains("IDLE");
    if (preauth_) {
        step_ = Step::Login;
        OnTaggedOk(); // logged in already: on to STATUS
        return;
    }
    if (request_.bearer) {
        LogInWithBearer();
        return;
    }
    if (capabilities_.contains("LOGINDISABLED")) {
        Fail(transport_->IsEncrypted()
                 ? QStringLiteral("The server accepts no login (LOGINDISABLED); nothing was sent.")
                 : QStringLiteral("The server accepts a login only over TLS: choose STARTTLS or "
                                  "TLS under Security. Nothing was sent."));
        return;
    }
    for (const auto& [text, field] : {std::pair{request_.username, QStringLiteral("user name")},
                                      std::pair{request_.password, QStringLiteral("password")}}) {
        if (HoldsLineBreakOrNul(text)) {
            Fail(QStringLiteral("The %1 holds a line break or NUL character; nothing was sent.")
                     .arg(field));
            return;
        }
    }
    const QByteArray name = request_.username.toUtf8();
    const QByteArray password = request_.password.toUtf8();
    const QByteArray tag = NextTag();
    if (capabilities_.contains("AUTH=PLAIN")) {
        const QByteArray initial = (QByteArray(1, '\0') + name + '\0' + password).toBase64();
        if (capabilities_.contains("SASL-IR")) {
            Send(4, Step::Login,
                 ImapCommand(tag, "AUTHENTICATE").Atom("PLAIN").Atom(initial).Parts());
        } else {
            Send(4, Step::Login, {tag + " AUTHENTICATE PLAIN\r\n", initial + "\r\n"});
        }
        return;
    }
    Send(4, Step::Login, ImapCommand(tag, "LOGIN").String(name).String(password).Parts());
}

void ImapSession::LogInWithBearer() {
    if (const auto refused = BearerRefusal(request_.address, transport_->IsEncrypted(),
                                           request_.username, *request_.bearer)) {
        Fail(*refused);
        return;
    }
    if (capabilities_.contains("AUTH=OAUTHBEARER"))
        mechanism_ = BearerMechanism::OAuthBearer;
    else if (capabilities_.contains("AUTH=XOAUTH2"))
        mechanism_ = BearerMechanism::XOAuth2;
    else {
        Fail(QStringLiteral("The server offers no OAuth 2.0 sign-in (AUTH=OAUTHBEARER or "
                            "AUTH=XOAUTH2); nothing was sent."));
        return;
    }
    const QByteArray initial =
        BearerInitialResponse(*mechanism_, request_.username, request_.address,
                              request_.address.PortOr(ServerAddress::PlainPort), *request_.bearer);
    const QByteArray command = NextTag() + " AUTHENTICATE " + MechanismName(*mechanism_);
    if (capabilities_.contains("SASL-IR"))
        Send(4, Step::Login, {command + ' ' + initial + "\r\n"});
    else
        Send(4, Step::Login, {command + "\r\n", initial + "\r\n"});
}

void ImapSession::OnBearerChallenge(const QByteArray& challenge) {
    // The token was refused: the server says why in a challenge, and its refusal follows
    // the answer.
    bearerStatus_ = ChallengeStatus(challenge);
    tmrTimeout.start();
    transport_->Send(ErrorChallengeAnswer(*mechanism_) + "\r\n");
}

void ImapSession::Fail(const QString& message, bool serverLeft) {
    result_.loginRefused = step_ == Step::Login;
    result_.dropped = serverLeft && watch_ && step_ == Step::Idle && idling_;
    result_.failure = message;
    result_.failedStage = stage_;
    stage_ = 0;
    Finish();
}

void ImapSession::Finish() {
    CloseTransport();
    running_ = false;
    tmrTimeout.stop();
    tmrRefresh.stop();
    tmrChatter.stop();
    if (stage_ != 0)
        stage_ = 7; // over
    emit StatusChanged();
    emit Finished(result_);
}
