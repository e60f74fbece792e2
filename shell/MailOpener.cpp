#include "MailOpener.h"

#include "core/Trace.h"

#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

namespace {
class DesktopMailOpener final : public MailOpener {
public:
    QString MailClient() const override {
        const std::optional<MailClientCommand> client = FindMailClient();
        return client ? client->name : QString();
    }

    QString Open(const QString& openWith) override {
        const OpenWithText parsed = ParseOpenWith(openWith);
        switch (parsed.kind) {
        case OpenWithText::Kind::MailClient: {
            const std::optional<MailClientCommand> client = FindMailClient();
            if (!client)
                return QStringLiteral("This desktop names no mail client.");
            return Start(client->program, client->arguments, client->name);
        }
        case OpenWithText::Kind::WebAddress:
            return QDesktopServices::openUrl(QUrl(parsed.command[0]))
                       ? QString()
                       : QStringLiteral("%1 could not be opened.").arg(parsed.command[0]);
        case OpenWithText::Kind::Command:
            if (parsed.command.isEmpty())
                return QStringLiteral("The command cannot be read.");
            return Start(parsed.command[0], parsed.command.mid(1), parsed.command[0]);
        }
        return {};
    }

private:
    static QString Start(const QString& program, const QStringList& arguments,
                         const QString& name) {
        // Detached: the mail client lives on after the program, and is no child to wait for.
        if (QProcess::startDetached(program, arguments))
            return {};
        Trace(QStringLiteral("Cannot start ") + program);
        return QStringLiteral("%1 could not be started.").arg(name);
    }
};
} // namespace

std::unique_ptr<MailOpener> MakeDesktopMailOpener() {
    return std::make_unique<DesktopMailOpener>();
}
