#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

// One message of a mailbox as an alert names it: its identity in that mailbox (a POP3 UIDL,
// an IMAP UID) and its decoded, bounded sender and subject.
struct MessageSummary {
    QString id;
    QString from;    // the sender's name, else the address; empty when the header has none
    QString subject; // empty when the header has none
    QDateTime date;  // invalid when the header has none or it cannot be read

    bool operator==(const MessageSummary&) const = default;
};
