#include "EditUserWindow.h"

#include "DialogFrame.h"
#include "Dialogs.h"
#include "PasswordWindow.h"
#include "SignInWindow.h"
#include "UserEntry.h"
#include "check/MailboxTest.h"
#include "check/ServerAddress.h"
#include "check/TokenCommand.h"
#include "core/Accounts.h"
#include "core/OpenWith.h"
#include "core/Trace.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <utility>

EditUserWindow::EditUserWindow(Settings& settings, Dialogs& dialogs, PasswordWindow& password,
                               QWidget* parent)
    : QDialog(parent), settings_(settings), dialogs_(dialogs), password_(password) {
    setObjectName(QStringLiteral("frmEditAdd"));
    // Three rows more than the other editors' layouts: the mail server's protocol and
    // security, and "Test"; then "Sign-in", quiet hours and "Open With".
    SetFixedFrame(*this, QStringLiteral("Add User"), 241, 417);

    lblScreenname =
        MakeLabel(*this, "lblScreenname", QStringLiteral("Screen Display Name :"), {8, 8, 113, 17});
    txtScreenname = MakeTextBox(*this, "txtScreenname", {128, 8, 105, 19});
    lblMailserver =
        MakeLabel(*this, "lblMailserver", QStringLiteral("Mail Server :"), {8, 32, 113, 17});
    txtMailserver = MakeTextBox(*this, "txtMailserver", {128, 32, 105, 19});
    lblProtocol = MakeLabel(*this, "lblProtocol", QStringLiteral("Protocol :"), {8, 56, 113, 17});
    cboProtocol = new QComboBox(this);
    cboProtocol->setObjectName(QStringLiteral("cboProtocol"));
    cboProtocol->setGeometry(128, 56, 105, 19);
    cboProtocol->addItem(QStringLiteral("POP3"), int(Protocol::Pop3));
    cboProtocol->addItem(QStringLiteral("IMAP"), int(Protocol::Imap));
    lblSecurity = MakeLabel(*this, "lblSecurity", QStringLiteral("Security :"), {8, 80, 113, 17});
    cboSecurity = new QComboBox(this);
    cboSecurity->setObjectName(QStringLiteral("cboSecurity"));
    cboSecurity->setGeometry(128, 80, 105, 19);
    cboSecurity->addItem(QStringLiteral("TLS"), int(Security::Tls));
    cboSecurity->addItem(QStringLiteral("STARTTLS"), int(Security::StartTls));
    cboSecurity->addItem(QStringLiteral("None"), int(Security::None));
    lblUsername = MakeLabel(*this, "lblUsername", QStringLiteral("Username :"), {8, 104, 113, 17});
    txtUsername = MakeTextBox(*this, "txtUsername", {128, 104, 105, 19});
    lblSignIn = MakeLabel(*this, "lblSignIn", QStringLiteral("Sign-in :"), {8, 128, 113, 17});
    cboSignIn = new QComboBox(this);
    cboSignIn->setObjectName(QStringLiteral("cboSignIn"));
    cboSignIn->setGeometry(128, 128, 105, 19);
    cboSignIn->addItem(QStringLiteral("Password"));
    lblPassword = MakeLabel(*this, "lblPassword", QStringLiteral("Password :"), {8, 152, 113, 17});
    cmdEditPassword =
        MakeButton(*this, "cmdEditPassword", QStringLiteral("Set Password"), {128, 152, 105, 19});
    cmdSignIn = MakeButton(*this, "cmdSignIn", SignInButton, {8, 152, 113, 19});
    lblSignedIn = MakeLabel(*this, "lblSignedIn", NotSignedInText, {128, 152, 105, 17});
    cmdSignIn->hide();
    lblSignedIn->hide();
    cmdOk = MakeButton(*this, "cmdOk", QStringLiteral("Please Set Password"), {8, 176, 113, 33});
    cmdCancel = MakeButton(*this, "cmdCancel", QStringLiteral("Cancel"), {120, 176, 113, 33});
    // A screen reader names each field by its label, not by what it holds.
    for (const auto& [label, control] : {std::pair<QLabel*, QWidget*>{lblScreenname, txtScreenname},
                                         {lblMailserver, txtMailserver},
                                         {lblProtocol, cboProtocol},
                                         {lblSecurity, cboSecurity},
                                         {lblUsername, txtUsername},
                                         {lblSignIn, cboSignIn},
                                         {lblPassword, cmdEditPassword}}) {
        label->setBuddy(control);
        if (qobject_cast<QPushButton*>(control) == nullptr) // a button is named by its text
            control->setAccessibleName(label->text().remove(QStringLiteral(" :")));
    }
    cmdTest = MakeButton(*this, "cmdTest", QStringLiteral("Test"), {8, 216, 225, 25});
    cmdTest->setEnabled(false);
    setTabOrder(txtScreenname, txtMailserver);
    setTabOrder(txtMailserver, cboProtocol);
    setTabOrder(cboProtocol, cboSecurity);
    setTabOrder(cboSecurity, txtUsername);
    setTabOrder(txtUsername, cboSignIn);
    setTabOrder(cboSignIn, cmdEditPassword);
    setTabOrder(cmdEditPassword, cmdSignIn);
    setTabOrder(cmdSignIn, cmdOk);
    setTabOrder(cmdOk, cmdCancel);
    setTabOrder(cmdCancel, cmdTest);
    MakeQuietHoursBlock(248);
    MakeOpenWithRow(368);

    connect(cmdEditPassword, &QPushButton::clicked, this, &EditUserWindow::EditPasswordClicked);
    connect(cmdSignIn, &QPushButton::clicked, this, &EditUserWindow::SignInClicked);
    connect(cboSignIn, &QComboBox::activated, this, [this] {
        signInChosen_ = true;
        SignInChosen();
    });
    connect(cmdOk, &QPushButton::clicked, this, &EditUserWindow::OkClicked);
    connect(cmdCancel, &QPushButton::clicked, this, &EditUserWindow::DoCancel);
    connect(cmdTest, &QPushButton::clicked, this, &EditUserWindow::TestClicked);
    connect(txtMailserver, &QLineEdit::textEdited, this, &EditUserWindow::ServerEdited);
    connect(cboSecurity, &QComboBox::currentIndexChanged, this, &EditUserWindow::SecurityChosen);
    connect(cboProtocol, &QComboBox::currentIndexChanged, this, &EditUserWindow::ProtocolChosen);
}

