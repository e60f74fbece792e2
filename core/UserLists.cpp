#include "UserLists.h"

#include "Settings.h"

QString UserLine(const Settings& settings, int index, const CheckStatus* status,
                 const Settings* live) {
    const UserRecord& user = settings.Users[index];
    const qint32 pending = status ? status->NewNumMails(user.Id) : -1;
    const qint32 n = pending != -1 ? pending : user.NumMails;
    QString line =
        user.ScreenName + QStringLiteral(" - ") + QString::number(n) + QStringLiteral(" email");
    if (n != 1)
        line += QLatin1Char('s');
    const int checking = status && status->IsChecking() ? status->GetCheckUser() : -1;
    if (live ? live->IsUser(checking) && live->Users[checking].Id == user.Id : checking == index)
        line += QStringLiteral(" - checking!");
    return line;
}

void FillUserList(UserListView& list, const Settings& settings, const CheckStatus* status,
                  const Settings* live, const UserTip& tip) {
    int selected = list.SelectedIndex();
    int top = list.TopIndex();
    list.Clear();
    for (int i = 0; i < settings.UserCount(); ++i)
        list.AddLine(UserLine(settings, i, status, live));
    if (tip)
        for (int i = 0; i < settings.UserCount(); ++i)
            list.SetTip(i, tip(settings.Users[i].Id));
    const int count = list.Count();
    if (selected >= count)
        selected = count - 1;
    if (top >= count)
        top = count - 1;
    if (selected != -1)
        list.Select(selected);
    if (top != -1)
        list.ScrollToTop(top);
}

void UserLists::Fill(UserListView& list) const {
    if (&list == setupList_ && setupTable_)
        FillUserList(list, *setupTable_, status_, &settings_);
    else
        FillUserList(list, settings_, status_, nullptr, &list == mainList_ ? mainTip_ : UserTip{});
}

void UserLists::RefreshUserLists() const {
    if (setupList_ && setupList_->IsVisible())
        Fill(*setupList_);
    if (mainList_ && mainList_->IsVisible())
        Fill(*mainList_);
}
