#pragma once

#include "alerts/AlertQueue.h"
#include "alerts/DesktopNotifications.h"
#include "check/Logs.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <vector>

class Clock;
class DesktopNotifications;
class Settings;
struct UserRecord;

// The pop-up for new mail and for errors. Once a second it picks what to show: the oldest
// queued error text, else the first user whose mail alert is due. The alert slides down from
// the top-left corner of the screen's work area, stays topmost until answered and slides back up.
//
// A mail alert follows its user by identity, so that a delete or a re-sort in setup while it is
// on screen cannot make its buttons act on somebody else.
//
// It is a tool window: no taskbar button, never the keyboard focus, and closing it never ends
// the program.
//
// Where the desktop's notifications are wanted and a service runs, they take the window's
// place: what is due is decided as for the window, but every waiting error and every user with
// news has a notification of its own at once, replaced when its text changes and closed when
// nothing calls for it any more.
class AlertWindow final : public QWidget, public ErrorSink {
    Q_OBJECT

public:
    static constexpr int TwipsPerPixel = 15;
    static constexpr int Px(int twips) { return (twips + TwipsPerPixel / 2) / TwipsPerPixel; }

    static constexpr int Height = (2415 + TwipsPerPixel / 2) / TwipsPerPixel; // Px(2415)
    static constexpr int NextAlertMs = 1000;
    static constexpr int SlideTickMs = 1;
    static constexpr int SlideDivisor = 50;
    // A window manager may keep the window from leaving the screen; a slide ends after this
    // many steps whatever the window's position says.
    static constexpr int MaxSlideSteps = 4 * SlideDivisor;

    AlertWindow(Settings& settings, const Clock& clock, std::function<bool()> saveFile,
                std::function<bool()> isSetupVisible, QWidget* parent = nullptr);

    // Queues an error text (it may hold CR LF line breaks) to be shown after those before it.
    void AddError(const QString& ErrTxt) override;
    // Queues an error of the user `who`, in place of that user's error still waiting.
    void AddUserError(const QString& ErrTxt, const QString& who) override;
    // Where the alert rests: the top-left corner of the primary screen's work area, below a
    // top panel and right of a left one.
    static QPoint RestingPlace();
    // Withdraws a mail alert that a newer count has overtaken, then, unless an alert or the
    // setup window is visible, shows the oldest error or the first due mail alert.
    void DoNextAlert();
    // Shows the oldest queued error, else the mail alert of the alert's user; starts the slide-in.
    void ShowAlert();
    // Starts the slide-out of the visible alert.
    void DoHide();
    // Ends the slide-out and at once looks for the next alert.
    void HideAlert();
    void Start();
    // Shows the alerts as the desktop's notifications whenever `wanted` says so and `service`
    // (none: no session bus) runs; otherwise in this window, after one note on stderr.
    void UseDesktopNotifications(DesktopNotifications* service, std::function<bool()> wanted);
    bool ShowsOnDesktop() const;
    // Something may have become due: a check ended, the setup window closed. The
    // once-a-second look sleeps while nothing can be shown.
    void Wake();

    QString AlertText() const { return txtAlert.toPlainText(); }
    bool IsErrorAlert() const { return errorAlert_; }
    // Current index of the user whose mail alert was shown last; -1 after an error alert, before
    // the first alert, or when that user has been deleted.
    int AlertUser() const;
    qint32 AlertNumMails() const { return alertNumMails_; }
    const AlertQueue& Queue() const { return queue_; }

    QPushButton& OkButton() { return cmdOk; }
    QPushButton& HideButton() { return cmdHide; }
    QPushButton& HideSessionButton() { return cmdHideSession; }
    QPushButton& HidePermanentlyButton() { return cmdHidePermanently; }
    QPlainTextEdit& TextArea() { return txtAlert; }

    QTimer tmrNextAlert;
    QTimer tmrShow;
    QTimer tmrHide;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void SleepWhileIdle();
    // Moves the window to `top` and hides the part of it that lies above the work area, where
    // a panel is.
    void MoveTo(int top);
    void OnShowTick();
    void OnHideTick();
    void OnOk();
    void OnHideSession();
    void OnHidePermanently();
    // The record of the user whose mail alert is on screen; none for an error alert or when
    // that user is gone.
    UserRecord* MailAlertRecord();
    // Accepts the count that `user`'s alert stands for, as "Hide Permanently" does.
    void AcceptCount(UserRecord& user);
    // Brings the notifications in line with the queue and the user table.
    void SyncDesktop();
    // Applies the actions that waited for setup to close, once it has.
    void ApplyWaitingActions();
    void OnDesktopAction(quint32 id, const QString& action);
    void OnDesktopClosed(quint32 id, DesktopNotifications::Closed reason);
    // Closes every notification of ours, as when they are no longer wanted.
    void ForgetDesktop();

    Settings& settings_;
    const Clock& clock_;
    std::function<bool()> saveFile_;
    std::function<bool()> isSetupVisible_;

    AlertQueue queue_;
    quint64 alertUserId_ = 0; // AlertUser by identity; 0 for none
    qint32 alertNumMails_ = 0;
    bool errorAlert_ = false;
    // The error alert on screen: whose, how many failures it stands for, since when; a newer
    // error of that user takes its place on screen.
    AlertQueue::Origin shownError_;
    int slideSteps_ = 0;
    QPoint rest_; // where the alert slides to, taken when it is shown
    int top_ = 0; // where the window's top edge is in the slide, hidden or not
    std::vector<std::pair<QWidget*, QPoint>> places_; // the controls' places at rest

    struct Shown {
        quint32 id = 0;   // the service's notification
        qint32 count = 0; // a mail alert's NewNumMails
        QString text;     // an error alert's text
    };
    DesktopNotifications* desktop_ = nullptr;
    std::function<bool()> desktopWanted_;
    std::map<quint64, Shown> mailShown_;  // by user identity
    std::map<quint64, Shown> errorShown_; // by the queue's serial
    // Actions on mail notifications given while setup was open (user identity, action).
    std::vector<std::pair<quint64, QString>> waitingActions_;
    bool fallbackNoted_ = false;

    // Declared in tab order.
    QPushButton cmdOk{QStringLiteral("Ok"), this};
    QPushButton cmdHide{QStringLiteral("Hide"), this};
    QPushButton cmdHideSession{QStringLiteral("Hide For This Session"), this};
    QPushButton cmdHidePermanently{QStringLiteral("Hide Permanently"), this};
    QPlainTextEdit txtAlert{this};
};
