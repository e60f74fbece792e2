#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <optional>

// What one mailbox's messages have been to the user, by their identities on the server: those
// accepted (counted in `NumMails`) and those shown but not yet accepted. Both hold only what the
// server still had at the last check.
struct SeenRecord {
    QString uidValidity; // IMAP: the folder's when these were listed
    bool noUidl = false; // POP3: the server has no UIDL; it is counted
    QSet<QString> accepted;
    QSet<QString> shown;

    bool operator==(const SeenRecord&) const = default;
};

// The seen messages of every mailbox (by login name and server text), kept in one file that is
// written whole at each change; without a path, in memory only. A file that cannot be read is
// taken as empty: every mailbox then starts as after an upgrade.
class SeenMessages final {
public:
    // Past this the file is not read.
    static constexpr qint64 FileLimit = 64 * 1024 * 1024;

    explicit SeenMessages(QString path = {});

    static QString KeyOf(const QString& login, const QString& server);

    const SeenRecord* Find(const QString& key) const;
    // Replaces the record of `key` and drops those whose key is not in `keep`; written when
    // that changed anything. The error text of a failed write, or nothing.
    std::optional<QString> Put(const QString& key, const SeenRecord& record,
                               const QSet<QString>& keep);

    const QString& Path() const { return path_; }

private:
    void Load();
    std::optional<QString> Save() const;

    QString path_;
    QHash<QString, SeenRecord> records_;
};
