#include "IdleUsers.h"

#include "CountRecorder.h"
#include "Logs.h"
#include "core/Clock.h"
#include "core/Random.h"
#include "core/Settings.h"

#include <utility>

CheckRequest RequestFor(const Settings& settings, quint64 userId, const ServerAddress& address) {
    CheckRequest request;
    request.address = address;
    request.wanted = [&settings, userId] { return settings.IndexOfId(userId) >= 0; };
    if (const int index = settings.IndexOfId(userId); index >= 0) {
        request.username = settings.Users[index].Username;
        request.password = settings.Users[index].Password;
    }
    return request;
}

IdleUsers::IdleUsers(Settings& settings, CheckLogs& logs, CountRecorder& recorder,
                     const TransportFactory& makeTransport, QObject* parent)
    : QObject(parent), settings_(settings), logs_(logs), recorder_(recorder),
      makeTransport_(makeTransport) {}

IdleUsers::~IdleUsers() {
    LogoutAll();
}

int IdleUsers::IntervalMs() const {
    return int(qBound(qint64(FirstRetryMs), MinutesMs(settings_.CheckInterval),
                      qint64(24) * 60 * 60 * 1000));
}

void IdleUsers::Watch(quint64 userId, const ServerAddress& address) {
    if (settings_.IndexOfId(userId) < 0 || IsWatched(userId))
        return;
    auto entry = std::make_unique<Entry>();
    entry->address = address;
    entry->retry.setSingleShot(true);
    entry->healing.setSingleShot(true);
    Entry& added = *entries_.emplace(userId, std::move(entry)).first->second;
    connect(&added.healing, &QTimer::timeout, this, [this, userId] {
        const auto it = entries_.find(userId);
        const int at = settings_.IndexOfId(userId);
        if (it != entries_.end() && at >= 0)
            logs_.DoError(it->second->dropText, at, it->second->dropStage);
    });
    connect(&added.retry, &QTimer::timeout, this, [this, userId] {
        if (const auto it = entries_.find(userId); it != entries_.end())
            Connect(userId, *it->second);
    });
    Connect(userId, added);
}

void IdleUsers::Connect(quint64 userId, Entry& entry) {
    if (entry.session)
        Leave(std::move(entry.session));
    entry.session = std::make_unique<ImapSession>(makeTransport_);
    ImapSession& session = *entry.session;
    session.SetWatching(true);
    session.SetClock(clock_);
    // Failed before: logged then, not at every retry; but the first reconnect after a drop
    // reports its own failure.
    entry.quiet = entry.pauseMs != 0 && !entry.reportRetry;
    session.SetTimeoutInterval(timeoutMs_);
    session.SetCheckInterval(MinutesMs(settings_.CheckInterval));
    connect(&session, &CheckSession::Counted, this, [this, userId, &entry](const ServerCount& c) {
        if (const int index = settings_.IndexOfId(userId); index >= 0)
            recorder_.Record(index, c);
        entry.pauseMs = 0;
        entry.reportRetry = false;
        entry.healing.stop(); // back
    });
    connect(&session, &CheckSession::Finished, this,
            [this, userId](const CheckResult& result) { OnEnded(userId, result); });
    CheckRequest request = RequestFor(settings_, userId, entry.address);
    recorder_.Prepare(userId, request);
    session.Begin(request);
}

void IdleUsers::OnEnded(quint64 userId, const CheckResult& result) {
    const auto it = entries_.find(userId);
    if (it == entries_.end())
        return;
    if (result.failure && !it->second->quiet && !result.dropped)
        logs_.DoError(*result.failure, settings_.IndexOfId(userId), result.failedStage);
    if (result.gone) {
        Drop(it);
        return;
    }
    Entry& entry = *it->second;
    if (result.dropped) {
        entry.dropText = result.failure.value_or(QString());
        entry.dropStage = result.failedStage;
        entry.reportRetry = true;
        entry.healing.start(IntervalMs());
        entry.pauseMs = FirstRetryMs;
    } else {
        if (std::exchange(entry.reportRetry, false))
            entry.healing.stop(); // the reconnect's own failure has been logged
        // Logged already; tried again after a pause, so that a failing server is not hammered.
        if (result.loginRefused)
            entry.pauseMs = IntervalMs();
        else
            entry.pauseMs =
                entry.pauseMs == 0 ? FirstRetryMs : qMin(entry.pauseMs * 2, IntervalMs());
    }
    // Spread, so that the mailboxes of a server that restarts do not all come back at once.
    int pauseMs = entry.pauseMs;
    if (random_)
        pauseMs = int(pauseMs * (0.8 + 0.4 * double(random_->Next())));
    entry.retry.start(pauseMs);
}

void IdleUsers::Drop(std::map<quint64, std::unique_ptr<Entry>>::iterator it) {
    Entry& entry = *it->second;
    entry.retry.stop();
    entry.healing.stop();
    if (entry.session)
        Leave(std::move(entry.session));
    entries_.erase(it);
}

void IdleUsers::Leave(std::unique_ptr<ImapSession> session) {
    session->disconnect(this);
    if (!session->Logout()) {
        session.release()->deleteLater(); // its own signal may be on the way out
        return;
    }
    ImapSession* leaving = session.get();
    connect(leaving, &ImapSession::Left, this, [this, leaving] {
        for (auto it = leaving_.begin(); it != leaving_.end(); ++it) {
            if (it->get() == leaving) {
                it->release()->deleteLater(); // from within its own signal
                leaving_.erase(it);
                return;
            }
        }
    });
    leaving_.push_back(std::move(session));
}

void IdleUsers::RecountAll() {
    for (auto& [id, entry] : entries_) {
        if (entry->retry.isActive()) {
            entry->retry.stop();
            Connect(id, *entry);
        } else if (entry->session) {
            entry->session->Refresh();
        }
    }
}

void IdleUsers::ReplaceAll() {
    for (auto& [id, entry] : entries_) {
        entry->retry.stop();
        Connect(id, *entry);
    }
}

void IdleUsers::Prune(const QList<quint64>& edited) {
    for (auto& [id, entry] : entries_)
        if (entry->session)
            entry->session->SetCheckInterval(MinutesMs(settings_.CheckInterval));
    for (auto it = entries_.begin(); it != entries_.end();) {
        const auto at = it++;
        if (settings_.IndexOfId(at->first) < 0 || edited.contains(at->first))
            Drop(at); // polled again, and watched again once its new server offers IDLE
    }
}

void IdleUsers::LogoutAll() {
    while (!entries_.empty())
        Drop(entries_.begin());
}

void IdleUsers::SetTimeoutInterval(int ms) {
    timeoutMs_ = ms;
    for (auto& [id, entry] : entries_)
        if (entry->session)
            entry->session->SetTimeoutInterval(ms);
}
