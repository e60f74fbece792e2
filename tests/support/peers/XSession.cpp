#include "support/peers/XSession.h"

#include "support/TestWorld.h"
#include "support/peers/ChildProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QThread>

namespace {
// Debian's own, with its accessibility module (python3-pyatspi).
const QString Python = QStringLiteral("/usr/bin/python3");

void Stop(std::unique_ptr<QProcess>& process) {
    if (process)
        StopGroup(*process);
    process.reset();
}

bool Fail(QString* error, const QString& why) {
    *error = why;
    return false;
}

void Pause(int ms) {
    QThread::msleep(ms);
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Polls until `done` holds; false once `process` has ended or `ms` have passed.
bool PollUntil(const std::function<bool()>& done, const QProcess& process, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms || process.state() == QProcess::NotRunning)
            return false;
        Pause(100);
    }
    return true;
}

// Starts a peer in a group of its own, its error output in `errorFile` for failure messages.
std::unique_ptr<QProcess> Launch(const QString& program, const QStringList& args,
                                 const QProcessEnvironment& env, const QString& errorFile) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(errorFile);
    StartInOwnGroup(*process, program, args);
    return process;
}
// Finds a control on the accessibility bus, as a screen reader does: in a shown window whose
// name (title) is argv[1] ("*" for any), the control that is not a label named argv[2], or with
// "name@label" the first control right of that label in its row ("@label" whatever its name:
// text fields have none). Waits up to argv[3] seconds; prints "x y width height" on the screen.
constexpr char FindControl[] = R"(
import sys, time, pyatspi
def below(a):
    for c in a or []:
        if c is not None:
            yield c
            yield from below(c)
def place(a):
    e = a.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height
def find(window, name, label):
    for app in pyatspi.Registry.getDesktop(0):
        for frame in app or []:
            if frame is None or window not in ("*", frame.name):
                continue
            shown = [c for c in below(frame) if c.getState().contains(pyatspi.STATE_SHOWING)]
            labels = [place(c) for c in shown if c.getRole() == pyatspi.ROLE_LABEL and c.name == label]
            for c in sorted(shown, key=lambda c: place(c)[0]):
                x, y, w, h = place(c)
                if c.getRole() == pyatspi.ROLE_LABEL or (name and c.name != name):
                    continue
                if not label or any(x > lx and abs(y - ly) < lh for lx, ly, lw, lh in labels):
                    return x, y, w, h
window, control, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
name, _, label = control.partition("@")
deadline = time.monotonic() + seconds
while True:
    try:
        found = find(window, name, label)
    except Exception:
        found = None
    if found or time.monotonic() > deadline:
        break
    time.sleep(0.2)
if not found:  # what there is instead, for the failure message
    for app in pyatspi.Registry.getDesktop(0):
        for frame in app or []:
            names = [f"{c.getRoleName()} {c.name!r}" for c in below(frame)]
            print(f"{frame.getRoleName()} {frame.name!r}: {', '.join(names)}", file=sys.stderr)
    sys.exit(1)
print(*found)
)";

// Opens a pop-up menu with the command line given after the label, and prints the place of the
// menu's item of that label. A pop-up menu is not below any window on the accessibility bus, so
// it is found by the event of its showing, or of its first item taking the focus.
constexpr char FindMenuItem[] = R"(
import sys, subprocess, pyatspi
from gi.repository import GLib
label, seconds, command = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
found, seen = [], set()
def look(event):
    try:
        for menu in (event.source, event.source.parent):
            if menu is None or menu.getRole() not in (pyatspi.ROLE_MENU, pyatspi.ROLE_POPUP_MENU):
                continue
            for item in menu:
                seen.add(item.name)
                if item.name == label and item.getState().contains(pyatspi.STATE_SHOWING):
                    e = item.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                    found.append((e.x, e.y, e.width, e.height))
                    pyatspi.Registry.stop()
                    return
    except Exception:
        pass
