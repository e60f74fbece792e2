#include "App.h"

#include "ControlCentre.h"
#include "TrayIcon.h"
#include "alerts/AlertWindow.h"
#include "alerts/DesktopNotifications.h"
#include "alerts/OnTop.h"
#include "alerts/QuietTimes.h"
#include "core/Clock.h"
#include "core/ClockJumps.h"
#include "core/Files.h"
#include "core/OpenWith.h"
#include "core/Trace.h"
#include "core/platform/System.h"
#include "ui/AboutWindow.h"
#include "ui/Dialogs.h"
#include "ui/EditUserWindow.h"
#include "ui/PasswordWindow.h"
#include "ui/SetupWindow.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

App::App(Environment env)
    : env_(std::move(env)), file_(settings_, env_.dialogs, env_.random, env_.paths.SettingsFile),
      side_(env_.paths.AccountsFile()),
      logs_(settings_, states_, env_.clock, env_.paths.ProgramFolder), seen_(env_.paths.SeenFile),
      engine_(settings_, states_, env_.clock, transport_, logs_, env_.port),
      mailboxTest_(env_.paths.CaFile(), env_.port) {
    EndProcess = [] {
        std::fflush(nullptr);
        std::_Exit(0);
    };
    lists_.SetCheckStatus(&engine_);
    engine_.SetSeen(&seen_);
    connect(&engine_, &CheckEngine::StatusChanged, this, [this] { lists_.RefreshUserLists(); });
    transport_.SetCaFile(env_.paths.CaFile());
    engine_.Idle().SetRandom(&env_.random);
    // One trust store, one set of kept TLS sessions and one dozer for every connection.
    engine_.SetTransportFactory([trust = transport_.Trust(), dozer = dozer_] {
        auto transport = std::make_unique<SocketTransport>();
        transport->ShareTrust(trust);
        transport->ShareDozer(dozer);
        return std::unique_ptr<Transport>(std::move(transport));
    });
}

App::~App() = default;

bool App::IsSetupVisible() const {
    return setup_ && setup_->isVisible();
}

void App::Main() {
    settings_.ResetToDefaults();
    const LoadReport loaded = file_.LoadFile(env_.clock);
    if (!loaded.message.isEmpty())
        env_.dialogs.Message(loaded.message);
    if (exiting_)
        return;
    side_.Load(settings_, loaded.Usable());
    if (!side_.Refused().isEmpty())
        std::fprintf(stderr, "Tarnwick: %s is not used: %s\n",
                     qPrintable(QDir::toNativeSeparators(side_.Path())),
                     qPrintable(side_.Refused()));
    file_.SetSideFile(&side_);
    providers_ = LoadProviders(env_.paths.OAuthProvidersFile(), BuiltInClients::FromBuild());
    loadedWhole_ = loaded.message.isEmpty();
    QString optionsRefused;
    options_ = Options::Load(env_.paths.OptionsFile(), &optionsRefused);
    if (!optionsRefused.isEmpty())
        std::fprintf(stderr, "Tarnwick: %s is not used: %s\n",
                     qPrintable(QDir::toNativeSeparators(env_.paths.OptionsFile())),
                     qPrintable(optionsRefused));
    // A refused file of certificates is said here once; each check that needs it says so in
    // its own record.
    if (const QString ca = env_.paths.CaFile(); QFileInfo(ca).isFile()) {
        QFile in;
        QString why;
        bool refused = false;
        if (!OpenFileToRead(in, ca, true, why, &refused) && refused)
            std::fprintf(stderr, "Tarnwick: %s is not used: %s\n",
                         qPrintable(QDir::toNativeSeparators(ca)), qPrintable(why));
    }
    KeepPasswords();
    if (!optionsRefused.isEmpty())
        HoldBackWithoutOptions(optionsRefused);
    AddTrayIcon();
    LoadWindows();
    if (env_.clockJumps) {
        engine_.WatchClock(*env_.clockJumps);
        // The alert held back by the show interval is timed by the clock: after a resume or a
        // clock set anew its moment is computed again.
        connect(env_.clockJumps, &ClockJumps::Jumped, alert_.get(), [this] {
            if (!exiting_)
                alert_->Wake();
        });
    }
    engine_.Start();
    alert_->Start();
    if (env_.tray.WaitingForArea())
        MainWindow().ShowForm(); // meanwhile the control centre is the only way in
    // The first-run message points to setup: it opens by itself, once the event loop runs,
    // so that Main returns and the checks and the tray work meanwhile.
    if (loaded.IsFirstRun() && env_.setupAfterFirstRun) {
        QTimer::singleShot(0, this, [this] {
            if (!exiting_ && !IsSetupVisible())
                ShowSetup();
        });
    }
}

