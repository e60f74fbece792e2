#include "DialogFrame.h"

#include "alerts/OnTop.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

namespace {
// A drop-down as a screen reader sees it: named by its accessible name (else its label), its
// current item as its value.
class NamedDropDown final : public QAccessibleWidget {
public:
    explicit NamedDropDown(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return static_cast<const QComboBox*>(widget())->currentText();
        return QAccessibleWidget::text(t);
    }
};

// Asked as the drop-down is made, before its name is set: the name is read when it is asked
// for.
QAccessibleInterface* DropDownByName(const QString& className, QObject* object) {
    auto* box =
        className == QLatin1String("QComboBox") ? qobject_cast<QComboBox*>(object) : nullptr;
    return box && !box->isEditable() ? new NamedDropDown(box) : nullptr;
}
} // namespace

void NameDropDownsByLabel() {
    // A later factory is asked first.
    QAccessible::installFactory(DropDownByName);
}

QFont WindowFont() {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(10);
    return font;
}

void SetFittedText(QLabel& label, const QString& text) {
    label.setText(text);
    // From the window's own font each time: a short text after a long one gets it back.
    QFont font = label.parentWidget() ? label.parentWidget()->font() : WindowFont();
    const int base = font.pixelSize() > 0 ? font.pixelSize() : WindowFont().pixelSize();
    constexpr int SmallestPixelSize = 6;
    for (int size = base; size >= SmallestPixelSize; --size) {
        font.setPixelSize(size);
        if (QFontMetrics(font).horizontalAdvance(text) <= label.contentsRect().width())
            break;
    }
    label.setFont(font);
}

void SetFixedFrame(QDialog& dialog, const QString& caption, int width, int height) {
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint);
    dialog.setWindowTitle(caption);
    dialog.setFixedSize(width, height);
    dialog.setSizeGripEnabled(false);
    dialog.setFont(WindowFont());
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

namespace {
// Ends a local event loop when the window it watches is hidden.
class HideWatch final : public QObject {
    Q_OBJECT

public:
    HideWatch(QWidget& window, QEventLoop& loop) : window_(window), loop_(loop) {
        window_.installEventFilter(this);
    }
    ~HideWatch() override { window_.removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && event->type() == QEvent::Hide)
            loop_.quit();
        return false;
    }

private:
    QWidget& window_;
    QEventLoop& loop_;
};
} // namespace

void OpenModal(QDialog& dialog, QWidget* owner) {
    if (owner == &dialog)
        owner = nullptr;
    // Modal to its owner only, not to the whole program (QDialog::exec): the tray icon's own
    // window must keep taking clicks while a dialog is open.
    dialog.setWindowModality(Qt::WindowModal);
    dialog.winId(); // the native window, so that it can be given its owner
    QWindow* ownerWindow = nullptr;
    if (owner) {
        owner->window()->winId();
        ownerWindow = owner->window()->windowHandle();
    }
    if (QWindow* window = dialog.windowHandle()) {
        window->setModality(Qt::WindowModal); // in case the window was created before
        window->setTransientParent(ownerWindow);
    }
    dialog.show();
    // Mapping a window again leaves it where it was in the stacking order: under the windows
    // raised while it was hidden, the owner among them.
    RaiseWindow(&dialog);
    dialog.activateWindow();
}

void RunModal(QDialog& dialog, QWidget* owner) {
    QEventLoop loop;
    const HideWatch watch(dialog, loop);
    OpenModal(dialog, owner);
    while (dialog.isVisible())
        loop.exec(QEventLoop::DialogExec);
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

#include "DialogFrame.moc"
