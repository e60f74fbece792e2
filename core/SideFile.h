#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <map>
#include <optional>
#include <utility>

class Settings;
struct UserRecord;

// Per-mailbox fields that the settings file cannot hold (its format stays as older versions
// read it), in Tarnwick.accounts beside it. One field a line, "login<TAB>server<TAB>name=value",
// the login name, the server text and the value percent-encoded: an entry names its mailbox by
// login name and server text together. In memory an entry follows its mailbox by identity, so
// that an edit of either carries it along, and it goes at the next save once its mailbox is
// gone. Fields this version does not know are kept as they are; lines that cannot be read are
// skipped, and a file that held such lines, could not be read or was too long is first kept
// aside (".damaged", ".damaged.1", ...), so that the next save loses nothing of it.
class SideFile final {
public:
    static constexpr qint64 MaxBytes = 1 << 20;

    // A mailbox's fields, name and value, in the order of the file.
    using Fields = QList<std::pair<QByteArray, QString>>;
    // login name, server text
    using Key = std::pair<QString, QString>;

    explicit SideFile(QString path) : path_(std::move(path)) {}

    // Reads the file; each user of `settings` gets the entry of its login name and server text.
    // `settingsLoaded` false (the settings file did not load, the defaults are in force): no
    // mailbox can claim its entry, and the file is kept aside before a save can drop them.
    void Load(const Settings& settings, bool settingsLoaded = true);
    // Writes the entries of the users of `settings` under their login names and server texts as
    // they are now, then the ".bak" copy; entries of users that are gone are dropped. Nothing
    // is written while there is neither an entry nor a file. The reason when the file could not
    // be written.
    std::optional<QString> Save(const Settings& settings);

    Fields& Of(quint64 userId) { return fields_[userId]; }
    int Skipped() const { return skipped_; }
    // Why the file was not used (not this user's, others may write to it, not a regular
    // file); empty when it was read or is not there.
    const QString& Refused() const { return refused_; }
    const QString& Path() const { return path_; }
    QString BackupPath() const { return path_ + QStringLiteral(".bak"); }

    static Key KeyOf(const UserRecord& user);
    // The entries in `text`; `skipped` counts the lines that could not be read.
    static std::map<Key, Fields> Parse(const QByteArray& text, int& skipped);
    static QByteArray Line(const Key& key, const QByteArray& name, const QString& value);

private:
    void KeepAside(const QByteArray& bytes, bool readable) const;

    QString path_;
    std::map<quint64, Fields> fields_; // by user identity
    int skipped_ = 0;
    QString refused_;
};
