#pragma once

#include "check/CheckEngine.h"
#include "check/KeptPasswords.h"
#include "check/Logs.h"
#include "check/MailboxStates.h"
#include "check/MailboxTest.h"
#include "check/SeenMessages.h"
#include "check/SocketTransport.h"
#include "core/Accounts.h"
#include "core/OAuthProviders.h"
#include "core/Options.h"
#include "core/Paths.h"
#include "core/QuietHours.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"
#include "core/SideFile.h"
#include "core/UserLists.h"

#include <QObject>
#include <functional>
#include <memory>

class AboutWindow;
class Autostart;
class AlertPresenter;
class AlertWindow;
class Clock;
class ClockJumps;
class ControlCentre;
class DesktopNotifications;
class Dialogs;
class EditUserWindow;
class MailOpener;
class PasswordWindow;
class QuietTimes;
class Random;
class SetupWindow;
class TrayIcon;
class TrayShell;

// Everything the program takes from its surroundings. The program passes the real ones;
// each test builds its own.
struct Environment {
    Paths paths;
    const Clock& clock;
    Dialogs& dialogs;
    Random& random;
    TrayShell& tray;
    quint16 port = CheckEngine::Pop3Port;
    // Resumes from suspend and changes of the wall clock; none: the scheduler's timer alone.
    ClockJumps* clockJumps = nullptr;
    // Once the first-run message is answered, setup opens so that a mailbox can be added at
    // once. Off where nobody can see a window (headless).
    bool setupAfterFirstRun = true;
    // The keyring for "Keep Passwords in the Keyring"; none: the choice is not offered.
    SecretStore* secrets = nullptr;
    // The desktop's notification service; none: alerts always in the alert window.
    DesktopNotifications* notifications = nullptr;
    // Opens an address in the desktop's browser, for an OAuth 2.0 sign-in.
    std::function<bool(const QUrl&)> openUrl = {};
    // What opens a mailbox's mail from its alert; none: a click on the alert opens nothing.
    MailOpener* mail = nullptr;
};

// The running program: the live settings, the check engine, the windows and the tray icon,
// with the start-up and the one orderly way out.
class App final : public QObject {
    Q_OBJECT

public:
    explicit App(Environment env);
    ~App() override;

    // Loads the settings and the windows and adds the tray icon. The timers begin to tick
    // once the event loop runs.
    void Main();
    // Ends the program in order: asks "Really Exit?" unless `NoConfirm`, refuses while the
    // setup window is open (an exit without the question rolls it back instead), then
    // removes the icon, saves, stops the timers, closes the socket and the windows. The
    // question returns at once; its "Yes" goes on from there when it is given, and meets the
    // setup rule again. Asked without the question while an exit already waits on a message
    // box (a signal during a failed save's message), it ends the process at once.
    void ExitProgram(bool NoConfirm);
    // How the process ends after an orderly exit; tests replace it.
    std::function<void()> EndProcess;

