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
    // The copy's table, with what others changed meanwhile: the counts that fell or were
    // accepted, the passwords from the keyring. Identities stay, new ones included: the copy
    // took them on from the table, which gives out no more while setup is open.
    Settings next = copy.table;
    QList<quint64> changed, removed;
    for (int i = 0; i < next.UserCount(); ++i) {
        UserRecord& user = next.Users[i];
        if (const int now = copy.taken.count(user.Id) ? settings_.IndexOfId(user.Id) : -1;
            now >= 0) {
            user.NumMails = settings_.Users[now].NumMails;
            if (!copy.newPassword.count(user.Id))
                user.Password = settings_.Users[now].Password;
            if (!copy.edited.count(user.Id))
                continue;
        }
        if (const auto fields = copy.fields.find(user.Id); fields != copy.fields.end())
            side_.Of(user.Id) = fields->second;
        changed << user.Id;
    }
    for (int i = 0; i < settings_.UserCount(); ++i) // also one a failed save takes back
        if (next.IndexOfId(settings_.Users[i].Id) < 0)
            removed << settings_.Users[i].Id;
    if (!copy.settingsEdited) {
        next.CheckInterval = settings_.CheckInterval;
        next.ShowInterval = settings_.ShowInterval;
        next.ShowErrors = settings_.ShowErrors;
    }
    settings_ = next;
    emit Changed(changed, removed);
}
