#pragma once

#include "check/OAuthClient.h"

#include <QDialog>
#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

// One OAuth 2.0 sign-in: the browser is sent to the provider's page, its redirect comes back to
// a one-shot listener on loopback, and the code is exchanged for tokens at once. The address
// is shown to copy, for when no browser opens.
class SignInWindow final : public QDialog {
    Q_OBJECT
public:
    // Opens an address in the desktop's browser (QDesktopServices::openUrl in the program).
    using OpenUrl = std::function<bool(const QUrl& url)>;

    explicit SignInWindow(OpenUrl openUrl, QWidget* parent = nullptr);

    // The tokens of a sign-in to `provider` as `loginHint`, or nothing: then `error` says
    // why in plain words (empty when the user cancelled).
    std::optional<TokenReply> Run(const OAuthProvider& provider, const QString& loginHint,
                                  QString& error, QWidget* owner = nullptr);

protected:
    void reject() override;

private:
    void Finish(std::optional<TokenReply> reply, const QString& error);

    OpenUrl openUrl_;
    TokenClient client_;
    QLabel* lblSignInText = nullptr;
    QLineEdit* txtSignInUrl = nullptr;
    QPushButton* cmdSignInCancel = nullptr;
    std::optional<TokenReply> reply_;
    QString error_;
    bool running_ = false;
};
