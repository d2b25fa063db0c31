#pragma once
// The application object: the one application-level error report that every exception escaping
// a command or handler reaches. The program's start-up and shutdown are main.cpp's.
#include <QApplication>
#include <QString>
#include <functional>

namespace norvale {

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    // Where exceptions that escape an event handler are shown; the program goes on.
    void setErrorReport(std::function<void(const QString&)> report) { report_ = std::move(report); }
    void reportError(const QString& text);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    std::function<void(const QString&)> report_;
};

// Names the application after its branding for the desktop (single instance, tray hint) without
// changing any window's caption.
void setApplicationIdentity(const QString& applicationName);

} // namespace norvale
