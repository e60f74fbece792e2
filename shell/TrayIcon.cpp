#include "TrayIcon.h"

#include "Icons.h"

#include <QCursor>
#include <QSystemTrayIcon>

TrayIcon::TrayIcon(TrayShell& shell, TrayActions actions, QObject* parent)
    : QObject(parent), shell_(shell), actions_(std::move(actions)),
      picNormal_(AppIcon()), picIcon_{PlusIcon(), CrossIcon()} {
    mnuPopup.setTitle(QStringLiteral("Popup"));
    const QStringList captions = {QStringLiteral("Show Control Centre"),
                                  QStringLiteral("Check Mail"), QStringLiteral("-"),
                                  QStringLiteral("About"), QStringLiteral("Exit")};
    for (int i = 0; i < captions.size(); ++i) {
        QAction* item = captions[i] == QLatin1String("-") ? mnuPopup.addSeparator()
                                                          : mnuPopup.addAction(captions[i]);
        connect(item, &QAction::triggered, this, [this, i] { OnMenuItem(i); });
        mnuSubPopup << item;
    }
    connect(&mnuPopup, &QMenu::aboutToShow, this, &TrayIcon::RefreshMenu);
    tmrChangeIcon.setInterval(AnimationMs);
    tmrChangeIcon.setTimerType(Qt::PreciseTimer); // a coarse timer would drift off the grid
    connect(&tmrChangeIcon, &QTimer::timeout, this, &TrayIcon::ChangeIcon);
    tmrChangeIcon.start();
    grid_.start();
}

int AnimationDelay(qint64 sinceStartMs) {
    const qint64 intoTick = sinceStartMs % TrayIcon::AnimationMs;
    return int((TrayIcon::AnimationMs - intoTick) % TrayIcon::AnimationMs);
}

QString TrayIcon::FillIconData() const {
    QString tip = actions_.MakeCaption ? actions_.MakeCaption() : QString();
    tip.truncate(TipLength);
    const qsizetype end = tip.indexOf(QChar(0));
    if (end >= 0)
        tip.truncate(end);
    return tip;
}

void TrayIcon::AddIcon() {
    if (trayBusy_ || trayAdded_)
        return;
    trayBusy_ = true;
    shell_.Add(*picture_, FillIconData());
    trayAdded_ = true;
    trayBusy_ = false;
}

void TrayIcon::UpdateIcon() {
    if (trayBusy_ || !trayAdded_)
        return;
    trayBusy_ = true;
    shell_.Modify(*picture_, FillIconData());
    trayBusy_ = false;
}

void TrayIcon::RemoveIcon() {
    if (trayBusy_ || !trayAdded_)
        return;
    trayBusy_ = true;
    shell_.Delete();
    trayAdded_ = false;
    trayBusy_ = false;
}

void TrayIcon::ChangeIcon() {
    // The first tick after a wake-up came at a grid point; the ones after follow the grid.
    if (tmrChangeIcon.isActive() && tmrChangeIcon.interval() != AnimationMs)
        tmrChangeIcon.start(AnimationMs);
    if (actions_.IsChecking && actions_.IsChecking()) {
        iconPhase_ = (iconPhase_ + 1) % 2; // -1 and 1 both become 0
        picture_ = &picIcon_[iconPhase_];
        UpdateIcon();
        return;
    }
    // Idle with the emblem up, the animation has nothing to do until the next check: it
    // sleeps rather than wake the program twice a second (OnCheckingChanged wakes it).
    tmrChangeIcon.stop();
    if (iconPhase_ == -1)
        return;
    iconPhase_ = -1;
    picture_ = &picNormal_;
    UpdateIcon();
}

void TrayIcon::OnCheckingChanged(bool checking) {
    if (stopped_)
        return;
    if (checking && !tmrChangeIcon.isActive())
        tmrChangeIcon.start(AnimationDelay(grid_.elapsed()));
    // A run that ended before the first tick (nobody was due) left the emblem up: no tick
    // is needed to put it back.
    if (!checking && iconPhase_ == -1)
        tmrChangeIcon.stop();
}

void TrayIcon::RefreshMenu() {
    mnuSubPopup[0]->setEnabled(true);
    mnuSubPopup[1]->setEnabled(true);
    mnuSubPopup[3]->setEnabled(true);
    // While the control centre is open its own "Exit" is the way out.
    mnuSubPopup[4]->setEnabled(
        !(actions_.IsControlCentreVisible && actions_.IsControlCentreVisible()));
}

void TrayIcon::OnTrayEvent(Event event) {
    RefreshMenu();
    if (event == Event::DoubleClick) {
        if (actions_.ShowControlCentre)
            actions_.ShowControlCentre();
    } else if (event == Event::Context) {
        mnuPopup.popup(QCursor::pos());
    }
}

void TrayIcon::OnMenuItem(int index) {
    const std::function<void()>* action = nullptr;
    switch (index) {
    case 0:
        action = &actions_.ShowControlCentre;
        break;
    case 1:
        action = &actions_.CheckMail;
        break;
    case 3:
        action = &actions_.DoAbout;
        break;
    case 4:
        action = &actions_.Exit;
        break;
    default:
        return;
    }
    if (*action)
        (*action)();
}

SystemTrayShell::SystemTrayShell() : icon_(std::make_unique<QSystemTrayIcon>()) {}

SystemTrayShell::~SystemTrayShell() = default;

bool SystemTrayShell::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void SystemTrayShell::Add(const QIcon& icon, const QString& tip) {
    icon_->setIcon(icon);
    icon_->setToolTip(tip);
    icon_->show();
}

void SystemTrayShell::Modify(const QIcon& icon, const QString& tip) {
    icon_->setIcon(icon);
    icon_->setToolTip(tip);
}

void SystemTrayShell::Delete() {
    icon_->hide();
}

bool SystemTrayShell::WaitingForArea() const {
    return icon_->isVisible() && !Available();
}

void SystemTrayShell::Connect(TrayIcon& tray) {
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated, &tray,
                     [&tray](QSystemTrayIcon::ActivationReason reason) {
                         switch (reason) {
                         case QSystemTrayIcon::DoubleClick:
                             tray.OnTrayEvent(TrayIcon::Event::DoubleClick);
                             break;
                         case QSystemTrayIcon::Context:
                             tray.OnTrayEvent(TrayIcon::Event::Context);
                             break;
                         default:
                             tray.OnTrayEvent(TrayIcon::Event::Other);
                             break;
                         }
                     });
}
