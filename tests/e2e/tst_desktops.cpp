// Tarnwick on the desktops people run: an XEmbed tray under openbox, Xfce's panel (a
// StatusNotifierItem host) and a Wayland session (sway with waybar), the panel started before or
// after the program. The icon opens the control centre and its menu works, and the alert slides
// down at the top-left without taking the keys from the window the user types in.
#include "support/peers/OrdinaryUser.h"
#include "support/peers/ProgramUnderTest.h"
#include "support/peers/RealPeer.h"
#include "support/peers/ScriptedServer.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <utility>

namespace {
// The id of the menu item labelled `label` in a dbusmenu layout as gdbus prints it
// ("(7, {'label': <'About'>, 'enabled': <false>}, [])"), -1 when there is none, and whether it
// is enabled.
std::pair<int, bool> MenuItem(const QString& layout, const QString& label) {
    const auto m = QRegularExpression(
                       QStringLiteral("\\((\\d+), \\{([^{}]*'label': <'%1'>[^{}]*)\\}").arg(label))
                       .match(layout);
    return {m.hasMatch() ? m.captured(1).toInt() : -1,
            !m.captured(2).contains("'enabled': <false>")};
}
} // namespace

class TestDesktops final : public QObject {
    Q_OBJECT
private slots:
    void iconAndAlert_data() {
        using enum XSession::Desktop;
        QTest::addColumn<XSession::Desktop>("kind");
        QTest::addColumn<bool>("panelLate");
        QTest::addColumn<bool>("nativeWayland"); // QT_QPA_PLATFORM=wayland, with dunst running
        QTest::newRow("openbox-trayer") << Trayer << false << false;
        QTest::newRow("openbox-xfce-panel") << XfcePanel << false << false;
        QTest::newRow("openbox-xfce-panel-late") << XfcePanel << true << false;
        QTest::newRow("sway-waybar") << Sway << false << false;
        QTest::newRow("sway-waybar-late") << Sway << true << false;
        QTest::newRow("sway-waybar-native-wayland") << Sway << false << true;
    }

