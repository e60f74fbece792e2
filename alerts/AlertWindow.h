#pragma once

#include "alerts/AlertPresenter.h"

#include <QBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QTimer>
#include <QWidget>
#include <memory>

// The pop-up for new mail and for errors, one renderer of the presenter's alerts. It asks the
// presenter what to show when something may have become due (a mailbox's state changed, an
// error arrived, an alert slid out, setup closed) and, for an alert held back by the show
// interval, once at the moment that interval passes: no timer stands between a count and its
// alert. The alert slides down from the top-left corner of
// the screen's work area, stays topmost until answered and slides back up.
//
// A mail alert follows its user by identity, so that a delete or a re-sort in setup while it is
// on screen cannot make its buttons act on somebody else. It stands for all the messages of
// its mailbox not yet accepted: news of that mailbox changes its text in place (the window
// grows to hold the lines), and it slides out when none is left. A click on its text opens
// the mail; on the error of a mailbox whose sign-in was lost, the editor to sign in again.
//
// It is a tool window: no taskbar button, never the keyboard focus, and closing it never ends
// the program. Where the desktop's notifications take its place, its look hands over to them.
class AlertWindow final : public QWidget {
    Q_OBJECT

public:
    static constexpr int TwipsPerPixel = 15;
    static constexpr int Px(int twips) { return (twips + TwipsPerPixel / 2) / TwipsPerPixel; }

    // The window's height for an alert of one line; it grows for more.
    static constexpr int Height = (2415 + TwipsPerPixel / 2) / TwipsPerPixel; // Px(2415)
    // After a failed look (the notification service refused) the next try waits this long, so
    // that a failure cannot keep the program busy.
    static constexpr int RetryMs = 1000;
    static constexpr int SlideTickMs = 1;
    static constexpr int SlideDivisor = 50;
    // A window manager may keep the window from leaving the screen; a slide ends after this
    // many steps whatever the window's position says.
    static constexpr int MaxSlideSteps = 4 * SlideDivisor;

    explicit AlertWindow(AlertPresenter& presenter, QWidget* parent = nullptr);
    ~AlertWindow() override;

    // Where the alert rests: the top-left corner of the primary screen's work area, below a
    // top panel and right of a left one.
    static QPoint RestingPlace();
    // Withdraws a mail alert that a newer count has overtaken, then, unless an alert or the
    // setup window is visible, shows the oldest error or the first due mail alert.
    void DoNextAlert();
    // Starts the slide-out of the visible alert.
    void DoHide();
    // Ends the slide-out and at once looks for the next alert.
    void HideAlert();
    // Starts and stops looking by itself (on Wake and at the next due moment).
    void Start();
    void Stop();
    bool IsStarted() const { return started_; }
    // Something may have become due: a mailbox's state changed, an error arrived, the setup
    // window closed. Looks at once, in the caller's turn of the event loop.
    void Wake();

    QString AlertText() const;
    bool IsErrorAlert() const { return errorAlert_; }
    // Current index of the user whose mail alert was shown last; -1 after an error alert, before
    // the first alert, or when that user has been deleted.
    int AlertUser() const;
    qint32 AlertNumMails() const { return alertNumMails_; }

    // The controls are made with the first alert (or when asked for here): a program that
    // sits in the tray never loads the text area's code, its fonts and its layout.
    bool HasControls() const { return parts_ != nullptr; }
    QPushButton& OkButton();
    QPushButton& HideButton();
    QPushButton& HideSessionButton();
    QPushButton& HidePermanentlyButton();
    QPushButton& MarkReadButton();
    QPlainTextEdit& TextArea();
    // What holds the controls, laid out for the alert on screen.
    QWidget& Body();
    // The height of the alert on screen (or last shown), whole.
    int AlertHeight() const { return height_; }

    // Single shot, armed for the earliest moment a held-back mail alert falls due.
    QTimer tmrNextAlert;
    QTimer tmrShow;
    QTimer tmrHide;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The look of DoNextAlert, without the re-entry guard.
    void Look();
    // Arms tmrNextAlert for the next alert that waits for its show interval, if any.
    void ArmNextAlert();
    // The mail alert on screen takes the text and buttons of `alert`, growing or shrinking.
    void UpdateInPlace(const AlertPresenter::Alert& alert);
    // Shows `alert` and starts the slide-in.
    void ShowAlert(const AlertPresenter::Alert& alert);
    // Moves the window to `top` and hides the part of it that lies above the work area, where
    // a panel is.
    void MoveTo(int top);
    void OnShowTick();
    void OnHideTick();
    void OnOk();
    void OnHideSession();
    void OnHidePermanently();
    void OnMarkRead();
    // Sets the text and the buttons for the kind of alert, and the height that holds them.
    void Arrange(const QString& text);
    // What a click on the text does, said by the pointer and the tooltip.
    void ShowClickHint();
    // A newer error of the user whose error alert is on screen takes its place there.
    bool TakeErrorInPlace(const QString& ErrTxt, const QString& who);

    AlertPresenter& presenter_;
    quint64 alertUserId_ = 0; // AlertUser by identity; 0 for none
    qint32 alertNumMails_ = 0;
    bool errorAlert_ = false;
    bool markRead_ = false; // the mail alert offers "Mark as Read"
    // The error alert on screen: whose, how many failures it stands for, since when; a newer
    // error of that user takes its place on screen.
    AlertQueue::Origin shownError_;
    int slideSteps_ = 0;
    bool started_ = false;
    // A look in progress: a state change it makes itself (the alert's stamp) asks for another
    // look after it rather than one inside it.
    bool looking_ = false;
    bool lookAgain_ = false;
    QPoint rest_; // where the alert slides to, taken when it is shown
    int top_ = 0; // where the window's top edge is in the slide, hidden or not
    int height_ = Height;
    QString shownText_; // the mail alert's text as shown

    struct Controls;
    Controls& Built();
    std::unique_ptr<Controls> parts_;
};
