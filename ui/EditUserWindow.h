#pragma once

#include "check/ServerAddress.h"
#include "core/OAuthProviders.h"
#include "core/QuietHours.h"

#include <QDialog>
#include <array>
#include <functional>

class Dialogs;
class MailboxTest;
class PasswordWindow;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class Settings;
class SignInWindow;
struct AccountsCopy;
struct UserEntry;

// frmEditAdd: adds one user or edits one. The table changes only on a valid "Ok", and is
// sorted again afterwards. The password is never shown here; it comes from the password
// prompt.
class EditUserWindow final : public QDialog {
    Q_OBJECT

public:
    EditUserWindow(Settings& settings, Dialogs& dialogs, PasswordWindow& password,
                   QWidget* parent = nullptr);

    // -1 adds a user and sets `UserNum` to its index before the sort; otherwise edits user
    // `UserNum`. True when accepted and the table changed. Blocks `owner`, the window it is
    // opened from (see RunModal); returns when the window has closed. `signInLost`: the
    // provider no longer accepts the mailbox's sign-in; the editor opens at "Sign In\u2026".
    bool ShowForm(int& UserNum, QWidget* owner = nullptr, bool signInLost = false);
    // Edits `copy` (setup's) and marks in it what the user changed; nullptr: the table given.
    void Edit(AccountsCopy* copy) { copy_ = copy; }
    void DoCancel();
    // What "Test" checks the entered mailbox with; without one the button stays disabled.
    void SetMailboxTest(const MailboxTest* test);

    // Where the editor reads and writes a mailbox's quiet hours, by its identity; without it
    // the quiet-hours block is left alone.
    struct QuietHoursAccess {
        std::function<QuietHours(quint64)> get;
        std::function<void(quint64, const QuietHours&)> put;
    };
    void SetQuietHoursAccess(QuietHoursAccess access) { quietAccess_ = std::move(access); }
    // The name of the desktop's mail client, which an empty "Open With" starts; empty where
    // the desktop has none, which the editor says.
    void SetMailClient(std::function<QString()> name) { mailClient_ = std::move(name); }

    // What the "Sign-in" row offers and where it keeps its choice; without it the row offers
    // "Password" alone.
    struct SignInAccess {
        QList<OAuthProvider> providers;
        std::function<SideFile::Fields(quint64)> get; // the mailbox's fields
        std::function<void(quint64, const QString& provider, const QString& clientId)> put;
        std::function<bool(const QUrl&)> openUrl; // the desktop's browser
        // A sign-in was saved: its access token may serve the next check.
        std::function<void(quint64, const QString& accessToken, qint64 expiresIn,
                           const QString& refreshToken)>
            signedIn;
    };
    void SetSignInAccess(SignInAccess access);

protected:
    void reject() override;                       // Esc: "Cancel"
    void closeEvent(QCloseEvent* event) override; // the close control: also "Cancel"

private:
    void EditPasswordClicked();
    // The "Sign-in" row: the chosen provider (nothing: the password), its choice, its button.
    std::optional<OAuthProvider> ChosenProvider() const;
    void SignInChosen();
    bool CommandChosen() const;
    void SignInClicked();
    void ShowSignInState();
    void ProposeProvider();
    // An access token for "Test" with a provider: the sign-in's own, else a refreshed one.
    std::optional<QString> TestToken(QString& error);
    void OkClicked();
    // One check of the entered mailbox, its result in a message box; a certificate that only
    // lacks trust is offered for trust, and the check runs again once it is trusted.
    void TestClicked();
    UserEntry Entries() const;
    void ServerEdited(const QString& text);
    void SecurityChosen();
    void ProtocolChosen();
    void ShowScheme(Protocol protocol, Security security);
    // The field's text with its own scheme, else with that of `protocol` and `security`.
    QString FullServerText(Protocol protocol, Security security) const;

    Settings& Table() const;
    // The quiet-hours block: made, filled from `hours`, read back, checked.
    void MakeQuietHoursBlock(int top);
    void ShowQuietHours(const QuietHours& hours);
    QuietHours EnteredQuietHours() const;
    QStringList ValidateQuietHours() const;
    void QuietHoursToggled();

