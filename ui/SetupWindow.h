#pragma once

#include "SetupState.h"

#include <QDialog>
#include <functional>

class Autostart;
class Dialogs;
class EditUserWindow;
class KeptPasswords;
class QCheckBox;
class QLabel;
class QPushButton;
class Settings;
struct Options;
class UserListBox;
class UserLists;

// frmSetup: the users and the three settings. Works on the live table; "Ok" saves it,
// "Cancel" puts back what was there when the window opened or was last saved.
class SetupWindow final : public QDialog {
    Q_OBJECT

public:
    SetupWindow(Settings& settings, Dialogs& dialogs, UserLists& lists, EditUserWindow& editor,
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
    void PopInts();
    void MakeBackups();
    void RestoreBackups();
    // See SetupSnapshot::FollowCount.
    void FollowCount(quint64 id, qint32 numMails) { backups_.FollowCount(id, numMails); }
    // Per-mailbox fields kept beside the table (quiet hours): `take` keeps them whenever the
    // table is kept, and gives what puts them back at "Cancel".
    void SetSideBackup(std::function<std::function<void()>()> take) {
        sideBackup_ = std::move(take);
    }
    void HideSetup();

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

    Settings& settings_;
    Dialogs& dialogs_;
    UserLists& lists_;
    EditUserWindow& editor_;
    std::function<bool()> saveFile_;

    const Autostart* autostart_ = nullptr;
    KeptPasswords* kept_ = nullptr;
    Options* options_ = nullptr;
    QString optionsFile_;
    std::function<bool()> notificationsForced_;
    SetupSnapshot backups_;
    std::function<std::function<void()>()> sideBackup_;
    std::function<void()> sideRestore_;
    bool placed_ = false;

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
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;
};
