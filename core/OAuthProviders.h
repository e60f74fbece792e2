#pragma once

#include "SideFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// Who a mailbox may sign in with by OAuth 2.0: the endpoints, the client this program is
// registered as, what it asks for, and the mail hosts the provider serves.
struct OAuthProvider {
    QString name;
    QUrl authorizationUrl;
    QUrl tokenUrl;
    QString clientId;
    QString clientSecret; // issued to installed apps by some providers; no secret then
    QStringList scopes;
    QStringList hosts; // names the mail server may have; "*.example.com" for a domain
    bool builtIn = false;

    // A built-in provider whose client ID this build lacks: the user must enter one.
    bool NeedsClientId() const { return clientId.isEmpty(); }
    // Why it cannot sign in as it stands, in plain words; empty when it can.
    QString Unavailable() const;
    // Whether `host` (a mail server's host) is one of `hosts`.
    bool Serves(const QString& host) const;
};

// The client IDs (and secrets) a distributor registered, as the build was told them.
struct BuiltInClients {
    QString microsoftClientId;
    QString googleClientId;
    QString googleClientSecret;
    static BuiltInClients FromBuild();
};

QList<OAuthProvider> BuiltInProviders(const BuiltInClients& clients);

// An endpoint the program will talk to: https, or http to a loopback address.
bool IsAllowedEndpoint(const QUrl& url);

// The providers of a provider file (INI groups named after the provider; keys
// AuthorizationUrl, TokenUrl, ClientId, ClientSecret, Scopes, Hosts). A bad entry is skipped,
// and `problems` gets one line for it naming `fileName`, the group and the key.
QList<OAuthProvider> ParseProviderFile(const QByteArray& text, const QString& fileName,
                                       QStringList& problems);

// The built-in providers and those of the file at `path`, when it is there and the user's
// own; a provider of the file with a built-in's name takes its place. What was skipped goes
// to standard error, a line each.
QList<OAuthProvider> LoadProviders(const QString& path, const BuiltInClients& clients);

// The provider a mailbox signs in with, as its side-file fields say (empty: its password),
// and the client ID the user entered for a built-in provider that the build has none for.
QString SignInProviderOf(const SideFile::Fields& fields);
QString OwnClientIdOf(const SideFile::Fields& fields);
void SetSignInProvider(SideFile::Fields& fields, const QString& provider,
                       const QString& ownClientId);

// The provider that serves `host`, or nothing.
const OAuthProvider* ProviderForHost(const QList<OAuthProvider>& providers, const QString& host);
const OAuthProvider* ProviderNamed(const QList<OAuthProvider>& providers, const QString& name);
