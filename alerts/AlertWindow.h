#pragma once

#include "alerts/AlertPresenter.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

// The pop-up for new mail and for errors, one renderer of the presenter's alerts. Once a second
// it asks the presenter for what to show. The alert slides down from the top-left corner of
// the screen's work area, stays topmost until answered and slides back up.
//
// A mail alert follows its user by identity, so that a delete or a re-sort in setup while it is
// on screen cannot make its buttons act on somebody else.
//
// It is a tool window: no taskbar button, never the keyboard focus, and closing it never ends
// the program. Where the desktop's notifications take its place, its look hands over to them.
class AlertWindow final : public QWidget {
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

    explicit AlertWindow(AlertPresenter& presenter, QWidget* parent = nullptr);

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
    void Start();
    // Something may have become due: a check ended, the setup window closed. The
    // once-a-second look sleeps while nothing can be shown.
    void Wake();

    QString AlertText() const { return txtAlert.toPlainText(); }
    bool IsErrorAlert() const { return errorAlert_; }
    // Current index of the user whose mail alert was shown last; -1 after an error alert, before
    // the first alert, or when that user has been deleted.
    int AlertUser() const;
    qint32 AlertNumMails() const { return alertNumMails_; }

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
    // A newer error of the user whose error alert is on screen takes its place there.
    bool TakeErrorInPlace(const QString& ErrTxt, const QString& who);

    AlertPresenter& presenter_;
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

    // Declared in tab order.
    QPushButton cmdOk{QStringLiteral("Ok"), this};
    QPushButton cmdHide{QStringLiteral("Hide"), this};
    QPushButton cmdHideSession{QStringLiteral("Hide For This Session"), this};
    QPushButton cmdHidePermanently{QStringLiteral("Hide Permanently"), this};
    QPlainTextEdit txtAlert{this};
};
