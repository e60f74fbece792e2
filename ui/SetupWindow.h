#pragma once

#include "SetupState.h"
#include "core/Accounts.h"

#include <QDialog>
#include <functional>

class Autostart;
class Dialogs;
class EditUserWindow;
class KeptPasswords;
class QCheckBox;
class QLabel;
class QPushButton;
struct Options;
class UserListBox;
class UserLists;

// frmSetup: the users and the three settings. Works on a copy of the accounts; "Ok" commits
// what was edited in it and saves, "Cancel" drops it, the close control commits it unsaved.
class SetupWindow final : public QDialog {
    Q_OBJECT

public:
    SetupWindow(Accounts& accounts, Dialogs& dialogs, UserLists& lists, EditUserWindow& editor,
                std::function<bool()> saveFile, QWidget* parent = nullptr);
    ~SetupWindow() override;

    // "Start at Login" shows and sets this entry; without one the box is disabled.
    void SetAutostart(const Autostart* autostart) { autostart_ = autostart; }
    // "Keep Passwords in the Keyring" moves the passwords there and back; without `kept` the
    // box is disabled.
    void SetKeyring(KeptPasswords* kept);
    // "Use Desktop Notifications" shows and sets `options` (written to `file` on "Ok"); while
    // `forced` holds it is ticked and greyed. Without options the box is disabled.
    void SetOptions(Options* options, const QString& file, std::function<bool()> forced);

    void DoCancel();
    // Asks for a new value of the interval `IntVal`, named `IntName` in the prompt.
    void SetInterval(qint16& IntVal, const QString& IntName);
    void SetListEnabled();
    // Blocks `owner`, the window it is opened from (see RunModal); returns when the window has
    // been hidden or closed.
    void ShowForm(QWidget* owner = nullptr);
    // Opens the editor of the mailbox `userId` at "Sign In\u2026", its sign-in being lost; setup
    // opens first where it is not open yet, and the editor edits its copy as "Edit" does.
    void SignInAgain(quint64 userId, QWidget* owner = nullptr);
    void PopInts();
    void HideSetup();
    // What the window edits while it is open.
    AccountsCopy& Copy() { return copy_; }

protected:
    void reject() override;                       // Esc: "Cancel"
    void closeEvent(QCloseEvent* event) override; // the close control: keep, save nothing

private:
    void AddClicked();
    void EditClicked();
    void DeleteClicked();
    void OkClicked();
    // Greyed, saying why, while no keyring service runs (unless the passwords are there).
    void ShowKeyringState();
    // Moves the passwords as `chkKeyring` says, then saves; false (the user told why) when
    // anything failed: then the file still holds every password it held.
    bool SaveWithKeyring();
    bool SaveOptions(const std::function<void(Options&)>& change);

    Accounts& accounts_;
    AccountsCopy copy_;
    bool editing_ = false; // open with a copy not yet committed or dropped
    Dialogs& dialogs_;
    UserLists& lists_;
    EditUserWindow& editor_;
    std::function<bool()> saveFile_;

    const Autostart* autostart_ = nullptr;
    KeptPasswords* kept_ = nullptr;
    Options* options_ = nullptr;
    QString optionsFile_;
    std::function<bool()> notificationsForced_;
    bool placed_ = false;
    quint64 signInAgain_ = 0; // the mailbox whose editor opens once the window is open

    QLabel* lblUsers = nullptr;
    UserListBox* lstUsers = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* cmdEdit = nullptr;
    QPushButton* cmdDelete = nullptr;
    QLabel* lblCheckIntCap = nullptr;
    QLabel* lblCheckInt = nullptr;
    QPushButton* cmdSetCheck = nullptr;
    QLabel* lblShowIntCap = nullptr;
    QLabel* lblShowInt = nullptr;
    QPushButton* cmdSetShow = nullptr;
    QCheckBox* chkShowErrs = nullptr;
    QCheckBox* chkStartAtLogin = nullptr;
    QCheckBox* chkKeyring = nullptr;
    QCheckBox* chkDesktopNotifications = nullptr;
    QCheckBox* chkShowSenders = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;
};
