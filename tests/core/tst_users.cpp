// The user table, its list lines and the number and code page helpers it relies on.
#include "core/CodePage.h"
#include "core/Numeric.h"
#include "support/TestWorld.h"

#include <QTest>
#include <QTimeZone>

namespace {
// "MM-dd HH:mm" of 2026 in Berlin, which changes to summer time on 03-29 at 02:00 and back on
// 10-25 at 03:00.
QDateTime Berlin(const char* text) {
    const QDateTime local = QDateTime::fromString("2026-" + QString::fromLatin1(text),
                                                  QStringLiteral("yyyy-MM-dd HH:mm"));
    return QDateTime(local.date(), local.time(), QTimeZone("Europe/Berlin"));
}

QStringList Logins(const Settings& s) {
    QStringList out;
    for (int i = 0; i <= s.LastUser; ++i)
        out << s.Users[i].Username;
    return out;
}
} // namespace

class TestUsers final : public QObject {
    Q_OBJECT
private slots:
    void defaults() {
        Settings s;
        QCOMPARE(s.LastUser, qint16(-1));
        QCOMPARE(s.Users.size(), 10);
        QCOMPARE(s.CheckInterval, qint16(5));
        QCOMPARE(s.ShowInterval, qint16(5));
        QVERIFY(s.ShowErrors);
        s.SortUsers(); // nothing to do, nothing to break
    }

    void growthRule() {
        Settings s;
        s.GrowFor(9);
        QCOMPARE(s.UpperBound(), 9);
        s.GrowFor(10);
        QCOMPARE(s.UpperBound(), 12);
        s.GrowFor(13);
        QCOMPARE(s.UpperBound(), 15);
    }

    void sortIsByLoginCaseFolded() {
        Settings s;
        AddUser(s, MakeUser("Z", "bob", "h", "p"));
        AddUser(s, MakeUser("Y", "Alice", "h", "p"));
        AddUser(s, MakeUser("X", "carol", "h", "p"));
        s.SortUsers();
        QCOMPARE(Logins(s), QStringList({"Alice", "bob", "carol"}));
    }

    void sortKeepsTheSelectionSortOrderOfEqualKeys() {
        // A selection sort is not stable: equal keys end where its swaps put them.
        Settings s;
        AddUser(s, MakeUser("1", "b", "h", "p"));
        AddUser(s, MakeUser("2", "B", "h", "p"));
        AddUser(s, MakeUser("3", "a", "h", "p"));
        s.SortUsers();
        QCOMPARE(s.Users[0].ScreenName, QString("3"));
        QCOMPARE(s.Users[1].ScreenName, QString("2"));
        QCOMPARE(s.Users[2].ScreenName, QString("1"));
    }

    void sortComparesCodesNotLocale() {
        Settings s;
        AddUser(s, MakeUser("1", "zed", "h", "p"));
        AddUser(s, MakeUser("2", QString::fromUtf8("\xc3\xa9mile"), "h", "p"));
        AddUser(s, MakeUser("3", "_x", "h", "p"));
        s.SortUsers();
        QCOMPARE(Logins(s).at(0), QString("_x"));
        QCOMPARE(Logins(s).at(1), QString("zed"));
    }

    void deleteKeepsSpareCopy() {
        Settings s;
        AddUser(s, MakeUser("A", "a", "h", "p"));
        AddUser(s, MakeUser("B", "b", "h", "p"));
        AddUser(s, MakeUser("C", "c", "h", "p"));
        const quint64 idC = s.Users[2].Id;
        s.DeleteUser(0);
        QCOMPARE(s.LastUser, qint16(1));
        QCOMPARE(Logins(s), QStringList({"b", "c"}));
        QCOMPARE(s.Users[2].Username, QString("c")); // spare capacity keeps its old content
        QCOMPARE(s.IndexOfId(idC), 1);               // and is never found by identity
        s.DeleteUser(5);                             // outside the table: nothing happens
        QCOMPARE(s.LastUser, qint16(1));
    }

    void userLines() {
        Settings s;
        AddUser(s, MakeUser("Home", "a", "h", "p", 3));
        AddUser(s, MakeUser("Work", "b", "h", "p", 1));
        AddUser(s, MakeUser("Zero", "c", "h", "p", 0));
        FixedStatus st;
        QCOMPARE(UserLine(s, 0, &st), QString("Home - 3 emails"));
        QCOMPARE(UserLine(s, 1, &st), QString("Work - 1 email"));
        QCOMPARE(UserLine(s, 2, &st), QString("Zero - 0 emails"));
        st.checking = true;
        st.user = 0;
        QCOMPARE(UserLine(s, 0, &st), QString("Home - 3 emails - checking!"));
        QCOMPARE(UserLine(s, 1, &st), QString("Work - 1 email"));
        st.states.Update(s.Users[0].Id, [](MailboxState& state) { state.NewNumMails = 7; });
        s.Users[0].NumMails = 4;
        st.checking = false; // idle, the last user checked still named: no marker
        QCOMPARE(UserLine(s, 0, &st), QString("Home - 7 emails"));
    }

