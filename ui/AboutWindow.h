#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// frmAbout: version and credits.
class AboutWindow final : public QDialog {
    Q_OBJECT

public:
    static inline const QString Version = QStringLiteral(TARNWICK_VERSION);

    explicit AboutWindow(QWidget* parent = nullptr);

    // Sets the version and shows the window, blocking `owner` (see RunModal); returns when it
    // has been hidden or closed. Already open, it is brought to the front instead.
    void DoAbout(QWidget* owner = nullptr);
    // The same without waiting for the window to close: nothing follows it, and a caller that
    // waited would hold back every window opened meanwhile (see RunModal).
    void Open(QWidget* owner = nullptr);

protected:
    void reject() override; // Esc presses "Ok"
    void closeEvent(QCloseEvent* event) override;

private:
    // False when the window is open already: then it has been brought to the front.
    bool Prepare(QWidget* owner);

    bool placed_ = false;
    QLabel* lblCreator = nullptr;
    QLabel* lblVers = nullptr;
    QLabel* lblEMail = nullptr;
    QLabel* lblWeb = nullptr;
    QLabel* lblCopyright = nullptr;
    QPushButton* cmdOk = nullptr;
};
