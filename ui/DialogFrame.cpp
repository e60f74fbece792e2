#include "DialogFrame.h"

#include <QCheckBox>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

void SetFixedFrame(QDialog& dialog, const QString& caption, int width, int height) {
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint);
    dialog.setWindowTitle(caption);
    dialog.setFixedSize(width, height);
    dialog.setSizeGripEnabled(false);
    QFont font = dialog.font();
    font.setPointSize(8);
    dialog.setFont(font);
}

QPushButton* MakeButton(QWidget& parent, const char* name, const QString& caption,
                        const QRect& rect) {
    auto* button = new QPushButton(caption, &parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(rect);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel* MakeLabel(QWidget& parent, const char* name, const QString& caption, const QRect& rect) {
    auto* label = new QLabel(caption, &parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(rect);
    label->setTextFormat(Qt::PlainText); // user texts are shown, never interpreted
    return label;
}

QLineEdit* MakeTextBox(QWidget& parent, const char* name, const QRect& rect) {
    auto* box = new QLineEdit(&parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(rect);
    return box;
}

QCheckBox* MakeCheckBox(QWidget& parent, const char* name, const QString& caption,
                        const QRect& rect) {
    auto* box = new QCheckBox(caption, &parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(rect);
    return box;
}

void RunModal(QDialog& dialog) {
    do {
        dialog.exec();
    } while (dialog.isVisible());
}

void CentreOver(QWidget& window, const QWidget* owner) {
    QRect area;
    if (owner && owner->isVisible()) {
        area = owner->window()->frameGeometry();
    } else {
        const QScreen* screen = window.screen();
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (!screen)
            return;
        area = screen->availableGeometry();
    }
    QRect frame = window.frameGeometry();
    frame.moveCenter(area.center());
    window.move(frame.topLeft());
}
