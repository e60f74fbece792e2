#include "Options.h"

#include "Files.h"
#include "platform/System.h"

#include <QFile>
#include <utility>

namespace {
// One table for both directions, so that a new choice cannot be read but not written.
constexpr std::pair<const char*, bool Options::*> Names[] = {
    {"KeyringPasswords", &Options::KeyringPasswords},
    {"DesktopNotifications", &Options::DesktopNotifications},
    {"ShowSenders", &Options::ShowSenders},
};
constexpr qint64 MaxSize = 4096; // a few short lines: anything larger is not ours
} // namespace

Options Options::Load(const QString& file, QString* refused) {
    Options options;
    QFile in;
    QString error;
    bool wasRefused = false;
    if (!OpenFileToRead(in, file, true, error, &wasRefused)) {
        if (wasRefused && refused)
            *refused = error;
        return options;
    }
    if (in.size() > MaxSize)
        return options;
    for (const QByteArray& raw : in.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray name = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        for (const auto& [known, member] : Names)
            if (name == known && (value == "0" || value == "1"))
                options.*member = value == "1";
    }
    return options;
}

QString Options::Save(const QString& file) const {
    QByteArray text;
    for (const auto& [name, member] : Names)
        text += QByteArray(name) + '=' + (this->*member ? '1' : '0') + '\n';
    return WriteFileWhole(file, text, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        .value_or(QString());
}
