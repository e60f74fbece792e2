#pragma once

#include "core/OpenWith.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

// The desktop's own opener: its default applications and the programs it can start.
std::unique_ptr<MailOpener> MakeDesktopMailOpener();
// The desktop's mail client as a platform finds it: its name and the command that starts it
// without a compose address. Found in shell/platform.
struct MailClientCommand {
    QString name;
    QString program;
    QStringList arguments;
};
std::optional<MailClientCommand> FindMailClient();
