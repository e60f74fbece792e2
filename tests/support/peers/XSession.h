#pragma once

#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

// A virtual X display with a real notification area (trayer) for tests that drive the real
// program as a person would, with xdotool for the mouse and keyboard. Everything it starts
// ends with it.
class XSession final {
public:
    XSession();
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // What is missing on this machine to run such a test, or empty.
    static QString Unavailable();

    // The desktop: an XEmbed tray (trayer) on Xvfb; Xfce's panel, a StatusNotifierItem host, on
    // Xvfb; or a headless Wayland session (sway with waybar, a StatusNotifierItem host) whose X
    // display is Xwayland. Each comes with a private session bus, and through it an
    // accessibility bus. Sway refuses to run as root.
    enum class Desktop { Trayer, XfcePanel, Sway };
    void WithDesktop(Desktop desktop) { desktop_ = desktop; }

    // Starts the display and, unless WithoutTray() was called first, the notification area.
    bool Start(QString* error);
    void WithoutTray() { withTray_ = false; }
    // Also starts a window manager (openbox) on the display, before the notification area.
    void WithWindowManager() { withWindowManager_ = true; }
    // Starts the notification area on a display that has none yet.
    bool StartTray(QString* error);
    // Starts the desktop's notification service (dunst) on the session bus, its notifications
    // kept until closed; a service that starts later (or not at all) is the program's concern.
    bool StartNotificationService(QString* error);
    // A notification service that the bus is told to start and that fails to, as where the
    // desktop's service is broken: the bus's own search finds it first.
    bool BreakNotificationService(QString* error) const;
    QString Display() const { return display_; }
    // The environment for a program on this display: on Xvfb X11 through xcb, on the
    // desktop's bus (with no StatusNotifierItem host there, Qt uses the XEmbed notification
    // area) and the accessibility bus; in the Wayland session what it offers, with no platform
    // chosen.
    QProcessEnvironment Environment() const;
    // A method call on the desktop's session bus: what gdbus prints, or empty when it failed.
    QString CallBus(const QString& service, const QString& path, const QString& method,
                    const QStringList& args = {}) const;
    // The bus name of the first item registered with the StatusNotifierItem watcher, or empty.
    QString StatusNotifierItem() const;

    // Runs a command on the display; its standard output, trimmed. `ok` tells whether it
    // exited with 0 within `timeoutMs`.
    QString Run(const QString& program, const QStringList& args, bool* ok = nullptr,
                int timeoutMs = 10000) const;
    QString XDoTool(const QStringList& args, bool* ok = nullptr, int timeoutMs = 10000) const {
        return Run(QStringLiteral("xdotool"), args, ok, timeoutMs);
    }

    // The first visible window whose name matches `pattern` (an anchored regular expression
    // such as "^Alert!$"), waiting up to `timeoutMs`; 0 when none appeared.
    qulonglong WaitForWindow(const QString& pattern, int timeoutMs = 10000) const;
    // The same, for the first such window that `accept` takes (given its id and geometry).
    using WindowFilter = std::function<bool(qulonglong window, const QRect& geometry)>;
    qulonglong WaitForWindow(const QString& pattern, const WindowFilter& accept,
                             int timeoutMs = 10000) const;
    QRect Geometry(qulonglong window) const;
    // The top-level windows, bottom of the stack first (under a window manager, the windows
    // it manages).
    QList<qulonglong> StackingOrder() const;
    // The windows that the notification area panel holds (the icons docked in it).
    QList<qulonglong> TrayIcons() const;
    qulonglong Panel() const { return panel_; }

    // The place on the screen of a control, found by name on the accessibility bus: in the
    // shown window named `window` ("*" for any; pop-up menus are not there), the control named
    // `control` ("Ok"), or with "name@label" the one right of that label ("Set@Show Interval
    // (Minutes) :"; "@Username :" for a text field, which has no name). Empty when none
    // appeared within `timeoutMs`.
    QRect Control(const QString& window, const QString& control, int timeoutMs = 10000) const;
    // Clicks the middle of that control; false when there is none.
    bool Press(const QString& window, const QString& control) const;
    // Opens the tray icon's menu with a right-click and clicks its item named `item`, after a
    // picture of the screen to `shot` if given; false when the menu had no such item.
    bool ChooseFromMenu(qulonglong icon, const QString& item, const QString& shot = {}) const;
    void Click(qulonglong window, int x, int y, int button = 1) const;
    void DoubleClick(qulonglong window, int x, int y) const;
    // Gives `window` the keyboard focus as the user would, with a click or the compositor.
    void Focus(qulonglong window) const;
    void Key(const QString& keys) const;
    void Type(const QString& text) const;
    // Saves a picture of the whole screen.
    bool Screenshot(const QString& path) const;

private:
    // Runs a finder script (its text, then its arguments) that prints a place on the screen;
    // empty, with what the script said in `why`, when it found none.
    QRect Find(const QStringList& script, int timeoutMs, QString* why) const;
    bool ClickMiddle(const QRect& place) const;
    bool StartWindowManager(QString* error);
    bool StartBus(QString* error);
    bool TellBusTheDisplay(QString* error);
    QProcessEnvironment TrayerEnvironment() const;
    bool StartSway(QString* error);
    bool StartStatusNotifierHost(QString* error);
    QString ErrorFile(const QString& peer) const { return dir_.filePath(peer + ".err"); }

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> xvfb_;
    std::unique_ptr<QProcess> trayer_;
    std::unique_ptr<QProcess> windowManager_;
    std::unique_ptr<QProcess> bus_;
    std::unique_ptr<QProcess> sway_;
    std::unique_ptr<QProcess> notifications_;
    QString busAddress_;
    QString wayland_;
    QString swaySocket_;
    Desktop desktop_ = Desktop::Trayer;
    QString display_;
    qulonglong panel_ = 0;
    bool withTray_ = true;
    bool withWindowManager_ = false;
};
