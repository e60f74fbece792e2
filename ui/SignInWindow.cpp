#include "SignInWindow.h"

#include "DialogFrame.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>

SignInWindow::SignInWindow(OpenUrl openUrl, QWidget* parent)
    : QDialog(parent), openUrl_(std::move(openUrl)), client_(this) {
    setObjectName(QStringLiteral("frmSignIn"));
    SetFixedFrame(*this, QStringLiteral("Sign In"), 321, 113);
    lblSignInText = MakeLabel(*this, "lblSignInText", QString(), {8, 8, 305, 49});
    lblSignInText->setWordWrap(true);
    txtSignInUrl = MakeTextBox(*this, "txtSignInUrl", {8, 56, 305, 19});
    txtSignInUrl->setReadOnly(true);
    txtSignInUrl->setAccessibleName(QStringLiteral("Sign-in address"));
    cmdSignInCancel =
        MakeButton(*this, "cmdSignInCancel", QStringLiteral("Cancel"), {208, 80, 105, 25});
    connect(cmdSignInCancel, &QPushButton::clicked, this, &SignInWindow::reject);
}

std::optional<TokenReply> SignInWindow::Run(const OAuthProvider& provider, const QString& loginHint,
                                            QString& error, QWidget* owner) {
    reply_.reset();
    error_.clear();
    // The verifier and the state guard the sign-in: from the system's generator for secrets.
    const Authorization authorization = Authorization::Make(*QRandomGenerator::system());
    RedirectListener listener(authorization.state);
    if (!listener.Listen()) {
        error = QStringLiteral("Tarnwick could not listen on 127.0.0.1 for the browser's answer.");
        return std::nullopt;
    }
    const QUrl redirect = listener.RedirectUrl();
    const QUrl url = AuthorizationUrl(provider, authorization, redirect, loginHint);
    connect(&listener, &RedirectListener::Failed, this,
            [this](const QString& why) { Finish(std::nullopt, why); });
    connect(&listener, &RedirectListener::CodeReceived, this, [&](const QByteArray& code) {
        lblSignInText->setText(
            QStringLiteral("Signed in at %1; asking for the tokens...").arg(provider.name));
        client_.ExchangeCode(provider, code, authorization, redirect,
                             [this, alive = QPointer<SignInWindow>(this)](const TokenReply& r) {
                                 if (!alive || !running_)
                                     return;
                                 if (r.kind != TokenReply::Kind::Ok)
                                     Finish(std::nullopt, r.Text());
                                 else if (r.refreshToken.isEmpty())
                                     Finish(std::nullopt,
                                            QStringLiteral("The provider gave no refresh token: "
                                                           "Tarnwick could not sign in later "
                                                           "without the browser."));
                                 else
                                     Finish(r, QString());
                             });
    });
    SetFittedText(*lblSignInText,
                  QStringLiteral("Sign in to %1 in your browser. If no browser opens, copy this "
                                 "address into one:")
                      .arg(provider.name));
    txtSignInUrl->setText(url.toString(QUrl::FullyEncoded));
    txtSignInUrl->setCursorPosition(0);
    running_ = true;
    if (openUrl_ && !openUrl_(url))
        lblSignInText->setText(QStringLiteral("No browser opened. Copy this address into one "
                                              "to sign in to %1:")
                                   .arg(provider.name));
    RunModal(*this, owner);
    running_ = false;
    listener.Close();
    txtSignInUrl->clear();
    error = error_;
    return std::exchange(reply_, std::nullopt);
}

void SignInWindow::Finish(std::optional<TokenReply> reply, const QString& error) {
    if (!running_)
        return;
    running_ = false;
    reply_ = std::move(reply);
    error_ = error;
    hide();
}

void SignInWindow::reject() {
    Finish(std::nullopt, QString()); // Cancel, Esc, the close control
}
