#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class QSystemTrayIcon;
class TrayIcon;

// The shell's side of the notification area: add, change or delete the one icon. The program
// uses QSystemTrayIcon; tests count the calls.
class TrayShell {
public:
    virtual ~TrayShell() = default;
    virtual void Add(const QIcon& icon, const QString& tip) = 0;
    virtual void Modify(const QIcon& icon, const QString& tip) = 0;
    virtual void Delete() = 0;
    // Routes the icon's mouse events to `tray`.
    virtual void Connect(TrayIcon& tray) { (void)tray; }
    // The icon has been added, but no notification area holds it (none runs yet): nobody can
    // reach the program through it until one starts.
    virtual bool WaitingForArea() const { return false; }
};

// No screen at all (the offscreen platform): nothing can be shown, so nothing waits either.
class NoTrayShell final : public TrayShell {
public:
    void Add(const QIcon&, const QString&) override {}
    void Modify(const QIcon&, const QString&) override {}
    void Delete() override {}
};

// What a click on the icon or its menu does.
struct TrayActions {
    std::function<void()> ShowControlCentre;
    std::function<void()> CheckMail;
    std::function<void()> DoAbout;
    std::function<void()> Exit;
    std::function<bool()> IsControlCentreVisible;
    std::function<bool()> IsChecking;
    std::function<QString()> MakeCaption;
};

// How long after `sinceStartMs` (time since the animation timer was first started) the next
// tick of a free-running `TrayIcon::AnimationMs` timer would come: 0 on a tick.
int AnimationDelay(qint64 sinceStartMs);

// The tray icon with its tip, its menu and the busy animation.
class TrayIcon final : public QObject {
    Q_OBJECT
public:
    static constexpr int TipLength = 64;
    static constexpr int AnimationMs = 500;

    TrayIcon(TrayShell& shell, TrayActions actions, QObject* parent = nullptr);

    void AddIcon();
    void UpdateIcon();
    void RemoveIcon();
    // The tip: the caption up to its end mark, cut to 64 characters.
    QString FillIconData() const;

    // One animation step: "+" and "×" in turn while checking, the emblem again after.
    void ChangeIcon();
    // A check run began or ended: the animation runs while there is something to animate.
    void OnCheckingChanged(bool checking);
    // For good, at exit.
    void StopAnimation() {
        stopped_ = true;
        tmrChangeIcon.stop();
    }
    // A mouse event on the icon: refreshes the menu, then shows the control centre on a
    // double-click, or on an activation (a left click on a StatusNotifierItem tray, which has
    // no double-click). The menu is the icon's context menu: the notification area (or Qt, for
    // an XEmbed tray) shows it, at the context button.
    enum class Event { Other, DoubleClick, Activate, Context };
    void OnTrayEvent(Event event);

    bool TrayAdded() const { return trayAdded_; }
    int IconPhase() const { return iconPhase_; }
    bool ShowsEmblem() const { return picture_ == &picNormal_; }
    QMenu& Menu() { return mnuPopup; }

    QTimer tmrChangeIcon;

private:
    // Time since the animation timer first started: its ticks keep to that grid even
    // though the timer sleeps between checks, so that a short check still animates.
    QElapsedTimer grid_;
    void RefreshMenu();

    TrayShell& shell_;
    TrayActions actions_;
    QMenu mnuPopup;
    QAction* actShowControlCentre_ = nullptr;
    QAction* actCheckMail_ = nullptr;
    QAction* actAbout_ = nullptr;
    QAction* actExit_ = nullptr;
    bool trayBusy_ = false;
    bool trayAdded_ = false;
    bool stopped_ = false;
    int iconPhase_ = 0;
    QIcon picNormal_;
    QIcon picIcon_[2];
    // The picture the tray shows: the emblem from the start, although the phase starts at 0.
    const QIcon* picture_ = &picNormal_;
};

// The notification area of the desktop through QSystemTrayIcon, with the tray's menu as the
// icon's context menu. Qt chooses once per process, as the first icon is made, between a
// StatusNotifierItem on D-Bus and an XEmbed icon, and an XEmbed icon never reaches a
// StatusNotifierItem host. So with a session bus and no notification area yet, the icon is made
// only once one runs, which the shell looks for every second meanwhile. Either kind then follows
// its notification area through restarts.
class SystemTrayShell final : public TrayShell {
public:
    static constexpr int LookForAreaMs = 1000;

    SystemTrayShell();
    ~SystemTrayShell() override;

    void Add(const QIcon& icon, const QString& tip) override;
    void Modify(const QIcon& icon, const QString& tip) override;
    void Delete() override;

    void Connect(TrayIcon& tray) override;
    bool WaitingForArea() const override;

private:
    void MakeIcon();
    void HandOverTo(TrayIcon& tray);

    std::unique_ptr<QSystemTrayIcon> icon_;
    QTimer lookForArea_;
    QIcon picture_;
    QString tip_;
    TrayIcon* tray_ = nullptr;
    bool overDBus_ = false; // the icon is a StatusNotifierItem
    int xembedLooks_ = 0;
};