void App::KeepPasswords() {
    if (!env_.secrets)
        return;
    kept_ = std::make_unique<KeptPasswords>(settings_, *env_.secrets, logs_);
    kept_->SetOn(options_.KeyringPasswords);
    file_.SetPasswordKept([this](const UserRecord& user) { return kept_->InKeyring(user); });
    engine_.SetHeld([this](const UserRecord& user) { return kept_->Held(user); });
    connect(kept_.get(), &KeptPasswords::Arrived, &engine_, &CheckEngine::Reschedule);
    connect(kept_.get(), &KeptPasswords::Arrived, this, &App::TidyBackup);
    // Every password in the file while the choice says the keyring: only a switch back cut
    // short after the file was written leaves that (a deliberate choice has the file without
    // them). The file's passwords count meanwhile; the switch ends once the keyring answers.
    switchBackLeft_ =
        kept_->On() && loadedWhole_ && settings_.UserCount() > 0 && kept_->AllArrived();
    connect(&kept_->Store(), &SecretStore::Changed, this, &App::FinishSwitchBack);
    kept_->Begin();
    TidyBackup();
    FinishSwitchBack();
}

void App::FinishSwitchBack() {
    if (!switchBackLeft_ || switchingBack_ || !kept_->Store().Available())
        return;
    switchingBack_ = true;
    // As setup does it: the items go (answered), and only then does the choice say off.
    kept_->RemoveAll([this, alive = QPointer<App>(this)](const QString& error) {
        if (!alive)
            return;
        switchingBack_ = false;
        if (!error.isEmpty()) // tried again when the keyring changes
            return Trace(QStringLiteral("Keyring items not removed: ") + error);
        // Setup stored the passwords there meanwhile: that choice stands.
        for (int i = 0; settings_.IsUser(i); ++i)
            if (kept_->InKeyring(settings_.Users[i]))
                switchBackLeft_ = false;
        if (!switchBackLeft_)
            return;
        Options changed = options_;
        changed.KeyringPasswords = false;
        if (const QString saved = changed.Save(env_.paths.OptionsFile()); !saved.isEmpty())
            return Trace(
                QStringLiteral("Cannot write %1: %2").arg(env_.paths.OptionsFile(), saved));
        switchBackLeft_ = false;
        options_ = changed;
        kept_->SetOn(false);
    });
}

