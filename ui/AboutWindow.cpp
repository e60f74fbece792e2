#include "AboutWindow.h"

#include "DialogFrame.h"
#include "alerts/OnTop.h"
#include "core/Trace.h"

#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace {
// The layout is drawn in twips, 15 to a pixel at 96 dots per inch.
constexpr int Px(int twips) {
    return twips / 15;
}

QRect TwipRect(int left, int top, int width, int height) {
    return {Px(left), Px(top), Px(width), Px(height)};
}

// A value the build was given, or a dash where it names none.
QString OrNone(const QString& text) {
    return text.isEmpty() ? QStringLiteral("\u2013") : text;
}
} // namespace

AboutWindow::AboutWindow(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    SetFixedFrame(*this, QStringLiteral("About : Tarnwick"), Px(4200), Px(2295));
    // This window carries no icon of its own; an empty one keeps the application's off it.
    QPixmap blank(16, 16);
    blank.fill(Qt::transparent);
    setWindowIcon(QIcon(blank));

    struct Row {
        const char* capName;
        const char* caption;
        const char* valueName;
        QString value;
        QLabel** label;
    };
    const Row rows[] = {
        {"lblCreatorCap", "Creator :", "lblCreator", QStringLiteral("The Tarnwick developers"),
         &lblCreator},
        {"lblVersCap", "Version :", "lblVers", QString(), &lblVers},
        {"lblEMailCap", "EMail :", "lblEMail", OrNone(QStringLiteral(TARNWICK_EMAIL)), &lblEMail},
        {"lblWebCap", "Website :", "lblWeb", OrNone(QStringLiteral(TARNWICK_HOMEPAGE)), &lblWeb},
        {"lblCopyrightCap", "Copyright To :", "lblCopyright",
         QStringLiteral("The Tarnwick developers, ") + QStringLiteral(TARNWICK_YEAR),
         &lblCopyright},
    };
    int top = 0;
    for (const Row& row : rows) {
        // The captions start at the window's edge: an indent keeps their text off it.
        MakeLabel(*this, row.capName, QLatin1String(row.caption), TwipRect(0, top, 1095, 255))
            ->setIndent(Px(60));
        *row.label = MakeLabel(*this, row.valueName, row.value, TwipRect(1320, top, 2895, 255));
        top += 360;
    }
    cmdOk = MakeButton(*this, "cmdOk", QStringLiteral("Ok"), TwipRect(0, 1800, 4215, 495));
    cmdOk->setFocus();
    connect(cmdOk, &QPushButton::clicked, this, &QWidget::hide);
}

bool AboutWindow::Prepare(QWidget* owner) {
    lblVers->setText(Version);
    if (isVisible()) { // already showing: bring it forward rather than open it twice
        RaiseWindow(this);
        activateWindow();
        return false;
    }
    if (!placed_) {
        CentreOver(*this, owner);
        placed_ = true;
    }
    cmdOk->setFocus();
    return true;
}

void AboutWindow::DoAbout(QWidget* owner) {
    if (Prepare(owner))
        RunModal(*this, owner);
}

void AboutWindow::Open(QWidget* owner) {
    if (Prepare(owner))
        OpenModal(*this, owner);
}

void AboutWindow::reject() {
    cmdOk->click();
}

void AboutWindow::closeEvent(QCloseEvent* event) {
    Trace(QStringLiteral("frmAbout QueryUnload"));
    Trace(QStringLiteral("frmAbout Unload"));
    // Unloaded: the next display starts from the layout again.
    lblVers->clear();
    placed_ = false;
    event->accept();
}
