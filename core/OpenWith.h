#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The side-file field of a mailbox that says how its mail is opened from its alert.
inline const QByteArray OpenWithField = QByteArrayLiteral("OpenWith");

// How a mailbox's mail is opened from its alert: the desktop's mail client, a web address
// (webmail) or a command, as its "Open With" says. Handed in; tests use a stand-in.
class MailOpener {
public:
    virtual ~MailOpener() = default;
    // The name of the desktop's mail client; empty where the desktop has none.
    virtual QString MailClient() const = 0;
    // Opens the mail with `openWith`: empty, the desktop's mail client, started without a
    // compose address; an http or https address, in the browser; else a command line. Empty
    // when started, else why not.
    virtual QString Open(const QString& openWith) = 0;
};

// What "Open With" holds: nothing, a web address, or a command line (its program first).
struct OpenWithText {
    enum class Kind { MailClient, WebAddress, Command } kind = Kind::MailClient;
    QStringList command; // a web address, or a command's program and arguments
};
OpenWithText ParseOpenWith(const QString& openWith);
// Why `openWith` cannot be used (a web address without a host, a command whose program is not
// found); empty when it can.
QString OpenWithProblem(const QString& openWith);
