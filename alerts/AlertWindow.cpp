#include "AlertWindow.h"

#include "alerts/OnTop.h"
#include "core/Trace.h"
#include "ui/DialogFrame.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QRegion>
#include <QScreen>
#include <QTextLayout>
#include <QtMath>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

namespace {
// The height of `text` laid out as `edit` lays it out, `width` wide.
int TextHeight(const QPlainTextEdit& edit, const QString& text, int width) {
    QTextOption option;
    option.setWrapMode(edit.wordWrapMode());
    int height = 0;
    QString plain = text;
    for (const QString& block :
         plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).split('\n')) {
        QTextLayout layout(block, edit.font());
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            // Each line on whole pixels, as the text area places them.
            height += std::max(qCeil(line.height()), edit.fontMetrics().lineSpacing());
        }
        layout.endLayout();
    }
    return height;
}
} // namespace

// The controls of the alert, made when the first alert is shown.
struct AlertWindow::Controls {
    explicit Controls(QWidget* window) : body(window) {}
    // The window shows the part of the body that has come out of a top panel.
    QWidget body;
    QVBoxLayout* layout = new QVBoxLayout(&body);
    QHBoxLayout* hideRow = new QHBoxLayout; // owned by layout
    QSpacerItem* afterText = nullptr;
    QSpacerItem* beforeMarkRead = nullptr;
    // Declared in tab order.
    QPushButton cmdOk{QStringLiteral("Ok"), &body};
    QPushButton cmdHide{QStringLiteral("Hide"), &body};
    QPushButton cmdHideSession{QStringLiteral("Hide For This Session"), &body};
    QPushButton cmdHidePermanently{QStringLiteral("Hide Permanently"), &body};
    QPushButton cmdMarkRead{QStringLiteral("Mark as Read"), &body};
    QPlainTextEdit txtAlert{&body};
    // Where clicks on the text land; kept, since the filter also sees the events of its end,
    // when the text area around it is half gone.
    QWidget* textViewport = nullptr;
};

AlertWindow::AlertWindow(AlertPresenter& presenter, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint), presenter_(presenter) {
    // The alert comes on top while the user works in another window: it must not take the
    // keys that were meant for that window.
    KeepOutOfFocus(this);
    setWindowTitle(QStringLiteral("Alert!"));
    setFixedSize(Px(5775), Height);
    setFont(WindowFont());

    tmrNextAlert.setSingleShot(true);
    tmrShow.setInterval(SlideTickMs);
    tmrHide.setInterval(SlideTickMs);
    connect(&tmrNextAlert, &QTimer::timeout, this, &AlertWindow::DoNextAlert);
    connect(&tmrShow, &QTimer::timeout, this, &AlertWindow::OnShowTick);
    connect(&presenter_, &AlertPresenter::Due, this, &AlertWindow::Wake);
    presenter_.SetErrorInPlace([this](const QString& ErrTxt, const QString& who) {
        return TakeErrorInPlace(ErrTxt, who);
    });
    connect(&tmrHide, &QTimer::timeout, this, &AlertWindow::OnHideTick);
}

AlertWindow::~AlertWindow() {
    // The text area's end sends its viewport's last events through the filter: not into a
    // half-destroyed set of controls.
    if (parts_)
        parts_->textViewport->removeEventFilter(this);
}