Settings& EditUserWindow::Table() const {
    return copy_ ? copy_->table : settings_;
}

bool EditUserWindow::ShowForm(int& UserNum, QWidget* owner, bool signInLost) {
    if (isVisible()) // already open: one user at a time
        return false;
    Settings& table = Table();
    if (UserNum == -1) {
        if (!CanAddUser(table) || !RoomForAnotherUser(table)) {
            dialogs_.Message(TableFullMessage);
            return false;
        }
        txtScreenname->clear();
        txtUsername->clear();
        txtMailserver->clear();
        ShowScheme(Protocol::Pop3, Security::Tls);
        NewPassword.clear();
        cmdEditPassword->setText(QStringLiteral("Set Password"));
        cmdOk->setEnabled(false);
        cmdOk->setText(QStringLiteral("Please Set Password"));
        setWindowTitle(QStringLiteral("Add User"));
    } else {
        if (!table.IsUser(UserNum))
            return false;
        const UserRecord& user = table.Users[UserNum];
        txtScreenname->setText(user.ScreenName);
        txtUsername->setText(user.Username);
        // The field shows the server without its scheme; the drop-down shows the scheme.
        const ServerParse server = ParseServerAddress(user.MailServer);
        txtMailserver->setText(HostAndPort(user.MailServer));
        ShowScheme(server.ok ? server.address.protocol : Protocol::Pop3,
                   server.ok ? server.address.security : Security::None);
        NewPassword = user.Password;
        // None yet: its item is gone from the keyring (or not read yet).
        cmdEditPassword->setText(NewPassword.isEmpty() ? QStringLiteral("Set Password")
                                                       : QStringLiteral("Edit Password"));
        cmdOk->setEnabled(true);
        cmdOk->setText(QStringLiteral("Ok"));
        setWindowTitle(QStringLiteral("Edit User"));
    }
    {
        const quint64 id = UserNum == -1 ? 0 : table.Users[UserNum].Id;
        const SideFile::Fields fields = id == 0             ? SideFile::Fields{}
                                        : copy_             ? copy_->fields[id]
                                        : signInAccess_.get ? signInAccess_.get(id)
                                                            : SideFile::Fields{};
        const QSignalBlocker blocker(cboSignIn);
        signInLost_ = signInLost && id != 0;
        passwordSet_ = false;
        const QString how = SignInProviderOf(fields);
        const int chosen = cboSignIn->findText(how == CommandSignIn ? CommandItem : how);
        cboSignIn->setCurrentIndex(SignInProviderOf(fields).isEmpty() || chosen < 0 ? 0 : chosen);
        signInChosen_ = id != 0; // an existing mailbox keeps how it signs in
        ownClientId_ = OwnClientIdOf(fields);
        account_.clear();
        accessToken_.clear();
        ShowSignInState();
    }
    {
        const quint64 id = UserNum == -1 ? 0 : table.Users[UserNum].Id;
        if (id == 0)
            ShowQuietHours(QuietHours{});
        else if (copy_)
            ShowQuietHours(QuietHours::FromFields(copy_->fields[id]));
        else
            ShowQuietHours(quietAccess_.get ? quietAccess_.get(id) : QuietHours{});
    }
    {
        const quint64 id = UserNum == -1 ? 0 : table.Users[UserNum].Id;
        const SideFile::Fields none;
        const SideFile::Fields& fields = id != 0 && copy_ ? copy_->fields[id] : none;
        QString openWith;
        for (const auto& [name, value] : fields)
            if (name == OpenWithField)
                openWith = value;
        txtOpenWith->setText(openWith);
        const QString client = mailClient_ ? mailClient_() : QString();
        lblOpenWithNote->setText(
            client.isEmpty() ? QStringLiteral("Empty: none, this desktop has no mail client")
                             : QStringLiteral("Empty: the mail client, ") + client);
        lblOpenWithNote->setToolTip(lblOpenWithNote->text());
    }
    Cancelled = false;
    accepted_ = false;
    passwordSet_ = false;
    EditUserNum = UserNum;
    // Led here by a lost sign-in: the button is one key away, the browser opens only when asked.
    if (signInLost_ && cmdSignIn->isVisibleTo(this))
        cmdSignIn->setFocus();
    else
        txtScreenname->setFocus();
    if (!placed_) {
        CentreOver(*this, owner ? owner : parentWidget());
        placed_ = true;
    }
    RunModal(*this, owner);

    const UserEntry entry = Entries();
    NewPassword.clear(); // the hidden window keeps no password
    const std::optional<OAuthProvider> provider = ChosenProvider();
    const bool commandChosen = CommandChosen();
    const QString accessToken = std::exchange(accessToken_, QString());
    if (Cancelled || !accepted_)
        return false;
    quint64 id = 0;
    if (!StoreUserEntry(table, UserNum, entry, &id)) {
        if (UserNum == -1)
            dialogs_.Message(TableFullMessage);
        return false;
    }
    const QString providerName = provider        ? provider->name
                                 : commandChosen ? CommandSignIn
                                                 : QString();
    if (copy_) {
        copy_->edited.insert(id);
        if (passwordSet_)
            copy_->newPassword.insert(id);
        EnteredQuietHours().ToFields(copy_->fields[id]);
        SetSignInProvider(copy_->fields[id], providerName, ownClientId_);
        UserRecord record = table.Users[table.IndexOfId(id)];
        const QString openWith = txtOpenWith->text().trimmed();
        Account{record, copy_->fields[id]}.SetField(
            OpenWithField, openWith.isEmpty() ? std::nullopt : std::optional(openWith));
    } else {
        if (quietAccess_.put)
            quietAccess_.put(id, EnteredQuietHours());
        if (signInAccess_.put)
            signInAccess_.put(id, providerName, ownClientId_);
    }
    if (provider && passwordSet_ && !accessToken.isEmpty() && signInAccess_.signedIn)
        signInAccess_.signedIn(id, accessToken, accessExpiresIn_, entry.Password);
    return true;
}