pyatspi.Registry.registerEventListener(look, "object:state-changed:showing",
                                       "object:state-changed:focused", "focus:")
GLib.timeout_add(int(seconds * 1000), pyatspi.Registry.stop)
GLib.idle_add(lambda: subprocess.run(command) and False)
pyatspi.Registry.start()
if not found:
    print("menu items seen:", sorted(seen), file=sys.stderr)
    sys.exit(1)
print(*found[0])
)";
} // namespace

XSession::XSession() = default;

XSession::~XSession() {
    Stop(notifications_);
    Stop(trayer_);
    Stop(windowManager_);
    Stop(xvfb_);
    Stop(sway_);
    Stop(bus_);
}

QString XSession::Unavailable() {
    for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo", "xdpyinfo", "import",
                             "dbus-daemon", "/usr/libexec/at-spi-bus-launcher"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
    }
    if (QProcess::execute(Python, {"-c", "import pyatspi"}) != 0)
        return QStringLiteral("python3-pyatspi is not installed");
    return QString();
}

bool XSession::Start(QString* error) {
    // Every desktop has its session bus: the accessibility bus, where the tests find the
    // program's controls, is started through it.
    if (!StartBus(error))
        return false;
    if (desktop_ == Desktop::Sway)
        return StartSway(error) && TellBusTheDisplay(error) && (!withTray_ || StartTray(error));
    // Xvfb picks a free display number itself and writes it to standard output: a number
    // guessed here could be taken by another server starting at the same moment.
    xvfb_ = std::make_unique<QProcess>();
    xvfb_->setStandardErrorFile(ErrorFile("Xvfb"));
    // No reset when the last client leaves (xdpyinfo, say): during one it refuses connections,
    // and openbox or trayer starting then hang or give up.
    StartInOwnGroup(
        *xvfb_, "Xvfb",
        {"-displayfd", "1", "-noreset", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    QByteArray number;
    while (!number.endsWith('\n') && xvfb_->waitForReadyRead(PeerStartMs))
        number += xvfb_->readAll();
    if (number.trimmed().isEmpty())
        return Fail(error, QStringLiteral("Xvfb named no display after %1 s; it %2")
                               .arg(PeerStartMs / 1000)
                               .arg(HowItEnded(*xvfb_, ErrorFile("Xvfb"))));
    display_ = QStringLiteral(":%1").arg(QString::fromLatin1(number.trimmed()));
    // Its socket appears a moment before it takes connections: a client started in between
    // (openbox, say) gives up at once.
    const auto answers = [this] {
        bool ok = false;
        Run(QStringLiteral("xdpyinfo"), {}, &ok);
        return ok;
    };
    if (!PollUntil(answers, *xvfb_, PeerStartMs))
        return Fail(error, QStringLiteral("xdpyinfo had no answer from %1 after %2 s; Xvfb %3")
                               .arg(display_)
                               .arg(PeerStartMs / 1000)
                               .arg(HowItEnded(*xvfb_, ErrorFile("Xvfb"))));
    if (!TellBusTheDisplay(error) || (withWindowManager_ && !StartWindowManager(error)))
        return false;
    return !withTray_ || StartTray(error);
}

bool XSession::TellBusTheDisplay(QString* error) {
    // The bus started before the display: what it starts (the accessibility registry) needs it.
    return !CallBus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus.UpdateActivationEnvironment",
                    {QStringLiteral("{'DISPLAY': '%1'}").arg(display_)})
                .isEmpty() ||
           Fail(error, QStringLiteral("dbus-daemon did not take the display %1").arg(display_));
}

bool XSession::StartWindowManager(QString* error) {
    // Its own empty configuration, so that no user's or system's session settings count.
    windowManager_ = Launch("openbox", {"--sm-disable", "--config-file", "/dev/null"},
                            Environment(), ErrorFile("openbox"));
    // A window manager announces itself on the root window once it manages the screen.
    const auto announced = [this] {
        return Run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"})
            .contains(QLatin1String("window id"));
    };
    return PollUntil(announced, *windowManager_, PeerStartMs) ||
           Fail(error, QStringLiteral("no _NET_SUPPORTING_WM_CHECK on %1 after %2 s; openbox %3")
                           .arg(display_)
                           .arg(PeerStartMs / 1000)
                           .arg(HowItEnded(*windowManager_, ErrorFile("openbox"))));
}

bool XSession::StartBus(QString* error) {
    bus_ = std::make_unique<QProcess>();
    // Xfce's settings service starts on the bus and reads the panel's layout from here; the
    // accessibility bus puts its socket in the runtime folder.
    QDir().mkpath(dir_.filePath("run"));
    QFile::setPermissions(dir_.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = Environment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.filePath("run"));
    bus_->setProcessEnvironment(env);
    bus_->setStandardErrorFile(ErrorFile("dbus-daemon"));
    StartInOwnGroup(*bus_, "dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    // It names the address it listens on, on a socket it chose itself.
    while (!bus_->canReadLine() && bus_->waitForReadyRead(PeerStartMs)) {
    }
    busAddress_ = QString::fromLatin1(bus_->readLine()).trimmed();
    return !busAddress_.isEmpty() ||
           Fail(error, QStringLiteral("dbus-daemon named no address after %1 s; it %2")
                           .arg(PeerStartMs / 1000)
                           .arg(HowItEnded(*bus_, ErrorFile("dbus-daemon"))));
}

bool XSession::StartSway(QString* error) {
    const QString run = dir_.filePath("run"); // made by StartBus()
    const QString displays = dir_.filePath("displays");
    const QString config = dir_.filePath("sway.conf");
    // Sway's first command names its X display (Xwayland), its Wayland socket and its own.
    const QString lines = QStringLiteral("xwayland force\noutput HEADLESS-1 resolution 1024x768\n"
                                         "exec echo \"$DISPLAY $WAYLAND_DISPLAY $SWAYSOCK\" > "
                                         "%1.new && mv %1.new %1\n")
                              .arg(displays);
    QProcessEnvironment env = Environment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("WLR_BACKENDS", "headless");
    env.insert("WLR_LIBINPUT_NO_DEVICES", "1");
    env.insert("WLR_RENDERER", "pixman");
    if (!WriteFile(config, lines.toUtf8()))
        return Fail(error, QStringLiteral("cannot write %1").arg(config));
    sway_ = Launch("sway", {"-c", config}, env, ErrorFile("sway"));
    if (!PollUntil([&] { return QFile::exists(displays); }, *sway_, PeerStartMs))
        return Fail(error, QStringLiteral("sway named no displays after %1 s; it %2")
                               .arg(PeerStartMs / 1000)
                               .arg(HowItEnded(*sway_, ErrorFile("sway"))));
    const QStringList names = QString::fromLocal8Bit(ReadFile(displays)).simplified().split(' ');
    display_ = names.value(0);
    wayland_ = QDir(run).filePath(names.value(1)); // whatever runtime folder a program has
    swaySocket_ = names.value(2);
    return true;
}

bool XSession::StartStatusNotifierHost(QString* error) {
    const bool sway = desktop_ == Desktop::Sway;
    const QString config = dir_.filePath(
        sway ? "waybar.json" : "config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml");
    // One panel along the top with nothing but its notification area.
    const QByteArray layout =
        sway ? R"({"position": "top", "height": 28, "modules-right": ["tray"]})"
             : R"(<?xml version="1.0" encoding="UTF-8"?><channel name="xfce4-panel" version="1.0">
<property name="configver" type="int" value="2"/><property name="panels" type="array">
<value type="int" value="1"/><property name="panel-1" type="empty">
<property name="position" type="string" value="p=6;x=0;y=0"/>
<property name="length" type="uint" value="100"/><property name="size" type="uint" value="28"/>
<property name="plugin-ids" type="array"><value type="int" value="1"/></property></property>
</property><property name="plugins" type="empty">
<property name="plugin-1" type="string" value="systray"/></property></channel>)";
    const QString panel = sway ? "waybar" : "xfce4-panel";
    if (!WriteFile(config, layout))
        return Fail(error, QStringLiteral("cannot write %1").arg(config));
    trayer_ = Launch(panel, sway ? QStringList{"-c", config} : QStringList{"--disable-wm-check"},
                     Environment(), ErrorFile(panel));
    const auto hostRuns = [this] {
        return CallBus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                       "org.freedesktop.DBus.Properties.Get",
                       {"org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered"})
            .contains(QLatin1String("true"));
    };
    return PollUntil(hostRuns, *trayer_, PeerStartMs) ||
           Fail(error, QStringLiteral("no StatusNotifierItem host registered after %1 s; %2 %3")
                           .arg(PeerStartMs / 1000)
                           .arg(panel, HowItEnded(*trayer_, ErrorFile(panel))));
}