AlertWindow::Controls& AlertWindow::Built() {
    if (parts_)
        return *parts_;
    parts_ = std::make_unique<Controls>(this);
    Controls& c = *parts_;
    c.body.setObjectName(QStringLiteral("alertBody"));
    c.body.setFixedSize(size());

    QPlainTextEdit& txtAlert = c.txtAlert;
    txtAlert.setObjectName(QStringLiteral("txtAlert"));
    c.cmdOk.setObjectName(QStringLiteral("cmdOk"));
    c.cmdHide.setObjectName(QStringLiteral("cmdHide"));
    c.cmdHideSession.setObjectName(QStringLiteral("cmdHideSession"));
    c.cmdHidePermanently.setObjectName(QStringLiteral("cmdHidePermanently"));
    c.cmdMarkRead.setObjectName(QStringLiteral("cmdMarkRead"));
    txtAlert.setReadOnly(true);
    // Read-only, but reachable by keyboard so that a long text can be read and copied.
    txtAlert.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtAlert.setFocusPolicy(Qt::StrongFocus);
    txtAlert.setTabChangesFocus(true);
    txtAlert.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette palette = txtAlert.palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    txtAlert.setPalette(palette);
    txtAlert.setFont(QFont(QStringLiteral("Times New Roman"), 24, QFont::Normal));
    txtAlert.setFixedSize(Px(5535), Px(1620));
    c.textViewport = txtAlert.viewport();
    c.textViewport->installEventFilter(this);

    // The one-line alert keeps the places it always had; more lines push the buttons down.
    // The three hide buttons share their edge pixels, as they did in twips.
    c.cmdHide.setFixedSize(Px(1815) - 1, Px(375));
    c.cmdHideSession.setFixedSize(Px(1935) - 1, Px(375));
    c.cmdHidePermanently.setFixedSize(Px(1815), Px(375));
    c.cmdMarkRead.setFixedSize(Px(1815) - 1, Px(375));
    c.cmdOk.setFixedSize(Px(5535), Px(375));
    for (QPushButton* button :
         {&c.cmdOk, &c.cmdHide, &c.cmdHideSession, &c.cmdHidePermanently, &c.cmdMarkRead})
        button->setAutoDefault(false);
    c.cmdMarkRead.hide();

    c.layout->setSpacing(0);
    c.layout->setSizeConstraint(QLayout::SetNoConstraint);
    c.layout->addWidget(&txtAlert, 0, Qt::AlignLeft);
    c.afterText = new QSpacerItem(0, 0, QSizePolicy::Fixed, QSizePolicy::Fixed);
    c.layout->addItem(c.afterText);
    c.hideRow->setSpacing(0);
    for (QPushButton* button : {&c.cmdHide, &c.cmdHideSession, &c.cmdHidePermanently})
        c.hideRow->addWidget(button);
    c.hideRow->addStretch();
    c.layout->addLayout(c.hideRow);
    c.beforeMarkRead = new QSpacerItem(0, 0, QSizePolicy::Fixed, QSizePolicy::Fixed);
    c.layout->addItem(c.beforeMarkRead);
    c.layout->addWidget(&c.cmdMarkRead, 0, Qt::AlignLeft);
    c.layout->addWidget(&c.cmdOk, 0, Qt::AlignLeft);
    c.layout->addStretch();

    setTabOrder(&c.cmdOk, &c.cmdHide);
    setTabOrder(&c.cmdHide, &c.cmdHideSession);
    setTabOrder(&c.cmdHideSession, &c.cmdHidePermanently);
    setTabOrder(&c.cmdHidePermanently, &txtAlert);
    setTabOrder(&txtAlert, &c.cmdMarkRead);

    connect(&c.cmdOk, &QPushButton::clicked, this, &AlertWindow::OnOk);
    connect(&c.cmdHide, &QPushButton::clicked, this, &AlertWindow::DoHide);
    connect(&c.cmdHideSession, &QPushButton::clicked, this, &AlertWindow::OnHideSession);
    connect(&c.cmdHidePermanently, &QPushButton::clicked, this, &AlertWindow::OnHidePermanently);
    connect(&c.cmdMarkRead, &QPushButton::clicked, this, &AlertWindow::OnMarkRead);
    Arrange(QString());
    return c;
}

QString AlertWindow::AlertText() const {
    return parts_ ? parts_->txtAlert.toPlainText() : QString();
}

