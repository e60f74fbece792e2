#pragma once

#include <QByteArray>
#include <QString>

class Dialogs;
class Random;
class Settings;

// The enciphered settings file and its ".bak" copy.
class SettingsFile final {
public:
    SettingsFile(Settings& settings, Dialogs& dialogs, Random& random, QString path);

    // Loads the settings at start-up: the first-run message for a missing or empty file,
    // "Load failed!" and the defaults for a damaged one. Returns false when the defaults are
    // in force because of damage.
    bool LoadFile();
    // Writes the current settings and then the ".bak" copy. False (after telling the user)
    // when the file could not be written; the previous file is then left as it was.
    bool SaveFile();

    const QString& Path() const { return path_; }
    QString BackupPath() const { return path_ + QStringLiteral(".bak"); }

private:
    Settings& settings_;
    Dialogs& dialogs_;
    Random& random_;
    QString path_;
};
