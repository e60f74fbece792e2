#pragma once

#include <QDateTime>
#include <QHash>
#include <QSslConfiguration>
#include <QString>

class QSslSocket;

// What TLS connections to mail servers trust, and the sessions they may resume, in memory
// only. The configuration is made once and made again only when the file of trusted
// certificates changes (its times, size or kind): the system's certificates are looked up by
// OpenSSL as a server needs them, not copied into every connection. A kept session is one
// whose certificate was verified; a change of the file forgets them all, so that the next
// check of every server verifies afresh against what the file now says.
class TlsTrust final {
public:
    // Certificates trusted besides the system's: a PEM file; missing is fine.
    void SetCaFile(const QString& path);
    const QString& CaFile() const { return caFile_; }

    // The configuration for a connection to `host` and `port`, offering the session kept
    // for that server, if any.
    QSslConfiguration For(const QString& host, quint16 port);
    // Why the file gave no certificate (or not all), for the error text; as of the last For.
    const QString& CaProblem() const { return caProblem_; }

    // Keeps the session of `socket`'s verified connection to `host` and `port`.
    void Keep(const QString& host, quint16 port, const QSslSocket& socket);
    // Forgets the session of that server: its handshake failed.
    void Forget(const QString& host, quint16 port);
    qsizetype KeptSessions() const { return sessions_.size(); }

private:
    // What tells one content of the file from another without reading it.
    struct FileState {
        bool exists = false;
        bool isFile = false;
        qint64 size = -1;
        qint64 modified = 0; // ms since the epoch
        qint64 changed = 0;  // the metadata's change: permissions, a replaced link target
        bool operator==(const FileState&) const = default;
    };
    struct Session {
        QByteArray ticket;
        QDateTime certificateExpiry; // a session outlives no certificate
    };
    FileState Stat() const;
    void Rebuild(const FileState& state);
    static QString Key(const QString& host, quint16 port);

    QString caFile_;
    bool built_ = false;
    FileState state_;
    QSslConfiguration base_;
    QString caProblem_;
    QHash<QString, Session> sessions_;
};
