#include "app/wall/TrayControl.h"

#include "app/shell/Translator.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>
#include <atomic>

namespace norvale {

namespace {
std::atomic<bool> gBalloonPending{true};
}

bool TrayControl::balloonPending() {
    return gBalloonPending.load();
}

TrayControl::TrayControl(QWidget* window, const QString& applicationName, const QIcon& icon,
                         Hooks hooks)
    : QObject(window), window_(window), applicationName_(applicationName),
      hooks_(std::move(hooks)) {
    trayIcon1_ = new QSystemTrayIcon(icon, this);
    trayIcon1_->setObjectName(QStringLiteral("TrayIcon1"));
    trayIcon1_->setToolTip(applicationName);

    // The menu belongs to the window so that it is translated with it.
    pmTrayIcon_ = new QMenu(window);
    pmTrayIcon_->setObjectName(QStringLiteral("pmTrayIcon"));
    QAction* open = pmTrayIcon_->addAction(QStringLiteral("&Open Main Window"));
    open->setObjectName(QStringLiteral("OpenMainWindow1"));
    pmTrayIcon_->setDefaultAction(open);
    QAction* exit = pmTrayIcon_->addAction(QStringLiteral("E&xit"));
    exit->setObjectName(QStringLiteral("Exit1"));
    connect(open, &QAction::triggered, this, &TrayControl::OpenMainWindow);
    connect(exit, &QAction::triggered, this, &TrayControl::exitRequested);
    trayIcon1_->setContextMenu(pmTrayIcon_);
    connect(trayIcon1_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    OpenMainWindow();
            });
    if (trayAvailable())
        trayIcon1_->show();
}

bool TrayControl::trayAvailable() const {
    return hooks_.trayAvailable ? hooks_.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayControl::Minimize() {
    if (!trayAvailable()) {
        window_->showMinimized();
        return;
    }
    window_->hide();
    if (gBalloonPending.exchange(false)) {
        const QString text =
            applicationName_ + Translator::tr(QStringLiteral(" is running in the background."));
        if (hooks_.balloon)
            hooks_.balloon(applicationName_, text, 2000);
        else
            trayIcon1_->showMessage(applicationName_, text, trayIcon1_->icon(), 2000);
    }
}

void TrayControl::Notify(const QString& title, const QString& text) {
    if (!trayAvailable())
        return;
    if (hooks_.balloon)
        hooks_.balloon(title, text, 5000);
    else
        trayIcon1_->showMessage(title, text, trayIcon1_->icon(), 5000);
}

void TrayControl::OpenMainWindow() {
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

} // namespace norvale
