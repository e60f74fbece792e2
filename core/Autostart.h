#pragma once

#include <QString>

// "Start at Login": a desktop entry in the user's autostart folder that starts the program.
// The choice lives in that file alone.
class Autostart final {
public:
    // `file`: the entry ($XDG_CONFIG_HOME/autostart/tarnwick.desktop); `program`: the absolute
    // path of the running program, which the entry starts.
    Autostart(QString file, QString program)
        : file_(std::move(file)), program_(std::move(program)) {}

    bool IsEnabled() const;
    // Writes or removes the entry; the reason when that failed, else empty.
    QString SetEnabled(bool enabled) const;

    QString File() const { return file_; }
    // The entry's text.
    QByteArray Entry() const;

private:
    QString file_;
    QString program_;
};

// `program` as the Exec key of a desktop entry holds it: always quoted, with the characters
// that quoting and the key's own escapes reserve escaped, and "%" doubled.
QString DesktopExecQuote(const QString& program);

// `text` as a string value of a desktop entry holds it: backslash, newline, tab and carriage
// return escaped, a leading blank as "\s".
QString DesktopStringEscape(const QString& text);

// The Exec value that starts `program`: the quoted path, or for a path with "%" the quoted path
// started by /bin/sh.
QString DesktopExecLine(const QString& program);