    void fillKeepsSelectionAndTop() {
        Settings s;
        for (int i = 0; i < 5; ++i)
            AddUser(s, MakeUser(QString::number(i), QString::number(i), "h", "p"));
        ListModel list;
        FillUserList(list, s, nullptr);
        QCOMPARE(list.Count(), 5);
        QCOMPARE(list.selected, -1);
        list.selected = 4;
        list.top = 3;
        s.DeleteUser(4);
        FillUserList(list, s, nullptr);
        QCOMPARE(list.selected, 3); // the new last line
        QCOMPARE(list.top, 3);
        list.selected = 1;
        FillUserList(list, s, nullptr);
        QCOMPARE(list.selected, 1);
        while (s.LastUser >= 0)
            s.DeleteUser(0);
        FillUserList(list, s, nullptr);
        QCOMPARE(list.Count(), 0);
        QCOMPARE(list.selected, -1);
        QCOMPARE(list.top, -1);
    }

    void refreshSkipsHiddenLists() {
        Settings s;
        AddUser(s, MakeUser("A", "a", "h", "p"));
        UserLists lists(s);
        ListModel setup;
        ListModel main;
        lists.SetSetupList(&setup);
        lists.SetMainList(&main);
        setup.visible = false;
        lists.RefreshUserLists();
        QCOMPARE(setup.fills, 0);
        QCOMPARE(main.fills, 1);
        QCOMPARE(main.lines, QStringList("A - 0 emails"));
        // The control centre's lines alone carry tooltips (quiet hours).
        lists.SetMainTip([](quint64) { return QStringLiteral("quiet until 08:00"); });
        setup.visible = true;
        lists.RefreshUserLists();
        QCOMPARE(main.tips.value(0), QString("quiet until 08:00"));
        QVERIFY(setup.tips.isEmpty());
    }

    // The schedule rule on the clock handed in: the date and time with its time zone.
    void quietHours_data() {
        QTest::addColumn<QuietHours>("hours");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("quiet");
        QTest::addColumn<QDateTime>("next"); // when the answer changes; invalid: never
        const QuietHours evening = Quiet("22:00", "08:00");
        const QuietHours weekdays = Quiet("22:00", "08:00", "12345");
        // 01-05 is a Monday.
        QTest::newRow("before it begins")
            << evening << Berlin("01-05 22:00").addMSecs(-1) << false << Berlin("01-05 22:00");
        QTest::newRow("its first moment")
            << evening << Berlin("01-05 22:00") << true << Berlin("01-06 08:00");
        QTest::newRow("its end is not in it")
            << evening << Berlin("01-06 08:00") << false << Berlin("01-06 22:00");
        QTest::newRow("Friday night belongs to Friday")
            << weekdays << Berlin("01-10 07:00") << true << Berlin("01-10 08:00");
        QTest::newRow("Sunday night is not quiet on weekdays")
            << weekdays << Berlin("01-05 07:00") << false << Berlin("01-05 22:00");
        QTest::newRow("Saturday evening waits for Monday")
            << weekdays << Berlin("01-10 22:30") << false << Berlin("01-12 22:00");
        QTest::newRow("within a day")
            << Quiet("12:00", "13:30") << Berlin("01-05 12:30") << true << Berlin("01-05 13:30");
        QTest::newRow("whole days make one weekend")
            << Quiet("00:00", "00:00", "67") << Berlin("01-10 10:00") << true
            << Berlin("01-12 00:00");
        QTest::newRow("a night that loses an hour ends at 08:00")
            << evening << Berlin("03-29 07:59") << true << Berlin("03-29 08:00");
        QTest::newRow("the hour that comes twice")
            << evening << Berlin("10-25 02:30") << true << Berlin("10-25 08:00");
        QTest::newRow("seen from another zone") // 21:30 UTC is 22:30 in Berlin
            << evening << Berlin("01-05 22:30").toTimeZone(QTimeZone::utc()) << false
            << QDateTime(QDate(2026, 1, 5), QTime(22, 0), QTimeZone::utc());
        QuietHours off = evening;
        off.On = false;
        QTest::newRow("switched off") << off << Berlin("01-05 23:00") << false << QDateTime();
        QTest::newRow("no day ticked")
            << Quiet("22:00", "08:00", "") << Berlin("01-05 23:00") << false << QDateTime();
    }

