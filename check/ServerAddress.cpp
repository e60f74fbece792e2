#include "ServerAddress.h"

#include <QHostAddress>
#include <QStringDecoder>
#include <cctype>
#include <optional>

namespace {
bool AllDigits(const QString& text) {
    for (const QChar ch : text)
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9'))
            return false;
    return true;
}

// What a host name cannot hold and still be looked up: blanks and control characters.
bool PlainHostName(const QString& host) {
    for (const QChar ch : host)
        if (ch.isSpace() || ch.unicode() < 0x20 || ch.unicode() == 0x7f ||
            ch.category() == QChar::Other_Control)
            return false;
    return true;
}

const Scheme* FindScheme(const QString& name) {
    for (const Scheme& scheme : Schemes())
        if (name.compare(QLatin1String(scheme.name), Qt::CaseInsensitive) == 0)
            return &scheme;
    return nullptr;
}

// "a, b and c"
QString KnownSchemes() {
    QString out;
    const QList<Scheme>& all = Schemes();
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (i > 0)
            out += i + 1 == all.size() ? QStringLiteral(" and ") : QStringLiteral(", ");
        out += QLatin1String(all[i].name);
    }
    return out;
}

QString HostAndPortOf(const ServerAddress& a) {
    QString out =
        a.host.contains(QLatin1Char(':')) ? QLatin1Char('[') + a.host + QLatin1Char(']') : a.host;
    if (a.port != 0)
        out += QLatin1Char(':') + QString::number(a.port);
    if (!a.path.isEmpty())
        out += QLatin1Char('/') + a.path;
    return out;
}
// The folder of an IMAP URL decoded, or nothing when it is not URL-encoded UTF-8 without
// control characters.
std::optional<QString> DecodeFolder(const QString& path) {
    for (qsizetype i = 0; i < path.size(); ++i) {
        const QChar ch = path[i];
        if (ch.unicode() <= 0x20 || ch.unicode() >= 0x7f)
            return std::nullopt;
        if (ch == QLatin1Char('%') && (i + 2 >= path.size() || !isxdigit(path[i + 1].toLatin1()) ||
                                       !isxdigit(path[i + 2].toLatin1())))
            return std::nullopt;
    }
    const QByteArray bytes = QByteArray::fromPercentEncoding(path.toLatin1());
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString folder = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    for (const QChar ch : folder)
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f || ch.category() == QChar::Other_Control)
            return std::nullopt;
    return folder;
}
} // namespace

const QList<Scheme>& Schemes() {
    static const QList<Scheme> schemes{
        {"pop3", Protocol::Pop3, Security::None, ServerAddress::PlainPort},
        {"pop3s", Protocol::Pop3, Security::Tls, ServerAddress::TlsPort},
        {"pop3+starttls", Protocol::Pop3, Security::StartTls, ServerAddress::PlainPort},
        {"imap", Protocol::Imap, Security::None, ServerAddress::ImapPort},
        {"imaps", Protocol::Imap, Security::Tls, ServerAddress::ImapsPort},
        {"imap+starttls", Protocol::Imap, Security::StartTls, ServerAddress::ImapPort},
    };
    return schemes;
}

const Scheme& SchemeFor(Protocol protocol, Security security) {
    for (const Scheme& scheme : Schemes())
        if (scheme.protocol == protocol && scheme.security == security)
            return scheme;
    return Schemes().front();
}

