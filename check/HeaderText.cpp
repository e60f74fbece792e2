#include "HeaderText.h"

#include "Logs.h"

#include <QStringDecoder>
#include <optional>
#include <utility>

namespace {
constexpr qsizetype WordLimit = 1024;

// The bytes outside encoded words: UTF-8 where they are that, else Latin-1.
QString PlainText(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray DecodeQ(const QByteArray& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '_') {
            bytes += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text.at(i + 1)) >= 0 &&
                   HexValue(text.at(i + 2)) >= 0) {
            bytes += char(HexValue(text.at(i + 1)) * 16 + HexValue(text.at(i + 2)));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return bytes;
}

// "=?charset?enc?text?=" at `at`: its decoded text and its length, or nothing when it is not
// one that can be decoded.
std::optional<std::pair<QString, qsizetype>> EncodedWord(const QByteArray& whole, qsizetype start) {
    if (whole.at(start) != '=' || start + 1 >= whole.size() || whole.at(start + 1) != '?')
        return std::nullopt;
    // A word is short (75 characters by the rule; some mailers write longer ones): looking
    // no further keeps a header full of "=?" from costing time squared.
    const QByteArray value = whole.mid(start, WordLimit);
    const qsizetype at = 0;
    const qsizetype q1 = value.indexOf('?', at + 2);
    if (q1 < 0 || q1 + 2 >= value.size() || value.at(q1 + 2) != '?')
        return std::nullopt;
    const qsizetype end = value.indexOf("?=", q1 + 3);
    if (end < 0)
        return std::nullopt;
    const QByteArray text = value.mid(q1 + 3, end - q1 - 3);
    if (text.contains(' ') || text.contains('\t'))
        return std::nullopt;
    QByteArray charset = value.mid(at + 2, q1 - at - 2);
    if (const qsizetype star = charset.indexOf('*'); star >= 0)
        charset.truncate(star); // RFC 2231 language
    const char encoding = char(value.at(q1 + 1) & ~0x20);
    QByteArray bytes;
    if (encoding == 'B')
        bytes = QByteArray::fromBase64(text);
    else if (encoding == 'Q')
        bytes = DecodeQ(text);
    else
        return std::nullopt;
    QStringDecoder decoder(charset.constData(), QStringDecoder::Flag::Stateless);
    if (!decoder.isValid())
        return std::nullopt; // a charset nobody knows: the word stays as written
    return std::pair{QString(decoder.decode(bytes)), end + 2 - at};
}
} // namespace

QString DecodeHeaderValue(const QByteArray& rawIn) {
    QByteArray raw = rawIn.left(HeaderBytesLimit);
    // Unfolding: a line end followed by a blank joins the lines.
    raw.replace("\r\n", "\n");
    raw.replace('\r', '\n');
    QByteArray value;
    value.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw.at(i) == '\n') {
            if (i + 1 < raw.size() && (raw.at(i + 1) == ' ' || raw.at(i + 1) == '\t'))
                continue;
            value += ' ';
            continue;
        }
        value += raw.at(i);
    }
    QString text;
    QByteArray plain;
    qsizetype i = 0;
    bool afterWord = false; // blanks between two encoded words go
    while (i < value.size() && text.size() <= 4 * HeaderFieldLimit) {
        if (const auto word = EncodedWord(value, i)) {
            if (!afterWord || !plain.trimmed().isEmpty())
                text += PlainText(plain);
            plain.clear();
            text += word->first;
            i += word->second;
            afterWord = true;
            continue;
        }
        const char c = value.at(i++);
        plain += c;
        if (c != ' ' && c != '\t')
            afterWord = false;
    }
    text += PlainText(plain);
    text = VisibleControls(text).trimmed();
    if (text.size() > HeaderFieldLimit) {
        qsizetype cut = HeaderFieldLimit;
        if (text.at(cut - 1).isHighSurrogate())
            --cut; // never half a character
        text.truncate(cut);
    }
    return text;
}

QString SenderName(const QString& from) {
    QString text = from.trimmed();
    const qsizetype open = text.indexOf(QLatin1Char('<'));
    if (open < 0)
        return text;
    QString name = text.left(open).trimmed();
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"')))
        name = name.mid(1, name.size() - 2).replace(QLatin1String("\\\""), QLatin1String("\""));
    name = name.trimmed();
    if (!name.isEmpty())
        return name;
    const qsizetype close = text.indexOf(QLatin1Char('>'), open);
    return text.mid(open + 1, close < 0 ? -1 : close - open - 1).trimmed();
}

MessageSummary SummaryFromHeader(const QString& id, const QByteArray& headerIn) {
    MessageSummary summary;
    summary.id = id;
    QByteArray header = headerIn.left(HeaderBytesLimit);
    header.replace("\r\n", "\n");
    // The header ends at the first empty line.
    if (header.startsWith('\n'))
        header.clear();
    if (const qsizetype end = header.indexOf("\n\n"); end >= 0)
        header.truncate(end);
    // Each field with its folded continuation lines.
    QList<QByteArray> fields;
    for (const QByteArray& line : header.split('\n')) {
        if ((line.startsWith(' ') || line.startsWith('\t')) && !fields.isEmpty())
            fields.last() += '\n' + line;
        else
            fields.append(line);
    }
    bool haveFrom = false;
    bool haveSubject = false;
    bool haveDate = false;
    for (const QByteArray& field : fields) {
        const qsizetype colon = field.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = field.left(colon).trimmed().toLower();
        const QByteArray raw = field.mid(colon + 1);
        if (name == "from" && !haveFrom) {
            haveFrom = true;
            summary.from = SenderName(DecodeHeaderValue(raw));
        } else if (name == "subject" && !haveSubject) {
            haveSubject = true;
            summary.subject = DecodeHeaderValue(raw);
        } else if (name == "date" && !haveDate) {
            haveDate = true;
            summary.date = QDateTime::fromString(QString::fromLatin1(raw.trimmed().left(200)),
                                                 Qt::RFC2822Date);
        }
    }
    return summary;
}