    Settings& GetSettings() { return settings_; }
    MailboxStates& States() { return states_; }
    SettingsFile& GetSettingsFile() { return file_; }
    SideFile& GetSideFile() { return side_; }
    CheckEngine& Engine() { return engine_; }
    SocketTransport& Socket() { return transport_; }
    // The windows other than the alert are made when first wanted: a program that sits in
    // the tray never loads their code, fonts or layouts. Asking for one makes it.
    ControlCentre* Main_() { return &MainWindow(); }
    AlertWindow* Alert() const { return alert_.get(); }
    AlertPresenter* Presenter() const { return presenter_.get(); }
    SetupWindow* Setup() { return &SetupForm(); }
    EditUserWindow* Editor() { return &EditorWindow(); }
    PasswordWindow* Password() { return &PasswordPrompt(); }
    AboutWindow* About() { return &AboutBox(); }
    // Whether the window has been made yet.
    bool HasMainWindow() const { return main_ != nullptr; }
    bool HasSetupWindow() const { return setup_ != nullptr; }
    KeptPasswords* Kept() const { return kept_.get(); }
    QuietTimes* Quiet() const { return quiet_.get(); }
    bool IsSetupVisible() const;
    // What setup's autostart choice writes (before Main); none: setup offers no choice.
    void SetAutostart(const Autostart* autostart) { autostart_ = autostart; }

private:
    void AddTrayIcon();
    void LoadWindows();
    ControlCentre& MainWindow();
    SetupWindow& SetupForm();
    EditUserWindow& EditorWindow();
    PasswordWindow& PasswordPrompt();
    AboutWindow& AboutBox();
    // With "Keep Passwords in the Keyring" the passwords the file lacks come from the keyring,
    // and the users wait for them.
    void KeepPasswords();
    // Tarnwick.options was refused: mailboxes it would give the password of wait.
    void HoldBackWithoutOptions(const QString& why);
    // Once every password has come from the keyring, a ".bak" that differs from the settings
    // file (a kill during the switch to the keyring left the passwords in it) becomes its
    // copy again.
    void TidyBackup();
    // The choice says the keyring and the file holds every password (a switch back cut
    // short): once the keyring answers, its items go and then the choice says off.
    void FinishSwitchBack();
    void BringDialogsToFront();
    void ShowSetup();
    // Setup, then the editor of the mailbox `userId` at "Sign In\u2026": its sign-in was lost.
    void SignInAgain(quint64 userId);
    // False, after telling the user why, while the icon waits for a notification area: the
    // control centre is then the only way in and stays on screen.
    bool MayHideControlCentre();
    void TellCloseSetup();
    // Saves; a failure's message blocks no window and nothing waits for it.
    bool SaveWithoutWaiting();
    void OnAcceptedCountFell();
    // A native Wayland client's own alert would take the keyboard: where a notification
    // service runs, the alerts go there whatever the choice says.
    bool DesktopNotificationsForced() const;
    // Mailboxes that sign in with OAuth 2.0: the providers, the engine's and the editor's
    // access to how each mailbox signs in, and a rotated refresh token saved.
    void UseSignIns();
    void SaveRefreshToken(quint64 userId, const QString& refreshToken);
    // Opens the mail of the mailbox `userId` as its "Open With" says.
    void OpenMail(quint64 userId);
    // Quiet hours: where the editor and the alerts find a mailbox's, and what follows them.
    QuietHours QuietHoursOf(quint64 userId);
    void SetQuietHoursOf(quint64 userId, const QuietHours& hours);
    void LoadQuietTimes();
    // ExitProgram's steps from the closing of the socket on; `NoConfirm` as there.
    void Shutdown(bool NoConfirm);

    Environment env_;
    Settings settings_;
    MailboxStates states_;           // what each mailbox is doing now
    Options options_;                // kept beside the settings file
    QList<OAuthProvider> providers_; // built in and Tarnwick-oauth2.conf's
    bool optionsRefused_ = false;    // the file was not read: its choices are not known
    bool loadedWhole_ = false;       // the settings file was read as it is, nothing kept aside
    bool backupTidied_ = false;
    bool switchBackLeft_ = false; // FinishSwitchBack has work to do
    bool switchingBack_ = false;  // its removals wait for the keyring
    SettingsFile file_;
    SideFile side_;                       // the per-mailbox fields beside the settings file
    Accounts accounts_{settings_, side_}; // what the user configured, as setup commits it
    UserLists lists_{settings_};
    CheckLogs logs_;
    SocketTransport transport_;
    // One thread on which every watching connection waits for the server's next line.
    std::shared_ptr<Dozer> dozer_ = std::make_shared<Dozer>();
    SeenMessages seen_; // before the engine, which keeps it
    CheckEngine engine_;
    MailboxTest mailboxTest_; // the user editor's "Test"
    std::unique_ptr<KeptPasswords> kept_;

    std::unique_ptr<AboutWindow> about_;
    std::unique_ptr<QuietTimes> quiet_;         // which mailboxes keep still now
    std::unique_ptr<AlertPresenter> presenter_; // what is due to be shown
    std::unique_ptr<AlertWindow> alert_;
    std::unique_ptr<PasswordWindow> password_;
    std::unique_ptr<EditUserWindow> editor_;
    std::unique_ptr<ControlCentre> main_;
    std::unique_ptr<SetupWindow> setup_;
    std::unique_ptr<TrayIcon> tray_;
    const Autostart* autostart_ = nullptr;
    bool exiting_ = false;
    bool countSaveQueued_ = false; // a lowered count's save is on its way
    bool askingExit_ = false;      // "Really Exit?" is open: the tray must not ask a second time
};

// Why the control centre does not hide.
inline const QString NoNotificationAreaMessage =
    QStringLiteral("There is no notification area for the Tarnwick icon yet: the control centre "
                   "stays open until there is.");