void EditUserWindow::SetMailboxTest(const MailboxTest* test) {
    mailboxTest_ = test;
    cmdTest->setEnabled(test != nullptr);
}

namespace {
// `text` with `path` begun on a line of its own: a message box breaks a line after any "/",
// which would cut the path where it is to be read and copied.
QString PathOnItsLine(QString text, const QString& path) {
    if (path.isEmpty())
        return text;
    for (const QString& form : {path, QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())})
        text.replace(QLatin1Char(' ') + form, QStringLiteral("\r\n") + form);
    return text;
}
} // namespace

void EditUserWindow::TestClicked() {
    if (!mailboxTest_)
        return;
    const Dialogs::OpenedFrom from(dialogs_, this);
    const UserEntry entry = Entries();
    cmdTest->setEnabled(false); // one test at a time; the window answers meanwhile
    bool trusted = false;
    std::optional<QString> bearer;
    if (ChosenProvider() || CommandChosen()) {
        QString error;
        bearer = TestToken(error);
        if (!bearer) {
            dialogs_.Message(TestFailedMessage + QStringLiteral("\r\n") + error);
            cmdTest->setEnabled(true);
            return;
        }
    }
    for (;;) {
        const MailboxTestResult result =
            mailboxTest_->Run(entry.MailServer, entry.Username, entry.Password, bearer);
        if (result.passed) {
            dialogs_.Message(TestPassedMessage.arg(MessagesText(result.count)));
            break;
        }
        const QString failed = TestFailedMessage + QStringLiteral("\r\n") + result.failure;
        // Offered once: a certificate still refused after it was added is not the file's.
        if (!result.trustable || trusted) {
            dialogs_.Message(PathOnItsLine(failed, mailboxTest_->CaFile()));
            break;
        }
        const QString question =
            failed + QStringLiteral("\r\n\r\n") + MailboxTest::Describe(*result.trustable) +
            QStringLiteral("\r\n\r\nTrust it only if its SHA-256 fingerprint is the one the "
                           "server's owner gives. It is added to %1.")
                .arg(mailboxTest_->CaFile());
        if (dialogs_.Choose(PathOnItsLine(question, mailboxTest_->CaFile()),
                            {QStringLiteral("Ok"), TrustButton}) != 1)
            break;
        QString error;
        if (!MailboxTest::Trust(*result.trustable, mailboxTest_->CaFile(), &error)) {
            dialogs_.Message(QStringLiteral("The certificate could not be added to %1: %2")
                                 .arg(mailboxTest_->CaFile(), error));
            break;
        }
        trusted = true; // and the check again, now with the certificate trusted
    }
    cmdTest->setEnabled(true);
}

