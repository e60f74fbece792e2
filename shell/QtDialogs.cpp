#include "QtDialogs.h"

#include "ui/DialogFrame.h"

#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {
const QString Caption = QStringLiteral("Tarnwick");

QWidget* AsWindow(QObject* owner) {
    auto* widget = qobject_cast<QWidget*>(owner);
    return widget ? widget->window() : nullptr;
}

void SetUp(QMessageBox& box, QMessageBox::StandardButtons buttons,
           QMessageBox::StandardButton byDefault) {
    box.setDefaultButton(byDefault);
    if (buttons.testFlag(QMessageBox::No))
        box.setEscapeButton(QMessageBox::No);
}

QMessageBox::StandardButton Ask(QMessageBox::Icon icon, const QString& text,
                                QMessageBox::StandardButtons buttons,
                                QMessageBox::StandardButton byDefault, QWidget* owner) {
    QMessageBox box(icon, Caption, text, buttons);
    SetUp(box, buttons, byDefault);
    RunModal(box, owner);
    return box.standardButton(box.clickedButton());
}

// A box that nobody waits for: `answered` gets the button when it is pressed, and the box
// goes away by itself.
void AskLater(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons,
              QMessageBox::StandardButton byDefault, QWidget* owner,
              std::function<void(QMessageBox::StandardButton)> answered) {
    auto* box = new QMessageBox(icon, Caption, text, buttons);
    SetUp(*box, buttons, byDefault);
    QObject::connect(box, &QDialog::finished, box, [box, answered = std::move(answered)] {
        const QMessageBox::StandardButton button = box->standardButton(box->clickedButton());
        box->deleteLater();
        if (answered)
            answered(button);
    });
    OpenModal(*box, owner);
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
    if (!Awaited()) {
        Tell(text);
        return;
    }
    Ask(QMessageBox::Information, text, QMessageBox::Ok, QMessageBox::Ok, AsWindow(Owner()));
}

bool QtDialogs::AskYesNo(const QString& text) {
    if (headless_) {
        Print(text + QStringLiteral(" (answered Yes)"));
        return true;
    }
    return Ask(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes,
               AsWindow(Owner())) == QMessageBox::Yes;
}

void QtDialogs::AskYesNoLater(const QString& text, std::function<void(bool)> answered) {
    if (headless_) {
        Dialogs::AskYesNoLater(text, std::move(answered));
        return;
    }
    AskLater(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes,
             AsWindow(Owner()), [answered = std::move(answered)](QMessageBox::StandardButton b) {
                 if (answered)
                     answered(b == QMessageBox::Yes);
             });
}

void QtDialogs::Tell(const QString& text) {
    if (headless_) {
        Print(text);
        return;
    }
    AskLater(QMessageBox::Information, text, QMessageBox::Ok, QMessageBox::Ok, AsWindow(Owner()),
             nullptr);
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
    RunModal(box, AsWindow(Owner()));
    if (box.result() != QDialog::Accepted)
        return std::nullopt;
    return box.textValue();
}

int QtDialogs::Choose(const QString& text, const QStringList& buttons) {
    if (headless_ || buttons.isEmpty()) {
        Print(text + (buttons.isEmpty()
                          ? QString()
                          : QStringLiteral(" (answered ") + buttons.first() + QLatin1Char(')')));
        return buttons.isEmpty() ? -1 : 0;
    }
    QMessageBox box(QMessageBox::Information, Caption, text, QMessageBox::NoButton);
    QList<QPushButton*> pushed;
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        pushed << box.addButton(buttons[i],
                                i == 0 ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
        pushed.last()->setObjectName(QStringLiteral("choice%1").arg(i));
    }
    box.setDefaultButton(pushed.first());
    box.setEscapeButton(pushed.first());
    // The certificate's fingerprint and the failure texts are there to be copied.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    RunModal(box, AsWindow(Owner()));
    const qsizetype index = pushed.indexOf(qobject_cast<QPushButton*>(box.clickedButton()));
    return index < 0 ? 0 : int(index);
}