    void quietHours() {
        QFETCH(QuietHours, hours);
        QFETCH(QDateTime, now);
        QFETCH(bool, quiet);
        QFETCH(QDateTime, next);
        QVERIFY(now.isValid());
        const auto msecs = [](const QDateTime& t) {
            return t.isValid() ? t.toMSecsSinceEpoch() : -1;
        };
        const QuietNow at = QuietAt(hours, now);
        QCOMPARE(at.quiet, quiet);
        QCOMPARE(msecs(at.until), quiet ? msecs(next) : -1); // while quiet, the end is the change
        QCOMPARE(msecs(NextQuietChange(hours, now)), msecs(next));
    }

    // Kept in the side file beside fields it does not know; the defaults write nothing.
    void quietHoursInTheSideFile() {
        SideFile::Fields fields{{"OpenWith", "x"}};
        QuietHours{}.ToFields(fields);
        QCOMPARE(fields.size(), 1);
        const QuietHours hours = Quiet("21:15", "07:45", "135");
        hours.ToFields(fields);
        QCOMPARE(QuietHours::FromFields(fields), hours);
        QCOMPARE(fields.size(), 5);
        QCOMPARE(fields.back(), (std::pair<QByteArray, QString>{"QuietDays", "135"}));
        QuietHours{}.ToFields(fields); // switched off later: kept as such, in place
        QCOMPARE(fields.size(), 5);
        QCOMPARE(QuietHours::FromFields(fields), QuietHours{});
        QCOMPARE(ParseTimeOfDay("24:00"), QTime());
        QCOMPARE(ParseTimeOfDay("8:00"), QTime());
    }

    void numbers_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("value");
        QTest::newRow("int") << "12" << true << 12.0;
        QTest::newRow("blanks") << "  -3 " << true << -3.0;
        QTest::newRow("plus") << "+4" << true << 4.0;
        QTest::newRow("fraction") << "2.9" << true << 2.9;
        QTest::newRow("leading point") << ".5" << true << 0.5;
        QTest::newRow("exponent") << "1e3" << true << 1000.0;
        QTest::newRow("neg exponent") << "25E-1" << true << 2.5;
        QTest::newRow("empty") << "" << false << 0.0;
        QTest::newRow("blank") << "  " << false << 0.0;
        QTest::newRow("sign only") << "-" << false << 0.0;
        QTest::newRow("letters") << "abc" << false << 0.0;
        QTest::newRow("hex") << "0x10" << false << 0.0;
        QTest::newRow("bad exponent") << "1e" << false << 0.0;
        QTest::newRow("inner blank") << "1 2" << false << 0.0;
        QTest::newRow("inf") << "inf" << false << 0.0;
    }
    void numbers() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(double, value);
        const auto n = ParseNumber(text);
        QCOMPARE(n.has_value(), ok);
        if (ok)
            QCOMPARE(*n, value);
    }

    void rounding() {
        QCOMPARE(FloorToInt16(2.9), std::optional<qint16>(2));
        QCOMPARE(FloorToInt16(-1.5), std::optional<qint16>(-2));
        QCOMPARE(FloorToInt16(32767.9), std::optional<qint16>(32767));
        QVERIFY(!FloorToInt16(32768.0));
        QVERIFY(!FloorToInt16(-32769.0));
        QCOMPARE(RoundToInt32(2.5), std::optional<qint32>(2));
        QCOMPARE(RoundToInt32(3.5), std::optional<qint32>(4));
        QCOMPARE(RoundToInt32(-2.5), std::optional<qint32>(-2));
        QCOMPARE(RoundToInt32(2.6), std::optional<qint32>(3));
        QVERIFY(!RoundToInt32(2147483647.5));
        QVERIFY(!FloorToInt32(1e300));
    }

    void codePage() {
        const QString text =
            QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xe2\x80\x9cq\xe2\x80\x9d");
        const QByteArray bytes = ToCodePage(text);
        QCOMPARE(bytes, QByteArray("caf\xe9 \x80 \x93q\x94"));
        QCOMPARE(FromCodePage(bytes), text);
        QVERIFY(FitsCodePage(text));
        const QString greek = QString::fromUtf8("\xce\xb1");
        QVERIFY(!FitsCodePage(greek));
        QCOMPARE(ToCodePage(greek), QByteArray("?"));
        // Every byte survives the way back and forth.
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        QCOMPARE(ToCodePage(FromCodePage(all)), all);
    }
};

QTEST_GUILESS_MAIN(TestUsers)
#include "tst_users.moc"
