#pragma once

#include <QString>

// Where the program keeps its files. The program passes the real places; tests their own.
struct Paths {
    QString SettingsFile;  // the enciphered settings; its backup is this path + ".bak"
    QString ProgramFolder; // error and STAT logs go here
    // The desktop entry that starts the program at login; empty where there is none.
    QString AutostartFile = {};
    // The running program, as that entry starts it.
    QString ProgramFile = {};
    // What has been seen of each mailbox's messages, in the state folder; empty: kept in memory.
    QString SeenFile = {};

    // The settings file in the user's configuration folder (C:\Tarnwick.ini on Windows), the
    // logs in LogFolder, "Start at Login" in the user's autostart folder.
    static Paths ForProgram(const QString& executableFile);

    // Certificates the user trusts for TLS besides the system's (a private CA or a
    // self-signed server), beside the settings file.
    QString CaFile() const;
    // The choices kept beside the settings file (Tarnwick.options).
    QString OptionsFile() const;
    // The per-mailbox fields kept beside the settings file (Tarnwick.accounts).
    QString AccountsFile() const;
    // More OAuth 2.0 providers than the built-in ones (Tarnwick-oauth2.conf).
    QString OAuthProvidersFile() const;
};

// Appends the folder separator unless the path already ends in one; "" gives the separator.
QString AddSlash(const QString& path);

// The user's home folder: $HOME when it is an absolute path, else the one the password
// database names (a start with HOME unset).
QString HomeFolder();

// $XDG_STATE_HOME, else ~/.local/state. A relative value is ignored, as the XDG rules say.
QString StateHome();

// $XDG_CONFIG_HOME, else ~/.config; a relative value is ignored.
QString ConfigHome();

// Where the settings file lies: Tarnwick.ini in ConfigHome (C:\Tarnwick.ini on Windows).
// Known without an application object: the lock beside it is taken first of all.
QString DefaultSettingsFile();

// Where the logs go: beside the executable when the user may write there, no one else may,
// and it is no installed program's folder (a build folder, a portable copy); else
// `stateHome`/Tarnwick.
QString LogFolder(const QString& executableFolder, const QString& stateHome);

// Makes `path` (and its parents) a folder only its owner may enter (mode 0700). An existing
// folder must belong to this user; one that others may enter is made private. The reason, or
// empty on success.
QString MakePrivateFolder(const QString& path);
