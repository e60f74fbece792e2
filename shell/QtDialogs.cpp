#include "QtDialogs.h"

#include "ui/DialogFrame.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace {
const QString Caption = QStringLiteral("Tarnwick");

// The window a box is opened over: the dialog opened last that is still open, else the
// window the user is working in (the control centre's "Exit"), else none (the tray).
QWidget* Owner() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

QMessageBox::StandardButton Ask(QMessageBox::Icon icon, const QString& text,
                                QMessageBox::StandardButtons buttons,
                                QMessageBox::StandardButton byDefault) {
    QMessageBox box(icon, Caption, text, buttons);
    box.setDefaultButton(byDefault);
    if (buttons.testFlag(QMessageBox::No))
        box.setEscapeButton(QMessageBox::No);
    RunModal(box, Owner());
    return box.standardButton(box.clickedButton());
}
} // namespace

QtDialogs::QtDialogs() : headless_(QGuiApplication::platformName() == QLatin1String("offscreen")) {}

void QtDialogs::Print(const QString& text) const {
    QString line = text;
    line.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    std::fprintf(out_, "%s: %s\n", qPrintable(Caption), qPrintable(line));
    std::fflush(out_);
}

void QtDialogs::Message(const QString& text) {
    if (headless_) {
        Print(text);
        return;
    }
    Ask(QMessageBox::Information, text, QMessageBox::Ok, QMessageBox::Ok);
}

bool QtDialogs::AskYesNo(const QString& text) {
    if (headless_) {
        Print(text + QStringLiteral(" (answered Yes)"));
        return true;
    }
    return Ask(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
           QMessageBox::Yes;
}

std::optional<QString> QtDialogs::Input(const QString& prompt, const QString& initial) {
    if (headless_) {
        Print(prompt + QLatin1Char(' ') + initial + QStringLiteral(" (answered OK)"));
        return initial;
    }
    QInputDialog box;
    box.setWindowTitle(Caption);
    box.setLabelText(prompt);
    box.setTextValue(initial);
    box.setInputMode(QInputDialog::TextInput);
    RunModal(box, Owner());
    if (box.result() != QDialog::Accepted)
        return std::nullopt;
    return box.textValue();
}
