#pragma once

#include <QSslConfiguration>
#include <QString>

// What TLS connections to mail servers trust. The configuration is made once and made again
// only when the file of trusted certificates changes (its times, size or kind): the system's
// certificates are looked up by OpenSSL as a server needs them, not copied into every
// connection.
class TlsTrust final {
public:
    // Certificates trusted besides the system's: a PEM file; missing is fine.
    void SetCaFile(const QString& path);
    const QString& CaFile() const { return caFile_; }

    // The configuration for a connection to `host` and `port`.
    QSslConfiguration For(const QString& host, quint16 port);
    // Why the file gave no certificate (or not all), for the error text; as of the last For.
    const QString& CaProblem() const { return caProblem_; }

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
    FileState Stat() const;
    void Rebuild(const FileState& state);

    QString caFile_;
    bool built_ = false;
    FileState state_;
    QSslConfiguration base_;
    QString caProblem_;
};