    void iconAndAlert() {
        QFETCH(XSession::Desktop, kind);
        QFETCH(bool, panelLate);
        QFETCH(bool, nativeWayland);
        if (kind == XSession::Desktop::Sway)
            TARNWICK_AS_ORDINARY_USER(); // sway refuses to run as root
        ScriptedServer server;
        QVERIFY(server.IsListening());
        server.Queue(Conversation({"+OK Ready.\r\n", "+OK\r\n", "+OK Logged in.\r\n",
                                   "+OK 2 200\r\n", "-ERR no UIDL\r\n", "+OK Bye.\r\n"}));

        XSession x;
        x.WithDesktop(kind);
        if (kind != XSession::Desktop::Sway)
            x.WithWindowManager();
        if (panelLate)
            x.WithoutTray();
        TARNWICK_START_PEER(x);
        QString error;
        QVERIFY2(!nativeWayland || x.StartNotificationService(&error), qPrintable(error));

        // The user types in another window.
        QProcess typing;
        typing.setProcessEnvironment(x.Environment());
        StartInOwnGroup(typing, QStringLiteral("xmessage"), {"-title", "typing", "typing here"});
        const auto stopTyping = qScopeGuard([&] { StopGroup(typing); });
        const qulonglong typed = x.WaitForWindow("^typing$");
        QVERIFY(typed != 0);
        const auto focus = [&] { return x.XDoTool({"getwindowfocus"}).toULongLong(); };
        QVERIFY(WaitFor([&] { return focus() == typed; }, 5000));

        Program program(x);
        if (nativeWayland)
            program.SetEnv("QT_QPA_PLATFORM", "wayland");
        Settings settings;
        AddUser(settings, MakeUser("Home", "alice", Local(server.Port()), "secret", 0));
        program.WriteSettings(settings);
        QVERIFY(program.Start());
        if (panelLate) {
            // Started before its panel, as at login: meanwhile the control centre is the way in.
            QVERIFY2(program.WaitForControlCentre(PeerStartMs) != 0, qPrintable(program.Output()));
            x.Focus(typed); // back to typing
            QVERIFY(WaitFor([&] { return focus() == typed; }, 5000));
            QVERIFY2(x.StartTray(&error), qPrintable(error));
        }
        qulonglong icon = 0;
        QString item;
        if (kind == XSession::Desktop::Trayer)
            QVERIFY((icon = program.WaitForTrayIcon(PeerStartMs)) != 0);
        else
            QVERIFY2(
                WaitFor([&] { return !(item = x.StatusNotifierItem()).isEmpty(); }, PeerStartMs),
                qPrintable(program.Output()));

        if (nativeWayland) {
            // A Wayland window would take the keys: the news goes to the desktop's
            // notifications instead, and the keys stay where they were.
            QVERIFY2(WaitFor(
                         [&] {
                             return x.Run("dunstctl", {"count", "displayed"}).toInt() > 0;
                         },
                         PeerStartMs),
                     qPrintable(program.Output()));
            QCOMPARE(focus(), typed);
            return;
        }
        // The alert slides down at the top-left, above the window that keeps the keys; its
        // buttons work with the mouse.
        qulonglong alert = 0; // the event loop runs meanwhile: the server answers in it
        QVERIFY2(
            WaitFor([&] { return (alert = x.WaitForWindow("^Alert!$", 100)) != 0; }, PeerStartMs),
            qPrintable(program.Output() + ReadFile(program.ErrLog())));
        // At the top-left of the work area: below Xfce's top panel, which reserves room
        // (trayer reserves none, and sway sets no work area).
        const QString area = x.Run("xprop", {"-root", "_NET_WORKAREA"});
        const QStringList corner = area.section('=', 1).split(',');
        const QPoint place(corner.value(0).toInt(), corner.value(1).toInt());
        QVERIFY2(kind != XSession::Desktop::XfcePanel || place.y() > 0, qPrintable(area));
        QVERIFY2(
            WaitFor([&] { return x.Geometry(alert) == QRect(place, QSize(385, 161)); }, 5000),
            qPrintable(
                area +
                QString(" alert at %1,%2").arg(x.Geometry(alert).x()).arg(x.Geometry(alert).y())));
        QVERIFY2(focus() == typed, qPrintable(x.XDoTool({"getwindowfocus", "getwindowname"}) +
                                              x.Run("xwininfo", {"-root", "-tree"})));
        const QList<qulonglong> stack = x.StackingOrder();
        QVERIFY(stack.indexOf(alert) > stack.indexOf(typed));
        QVERIFY(x.Press("Alert!", "Hide"));
        QVERIFY(WaitFor([&] { return x.WaitForWindow("^Alert!$", 100) == 0; }, 5000));
        QCOMPARE(focus(), typed);

        // The icon opens the control centre: a double-click on an XEmbed tray, a left click
        // (Activate) on a StatusNotifierItem tray.
        if (const qulonglong shown = program.WaitForControlCentre(100)) {
            x.Focus(shown); // in front again, for the click
            QVERIFY(x.Press("Tarnwick", "Done"));
            QVERIFY2(WaitFor([&] { return program.WaitForControlCentre(100) == 0; }, 5000),
                     qPrintable(program.Output()));
        }
        if (icon)
            x.DoubleClick(icon, 11, 13);
        else
            x.CallBus(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem.Activate",
                      {"0", "0"});
        QVERIFY2(program.WaitForControlCentre(5000) != 0, qPrintable(program.Output()));

        if (!item.isEmpty()) {
            // The menu as the panel draws it: "Exit" greyed while the control centre is open,
            // and "About" opens the about window.
            x.CallBus(item, "/MenuBar", "com.canonical.dbusmenu.AboutToShow", {"0"});
            const QString layout =
                x.CallBus(item, "/MenuBar", "com.canonical.dbusmenu.GetLayout", {"0", "9", "[]"});
            const auto [exit, exitEnabled] = MenuItem(layout, "Exit");
            QVERIFY2(exit >= 0 && !exitEnabled, qPrintable(layout));
            x.CallBus(item, "/MenuBar", "com.canonical.dbusmenu.Event",
                      {QString::number(MenuItem(layout, "About").first), "clicked", "<0>", "0"});
            QVERIFY(x.WaitForWindow("^About : Tarnwick$", 5000) != 0);
        }
        QVERIFY2(program.Untraced().isEmpty(), qPrintable(program.Untraced().join('\n')));
    }

