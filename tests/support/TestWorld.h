#pragma once

#include "check/CheckEngine.h"
#include "check/Logs.h"
#include "check/MailboxStates.h"
#include "check/SocketTransport.h"
#include "core/Clock.h"
#include "core/QuietHours.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "core/UserLists.h"
#include "support/doubles/FixedRandom.h"
#include "support/doubles/ManualClock.h"
#include "support/doubles/RecordingDialogs.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <optional>

// Error texts that would go to the alert window.
class RecordingErrorSink final : public ErrorSink {
public:
    void AddError(const QString& ErrTxt) override { texts << ErrTxt; }
    QStringList texts;
};

// A check in progress, or none, as the test says.
class FixedStatus final : public CheckStatus {
public:
    bool IsChecking() const override { return checking; }
    int GetCheckUser() const override { return user; }
    qint32 NewNumMails(quint64 id) const override { return states.Of(id).NewNumMails; }
    bool checking = false;
    int user = -1;
    MailboxStates states;
};

// A file's bytes; empty when it cannot be read.
inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Waits, with the event loop running, until `condition` holds or `ms` have passed.
inline bool WaitFor(const std::function<bool()>& condition, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

// An in-memory list box.
class ListModel final : public UserListView {
public:
    bool IsVisible() const override { return visible; }
    int Count() const override { return int(lines.size()); }
    int SelectedIndex() const override { return selected; }
    int TopIndex() const override { return top; }
    void Clear() override {
        lines.clear();
        selected = -1;
        top = -1;
        ++fills;
    }
    void AddLine(const QString& line) override {
        lines << line;
        if (top < 0)
            top = 0;
    }
    void Select(int index) override { selected = index; }
    void ScrollToTop(int index) override { top = index; }
    void SetTip(int index, const QString& tip) override { tips[index] = tip; }

    bool visible = true;
    QStringList lines;
    QMap<int, QString> tips;
    int selected = -1;
    int top = -1;
    int fills = 0;
};

inline UserRecord MakeUser(const QString& screen, const QString& login, const QString& server,
                           const QString& password, qint32 numMails = 0) {
    UserRecord u;
    u.ScreenName = screen;
    u.Username = login;
    u.MailServer = server;
    u.Password = password;
    u.NumMails = numMails;
    return u;
}

// Quiet hours from `from` to `to` ("HH:mm") on the ISO days in `days` ("12345": Monday to
// Friday).
// A mailbox state with the fields that tests set most.
inline MailboxState State(qint32 newNumMails, bool hideSession, qint64 lastAlert,
                          qint64 lastCheck) {
    MailboxState state;
    state.NewNumMails = newNumMails;
    state.HideSession = hideSession;
    state.LastAlert = lastAlert;
    state.LastCheck = lastCheck;
    return state;
}

inline QuietHours Quiet(const char* from, const char* to, const char* days = "1234567") {
    QuietHours hours;
    hours.On = true;
    hours.From = ParseTimeOfDay(QString::fromLatin1(from));
    hours.To = ParseTimeOfDay(QString::fromLatin1(to));
    hours.Days = 0;
    for (const char* day = days; *day; ++day)
        hours.Days |= quint8(1 << (*day - '1'));
    return hours;
}

inline void AddUser(Settings& settings, const UserRecord& user) {
    settings.GrowFor(settings.LastUser + 1);
    ++settings.LastUser;
    settings.Users[settings.LastUser] = user;
    settings.AssignId(settings.LastUser);
}

// Everything a check engine needs, with a clock at 10:00, logs in a temporary folder and a
// transport of the test's choosing.
template <typename TransportT> struct CheckWorld {
    explicit CheckWorld(quint16 port = CheckEngine::Pop3Port)
        : logs(settings, states, clock, dir.path()),
          engine(settings, states, clock, transport, logs, port) {
        logs.SetErrorSink(&sink);
        lists.SetCheckStatus(&engine);
        QObject::connect(&engine, &CheckEngine::StatusChanged, &engine,
                         [this] { lists.RefreshUserLists(); });
        // IMAP connects on sockets of its own, trusting the CA file in the folder; a watch
        // dozes as in the program.
        engine.SetTransportFactory([this] {
            auto socket = std::make_unique<SocketTransport>();
            socket->SetCaFile(dir.filePath("Tarnwick-ca.pem"));
            socket->ShareDozer(dozer);
            return std::unique_ptr<Transport>(std::move(socket));
        });
    }

    // One check of every due user, to its end.
    bool CheckAndWait(int ms = 30000) {
        engine.CheckMail(false);
        return QTest::qWaitFor([this] { return !engine.IsChecking(); }, ms);
    }

    QTemporaryDir dir;
    ManualClock clock;
    Settings settings;
    MailboxStates states;
    UserLists lists{settings};
    RecordingErrorSink sink;
    CheckLogs logs;
    TransportT transport;
    std::shared_ptr<Dozer> dozer = std::make_shared<Dozer>();
    CheckEngine engine;
};

inline void WriteSettingsFile(Settings settings, const QString& path) {
    RecordingDialogs dialogs;
    FixedRandom random;
    SettingsFile(settings, dialogs, random, path).SaveFile();
}

// The settings in the file at `path`, or nothing when they do not load.
inline std::optional<Settings> ReadSettingsFile(const QString& path) {
    Settings settings;
    RecordingDialogs dialogs;
    FixedRandom random;
    const LoadReport loaded = SettingsFile(settings, dialogs, random, path).LoadFile(SystemClock());
    if (!loaded.Usable() || !loaded.message.isEmpty())
        return std::nullopt;
    return settings;
}

// Each test's server listens on a free loopback port, which the mail-server text names.
inline QString Local(quint16 port) {
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

// A folder or file only its owner may use.
constexpr auto OwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