bool XSession::StartNotificationService(QString* error) {
    const QString config = dir_.filePath("dunstrc");
    // Kept until closed, as a desktop's notification list keeps them, whatever the test's pace.
    if (!WriteFile(config, "[urgency_low]\ntimeout = 0\n[urgency_normal]\ntimeout = 0\n"))
        return Fail(error, QStringLiteral("cannot write %1").arg(config));
    notifications_ = Launch("dunst", {"-config", config}, Environment(), ErrorFile("dunst"));
    const auto owned = [this] {
        return CallBus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.NameHasOwner", {"org.freedesktop.Notifications"})
            .contains(QLatin1String("true"));
    };
    return PollUntil(owned, *notifications_, PeerStartMs) ||
           Fail(error, QStringLiteral("no org.freedesktop.Notifications after %1 s; dunst %2")
                           .arg(PeerStartMs / 1000)
                           .arg(HowItEnded(*notifications_, ErrorFile("dunst"))));
}

bool XSession::BreakNotificationService(QString* error) const {
    const QString services = dir_.filePath("run/dbus-1/services");
    QDir().mkpath(services);
    if (!WriteFile(services + "/org.freedesktop.Notifications.service",
                   "[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=/bin/false\n"))
        return Fail(error, QStringLiteral("cannot write into %1").arg(services));
    return !CallBus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus.ReloadConfig")
                .isEmpty() ||
           Fail(error, QStringLiteral("the bus did not read its configuration again"));
}