    // Under a top panel the alert slides out from behind it: three alerts in a row, each
    // read back from the screen (OCR), show their own text and no other's.
    void alertsPaintTheirOwnText() {
        if (QStandardPaths::findExecutable("tesseract").isEmpty() && !RealPeersMustRun())
            QSKIP("tesseract-ocr is not installed");
        ScriptedServer server;
        QVERIFY(server.IsListening());
        const QStringList names{"Work", "Old ISP", "Bridge"};
        // The three share login and server: only the first check asks for UIDL.
        bool first = true;
        for (const char* count : {"+OK 2 200\r\n", "+OK 1 100\r\n", "+OK 1 100\r\n"}) {
            QList<QByteArray> replies{"+OK Ready.\r\n", "+OK\r\n", "+OK Logged in.\r\n", count};
            if (std::exchange(first, false))
                replies << "-ERR no UIDL\r\n";
            server.Queue(Conversation(replies << "+OK Bye.\r\n"));
        }
        XSession x;
        x.WithDesktop(XSession::Desktop::XfcePanel);
        x.WithWindowManager();
        TARNWICK_START_PEER(x);
        Program program(x);
        Settings settings;
        for (const QString& name : names)
            AddUser(settings, MakeUser(name, "alice", Local(server.Port()), "secret", 0));
        program.WriteSettings(settings);
        QVERIFY(program.Start());
        const auto squeezed = [](QString text) {
            return text.remove(QRegularExpression("\\s")).toLower();
        };
        QStringList seen;
        for (qsizetype i = 0; i < names.size(); ++i) {
            // The alert's text as the program set it, from its trace.
            QString text;
            QVERIFY2(WaitFor(
                         [&] {
                             const QStringList shown =
                                 program.Output().split('\n').filter("frmAlert ShowAlert: ");
                             text = shown.value(i).section("frmAlert ShowAlert: ", 1);
                             return shown.size() > i;
                         },
                         PeerStartMs),
                     qPrintable(program.Output()));
            const qulonglong alert = x.WaitForWindow("^Alert!$");
            QVERIFY(alert != 0);
            // At rest below the panel: the slide has ended.
            QRect rest;
            QVERIFY(WaitFor(
                [&] {
                    QTest::qWait(100);
                    return std::exchange(rest, x.Geometry(alert)) == x.Geometry(alert) &&
                           rest.y() > 0;
                },
                5000));
            QTest::qWait(300);
            const QString shot = ShotPath(QString("alert-under-panel-%1.png").arg(i + 1));
            bool ok = false;
            // The text area, enlarged: the OCR reads large type best.
            x.Run("sh",
                  {"-c", QString("import -window root -crop 369x108+%1+%2 +repage -resize 300% "
                                 "-colorspace Gray '%3'")
                             .arg(rest.x() + 8)
                             .arg(rest.y() + 8)
                             .arg(shot)},
                  &ok, 20000);
            QVERIFY(ok);
            const QString read = squeezed(x.Run("tesseract", {shot, "-"}, &ok, 60000));
            QVERIFY2(ok, qPrintable(read));
            // Its own user and count, and no other user.
            const QString name = text.section(" has ", 0, 0);
            seen << name;
            QVERIFY2(read.contains(squeezed(text.section(" new ", 0, 0))),
                     qPrintable(read + " for " + text));
            for (const QString& other : names)
                QVERIFY2(other == name || !read.contains(squeezed(other)), qPrintable(read));
            QVERIFY(x.Press("Alert!", "Hide"));
        }
        seen.sort();
        QCOMPARE(seen, QStringList({"Bridge", "Old ISP", "Work"}));
    }
};

QTEST_GUILESS_MAIN(TestDesktops)
#include "tst_desktops.moc"
