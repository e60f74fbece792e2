#include "CheckEngine.h"

#include "Logs.h"
#include "MailboxStates.h"
#include "core/Clock.h"
#include "core/ClockJumps.h"
#include "core/Settings.h"

#include <QtGlobal>

CheckEngine::CheckEngine(Settings& settings, MailboxStates& states, const Clock& clock,
                         Transport& transport, CheckLogs& logs, quint16 port, QObject* parent)
    : QObject(parent), settings_(settings), states_(states), clock_(clock), logs_(logs),
      recorder_(settings, states, logs, clock), pop3_(transport, port), imap_(makeTransport_),
      idle_(settings, logs, recorder_, makeTransport_), tokens_(clock) {
    idle_.SetClock(&clock_);
    tmrCheckMail.setInterval(1);
    // A coarse timer may fire early: the tick after the one-second pause would then find a
    // user with a short interval not yet due, and it would wait for the next idle tick.
    tmrCheckMail.setTimerType(Qt::PreciseTimer);
    connect(&tmrCheckMail, &QTimer::timeout, this, [this] { CheckMail(false); });
    connect(&recorder_, &CountRecorder::NewMailFound, this, &CheckEngine::NewMailFound);
    for (CheckSession* session : std::initializer_list<CheckSession*>{&pop3_, &imap_}) {
        connect(session, &CheckSession::Counted, this, &CheckEngine::OnCounted);
        connect(session, &CheckSession::Finished, this, &CheckEngine::OnSessionEnded);
        connect(session, &CheckSession::StatusChanged, this, &CheckEngine::StatusChanged);
    }
}

void CheckEngine::SetChecking(bool checking) {
    if (Checking == checking)
        return;
    Checking = checking;
    emit CheckingChanged(checking);
}

int CheckEngine::GetCheckUser() const {
    return settings_.IndexOfId(curUserId_);
}

qint32 CheckEngine::NewNumMails(quint64 id) const {
    return states_.Of(id).NewNumMails;
}

int CheckEngine::GetStage() const {
    return active_ ? active_->Stage() : 0;
}

void CheckEngine::Start() {
    tmrCheckMail.setInterval(1);
    tmrCheckMail.start();
}

void CheckEngine::SetTimeoutInterval(int ms) {
    timeoutMs_ = ms;
    pop3_.SetTimeoutInterval(ms);
    imap_.SetTimeoutInterval(ms);
    idle_.SetTimeoutInterval(ms);
}

void CheckEngine::CloseAll() {
    pop3_.Close();
    imap_.Close();
    if (marking_)
        marking_->Close();
    idle_.LogoutAll();
}

void CheckEngine::EndRun() {
    SetChecking(false);
    runEnded_.start();
    // The next due user follows after the pause; one that is due later, when it is.
    ScheduleNextTick(NextUserTickMs);
    emit StatusChanged();
}

void CheckEngine::ScheduleNextTick(qint64 minDelayMs) {
    const qint64 due = NextDueIn(clock_.Stamp());
    if (due < 0) {
        tmrCheckMail.stop(); // nobody to check: a new user comes with Reschedule
        return;
    }
    tmrCheckMail.start(int(qBound(minDelayMs, due, LongestWaitMs)));
}

void CheckEngine::Reschedule() {
    idle_.Prune(); // a user that is gone leaves its IDLE connection
    if (!Checking)
        ScheduleNextTick(0);
}

void CheckEngine::AccountsChanged(const QList<quint64>& edited, const QList<quint64>& removed) {
    for (const quint64 id : removed)
        states_.Remove(id);
    for (const quint64 id : edited) {
        signedOut_.remove(id);   // perhaps signed in again
        recorder_.MarkFresh(id); // added, or its server or login changed: not seen before
    }
    idle_.Prune(edited);
    if (!Checking)
        ScheduleNextTick(0);
}

void CheckEngine::WatchClock(ClockJumps& jumps) {
    connect(&jumps, &ClockJumps::Jumped, this, [this] {
        // A clock set again and again (ten times a second on some machines) counts as one
        // jump, or every set would replace the IDLE connections once more.
        const bool apart = !lastJump_.isValid() || lastJump_.elapsed() >= JumpsApartMs;
        lastJump_.start();
        if (apart)
            idle_.ReplaceAll(); // a connection from before a suspend may be dead without a word
        // An idle timer is waiting for a user to become due; none waits during a run (its
        // end times the next look) or after the exit. The look is timed anew, never sooner
        // than the pause after the last run allows.
        if (!Checking && tmrCheckMail.isActive())
            ScheduleNextTick(PauseLeft());
    });
}

qint64 CheckEngine::PauseLeft() const {
    return runEnded_.isValid() ? qMax<qint64>(0, NextUserTickMs - runEnded_.elapsed()) : 0;
}

