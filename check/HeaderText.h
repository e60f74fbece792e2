#pragma once

#include "Messages.h"

#include <QByteArray>
#include <QString>

// Reading the few header fields an alert names from what a server sent: pure functions, safe on
// any bytes.

// The longest sender or subject kept, in characters.
inline constexpr qsizetype HeaderFieldLimit = 1000;
// The most header bytes looked at per message; the rest is not read.
inline constexpr qsizetype HeaderBytesLimit = 64 * 1024;

// A header field's raw value (after the colon, folded lines and all) as text: lines unfolded,
// RFC 2047 encoded words decoded in any charset Qt knows (an unknown one stays as written),
// bytes outside them read as UTF-8 where they are, else as Latin-1; control characters written
// visibly; surrounding blanks trimmed; at most HeaderFieldLimit characters.
QString DecodeHeaderValue(const QByteArray& raw);

// The sender as an alert names it: the display name of the first address, else the address.
QString SenderName(const QString& from);

// The summary of the message with identity `id` whose header (or the part of it with the
// fields asked for) is `header`; a missing field stays empty.
MessageSummary SummaryFromHeader(const QString& id, const QByteArray& header);
