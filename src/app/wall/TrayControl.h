#pragma once
// The tray icon with its menu, and hiding the main window to it (Minimise). Where the desktop
// has no tray, hiding would leave no way back, so the window goes to the task bar instead.
// A desktop's tray often starts after the programs of the autostart folder, and may go away
// again: the icon follows the tray as it comes and goes, and a window hidden to a tray that
// goes away comes back to the task bar.
#include <QIcon>
#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace norvale {

class DesktopServices;
class TAction;

class TrayControl : public QObject {
    Q_OBJECT
public:
    // Whether there is a tray, and its balloons, are the desktop's; it outlives the control.
    TrayControl(QWidget* window, const QString& applicationName, const QIcon& icon,
                DesktopServices& desktop);

    QSystemTrayIcon* TrayIcon1() const { return trayIcon1_; }
    QMenu* pmTrayIcon() const { return pmTrayIcon_; }
    bool trayAvailable() const;

    // MinBtn: hide to the tray (balloon on the first time in a run) or minimise to the task bar.
    void Minimize();
    // Double-click on the icon or "&Open Main Window": back to the front.
    void OpenMainWindow();

    // A balloon about something that happened while nobody watched (a camera lost); nothing
    // where there is no tray.
    void Notify(const QString& title, const QString& text);

    // True until the first minimise of this process.
    static bool balloonPending();

public slots:
    // The desktop's tray came or went: the icon follows it, and a window hidden to a tray that
    // is gone comes back minimised to the task bar.
    void trayAvailabilityChanged();

signals:
    void exitRequested();

private:
    QWidget* window_;
    QString applicationName_;
    DesktopServices& desktop_;
    QSystemTrayIcon* trayIcon1_ = nullptr;
    QMenu* pmTrayIcon_ = nullptr;
};

} // namespace norvale
