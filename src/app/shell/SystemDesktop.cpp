#include "app/shell/SystemDesktop.h"

#include "core/Clock.h"

#include <QCursor>
#include <QDialog>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWidget>

namespace norvale {

namespace {
// The wall's own width: what a screen that cannot be asked is taken to be.
constexpr int kUnknownScreenWidth = 1024;
} // namespace

SystemDesktop::SystemDesktop(IMessageBox& messages, std::function<void(const QString&)> reportError)
    : messages_(messages), reportError_(std::move(reportError)) {}

int SystemDesktop::execDialog(QDialog& dialog) {
    return dialog.exec();
}

void SystemDesktop::reportError(const QString& text) {
    if (reportError_)
        reportError_(text);
}

const Clock& SystemDesktop::clock() const {
    return systemClock();
}

bool SystemDesktop::trayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void SystemDesktop::showBalloon(QSystemTrayIcon& icon, const QString& title, const QString& text,
                                int ms) {
    icon.showMessage(title, text, icon.icon(), ms);
}

int SystemDesktop::screenWidth(const QWidget* window) const {
    QScreen* s = window ? window->screen() : nullptr;
    if (!s)
        s = QGuiApplication::primaryScreen();
    return s ? s->geometry().width() : kUnknownScreenWidth;
}

QPoint SystemDesktop::pointerPos() const {
    return QCursor::pos();
}

QString SystemDesktop::saveFileName(QWidget* parent, const QString& caption,
                                    const QString& suggested, const QString& filters) {
    return QFileDialog::getSaveFileName(parent, caption, suggested, filters);
}

} // namespace norvale
