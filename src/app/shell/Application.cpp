#include "app/shell/Application.h"

#include "platform/MessageBox.h"

#include <exception>

namespace norvale {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void TApplication::reportError(const QString& text) {
    if (report_)
        report_(text);
    else
        qWarning("%s", qUtf8Printable(text));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reportError(QString::fromUtf8(e.what()));
    } catch (...) {
        reportError(QStringLiteral("Unknown error"));
    }
    return false;
}

void setApplicationIdentity(const QString& applicationName) {
    QCoreApplication::setApplicationName(applicationName);
    // No display name: Qt would append it to every window's caption ("Settings — Norvale"),
    // and the captions stand as they are designed.
}

} // namespace norvale
