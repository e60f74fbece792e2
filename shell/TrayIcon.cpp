#include "TrayIcon.h"

#include "Icons.h"
#include "TrayArea.h"

#include <QSystemTrayIcon>

TrayIcon::TrayIcon(TrayShell& shell, TrayActions actions, QObject* parent)
    : QObject(parent), shell_(shell), actions_(std::move(actions)),
      picNormal_(AppIcon()), picIcon_{PlusIcon(), CrossIcon()} {
    mnuPopup.setTitle(QStringLiteral("Popup"));
    // Each item calls its action as the click happens, whatever the action is at that time.
    const auto addItem = [this](const char* name, const QString& caption,
                                std::function<void()> TrayActions::*action) {
        QAction* item = mnuPopup.addAction(caption);
        item->setObjectName(QLatin1String(name));
        connect(item, &QAction::triggered, this, [this, action] {
            if (actions_.*action)
                (actions_.*action)();
        });
        return item;
    };
    actShowControlCentre_ = addItem("actShowControlCentre", QStringLiteral("Show Control Centre"),
                                    &TrayActions::ShowControlCentre);
    actCheckMail_ = addItem("actCheckMail", QStringLiteral("Check Mail"), &TrayActions::CheckMail);
    mnuPopup.addSeparator();
    actAbout_ = addItem("actAbout", QStringLiteral("About"), &TrayActions::DoAbout);
    actExit_ = addItem("actExit", QStringLiteral("Exit"), &TrayActions::Exit);
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
    actShowControlCentre_->setEnabled(true);
    actCheckMail_->setEnabled(true);
    actAbout_->setEnabled(true);
    // While the control centre is open its own "Exit" is the way out.
    actExit_->setEnabled(!(actions_.IsControlCentreVisible && actions_.IsControlCentreVisible()));
}

void TrayIcon::OnTrayEvent(Event event) {
    RefreshMenu();
    if ((event == Event::DoubleClick || event == Event::Activate) && actions_.ShowControlCentre)
        actions_.ShowControlCentre();
}

SystemTrayShell::SystemTrayShell() {
    lookForArea_.setInterval(LookForAreaMs);
    QObject::connect(&lookForArea_, &QTimer::timeout, &lookForArea_, [this] {
        // A panel that offers both kinds may name its XEmbed tray before its StatusNotifierItem
        // host: the XEmbed tray is taken only once it has been there for a few looks.
        xembedLooks_ = XEmbedTrayRuns() ? xembedLooks_ + 1 : 0;
        if (StatusNotifierHostRuns() || xembedLooks_ >= 3)
            MakeIcon();
    });
}

SystemTrayShell::~SystemTrayShell() = default;

void SystemTrayShell::Add(const QIcon& icon, const QString& tip) {
    picture_ = icon;
    tip_ = tip;
    if (icon_) {
        Modify(icon, tip);
        icon_->show();
    } else if (!HasSessionBus() || StatusNotifierHostRuns() || XEmbedTrayRuns()) {
        // Without a session bus the icon is an XEmbed one, which a tray embeds whenever it starts.
        MakeIcon();
    } else {
        lookForArea_.start();
    }
}

void SystemTrayShell::MakeIcon() {
    lookForArea_.stop();
    // The question Qt asks as it makes its first icon.
    overDBus_ = StatusNotifierHostRuns();
    icon_ = std::make_unique<QSystemTrayIcon>();
    icon_->setIcon(picture_);
    icon_->setToolTip(tip_);
    if (tray_)
        HandOverTo(*tray_);
    icon_->show();
}

void SystemTrayShell::Modify(const QIcon& icon, const QString& tip) {
    picture_ = icon;
    tip_ = tip;
    if (!icon_)
        return;
    icon_->setIcon(icon);
    icon_->setToolTip(tip);
}

void SystemTrayShell::Delete() {
    lookForArea_.stop();
    if (icon_)
        icon_->hide();
}

bool SystemTrayShell::WaitingForArea() const {
    if (!icon_)
        return lookForArea_.isActive();
    if (!icon_->isVisible())
        return false;
    return overDBus_ ? !StatusNotifierHostRuns() : !QSystemTrayIcon::isSystemTrayAvailable();
}

void SystemTrayShell::Connect(TrayIcon& tray) {
    tray_ = &tray;
    if (icon_)
        HandOverTo(tray);
}

void SystemTrayShell::HandOverTo(TrayIcon& tray) {
    icon_->setContextMenu(&tray.Menu());
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated, &tray,
                     [this, &tray](QSystemTrayIcon::ActivationReason reason) {
                         TrayIcon::Event event = TrayIcon::Event::Other;
                         if (reason == QSystemTrayIcon::DoubleClick)
                             event = TrayIcon::Event::DoubleClick;
                         else if (reason == QSystemTrayIcon::Context)
                             event = TrayIcon::Event::Context;
                         // An XEmbed icon reports the first click of a double-click this way.
                         else if (reason == QSystemTrayIcon::Trigger && overDBus_)
                             event = TrayIcon::Event::Activate;
                         tray.OnTrayEvent(event);
                     });
}