QString XSession::CallBus(const QString& service, const QString& path, const QString& method,
                          const QStringList& args) const {
    bool ok = false;
    const QString out = Run(QStringLiteral("gdbus"),
                            QStringList{"call", "--session", "--dest", service, "--object-path",
                                        path, "--method", method} +
                                args,
                            &ok);
    return ok ? out : QString();
}

QString XSession::StatusNotifierItem() const {
    // "(<['org.kde.StatusNotifierItem-12-1/StatusNotifierItem']>,)" or a unique name.
    const QString items =
        CallBus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                "org.freedesktop.DBus.Properties.Get",
                {"org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"});
    return QRegularExpression(QStringLiteral("'([^'/]+)")).match(items).captured(1);
}

// trayer needs no session bus: it stays off the one that the accessibility bus comes through.
QProcessEnvironment XSession::TrayerEnvironment() const {
    QProcessEnvironment env = Environment();
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    return env;
}

bool XSession::StartTray(QString* error) {
    if (desktop_ != Desktop::Trayer)
        return StartStatusNotifierHost(error);
    trayer_ = Launch("trayer",
                     {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                      "--heighttype", "pixel", "--height", "28", "--transparent", "false"},
                     TrayerEnvironment(), ErrorFile("trayer"));
    const auto shown = [this] {
        panel_ = XDoTool({"search", "--classname", "^panel$"}).section('\n', 0, 0).toULongLong();
        return panel_ != 0;
    };
    return PollUntil(shown, *trayer_, PeerStartMs) ||
           Fail(error, QStringLiteral("no window of class \"panel\" on %1 after %2 s; trayer %3")
                           .arg(display_)
                           .arg(PeerStartMs / 1000)
                           .arg(HowItEnded(*trayer_, ErrorFile("trayer"))));
}