QPushButton& AlertWindow::OkButton() {
    return Built().cmdOk;
}
QPushButton& AlertWindow::HideButton() {
    return Built().cmdHide;
}
QPushButton& AlertWindow::HideSessionButton() {
    return Built().cmdHideSession;
}
QPushButton& AlertWindow::HidePermanentlyButton() {
    return Built().cmdHidePermanently;
}
QPushButton& AlertWindow::MarkReadButton() {
    return Built().cmdMarkRead;
}
QPlainTextEdit& AlertWindow::TextArea() {
    return Built().txtAlert;
}
QWidget& AlertWindow::Body() {
    return Built().body;
}

void AlertWindow::Arrange(const QString& text) {
    Controls& c = Built();
    QPlainTextEdit& txtAlert = c.txtAlert;
    QPushButton& cmdMarkRead = c.cmdMarkRead;
    txtAlert.setPlainText(text);
    const bool mail = !errorAlert_;
    c.cmdOk.setVisible(!mail);
    for (QPushButton* button : {&c.cmdHide, &c.cmdHideSession, &c.cmdHidePermanently})
        button->setVisible(mail);
    cmdMarkRead.setVisible(mail && markRead_);
    c.afterText->changeSize(0, mail ? Px(1920 - 1740) : Px(2040 - 1740), QSizePolicy::Fixed,
                            QSizePolicy::Fixed);
    c.beforeMarkRead->changeSize(0, cmdMarkRead.isVisibleTo(this) ? Px(105) : 0, QSizePolicy::Fixed,
                                 QSizePolicy::Fixed);
    c.layout->setContentsMargins(Px(120), Px(120), 0, mail ? Px(120) : 0);

    // As tall as the wrapped text needs, at least the one-line area, at most what the work
    // area leaves beside the buttons; measured at the area's fixed width, as the viewport has
    // no size before it is first shown.
    const int frame = 2 * txtAlert.frameWidth() + 2 * qCeil(txtAlert.document()->documentMargin());
    const int inner = txtAlert.width() - frame;
    // The text area offers to scroll unless a pixel is left below the last line.
    const int needed = TextHeight(txtAlert, text, std::max(inner, 1)) + frame + 1;
    const int others = (Height - Px(1620)) + (cmdMarkRead.isVisibleTo(this) ? Px(480) : 0);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int most =
        screen ? std::max(Px(1620), screen->availableGeometry().height() - others) : INT_MAX / 2;
    txtAlert.setFixedHeight(std::clamp(needed, Px(1620), most));
    // Shown and hidden buttons count at once, not when the layout hears of them.
    c.hideRow->invalidate();
    c.layout->invalidate();
    height_ = c.layout->sizeHint().height();
    c.body.setFixedSize(width(), height_);
    c.layout->activate();
}

void AlertWindow::Start() {
    started_ = true;
    Wake();
}

void AlertWindow::Stop() {
    started_ = false;
    tmrNextAlert.stop();
}

void AlertWindow::Wake() {
    if (started_)
        DoNextAlert();
}

void AlertWindow::ArmNextAlert() {
    tmrNextAlert.stop();
    // An alert on screen is followed by the next one when it has slid out; setup wakes the
    // look when it closes.
    if (!started_ || isVisible() || presenter_.IsSetupVisible())
        return;
    const qint64 wait = presenter_.MsUntilNextDue();
    if (wait < 0)
        return;
    // Due already but not taken: the notification service failed; try again a little later.
    tmrNextAlert.start(wait == 0 ? RetryMs : int(std::min<qint64>(wait, INT_MAX)));
}

bool AlertWindow::TakeErrorInPlace(const QString& ErrTxt, const QString& who) {
    if (!errorAlert_ || !isVisible() || tmrHide.isActive() || who.isEmpty() ||
        who != shownError_.who)
        return false;
    // One alert to answer per user: the one on screen tells of the newer failure.
    const QString text = AlertQueue::FailedText(ErrTxt, ++shownError_.failures, shownError_.since);
    Arrange(text);   // a longer text grows the window
    ShowClickHint(); // the newer failure may be a lost sign-in
    MoveTo(tmrShow.isActive() ? std::min(top_, rest_.y()) : rest_.y());
    Trace(QStringLiteral("frmAlert ShowAlert: ") + AlertText());
    return true;
}

