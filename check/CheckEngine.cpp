#include "CheckEngine.h"

#include "Logs.h"
#include "Transport.h"
#include "core/Clock.h"
#include "core/ClockJumps.h"
#include "core/CodePage.h"
#include "core/Numeric.h"
#include "core/Settings.h"
#include "core/Trace.h"

#include <QtGlobal>

namespace {
const QString Ok = QStringLiteral("+OK");
const QString MalformedStat = QStringLiteral("-ERR Malformed STAT response!");

bool HoldsLineBreakOrNul(const QString& text) {
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

QString WithoutLineEnd(QString line) {
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}
} // namespace

CheckEngine::CheckEngine(Settings& settings, const Clock& clock, Transport& transport,
                         CheckLogs& logs, const UserLists& lists, quint16 port, QObject* parent)
    : QObject(parent), settings_(settings), clock_(clock), transport_(transport), logs_(logs),
      lists_(lists), port_(port) {
    tmrTimeout.setSingleShot(true);
    tmrTimeout.setInterval(TimeoutMs);
    tmrCheckMail.setInterval(1);
    // A coarse timer may fire early: the tick after the one-second pause would then find a
    // user with a short interval not yet due, and it would wait for the next idle tick.
    tmrCheckMail.setTimerType(Qt::PreciseTimer);
    connect(&tmrTimeout, &QTimer::timeout, this, &CheckEngine::OnTimeout);
    connect(&tmrCheckMail, &QTimer::timeout, this, &CheckEngine::OnCheckMailTick);
    connect(&transport_, &Transport::LineReceived, this, &CheckEngine::OnLine);
    connect(&transport_, &Transport::ArrivalEnded, this, [this] { arrivalTaken_ = false; });
    connect(&transport_, &Transport::Encrypted, this, &CheckEngine::OnEncrypted);
    connect(&transport_, &Transport::Failed, this, [this](const QString& description) {
        NextCheck(QStringLiteral("-ERR ") + description);
    });
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

void CheckEngine::Start() {
    tmrCheckMail.setInterval(1);
    tmrCheckMail.start();
}

void CheckEngine::SendLine(const QByteArray& bytes) {
    awaitingReply_ = true;
    transport_.Send(bytes);
}

void CheckEngine::EndRun() {
    awaitingReply_ = false;
    SetChecking(false);
    // The next due user follows after the pause; one that is due later, when it is.
    ScheduleNextTick(NextUserTickMs);
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
    if (!Checking)
        ScheduleNextTick(0);
}

void CheckEngine::WatchClock(ClockJumps& jumps) {
    connect(&jumps, &ClockJumps::Jumped, this, [this] {
        // An idle timer is waiting for a user to become due; none waits during a run (its
        // end times the next look) or after the exit.
        if (!Checking && tmrCheckMail.isActive())
            CheckMail(false);
    });
}

void CheckEngine::OnCheckMailTick() {
    CheckMail(false);
}

void CheckEngine::OnTimeout() {
    tmrTimeout.stop();
    NextCheck(QStringLiteral("-ERR Timeout waiting for response from server!"));
}

void CheckEngine::OnLine(const QByteArray& line) {
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
    if (stls_ == Stls::AwaitReply && reply.left(4).toUpper() == QLatin1String("-ERR"))
        reply =
            QStringLiteral("-ERR STLS refused by the server: \"%1\"").arg(WithoutLineEnd(reply));
    NextCheck(reply);
}

void CheckEngine::OnEncrypted() {
    // TLS after STLS is up: the greeting's stage goes on with USER.
    if (stls_ != Stls::Handshake)
        return;
    stls_ = Stls::Done;
    NextCheck(Ok);
}

void CheckEngine::CheckMail(bool ResetThings) {
    if (Checking)
        return;
    if (ResetThings) {
        for (int i = 0; settings_.IsUser(i) && i <= settings_.UpperBound(); ++i) {
            UserRecord& user = settings_.Users[i];
            user.HideSession = false;
            user.LastCheck = 0;
            user.LastAlert = 0;
        }
    }
    // A look that finds nobody due changes nothing and tells nobody: it only times the next.
    if (PickDueUser() < 0) {
        ScheduleNextTick(0);
        return;
    }
    tmrCheckMail.stop(); // the run's end times the next tick
    SetChecking(true);
    Stage = 0;
    curUserId_ = settings_.IsUser(0) ? settings_.Users[0].Id : 0;
    NextCheck(Ok);
}

int CheckEngine::PickDueUser() const {
    return PickDueUser(clock_.Stamp());
}

int CheckEngine::PickDueUser(qint64 now) const {
    const int last = qMin<int>(settings_.LastUser, settings_.UpperBound());
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
        const qint64 stamp = settings_.Users[i].LastCheck;
        if (qAbs(now - stamp) >= MinCheckGapMs &&
            IntervalPassed(now, stamp, settings_.CheckInterval))
            return i;
    }
    return -1;
}

qint64 CheckEngine::NextDueIn(qint64 now) const {
    const int last = qMin<int>(settings_.LastUser, settings_.UpperBound());
    if (last < 0)
        return -1;
    // A user is due once `now` lies at least `need` away from its last check, either way:
    // more than the interval, and at least the shortest gap.
    const qint64 need = qMax(MinCheckGapMs, qint64(settings_.CheckInterval) * 60 * 1000 + 1);
    qint64 soonest = LongestWaitMs;
    for (int i = 0; i <= last; ++i) {
        const qint64 stamp = settings_.Users[i].LastCheck;
        if (qAbs(now - stamp) >= need)
            return 0;
        soonest = qMin(soonest, stamp + need - now);
    }
    return soonest;
}

void CheckEngine::NextCheck(const QString& replyIn) {
    QString Reply = replyIn;
    // An error or a failed step turns into another reply and goes round again: the error
    // path picks the next due user within the same event.
    for (;;) {
        tmrTimeout.start();
        lists_.RefreshUserLists();
        const QString status = Reply.left(4).toUpper();
        if (status.startsWith(Ok)) {
            bool raiseStage = true;
            if (auto replaced = DoStep(Reply, raiseStage)) {
                Reply = *replaced;
                continue;
            }
            if (raiseStage)
                ++Stage;
            break;
        }
        if (status == QLatin1String("-ERR")) {
            const QString reason = Reply.mid(5);
            DoError(reason.trimmed().isEmpty() ? QStringLiteral("Unknown!") : reason);
            transport_.Close();
            Stage = 0;
            // The next due user follows after the same pause as after a normal end: going
            // on at once would hammer a failing server (and the error log) without rest.
            EndRun();
            break;
        }
        Reply =
            QStringLiteral("-ERR Unexpected reply from server: \"%1\"").arg(WithoutLineEnd(Reply));
    }
    if (!Checking)
        tmrTimeout.stop(); // no session, no reply to wait for
    lists_.RefreshUserLists();
}

std::optional<QString> CheckEngine::DoStep(const QString& Reply, bool& raiseStage) {
    if (Stage == 0) {
        SetChecking(true);
        curUserId_ = 0;
        const int pick = PickDueUser();
        if (pick < 0) {
            awaitingReply_ = false;
            SetChecking(false);
            raiseStage = false;
            ScheduleNextTick(NextUserTickMs);
            return std::nullopt;
        }
        UserRecord& user = settings_.Users[pick];
        curUserId_ = user.Id;
        lastPickId_ = user.Id;
        lastPickIndex_ = pick;
        user.LastCheck = clock_.Stamp();
        if (transport_.IsOpen())
            transport_.Close();
        // A text that cannot be read fails the user's check before anything is connected.
        const ServerParse server = ParseServerAddress(user.MailServer);
        if (!server.ok)
            return QStringLiteral("-ERR ") + server.error;
        security_ = server.address.security;
        stls_ = security_ == Security::StartTls ? Stls::Greeting : Stls::Off;
        const quint16 port = server.address.PortOr(port_);
        awaitingReply_ = true; // the greeting
        if (security_ == Security::None)
            transport_.Connect(server.address.host, port);
        else
            transport_.ConnectSecure(server.address.host, port, security_);
        return std::nullopt;
    }
    if (Stage >= 6)
        return std::nullopt;

    const int user = GetCheckUser();
    if (user < 0 && Stage <= 4) {
        // The user was deleted while its session ran: nothing to log in as or to record.
        Trace(QStringLiteral("Checked user is gone; session dropped at stage %1").arg(Stage));
        transport_.Close();
        Stage = 0;
        return Ok;
    }
    switch (Stage) {
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
        return SendCommand("USER", settings_.Users[user].Username, QStringLiteral("user name"));
    case 2:
        return SendCommand("PASS", settings_.Users[user].Password, QStringLiteral("password"));
    case 3:
        return SendCommand("STAT", QString(), QString());
    case 4:
        return EvaluateStat(Reply, user);
    default: // 5: the reply to QUIT
        if (transport_.IsOpen())
            transport_.Close();
        EndRun();
        return std::nullopt;
    }
}

std::optional<QString> CheckEngine::SendCommand(const char* word, const QString& argument,
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

std::optional<QString> CheckEngine::EvaluateStat(const QString& Reply, int user) {
    // "+OK count size": the count runs from the fifth character up to the next blank.
    const qsizetype blank = Reply.indexOf(QLatin1Char(' '), 4);
    if (blank < 0)
        return MalformedStat;
    const QString countText = Reply.mid(4, blank - 4);
    const std::optional<double> number = ParseNumber(countText);
    const std::optional<qint32> count = number ? FloorToInt32(*number) : std::nullopt;
    if (countText.isEmpty() || !count)
        return MalformedStat;

    UserRecord& record = settings_.Users[user];
    logs_.AppendStat(record.Username, Reply, countText, *count);
    if (*count > record.NumMails) {
        if (*count != record.NewNumMails)
            record.HideSession = false;
        record.NewNumMails = *count;
        emit NewMailFound();
    } else {
        record.NewNumMails = -1;
        if (*count < record.NumMails)
            DoError(QStringLiteral("Server said you have less eMails than I think you have!"));
    }
    return SendCommand("QUIT", QString(), QString());
}

void CheckEngine::DoError(const QString& ErrMsg) {
    logs_.DoError(ErrMsg, GetCheckUser(), Stage);
}