void App::TidyBackup() {
    if (backupTidied_ || !loadedWhole_ || !kept_ || !kept_->On() || !kept_->AllArrived())
        return;
    backupTidied_ = true;
    const auto read = [](const QString& path) {
        QFile file;
        QString error;
        return OpenFileToRead(file, path, false, error) ? std::optional(file.read(1 << 20))
                                                        : std::nullopt;
    };
    const std::optional<QByteArray> settings = read(file_.Path());
    const std::optional<QByteArray> backup = read(file_.BackupPath());
    if (!settings || !backup || *settings == *backup)
        return;
    if (const auto error = WriteFileWhole(file_.BackupPath(), *settings,
                                          QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        Trace(QStringLiteral("Cannot tidy %1: %2").arg(file_.BackupPath(), *error));
}

void App::HoldBackWithoutOptions(const QString& why) {
    // The refused file may say that the passwords are in the keyring: a mailbox without one
    // in the settings is not signed in to with an empty password, but held back and said.
    optionsRefused_ = true;
    const QString file = QDir::toNativeSeparators(env_.paths.OptionsFile());
    for (int i = 0; settings_.IsUser(i); ++i)
        if (settings_.Users[i].Password.isEmpty())
            logs_.DoError(QStringLiteral("Not checked: %1 is not used (%2), and without it the "
                                         "password is not known.")
                              .arg(file, why),
                          i, 0);
    engine_.SetHeld([this](const UserRecord& user) {
        return (optionsRefused_ && user.Password.isEmpty()) || (kept_ && kept_->Held(user));
    });
}

void App::AddTrayIcon() {
    TrayActions tray;
    tray.ShowControlCentre = [this] { MainWindow().ShowForm(); };
    tray.CheckMail = [this] { engine_.CheckMail(true); };
    // The tray opens its windows from no window of its own: they block none.
    tray.DoAbout = [this] { AboutBox().Open(); };
    tray.Exit = [this] {
        const Dialogs::OpenedFrom from(env_.dialogs, nullptr);
        ExitProgram(false);
    };
    tray.IsControlCentreVisible = [this] { return main_ && main_->isVisible(); };
    tray.IsChecking = [this] { return engine_.IsChecking(); };
    tray.MakeCaption = [this] { return ::MakeCaption(settings_, engine_); };
    tray_ = std::make_unique<TrayIcon>(env_.tray, std::move(tray));
    env_.tray.Connect(*tray_);
    // Added even when no notification area runs yet: the icon appears as soon as one starts.
    // Added before the windows are made, so that the notification area embeds it while they
    // are: nothing reaches the icon before the event loop runs, and by then they exist.
    tray_->AddIcon();
    // Sends the request to the notification area now rather than when the event loop first
    // runs; no click or signal is taken yet.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers);
}

void App::LoadWindows() {
    // A failed save's message from the alert blocks no window, and the alert goes on without
    // waiting for it: a window opened meanwhile would hold the alert back until it closed.
    auto saveFromAlert = [this] { return SaveWithoutWaiting(); };
    presenter_ = std::make_unique<AlertPresenter>(settings_, states_, env_.clock, saveFromAlert,
                                                  [this] { return IsSetupVisible(); });
    presenter_->UseDesktopNotifications(env_.notifications, [this] {
        return options_.DesktopNotifications || DesktopNotificationsForced();
    });
    presenter_->SetShowSenders([this] { return options_.ShowSenders; });
    presenter_->SetOpenMail([this](quint64 id) { OpenMail(id); });
    presenter_->SetMarkRead([this](quint64 id) { engine_.MarkRead(id); });
    // Opened after the click or the service's signal has been handled: setup waits in a loop
    // of its own until it closes.
    presenter_->SetSignInAgain([this](quint64 id) { return engine_.SignedOut(id); },
                               [this](quint64 id) {
                                   QTimer::singleShot(0, this, [this, id] {
                                       if (!exiting_)
                                           SignInAgain(id);
                                   });
                               });
    alert_ = std::make_unique<AlertWindow>(*presenter_);
    logs_.SetErrorSink(presenter_.get());
    LoadQuietTimes();
    UseSignIns();

    connect(&accounts_, &Accounts::Changed, &engine_, &CheckEngine::AccountsChanged);
    connect(&engine_.Recorder(), &CountRecorder::AcceptedCountFell, this,
            &App::OnAcceptedCountFell);
    connect(&engine_, &CheckEngine::CheckingChanged, tray_.get(), &TrayIcon::OnCheckingChanged);
    // The alert follows the state's change at the STAT reply, in the same turn, not the end of
    // the session: a server that never answers QUIT would otherwise hold it back for the whole
    // time-out. A count gone back to -1 closes its notification. (An error to show wakes it
    // through the presenter.)
    connect(&states_, &MailboxStates::Changed, alert_.get(), [this] {
        if (!exiting_)
            alert_->Wake();
    });
    // The control centre's tooltips name the newest message.
    connect(&states_, &MailboxStates::Changed, this, [this] { lists_.RefreshUserLists(); });
}

ControlCentre& App::MainWindow() {
    if (main_)
        return *main_;
    ControlCentreActions actions;
    actions.CheckMail = [this](bool reset) { engine_.CheckMail(reset); };
    actions.ShowSetup = [this] { ShowSetup(); };
    actions.DoAbout = [this] { AboutBox().Open(main_.get()); };
    actions.Exit = [this] {
        const Dialogs::OpenedFrom from(env_.dialogs, main_.get());
        ExitProgram(false);
    };
    actions.BringDialogsToFront = [this] { BringDialogsToFront(); };
    actions.MayHide = [this] { return MayHideControlCentre(); };
    main_ = std::make_unique<ControlCentre>(settings_, engine_, lists_, std::move(actions));
    return *main_;
}

SetupWindow& App::SetupForm() {
    if (setup_)
        return *setup_;
    setup_ = std::make_unique<SetupWindow>(accounts_, env_.dialogs, lists_, EditorWindow(),
                                           [this] { return file_.SaveFile(); });
    setup_->SetKeyring(kept_.get());
    setup_->SetOptions(&options_, env_.paths.OptionsFile(),
                       [this] { return DesktopNotificationsForced(); });
    if (autostart_)
        setup_->SetAutostart(autostart_);
    return *setup_;
}

EditUserWindow& App::EditorWindow() {
    if (editor_)
        return *editor_;
    editor_ = std::make_unique<EditUserWindow>(settings_, env_.dialogs, PasswordPrompt());
    editor_->SetMailboxTest(&mailboxTest_);
    editor_->SetMailClient([this] { return env_.mail ? env_.mail->MailClient() : QString(); });
    editor_->SetQuietHoursAccess(
        {[this](quint64 id) { return QuietHoursOf(id); },
         [this](quint64 id, const QuietHours& hours) { SetQuietHoursOf(id, hours); }});
    editor_->SetSignInAccess(
        {providers_, [this](quint64 id) { return side_.Of(id); },
         [this](quint64 id, const QString& provider, const QString& clientId) {
             SetSignInProvider(side_.Of(id), provider, clientId);
         },
         env_.openUrl,
         [this](quint64 id, const QString& token, qint64 expiresIn, const QString& refreshToken) {
             engine_.SignedInAgain(id);
             engine_.Tokens().Remember(id, token, expiresIn, refreshToken);
         }});
    return *editor_;
}

PasswordWindow& App::PasswordPrompt() {
    if (!password_)
        password_ = std::make_unique<PasswordWindow>();
    return *password_;
}

AboutWindow& App::AboutBox() {
    if (!about_)
        about_ = std::make_unique<AboutWindow>();
    return *about_;
}

void App::OpenMail(quint64 userId) {
    if (!env_.mail)
        return;
    QString openWith;
    for (const auto& [name, value] : side_.Of(userId))
        if (name == OpenWithField)
            openWith = value;
    // Said as an error alert: the user asked for it, and nothing else would tell why nothing
    // opened.
    if (const QString error = env_.mail->Open(openWith); !error.isEmpty())
        presenter_->AddError(QStringLiteral("The mail could not be opened: ") + error);
}

void App::UseSignIns() {
    engine_.SetSignIns([this](quint64 id) -> std::optional<SignIn> {
        const SideFile::Fields& fields = side_.Of(id);
        const int index = settings_.IndexOfId(id);
        if (index >= 0 && SignInProviderOf(fields) == CommandSignIn)
            return SignIn{{}, {}, settings_.Users[index].Password};
        const OAuthProvider* named = ProviderNamed(providers_, SignInProviderOf(fields));
        if (!named || index < 0)
            return std::nullopt;
        SignIn signIn{*named, settings_.Users[index].Password};
        if (signIn.provider.NeedsClientId())
            signIn.provider.clientId = OwnClientIdOf(fields);
        return signIn;
    });
    connect(&engine_.Tokens(), &BearerTokens::RefreshTokenRotated, this, &App::SaveRefreshToken);
}

void App::SaveRefreshToken(quint64 userId, const QString& refreshToken) {
    const int index = settings_.IndexOfId(userId);
    if (index < 0)
        return;
    // Saved at once, as a password change is: the old token may already be void.
    settings_.Users[index].Password = refreshToken;
    if (kept_ && kept_->On()) {
        kept_->StoreAll([this, alive = QPointer<App>(this)](const QString& error) {
            if (!alive)
                return;
            if (!error.isEmpty())
                Trace(QStringLiteral("The new sign-in could not go into the keyring: ") + error);
            SaveWithoutWaiting();
        });
        return;
    }
    SaveWithoutWaiting();
}

QuietHours App::QuietHoursOf(quint64 userId) {
    return QuietHours::FromFields(side_.Of(userId));
}

void App::SetQuietHoursOf(quint64 userId, const QuietHours& hours) {
    hours.ToFields(side_.Of(userId));
}

void App::LoadQuietTimes() {
    quiet_ = std::make_unique<QuietTimes>(settings_, states_, env_.clock,
                                          [this](quint64 id) { return QuietHoursOf(id); });
    presenter_->SetQuiet([this](quint64 id) { return quiet_->IsQuiet(id); });
    connect(quiet_.get(), &QuietTimes::Ended, presenter_.get(), &AlertPresenter::QuietEnded);
    connect(quiet_.get(), &QuietTimes::QuietChanged, this, [this] {
        lists_.RefreshUserLists(); // the tooltips
        if (!exiting_)
            alert_->Wake(); // a quiet mailbox's alert on screen goes
    });
    lists_.SetMainTip([this](quint64 id) {
        QStringList tip;
        for (const QString& line : {quiet_->Tip(id), MailboxTip(states_.Of(id), env_.clock)})
            if (!line.isEmpty())
                tip << line;
        return tip.join(QLatin1Char('\n'));
    });
    if (env_.clockJumps)
        quiet_->WatchClock(*env_.clockJumps);
    // Quiet hours edited, mailboxes added in setup.
    connect(&accounts_, &Accounts::Changed, quiet_.get(), [this] { quiet_->Decide(); });
    quiet_->Decide();
}

bool App::DesktopNotificationsForced() const {
    return RunsAsWaylandClient() && env_.notifications && env_.notifications->Available();
}

bool App::SaveWithoutWaiting() {
    const Dialogs::OpenedFrom from(env_.dialogs, nullptr, false);
    return file_.SaveFile();
}

void App::OnAcceptedCountFell() {
    if (exiting_)
        return;
    // Saved as "Hide Permanently" saves it (setup edits a copy: the table is never half
    // edited), out of the check's own step: a failed save's message must not run inside it.
    if (std::exchange(countSaveQueued_, true))
        return;
    QTimer::singleShot(0, this, [this] {
        countSaveQueued_ = false;
        if (!exiting_)
            SaveWithoutWaiting();
    });
}

void App::ShowSetup() {
    // Nothing new is shown while the user is in setup; the alert waits until it has closed.
    alert_->setEnabled(false);
    SetupForm().ShowForm(&MainWindow());
    alert_->setEnabled(true);
    alert_->Wake(); // what setup changed may be due for an alert now
}

void App::SignInAgain(quint64 userId) {
    if (IsSetupVisible()) { // open already: the editor opens over it
        setup_->SignInAgain(userId);
        return;
    }
    alert_->setEnabled(false);
    SetupForm().SignInAgain(userId, &MainWindow());
    alert_->setEnabled(true);
    alert_->Wake();
}

bool App::MayHideControlCentre() {
    if (!env_.tray.WaitingForArea())
        return true;
    const Dialogs::OpenedFrom from(env_.dialogs, main_.get());
    env_.dialogs.Message(NoNotificationAreaMessage);
    return false;
}

void App::BringDialogsToFront() {
    const std::initializer_list<QWidget*> windows{setup_.get(), editor_.get(), password_.get(),
                                                  about_.get()};
    for (QWidget* window : windows) {
        if (window)
            BringToFront(window);
    }
    // An open message or input box stays in front of the window it was opened over.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QDialog*>(window);
        if (box && box->isVisible() &&
            std::find(windows.begin(), windows.end(), box) == windows.end())
            BringToFront(box);
    }
}

void App::ExitProgram(bool NoConfirm) {
    if (exiting_) {
        // A signal while an exit waits on a message box (a failed save): the save has been
        // tried and traced, and nobody may be there to close the box. End now.
        if (NoConfirm && EndProcess) {
            Trace(QStringLiteral("End"));
            EndProcess();
        }
        return;
    }
    if (IsSetupVisible()) {
        if (!NoConfirm) {
            TellCloseSetup();
            return;
        }
        // Leaving without the question (a signal, the end of the session) must not save a
        // half-edited table: undo the setup window's changes first, as its "Cancel" does.
        setup_->DoCancel();
    }
    if (NoConfirm) {
        Shutdown(true);
        return;
    }
    if (askingExit_) { // the tray keeps answering while the question is open: show it again
        BringDialogsToFront();
        return;
    }
    askingExit_ = true;
    // Not waited for: a window opened while the question is open (setup from the control
    // centre, about from the tray) would otherwise hold the answer back until it closed.
    env_.dialogs.AskYesNoLater(QStringLiteral("Really Exit?"), [this](bool yes) {
        askingExit_ = false;
        if (!yes || exiting_) // an exit without the question ran while the question was open
            return;
        const Dialogs::OpenedFrom from(env_.dialogs, nullptr);
        // Setup may have opened under the question: "Yes" meets the same rule as "Exit".
        if (IsSetupVisible()) {
            TellCloseSetup();
            return;
        }
        Shutdown(false);
    });
}

void App::TellCloseSetup() {
    // Nothing follows the answer, so nothing waits for it.
    env_.dialogs.Tell(QStringLiteral("Please close the setup window!"));
}

void App::Shutdown(bool NoConfirm) {
    exiting_ = true;

    engine_.CloseAll(); // the POP3 connection and the IMAP ones
    Trace(QString());
    Trace(QString());
    const QDateTime now = env_.clock.Now();
    Trace(ShortDateText(now.date()) + QLatin1Char(' ') + LongTimeText(now.time()));

    Trace(QStringLiteral("RemoveIcon"));
    if (tray_)
        tray_->RemoveIcon();
    Trace(QStringLiteral("SaveFile"));
    // Asked, the user can read why a save failed; leaving on a signal, nobody may be there
    // to close a message box.
    file_.SaveFile(NoConfirm ? SettingsFile::Report::TraceOnly : SettingsFile::Report::User);

    auto stop = [](const char* text, QTimer* timer) {
        Trace(QString::fromLatin1(text));
        if (timer)
            timer->stop();
    };
    stop("frmAlert.tmrHide.Enabled = False", alert_ ? &alert_->tmrHide : nullptr);
    Trace(QStringLiteral("frmAlert.tmrNextAlert.Enabled = False"));
    if (alert_)
        alert_->Stop();
    stop("frmAlert.tmrShow.Enabled = False", alert_ ? &alert_->tmrShow : nullptr);
    Trace(QStringLiteral("frmMain.tmrChangeIcon.Enabled = False"));
    if (tray_)
        tray_->StopAnimation();
    stop("frmMain.tmrCheckMail.Enabled = False", &engine_.tmrCheckMail);
    stop("frmMain.tmrTimeout.Enabled = False", &engine_.Pop3().tmrTimeout);

    Trace(QStringLiteral("frmMain.WS.State = %1").arg(transport_.State()));
    if (transport_.IsOpen()) {
        Trace(QStringLiteral("frmMain.WS.Close"));
        transport_.Close();
    }

    auto unload = [](const char* text, QWidget* window) {
        Trace(QString::fromLatin1(text));
        if (window)
            window->close();
    };
    unload("Unload frmAbout", about_.get());
    unload("Unload frmAlert", alert_.get());
    unload("Unload frmEditAdd", editor_.get());
    unload("Unload frmMain", main_.get());
    unload("Unload frmPassword", password_.get());
    unload("Unload frmSetup", setup_.get());

    Trace(QStringLiteral("End"));
    if (EndProcess)
        EndProcess();
}
