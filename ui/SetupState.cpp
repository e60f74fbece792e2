#include "SetupState.h"

#include "core/Numeric.h"

#include <cstdlib>

SetupSnapshot SetupSnapshot::Take(const Settings& settings) {
    SetupSnapshot snap;
    snap.BackupLastUser = settings.LastUser;
    // Room for 0..|LastUser|, as many entries as the table's users (two when it is empty).
    snap.BackupUsers.resize(std::abs(int(settings.LastUser)) + 1);
    for (int i = 0; i < settings.UserCount(); ++i)
        snap.BackupUsers[i] = settings.Users[i];
    snap.BackupCheckInterval = settings.CheckInterval;
    snap.BackupShowInterval = settings.ShowInterval;
    snap.BackupShowErrors = settings.ShowErrors;
    return snap;
}

void SetupSnapshot::Restore(Settings& settings) const {
    settings.GrowFor(BackupLastUser); // the table only grows, so this is a safeguard
    settings.LastUser = BackupLastUser;
    for (int i = 0; i <= BackupLastUser && i < BackupUsers.size(); ++i)
        settings.Users[i] = BackupUsers[i];
    settings.CheckInterval = BackupCheckInterval;
    settings.ShowInterval = BackupShowInterval;
    settings.ShowErrors = BackupShowErrors;
}

void SetupSnapshot::FollowCount(quint64 id, qint32 numMails) {
    for (int i = 0; i <= BackupLastUser && i < BackupUsers.size(); ++i) {
        if (BackupUsers[i].Id == id)
            BackupUsers[i].NumMails = numMails;
    }
}

IntervalAnswer ParseIntervalAnswer(const QString& text) {
    IntervalAnswer answer;
    if (text.isEmpty())
        return answer;
    const std::optional<double> number = ParseNumber(text);
    if (!number) {
        answer.kind = IntervalAnswer::Kind::NotANumber;
        return answer;
    }
    const std::optional<qint16> whole = FloorToInt16(*number);
    if (!whole) {
        answer.kind = IntervalAnswer::Kind::OutOfRange;
        return answer;
    }
    answer.kind = IntervalAnswer::Kind::Number;
    answer.Value = *whole;
    return answer;
}

QString IntervalPrompt(const QString& intName) {
    return QStringLiteral("Enter new ") + intName + QStringLiteral(" interval :");
}
