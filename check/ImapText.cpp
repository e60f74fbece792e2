#include "ImapText.h"

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
