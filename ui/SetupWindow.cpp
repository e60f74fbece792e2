#include "SetupWindow.h"

#include "DialogFrame.h"
#include "Dialogs.h"
#include "EditUserWindow.h"
#include "UserListBox.h"
#include "alerts/OnTop.h"
#include "check/KeptPasswords.h"
#include "core/Autostart.h"
#include "core/Options.h"
#include "core/Trace.h"
#include "core/UserLists.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <iterator>
#include <utility>

SetupWindow::SetupWindow(Accounts& accounts, Dialogs& dialogs, UserLists& lists,
                         EditUserWindow& editor, std::function<bool()> saveFile, QWidget* parent)
    : QDialog(parent), accounts_(accounts), dialogs_(dialogs), lists_(lists), editor_(editor),
      saveFile_(std::move(saveFile)) {
    setObjectName(QStringLiteral("frmSetup"));
    SetFixedFrame(*this, QStringLiteral("Tarnwick Setup"), 185, 417);

    lblUsers = MakeLabel(*this, "lblUsers", QStringLiteral("Users :"), {8, 8, 81, 17});
    lstUsers = new UserListBox(this);
    lstUsers->setObjectName(QStringLiteral("lstUsers"));
    lstUsers->setGeometry(8, 24, 169, 160);
    cmdAdd = MakeButton(*this, "cmdAdd", QStringLiteral("Add"), {8, 184, 57, 17});
    cmdEdit = MakeButton(*this, "cmdEdit", QStringLiteral("Edit"), {64, 184, 57, 17});
    cmdDelete = MakeButton(*this, "cmdDelete", QStringLiteral("Delete"), {120, 184, 57, 17});
    lblCheckIntCap = MakeLabel(*this, "lblCheckIntCap",
                               QStringLiteral("Check Interval (Minutes) :"), {8, 208, 129, 17});
    lblCheckInt = MakeLabel(*this, "lblCheckInt", QStringLiteral("999"), {128, 208, 25, 17});
    cmdSetCheck = MakeButton(*this, "cmdSetCheck", QStringLiteral("Set"), {152, 208, 33, 17});
    lblShowIntCap = MakeLabel(*this, "lblShowIntCap", QStringLiteral("Show Interval (Minutes) :"),
                              {8, 232, 129, 17});
    lblShowInt = MakeLabel(*this, "lblShowInt", QStringLiteral("999"), {128, 232, 25, 17});
    cmdSetShow = MakeButton(*this, "cmdSetShow", QStringLiteral("Set"), {152, 232, 33, 17});
    chkShowErrs =
        MakeCheckBox(*this, "chkShowErrs", QStringLiteral("Show Errors"), {8, 256, 169, 17});
    chkStartAtLogin =
        MakeCheckBox(*this, "chkStartAtLogin", QStringLiteral("Start at Login"), {8, 280, 169, 17});
    chkKeyring = MakeCheckBox(*this, "chkKeyring", QStringLiteral("Keep Passwords in the Keyring"),
                              {8, 304, 169, 17});
    chkDesktopNotifications =
        MakeCheckBox(*this, "chkDesktopNotifications", QStringLiteral("Use Desktop Notifications"),
                     {8, 328, 169, 17});
    chkShowSenders = MakeCheckBox(*this, "chkShowSenders",
                                  QStringLiteral("Show Senders and Subjects"), {8, 352, 169, 17});
    cmdOk = MakeButton(*this, "cmdOk", QStringLiteral("Ok"), {8, 376, 81, 33});
    cmdCancel = MakeButton(*this, "cmdCancel", QStringLiteral("Cancel"), {96, 376, 81, 33});
    // A screen reader names the list by its label, and tells the two "Set" buttons apart by
    // what they set.
    lblUsers->setBuddy(lstUsers);
    lstUsers->setAccessibleName(QStringLiteral("Users"));
    cmdSetCheck->setAccessibleName(QStringLiteral("Set Check Interval"));
    cmdSetShow->setAccessibleName(QStringLiteral("Set Show Interval"));
    cmdSetCheck->setAccessibleDescription(lblCheckIntCap->text());
    cmdSetShow->setAccessibleDescription(lblShowIntCap->text());
    // The value labels overlap their captions' rectangles: keep them in front.
    lblCheckInt->raise();
    lblShowInt->raise();

    QWidget* const tabOrder[] = {
        lstUsers,       cmdAdd,      cmdEdit,         cmdDelete,  cmdSetCheck,
        cmdSetShow,     chkShowErrs, chkStartAtLogin, chkKeyring, chkDesktopNotifications,
        chkShowSenders, cmdOk,       cmdCancel};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(lstUsers, &QListWidget::currentRowChanged, this, &SetupWindow::SetListEnabled);
    connect(lstUsers, &QListWidget::itemSelectionChanged, this, &SetupWindow::SetListEnabled);
    connect(cmdAdd, &QPushButton::clicked, this, &SetupWindow::AddClicked);
    connect(cmdEdit, &QPushButton::clicked, this, &SetupWindow::EditClicked);
    connect(cmdDelete, &QPushButton::clicked, this, &SetupWindow::DeleteClicked);
    connect(cmdSetCheck, &QPushButton::clicked, this,
            [this] { SetInterval(copy_.table.CheckInterval, QStringLiteral("check")); });
    connect(cmdSetShow, &QPushButton::clicked, this,
            [this] { SetInterval(copy_.table.ShowInterval, QStringLiteral("show")); });
    connect(cmdOk, &QPushButton::clicked, this, &SetupWindow::OkClicked);
    connect(cmdCancel, &QPushButton::clicked, this, &SetupWindow::DoCancel);

    lists_.SetSetupList(lstUsers, &copy_.table);
    SetListEnabled();
}