void CheckEngine::CheckMail(bool ResetThings) {
    if (Checking)
        return;
    if (ResetThings) {
        for (int i = 0; i < settings_.UserCount(); ++i) {
            states_.Update(settings_.Users[i].Id, [](MailboxState& state) {
                state.HideSession = false;
                state.LastCheck = 0;
                state.LastAlert = 0;
            });
        }
        idle_.RecountAll();
    }
    // A look that finds nobody due changes nothing and tells nobody: it only times the next.
    if (PickDueUser() < 0) {
        ScheduleNextTick(0);
        return;
    }
    tmrCheckMail.stop(); // the run's end times the next tick
    SetChecking(true);
    active_ = nullptr;
    curUserId_ = settings_.IsUser(0) ? settings_.Users[0].Id : 0;
    PickAndBegin();
}

void CheckEngine::OnCounted(const ServerCount& count) {
    if (const int index = settings_.IndexOfId(curUserId_); index >= 0)
        recorder_.Record(index, count);
}

void CheckEngine::SignedInAgain(quint64 userId) {
    signedOut_.remove(userId);
    tokens_.Forget(userId);
    if (!Checking)
        ScheduleNextTick(0);
}

void CheckEngine::BeginWithToken(const CheckRequest& request, const SignIn& signIn) {
    const quint64 id = curUserId_;
    CheckSession* session = active_;
    tokens_.Get(id, signIn, [this, id, session, request](const BearerTokens::Result& got) {
        if (!Checking || curUserId_ != id || active_ != session)
            return; // the run went on without it (the exit, a deleted user)
        const int index = settings_.IndexOfId(id);
        if (got.token && index >= 0) {
            CheckRequest withToken = request;
            withToken.password.clear();
            withToken.bearer = *got.token;
            active_->Begin(withToken);
            emit StatusChanged();
            return;
        }
        if (index >= 0 && got.reply.kind == TokenReply::Kind::Refused &&
            got.reply.error == QLatin1String("invalid_grant")) {
            // Trying again would only be refused again: the user must sign in anew.
            signedOut_.insert(id);
            logs_.DoError(QStringLiteral("Sign in again: the provider no longer accepts this "
                                         "sign-in (invalid_grant: %1)")
                              .arg(got.reply.description.isEmpty()
                                       ? QStringLiteral("no reason given")
                                       : got.reply.description),
                          index, 0);
            emit SignInLost(id);
        } else if (index >= 0) {
            logs_.DoError(got.reply.Text(), index, 0);
        }
        active_ = nullptr;
        EndRun();
    });
}

void CheckEngine::OnSessionEnded(const CheckResult& result) {
    if (result.failure && result.loginRefused && activeSignIn_ && !retried_) {
        // An access token may be refused before its time (revoked, the server's clock): one
        // fresh token is tried before the failure counts.
        retried_ = true;
        tokens_.Forget(curUserId_);
        const int index = settings_.IndexOfId(curUserId_);
        if (index >= 0) {
            CheckRequest request = RequestFor(settings_, curUserId_, activeAddress_);
            recorder_.Prepare(curUserId_, request);
            BeginWithToken(request, *activeSignIn_);
            return;
        }
    }
    if (result.failure)
        logs_.DoError(*result.failure, settings_.IndexOfId(curUserId_), result.failedStage);
    // A server that offers IDLE is watched from now on, on a connection of its own.
    // A mailbox that signs in with a token is polled: its watcher would log in with the
    // password field, which holds the refresh token.
    const bool watched =
        active_ == &imap_ && !result.gone && !result.failure && result.offersIdle && !activeSignIn_;
    if (watched)
        idle_.Watch(curUserId_, activeAddress_);
    // The next due user follows at once when the checked one was deleted meanwhile, or is
    // watched from now on: at start-up the watched mailboxes are then counted one after the
    // other rather than one a second, as their watching keeps them counted. After a failure it
    // waits the pause: going on at once would hammer a failing server (and the error log)
    // without rest.
    if (result.gone || watched)
        PickAndBegin();
    else
        EndRun();
}

void CheckEngine::PickAndBegin() {
    emit StatusChanged();
    SetChecking(true);
    curUserId_ = 0;
    active_ = nullptr;
    const int pick = PickDueUser();
    if (pick < 0) {
        SetChecking(false);
        runEnded_.start();
        ScheduleNextTick(NextUserTickMs);
        emit StatusChanged();
        return;
    }
    UserRecord& user = settings_.Users[pick];
    curUserId_ = user.Id;
    lastPickId_ = user.Id;
    lastPickIndex_ = pick;
    states_.Update(user.Id, [this](MailboxState& state) { state.LastCheck = clock_.Stamp(); });
    pop3_.Close();
    // A text that cannot be read fails the user's check before anything is connected.
    const ServerParse server = ParseServerAddress(user.MailServer);
    if (!server.ok) {
        logs_.DoError(server.error, pick, 0);
        EndRun();
        return;
    }
    if (server.address.protocol == Protocol::Imap)
        active_ = &imap_;
    else
        active_ = &pop3_;
    activeAddress_ = server.address;
    retried_ = false;
    activeSignIn_ = signIns_ ? signIns_(user.Id) : std::nullopt;
    CheckRequest request = RequestFor(settings_, user.Id, server.address);
    recorder_.Prepare(user.Id, request);
    if (activeSignIn_) {
        BeginWithToken(request, *activeSignIn_);
        return;
    }
    active_->Begin(request);
    emit StatusChanged();
}