ServerParse ParseServerAddress(const QString& text) {
    ServerParse result;
    auto fail = [&](const QString& reason) {
        result.error = QStringLiteral("Mail server \"%1\" is not valid: %2!").arg(text, reason);
        return result;
    };
    ServerAddress& address = result.address;

    QString rest = text;
    // "pop3s:host" is a scheme that lost its "//", not a host with a port: say so.
    const qsizetype schemeEnd = text.indexOf(QLatin1Char(':'));
    const QString afterColon = text.mid(schemeEnd + 1);
    if (schemeEnd > 0 && !afterColon.startsWith(QLatin1String("//")) &&
        (afterColon.isEmpty() || !AllDigits(afterColon)) && FindScheme(text.left(schemeEnd)))
        return fail(QStringLiteral("the scheme must be followed by \"//\", as in %1://%2")
                        .arg(text.left(schemeEnd), QString(afterColon).remove(QLatin1Char('/'))));
    const qsizetype separator = text.indexOf(QLatin1String("://"));
    if (separator >= 0) {
        const QString name = text.left(separator);
        const Scheme* scheme = FindScheme(name);
        if (!scheme)
            return fail(
                QStringLiteral("unknown scheme \"%1\" (known are %2)").arg(name, KnownSchemes()));
        address.protocol = scheme->protocol;
        address.security = scheme->security;
        address.hasScheme = true;
        rest = text.mid(separator + 3);
    }
    // An IMAP URL may name a folder after the host (RFC 5092): URL-encoded UTF-8.
    if (const qsizetype slash = rest.indexOf(QLatin1Char('/'));
        slash >= 0 && address.protocol == Protocol::Imap) {
        address.path = rest.mid(slash + 1);
        rest = rest.left(slash);
        if (address.path.contains(QLatin1Char('?')) || address.path.contains(QLatin1Char('#')) ||
            address.path.contains(QLatin1Char(';')))
            return fail(QStringLiteral("only a folder may follow the host"));
        const std::optional<QString> folder = DecodeFolder(address.path);
        if (!folder)
            return fail(QStringLiteral("the folder \"%1\" is not URL-encoded UTF-8 (write "
                                       "%25 for a %, %20 for a blank)")
                            .arg(address.path));
        address.folder = *folder;
    }
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) ||
        rest.contains(QLatin1Char('#')))
        return fail(QStringLiteral("a path after the host is not allowed"));
    if (rest.contains(QLatin1Char('@')))
        return fail(QStringLiteral("a user name before the host is not allowed (the user name "
                                   "has a field of its own)"));

    QString portText;
    bool hasPort = false;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("the IPv6 address lacks its closing bracket"));
        address.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(QLatin1Char(':')))
                return fail(QStringLiteral("only a port may follow the IPv6 address"));
            hasPort = true;
            portText = after.mid(1);
        }
        QHostAddress ip;
        if (address.host.isEmpty())
            return fail(QStringLiteral("the host is empty"));
        if (!ip.setAddress(address.host) || ip.protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("\"%1\" is not an IPv6 address").arg(address.host));
    } else {
        const qsizetype colons = rest.count(QLatin1Char(':'));
        if (colons > 1)
            return fail(QStringLiteral("an IPv6 address must be written in brackets, as in "
                                       "[::1]:110"));
        if (colons == 1) {
            const qsizetype colon = rest.indexOf(QLatin1Char(':'));
            address.host = rest.left(colon);
            portText = rest.mid(colon + 1);
            hasPort = true;
        } else {
            address.host = rest;
        }
        if (address.host.isEmpty())
            return fail(QStringLiteral("the host is empty"));
        if (address.host.contains(QLatin1Char('[')) || address.host.contains(QLatin1Char(']')))
            return fail(QStringLiteral("brackets belong around a whole IPv6 address"));
        if (!PlainHostName(address.host))
            return fail(QStringLiteral("the host holds a blank or a control character"));
    }

    if (hasPort) {
        const uint port = portText.toUInt();
        if (portText.isEmpty() || portText.size() > 5 || !AllDigits(portText) || port < 1 ||
            port > 65535)
            return fail(QStringLiteral("the port must be a number from 1 to 65535"));
        address.port = quint16(port);
    }
    result.ok = true;
    return result;
}

QString ServerText(Security security, const QString& hostAndPort) {
    if (security == Security::None)
        return hostAndPort;
    return QLatin1String(SchemeFor(Protocol::Pop3, security).name) + QStringLiteral("://") +
           hostAndPort;
}

QString ServerText(Protocol protocol, Security security, const QString& hostAndPort) {
    if (protocol == Protocol::Pop3)
        return ServerText(security, hostAndPort);
    return QLatin1String(SchemeFor(protocol, security).name) + QStringLiteral("://") + hostAndPort;
}

namespace {
// `text` with another protocol or security. The old choice's standard port would be a wrong
// port for the new one (STLS sent into a TLS port waits out the time-out, TLS on port 110
// meets a clear greeting): it becomes the new choice's, written as no port.
QString Rechosen(const QString& text, std::optional<Protocol> protocol,
                 std::optional<Security> security) {
    ServerParse parse = ParseServerAddress(text);
    if (!parse.ok)
        return text;
    ServerAddress& a = parse.address;
    if (a.port == SchemeFor(a.protocol, a.security).port)
        a.port = 0;
    const Protocol chosen = protocol.value_or(a.protocol);
    if (chosen != Protocol::Imap)
        a.path.clear();
    return ServerText(chosen, security.value_or(a.security), HostAndPortOf(a));
}
} // namespace

QString WithProtocol(const QString& text, Protocol chosen) {
    return Rechosen(text, chosen, std::nullopt);
}

QString WithSecurity(const QString& text, Security chosen) {
    return Rechosen(text, std::nullopt, chosen);
}

QString HostAndPort(const QString& text) {
    const ServerParse parse = ParseServerAddress(text);
    return parse.ok ? HostAndPortOf(parse.address) : text;
}
