#pragma once
// The desktop the program runs on: real boxes (or the ones the start-up chose), the desktop's
// folder browser, modal dialogs, the application's error report, the system clock, Qt's tray,
// screens and cursor.
#include "app/shell/DesktopServices.h"
#include "platform/FolderChooser.h"

#include <functional>

namespace norvale {

class SystemDesktop final : public DesktopServices {
public:
    // Boxes go to `messages`, which outlives the desktop; errors to `reportError` (the
    // application's report).
    SystemDesktop(IMessageBox& messages, std::function<void(const QString&)> reportError);

    IMessageBox& messages() override { return messages_; }
    IFolderChooser& folders() override { return folders_; }
    int execDialog(QDialog& dialog) override;
    void reportError(const QString& text) override;
    const Clock& clock() const override;
    bool trayAvailable() const override;
    void showBalloon(QSystemTrayIcon& icon, const QString& title, const QString& text,
                     int ms) override;
    int screenWidth(const QWidget* window) const override;
    QPoint pointerPos() const override;
    QString saveFileName(QWidget* parent, const QString& caption, const QString& suggested,
                         const QString& filters) override;

private:
    IMessageBox& messages_;
    std::function<void(const QString&)> reportError_;
    QtFolderChooser folders_;
};

} // namespace norvale