SetupWindow::~SetupWindow() {
    lists_.SetSetupList(nullptr);
}

void SetupWindow::SetOptions(Options* options, const QString& file, std::function<bool()> forced) {
    options_ = options;
    optionsFile_ = file;
    notificationsForced_ = std::move(forced);
}

void SetupWindow::DoCancel() {
    HideSetup();
}

void SetupWindow::SetInterval(qint16& IntVal, const QString& IntName) {
    const Dialogs::OpenedFrom from(dialogs_, this);
    for (;;) {
        const QString answer =
            dialogs_.Input(IntervalPrompt(IntName), QString::number(IntVal)).value_or(QString());
        const IntervalAnswer parsed = ParseIntervalAnswer(answer);
        if (parsed.kind == IntervalAnswer::Kind::NotANumber) {
            dialogs_.Message(NotANumberMessage);
            continue;
        }
        if (parsed.kind == IntervalAnswer::Kind::OutOfRange) {
            dialogs_.Message(OutOfRangeMessage);
            continue;
        }
        if (parsed.kind == IntervalAnswer::Kind::Number) {
            IntVal = parsed.Value;
            copy_.settingsEdited = true;
        }
        break;
    }
    PopInts();
}

void SetupWindow::SetListEnabled() {
    cmdEdit->setEnabled(lstUsers->SelectedIndex() != -1);
    cmdDelete->setEnabled(cmdEdit->isEnabled());
}

