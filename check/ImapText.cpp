#include "ImapText.h"

#include <QSet>
#include <algorithm>

#include <limits>

namespace {
bool Quotable(const QByteArray& text) {
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte == 0 || byte == '\r' || byte == '\n' || byte >= 0x80)
            return false;
    }
    return true;
}
} // namespace

QByteArray ToModifiedUtf7(const QString& name) {
    QByteArray out;
    QByteArray pending; // UTF-16 big-endian bytes of the run being shifted
    auto flush = [&] {
        if (pending.isEmpty())
            return;
        QByteArray base64 = pending.toBase64(QByteArray::OmitTrailingEquals);
        base64.replace('/', ',');
        out += '&' + base64 + '-';
        pending.clear();
    };
    for (const QChar ch : name) {
        const char16_t unit = ch.unicode();
        if (unit >= 0x20 && unit <= 0x7e) {
            flush();
            out += unit == u'&' ? QByteArray("&-") : QByteArray(1, char(unit));
            continue;
        }
        pending += char(unit >> 8);
        pending += char(unit & 0xff);
    }
    flush();
    return out;
}

ImapCommand& ImapCommand::Atom(const QByteArray& atom) {
    current_ += ' ' + atom;
    return *this;
}

ImapCommand& ImapCommand::String(const QByteArray& text) {
    if (Quotable(text)) {
        QByteArray quoted = text;
        quoted.replace('\\', "\\\\").replace('"', "\\\"");
        current_ += " \"" + quoted + '"';
        return *this;
    }
    parts_ << current_ + " {" + QByteArray::number(text.size()) + "}\r\n";
    current_ = text;
    return *this;
}

std::optional<qint64> AnnouncedLiteral(const QByteArray& line) {
    QByteArray text = line;
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    if (!text.endsWith('}'))
        return std::nullopt;
    const qsizetype open = text.lastIndexOf('{');
    if (open < 0)
        return std::nullopt;
    const QByteArray digits = text.mid(open + 1, text.size() - open - 2);
    if (digits.isEmpty())
        return std::nullopt;
    qint64 size = 0;
    for (const char ch : digits) {
        if (ch < '0' || ch > '9')
            return std::nullopt;
        if (size > (std::numeric_limits<qint64>::max() - 9) / 10)
            return std::numeric_limits<qint64>::max();
        size = size * 10 + (ch - '0');
    }
    return size;
}

std::optional<QByteArray> SearchCountText(const QByteArray& response) {
    const auto number = [](const QByteArray& word) {
        return !word.isEmpty() && word.size() <= 10 &&
               std::all_of(word.begin(), word.end(),
                           [](char ch) { return ch >= '0' && ch <= '9'; });
    };
    QList<QByteArray> words = response.split(' ');
    if (words.size() < 2 || words[0] != "*")
        return std::nullopt;
    if (words[1].toUpper() == "ESEARCH") {
        // The correlator in parentheses first, then return data: COUNT n (none: no match).
        for (qsizetype i = 2; i + 1 < words.size(); ++i) {
            if (words[i].toUpper() == "COUNT")
                return number(words[i + 1]) ? std::optional(words[i + 1]) : std::nullopt;
        }
        return QByteArray("0");
    }
    if (words[1].toUpper() != "SEARCH")
        return std::nullopt;
    words.remove(0, 2);
    words.removeAll(QByteArray()); // a blank at the end
    if (!std::all_of(words.begin(), words.end(), number))
        return std::nullopt;
    return QByteArray::number(words.size());
}

std::optional<QByteArray> UnseenCountText(const QByteArray& response) {
    // The attribute list comes last and holds no parentheses of its own, whatever the
    // mailbox name before it holds.
    const qsizetype open = response.lastIndexOf('(');
    const qsizetype close = response.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    const QList<QByteArray> items = response.mid(open + 1, close - open - 1).split(' ');
    for (qsizetype i = 0; i + 1 < items.size(); i += 2) {
        if (items[i].toUpper() != "UNSEEN")
            continue;
        const QByteArray& digits = items[i + 1];
        if (digits.isEmpty() || digits.size() > 10)
            return std::nullopt;
        for (const char ch : digits)
            if (ch < '0' || ch > '9')
                return std::nullopt;
        return digits;
    }
    return std::nullopt;
}

namespace {
std::optional<quint32> Uid(const QByteArray& word) {
    bool ok = false;
    const qulonglong value = word.toULongLong(&ok);
    if (!ok || value == 0 || value > 0xffffffffULL || word.startsWith('+') || word.size() > 10)
        return std::nullopt;
    return quint32(value);
}
} // namespace