void AlertWindow::ShowClickHint() {
    const bool signIn = errorAlert_ && presenter_.LostSignInOf(shownError_.who) != 0;
    QPlainTextEdit& txtAlert = Built().txtAlert;
    txtAlert.viewport()->setCursor(errorAlert_ && !signIn ? Qt::IBeamCursor
                                                          : Qt::PointingHandCursor);
    txtAlert.setToolTip(signIn        ? QStringLiteral("Click to sign in again")
                        : errorAlert_ ? QString()
                                      : QStringLiteral("Click to open the mail"));
}

QPoint AlertWindow::RestingPlace() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry().topLeft() : QPoint(0, 0);
}

void AlertWindow::MoveTo(int top) {
    top_ = top;
    // Above the work area lies a panel: the part of the window that is still there stays
    // unseen, so that the slide never covers it. The window then stays in the work area, as
    // tall as the part that has come out, its content moved up by the rest. (A window mask
    // would do the same, but what comes out from behind it is not painted again on every
    // platform: under an X11 top panel it showed an earlier alert's text.) Every step is a
    // resize, which paints the window anew. With the work area at the screen's top that part
    // is off the screen anyway.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int hidden = std::clamp(rest_.y() - top, 0, height_ - 1);
    const bool covered = hidden > 0 && screen && rest_.y() > screen->geometry().top();
    const int shift = covered ? hidden : 0;
    setFixedSize(width(), height_ - shift);
    Built().body.move(0, -shift);
    move(rest_.x(), covered ? rest_.y() : top);
}

int AlertWindow::AlertUser() const {
    return presenter_.IndexOf(alertUserId_);
}

void AlertWindow::DoNextAlert() {
    if (looking_) {
        lookAgain_ = true;
        return;
    }
    looking_ = true;
    // A second pass finds what the first one's own changes made due; the bound keeps a
    // misbehaving listener from holding the program here.
    for (int pass = 0; pass < 4; ++pass) {
        lookAgain_ = false;
        Look();
        if (!lookAgain_)
            break;
    }
    looking_ = false;
    ArmNextAlert();
}

void AlertWindow::Look() {
    if (presenter_.ShowsOnDesktop()) {
        // A window shown before the notifications took over is answered in the window.
        if (!isVisible()) {
            presenter_.SyncDesktop();
            return;
        }
    } else {
        presenter_.LeaveDesktop();
    }
    // The mail alert on screen follows its mailbox: news and messages read elsewhere change
    // its text in place; with none left it goes. Once it slides out the choice below takes
    // over, so a hidden window never keeps sliding.
    if (!errorAlert_ && alertUserId_ != 0 && isVisible() && !tmrHide.isActive()) {
        const std::optional<AlertPresenter::Alert> now = presenter_.MailAlertNow(alertUserId_);
        if (!now)
            DoHide();
        else if (now->text != shownText_ || now->markRead != markRead_)
            UpdateInPlace(*now);
    }
    if (isVisible() || presenter_.IsSetupVisible())
        return;
    if (const std::optional<AlertPresenter::Alert> alert = presenter_.TakeNext())
        ShowAlert(*alert);
}

void AlertWindow::UpdateInPlace(const AlertPresenter::Alert& alert) {
    alertNumMails_ = alert.count;
    markRead_ = alert.markRead;
    shownText_ = alert.text;
    Arrange(alert.text);
    Trace(QStringLiteral("frmAlert ShowAlert: ") + alert.text);
    // Where it rests or slides, grown or shrunk from its top edge.
    MoveTo(tmrShow.isActive() ? std::min(top_, rest_.y()) : rest_.y());
    presenter_.ShownNow(alertUserId_);
}

