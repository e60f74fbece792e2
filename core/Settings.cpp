#include "Settings.h"

#include <utility>

void Settings::ResetToDefaults() {
    LastUser = -1;
    Users = QVector<UserRecord>(InitialCapacity);
    CheckInterval = DefaultCheckInterval;
    ShowInterval = DefaultShowInterval;
    ShowErrors = true;
}

void Settings::GrowFor(int lastUser) {
    if (lastUser > UpperBound())
        Users.resize(lastUser + 3);
}

void Settings::AssignId(int index) {
    if (index >= 0 && index < Users.size())
        Users[index].Id = nextId_++;
}

void Settings::AssignIds() {
    for (int i = 0; i < UserCount(); ++i)
        AssignId(i);
}

int Settings::IndexOfId(quint64 id) const {
    if (id == 0)
        return -1;
    for (int i = 0; i < UserCount(); ++i) {
        if (Users[i].Id == id)
            return i;
    }
    return -1;
}

void Settings::SortUsers() {
    const int last = UserCount() - 1;
    for (int i = 0; i < last; ++i) {
        int m = i;
        QString minKey = Users[i].Username.toLower();
        for (int j = i + 1; j <= last; ++j) {
            QString key = Users[j].Username.toLower();
            // QString's operator< compares UTF-16 code units: no locale folding.
            if (key < minKey) {
                m = j;
                minKey = std::move(key);
            }
        }
        if (m != i)
            std::swap(Users[i], Users[m]);
    }
}

void Settings::DeleteUser(int index) {
    if (!IsUser(index))
        return;
    --LastUser;
    for (int i = index; i <= LastUser; ++i)
        Users[i] = Users[i + 1];
}
