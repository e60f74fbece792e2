#include "TokenCommand.h"

#include <QProcess>
#include <QTimer>

std::optional<QStringList> TokenCommand::Split(const QString& commandLine) {
    QStringList words;
    QString word;
    bool inWord = false;
    QChar quote; // '\'' or '"' while inside quotes
    for (qsizetype i = 0; i < commandLine.size(); ++i) {
        const QChar c = commandLine[i];
        if (quote == QLatin1Char('\'')) {
            if (c == quote)
                quote = QChar();
            else
                word += c;
        } else if (quote == QLatin1Char('"')) {
            if (c == quote) {
                quote = QChar();
            } else if (c == QLatin1Char('\\') && i + 1 < commandLine.size() &&
                       QStringLiteral("\"\\$`").contains(commandLine[i + 1])) {
                word += commandLine[++i];
            } else {
                word += c;
            }
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
            inWord = true;
        } else if (c == QLatin1Char('\\')) {
            if (++i < commandLine.size())
                word += commandLine[i];
            inWord = true;
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
            if (inWord)
                words << std::exchange(word, QString());
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (!quote.isNull())
        return std::nullopt;
    if (inWord)
        words << word;
    return words;
}

void TokenCommand::Run(const QString& commandLine, Done done) {
    const std::optional<QStringList> split = Split(commandLine);
    if (!split) {
        done(std::nullopt, QStringLiteral("The token command has a quote that is not closed."));
        return;
    }
    QStringList arguments = *split;
    if (arguments.isEmpty()) {
        done(std::nullopt, QStringLiteral("The token command is empty."));
        return;
    }
    const QString program = arguments.takeFirst();
    auto* process = new QProcess(this);
    auto* limit = new QTimer(process);
    auto output = std::make_shared<QByteArray>();
    auto errors = std::make_shared<QByteArray>();
    auto finished = std::make_shared<bool>(false);
    auto finish = [process, finished, done](const std::optional<QString>& token,
                                            const QString& error) {
        if (std::exchange(*finished, true))
            return;
        process->disconnect();
        process->kill();
        process->deleteLater();
        done(token, error);
    };
    const auto lastErrorLine = [errors] {
        const QList<QByteArray> lines = errors->trimmed().split('\n');
        const QString line = QString::fromLocal8Bit(lines.last().trimmed().left(300));
        return line.isEmpty() ? QString() : QStringLiteral(": ") + line;
    };
    connect(process, &QProcess::readyReadStandardOutput, this, [process, output, finish] {
        *output += process->readAllStandardOutput();
        if (output->size() > OutputLimit)
            finish(
                std::nullopt,
                QStringLiteral("The token command printed more than %1 bytes.").arg(OutputLimit));
    });
    connect(process, &QProcess::readyReadStandardError, this, [process, errors] {
        *errors += process->readAllStandardError();
        if (errors->size() > OutputLimit)
            *errors = errors->right(OutputLimit / 2); // only its last line is said
    });
    connect(
        process, &QProcess::errorOccurred, this, [program, finish](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                finish(std::nullopt,
                       QStringLiteral("The token command %1 could not be started.").arg(program));
        });
    connect(
        process, &QProcess::finished, this,
        [process, output, finish, lastErrorLine](int code, QProcess::ExitStatus status) {
            *output += process->readAllStandardOutput();
            if (status != QProcess::NormalExit || code != 0) {
                finish(std::nullopt, QStringLiteral("The token command failed (%1)%2")
                                         .arg(status != QProcess::NormalExit
                                                  ? QStringLiteral("it crashed")
                                                  : QStringLiteral("exit code %1").arg(code),
                                              lastErrorLine()));
                return;
            }
            const QString token = QString::fromLocal8Bit(output->split('\n').first()).trimmed();
            if (token.isEmpty())
                finish(std::nullopt,
                       QStringLiteral("The token command printed no token%1").arg(lastErrorLine()));
            else
                finish(token, QString());
        });
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, this, [finish] {
        finish(std::nullopt, QStringLiteral("The token command gave no token within 30 seconds."));
    });
    // Nothing of ours goes to it on standard input.
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(program, arguments);
    limit->start(TimeoutMs);
}
