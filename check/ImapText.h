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

// The UIDs a UID SEARCH reply names ("* SEARCH 4 9", or "* ESEARCH (TAG "a6") UID ... ALL
// 3:5,9"), ascending, without repeats; `tooMany` past `limit` of them (none kept then). Not
// ok when the reply is malformed.
struct UidList {
    bool ok = false;
    bool tooMany = false;
    QList<quint32> uids;
};
UidList SearchUids(const QByteArray& response, qsizetype limit);

// The UIDVALIDITY of an untagged OK ("* OK [UIDVALIDITY 3857529045] UIDs valid"), or nothing.
std::optional<QByteArray> UidValidityOf(const QByteArray& response);

// What a FETCH response ("* 3 FETCH (UID 7 BODY[HEADER.FIELDS (...)] {42}<CR LF>...)") holds
// of a message's header: its UID (0: none) and the header's bytes; `hasHeader` when a BODY[...]
// item was there at all.
struct FetchedHeader {
    quint32 uid = 0;
    bool hasHeader = false;
    QByteArray header;
};
FetchedHeader ParseFetchedHeader(const QByteArray& response);

// `uids` as an IMAP sequence set ("3:5,9").
QByteArray UidSet(QList<quint32> uids);
