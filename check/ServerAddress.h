#pragma once

#include <QList>
#include <QString>

// How a check talks to the server: in clear, in TLS from the first byte, or in clear until
// STLS turns the connection into TLS.
enum class Security { None, Tls, StartTls };

// The language spoken with the server.
enum class Protocol { Pop3, Imap };

// One scheme of a mail-server text: its name, what it stands for and its standard port.
struct Scheme {
    const char* name;
    Protocol protocol;
    Security security;
    quint16 port;
};

// Every scheme the program knows, in the order the error text names them.
const QList<Scheme>& Schemes();
// The scheme of `protocol` and `security`.
const Scheme& SchemeFor(Protocol protocol, Security security);

// A user's mail-server text, read. The text is one of
//   host                                   plain POP3, port 110
//   host:port                              plain POP3
//   pop3://host[:port]                     plain POP3, port 110
//   pop3s://host[:port]                    TLS, port 995
//   pop3+starttls://host[:port]            STLS after the greeting, port 110
//   imap://host[:port][/folder]            plain IMAP, port 143
//   imaps://host[:port][/folder]           TLS, port 993
//   imap+starttls://host[:port][/folder]   STARTTLS after the greeting, port 143
// where host is a name, an IPv4 address or an IPv6 address in brackets, the scheme is
// matched in any letter case, and the folder (INBOX when none is given) is URL-encoded UTF-8.
struct ServerAddress {
    static constexpr quint16 PlainPort = 110;
    static constexpr quint16 TlsPort = 995;
    static constexpr quint16 ImapPort = 143;
    static constexpr quint16 ImapsPort = 993;

    Protocol protocol = Protocol::Pop3;
    Security security = Security::None;
    bool hasScheme = false;
    QString host;     // an IPv6 address without its brackets
    quint16 port = 0; // 0: none given, the security's default applies
    QString path;     // IMAP: the folder as written, URL-encoded; empty for none
    QString folder;   // IMAP: the folder decoded; empty for none

    QString Folder() const { return folder.isEmpty() ? QStringLiteral("INBOX") : folder; }

    // The port to connect to; `plainPort` is the plain POP3 port (110 in the program).
    quint16 PortOr(quint16 plainPort) const {
        if (port != 0)
            return port;
        if (protocol == Protocol::Pop3 && security != Security::Tls)
            return plainPort;
        return SchemeFor(protocol, security).port;
    }
};

struct ServerParse {
    bool ok = false;
    ServerAddress address;
    QString error; // a sentence naming what is wrong, when not ok
};

ServerParse ParseServerAddress(const QString& text);

// The text of `security` for `hostAndPort` (a host, with brackets for IPv6, and maybe ":port"):
// no scheme for plain POP3, so that such a text reads as it always did.
QString ServerText(Security security, const QString& hostAndPort);
// The same for `protocol`: for IMAP always with its scheme.
QString ServerText(Protocol protocol, Security security, const QString& hostAndPort);

// `text` switched to `chosen`. A port that is the standard port of the text's own security
// (110, or 995 for TLS) becomes the standard port of `chosen`, written as no port; any other
// port is kept. Texts that do not parse come back unchanged.
QString WithSecurity(const QString& text, Security chosen);
// `text` switched to `chosen`, the standard port moving along as for WithSecurity (110 and
// 143, 995 and 993). A folder stays only with IMAP.
QString WithProtocol(const QString& text, Protocol chosen);

// `text` without its scheme: the host (with brackets for IPv6), a port if one was given, and
// an IMAP folder as written.
// Texts that do not parse come back unchanged.
QString HostAndPort(const QString& text);
