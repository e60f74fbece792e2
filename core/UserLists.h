#pragma once

#include <QString>
#include <functional>

class Settings;

// What a list of users needs to know about the check in progress.
class CheckStatus {
public:
    virtual ~CheckStatus() = default;
    virtual bool IsChecking() const = 0;
    virtual int GetCheckUser() const = 0; // table index, -1 for none
    // The count a server reported above the accepted one for the user with identity `id`;
    // -1: none.
    virtual qint32 NewNumMails(quint64 /*id*/) const { return -1; }
};

// The few operations of a single-selection list box that the user lists need. Windows wrap
// their QListWidget in one of these; tests use a plain in-memory list.
class UserListView {
public:
    virtual ~UserListView() = default;
    virtual bool IsVisible() const = 0;
    virtual int Count() const = 0;
    virtual int SelectedIndex() const = 0; // -1: nothing selected
    virtual int TopIndex() const = 0;      // -1: empty list
    virtual void Clear() = 0;
    virtual void AddLine(const QString& line) = 0;
    virtual void Select(int index) = 0;
    virtual void ScrollToTop(int index) = 0;
    // The tooltip of line `index`; lists without tooltips ignore it.
    virtual void SetTip(int /*index*/, const QString& /*tip*/) {}
};

// "Home - 3 emails - checking!"; `live`, the table the check runs on, when `settings` is a copy.
QString UserLine(const Settings& settings, int index, const CheckStatus* status,
                 const Settings* live = nullptr);

// What a user's line adds in its tooltip, by the user's identity ("quiet until 08:00").
using UserTip = std::function<QString(quint64)>;

// Rebuilds `list` from users 0..LastUser, keeping the selected and top lines where they can
// stay (clamped to the new last line).
void FillUserList(UserListView& list, const Settings& settings, const CheckStatus* status,
                  const Settings* live = nullptr, const UserTip& tip = {});

// The two user lists of the program: the setup window's and the control centre's. Hidden
// lists are left alone; a window fills its own list when it is shown.
class UserLists final {
public:
    explicit UserLists(const Settings& settings) : settings_(settings) {}

    void SetCheckStatus(const CheckStatus* status) { status_ = status; }
    // The setup window's list shows `table`, its copy, when given.
    void SetSetupList(UserListView* list, const Settings* table = nullptr) {
        setupList_ = list;
        setupTable_ = table;
    }
    void SetMainList(UserListView* list) { mainList_ = list; }
    // The control centre's lines get tooltips from `tip`.
    void SetMainTip(UserTip tip) { mainTip_ = std::move(tip); }

    void Fill(UserListView& list) const;
    void RefreshUserLists() const;

private:
    const Settings& settings_;
    const CheckStatus* status_ = nullptr;
    UserListView* setupList_ = nullptr;
    const Settings* setupTable_ = nullptr;
    UserListView* mainList_ = nullptr;
    UserTip mainTip_;
};
