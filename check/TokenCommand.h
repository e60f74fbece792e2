#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// A command of the user's that prints an access token (a token helper): run without a shell,
// its arguments split as a shell would, for at most `TimeoutMs`. The first line of its output
// is the token; its output is never logged, only why it failed and its standard error's last
// line.
class TokenCommand final : public QObject {
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 30000;
    static constexpr qint64 OutputLimit = 64 * 1024;
    using Done = std::function<void(const std::optional<QString>& token, const QString& error)>;

    using QObject::QObject;

    // `commandLine`'s words as a POSIX shell splits them (blanks; 'single' and "double"
    // quotes; backslashes), without expanding anything; nothing when a quote is left open.
    static std::optional<QStringList> Split(const QString& commandLine);

    // Starts `commandLine`; `done` once, later, with the token or why there is none.
    void Run(const QString& commandLine, Done done);
};
