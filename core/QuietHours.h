#pragma once

#include "core/SideFile.h"

#include <QDateTime>
#include <QString>
#include <QTime>

// A mailbox's quiet time: from `From` to `To` on the days it begins on (a span that passes
// midnight belongs to the day it starts). `From` equal to `To` is a whole day.
struct QuietHours {
    bool On = false;
    QTime From{22, 0};
    QTime To{8, 0};
    quint8 Days = 0x7f; // bit 0 Monday ... bit 6 Sunday

    bool operator==(const QuietHours&) const = default;
    bool OnDay(int dayOfWeek) const { return (Days >> (dayOfWeek - 1)) & 1; }

    // The fields "QuietHours" (on/off), "QuietFrom", "QuietTo" (HH:MM) and "QuietDays" (the
    // ISO day numbers, "12345" for Monday to Friday) of a mailbox's side-file entry; a field
    // missing or unreadable keeps its default.
    static QuietHours FromFields(const SideFile::Fields& fields);
    // Writes them into `fields`, in place of those there; nothing for a mailbox that never had
    // any and has the defaults.
    void ToFields(SideFile::Fields& fields) const;
};

// Whether a mailbox is quiet at `now`, and until when (invalid when not). Spans are taken in
// `now`'s time zone, so that a span over a daylight-saving change still ends at its wall-clock
// time; spans that meet or overlap make one.
struct QuietNow {
    bool quiet = false;
    QDateTime until;
};
QuietNow QuietAt(const QuietHours& hours, const QDateTime& now);
// The next moment after `now` at which the answer of QuietAt changes; invalid for never.
QDateTime NextQuietChange(const QuietHours& hours, const QDateTime& now);

// "HH:MM", 24-hour: the time, or an invalid one.
QTime ParseTimeOfDay(const QString& text);
