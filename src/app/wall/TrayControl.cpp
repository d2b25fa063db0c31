#include "app/wall/TrayControl.h"

#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QMetaMethod>
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
                         DesktopServices& desktop)
    : QObject(window), window_(window), applicationName_(applicationName), desktop_(desktop) {
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
    // Qt's X11 platform tells when a tray takes or leaves the screen. The signal belongs to the
    // platform plugin's native interface, a QObject whose class Qt does not publish: the pointer
    // is taken as the QObject it derives from (its only base) and the signal found by its
    // signature. Platforms without it leave the icon as it was made.
    if (auto* native = reinterpret_cast<QObject*>(QGuiApplication::platformNativeInterface())) {
        const QMetaObject* meta = native->metaObject();
        const int signal = meta->indexOfSignal("systemTrayWindowChanged(QScreen*)");
        const int slot = metaObject()->indexOfSlot("trayAvailabilityChanged()");
        if (signal >= 0 && slot >= 0)
            QObject::connect(native, meta->method(signal), this, metaObject()->method(slot));
    }
}

bool TrayControl::trayAvailable() const {
    return desktop_.trayAvailable();
}

void TrayControl::trayAvailabilityChanged() {
    if (trayAvailable()) {
        trayIcon1_->show();
        return;
    }
    trayIcon1_->hide();
    // Hidden by Minimise or by a minimised start: without the icon there is no way back.
    if (window_->isHidden())
        window_->showMinimized();
}

void TrayControl::Minimize() {
    if (!trayAvailable()) {
        window_->showMinimized();
        return;
    }
    // The icon is the only way back: it is up before the window goes.
    trayIcon1_->show();
    window_->hide();
    if (gBalloonPending.exchange(false)) {
        const QString text =
            applicationName_ + Translator::tr(QStringLiteral(" is running in the background."));
        desktop_.showBalloon(*trayIcon1_, applicationName_, text, 2000);
    }
}

void TrayControl::Notify(const QString& title, const QString& text) {
    if (!trayAvailable())
        return;
    desktop_.showBalloon(*trayIcon1_, title, text, 5000);
}

void TrayControl::OpenMainWindow() {
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

} // namespace norvale