void AlertWindow::ShowAlert(const AlertPresenter::Alert& alert) {
    const QString& text = alert.text;
    errorAlert_ = alert.error;
    shownError_ = alert.origin;
    alertUserId_ = alert.userId;
    markRead_ = alert.markRead;
    if (!alert.error) {
        alertNumMails_ = alert.count;
        shownText_ = text;
    }
    // The buttons are set before showing, so that the focus lands on a visible one.
    Arrange(text);
    Trace(QStringLiteral("frmAlert ShowAlert: ") + text);
    (errorAlert_ ? parts_->cmdOk : parts_->cmdHide).setFocus();
    ShowClickHint();

    rest_ = RestingPlace();
    MoveTo(rest_.y() - height_);
    show();
    SetTopMost(this);

    tmrHide.stop();
    slideSteps_ = 0;
    tmrShow.start();
}

void AlertWindow::OnShowTick() {
    tmrShow.stop();
    ++slideSteps_;
    const int top = top_;
    MoveTo(std::max(top + 1, qRound(top + height_ / double(SlideDivisor))));
    if (top_ >= rest_.y() || slideSteps_ >= MaxSlideSteps)
        MoveTo(rest_.y());
    else
        tmrShow.start();
}

void AlertWindow::DoHide() {
    if (!isVisible() || tmrHide.isActive())
        return;
    tmrShow.stop();
    slideSteps_ = 0;
    tmrHide.start();
}

void AlertWindow::OnHideTick() {
    tmrHide.stop();
    ++slideSteps_;
    const int top = top_;
    MoveTo(std::min(top - 1, qRound(top - height_ / double(SlideDivisor))));
    if (top_ >= rest_.y() - height_ && slideSteps_ < MaxSlideSteps)
        tmrHide.start();
    else
        HideAlert();
}

void AlertWindow::HideAlert() {
    tmrHide.stop();
    // Hidden first: outside Windows the topmost switch re-shows a visible window.
    hide();
    ClearTopMost(this);
    DoNextAlert();
}

void AlertWindow::OnOk() {
    // The user has seen that something fails: errors of the same user waiting behind this one
    // say nothing new.
    if (!shownError_.who.isEmpty())
        presenter_.ForgetErrorsOf(shownError_.who);
    DoHide();
}

void AlertWindow::OnHideSession() {
    if (!errorAlert_)
        presenter_.HideForSession(alertUserId_);
    DoHide();
}

void AlertWindow::OnHidePermanently() {
    if (!errorAlert_)
        presenter_.HidePermanently(alertUserId_);
    DoHide();
}

void AlertWindow::OnMarkRead() {
    // The alert goes once the mailbox's state says that nothing is left; a refusal is an error
    // of its own and leaves it here.
    if (!errorAlert_)
        presenter_.MarkRead(alertUserId_);
}

bool AlertWindow::eventFilter(QObject* watched, QEvent* event) {
    // A click on a mail alert's text opens the mail; a drag that selects text does not. On the
    // error of a lost sign-in it answers the alert, as "Ok" does, and leads to the editor.
    if (parts_ && event->type() == QEvent::MouseButtonRelease && watched == parts_->textViewport &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        !parts_->txtAlert.textCursor().hasSelection()) {
        if (!errorAlert_ && alertUserId_ != 0) {
            presenter_.OpenMail(alertUserId_);
        } else if (const quint64 id = errorAlert_ ? presenter_.LostSignInOf(shownError_.who) : 0;
                   id != 0) {
            OnOk();
            presenter_.SignInAgain(id);
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AlertWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && parts_ &&
        parts_->cmdHide.isVisible()) {
        parts_->cmdHide.click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void AlertWindow::closeEvent(QCloseEvent* event) {
    Trace(QStringLiteral("frmAlert QueryUnload"));
    tmrShow.stop();
    tmrHide.stop();
    presenter_.ForgetDesktop(); // their actions would reach no program
    event->accept();
    Trace(QStringLiteral("frmAlert Unload"));
}