QProcessEnvironment XSession::Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display_);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!busAddress_.isEmpty())
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress_);
    // Qt programs on the accessibility bus, as with a screen reader running; no GTK panel.
    env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    env.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
    // A home of the session's own: nothing shared with another run or the user's desktop.
    env.insert(QStringLiteral("HOME"), dir_.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.filePath("config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), dir_.filePath("cache"));
    if (desktop_ == Desktop::Sway) {
        env.remove(QStringLiteral("QT_QPA_PLATFORM")); // as a user has it
        env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.filePath("run"));
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), wayland_);
    }
    return env;
}

QString XSession::Run(const QString& program, const QStringList& args, bool* ok,
                      int timeoutMs) const {
    QProcess process;
    process.setProcessEnvironment(Environment());
    process.start(program, args);
    const bool finished = process.waitForStarted(5000) && process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(1000);
    }
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

qulonglong XSession::WaitForWindow(const QString& pattern, int timeoutMs) const {
    return WaitForWindow(
        pattern, [](qulonglong, const QRect&) { return true; }, timeoutMs);
}

qulonglong XSession::WaitForWindow(const QString& pattern, const WindowFilter& accept,
                                   int timeoutMs) const {
    QElapsedTimer timer;
    timer.start();
    do {
        bool ok = false;
        const QString out = XDoTool({"search", "--onlyvisible", "--name", pattern}, &ok);
        for (const QString& id : out.split('\n', Qt::SkipEmptyParts)) {
            const qulonglong window = id.toULongLong();
            if (ok && accept(window, Geometry(window)))
                return window;
        }
        Pause(100);
    } while (timer.elapsed() < timeoutMs);
    return 0;
}

QRect XSession::Geometry(qulonglong window) const {
    // "Absolute upper-left X:  12" and friends.
    const QString info = Run(QStringLiteral("xwininfo"), {"-id", QString::number(window)});
    auto field = [&](const char* name) {
        const QRegularExpression re(QStringLiteral("%1:\\s+(-?\\d+)").arg(QLatin1String(name)));
        return re.match(info).captured(1).toInt();
    };
    return QRect(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"),
                 field("Height"));
}

QList<qulonglong> XSession::StackingOrder() const {
    // The root's children in their true order, top first, each with the windows below it:
    // lines "0x1234 "name": ..." indented by depth. Under a window manager a root child is a
    // frame around a client; the windows it does not manage (the alert, menus) stand as they are.
    const QString tree = Run(QStringLiteral("xwininfo"), {"-root", "-tree"});
    QSet<qulonglong> managed;
    if (windowManager_) {
        const QString list = Run(QStringLiteral("xprop"), {"-root", "_NET_CLIENT_LIST"});
        const QRegularExpression id(QStringLiteral("0x[0-9a-f]+"));
        for (auto it = id.globalMatch(list.section('#', 1)); it.hasNext();)
            managed << it.next().captured().toULongLong(nullptr, 16);
    }
    const QRegularExpression line(QStringLiteral("^(\\s+)(0x[0-9a-f]+) "));
    QList<qulonglong> windows; // bottom first: each root child, or the client in its frame
    qsizetype rootChildIndent = -1;
    for (const QString& text : tree.split('\n')) {
        const auto m = line.match(text);
        if (!m.hasMatch() || text.contains(QLatin1String("(the root window)")))
            continue;
        const qulonglong window = m.captured(2).toULongLong(nullptr, 16);
        if (rootChildIndent < 0)
            rootChildIndent = m.capturedLength(1);
        if (m.capturedLength(1) == rootChildIndent)
            windows.prepend(window);
        else if (managed.contains(window))
            windows.first() = window;
    }
    return windows;
}

