#pragma once

#include "core/Settings.h"

#include <QString>
#include <QVector>

// What the setup window puts back on "Cancel": the users and the three settings as they were
// when it opened. Whole records are copied, identities included, so a restored user is found
// again by whatever still refers to it.
struct SetupSnapshot {
    qint16 BackupLastUser = -1;
    QVector<UserRecord> BackupUsers;
    qint16 BackupCheckInterval = Settings::DefaultCheckInterval;
    qint16 BackupShowInterval = Settings::DefaultShowInterval;
    bool BackupShowErrors = true;

    static SetupSnapshot Take(const Settings& settings);
    // Users 0..BackupLastUser and the settings come back; the table keeps its size and the
    // entries above the restored LastUser are left alone.
    void Restore(Settings& settings) const;
    // A check lowered the accepted count of the user with identity `id` while setup was
    // open: "Cancel" brings back that count, not the one from before.
    void FollowCount(quint64 id, qint32 numMails);
};

// An answer to "Enter new … interval :".
struct IntervalAnswer {
    enum class Kind {
        Empty,      // Cancel, or OK on a cleared field: keep the value
        Number,     // `Value` holds the answer rounded down
        NotANumber, // ask again
        OutOfRange, // a number whose whole part a 16-bit interval cannot hold: ask again
    };
    Kind kind = Kind::Empty;
    qint16 Value = 0;
};

IntervalAnswer ParseIntervalAnswer(const QString& text);

// The prompt and the two refusals of the interval question.
QString IntervalPrompt(const QString& intName);
inline const QString NotANumberMessage = QStringLiteral("You must enter a number!");
inline const QString OutOfRangeMessage =
    QStringLiteral("The interval must lie between -32768 and 32767!");