void SetupWindow::ShowForm(QWidget* owner) {
    if (isVisible()) { // already open: bring it forward rather than open it twice
        RaiseWindow(this);
        activateWindow();
        return;
    }
    copy_ = accounts_.Copy();
    editing_ = true;
    editor_.Edit(&copy_);
    lists_.Fill(*lstUsers);
    lists_.RefreshUserLists(); // this window is still hidden: only the control centre's list
    PopInts();
    chkShowErrs->setChecked(copy_.table.ShowErrors);
    // The file is the choice: what is there now, whatever was ticked last time.
    chkStartAtLogin->setEnabled(autostart_ != nullptr);
    chkStartAtLogin->setChecked(autostart_ && autostart_->IsEnabled());
    chkKeyring->setChecked(kept_ && kept_->On());
    ShowKeyringState();
    const bool forced = notificationsForced_ && notificationsForced_();
    chkDesktopNotifications->setEnabled(options_ && !forced);
    chkDesktopNotifications->setChecked(forced || (options_ && options_->DesktopNotifications));
    chkDesktopNotifications->setToolTip(
        forced ? QStringLiteral("Tarnwick runs as a Wayland client here, where its own alert "
                                "would take the keyboard: alerts go to the desktop's "
                                "notifications.")
               : QString());
    chkShowSenders->setEnabled(options_ != nullptr);
    chkShowSenders->setChecked(!options_ || options_->ShowSenders);
    SetListEnabled();
    if (!placed_) {
        CentreOver(*this, nullptr);
        placed_ = true;
    }
    if (signInAgain_ != 0)
        QTimer::singleShot(0, this, [this] { SignInAgain(std::exchange(signInAgain_, 0)); });
    RunModal(*this, owner);
}

void SetupWindow::SignInAgain(quint64 userId, QWidget* owner) {
    if (!isVisible()) {
        signInAgain_ = userId;
        ShowForm(owner);
        return;
    }
    int index = copy_.table.IndexOfId(userId);
    if (index < 0 || editor_.isVisible()) // gone meanwhile, or the user is editing already
        return;
    lstUsers->Select(index);
    const Dialogs::OpenedFrom from(dialogs_, this);
    editor_.ShowForm(index, this, true);
    lists_.RefreshUserLists();
}

void SetupWindow::PopInts() {
    SetFittedText(*lblCheckInt, QString::number(copy_.table.CheckInterval));
    SetFittedText(*lblShowInt, QString::number(copy_.table.ShowInterval));
}

void SetupWindow::HideSetup() {
    editing_ = false;
    editor_.Edit(nullptr);
    hide();
}

void SetupWindow::AddClicked() {
    int userNum = -1;
    const Dialogs::OpenedFrom from(dialogs_, this);
    editor_.ShowForm(userNum, this);
    lists_.RefreshUserLists();
}

void SetupWindow::EditClicked() {
    int userNum = lstUsers->SelectedIndex();
    if (userNum == -1)
        return;
    const Dialogs::OpenedFrom from(dialogs_, this);
    editor_.ShowForm(userNum, this);
    lists_.RefreshUserLists();
}

void SetupWindow::DeleteClicked() {
    const int index = lstUsers->SelectedIndex();
    if (index == -1)
        return;
    copy_.table.DeleteUser(index);
    lists_.RefreshUserLists();
}

void SetupWindow::SetKeyring(KeptPasswords* kept) {
    kept_ = kept;
    if (kept_)
        connect(&kept_->Store(), &SecretStore::Changed, this, &SetupWindow::ShowKeyringState);
    ShowKeyringState();
}

void SetupWindow::ShowKeyringState() {
    const bool there = kept_ && kept_->Store().Available();
    chkKeyring->setEnabled(there || (kept_ && kept_->On()));
    chkKeyring->setToolTip(there ? QString()
                                 : QStringLiteral("No keyring service runs on the session bus: "
                                                  "the passwords stay in the settings file."));
}

bool SetupWindow::SaveOptions(const std::function<void(Options&)>& change) {
    // One copy of the choices, the program's own, so that one choice saved never puts back
    // an old value of another.
    Options changed = options_ ? *options_ : Options::Load(optionsFile_);
    change(changed);
    if (const QString error = changed.Save(optionsFile_); !error.isEmpty()) {
        dialogs_.Message(QStringLiteral("Could not write %1: %2").arg(optionsFile_, error));
        return false;
    }
    if (options_)
        *options_ = changed;
    return true;
}