QList<qulonglong> XSession::TrayIcons() const {
    // The panel's tree lists the windows docked in it, one "0x1234 ..." line each, below the
    // panel's own child windows.
    const QString tree = Run(QStringLiteral("xwininfo"), {"-id", QString::number(panel_), "-tree"});
    QList<qulonglong> icons;
    const QRegularExpression line(QStringLiteral("^\\s+(0x[0-9a-f]+) (.*)$"));
    for (const QString& text : tree.split('\n')) {
        const auto m = line.match(text);
        if (!m.hasMatch())
            continue;
        const QString rest = m.captured(2);
        // Qt names its tray icon window; the panel's own windows carry no name.
        if (!rest.startsWith(QLatin1String("(has no name)")))
            icons << m.captured(1).toULongLong(nullptr, 16);
    }
    return icons;
}

QRect XSession::Find(const QStringList& script, int timeoutMs, QString* why) const {
    QProcess find;
    find.setProcessEnvironment(Environment());
    find.start(Python, QStringList{"-c"} + script);
    find.waitForFinished(timeoutMs + PeerStartMs);
    const QStringList place = QString::fromLatin1(find.readAllStandardOutput()).split(' ');
    if (find.exitCode() == 0 && place.size() == 4)
        return QRect(place[0].toInt(), place[1].toInt(), place[2].toInt(), place[3].toInt());
    *why = QString::fromLocal8Bit(find.readAllStandardError());
    return QRect();
}

bool XSession::ClickMiddle(const QRect& place) const {
    bool ok = false;
    XDoTool({"mousemove", QString::number(place.center().x()), QString::number(place.center().y()),
             "click", "1"},
            &ok);
    return ok;
}

QRect XSession::Control(const QString& window, const QString& control, int timeoutMs) const {
    QString why;
    const QRect place =
        Find({FindControl, window, control, QString::number(timeoutMs / 1000.0)}, timeoutMs, &why);
    if (place.isEmpty())
        qWarning("no \"%s\" in \"%s\" on the accessibility bus; there are:\n%s",
                 qPrintable(control), qPrintable(window), qPrintable(why));
    return place;
}

bool XSession::ChooseFromMenu(qulonglong icon, const QString& item, const QString& shot) const {
    QString why;
    const QRect place = Find({FindMenuItem, item, "10", "xdotool", "mousemove", "--window",
                              QString::number(icon), "11", "13", "click", "3"},
                             10000, &why);
    if (place.isEmpty()) {
        qWarning("no menu item \"%s\" on the accessibility bus: %s", qPrintable(item),
                 qPrintable(why));
        return false;
    }
    if (!shot.isEmpty())
        Screenshot(shot);
    return ClickMiddle(place);
}

bool XSession::Press(const QString& window, const QString& control) const {
    const QRect place = Control(window, control);
    return !place.isEmpty() && ClickMiddle(place);
}

void XSession::Click(qulonglong window, int x, int y, int button) const {
    XDoTool({"mousemove", "--window", QString::number(window), QString::number(x),
             QString::number(y), "click", QString::number(button)});
}

void XSession::DoubleClick(qulonglong window, int x, int y) const {
    XDoTool({"mousemove", "--window", QString::number(window), QString::number(x),
             QString::number(y), "click", "--repeat", "2", "--delay", "80", "1"});
}

void XSession::Focus(qulonglong window) const {
    // Sway takes its focus from its own input, not from X events that xdotool makes up.
    if (desktop_ == Desktop::Sway)
        Run(QStringLiteral("swaymsg"),
            {"-s", swaySocket_, QStringLiteral("[id=%1] focus").arg(window)});
    else
        Click(window, 10, 10);
}

void XSession::Key(const QString& keys) const {
    XDoTool({"key", "--delay", "50", keys});
}

void XSession::Type(const QString& text) const {
    XDoTool({"type", "--delay", "30", text});
}

bool XSession::Screenshot(const QString& path) const {
    bool ok = false;
    Run(QStringLiteral("import"), {"-window", "root", path}, &ok, 20000);
    return ok;
}
