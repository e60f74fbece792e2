#include "PasswordWindow.h"

#include "DialogFrame.h"
#include "core/Trace.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

PasswordWindow::PasswordWindow(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmPassword"));
    SetFixedFrame(*this, QStringLiteral("Set Password"), 185, 73);

    lblPassword = MakeLabel(*this, "lblPassword", QStringLiteral("Password :"), {8, 8, 57, 17});
    txtPassword = MakeTextBox(*this, "txtPassword", {72, 8, 105, 19});
    txtPassword->setEchoMode(QLineEdit::Password);
    lblPassword->setBuddy(txtPassword); // a screen reader names the field by its label
    txtPassword->setAccessibleName(QStringLiteral("Password"));
    // Every character shows as "*", whatever the style's own mask character is.
    txtPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    txtPassword->setAttribute(Qt::WA_InputMethodEnabled, false);
    txtPassword->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData |
                                     Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    cmdOk = MakeButton(*this, "cmdOk", QStringLiteral("Ok"), {8, 32, 81, 33});
    cmdOk->setEnabled(false);
    cmdOk->setDefault(true); // Return presses "Ok" once there is a password to take
    cmdCancel = MakeButton(*this, "cmdCancel", QStringLiteral("Cancel"), {96, 32, 81, 33});
    setTabOrder(txtPassword, cmdOk);
    setTabOrder(cmdOk, cmdCancel);

    connect(txtPassword, &QLineEdit::textChanged, this, &PasswordWindow::TextChanged);
    connect(cmdOk, &QPushButton::clicked, this, &PasswordWindow::OkClicked);
    connect(cmdCancel, &QPushButton::clicked, this, &PasswordWindow::CancelClicked);
}

QString PasswordWindow::GetNewPass(QWidget* owner) {
    if (isVisible()) // already asking: one question at a time
        return QString();
    Cancelled = true;
    txtPassword->clear();
    TextChanged(); // clear() reports no change when the field was already empty
    txtPassword->setFocus();
    if (!placed_) {
        CentreOver(*this, owner ? owner : parentWidget());
        placed_ = true;
    }
    RunModal(*this, owner);
    const QString password = Cancelled ? QString() : txtPassword->text();
    txtPassword->clear(); // the hidden window keeps no password
    return password;
}

void PasswordWindow::TextChanged() {
    cmdOk->setEnabled(!txtPassword->text().isEmpty());
}

void PasswordWindow::OkClicked() {
    Cancelled = false;
    hide();
}

void PasswordWindow::CancelClicked() {
    hide();
}

void PasswordWindow::reject() {
    CancelClicked();
}

void PasswordWindow::closeEvent(QCloseEvent* event) {
    Trace(QStringLiteral("frmPassword QueryUnload"));
    Trace(QStringLiteral("frmPassword Unload"));
    placed_ = false; // the next use places the window afresh
    event->accept();
}