void EditUserWindow::DoCancel() {
    Cancelled = true;
    hide();
}

void EditUserWindow::EditPasswordClicked() {
    const QString password = password_.GetNewPass(this);
    if (password.isEmpty())
        return;
    NewPassword = password;
    passwordSet_ = true;
    cmdEditPassword->setText(QStringLiteral("Edit Password"));
    cmdOk->setEnabled(true);
    cmdOk->setText(QStringLiteral("Ok"));
}

void EditUserWindow::OkClicked() {
    QStringList messages =
        ValidateUserEntries(Table(), EditUserNum, Entries()) + ValidateQuietHours();
    // A refresh token can pass a kilobyte: where the file has no room for it, the keyring has.
    if (ChosenProvider() &&
        !messages.filter(QStringLiteral("that the settings file can hold")).isEmpty())
        messages << QStringLiteral("The sign-in does not fit into the settings file: choose "
                                   "\"Keep Passwords in the Keyring\" in the setup window, and "
                                   "sign in again.");
    if (const QString problem = OpenWithProblem(txtOpenWith->text()); !problem.isEmpty())
        messages << problem;
    if (!messages.isEmpty()) {
        const Dialogs::OpenedFrom from(dialogs_, this);
        dialogs_.Message(messages.join(QStringLiteral("\r\n")));
        return;
    }
    accepted_ = true;
    hide();
}

