#include "AlertQueue.h"

#include "check/Logs.h"
#include "check/MailboxStates.h"
#include "core/Clock.h"
#include "core/Settings.h"
#include "core/Trace.h"

#include <algorithm>
#include <utility>

bool AlertQueue::Add(const QString& ErrTxt) {
    return Add(ErrTxt, QString(), QTime());
}

bool AlertQueue::Add(const QString& ErrTxt, const QString& who, const QTime& at) {
    if (!who.isEmpty()) {
        for (int j = 0; j <= LastError; ++j) {
            Origin& origin = origins_[j];
            if (origin.who != who)
                continue;
            ++origin.failures;
            Errors[j] = FailedText(ErrTxt, origin.failures, origin.since);
            return true;
        }
    }
    if (Pending() >= MaxPending) {
        Trace(QStringLiteral("frmAlert AddError: queue full, newest error text dropped"));
        return false;
    }
    ++LastError;
    if (LastError >= Errors.size()) {
        Errors.resize(LastError + 3);
        origins_.resize(LastError + 3);
    }
    Errors[LastError] = ErrTxt;
    origins_[LastError] = Origin{who, 1, at, ++lastSerial_};
    return true;
}

QString AlertQueue::TakeOldest() {
    if (IsEmpty())
        return {};
    QString oldest = Errors[0];
    Remove(origins_[0].serial);
    return oldest;
}

void AlertQueue::Remove(quint64 serial) {
    int index = 0;
    while (index <= LastError && origins_[index].serial != serial)
        ++index;
    if (index > LastError)
        return;
    --LastError;
    for (int j = index; j <= LastError; ++j) {
        Errors[j] = std::move(Errors[j + 1]);
        origins_[j] = std::move(origins_[j + 1]);
    }
    // The slot just freed would otherwise hold a stale copy of the newest text.
    Errors[LastError + 1] = QString();
    origins_[LastError + 1] = Origin{};
}

void AlertQueue::RemoveWho(const QString& who) {
    for (int j = LastError; j >= 0; --j)
        if (origins_[j].who == who)
            Remove(origins_[j].serial);
}

QString AlertQueue::FailedText(const QString& ErrTxt, int failures, const QTime& since) {
    return ErrTxt + QStringLiteral("\r\n(failed %1 times since %2)")
                        .arg(failures)
                        .arg(since.toString(QStringLiteral("HH:mm")));
}

QString MailAlertText(const QString& ScreenName, qint32 NewNumMails, qint32 NumMails) {
    const qint64 n = qint64(NewNumMails) - qint64(NumMails);
    return ScreenName + QStringLiteral(" has ") + QString::number(n) +
           QStringLiteral(" new emails.");
}

QString MessageLine(const MessageSummary& message) {
    const QString subject =
        message.subject.isEmpty() ? QStringLiteral("(no subject)") : message.subject;
    return VisibleControls(message.from.isEmpty() ? subject
                                                  : message.from + QStringLiteral(": ") + subject);
}

QString MailAlertText(const QString& ScreenName, qint32 NewNumMails, qint32 NumMails,
                      const QList<MessageSummary>& listed) {
    QString text = MailAlertText(ScreenName, NewNumMails, NumMails);
    if (listed.isEmpty())
        return text;
    const qsizetype shown = std::min<qsizetype>(listed.size(), MaxListed);
    for (qsizetype i = 0; i < shown; ++i)
        text += QStringLiteral("\r\n") + MessageLine(listed[i]);
    // The count may hold more than the listed messages: those are counted only.
    const qint64 more =
        std::max<qint64>(qint64(NewNumMails) - qint64(NumMails), listed.size()) - shown;
    if (more > 0)
        text += QStringLiteral("\r\nand %1 more").arg(more);
    return text;
}

QString NotificationBody(const QString& text, bool markup) {
    QString body = QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return markup ? body.toHtmlEscaped() : body;
}

bool MailNewsDue(const MailboxState& state, qint64 now, qint16 ShowInterval) {
    return state.LastNews > state.LastAlert || IntervalPassed(now, state.LastAlert, ShowInterval);
}

int PickMailUser(const Settings& settings, const MailboxStates& states, qint64 now, int from) {
    for (int i = from; i < settings.UserCount(); ++i) {
        const MailboxState u = states.Of(settings.Users[i].Id);
        if (u.NewNumMails == -1)
            continue;
        if (!MailNewsDue(u, now, settings.ShowInterval))
            continue;
        if (u.HideSession)
            continue;
        return i;
    }
    return -1;
}