UidList SearchUids(const QByteArray& response, qsizetype limit) {
    UidList list;
    QList<QByteArray> words = response.trimmed().split(' ');
    words.removeAll(QByteArray());
    if (words.size() < 2 || words[0] != "*")
        return list;
    QSet<quint32> seen;
    const auto add = [&](quint32 uid) {
        if (list.tooMany || seen.contains(uid))
            return;
        if (list.uids.size() >= limit) {
            list.tooMany = true;
            list.uids.clear();
            return;
        }
        seen.insert(uid);
        list.uids.append(uid);
    };
    const QByteArray kind = words[1].toUpper();
    if (kind == "SEARCH") {
        for (qsizetype i = 2; i < words.size(); ++i) {
            const std::optional<quint32> uid = Uid(words[i]);
            if (!uid)
                return list;
            add(*uid);
        }
    } else if (kind == "ESEARCH") {
        for (qsizetype i = 2; i + 1 < words.size(); ++i) {
            if (words[i].toUpper() != "ALL")
                continue;
            for (const QByteArray& range : words[i + 1].split(',')) {
                const QList<QByteArray> ends = range.split(':');
                const std::optional<quint32> from = Uid(ends.first());
                const std::optional<quint32> to = Uid(ends.last());
                if (ends.size() > 2 || !from || !to)
                    return list;
                // A range is walked only as far as the limit allows.
                for (quint64 uid = std::min(*from, *to); uid <= std::max(*from, *to); ++uid) {
                    add(quint32(uid));
                    if (list.tooMany)
                        break;
                }
            }
            break;
        }
    } else {
        return list;
    }
    std::sort(list.uids.begin(), list.uids.end());
    list.ok = true;
    return list;
}

std::optional<QByteArray> UidValidityOf(const QByteArray& response) {
    const QByteArray upper = response.toUpper();
    const qsizetype at = upper.indexOf("[UIDVALIDITY ");
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + 13;
    const qsizetype end = upper.indexOf(']', start);
    if (end < 0)
        return std::nullopt;
    const QByteArray value = response.mid(start, end - start).trimmed();
    if (!Uid(value))
        return std::nullopt;
    return value;
}

FetchedHeader ParseFetchedHeader(const QByteArray& response) {
    FetchedHeader fetched;
    const QByteArray upper = response.toUpper();
    const qsizetype body = upper.indexOf("BODY[");
    // The UID item may come before or after the header; only the part outside the literal is
    // searched for it.
    const auto findUid = [&](const QByteArray& part) {
        const QByteArray partUpper = part.toUpper();
        for (qsizetype at = partUpper.indexOf("UID "); at >= 0;
             at = partUpper.indexOf("UID ", at + 1)) {
            if (at > 0 && partUpper.at(at - 1) != ' ' && partUpper.at(at - 1) != '(')
                continue;
            qsizetype end = at + 4;
            while (end < part.size() && part.at(end) >= '0' && part.at(end) <= '9')
                ++end;
            if (const std::optional<quint32> uid = Uid(part.mid(at + 4, end - at - 4)))
                return *uid;
        }
        return quint32(0);
    };
    if (body < 0) {
        fetched.uid = findUid(response);
        return fetched;
    }
    fetched.hasHeader = true;
    fetched.uid = findUid(response.left(body));
    const qsizetype close = response.indexOf(']', body);
    if (close < 0)
        return fetched;
    qsizetype at = close + 1;
    while (at < response.size() && response.at(at) == ' ')
        ++at;
    qsizetype after = at;
    if (response.mid(at, 1) == "{") {
        const qsizetype end = response.indexOf('}', at);
        const qsizetype open = end < 0 ? -1 : response.indexOf('\n', end);
        bool ok = false;
        const qint64 size = end < 0 ? 0 : response.mid(at + 1, end - at - 1).toLongLong(&ok);
        if (!ok || open < 0 || size < 0)
            return fetched;
        fetched.header = response.mid(open + 1, size);
        after = open + 1 + size;
    } else if (response.mid(at, 1) == "\"") {
        const qsizetype end = response.indexOf('"', at + 1);
        fetched.header = response.mid(at + 1, end < 0 ? -1 : end - at - 1);
        after = end < 0 ? response.size() : end + 1;
    } // NIL: no header
    if (fetched.uid == 0)
        fetched.uid = findUid(response.mid(after));
    return fetched;
}

QByteArray UidSet(QList<quint32> uids) {
    std::sort(uids.begin(), uids.end());
    QByteArray set;
    for (qsizetype i = 0; i < uids.size();) {
        qsizetype j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1)
            ++j;
        if (!set.isEmpty())
            set += ',';
        set += QByteArray::number(uids[i]);
        if (j > i)
            set += ':' + QByteArray::number(uids[j]);
        i = j + 1;
    }
    return set;
}
