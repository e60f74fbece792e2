#include "CountRecorder.h"

#include "Logs.h"
#include "MailboxStates.h"
#include "SeenMessages.h"
#include "ServerAddress.h"
#include "core/Clock.h"
#include "core/Settings.h"

#include <QHash>

namespace {
bool IsImap(const UserRecord& record) {
    const ServerParse server = ParseServerAddress(record.MailServer);
    return server.ok && server.address.protocol == Protocol::Imap;
}
} // namespace

CountRecorder::CountRecorder(Settings& settings, MailboxStates& states, CheckLogs& logs,
                             const Clock& clock, QObject* parent)
    : QObject(parent), settings_(settings), states_(states), logs_(logs), clock_(clock) {
    connect(&states_, &MailboxStates::Accepted, this,
            [this](quint64 userId, const QStringList&) { OnAccepted(userId); });
}

QString CountRecorder::KeyOf(const UserRecord& record) const {
    return SeenMessages::KeyOf(record.Username, record.MailServer);
}

QSet<QString> CountRecorder::Keys() const {
    QSet<QString> keys;
    for (int i = 0; i < settings_.UserCount(); ++i)
        keys.insert(KeyOf(settings_.Users[i]));
    return keys;
}

void CountRecorder::Prepare(quint64 userId, CheckRequest& request) const {
    const int index = settings_.IndexOfId(userId);
    if (!seen_ || index < 0)
        return;
    const UserRecord& record = settings_.Users[index];
    const SeenRecord* seen = seen_->Find(KeyOf(record));
    const bool imap = IsImap(record);
    if (seen && seen->noUidl && !imap)
        return; // counted, as the server has no identities to give
    request.list = true;
    request.fetchLimit = FetchLimit;
    if (seen) {
        request.known = seen->accepted | seen->shown;
        request.uidValidity = seen->uidValidity;
    } else if (!imap && fresh_.contains(userId)) {
        request.fetchLimit = 0; // all accepted: no header is needed
    }
}

void CountRecorder::MarkFresh(quint64 userId) {
    const int index = settings_.IndexOfId(userId);
    if (index >= 0 && (!seen_ || !seen_->Find(KeyOf(settings_.Users[index]))))
        fresh_.insert(userId);
}

void CountRecorder::Record(int index, int stage, const QString& reply, const QString& countText,
                           qint32 count) {
    ServerCount server;
    server.reply = reply;
    server.countText = countText;
    server.count = count;
    server.stage = stage;
    Record(index, server);
}

void CountRecorder::Record(int index, const ServerCount& count) {
    UserRecord& record = settings_.Users[index];
    logs_.AppendStat(record.Username, count.reply, count.countText, count.count);
    states_.Update(record.Id, [this](MailboxState& state) { state.LastGood = clock_.Stamp(); });
    if (seen_ && count.noUidl) {
        SeenRecord seen;
        seen.noUidl = true;
        seen_->Put(KeyOf(record), seen, Keys());
    }
    if (seen_ && count.listed) {
        RecordListed(index, count);
    } else if (seen_ && fresh_.remove(record.Id) && !IsImap(record)) {
        // Just added, on a server without identities: what it holds is old mail all the same.
        states_.Update(record.Id, [](MailboxState& state) { state.NewNumMails = -1; });
        if (record.NumMails != count.count) {
            record.NumMails = count.count;
            emit AcceptedCountFell(record.Id, count.count);
        }
    } else {
        RecordCounted(index, count);
    }
}

void CountRecorder::RecordCounted(int index, const ServerCount& server) {
    UserRecord& record = settings_.Users[index];
    const qint32 count = server.count;
    if (count > record.NumMails) {
        states_.Update(record.Id, [count](MailboxState& state) {
            if (count != state.NewNumMails)
                state.HideSession = false;
            state.NewNumMails = count;
        });
        emit NewMailFound(record.Id, count);
        return;
    }
    states_.Update(record.Id, [](MailboxState& state) { state.NewNumMails = -1; });
    if (count == record.NumMails)
        return;
    // Mail taken away elsewhere: what is left is accepted, so that the next message that
    // arrives is new mail again. For POP3 reported once for the fall, not at every check after
    // it; for IMAP, whose count is of unseen mail, it is mail read elsewhere and no error.
    if (!IsImap(record))
        logs_.DoError(QStringLiteral("Server said you have less eMails than I think you have!"),
                      index, server.stage);
    record.NumMails = count;
    emit AcceptedCountFell(record.Id, count);
}