bool SetupWindow::SaveWithKeyring() {
    if (!kept_)
        return !saveFile_ || saveFile_();
    // The keyring answers later: the window waits, its event loop running, its controls off.
    const auto wait = [this](const std::function<void(KeptPasswords::Finished)>& start) {
        QString error;
        bool finished = false;
        QEventLoop loop;
        setEnabled(false);
        start([&](const QString& why) {
            error = why;
            finished = true;
            loop.quit();
        });
        if (!finished)
            loop.exec();
        setEnabled(true);
        return error;
    };
    if (chkKeyring->isChecked()) {
        // Stored and read back first: only then may the file go without the passwords.
        const QString error = wait([this](auto done) { kept_->StoreAll(done); });
        if (!error.isEmpty()) {
            dialogs_.Message(error +
                             QStringLiteral("\r\nThe passwords stay in the settings file."));
            return false;
        }
        if (!kept_->On() && !SaveOptions([](Options& o) { o.KeyringPasswords = true; }))
            return false;
        kept_->SetOn(true);
        return !saveFile_ || saveFile_();
    }
    if (!kept_->On())
        return !saveFile_ || saveFile_();
    // Back into the file first; the items go once the file and the choice say so.
    const QString error = wait([this](auto done) { kept_->FetchAll(done); });
    if (!error.isEmpty()) {
        dialogs_.Message(error + QStringLiteral("\r\nThe passwords stay in the keyring."));
        return false;
    }
    kept_->SetOn(false);
    if (saveFile_ && !saveFile_()) {
        kept_->SetOn(true);
        return false;
    }
    // The items go before the choice says off: a kill in between leaves the choice on with
    // the passwords in the file (which then count), never the choice off with items left.
    if (const QString removed = wait([this](auto done) { kept_->RemoveAll(done); });
        !removed.isEmpty())
        Trace(QStringLiteral("Keyring items not removed: ") + removed);
    return SaveOptions([](Options& o) { o.KeyringPasswords = false; });
}

void SetupWindow::OkClicked() {
    const Dialogs::OpenedFrom from(dialogs_, this); // a failed save's message
    AccountsCopy before = accounts_.Copy();
    before.edited = before.newPassword = before.taken;
    before.settingsEdited = true;
    copy_.table.ShowErrors = chkShowErrs->isChecked();
    copy_.settingsEdited = true;
    accounts_.Commit(copy_);
    // A failed save has told the user; what was there comes back, and staying open lets them
    // try again or cancel. The check box reaches ShowErrors only with a save that succeeds
    // (the close control drops it).
    if (!SaveWithKeyring()) {
        accounts_.Commit(before);
        return;
    }
    // What is saved stays: a "Cancel" after a later failure (the login entry) keeps it.
    copy_ = accounts_.Copy();
    // Like a failed save, a failed write of the login entry keeps the window open.
    if (autostart_) {
        const QString error = autostart_->SetEnabled(chkStartAtLogin->isChecked());
        if (!error.isEmpty()) {
            dialogs_.Message(error);
            return;
        }
    }
    // Kept beside the settings file; a failed write keeps the window open, as above.
    if (options_ && chkDesktopNotifications->isEnabled() &&
        chkDesktopNotifications->isChecked() != options_->DesktopNotifications &&
        !SaveOptions([on = chkDesktopNotifications->isChecked()](Options& o) {
            o.DesktopNotifications = on;
        }))
        return;
    if (options_ && chkShowSenders->isChecked() != options_->ShowSenders &&
        !SaveOptions([on = chkShowSenders->isChecked()](Options& o) { o.ShowSenders = on; }))
        return;
    HideSetup();
}

void SetupWindow::reject() {
    DoCancel();
}

void SetupWindow::closeEvent(QCloseEvent* event) {
    Trace(QStringLiteral("frmSetup QueryUnload"));
    Trace(QStringLiteral("frmSetup Unload"));
    // What was edited stays, unsaved; the check box's choice goes.
    if (std::exchange(editing_, false)) {
        copy_.table.ShowErrors = accounts_.Table().ShowErrors;
        accounts_.Commit(copy_);
        editor_.Edit(nullptr);
    }
    // Unloaded: the next opening starts with a fresh list and places the window again.
    lstUsers->Clear();
    placed_ = false;
    event->accept();
}