UserEntry EditUserWindow::Entries() const {
    // The drop-down writes the scheme; a text that does not parse is kept for the checks to
    // name what is wrong with it.
    const auto protocol = Protocol(cboProtocol->currentData().toInt());
    const auto security = Security(cboSecurity->currentData().toInt());
    QString server = txtMailserver->text();
    const QString full = FullServerText(protocol, security);
    if (ParseServerAddress(full).ok)
        server = ServerText(protocol, security, HostAndPort(full));
    return UserEntry{txtScreenname->text(), server, txtUsername->text(), NewPassword};
}

QString EditUserWindow::FullServerText(Protocol protocol, Security security) const {
    const QString text = txtMailserver->text();
    return text.contains(QLatin1String("://")) ? text : ServerText(protocol, security, text);
}

void EditUserWindow::ShowScheme(Protocol protocol, Security security) {
    const QSignalBlocker protocolBlocker(cboProtocol);
    const QSignalBlocker securityBlocker(cboSecurity);
    shownProtocol_ = int(protocol);
    shownSecurity_ = int(security);
    cboProtocol->setCurrentIndex(cboProtocol->findData(shownProtocol_));
    cboSecurity->setCurrentIndex(cboSecurity->findData(shownSecurity_));
}

void EditUserWindow::ServerEdited(const QString& text) {
    // A scheme typed or pasted into the field sets the drop-downs.
    const ServerParse server = ParseServerAddress(text);
    if (server.ok && server.address.hasScheme)
        ShowScheme(server.address.protocol, server.address.security);
    ProposeProvider();
}

void EditUserWindow::SetSignInAccess(SignInAccess access) {
    signInAccess_ = std::move(access);
    const QSignalBlocker blocker(cboSignIn);
    while (cboSignIn->count() > 1)
        cboSignIn->removeItem(1);
    for (const OAuthProvider& provider : signInAccess_.providers)
        cboSignIn->addItem(provider.name);
    cboSignIn->addItem(CommandItem);
}

bool EditUserWindow::CommandChosen() const {
    return cboSignIn->count() > 1 && cboSignIn->currentIndex() == cboSignIn->count() - 1;
}

std::optional<OAuthProvider> EditUserWindow::ChosenProvider() const {
    const int index = cboSignIn->currentIndex() - 1;
    if (index < 0 || index >= signInAccess_.providers.size())
        return std::nullopt;
    OAuthProvider provider = signInAccess_.providers[index];
    if (provider.NeedsClientId())
        provider.clientId = ownClientId_;
    return provider;
}