bool CheckEngine::Skipped(const UserRecord& user) const {
    return idle_.IsWatched(user.Id) || signedOut_.contains(user.Id) || (held_ && held_(user));
}

int CheckEngine::PickDueUser() const {
    return PickDueUser(clock_.Stamp());
}

int CheckEngine::PickDueUser(qint64 now) const {
    const int last = settings_.UserCount() - 1;
    if (last < 0)
        return -1;
    // Starting after the user picked last, a user that is due again waits for the others
    // that are due: a server that makes every session run out its time-out cannot starve
    // those after it.
    int start = 0;
    if (const int previous = settings_.IndexOfId(lastPickId_); previous >= 0)
        start = previous + 1;
    else if (lastPickIndex_ >= 0)
        start = lastPickIndex_; // deleted since: its successor moved into its place
    for (int n = 0; n <= last; ++n) {
        const int i = (start + n) % (last + 1);
        const qint64 stamp = states_.Of(settings_.Users[i].Id).LastCheck;
        if (Skipped(settings_.Users[i]))
            continue;
        if (qAbs(now - stamp) >= MinCheckGapMs &&
            IntervalPassed(now, stamp, settings_.CheckInterval))
            return i;
    }
    return -1;
}

qint64 CheckEngine::NextDueIn(qint64 now) const {
    const int last = settings_.UserCount() - 1;
    if (last < 0)
        return -1;
    // A user is due once `now` lies at least `need` away from its last check, either way:
    // more than the interval, and at least the shortest gap.
    const qint64 need = qMax(MinCheckGapMs, MinutesMs(settings_.CheckInterval) + 1);
    qint64 soonest = -1;
    for (int i = 0; i <= last; ++i) {
        if (Skipped(settings_.Users[i]))
            continue;
        const qint64 stamp = states_.Of(settings_.Users[i].Id).LastCheck;
        if (qAbs(now - stamp) >= need)
            return 0;
        const qint64 wait = qMin(LongestWaitMs, stamp + need - now);
        soonest = soonest < 0 ? wait : qMin(soonest, wait);
    }
    return soonest;
}

void CheckEngine::MarkRead(quint64 account) {
    const int index = settings_.IndexOfId(account);
    if (index < 0)
        return;
    const ServerParse server = ParseServerAddress(settings_.Users[index].MailServer);
    const QStringList uids = recorder_.Unaccepted(account);
    if (!server.ok || server.address.protocol != Protocol::Imap || uids.isEmpty())
        return;
    if (marking_) {
        if (!markQueue_.contains(account))
            markQueue_.append(account);
        return;
    }
    marking_ = std::make_unique<ImapSession>(makeTransport_);
    markingId_ = account;
    marking_->SetMarkRead(uids);
    marking_->SetTimeoutInterval(timeoutMs_);
    connect(marking_.get(), &CheckSession::Finished, this, [this](const CheckResult& result) {
        const quint64 marked = std::exchange(markingId_, 0);
        // Not from within its own signal.
        marking_.release()->deleteLater();
        const int at = settings_.IndexOfId(marked);
        if (result.failure && at >= 0 && !result.gone) {
            logs_.DoError(*result.failure, at, result.failedStage);
        } else if (at >= 0 && !result.gone && !idle_.IsWatched(marked)) {
            // Counted again, so that what was marked leaves the alert; a watched mailbox hears
            // of it from its server.
            states_.Update(marked, [](MailboxState& state) { state.LastCheck = 0; });
            if (!Checking)
                ScheduleNextTick(0);
        }
        if (!markQueue_.isEmpty())
            MarkRead(markQueue_.takeFirst());
    });
    const CheckRequest request = RequestFor(settings_, account, server.address);
    const std::optional<SignIn> signIn = signIns_ ? signIns_(account) : std::nullopt;
    if (!signIn) {
        marking_->Begin(request);
        return;
    }
    // A mailbox that signs in with a token marks with one too; without one, the reason is the
    // failure, as it is for its check.
    tokens_.Get(account, *signIn,
                [this, session = marking_.get(), request](const BearerTokens::Result& got) {
                    if (marking_.get() != session)
                        return;
                    if (!got.token) {
                        CheckResult failed;
                        failed.failure = got.reply.Text();
                        emit session->Finished(failed);
                        return;
                    }
                    CheckRequest withToken = request;
                    withToken.password.clear();
                    withToken.bearer = *got.token;
                    session->Begin(withToken);
                });
}
