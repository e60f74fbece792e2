#pragma once

#include <QString>

// Choices kept beside the settings file rather than in it, so that the file stays as older
// versions read it: Tarnwick.options, a line "name=1" or "name=0" each.
struct Options final {
    bool KeyringPasswords = false;     // "Keep Passwords in the Keyring"
    bool DesktopNotifications = false; // "Use Desktop Notifications"
    // "Show Senders and Subjects": off, a mail alert is its count alone (for people who share
    // their screen).
    bool ShowSenders = true;

    // A missing or unreadable file gives the defaults; unknown lines are skipped, so that an
    // older version keeps working with a newer file. Read only when it is a regular file of
    // the user's that others may not write to: a refused one gives the defaults too, and
    // why in `refused`, so that the caller does not take them for the user's choice.
    static Options Load(const QString& file, QString* refused = nullptr);
    // Written whole (never half); the reason on failure, else empty.
    QString Save(const QString& file) const;

    bool operator==(const Options&) const = default;
};