void EditUserWindow::ProposeProvider() {
    if (signInChosen_)
        return;
    const ServerParse server =
        ParseServerAddress(FullServerText(Protocol(cboProtocol->currentData().toInt()),
                                          Security(cboSecurity->currentData().toInt())));
    const OAuthProvider* provider =
        server.ok ? ProviderForHost(signInAccess_.providers, server.address.host) : nullptr;
    const int index = provider ? cboSignIn->findText(provider->name) : 0;
    if (index != cboSignIn->currentIndex()) {
        const QSignalBlocker blocker(cboSignIn);
        cboSignIn->setCurrentIndex(index);
        SignInChosen();
    }
}

void EditUserWindow::SignInChosen() {
    // A password is no sign-in and a sign-in no password: the other way starts afresh.
    NewPassword.clear();
    passwordSet_ = false;
    account_.clear();
    accessToken_.clear();
    ShowSignInState();
}

void EditUserWindow::ShowSignInState() {
    const bool withProvider = cboSignIn->currentIndex() > 0;
    lblPassword->setVisible(!withProvider);
    cmdEditPassword->setVisible(!withProvider);
    cmdSignIn->setVisible(withProvider);
    lblSignedIn->setVisible(withProvider);
    const bool ready = !NewPassword.isEmpty();
    cmdSignIn->setText(CommandChosen() ? QStringLiteral("Set Command\u2026") : SignInButton);
    if (CommandChosen()) {
        lblSignedIn->setText(ready ? QStringLiteral("Command set") : QStringLiteral("No command"));
        lblSignedIn->setToolTip(lblSignedIn->text());
    } else if (withProvider) {
        lblSignedIn->setText(!ready || (signInLost_ && !passwordSet_) ? NotSignedInText
                             : account_.isEmpty()
                                 ? SignedInText
                                 : SignedInText + QStringLiteral(" as ") + account_);
        lblSignedIn->setToolTip(lblSignedIn->text());
        cmdSignIn->setAccessibleDescription(lblSignedIn->text());
    } else {
        cmdEditPassword->setText(ready ? QStringLiteral("Edit Password")
                                       : QStringLiteral("Set Password"));
    }
    cmdOk->setEnabled(ready);
    cmdOk->setText(ready             ? QStringLiteral("Ok")
                   : CommandChosen() ? QStringLiteral("Please Set Command")
                   : withProvider    ? QStringLiteral("Please Sign In")
                                     : QStringLiteral("Please Set Password"));
}

void EditUserWindow::SignInClicked() {
    if (CommandChosen()) {
        // The command is kept where a password is: it may name a secret.
        const Dialogs::OpenedFrom from(dialogs_, this);
        const std::optional<QString> entered = dialogs_.Input(
            QStringLiteral("The command that prints an access token (run without a shell):"),
            NewPassword);
        if (!entered || entered->trimmed().isEmpty())
            return;
        NewPassword = entered->trimmed();
        passwordSet_ = true;
        ShowSignInState();
        return;
    }
    std::optional<OAuthProvider> provider = ChosenProvider();
    if (!provider)
        return;
    const Dialogs::OpenedFrom from(dialogs_, this);
    if (provider->clientId.isEmpty()) {
        const std::optional<QString> entered = dialogs_.Input(
            signInAccess_.providers[cboSignIn->currentIndex() - 1].Unavailable(), ownClientId_);
        if (!entered || entered->trimmed().isEmpty())
            return;
        ownClientId_ = entered->trimmed();
        provider->clientId = ownClientId_;
    }
    if (!signInWindow_)
        signInWindow_ = new SignInWindow(signInAccess_.openUrl, this);
    QString error;
    const std::optional<TokenReply> reply =
        signInWindow_->Run(*provider, txtUsername->text(), error, this);
    if (!reply) {
        if (!error.isEmpty())
            dialogs_.Message(QStringLiteral("Tarnwick is not signed in to %1.\r\n%2")
                                 .arg(provider->name, error));
        return;
    }
    NewPassword = reply->refreshToken;
    passwordSet_ = true;
    account_ = reply->account;
    accessToken_ = reply->accessToken;
    accessExpiresIn_ = reply->expiresInSeconds;
    ShowSignInState();
}

