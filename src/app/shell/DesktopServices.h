#pragma once
// What the windows ask of the desktop they run on: message boxes, the folder browser, running a
// modal dialog, the application's error report, the clocks, the tray, the screen and the
// pointer. The program chooses one implementation at start-up (SystemDesktop) and hands it down;
// tests hand down their own, which answers boxes and dialogs and records what was shown.
#include <QPoint>
#include <QString>

class QDialog;
class QSystemTrayIcon;
class QWidget;

namespace norvale {

class Clock;
class IFolderChooser;
class IMessageBox;

class DesktopServices {
public:
    virtual ~DesktopServices() = default;

    virtual IMessageBox& messages() = 0;
    virtual IFolderChooser& folders() = 0;
    // Runs a modal dialog and returns its result.
    virtual int execDialog(QDialog& dialog) = 0;
    // The application's one error report (a box to click away) for failures that end a step.
    virtual void reportError(const QString& text) = 0;
    virtual const Clock& clock() const = 0;

    // Whether the desktop has a system tray.
    virtual bool trayAvailable() const = 0;
    // Shows a balloon at the program's tray icon for `ms` milliseconds.
    virtual void showBalloon(QSystemTrayIcon& icon, const QString& title, const QString& text,
                             int ms) = 0;
    // Width of the screen `window` lives on; none: of the primary screen.
    virtual int screenWidth(const QWidget* window) const = 0;
    // The pointer in screen coordinates.
    virtual QPoint pointerPos() const = 0;
    // Asks for the name of a file to write, starting at `suggested`; `filters` as Qt's file
    // dialogs take them. Empty: cancelled.
    virtual QString saveFileName(QWidget* parent, const QString& caption, const QString& suggested,
                                 const QString& filters) = 0;
};

} // namespace norvale
