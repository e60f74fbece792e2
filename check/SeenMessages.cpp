#include "SeenMessages.h"

#include "core/Files.h"
#include "core/Paths.h"
#include "core/Trace.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <algorithm>

namespace {
const QByteArray Header = "Tarnwick seen messages 1\n";

QByteArray Encode(const QString& text) {
    return text.isEmpty() ? QByteArray("-") : QUrl::toPercentEncoding(text);
}

QString Decode(const QByteArray& word) {
    return word == "-" ? QString() : QUrl::fromPercentEncoding(word);
}
} // namespace

SeenMessages::SeenMessages(QString path) : path_(std::move(path)) {
    Load();
}

QString SeenMessages::KeyOf(const QString& login, const QString& server) {
    return login + QLatin1Char('\n') + server;
}

const SeenRecord* SeenMessages::Find(const QString& key) const {
    const auto it = records_.constFind(key);
    return it == records_.constEnd() ? nullptr : &it.value();
}

std::optional<QString> SeenMessages::Put(const QString& key, const SeenRecord& record,
                                         const QSet<QString>& keep) {
    bool changed = false;
    for (auto it = records_.begin(); it != records_.end();) {
        if (keep.contains(it.key())) {
            ++it;
        } else {
            it = records_.erase(it);
            changed = true;
        }
    }
    if (const SeenRecord* old = Find(key); !old || !(*old == record)) {
        records_.insert(key, record);
        changed = true;
    }
    return changed ? Save() : std::nullopt;
}

void SeenMessages::Load() {
    if (path_.isEmpty())
        return;
    QFile file(path_);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly) || file.size() > FileLimit) {
        Trace(QStringLiteral("Seen messages not read: ") + path_);
        return;
    }
    const QByteArray bytes = file.readAll();
    if (!bytes.startsWith(Header)) {
        Trace(QStringLiteral("Seen messages not read, not of this program: ") + path_);
        return;
    }
    SeenRecord* current = nullptr;
    for (const QByteArray& line : bytes.mid(Header.size()).split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 4 && words[0] == "M") {
            current = &records_[Decode(words[1])];
            *current = {};
            current->uidValidity = Decode(words[2]);
            current->noUidl = words[3] == "0";
        } else if (words.size() == 2 && current && words[0] == "A") {
            current->accepted.insert(Decode(words[1]));
        } else if (words.size() == 2 && current && words[0] == "S") {
            current->shown.insert(Decode(words[1]));
        }
    }
}

std::optional<QString> SeenMessages::Save() const {
    if (path_.isEmpty())
        return std::nullopt;
    QByteArray bytes = Header;
    QStringList keys = records_.keys();
    std::sort(keys.begin(), keys.end());
    for (const QString& key : std::as_const(keys)) {
        const SeenRecord& record = records_[key];
        bytes += "M " + Encode(key) + ' ' + Encode(record.uidValidity) + ' ' +
                 (record.noUidl ? "0" : "1") + '\n';
        for (const auto& [letter, ids] : {std::pair{'A', &record.accepted}, {'S', &record.shown}}) {
            QStringList sorted(ids->begin(), ids->end());
            std::sort(sorted.begin(), sorted.end());
            for (const QString& id : std::as_const(sorted))
                bytes += QByteArray(1, letter) + ' ' + Encode(id) + '\n';
        }
    }
    MakePrivateFolder(QFileInfo(path_).absolutePath()); // a failure shows in the write
    const std::optional<QString> error =
        WriteFileWhole(path_, bytes, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (error)
        Trace(QStringLiteral("Seen messages not written: ") + *error);
    return error;
}