std::optional<QString> EditUserWindow::TestToken(QString& error) {
    if (!accessToken_.isEmpty())
        return accessToken_;
    if (CommandChosen()) {
        TokenCommand command;
        std::optional<QString> token;
        bool done = false;
        QEventLoop loop;
        command.Run(NewPassword, [&](const std::optional<QString>& got, const QString& why) {
            token = got;
            error = why;
            done = true;
            loop.quit();
        });
        if (!done)
            loop.exec();
        return token;
    }
    const std::optional<OAuthProvider> provider = ChosenProvider();
    if (!provider || NewPassword.isEmpty()) {
        error = QStringLiteral("Sign in first.");
        return std::nullopt;
    }
    TokenClient client;
    std::optional<TokenReply> got;
    QEventLoop loop;
    client.Refresh(*provider, NewPassword, [&](const TokenReply& reply) {
        got = reply;
        loop.quit();
    });
    if (!got)
        loop.exec();
    if (got->kind != TokenReply::Kind::Ok) {
        error = got->Text();
        return std::nullopt;
    }
    return got->accessToken;
}

void EditUserWindow::SecurityChosen() {
    // The drop-down now holds the choice: a scheme in the field would only contradict it.
    // The old mode's standard port goes with the old mode.
    const Security previous =
        Security(std::exchange(shownSecurity_, cboSecurity->currentData().toInt()));
    const QString full = FullServerText(Protocol(shownProtocol_), previous);
    if (ParseServerAddress(full).ok)
        txtMailserver->setText(HostAndPort(WithSecurity(full, Security(shownSecurity_))));
}

void EditUserWindow::ProtocolChosen() {
    // As for the security: the old protocol's standard port goes with it.
    const Protocol previous =
        Protocol(std::exchange(shownProtocol_, cboProtocol->currentData().toInt()));
    const QString full = FullServerText(previous, Security(shownSecurity_));
    if (ParseServerAddress(full).ok)
        txtMailserver->setText(HostAndPort(WithProtocol(full, Protocol(shownProtocol_))));
}

void EditUserWindow::reject() {
    DoCancel();
}

void EditUserWindow::closeEvent(QCloseEvent* event) {
    Trace(QStringLiteral("frmEditAdd QueryUnload"));
    Trace(QStringLiteral("frmEditAdd QueryUnload - DoCancel"));
    DoCancel();
    Trace(QStringLiteral("frmEditAdd QueryUnload"));
    placed_ = false; // the next use places the window afresh
    event->accept();
}

void EditUserWindow::MakeQuietHoursBlock(int top) {
    // On the forms' 8-pixel grid; the days in three columns, Monday to Wednesday first.
    chkQuietHours =
        MakeCheckBox(*this, "chkQuietHours", QStringLiteral("Quiet Hours"), {8, top, 225, 17});
    lblQuietFrom =
        MakeLabel(*this, "lblQuietFrom", QStringLiteral("Quiet From :"), {8, top + 24, 64, 17});
    txtQuietFrom = MakeTextBox(*this, "txtQuietFrom", {72, top + 24, 41, 19});
    lblQuietTo =
        MakeLabel(*this, "lblQuietTo", QStringLiteral("Quiet To :"), {128, top + 24, 56, 17});
    txtQuietTo = MakeTextBox(*this, "txtQuietTo", {184, top + 24, 49, 19});
    lblQuietFormat = MakeLabel(*this, "lblQuietFormat", QStringLiteral("HH:MM, 24-hour; on :"),
                               {8, top + 48, 225, 17});
    static const char* const names[] = {"chkMonday", "chkTuesday",  "chkWednesday", "chkThursday",
                                        "chkFriday", "chkSaturday", "chkSunday"};
    static const char* const captions[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                           "Friday", "Saturday", "Sunday"};
    for (int day = 0; day < 7; ++day)
        chkQuietDays[day] =
            MakeCheckBox(*this, names[day], QString::fromLatin1(captions[day]),
                         {8 + (day / 3) * 80, top + 64 + (day % 3) * 16, day < 6 ? 80 : 65, 17});
    for (const auto& [label, field] :
         {std::pair{lblQuietFrom, txtQuietFrom}, std::pair{lblQuietTo, txtQuietTo}}) {
        label->setBuddy(field);
        field->setAccessibleName(label->text().remove(QStringLiteral(" :")));
        field->setMaxLength(5);
        field->setPlaceholderText(QStringLiteral("HH:MM"));
    }
    chkQuietHours->setAccessibleName(chkQuietHours->text());
    QWidget* previous = cmdTest;
    for (QWidget* next : std::initializer_list<QWidget*>{chkQuietHours, txtQuietFrom, txtQuietTo}) {
        setTabOrder(previous, next);
        previous = next;
    }
    for (QCheckBox* day : chkQuietDays) {
        day->setAccessibleName(day->text());
        setTabOrder(previous, day);
        previous = day;
    }
    connect(chkQuietHours, &QCheckBox::toggled, this, &EditUserWindow::QuietHoursToggled);
}

