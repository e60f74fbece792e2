#include "OAuthProviders.h"

#include "platform/System.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <cstdio>

#ifndef TARNWICK_MICROSOFT_CLIENT_ID
#define TARNWICK_MICROSOFT_CLIENT_ID ""
#endif
#ifndef TARNWICK_GOOGLE_CLIENT_ID
#define TARNWICK_GOOGLE_CLIENT_ID ""
#endif
#ifndef TARNWICK_GOOGLE_CLIENT_SECRET
#define TARNWICK_GOOGLE_CLIENT_SECRET ""
#endif

namespace {
constexpr qint64 MaxFileBytes = 256 * 1024;

QStringList Words(const QString& text) {
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString Host(QString name) {
    name = name.trimmed().toLower();
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}
} // namespace

QString OAuthProvider::Unavailable() const {
    if (NeedsClientId())
        return QStringLiteral("This build of Tarnwick has no client ID for %1: enter one you "
                              "registered with %1.")
            .arg(name);
    return QString();
}

bool OAuthProvider::Serves(const QString& hostIn) const {
    const QString host = Host(hostIn);
    if (host.isEmpty())
        return false;
    for (const QString& pattern : hosts) {
        const QString wanted = Host(pattern);
        if (wanted.startsWith(QLatin1String("*."))) {
            if (host.endsWith(wanted.mid(1)) && host.size() > wanted.size() - 1)
                return true;
        } else if (host == wanted) {
            return true;
        }
    }
    return false;
}

BuiltInClients BuiltInClients::FromBuild() {
    return {QStringLiteral(TARNWICK_MICROSOFT_CLIENT_ID), QStringLiteral(TARNWICK_GOOGLE_CLIENT_ID),
            QStringLiteral(TARNWICK_GOOGLE_CLIENT_SECRET)};
}

QList<OAuthProvider> BuiltInProviders(const BuiltInClients& clients) {
    OAuthProvider microsoft;
    microsoft.name = QStringLiteral("Microsoft");
    microsoft.authorizationUrl =
        QUrl(QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/authorize"));
    microsoft.tokenUrl =
        QUrl(QStringLiteral("https://login.microsoftonline.com/common/oauth2/v2.0/token"));
    microsoft.clientId = clients.microsoftClientId;
    microsoft.scopes = {QStringLiteral("https://outlook.office.com/IMAP.AccessAsUser.All"),
                        QStringLiteral("https://outlook.office.com/POP.AccessAsUser.All"),
                        QStringLiteral("offline_access")};
    microsoft.hosts = {
        QStringLiteral("outlook.office365.com"), QStringLiteral("outlook.office.com"),
        QStringLiteral("imap-mail.outlook.com"), QStringLiteral("pop-mail.outlook.com")};
    microsoft.builtIn = true;

    OAuthProvider google;
    google.name = QStringLiteral("Google");
    google.authorizationUrl = QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"));
    google.tokenUrl = QUrl(QStringLiteral("https://oauth2.googleapis.com/token"));
    google.clientId = clients.googleClientId;
    google.clientSecret = clients.googleClientSecret;
    google.scopes = {QStringLiteral("https://mail.google.com/")};
    google.hosts = {QStringLiteral("imap.gmail.com"), QStringLiteral("pop.gmail.com"),
                    QStringLiteral("imap.googlemail.com"), QStringLiteral("pop.googlemail.com")};
    google.builtIn = true;
    return {microsoft, google};
}

bool IsAllowedEndpoint(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    return scheme == QLatin1String("http") && QHostAddress(url.host()).isLoopback();
}

QList<OAuthProvider> ParseProviderFile(const QByteArray& text, const QString& fileName,
                                       QStringList& problems) {
    // The groups in the order of the file, each with its keys; a later key of the same
    // name wins.
    QList<std::pair<QString, QMap<QString, QString>>> groups;
    bool skipping = true; // before the first group, or in a group that is already bad
    for (QByteArray raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            groups.append({line.mid(1, line.size() - 2).trimmed(), {}});
            skipping = false;
            continue;
        }
        if (skipping)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = equals < 0 ? line : line.left(equals).trimmed();
        groups.last().second.insert(key, equals < 0 ? QString() : line.mid(equals + 1).trimmed());
    }

    static const QStringList Known = {"AuthorizationUrl", "TokenUrl", "ClientId",
                                      "ClientSecret",     "Scopes",   "Hosts"};
    QList<OAuthProvider> providers;
    QStringList seen;
    for (const auto& group : groups) {
        // Named apart: a lambda may not take a structured binding on every compiler we build with.
        const QString& name = group.first;
        const auto& keys = group.second;
        const auto skip = [&](const QString& key, const QString& why) {
            problems << QStringLiteral("%1: [%2] %3: %4; the provider is skipped.")
                            .arg(fileName, name, key, why);
        };
        if (name.isEmpty() || seen.contains(name, Qt::CaseInsensitive)) {
            skip(QStringLiteral("(name)"), name.isEmpty() ? QStringLiteral("the group has no name")
                                                          : QStringLiteral("named twice"));
            continue;
        }
        if (name == QLatin1String("Password") || name == QLatin1String("Command")) {
            skip(QStringLiteral("(name)"),
                 QStringLiteral("the Sign-in row has an item of that name"));
            continue;
        }
        seen << name;
        QString bad;
        for (auto it = keys.begin(); it != keys.end() && bad.isEmpty(); ++it) {
            if (!Known.contains(it.key()))
                bad = it.key();
        }
        if (!bad.isEmpty()) {
            skip(bad, QStringLiteral("not a key of a provider"));
            continue;
        }
        OAuthProvider provider;
        provider.name = name;
        bool ok = true;
        for (const char* key : {"AuthorizationUrl", "TokenUrl"}) {
            const QString value = keys.value(QLatin1String(key));
            const QUrl url(value, QUrl::StrictMode);
            if (value.isEmpty()) {
                skip(QLatin1String(key), QStringLiteral("missing"));
                ok = false;
                break;
            }
            if (!IsAllowedEndpoint(url)) {
                skip(QLatin1String(key),
                     QStringLiteral("not an https address (http only to a loopback address)"));
                ok = false;
                break;
            }
            (qstrcmp(key, "TokenUrl") == 0 ? provider.tokenUrl : provider.authorizationUrl) = url;
        }
        if (!ok)
            continue;
        provider.clientId = keys.value(QStringLiteral("ClientId"));
        provider.clientSecret = keys.value(QStringLiteral("ClientSecret"));
        provider.scopes = Words(keys.value(QStringLiteral("Scopes")));
        provider.hosts = Words(keys.value(QStringLiteral("Hosts")));
        if (provider.clientId.isEmpty()) {
            skip(QStringLiteral("ClientId"), QStringLiteral("missing"));
            continue;
        }
        if (provider.scopes.isEmpty()) {
            skip(QStringLiteral("Scopes"), QStringLiteral("missing"));
            continue;
        }
        const auto badHost =
            std::find_if(provider.hosts.begin(), provider.hosts.end(), [](const QString& host) {
                const QString bare = host.startsWith("*.") ? host.mid(2) : host;
                return bare.isEmpty() || bare.contains('*') || bare.contains('/') ||
                       bare.contains(':');
            });
        if (badHost != provider.hosts.end()) {
            skip(QStringLiteral("Hosts"),
                 QStringLiteral("\"%1\" is not a host name").arg(*badHost));
            continue;
        }
        providers << provider;
    }
    return providers;
}

QList<OAuthProvider> LoadProviders(const QString& path, const BuiltInClients& clients) {
    QList<OAuthProvider> providers = BuiltInProviders(clients);
    if (!QFileInfo::exists(path))
        return providers;
    const QString fileName = QFileInfo(path).fileName();
    QFile file;
    QString error;
    QStringList problems;
    if (!OpenFileToRead(file, path, true, error)) {
        problems << QStringLiteral("%1: not used: %2").arg(fileName, error);
    } else if (file.size() > MaxFileBytes) {
        problems
            << QStringLiteral("%1: not used: longer than %2 bytes").arg(fileName).arg(MaxFileBytes);
    } else {
        for (const OAuthProvider& provider :
             ParseProviderFile(file.read(MaxFileBytes), fileName, problems)) {
            const auto same = std::find_if(providers.begin(), providers.end(), [&](const auto& p) {
                return p.name.compare(provider.name, Qt::CaseInsensitive) == 0;
            });
            if (same != providers.end())
                *same = provider;
            else
                providers << provider;
        }
    }
    for (const QString& line : problems)
        std::fprintf(stderr, "%s\n", qPrintable(line));
    return providers;
}

namespace {
const QByteArray SignInField = QByteArrayLiteral("signin");
const QByteArray ClientIdField = QByteArrayLiteral("signin-client-id");

QString FieldOf(const SideFile::Fields& fields, const QByteArray& name) {
    for (const auto& [key, value] : fields) {
        if (key == name)
            return value;
    }
    return QString();
}

void SetField(SideFile::Fields& fields, const QByteArray& name, const QString& value) {
    fields.removeIf([&](const auto& field) { return field.first == name; });
    if (!value.isEmpty())
        fields.append({name, value});
}
} // namespace

QString SignInProviderOf(const SideFile::Fields& fields) {
    return FieldOf(fields, SignInField);
}

QString OwnClientIdOf(const SideFile::Fields& fields) {
    return FieldOf(fields, ClientIdField);
}

void SetSignInProvider(SideFile::Fields& fields, const QString& provider,
                       const QString& ownClientId) {
    SetField(fields, SignInField, provider);
    SetField(fields, ClientIdField, provider.isEmpty() ? QString() : ownClientId);
}

const OAuthProvider* ProviderForHost(const QList<OAuthProvider>& providers, const QString& host) {
    for (const OAuthProvider& provider : providers) {
        if (provider.Serves(host))
            return &provider;
    }
    return nullptr;
}

const OAuthProvider* ProviderNamed(const QList<OAuthProvider>& providers, const QString& name) {
    for (const OAuthProvider& provider : providers) {
        if (provider.name == name)
            return &provider;
    }
    return nullptr;
}
