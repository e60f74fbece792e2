#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// The pieces of IMAP's wire format that the IMAP session needs.

// `name` in modified UTF-7, the form of mailbox names on the wire.
QByteArray ToModifiedUtf7(const QString& name);

// A command as the parts to send: the first at once, each further one after the server's
// continuation request ("+"). Strings go quoted when they can (7-bit, no CR, LF or NUL),
// else as literals. Every part ends in CR LF.
class ImapCommand final {
public:
    ImapCommand(const QByteArray& tag, const QByteArray& word) : current_(tag + ' ' + word) {}
    ImapCommand& Atom(const QByteArray& atom);
    ImapCommand& String(const QByteArray& text);
    QList<QByteArray> Parts() const { return parts_ + QList<QByteArray>{current_ + "\r\n"}; }

private:
    QList<QByteArray> parts_;
    QByteArray current_;
};

// The size of the literal that `line` announces at its end ("{n}" before CR LF), or nothing.
// A size too large for 64 bits counts as the largest.
std::optional<qint64> AnnouncedLiteral(const QByteArray& line);

// The UNSEEN count of a STATUS response ("* STATUS INBOX (UNSEEN 3)"): its digits, or nothing.
std::optional<QByteArray> UnseenCountText(const QByteArray& response);
// The count in a reply to SEARCH UNSEEN ("* SEARCH 3 7 9": "3") or to SEARCH RETURN (COUNT)
// UNSEEN ("* ESEARCH (TAG "a6") COUNT 3": "3"); none when a word is not a number.
std::optional<QByteArray> SearchCountText(const QByteArray& response);
