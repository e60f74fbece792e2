#pragma once

#include <QPushButton>
#include <QWidget>
#include <functional>

class CheckStatus;
class Settings;
class UserListBox;
class UserLists;
class QLabel;

// What the control centre's buttons open or do beyond the check engine.
struct ControlCentreActions {
    std::function<void(bool ResetThings)> CheckMail;
    std::function<void()> ShowSetup;
    std::function<void()> DoAbout;
    std::function<void()> Exit;
    // Raises the program's open dialogs above the control centre, in their stacking order.
    std::function<void()> BringDialogsToFront;
    // Asked before "Done", Esc or the close control hide the window; false keeps it on
    // screen (and has told the user why).
    std::function<bool()> MayHide;
};

// "Tarnwick: Home - checking" style tip text, ending in a NUL that marks where a fixed-size
// tip field ends.
QString MakeCaption(const Settings& settings, const CheckStatus& status);

// The control centre: the user list and the buttons to check, set up, read about and leave.
// Closing it only hides it.
class ControlCentre final : public QWidget {
    Q_OBJECT

public:
    ControlCentre(const Settings& settings, const CheckStatus& status, UserLists& lists,
                  ControlCentreActions actions, QWidget* parent = nullptr);

    void ShowForm();
    QString MakeCaption() const { return ::MakeCaption(settings_, status_); }

    // The close rules: `UnloadMode` 0 is the user's close control, 1 the program's own
    // request, 2 the end of the desktop session, 3 and above others. Returns true when the
    // close goes ahead.
    bool QueryUnload(int UnloadMode);

    UserListBox* lstUsers = nullptr;
    QPushButton* cmdCheckMail = nullptr;
    QPushButton* cmdSetup = nullptr;
    QPushButton* cmdAbout = nullptr;
    QPushButton* cmdDone = nullptr;
    QPushButton* cmdExit = nullptr;
    QLabel* lblUsers = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OpenSetup();
    void Done();

    const Settings& settings_;
    const CheckStatus& status_;
    UserLists& lists_;
    ControlCentreActions actions_;
};