    Settings& settings_;
    AccountsCopy* copy_ = nullptr;
    Dialogs& dialogs_;
    PasswordWindow& password_;
    const MailboxTest* mailboxTest_ = nullptr;

    bool Cancelled = false;
    QString NewPassword;
    bool passwordSet_ = false; // the prompt gave a password this time
    bool signInLost_ = false;  // the kept sign-in is refused: not signed in until done anew
    int EditUserNum = -1;
    bool accepted_ = false; // a valid "Ok" ended the run, not something that merely hid it
    bool placed_ = false;
    int shownSecurity_ = 0; // the drop-down's choice before a change, a Security
    int shownProtocol_ = 0; // the same for the protocol

    QLabel* lblScreenname = nullptr;
    QLineEdit* txtScreenname = nullptr;
    QLabel* lblMailserver = nullptr;
    QLineEdit* txtMailserver = nullptr;
    QLabel* lblProtocol = nullptr;
    QComboBox* cboProtocol = nullptr; // "POP3", "IMAP"
    QLabel* lblSecurity = nullptr;
    QComboBox* cboSecurity = nullptr; // "TLS", "STARTTLS", "None": the scheme of the text
    QLabel* lblUsername = nullptr;
    QLineEdit* txtUsername = nullptr;
    QLabel* lblPassword = nullptr;
    QPushButton* cmdEditPassword = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;
    QPushButton* cmdTest = nullptr;

    // "Open With": a web address or command that opens the mailbox's mail, else the desktop's
    // mail client; kept in the mailbox's side-file entry.
    void MakeOpenWithRow(int top);
    std::function<QString()> mailClient_;
    QLabel* lblOpenWith = nullptr;
    QLineEdit* txtOpenWith = nullptr;
    QLabel* lblOpenWithNote = nullptr;

    QuietHoursAccess quietAccess_;
    SignInAccess signInAccess_;
    SignInWindow* signInWindow_ = nullptr;
    bool signInChosen_ = false;  // the user chose in the row (nothing is proposed then)
    QString ownClientId_;        // entered for a built-in provider this build has none for
    QString account_;            // who signed in, when the provider told
    QString accessToken_;        // the sign-in's access token, for "Test" and the first check
    qint64 accessExpiresIn_ = 0; // its life in seconds
    QLabel* lblSignIn = nullptr;
    QComboBox* cboSignIn = nullptr; // "Password", one item per provider
    QPushButton* cmdSignIn = nullptr;
    QLabel* lblSignedIn = nullptr; // "Signed in" or "Not signed in"
    QCheckBox* chkQuietHours = nullptr;
    QLabel* lblQuietFrom = nullptr;
    QLineEdit* txtQuietFrom = nullptr;
    QLabel* lblQuietTo = nullptr;
    QLineEdit* txtQuietTo = nullptr;
    QLabel* lblQuietFormat = nullptr;
    std::array<QCheckBox*, 7> chkQuietDays{}; // Monday ... Sunday
};

// Told when a quiet-hours time cannot be read.
inline const QString QuietTimeMessage =
    QStringLiteral("%1 must be a time of day as HH:MM (24-hour), such as 08:00.");

// The texts of "Test".
inline const QString TestPassedMessage =
    QStringLiteral("The check went through: the server holds %1.");
// "1 message", "2 messages".
inline QString MessagesText(qint64 count) {
    return count == 1 ? QStringLiteral("1 message") : QStringLiteral("%1 messages").arg(count);
}
inline const QString TestFailedMessage = QStringLiteral("The check failed:");
inline const QString TrustButton = QStringLiteral("Trust This Certificate");

// The sign-in row's texts.
inline const QString SignInButton = QStringLiteral("Sign In\u2026");
inline const QString SignedInText = QStringLiteral("Signed in");
inline const QString NotSignedInText = QStringLiteral("Not signed in");
// The "Sign-in" item of a token command, and the name the side file keeps for it.
inline const QString CommandItem = QStringLiteral("Command\u2026");
inline const QString CommandSignIn = QStringLiteral("Command");

// Told when an add is refused because the table is full.
inline const QString TableFullMessage =
    QStringLiteral("No more users can be added: the user list is full!");