void CountRecorder::RecordListed(int index, const ServerCount& count) {
    UserRecord& record = settings_.Users[index];
    const QString key = KeyOf(record);
    const SeenRecord* existing = seen_->Find(key);
    SeenRecord seen = existing ? *existing : SeenRecord{};
    const QStringList& present = count.ids; // oldest first
    const QSet<QString> there(present.begin(), present.end());
    bool news = false;
    bool afresh = false; // the identities known are of another folder
    if (!existing) {
        if (fresh_.contains(record.Id)) {
            // Just added: what a POP3 server holds is old mail left there; IMAP's unseen mail
            // is shown once.
            if (!IsImap(record))
                seen.accepted = there;
        } else {
            // Known from before these records were kept: the newest above the accepted count
            // are new, as counting had it.
            const qsizetype old = qBound(qsizetype(0), qsizetype(record.NumMails), present.size());
            for (qsizetype i = 0; i < old; ++i)
                seen.accepted.insert(present.at(i));
        }
    } else if (existing->uidValidity != count.uidValidity) {
        // Another folder under the same name: all of it is new, counted, not listed.
        seen.accepted.clear();
        seen.shown = there;
        news = !there.isEmpty();
        afresh = true;
    }
    fresh_.remove(record.Id);
    seen.uidValidity = count.uidValidity;
    seen.noUidl = false;
    seen.accepted &= there; // what is gone is forgotten
    seen.shown &= there;

    // The unaccepted messages newest first, with what is known of them.
    QHash<QString, MessageSummary> summaries;
    if (!afresh)
        for (const MessageSummary& message : states_.Of(record.Id).Messages)
            summaries.insert(message.id, message);
    for (const MessageSummary& message : count.fetched)
        summaries.insert(message.id, message);
    QList<MessageSummary> listed;
    qsizetype unaccepted = 0;
    for (qsizetype i = present.size() - 1; i >= 0; --i) {
        const QString& id = present.at(i);
        if (seen.accepted.contains(id))
            continue;
        ++unaccepted;
        if (!seen.shown.contains(id)) {
            news = true;
            seen.shown.insert(id);
        }
        if (const auto it = summaries.constFind(id);
            it != summaries.constEnd() && listed.size() < FetchLimit)
            listed.append(*it);
    }
    seen_->Put(key, seen, Keys());

    const qint32 accepted = qint32(seen.accepted.size());
    if (record.NumMails != accepted) {
        record.NumMails = accepted; // saved as the accepted count, as before
        emit AcceptedCountFell(record.Id, accepted);
    }
    const qint32 total = qint32(present.size());
    const qint64 now = clock_.Stamp();
    states_.Update(record.Id, [&](MailboxState& state) {
        const qint32 newNum = unaccepted > 0 ? total : -1;
        if (newNum != state.NewNumMails || news)
            state.HideSession = false;
        state.NewNumMails = newNum;
        state.Messages = listed;
        if (news)
            state.LastNews = now;
    });
    if (unaccepted > 0)
        emit NewMailFound(record.Id, total);
}

void CountRecorder::OnAccepted(quint64 userId) {
    const int index = settings_.IndexOfId(userId);
    if (!seen_ || index < 0)
        return;
    const QString key = KeyOf(settings_.Users[index]);
    const SeenRecord* existing = seen_->Find(key);
    if (!existing || existing->noUidl)
        return;
    SeenRecord seen = *existing;
    seen.accepted |= seen.shown;
    seen.shown.clear();
    seen_->Put(key, seen, Keys());
}

QStringList CountRecorder::Unaccepted(quint64 userId) const {
    const int index = settings_.IndexOfId(userId);
    if (!seen_ || index < 0)
        return {};
    const SeenRecord* seen = seen_->Find(KeyOf(settings_.Users[index]));
    return seen ? QStringList(seen->shown.begin(), seen->shown.end()) : QStringList();
}
