#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// frmPassword: asks for a mailbox password, typed once and masked. Never shows an existing
// password, and keeps none between uses.
class PasswordWindow final : public QDialog {
    Q_OBJECT

public:
    explicit PasswordWindow(QWidget* parent = nullptr);

    // The typed password when closed with "Ok" (exactly as typed), the empty string when
    // cancelled in any way. Blocks `owner`, the window it is opened from (see RunModal); returns
    // when the window has closed.
    QString GetNewPass(QWidget* owner = nullptr);

protected:
    void reject() override;                       // Esc: "Cancel"
    void closeEvent(QCloseEvent* event) override; // the close control: also "Cancel"

private:
    void TextChanged();
    void OkClicked();
    void CancelClicked();

    bool Cancelled = true;
    bool placed_ = false;
    QLabel* lblPassword = nullptr;
    QLineEdit* txtPassword = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;
};
