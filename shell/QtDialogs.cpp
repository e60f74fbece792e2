#include "QtDialogs.h"

#include <QInputDialog>
#include <QMessageBox>

namespace {
const QString Caption = QStringLiteral("Tarnwick");
}

void QtDialogs::Message(const QString& text) {
    QMessageBox::information(nullptr, Caption, text, QMessageBox::Ok, QMessageBox::Ok);
}

bool QtDialogs::AskYesNo(const QString& text) {
    return QMessageBox::question(nullptr, Caption, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

std::optional<QString> QtDialogs::Input(const QString& prompt, const QString& initial) {
    bool ok = false;
    const QString text =
        QInputDialog::getText(nullptr, Caption, prompt, QLineEdit::Normal, initial, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}
