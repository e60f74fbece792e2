#pragma once

#include <QString>

// Where the program keeps its files. The program passes the real places; tests their own.
struct Paths {
    QString SettingsFile;  // the enciphered settings; its backup is this path + ".bak"
    QString ProgramFolder; // error and STAT logs go here

    // The settings file in the user's configuration folder (C:\Tarnwick.ini on Windows),
    // the logs beside the executable.
    static Paths ForProgram(const QString& executableFolder);

    // Certificates the user trusts for TLS besides the system's (a private CA or a
    // self-signed server), beside the settings file.
    QString CaFile() const;
};

// Appends the folder separator unless the path already ends in one; "" gives the separator.
QString AddSlash(const QString& path);
