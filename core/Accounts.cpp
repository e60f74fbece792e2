#include "Accounts.h"

#include <algorithm>

std::optional<QString> Account::Field(const QByteArray& name) const {
    for (const auto& [key, value] : fields)
        if (key == name)
            return value;
    return std::nullopt;
}

void Account::SetField(const QByteArray& name, const std::optional<QString>& value) {
    const auto found = std::find_if(fields.begin(), fields.end(),
                                    [&name](const auto& field) { return field.first == name; });
    if (!value) {
        if (found != fields.end())
            fields.erase(found);
    } else if (found != fields.end()) {
        found->second = *value;
    } else {
        fields.append({name, *value});
    }
}

AccountsCopy Accounts::Copy() const {
    AccountsCopy copy;
    copy.table = settings_;
    for (int i = 0; i < settings_.UserCount(); ++i) {
        const quint64 id = settings_.Users[i].Id;
        copy.taken.insert(id);
        copy.fields[id] = side_.Of(id);
    }
    return copy;
}

void Accounts::Commit(const AccountsCopy& copy) {
    QList<quint64> changed, removed;
    for (int i = settings_.UserCount() - 1; i >= 0; --i) {
        const quint64 id = settings_.Users[i].Id;
        if (copy.taken.count(id) && copy.table.IndexOfId(id) < 0) {
            settings_.DeleteUser(i);
            removed << id;
        }
    }
    for (int i = 0; i < copy.table.UserCount(); ++i) {
        const UserRecord& edited = copy.table.Users[i];
        const bool added = !copy.taken.count(edited.Id);
        int index = added ? -1 : settings_.IndexOfId(edited.Id);
        if (added) {
            index = settings_.LastUser + 1;
            settings_.GrowFor(index);
            ++settings_.LastUser;
            settings_.Users[index] = UserRecord{};
            settings_.AssignId(index);
        } else if (index < 0 || !copy.edited.count(edited.Id)) {
            continue;
        }
        UserRecord& user = settings_.Users[index];
        user.ScreenName = edited.ScreenName;
        user.Username = edited.Username;
        user.MailServer = edited.MailServer;
        if (added || copy.newPassword.count(edited.Id))
            user.Password = edited.Password;
        if (const auto fields = copy.fields.find(edited.Id); fields != copy.fields.end())
            side_.Of(user.Id) = fields->second;
        changed << user.Id;
    }
    if (copy.settingsEdited) {
        settings_.CheckInterval = copy.table.CheckInterval;
        settings_.ShowInterval = copy.table.ShowInterval;
        settings_.ShowErrors = copy.table.ShowErrors;
    }
    settings_.SortUsers();
    emit Changed(changed, removed);
}