void EditUserWindow::MakeOpenWithRow(int top) {
    lblOpenWith = MakeLabel(*this, "lblOpenWith", QStringLiteral("Open With :"), {8, top, 64, 17});
    txtOpenWith = MakeTextBox(*this, "txtOpenWith", {72, top, 161, 19});
    lblOpenWithNote = MakeLabel(*this, "lblOpenWithNote", QString(), {8, top + 24, 225, 17});
    txtOpenWith->setMaxLength(2000);
    txtOpenWith->setPlaceholderText(QStringLiteral("web address or command"));
    lblOpenWith->setBuddy(txtOpenWith);
    txtOpenWith->setAccessibleName(QStringLiteral("Open With"));
    setTabOrder(chkQuietDays.back(), txtOpenWith);
}

void EditUserWindow::ShowQuietHours(const QuietHours& hours) {
    chkQuietHours->setChecked(hours.On);
    txtQuietFrom->setText(hours.From.toString(QStringLiteral("HH:mm")));
    txtQuietTo->setText(hours.To.toString(QStringLiteral("HH:mm")));
    for (int day = 0; day < 7; ++day)
        chkQuietDays[day]->setChecked(hours.OnDay(day + 1));
    QuietHoursToggled();
}

void EditUserWindow::QuietHoursToggled() {
    const bool on = chkQuietHours->isChecked();
    for (QWidget* control : std::initializer_list<QWidget*>{lblQuietFrom, txtQuietFrom, lblQuietTo,
                                                            txtQuietTo, lblQuietFormat})
        control->setEnabled(on);
    for (QCheckBox* day : chkQuietDays)
        day->setEnabled(on);
}

QuietHours EditUserWindow::EnteredQuietHours() const {
    QuietHours hours;
    hours.On = chkQuietHours->isChecked();
    // Switched off, times that cannot be read keep what was there.
    if (const QTime from = ParseTimeOfDay(txtQuietFrom->text()); from.isValid())
        hours.From = from;
    if (const QTime to = ParseTimeOfDay(txtQuietTo->text()); to.isValid())
        hours.To = to;
    hours.Days = 0;
    for (int day = 0; day < 7; ++day)
        if (chkQuietDays[day]->isChecked())
            hours.Days |= quint8(1 << day);
    return hours;
}

QStringList EditUserWindow::ValidateQuietHours() const {
    QStringList messages;
    if (!chkQuietHours->isChecked())
        return messages;
    for (const QLineEdit* field : {txtQuietFrom, txtQuietTo})
        if (!ParseTimeOfDay(field->text()).isValid())
            messages << QuietTimeMessage.arg(field->accessibleName());
    return messages;
}
